#include "sockets/KEPMsgKeepAlive.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

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
    const int on = 1;
    const int idle = static_cast<int>(packed >> 24);
    const int interval = static_cast<int>(packed >> 8 & 0xFFFF);
    const int count = static_cast<int>(packed & 0xFF);
    kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    kepwsa::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    kepwsa::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    kepwsa::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
    // Keep-alive probes only run while nothing is unacknowledged; the same bound on
    // unacknowledged data makes a peer that vanishes while data is in flight noticed in time too.
    const unsigned int userTimeoutMs = static_cast<unsigned int>(idle + interval * count) * 1000u;
    kepwsa::setsockopt(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs,
                       sizeof(userTimeoutMs));
}
