#include "channels/KEPMsgWaitTimeout.h"

#include <gtest/gtest.h>

// Up to one whole second stays in microseconds (as select is given it); above it, whole seconds
// are split off; a negative time-out keeps its sign in the microseconds.
TEST(KEPMsgWaitTimeout, MillisecondsSplitIntoSecondsAndMicroseconds) {
    const struct {
        int milliseconds;
        long seconds;
        long microseconds;
    } cases[] = {{0, 0, 0},       {20, 0, 20000},    {1000, 0, 1000000},
                 {1001, 1, 1000}, {2500, 2, 500000}, {-5, 0, -5000}};
    for (const auto& c : cases) {
        const timeval t = KEPMsgWaitTimeout(c.milliseconds);
        EXPECT_EQ(t.tv_sec, c.seconds) << c.milliseconds;
        EXPECT_EQ(t.tv_usec, c.microseconds) << c.milliseconds;
    }
}
