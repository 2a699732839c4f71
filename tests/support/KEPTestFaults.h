// Platform fault sweeps for tests: each platform call of a path fails in turn.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/KEPFaultInjection.h"
#include "platform/KEPWinsock.h"

namespace keptest {

// What a sweep injects: a failure with a Winsock code, or (shortBytes > 0) a send or recv that
// moves at most shortBytes.
struct Fault {
    kepwsa::PlatformCall call;
    int code;
    int shortBytes = 0;
};

inline void NothingToPrepare() {}

// Where the fault of one run of a sweep fired, if it did.
struct FaultRun {
    bool met = false;
    kepwsa::PlatformCall fired = kepwsa::PlatformCall::kAny;
    bool Hit(std::initializer_list<kepwsa::PlatformCall> calls) const {
        return met && std::find(calls.begin(), calls.end(), fired) != calls.end();
    }
};

// Runs prepare(), then path() with the nth call that fault selects failing, then check(run) with
// the fault withdrawn, for n = 1, 2, ... until a run of path completes without meeting the fault.
// Returns how many runs met it.
template <class Prepare, class Path, class Check>
long SweepFaults(const Fault& fault, Prepare prepare, Path path, Check check) {
    // No path of the library makes this many platform calls: a sweep that gets here loops.
    const long kMaxCalls = 400;
    for (long n = 1; n <= kMaxCalls; ++n) {
        SCOPED_TRACE(::testing::Message()
                     << "platform call " << n << " of kind " << static_cast<int>(fault.call)
                     << ", code " << fault.code << ", short " << fault.shortBytes);
        prepare();
        if (fault.shortBytes > 0) {
            kepwsa::ShortenNthCall(fault.call, n, fault.shortBytes);
        } else {
            kepwsa::FailNthCall(fault.call, n, fault.code);
        }
        path();
        kepwsa::DisarmFault();
        FaultRun run;
        run.met = kepwsa::FaultMet(&run.fired);
        check(run);
        if (!run.met || ::testing::Test::HasFatalFailure()) {
            return n - 1;
        }
    }
    ADD_FAILURE() << "the path never completed without meeting the fault";
    return kMaxCalls;
}

}  // namespace keptest
