// Platform faults for tests: one armed for a scope, and sweeps that fail each platform call of a
// path in turn.
#pragma once

#include <gtest/gtest.h>

#include "platform/KEPFaultInjection.h"
#include "platform/KEPWinsock.h"

namespace keptest {

// Arms one fault for the scope; the destructor withdraws it if it has not fired.
class ScopedFault {
  public:
    ScopedFault(kepwsa::PlatformCall call, long nth, int winsockCode) {
        kepwsa::FailNthCall(call, nth, winsockCode);
    }
    ~ScopedFault() { kepwsa::DisarmFault(); }
    ScopedFault(const ScopedFault&) = delete;
    ScopedFault& operator=(const ScopedFault&) = delete;

    bool Met() const { return kepwsa::FaultMet(); }
};

// Runs attempt() with the nth platform call of kind call failing with winsockCode, for n = 1, 2,
// ... until an attempt completes without meeting the fault; attempt checks its own outcome (it is
// told whether the fault fired through FaultMet()). Returns how many attempts met the fault.
template <class Attempt>
long SweepFaults(kepwsa::PlatformCall call, int winsockCode, Attempt attempt) {
    // No path of the library makes this many platform calls: a sweep that gets here loops.
    const long kMaxCalls = 400;
    for (long n = 1; n <= kMaxCalls; ++n) {
        SCOPED_TRACE(::testing::Message()
                     << "platform call " << n << " fails with " << winsockCode);
        bool met = false;
        {
            ScopedFault fault(call, n, winsockCode);
            attempt();
            met = fault.Met();
        }
        if (!met || ::testing::Test::HasFatalFailure()) {
            return n - 1;
        }
    }
    ADD_FAILURE() << "the path never completed without meeting the fault";
    return kMaxCalls;
}

}  // namespace keptest
