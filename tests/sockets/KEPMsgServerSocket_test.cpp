#include "sockets/KEPMsgServerSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

sockaddr_storage BoundAddress(int descriptor) {
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    EXPECT_EQ(::getsockname(descriptor, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    return bound;
}

bool HasIpv6Loopback() {
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (probe < 0) {
        return false;
    }
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)) == 0;
    ::close(probe);
    return ok;
}

}  // namespace

TEST(KEPMsgServerSocketTest, EmptyHostAndPortZeroListensOnLoopbackAndReportsChosenPort) {
    ScopedEnv noV4("ORV_FORCE_IPV4", nullptr);
    ScopedEnv noV6("ORV_FORCE_IPV6", nullptr);
    ServerSocketPtr server = Listen("", 0);
    ASSERT_FALSE(server->IsClosed()) << server->GetErrorCode();
    ASSERT_NE(server->GetId(), -1);
    EXPECT_EQ(server->GetErrorCode(), 0);

    const sockaddr_storage bound = BoundAddress(server->GetId());
    ASSERT_EQ(bound.ss_family, AF_INET);
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&bound);
    EXPECT_EQ(ntohl(v4->sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_GT(server->GetAddress().GetPort(), 0);
    EXPECT_EQ(server->GetAddress().GetPort(), ntohs(v4->sin_port));
    // The substitution is the socket's; the recorded host text stays as given.
    EXPECT_STREQ(server->GetAddress().GetAddress().GetIPAddress().GetUTF8(), "");
}

TEST(KEPMsgServerSocketTest, SecondListenerOnSamePortFailsWithAddressInUse) {
    ServerSocketPtr first = Listen();
    ASSERT_FALSE(first->IsClosed());
    ServerSocketPtr second = Listen("", first->GetAddress().GetPort());
    EXPECT_TRUE(second->IsClosed());
    EXPECT_EQ(second->GetId(), -1);
    EXPECT_EQ(second->GetErrorCode(), kepwsa::WSAEADDRINUSE);
}

TEST(KEPMsgServerSocketTest, ForcedIpv6WinsOverForcedIpv4AndBindsIpv6Loopback) {
    if (!HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    ScopedEnv v4("ORV_FORCE_IPV4", "");
    ScopedEnv v6("ORV_FORCE_IPV6", "");
    ServerSocketPtr server = Listen("", 0);
    ASSERT_FALSE(server->IsClosed()) << server->GetErrorCode();
    const sockaddr_storage bound = BoundAddress(server->GetId());
    ASSERT_EQ(bound.ss_family, AF_INET6);
    const auto* v6addr = reinterpret_cast<const sockaddr_in6*>(&bound);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&v6addr->sin6_addr));
    EXPECT_EQ(server->GetAddress().GetPort(), ntohs(v6addr->sin6_port));
}

TEST(KEPMsgServerSocketTest, ForcedIpv4RejectsIpv6Literal) {
    ScopedEnv noV6("ORV_FORCE_IPV6", nullptr);
    ScopedEnv v4("ORV_FORCE_IPV4", "1");
    ServerSocketPtr server = Listen("::1", 0);
    EXPECT_TRUE(server->IsClosed());
    EXPECT_EQ(server->GetId(), -1);
    EXPECT_NE(server->GetErrorCode(), 0);
}

TEST(KEPMsgServerSocketTest, FailedListenLeavesClosedSocketWithoutHandleOrDescriptor) {
    // A bound TCP socket cannot be made to fail listen() naturally on Linux, so the platform
    // layer injects the failure.
    const int before = OpenDescriptorCount();
    kepwsa::SetListenFailureForTesting(kepwsa::WSAEADDRINUSE);
    ServerSocketPtr server = Listen();
    kepwsa::SetListenFailureForTesting(0);
    EXPECT_TRUE(server->IsClosed());
    EXPECT_EQ(server->GetId(), -1);
    EXPECT_EQ(server->GetErrorCode(), kepwsa::WSAEADDRINUSE);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(KEPMsgServerSocketTest, UnresolvableHostOrBadPortLeavesClosedSocketWithCode) {
    for (const auto& address : {Address("a..b", 0), Address("", 70000)}) {
        KEPMsgServerSocket server(address, 5);
        EXPECT_TRUE(server.IsClosed());
        EXPECT_EQ(server.GetId(), -1);
        EXPECT_NE(server.GetErrorCode(), 0);
        server.Shutdown();
    }
    KEPMsgServerSocket outOfRange(Address("", 70000), 5);
    EXPECT_EQ(outOfRange.GetErrorCode(), kepwsa::WSATYPE_NOT_FOUND);
}

TEST(KEPMsgServerSocketTest, AcceptOnShutSocketReturnsNullWithCode) {
    ServerSocketPtr server = Listen();
    server->Shutdown();
    server->Shutdown();  // harmless
    EXPECT_TRUE(server->IsClosed());
    EXPECT_EQ(server->Accept(), nullptr);
    EXPECT_EQ(server->GetErrorCode(), kepwsa::WSAENOTSOCK);
}

TEST(KEPMsgServerSocketTest, AcceptedConnectionGetsIoTimeoutAndListenerAddress) {
    ScopedIoTimeout timeout(1500);
    LoopbackPair pair = Connected();
    ASSERT_NE(pair.accepted, nullptr);
    EXPECT_TRUE(pair.accepted->IsConnected());
    EXPECT_EQ(pair.accepted->GetAddress().GetPort(), pair.server->GetAddress().GetPort());
    for (const int descriptor : {pair.accepted->GetId(), pair.client->GetId()}) {
        timeval limit{};
        socklen_t length = sizeof(limit);
        ASSERT_EQ(::getsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, &length), 0);
        EXPECT_EQ(limit.tv_sec * 1000 + limit.tv_usec / 1000, 1500);
        ASSERT_EQ(::getsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, &length), 0);
        EXPECT_EQ(limit.tv_sec * 1000 + limit.tv_usec / 1000, 1500);
    }
}
