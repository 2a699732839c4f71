// Two processes exchange traffic end to end through the soak program (tests/soak): one serves
// and runs the message task, the other runs its passes by hand over connections that come and
// go; every message must arrive once, intact and in order, both ways.
#include <gtest/gtest.h>

#include "tests/support/KEPTestNet.h"

using namespace keptest;

namespace {

// A fresh process's first message id is one.
TEST(TwoProcessTest, TrafficBothWaysArrivesOnceIntactAndInOrder) {
    ChildProcess fresh({KEP_SOAK_PATH, "--first-id"});
    EXPECT_EQ(0, fresh.Wait(30.0)) << "first id: " << fresh.Err();
    ChildProcess soak({KEP_SOAK_PATH, "--seconds", "2", "--seed", "15"});
    ASSERT_TRUE(soak.Started());
    EXPECT_EQ(0, soak.Wait(120.0)) << soak.Out() << soak.Err();
}

}  // namespace
