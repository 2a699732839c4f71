#include "tests/support/KEPTestNet.h"

#include "tests/support/KEPTestSystem.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

namespace keptest {

using namespace testsystem;

Clock::time_point testsystem::DeadlineAfter(double seconds) {
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

bool testsystem::PollReadable(pollfd* fds, int count, Clock::time_point deadline) {
    int ready;
    do {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ready = PollSockets(fds, count, left > 0 ? static_cast<int>(left) : 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

namespace {

bool PollReadable(int fd, Clock::time_point deadline) {
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    return testsystem::PollReadable(&entry, 1, deadline);
}

RawSocket NoDelay(RawSocket socket) {
    const int one = 1;
    ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
    return socket;
}

// Binds (listening: and listens) or connects a new socket to 127.0.0.1:port; closed on failure.
template <typename Attach>
RawSocket Loopback(int port, Attach attach, bool listening) {
    RawSocket socket(NewSocket());
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

// The port of an IPv4 or IPv6 address: both keep it at the same place.
template <typename Query>
int PortOf(int fd, Query query) {
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

int IntOption(int fd, int level, int option) {
    // Zeroed first: a boolean option may come back as a single byte (it does under Wine).
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, reinterpret_cast<char*>(&value), &length) == 0 ? value
                                                                                          : -1;
}

int NoDelayOf(int fd) {
    return IntOption(fd, IPPROTO_TCP, TCP_NODELAY);
}

TempDirectory::TempDirectory() {
    std::random_device seed;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const std::filesystem::path candidate =
            base / ("kep-test-" + std::to_string(ProcessId()) + "-" + std::to_string(seed()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = candidate.generic_string();
        }
    }
}

TempDirectory::~TempDirectory() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

// Windows hands out handle values of its own choosing: there the next one made stands in.
int LowestFreeDescriptor() {
    return RawSocket(NewSocket()).Fd();
}

int LocalPort(int fd) {
    return PortOf(fd, [](int s, sockaddr* address, socklen_t* length) {
        return ::getsockname(s, address, length);
    });
}

int RemotePort(int fd) {
    return PortOf(fd, [](int s, sockaddr* address, socklen_t* length) {
        return ::getpeername(s, address, length);
    });
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
        CloseSocket(Release());
    }
}

void RawSocket::CloseWithReset() {
    const linger option{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                 sizeof option);
    Close();
}

bool RawSocket::SendBytes(const void* data, std::size_t length) {
    const char* cursor = static_cast<const char*>(data);
    while (length > 0) {
        const int chunk = length > 1 << 30 ? 1 << 30 : static_cast<int>(length);
        const ssize_t sent = ::send(m_fd, cursor, chunk, kSendFlags);
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
        const ssize_t got = ::recv(
            m_fd, buffer, static_cast<int>(std::min(sizeof buffer, length - bytes.size())), 0);
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
    return Loopback(
        port,
        [](int s, const sockaddr* address, socklen_t length) { return ::bind(s, address, length); },
        listening);
}

RawSocket RawConnect(int port) {
    return NoDelay(Loopback(
        port,
        [](int s, const sockaddr* address, socklen_t length) {
            return ::connect(s, address, length);
        },
        false));
}

RawPair ConnectedPair() {
    RawListener listener;
    RawPair pair;
    pair.local = RawConnect(listener.Port());
    pair.remote = listener.Accept();
    return pair;
}

RawListener::RawListener() : m_socket(BindLoopback(0, true)) {
    m_port = m_socket.IsOpen() ? LocalPort(m_socket.Fd()) : 0;
}

RawSocket RawListener::Accept(double timeoutSeconds) {
    if (!m_socket.IsOpen() || !WaitReadable(m_socket.Fd(), timeoutSeconds)) {
        return RawSocket();
    }
    return NoDelay(RawSocket(static_cast<int>(::accept(m_socket.Fd(), nullptr, nullptr))));
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

}  // namespace keptest
