// Winsock-style socket calls: straight through to Winsock 2.2 on Windows, over POSIX sockets
// elsewhere. The build compiles one source per platform (KEPWinsockWindows.cpp or
// KEPWinsockPosix.cpp); this header is the interface of both.
//
// The socket classes are written against Winsock's contract, and this layer keeps it on POSIX:
// - A failing call returns -1 (SOCKET_ERROR, or INVALID_SOCKET for socket/accept) and stores a
//   Winsock error number, read back with WSAGetLastError() (per thread, like Winsock's).
//   errno values are mapped to the Winsock code of the same meaning (ECONNRESET -> 10054, ...);
//   an errno without a Winsock twin becomes WSA_UNMAPPED_ERROR.
// - getaddrinfo failures are returned as Winsock numbers (11001 no such name, 11002 try again,
//   11003 non-recoverable, 11004 no data, 10047 family, 10044 socket type, 10109 service).
// - send never raises SIGPIPE; calls interrupted by a signal are retried.
// - select() takes a fixed-capacity descriptor set with Winsock's FD_SET semantics (a count
//   and a list of handles, no duplicates, full at capacity) and is implemented with poll, so
//   descriptor numbers above 1023 are safe.
// On Windows the same functions call Winsock's own; handles are Winsock's SOCKET values, which
// fit an int, and select() copies the set into a real fd_set of KEP_FD_SETSIZE handles.
//
// The layer is internal to the module and not exported: the module's sockets call it, and the
// tests and the benchmark reach it by linking the module's layers statically. Every function
// may be called from any thread; the testing hooks are process-wide and meant for one test at a
// time. Tests make any of the calls fail through KEPFaultInjection.h.
#pragma once

#ifndef KEP_FD_SETSIZE
#define KEP_FD_SETSIZE 64
#endif

#ifdef _WIN32
// Winsock sizes its fd_set by FD_SETSIZE, which must be defined before its header: the wait's
// capacity, and one handle more for the wake-up line that SelectReadOrWake watches beside it.
#define FD_SETSIZE (KEP_FD_SETSIZE + 1)
#include <winsock2.h>
#include <ws2tcpip.h>
// Winsock defines its error numbers, handle constants and set operations as macros; this layer
// declares them as names of its own namespace (with the same values), so the macros are
// withdrawn for every includer.
#include "platform/KEPWinsockMacros.h"
#else
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include <cstddef>
#include <memory>

// The system headers define the POSIX descriptor-set macros; this layer declares Winsock's
// functions of the same names instead, so the macros are withdrawn for every includer.
#undef FD_ZERO
#undef FD_SET
#undef FD_ISSET
#undef FD_CLR

namespace kepwsa {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Winsock error numbers used by the module.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAEPROCLIM = 10067,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAEDISCON = 10101,
    WSASYSCALLFAILURE = 10107,
    WSATYPE_NOT_FOUND = 10109,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
    // An errno with no Winsock twin; its text is "unknown error".
    WSA_UNMAPPED_ERROR = 19999,
};

// A send flag that holds the bytes back to leave in one segment with the next send; 0 where the
// system has none (Windows).
#ifdef MSG_MORE
constexpr int kSendMore = MSG_MORE;
#else
constexpr int kSendMore = 0;
#endif

// shutdown() directions.
enum : int { SD_RECEIVE = 0, SD_SEND = 1, SD_BOTH = 2 };

struct WSADATA {
    unsigned short wVersion;
    unsigned short wHighVersion;
};

// Start-up always succeeds on POSIX and grants version 2.2; on Windows it is Winsock's. Tests
// replace the result through SetStartupResultForTesting to exercise the failure paths of the
// callers.
int WSAStartup(unsigned short versionRequested, WSADATA* data);
int WSACleanup();
// errorCode != 0 makes WSAStartup return it; grantedVersion is what it reports in wVersion.
void SetStartupResultForTesting(int errorCode, unsigned short grantedVersion);

// Tests observe every send through this hook (null switches it off): the handle and the length
// asked for, before the call is made.
void SetSendHookForTesting(void (*hook)(SOCKET s, int length));
// Tests run code inside every connect() through this hook (null switches it off), before the
// call is made: it shows which locks an attempt holds and lets a test order other threads
// against a connect that is under way.
void SetConnectHookForTesting(void (*hook)(SOCKET s));

int WSAGetLastError();
void WSASetLastError(int code);
#ifndef _WIN32
// The Winsock number for an errno value, and for a getaddrinfo result (POSIX layer only).
int ErrnoToWinsock(int errnoValue);
int ResolverErrorToWinsock(int gaiResult);
#endif

SOCKET socket(int family, int type, int protocol);
int bind(SOCKET s, const sockaddr* address, socklen_t length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* address, socklen_t* length);
int connect(SOCKET s, const sockaddr* address, socklen_t length);
// send and recv return the byte count, or SOCKET_ERROR. flags are MSG_ flags; MSG_NOSIGNAL is
// always added to send.
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int option, const void* value, socklen_t length);
int getsockname(SOCKET s, sockaddr* address, socklen_t* length);
int getpeername(SOCKET s, sockaddr* address, socklen_t* length);
// Returns 0 or a Winsock resolver error (also stored for WSAGetLastError).
int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* result);

