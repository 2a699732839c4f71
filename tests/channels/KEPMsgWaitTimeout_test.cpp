#include "channels/KEPMsgWaitTimeout.h"

#include <gtest/gtest.h>

namespace {

TEST(KEPMsgWaitTimeout, WholeSecondStaysInMicroseconds) {
    timeval t = KEPMsgWaitTimeout(1000);
    EXPECT_EQ(t.tv_sec, 0);
    EXPECT_EQ(t.tv_usec, 1000000);
}

TEST(KEPMsgWaitTimeout, AboveOneSecondSplitsSeconds) {
    timeval t = KEPMsgWaitTimeout(1001);
    EXPECT_EQ(t.tv_sec, 1);
    EXPECT_EQ(t.tv_usec, 1000);
    t = KEPMsgWaitTimeout(2500);
    EXPECT_EQ(t.tv_sec, 2);
    EXPECT_EQ(t.tv_usec, 500000);
}

TEST(KEPMsgWaitTimeout, LoopTimeoutAndPoll) {
    timeval t = KEPMsgWaitTimeout(20);
    EXPECT_EQ(t.tv_sec, 0);
    EXPECT_EQ(t.tv_usec, 20000);
    t = KEPMsgWaitTimeout(0);
    EXPECT_EQ(t.tv_sec, 0);
    EXPECT_EQ(t.tv_usec, 0);
}

TEST(KEPMsgWaitTimeout, NegativeGivesNegativeMicroseconds) {
    timeval t = KEPMsgWaitTimeout(-5);
    EXPECT_EQ(t.tv_sec, 0);
    EXPECT_EQ(t.tv_usec, -5000);
}

}  // namespace
