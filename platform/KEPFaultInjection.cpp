#include "platform/KEPFaultInjection.h"

#include <mutex>

#include "platform/KEPWinsock.h"

namespace kepwsa {

namespace fault {

std::atomic<bool> g_armed{false};

namespace {

// The armed fault; only read and changed under s_mutex.
struct Plan {
    PlatformCall call = PlatformCall::kAny;
    long remaining = -1;  // matching calls to let through before the one that trips
    int code = 0;         // the Winsock code, or 0 for a short count
    int maxBytes = 0;
    bool met = false;
    PlatformCall fired = PlatformCall::kAny;
};

std::mutex s_mutex;
Plan s_plan;

void Arm(const Plan& plan) {
    std::lock_guard<std::mutex> guard(s_mutex);
    s_plan = plan;
    g_armed.store(plan.remaining >= 0);
}

}  // namespace

bool Trip(PlatformCall call, int* length) {
    std::lock_guard<std::mutex> guard(s_mutex);
    if (!g_armed.load() || (s_plan.call != PlatformCall::kAny && s_plan.call != call)) {
        return false;
    }
    if (s_plan.remaining-- > 0) {
        return false;
    }
    s_plan.met = true;
    s_plan.fired = call;
    g_armed.store(false);
    if (s_plan.code == 0) {
        if (length != nullptr && *length > s_plan.maxBytes) {
            *length = s_plan.maxBytes;
        }
        return false;
    }
    WSASetLastError(s_plan.code);
    return true;
}

}  // namespace fault

void FailNthCall(PlatformCall call, long nth, int winsockCode) {
    fault::Arm(fault::Plan{call, nth - 1, winsockCode, 0, false, call});
}

void ShortenNthCall(PlatformCall call, long nth, int maxBytes) {
    fault::Arm(fault::Plan{call, nth - 1, 0, maxBytes < 1 ? 1 : maxBytes, false, call});
}

void DisarmFault() {
    std::lock_guard<std::mutex> guard(fault::s_mutex);
    fault::g_armed.store(false);
}

bool FaultMet(PlatformCall* fired) {
    std::lock_guard<std::mutex> guard(fault::s_mutex);
    if (fired != nullptr) {
        *fired = fault::s_plan.fired;
    }
    return fault::s_plan.met;
}

}  // namespace kepwsa
