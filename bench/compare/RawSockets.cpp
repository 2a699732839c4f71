#include "RawSockets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "BenchCommon.h"

namespace kepbench {

void SetInt(int fd, int level, int option, int value) {
    setsockopt(fd, level, option, &value, sizeof value);
}

void LibraryLikeOptions(int fd) {
    SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kLibSendBuffer);
}

int ListenLoopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        Fail("listen");
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("connect");
    }
    return fd;
}

void SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR)
                continue;
            Fail("send");
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

void RecvAll(int fd, char* data, std::size_t length) {
    while (length > 0) {
        ssize_t got = recv(fd, data, length, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            Fail("recv");
        }
        data += got;
        length -= static_cast<std::size_t>(got);
    }
}

void DrainUntilClosed(int fd) {
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
}

FrameReader::FrameReader(int fd) : m_fd(fd), m_buffer(kBigBuffer) {}

bool FrameReader::Need(std::size_t need) {
    if (m_end - m_begin >= need)
        return true;
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_buffer.size() < need)
        m_buffer.resize(need);
    while (m_end < need) {
        ssize_t got = recv(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            return false;
        }
        m_end += static_cast<std::size_t>(got);
    }
    return true;
}

bool FrameReader::Skip(std::size_t n) {
    while (n > 0) {
        if (m_end == m_begin && !Need(1))
            return false;
        std::size_t take = std::min(n, m_end - m_begin);
        std::memcpy(Scratch().data(), Data(), std::min(take, Scratch().size()));
        Consume(take);
        n -= take;
    }
    return true;
}

}  // namespace kepbench
