// Plain POSIX loopback sockets for the raw TCP peers. Every call that cannot go on ends the
// peer through Fail; descriptors belong to the caller. FrameReader reads framed records through
// a large user-space buffer and is used by one thread at a time.
#pragma once

#include <cstddef>
#include <vector>

namespace kepbench {

// setsockopt for one int option; a failure only leaves the default.
void SetInt(int fd, int level, int option, int value);
// The library's options (TCP_NODELAY, its send buffer), so that "raw same" differs only in the
// calls it makes.
void LibraryLikeOptions(int fd);
// A listening socket on 127.0.0.1 at a free port, which is returned in port.
int ListenLoopback(int& port);
// A socket connected to 127.0.0.1:port.
int ConnectLoopback(int port);
// Sends or receives exactly length bytes.
void SendAll(int fd, const char* data, std::size_t length);
void RecvAll(int fd, char* data, std::size_t length);
// Half-closes, waits for the peer's close and closes, so that nothing sent is cut off by exit.
void DrainUntilClosed(int fd);

class FrameReader {
  public:
    explicit FrameReader(int fd);
    // Ensures `need` contiguous bytes are available; false on end of stream.
    bool Need(std::size_t need);
    const char* Data() const { return m_buffer.data() + m_begin; }
    void Consume(std::size_t n) { m_begin += n; }
    // Consumes a body of n bytes without requiring it to fit at once; false on end of stream.
    bool Skip(std::size_t n);

  private:
    int m_fd;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

}  // namespace kepbench
