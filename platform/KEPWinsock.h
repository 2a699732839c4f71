// Winsock-style socket calls over POSIX sockets.
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
//
// The layer is internal to the module and not exported: the module's sockets call it, and the
// tests and the benchmark reach it by linking the module's layers statically. Every function
// may be called from any thread; the testing hooks are process-wide and meant for one test at a
// time. Tests make any of the calls fail through KEPFaultInjection.h.
#pragma once

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <memory>

// The system headers define the POSIX descriptor-set macros; this layer declares Winsock's
// functions of the same names instead, so the macros are withdrawn for every includer.
#undef FD_ZERO
#undef FD_SET
#undef FD_ISSET
#undef FD_CLR

#ifndef KEP_FD_SETSIZE
#define KEP_FD_SETSIZE 64
#endif

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

// shutdown() directions.
enum : int { SD_RECEIVE = 0, SD_SEND = 1, SD_BOTH = 2 };

struct WSADATA {
    unsigned short wVersion;
    unsigned short wHighVersion;
};

// Start-up always succeeds on POSIX and grants version 2.2. Tests replace the result through
// SetStartupResultForTesting to exercise the failure paths of the callers.
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
// The Winsock number for an errno value, and for a getaddrinfo result.
int ErrnoToWinsock(int errnoValue);
int ResolverErrorToWinsock(int gaiResult);

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
