// The system underneath kep_test_net: the platform's socket headers, and the few calls whose
// form differs between POSIX and Windows, each defined in KEPTestNetPosix.cpp or
// KEPTestNetWindows.cpp (the build compiles one). Only kep_test_net's own sources include it;
// tests reach the system through KEPTestNet.h.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <chrono>

namespace keptest {
namespace testsystem {

using Clock = std::chrono::steady_clock;

// Flags for send: a send to a closed peer must not raise SIGPIPE (Windows raises none).
#ifdef _WIN32
constexpr int kSendFlags = 0;
#else
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

// poll() over sockets.
int PollSockets(pollfd* fds, int count, int timeoutMs);
int CloseSocket(int fd);
// A TCP socket kept from child processes, as every socket of the library is: a child must not
// hold a test's port.
int NewSocket();

// Defined in KEPTestNet.cpp, for both platforms' sources.
Clock::time_point DeadlineAfter(double seconds);
// Waits for any of fds to be readable until deadline, retrying an interrupted poll.
bool PollReadable(pollfd* fds, int count, Clock::time_point deadline);

}  // namespace testsystem
}  // namespace keptest
