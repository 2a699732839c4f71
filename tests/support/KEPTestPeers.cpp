#include "tests/support/KEPTestPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace keptest {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

Clock::time_point DeadlineAfter(double seconds) {
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// Waits until fd is readable or the deadline passes.
bool PollReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
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

bool RawSocket::SendMessage(KEPBasSocketMessage& message) {
    const KEPString type = message.GetMessageType();
    const std::uint32_t length = static_cast<std::uint32_t>(type.GetLengthInByte());
    std::string header(reinterpret_cast<const char*>(&length), 4);
    header.append(type.GetUTF8(), length);
    if (!SendBytes(header.data(), header.size())) {
        return false;
    }
    FdOutputStream stream(m_fd);
    return message.WriteBody(&stream);
}

bool RawSocket::ReceiveBytes(void* buffer, std::size_t length, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    char* cursor = static_cast<char*>(buffer);
    while (length > 0) {
        if (!PollReadable(m_fd, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(m_fd, cursor, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        cursor += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool RawSocket::ReceiveType(std::string& type, double timeoutSeconds) {
    std::uint32_t length = 0;
    if (!ReceiveBytes(&length, 4, timeoutSeconds) || length > 4096) {
        return false;
    }
    type.assign(length, '\0');
    return length == 0 || ReceiveBytes(&type[0], length, timeoutSeconds);
}

std::unique_ptr<SequencedMessage> RawSocket::ReceiveMessage(double timeoutSeconds) {
    std::string type;
    if (!ReceiveType(type, timeoutSeconds)) {
        return nullptr;
    }
    std::unique_ptr<SequencedMessage> message(MakeTestMessage(type));
    if (message) {
        FdInputStream stream(m_fd, timeoutSeconds);
        message->ReadBody(&stream);
    }
    return message;
}

bool RawSocket::WaitReadable(double timeoutSeconds) {
    return PollReadable(m_fd, DeadlineAfter(timeoutSeconds));
}

bool RawSocket::WaitPeerClosed(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    char sink[4096];
    for (;;) {
        if (!PollReadable(m_fd, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(m_fd, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
}

RawListener::RawListener() {
    RawSocket listener(::socket(AF_INET, SOCK_STREAM, 0));
    if (!listener.IsOpen()) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Fd(), 16) != 0) {
        return;
    }
    m_port = LocalPort(listener.Fd());
    m_socket = std::move(listener);
}

RawSocket RawListener::Accept(double timeoutSeconds) {
    if (!m_socket.IsOpen() || !PollReadable(m_socket.Fd(), DeadlineAfter(timeoutSeconds))) {
        return RawSocket();
    }
    return RawSocket(::accept(m_socket.Fd(), nullptr, nullptr));
}

RawSocket RawConnect(int port) {
    RawSocket connection(::socket(AF_INET, SOCK_STREAM, 0));
    if (!connection.IsOpen()) {
        return connection;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(connection.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        connection.Close();
    }
    return connection;
}

int LocalPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
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

SequencedMessage* MakeTestMessage(const std::string& type) {
    if (type == TextMessage::kType) {
        return new TextMessage();
    }
    if (type == FixedMessage::kType) {
        return new FixedMessage();
    }
    if (type == BlobMessage::kType) {
        return new BlobMessage();
    }
    return nullptr;
}

bool FdInputStream::read(void* buffer, int length, int& got) {
    if (length <= 0) {
        got = 0;
        return true;
    }
    if (!PollReadable(m_fd, DeadlineAfter(m_timeoutSeconds))) {
        return false;
    }
    for (;;) {
        const ssize_t received = ::recv(m_fd, buffer, static_cast<std::size_t>(length), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0) {
            return false;
        }
        got = static_cast<int>(received);
        return true;
    }
}

bool FdOutputStream::write(void* data, int length, int& written) {
    const char* cursor = static_cast<const char*>(data);
    int left = length;
    while (left > 0) {
        const ssize_t sent = ::send(m_fd, cursor, static_cast<std::size_t>(left), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        written += static_cast<int>(sent);
        cursor += sent;
        left -= static_cast<int>(sent);
    }
    return true;
}

}  // namespace keptest
