// Fault injection: a test makes one chosen call of the platform layer fail, to reach the error
// paths of the code above it.
//
// Every entry point of the platform layer (both implementations) starts with one check,
// FaultInjected(kind), and fails at once with the Winsock code it leaves in WSAGetLastError()
// when the check says so; send and recv pass their length, which the check may shorten. While no
// fault is armed the check is one relaxed atomic load and an untaken branch.
//
// A test arms one fault at a time: the nth call of one kind (or of any kind) from the arming on
// fails with a chosen code, or, for send and recv, moves at most a chosen number of bytes. The
// fault fires once and then disarms itself; FaultMet() tells whether it fired. A sweep arms n = 1,
// 2, ... in turn until a run of the code under test completes without meeting the fault.
//
// Internal: nothing here is exported from the shared library, so only programs that link the
// platform layer statically (the tests) can arm a fault. Calls from every thread are counted;
// one test at a time may arm.
#pragma once

#include <atomic>

namespace kepwsa {

// The platform calls a fault can be aimed at. kWait is the readiness wait (select and its
// wake-up form), kWakePair the creation of the wake-up pair and its signalling write.
enum class PlatformCall {
    kSocket,
    kBind,
    kListen,
    kAccept,
    kConnect,
    kGetSockName,
    kGetPeerName,
    kSetSockOpt,
    kGetAddrInfo,
    kSend,
    kRecv,
    kWait,
    kWakePair,
    kAny,  // a selector only: a call of any kind
};

namespace fault {
extern std::atomic<bool> g_armed;
bool Trip(PlatformCall call, int* length);
}  // namespace fault

// True when this call is to fail: the Winsock code is then in WSAGetLastError(). For send and
// recv, length (when given) may come back shortened, and the call goes on with it.
inline bool FaultInjected(PlatformCall call, int* length = nullptr) {
    return fault::g_armed.load(std::memory_order_relaxed) && fault::Trip(call, length);
}

// Test side. Makes the nth call (1: the next) of kind call (kAny: of any kind) fail with
// winsockCode; nth 0 arms nothing. Replaces a fault armed earlier.
void FailNthCall(PlatformCall call, long nth, int winsockCode);
// Makes the nth send or recv (call is kSend or kRecv) move at most maxBytes (at least 1) bytes.
void ShortenNthCall(PlatformCall call, long nth, int maxBytes);
// Withdraws an armed fault that has not fired; FaultMet() still tells whether it had.
void DisarmFault();
// True once the fault armed last has fired; fired (when given) then names the call it hit.
bool FaultMet(PlatformCall* fired = nullptr);

}  // namespace kepwsa
