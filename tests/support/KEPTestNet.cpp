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
#include <future>
#include <regex>
#include <thread>

extern char** environ;

namespace keptest {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(double seconds) {
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

bool PollReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

void NoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Appends what fd holds to text; false once fd is closed (and then closes it).
bool ReadAvailable(int& fd, std::string& text) {
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            if (n == 0) {
                ::close(fd);
                fd = -1;
            }
            return n != 0;
        }
    }
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
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "call did not finish within 10 s: blocked for good\n");
        std::abort();
    }
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
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    ::close(probe);
    return probe;
}

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
        --count;  // the directory stream's own descriptor
    }
    return count;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

int BytesWaiting(int fd) {
    int waiting = 0;
    return ::ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

long RaiseDescriptorLimit(long wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    if (static_cast<long>(limit.rlim_cur) < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY || static_cast<long>(limit.rlim_max) >= wanted
                ? static_cast<rlim_t>(wanted)
                : limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<long>(limit.rlim_cur);
}

namespace {

int PortOf(int fd, int (*query)(int, sockaddr*, socklen_t*)) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return -1;
}

}  // namespace

int LocalPort(int fd) {
    return PortOf(fd, ::getsockname);
}

int RemotePort(int fd) {
    return PortOf(fd, ::getpeername);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
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

int RawSocket::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void RawSocket::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void RawSocket::CloseWithReset() {
    if (m_fd >= 0) {
        linger option{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        Close();
    }
}

bool RawSocket::SendBytes(const void* data, std::size_t length) {
    const char* cursor = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = ::send(m_fd, cursor, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        cursor += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool RawSocket::ReceiveBytes(void* buffer, std::size_t length, double timeoutSeconds) {
    std::string got = ReceiveString(length, timeoutSeconds);
    got.copy(static_cast<char*>(buffer), got.size());
    return got.size() == length;
}

std::string RawSocket::ReceiveString(std::size_t length, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < length && PollReadable(m_fd, deadline)) {
        const ssize_t got = ::recv(m_fd, buffer, std::min(sizeof buffer, length - bytes.size()), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
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
    RawSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in address = LoopbackAddress(port);
    if (::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(socket.Fd(), 128) != 0)) {
        socket.Close();
    }
    return socket;
}

RawSocket RawConnect(int port) {
    RawSocket connection(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in address = LoopbackAddress(port);
    if (::connect(connection.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
        connection.Close();
    }
    NoDelay(connection.Fd());
    return connection;
}

RawListener::RawListener() : m_socket(BindLoopback(0, true)) {
    m_port = m_socket.IsOpen() ? LocalPort(m_socket.Fd()) : 0;
}

RawSocket RawListener::Accept(double timeoutSeconds) {
    if (!m_socket.IsOpen() || !WaitReadable(m_socket.Fd(), timeoutSeconds)) {
        return RawSocket();
    }
    RawSocket accepted(::accept(m_socket.Fd(), nullptr, nullptr));
    NoDelay(accepted.Fd());
    return accepted;
}

ChildProcess::ChildProcess(std::vector<std::string> arguments) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0) {
        return;
    }
    if (::pipe(err) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
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

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out, m_err}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool ChildProcess::Drain(int timeoutMs) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
        return false;
    }
    const bool outOpen = ReadAvailable(m_out, m_outText);
    const bool errOpen = ReadAvailable(m_err, m_errText);
    return outOpen || errOpen;
}

std::string ChildProcess::WaitForLine(const std::string& pattern, double timeoutSeconds) {
    const std::regex wanted(pattern);
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    for (;;) {
        std::size_t end;
        while ((end = m_outText.find('\n', m_scanned)) != std::string::npos) {
            std::string line = m_outText.substr(m_scanned, end - m_scanned);
            m_scanned = end + 1;
            if (std::regex_search(line, wanted)) {
                return line;
            }
        }
        if (Clock::now() >= deadline || !Drain(10)) {
            return {};
        }
    }
}

int ChildProcess::Wait(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    while (m_pid > 0) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            while (Drain(0)) {
            }
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else if (done < 0 || Clock::now() >= deadline) {
            break;
        } else {
            Drain(10);
        }
    }
    return m_status;
}

void ChildProcess::Signal(int number) {
    if (m_pid > 0) {
        ::kill(m_pid, number);
    }
}

}  // namespace keptest
