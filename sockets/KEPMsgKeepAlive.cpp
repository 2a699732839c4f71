#include "sockets/KEPMsgKeepAlive.h"

#include "platform/KEPWinsock.h"

std::atomic<std::uint64_t> KEPMsgKeepAlive::s_packed{0};

bool KEPMsgKeepAlive::Set(int idleSeconds, int intervalSeconds, int count) {
    if (idleSeconds < 1 || idleSeconds > kMaxSeconds || intervalSeconds < 1 ||
        intervalSeconds > kMaxSeconds || count < 1 || count > kMaxCount) {
        return false;
    }
    s_packed.store(static_cast<std::uint64_t>(idleSeconds) << 24 |
                   static_cast<std::uint64_t>(intervalSeconds) << 8 |
                   static_cast<std::uint64_t>(count));
    return true;
}

void KEPMsgKeepAlive::Clear() {
    s_packed.store(0);
}

void KEPMsgKeepAlive::Apply(int descriptor) {
    const std::uint64_t packed = s_packed.load();
    if (packed == 0) {
        return;
    }
    kepwsa::SetKeepAliveTimes(descriptor, static_cast<int>(packed >> 24),
                              static_cast<int>(packed >> 8 & 0xFFFF),
                              static_cast<int>(packed & 0xFF));
}
