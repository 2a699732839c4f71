#include "platform/KEPWakeupSignal.h"

#include "platform/KEPWinsock.h"

KEPWakeupSignal::KEPWakeupSignal() : m_readHandle(-1), m_writeHandle(-1), m_signalled(false) {
    Open();
}

KEPWakeupSignal::~KEPWakeupSignal() {
    CloseHandles();
}

void KEPWakeupSignal::Open() {
    kepwsa::SOCKET ends[2] = {kepwsa::INVALID_SOCKET, kepwsa::INVALID_SOCKET};
    if (kepwsa::OpenLocalPair(ends) != 0) {
        return;
    }
    m_readHandle = ends[0];
    m_writeHandle = ends[1];
}

void KEPWakeupSignal::CloseHandles() {
    if (m_readHandle != -1) {
        kepwsa::closesocket(m_readHandle);
        kepwsa::closesocket(m_writeHandle);
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
    const char byte = 1;
    // The layer's send never raises SIGPIPE, should the host have closed the other end. A full
    // buffer (would block) is readable already, which is all a wake-up needs.
    kepwsa::send(m_writeHandle, &byte, 1, 0);
}

void KEPWakeupSignal::Clear() {
    if (m_readHandle == -1) {
        return;
    }
    // Usually one byte waits (one write per armed period): a short read has emptied the pair,
    // and no signaller writes again before the flag below is lowered.
    char bytes[64];
    while (kepwsa::recv(m_readHandle, bytes, sizeof bytes, 0) == static_cast<int>(sizeof bytes)) {
    }
    m_signalled.store(false);
}
