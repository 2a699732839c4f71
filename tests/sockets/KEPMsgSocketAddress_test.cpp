#include "sockets/KEPMsgSocketAddress.h"

#include <gtest/gtest.h>

TEST(KEPMsgSocketAddressTest, EmptyHostStaysEmptyAndCopiesAreIndependent) {
    const KEPMsgInetAddress empty{KEPString("")};
    EXPECT_STREQ(empty.GetIPAddress().GetUTF8(), "");
    EXPECT_STREQ(KEPMsgInetAddress().GetIPAddress().GetUTF8(), "");
    EXPECT_TRUE(KEPMsgInetAddress(KEPString("::1")).IsInet4Address());

    const KEPMsgSocketAddress original(KEPMsgInetAddress(KEPString("host")), 4000);
    KEPMsgSocketAddress copy = original;
    copy.SetPort(4001);
    EXPECT_EQ(original.GetPort(), 4000);
    EXPECT_EQ(copy.GetPort(), 4001);
    EXPECT_STREQ(copy.GetAddress().GetIPAddress().GetUTF8(), "host");
}
