// Raw POSIX peers and helpers for the messaging tests.
//
// A raw peer is a plain loopback socket that the test drives byte by byte, outside the library,
// so a test can see exactly what the library wrote and feed it exactly what it should read.
// RawSocket owns its descriptor. Every blocking call here has a deadline, so a broken library
// fails a test instead of hanging it. Nothing here is thread-safe beyond one thread per object.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "tests/support/KEPTestMessages.h"

namespace keptest {

// Polls condition every millisecond until it holds or timeoutSeconds have passed; returns
// whether it held.
bool WaitUntil(const std::function<bool()>& condition, double timeoutSeconds = 10.0);

// Owns one socket descriptor.
class RawSocket {
  public:
    RawSocket() = default;
    explicit RawSocket(int fd) : m_fd(fd) {}
    RawSocket(RawSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    RawSocket& operator=(RawSocket&& other) noexcept;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    ~RawSocket() { Close(); }

    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    void Close();
    // Closes with SO_LINGER 0, so the peer gets a reset instead of an orderly end.
    void CloseWithReset();

    // Sends every byte; false on failure.
    bool SendBytes(const void* data, std::size_t length);
    // Sends the header for message's type, then its body.
    bool SendMessage(KEPBasSocketMessage& message);
    // Receives exactly length bytes within timeoutSeconds; false on end, failure or time-out.
    bool ReceiveBytes(void* buffer, std::size_t length, double timeoutSeconds = 10.0);
    // Receives one header and returns its type name; false as for ReceiveBytes.
    bool ReceiveType(std::string& type, double timeoutSeconds = 10.0);
    // Receives one message of a test type ("Text", "Fixed", "Blob"); null on failure or for
    // another type. The returned message may be !IsIntact().
    std::unique_ptr<SequencedMessage> ReceiveMessage(double timeoutSeconds = 10.0);
    // True when data (or the end of the connection) is waiting within timeoutSeconds.
    bool WaitReadable(double timeoutSeconds);
    // True once the peer's end of the connection (orderly or reset) is seen within the time.
    // Consumes any data that arrives before it.
    bool WaitPeerClosed(double timeoutSeconds = 10.0);

  private:
    int m_fd = -1;
};

// A listening loopback socket on a port chosen by the system.
class RawListener {
  public:
    RawListener();
    int Port() const { return m_port; }
    bool IsOpen() const { return m_socket.IsOpen(); }
    // The next accepted connection, or a closed RawSocket after timeoutSeconds.
    RawSocket Accept(double timeoutSeconds = 10.0);

  private:
    RawSocket m_socket;
    int m_port = 0;
};

// A raw connection to 127.0.0.1:port; closed on failure.
RawSocket RawConnect(int port);

// The local port a socket descriptor is bound to, or -1.
int LocalPort(int fd);

// A new message of a test type ("Text", "Fixed", "Blob"), or null.
SequencedMessage* MakeTestMessage(const std::string& type);

// Input and output streams on one fixed descriptor (the socket id they carry is ignored), for
// driving a message's ReadBody/WriteBody over a raw peer.
class FdInputStream : public KEPBasInputStream {
  public:
    explicit FdInputStream(int fd, double timeoutSeconds = 10.0)
        : m_fd(fd), m_timeoutSeconds(timeoutSeconds) {}
    ~FdInputStream() = default;
    bool read(void* buffer, int length, int& got) override;

  private:
    int m_fd;
    double m_timeoutSeconds;
};

class FdOutputStream : public KEPBasOutputStream {
  public:
    explicit FdOutputStream(int fd) : m_fd(fd) {}
    ~FdOutputStream() = default;
    bool write(void* data, int length, int& written) override;

  private:
    int m_fd;
};

}  // namespace keptest
