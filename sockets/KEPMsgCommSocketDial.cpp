// KEPMsgCommSocket::ConnectWithin: the cancellable, time-limited form of Connect().
#include <chrono>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"

namespace {

// Waits until the non-blocking connect on descriptor completes; returns 0 or the Winsock code
// (WSAETIMEDOUT after timeoutMs, WSAEINTR once cancel is set).
int AwaitConnect(int descriptor, int timeoutMs, const std::atomic<bool>& cancel) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel.load()) {
            return kepwsa::WSAEINTR;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return kepwsa::WSAETIMEDOUT;
        }
        const int slice = static_cast<int>(
            left < KEPMsgCommSocket::kDialSliceMs ? left : KEPMsgCommSocket::kDialSliceMs);
        int code = 0;
        if (kepwsa::AwaitConnect(descriptor, slice, code)) {
            return code;
        }
    }
}

// Starts a connect on a fresh descriptor and waits for it; the descriptor is blocking again
// afterwards. Returns 0 or the Winsock code.
int DialOne(int descriptor, const addrinfo& candidate, int timeoutMs,
            const std::atomic<bool>& cancel) {
    if (kepwsa::SetNonBlocking(descriptor, true) != 0) {
        return kepwsa::WSAGetLastError();
    }
    int result = 0;
    if (kepwsa::connect(descriptor, candidate.ai_addr, candidate.ai_addrlen) != 0) {
        result = kepwsa::WSAGetLastError();
        if (result == kepwsa::WSAEWOULDBLOCK || result == kepwsa::WSAEINPROGRESS) {
            result = AwaitConnect(descriptor, timeoutMs, cancel);
        }
    }
    if (result == 0 && kepwsa::SetNonBlocking(descriptor, false) != 0) {
        result = kepwsa::WSAGetLastError();
    }
    return result;
}

}  // namespace

void KEPMsgCommSocket::ConnectWithin(KEPMsgSocketAddress address, int timeoutMs,
                                     const std::atomic<bool>& cancel) {
    Dial(address, &cancel, [timeoutMs, &cancel](int descriptor, const addrinfo& candidate) {
        return DialOne(descriptor, candidate, timeoutMs, cancel);
    });
}
