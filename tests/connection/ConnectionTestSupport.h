// Helpers for the connection-services tests: raw POSIX loopback peers, deadline waits and a
// fixture that connects a table socket to a raw peer and cleans the singleton up afterwards.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocket.h"
#include "sockets/KEPMsgSocketAddress.h"

namespace kep_test {

// Polls pred every millisecond until it holds or 10 s have passed.
inline bool WaitFor(const std::function<bool()>& pred,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// An owned POSIX descriptor.
class ScopedFd {
  public:
    explicit ScopedFd(int fd = -1) : m_fd(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : m_fd(other.release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~ScopedFd() { reset(); }
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

  private:
    int m_fd;
};

inline bool IsOpenDescriptor(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// The number the next descriptor would get (the lowest free one).
inline int LowestFreeDescriptor() {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    ::close(probe);
    return probe;
}

// A raw IPv4 socket bound to 127.0.0.1:port (0: the system chooses), listening when asked.
inline ScopedFd BindLoopback(int port, bool listening) {
    ScopedFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return ScopedFd();
    }
    if (listening && ::listen(fd.get(), 16) != 0) {
        return ScopedFd();
    }
    return fd;
}

inline int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A raw client connected to 127.0.0.1:port, with Nagle off so small writes go out at once.
inline ScopedFd ConnectRaw(int port) {
    ScopedFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return ScopedFd();
    }
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline ScopedFd AcceptRaw(int listener) {
    ScopedFd fd(::accept(listener, nullptr, nullptr));
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly count bytes (fewer when the peer closes or 10 s pass).
inline std::string RecvExactly(int fd, size_t count) {
    std::string bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) {
            continue;
        }
        char buffer[65536];
        size_t want = std::min(sizeof buffer, count - bytes.size());
        ssize_t n = ::recv(fd, buffer, want, 0);
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

// True when the peer has closed (recv gives 0) within 10 s.
inline bool SeesEndOfStream(int fd) {
    return WaitFor([fd] {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            return false;
        }
        char c;
        return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    });
}

inline KEPMsgSocketAddress Loopback(int port) {
    return KEPMsgSocketAddress(KEPMsgInetAddress(KEPString("127.0.0.1")), port);
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) {
        bytes.push_back(static_cast<char>(v));
    }
    return bytes;
}

// Fixture: Connect() gives a socket entered in the connection table, connected to a raw POSIX
// peer. TearDown removes every connection the test made and finalizes the singleton, so
// prototypes on the test's stack never outlive it.
class ConnectionFixture : public ::testing::Test {
  protected:
    KEPMsgConnectionServicesUtils& Services() { return KEPMsgConnectionServicesUtils::Instance(); }

    // Connects a table socket to a fresh raw peer; returns its id (peer in m_peer).
    int Connect() {
        ScopedFd listener = BindLoopback(0, true);
        EXPECT_GE(listener.get(), 0);
        KEPMsgCommSocket* socket =
            Services().ConnectToServer(Loopback(0), Loopback(LocalPort(listener.get())), 5, 10);
        EXPECT_NE(socket, nullptr);
        if (socket == nullptr) {
            return -1;
        }
        m_peer = AcceptRaw(listener.get());
        Track(socket->GetId());
        return socket->GetId();
    }

    void Track(int socketId) { m_tracked.push_back(socketId); }

    void TearDown() override {
        for (int id : m_tracked) {
            Services().ShutDownConnection(id);
        }
        m_tracked.clear();
        KEPMsgConnectionServicesUtils::Finalize();
    }

    ScopedFd m_peer;
    std::vector<int> m_tracked;
};

}  // namespace kep_test
