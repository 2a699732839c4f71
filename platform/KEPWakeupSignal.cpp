#include "platform/KEPWakeupSignal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/KEPFaultInjection.h"

namespace {

// Non-blocking, and not inherited by programs the host starts.
bool PrepareEnd(int handle) {
    const int flags = ::fcntl(handle, F_GETFL);
    return flags != -1 && ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) != -1 &&
           ::fcntl(handle, F_SETFD, FD_CLOEXEC) != -1;
}

}  // namespace

KEPWakeupSignal::KEPWakeupSignal() : m_readHandle(-1), m_writeHandle(-1), m_signalled(false) {
    Open();
}

KEPWakeupSignal::~KEPWakeupSignal() {
    CloseHandles();
}

void KEPWakeupSignal::Open() {
    int ends[2] = {-1, -1};
    if (kepwsa::FaultInjected(kepwsa::PlatformCall::kWakePair) ||
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        return;
    }
    if (!PrepareEnd(ends[0]) || !PrepareEnd(ends[1])) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    m_readHandle = ends[0];
    m_writeHandle = ends[1];
}

void KEPWakeupSignal::CloseHandles() {
    if (m_readHandle != -1) {
        ::close(m_readHandle);
        ::close(m_writeHandle);
        m_readHandle = m_writeHandle = -1;
    }
}

void KEPWakeupSignal::RenewAfterFork() {
    CloseHandles();
    Open();
    m_signalled.store(false);
}

void KEPWakeupSignal::Signal() {
    if (m_writeHandle == -1 || m_signalled.exchange(true)) {
        return;  // already armed: the byte written then is still waiting
    }
    bool armed = false;
    if (!kepwsa::FaultInjected(kepwsa::PlatformCall::kWakePair)) {
        const char byte = 1;
        ssize_t sent = 0;
        // MSG_NOSIGNAL: should the host have closed the other end, no SIGPIPE ends the process.
        while ((sent = ::send(m_writeHandle, &byte, 1, MSG_NOSIGNAL)) == -1 && errno == EINTR) {
        }
        // A full buffer (EAGAIN) is readable already, which is all a wake-up needs.
        armed = sent == 1 || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (!armed) {
        // No byte waits, so no wait will Clear() the flag: lowered here, the next Signal() tries
        // again instead of finding the wake-up armed for good.
        m_signalled.store(false);
    }
}

void KEPWakeupSignal::Clear() {
    if (m_readHandle == -1) {
        return;
    }
    // Usually one byte waits (one write per armed period): a short read has emptied the pair,
    // and no signaller writes again before the flag below is lowered.
    char bytes[64];
    for (;;) {
        const ssize_t count = ::recv(m_readHandle, bytes, sizeof bytes, 0);
        if (count == static_cast<ssize_t>(sizeof bytes) || (count == -1 && errno == EINTR)) {
            continue;
        }
        break;
    }
    m_signalled.store(false);
}
