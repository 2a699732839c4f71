#include "tests/support/KEPTestNet.h"
#include "tests/support/KEPTestSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace keptest {

using namespace testsystem;

int testsystem::PollSockets(pollfd* fds, int count, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

int testsystem::CloseSocket(int fd) {
    return ::close(fd);
}

int testsystem::NewSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

namespace {

// Appends what fd holds to text; false once fd is closed (and then closes it).
bool ReadAvailable(int& fd, std::string& text) {
    char buffer[4096];
    ssize_t n = -1;
    while (fd >= 0 && ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        text.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    }
    if (n == 0) {
        ::close(fd);
        fd = -1;
    }
    return fd >= 0;
}

}  // namespace

KeepAliveOptions KeepAliveOf(int fd) {
    KeepAliveOptions options;
    options.on = IntOption(fd, SOL_SOCKET, SO_KEEPALIVE);
    options.idleSeconds = IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
    options.intervalSeconds = IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
    options.count = IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT);
    options.unacknowledgedMs = IntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT);
    return options;
}

int ThisThreadId() {
    return static_cast<int>(::gettid());
}

bool IsThreadSleeping(int tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    std::ifstream stat(path);
    std::string text;
    std::getline(stat, text);
    const std::string::size_type end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

int ProcessId() {
    return static_cast<int>(::getpid());
}

std::string ThisProgramPath() {
    char path[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

int IoTimeoutMs(int fd, bool sends) {
    timeval limit{};
    socklen_t length = sizeof limit;
    return ::getsockopt(fd, SOL_SOCKET, sends ? SO_SNDTIMEO : SO_RCVTIMEO, &limit, &length) == 0
               ? static_cast<int>(limit.tv_sec * 1000 + limit.tv_usec / 1000)
               : -1;
}

FileHandle FileHandleOf(const std::string& path) {
    for (int fd = 0; fd < 1024; ++fd) {
        char target[4096] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) {
            return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 ? FileHandle::kKeptFromChildren
                                                            : FileHandle::kInherited;
        }
    }
    return FileHandle::kNone;
}

bool IsOpenDescriptor(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

int OpenDescriptorCount() {
    int count = -1;  // the directory stream's own descriptor
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

long ResidentKiB() {
    long size = 0, resident = -1;  // in pages: the first two fields of statm
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident < 0 ? -1 : resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int BytesWaiting(int fd) {
    int waiting = 0;
    return ::ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

long RaiseDescriptorLimit(long wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && static_cast<long>(limit.rlim_cur) < wanted) {
        const bool reachable =
            limit.rlim_max == RLIM_INFINITY || static_cast<long>(limit.rlim_max) >= wanted;
        limit.rlim_cur = reachable ? static_cast<rlim_t>(wanted) : limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? static_cast<long>(limit.rlim_cur) : -1;
}

ChildProcess::ChildProcess(std::vector<std::string> arguments) {
    // Close-on-exec ends: the child keeps only the two it gets as stdout and stderr. Without
    // both pipes nothing is spawned (Started() is false); the ends made are closed as usual.
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    const bool piped = ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    if (!piped || posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
    ::fcntl(m_out, F_SETFL, O_NONBLOCK);
    ::fcntl(m_err, F_SETFL, O_NONBLOCK);
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
    m_pid = ::fork();
    if (m_pid == 0) {
        int status = 1;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out, m_err}) {
        ::close(fd);  // -1 (a pipe already closed) only fails with EBADF
    }
}

bool ChildProcess::Drain(int timeoutMs) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    PollReadable(fds, 2, DeadlineAfter(timeoutMs / 1000.0));
    const bool outOpen = ReadAvailable(m_out, m_outText);
    const bool errOpen = ReadAvailable(m_err, m_errText);
    return outOpen || errOpen;
}

int ChildProcess::Wait(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    int status = 0;
    pid_t done = 0;
    while (m_pid > 0 && (done = ::waitpid(m_pid, &status, WNOHANG)) == 0 &&
           Clock::now() < deadline) {
        Drain(10);
    }
    if (m_pid > 0 && done == m_pid) {
        m_pid = -1;
        while (Drain(0)) {
        }
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return m_status;
}

void ChildProcess::Signal(int number) {
    if (m_pid > 0) {
        ::kill(m_pid, number);
    }
}

}  // namespace keptest
