#include "platform/KEPWakeupSignal.h"

#include "platform/KEPFaultInjection.h"
#include "platform/KEPWinsock.h"

KEPWakeupSignal::KEPWakeupSignal() : m_readHandle(-1), m_writeHandle(-1), m_signalled(false) {
    Open();
}

KEPWakeupSignal::~KEPWakeupSignal() {
    CloseHandles();
}

void KEPWakeupSignal::Open() {
    kepwsa::SOCKET ends[2] = {kepwsa::INVALID_SOCKET, kepwsa::INVALID_SOCKET};
    if (kepwsa::FaultInjected(kepwsa::PlatformCall::kWakePair) ||
        kepwsa::OpenLocalPair(ends) != 0) {
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
    if (kepwsa::FaultInjected(kepwsa::PlatformCall::kWakePair) ||
        !kepwsa::WriteWakeByte(m_writeHandle)) {
        // No byte waits, so no wait will Clear() the flag: lowered here, the next Signal() tries
        // again instead of finding the wake-up armed for good.
        m_signalled.store(false);
    }
}

void KEPWakeupSignal::Clear() {
    if (m_readHandle == -1) {
        return;
    }
    kepwsa::DrainWakeBytes(m_readHandle);
    m_signalled.store(false);
}
