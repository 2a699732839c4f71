#include "channels/KEPMsgWaitTimeout.h"

timeval KEPMsgWaitTimeout(int timeoutMs) {
    timeval timeout{};
    int millisecondsLeft = timeoutMs;
    if (timeoutMs > 1000) {
        timeout.tv_sec = timeoutMs / 1000;
        millisecondsLeft = timeoutMs - static_cast<int>(timeout.tv_sec) * 1000;
    }
    timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>(millisecondsLeft) * 1000;
    return timeout;
}
