#include "sockets/KEPMsgSocketAddress.h"

#include <gtest/gtest.h>

TEST(KEPMsgSocketAddressTest, SetPortOnCopyLeavesOriginal) {
    const KEPMsgSocketAddress original(KEPMsgInetAddress(KEPString("host")), 4000);
    KEPMsgSocketAddress copy = original;
    copy.SetPort(4001);
    EXPECT_EQ(original.GetPort(), 4000);
    EXPECT_EQ(copy.GetPort(), 4001);
    EXPECT_STREQ(copy.GetAddress().GetIPAddress().GetUTF8(), "host");
}
