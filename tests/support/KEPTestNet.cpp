#include "tests/support/KEPTestNet.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

extern char** environ;

namespace keptest {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(double seconds) {
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// Waits for any of fds to be readable until deadline, retrying an interrupted poll.
bool PollReadable(pollfd* fds, int count, Clock::time_point deadline) {
    int ready;
    do {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ready = ::poll(fds, count, left > 0 ? static_cast<int>(left) : 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool PollReadable(int fd, Clock::time_point deadline) {
    pollfd entry{fd, POLLIN, 0};
    return PollReadable(&entry, 1, deadline);
}

RawSocket NoDelay(RawSocket socket) {
    const int one = 1;
    ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return socket;
}

// Binds (listening: and listens) or connects a new socket to 127.0.0.1:port; closed on failure.
RawSocket Loopback(int port, int (*attach)(int, const sockaddr*, socklen_t), bool listening) {
    RawSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (attach(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(socket.Fd(), 128) != 0)) {
        socket.Close();
    }
    return socket;
}

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

// The port of an IPv4 or IPv6 address: both keep it at the same place.
int PortOf(int fd, int (*query)(int, sockaddr*, socklen_t*)) {
    static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port), "");
    sockaddr_in6 address{};
    socklen_t length = sizeof address;
    return query(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? ntohs(address.sin6_port)
                                                                          : -1;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool FinishesWithinDeadline(std::function<void()> call) {
    BackgroundCall running(std::move(call));  // its destructor waits, or aborts the program
    return true;
}

bool WaitReadable(int fd, double timeoutSeconds) {
    return PollReadable(fd, DeadlineAfter(timeoutSeconds));
}

BackgroundCall::BackgroundCall(std::function<void()> call)
    : m_thread([this, call] {
          call();
          m_done.store(true);
      }) {}

BackgroundCall::~BackgroundCall() {
    if (!WaitUntil([this] { return Done(); }, 30.0)) {
        std::fprintf(stderr, "background call still blocked after 30 s: aborting\n");
        std::abort();
    }
    m_thread.join();
}

bool IsOpenDescriptor(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

int LowestFreeDescriptor() {
    return RawSocket(::socket(AF_INET, SOCK_STREAM, 0)).Fd();
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

int LocalPort(int fd) {
    return PortOf(fd, ::getsockname);
}

int RemotePort(int fd) {
    return PortOf(fd, ::getpeername);
}

std::string HeaderBytes(const std::string& type) {
    const std::uint32_t length = static_cast<std::uint32_t>(type.size());
    return std::string(reinterpret_cast<const char*>(&length), 4) + type;
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.Release();
    }
    return *this;
}

void RawSocket::Close() {
    if (m_fd >= 0) {
        ::close(Release());
    }
}

void RawSocket::CloseWithReset() {
    const linger option{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    Close();
}

bool RawSocket::SendBytes(const void* data, std::size_t length) {
    const char* cursor = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = ::send(m_fd, cursor, length, MSG_NOSIGNAL);
        if (sent <= 0 && !(sent < 0 && errno == EINTR)) {
            return false;
        }
        cursor += sent > 0 ? sent : 0;
        length -= static_cast<std::size_t>(sent > 0 ? sent : 0);
    }
    return true;
}

std::string RawSocket::ReceiveString(std::size_t length, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < length && PollReadable(m_fd, deadline)) {
        const ssize_t got = ::recv(m_fd, buffer, std::min(sizeof buffer, length - bytes.size()), 0);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got > 0 ? got : 0));
    }
    return bytes;
}

bool RawSocket::WaitPeerClosed(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    char sink[4096];
    while (PollReadable(m_fd, deadline)) {
        const ssize_t got = ::recv(m_fd, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
    return false;
}

RawSocket BindLoopback(int port, bool listening) {
    return Loopback(port, ::bind, listening);
}

RawSocket RawConnect(int port) {
    return NoDelay(Loopback(port, ::connect, false));
}

RawListener::RawListener() : m_socket(BindLoopback(0, true)) {
    m_port = m_socket.IsOpen() ? LocalPort(m_socket.Fd()) : 0;
}

RawSocket RawListener::Accept(double timeoutSeconds) {
    if (!m_socket.IsOpen() || !WaitReadable(m_socket.Fd(), timeoutSeconds)) {
        return RawSocket();
    }
    return NoDelay(RawSocket(::accept(m_socket.Fd(), nullptr, nullptr)));
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

std::string ChildProcess::WaitForLine(const std::string& pattern, double timeoutSeconds) {
    const std::regex wanted(pattern);
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    // The lines read by the drain that found the pipes closed are scanned too.
    for (bool open = true;; open = Drain(10)) {
        std::size_t end;
        while ((end = m_outText.find('\n', m_scanned)) != std::string::npos) {
            std::string line = m_outText.substr(m_scanned, end - m_scanned);
            m_scanned = end + 1;
            if (std::regex_search(line, wanted)) {
                return line;
            }
        }
        if (!open || Clock::now() >= deadline) {
            return {};
        }
    }
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