// Options of the module's sockets, each 0 or SOCKET_ERROR (the code in WSAGetLastError).
// Nagle's algorithm off.
int SetNoDelay(SOCKET s);
// Keep-alive on with the system's times.
int SetKeepAlive(SOCKET s);
// Keep-alive on with these times, and the same total as the limit for unacknowledged data where
// the system has one. Windows sets idle and interval (SIO_KEEPALIVE_VALS); its probe count is
// the system's unless the count option is available.
int SetKeepAliveTimes(SOCKET s, int idleSeconds, int intervalSeconds, int count);
// SO_LINGER: on with seconds (0 makes the close abortive), or off.
int SetLinger(SOCKET s, bool on, int seconds);
// True when a close of s would wait for the peer (linger on with a time above 0).
bool LingersOnClose(SOCKET s);
int SetSendBufferBytes(SOCKET s, int bytes);
// The send and receive time-out of blocking calls; 0 waits without limit.
int SetIoTimeout(SOCKET s, int milliseconds);
// Lets a listener bind over connections of an earlier one that wait out TIME_WAIT, while no
// other socket may share the port (SO_REUSEADDR on POSIX, SO_EXCLUSIVEADDRUSE on Windows).
int SetExclusiveAddress(SOCKET s);
int SetNonBlocking(SOCKET s, bool on);
// Waits up to timeoutMs for a non-blocking connect on s to finish: false while it is still under
// way; true once it has, with code 0 (connected) or the Winsock code of its failure.
bool AwaitConnect(SOCKET s, int timeoutMs, int& code);
// The port s is bound to, or -1.
int LocalPort(SOCKET s);
// The numeric host and port of an IPv4 or IPv6 address; false (host empty, port 0) for another
// family.
bool DescribeAddress(const sockaddr_storage& address, char* host, std::size_t hostSize, int& port);
// Reads a numeric address of family (AF_INET or AF_INET6) into address (4 or 16 bytes in network
// order); false when text is not one.
bool ParseNumericAddress(int family, const char* text, void* address);
// A connected pair of local sockets, both non-blocking and not inherited by child processes; 0
// or SOCKET_ERROR. POSIX gives a socket pair, Windows two loopback TCP sockets (its select
// watches sockets only).
int OpenLocalPair(SOCKET ends[2]);
// The wake-up pair's own write and drain (KEPWakeupSignal), outside the send hook and the
// faults of send and recv, which count the module's connections. WriteWakeByte is true when a
// byte waits on the pair afterwards (written now, or the buffer was already full); it never
// raises SIGPIPE.
bool WriteWakeByte(SOCKET s);
// Reads every byte that waits; a short read has emptied the pair.
void DrainWakeBytes(SOCKET s);

// True for a numeric service above 65535: Winsock refuses it as an unknown service, where glibc
// (and Wine, which passes the call on to it) would keep its low 16 bits.
bool IsNumericServiceOutOfRange(const char* service);
// The buffer checks send and recv share: 0, or SOCKET_ERROR with WSAEINVAL (a negative length)
// or WSAEFAULT (no buffer for a positive length) stored as the last error.
int CheckTransferBuffer(const void* buffer, int length);

// A resolver result list that frees itself with freeaddrinfo.
struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { kepwsa::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;
// getaddrinfo into an owned list; code is set to 0 or the Winsock resolver error (the list is
// then empty).
AddrInfoList Resolve(const char* host, const char* service, const addrinfo& hints, int& code);

// Winsock's fd_set: a count and a list of handles.
struct fd_set {
    unsigned int fd_count;
    SOCKET fd_array[KEP_FD_SETSIZE];
};

void FD_ZERO(fd_set* set);
// Appends s unless it is present or the set is full (then s is left out).
void FD_SET(SOCKET s, fd_set* set);
int FD_ISSET(SOCKET s, const fd_set* set);

// Waits until a handle of readSet is readable (data, a pending connection, end of stream or an
// error) or the time-out passes; null waits without limit. On return readSet holds only the
// ready handles. Returns their number, 0 on time-out, SOCKET_ERROR on failure (a handle that is
// not an open descriptor gives WSAENOTSOCK). nfds is accepted for Winsock compatibility and not
// used. A negative time-out polls.
int select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, const timeval* timeout);
// The same wait over readSet alone, also ended when wakeHandle (a descriptor outside the set,
// -1 for none) has input; woken tells whether it had. The wake handle is neither counted in the
// result nor put in readSet. With an empty set it waits for the wake-up or the time-out alone.
int SelectReadOrWake(fd_set* readSet, const timeval* timeout, int wakeHandle, bool& woken);

}  // namespace kepwsa
