// The in-use bookkeeping of KEPMsgTlsContext, shared by both TLS back ends.
#include <mutex>

#include "sockets/KEPMsgTlsContext.h"

namespace {

std::mutex s_useMutex;
int s_contexts = 0;               // guarded by s_useMutex
bool s_hostInputStreams = false;  // guarded by s_useMutex

}  // namespace

KEPMsgTlsContext::KEPMsgTlsContext(Role role, void* native, std::string serverName)
    : m_role(role), m_native(native), m_serverName(std::move(serverName)) {}

bool KEPMsgTlsContext::Acquire(std::string& error) {
    std::lock_guard<std::mutex> lock(s_useMutex);
    if (s_hostInputStreams) {
        error =
            "TLS refused: a host input stream is registered, and a stream that reads the "
            "descriptor itself cannot read through TLS";
        return false;
    }
    ++s_contexts;
    return true;
}

void KEPMsgTlsContext::Release() {
    std::lock_guard<std::mutex> lock(s_useMutex);
    --s_contexts;
}

bool KEPMsgTlsContext::SetHostInputStreamsInUse(bool inUse) {
    std::lock_guard<std::mutex> lock(s_useMutex);
    if (inUse && s_contexts > 0) {
        return false;
    }
    s_hostInputStreams = inUse;
    return true;
}

void KEPMsgTlsContext::HoldForFork() {
    s_useMutex.lock();
}

void KEPMsgTlsContext::ReleaseAfterFork() {
    s_useMutex.unlock();  // in the child too: the forking thread holds the child's copy
}
