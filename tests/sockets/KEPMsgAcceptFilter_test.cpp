// The accept filter's CIDR matching: IPv4 and IPv6 blocks, prefixes that end inside a byte, and
// IPv4 peers that reach an IPv6 listener as mapped addresses.
#include <gtest/gtest.h>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgAcceptFilter.h"

namespace {

sockaddr_storage Peer(const char* text) {
    sockaddr_storage peer{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (kepwsa::ParseNumericAddress(AF_INET, text, &v4->sin_addr)) {
        v4->sin_family = AF_INET;
    } else if (kepwsa::ParseNumericAddress(AF_INET6, text, &v6->sin6_addr)) {
        v6->sin6_family = AF_INET6;
    }
    return peer;
}

TEST(KEPMsgAcceptFilterTest, PeersAreAdmittedExactlyInsideTheirBlocks) {
    KEPMsgAcceptFilter filter;
    EXPECT_TRUE(filter.Allows(Peer("203.0.113.9"))) << "an empty filter admits everyone";
    ASSERT_TRUE(filter.Parse("10.0.0.0/8, 192.168.4.0/22,2001:db8::/33,::1"));
    for (const char* peer :
         {"10.255.1.2", "192.168.7.255", "2001:db8:7fff::1", "::1", "::ffff:10.1.2.3"}) {
        EXPECT_TRUE(filter.Allows(Peer(peer))) << peer;
    }
    for (const char* peer :
         {"11.0.0.1", "192.168.8.0", "2001:db8:8000::1", "::2", "::ffff:11.1.2.3", "0.0.0.1"}) {
        EXPECT_FALSE(filter.Allows(Peer(peer))) << peer;
    }
    EXPECT_FALSE(filter.Parse("10.0.0.0/8,bad")) << "one bad block refuses the list";
    EXPECT_TRUE(filter.Allows(Peer("10.1.1.1"))) << "and leaves the filter as it was";
    ASSERT_TRUE(filter.Parse("0.0.0.0/0"));
    EXPECT_TRUE(filter.Allows(Peer("198.51.100.1")));
    EXPECT_FALSE(filter.Allows(Peer("2001:db8::1"))) << "an IPv4 block admits no IPv6 peer";
}

}  // namespace
