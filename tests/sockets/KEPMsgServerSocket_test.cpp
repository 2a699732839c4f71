#include "sockets/KEPMsgServerSocket.h"

#include "platform/KEPWinsock.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

// An empty host and port 0 listen on the loopback of the family the environment forces (IPv6
// wins over IPv4; IPv4 when neither is set) and report the chosen port. The substitution is the
// socket's: the recorded host text stays as given. Returns the numeric host bound to, with both
// variables set to forced (null: neither set).
std::string EmptyHostBinding(const char* forced) {
    ScopedEnv v4("ORV_FORCE_IPV4", forced);
    ScopedEnv v6("ORV_FORCE_IPV6", forced);
    ServerSocketPtr server = Listen("", 0);
    EXPECT_FALSE(server->IsClosed()) << server->GetErrorCode();
    EXPECT_EQ(server->GetErrorCode(), 0);
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    EXPECT_EQ(::getsockname(server->GetId(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    char host[64] = "";
    ::getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST);
    EXPECT_EQ(server->GetAddress().GetPort(), LocalPort(server->GetId()));
    EXPECT_STREQ(server->GetAddress().GetAddress().GetIPAddress().GetUTF8(), "");
    return host;
}

bool HasIpv6Loopback() {
    return !Listen("::1", 0)->IsClosed();
}

// A variable forces its family whatever its value, even one that reads as false.
TEST(KEPMsgServerSocketTest, EmptyHostListensOnTheForcedFamilysLoopback) {
    EXPECT_EQ(EmptyHostBinding(nullptr), "127.0.0.1");
    if (!HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    EXPECT_EQ(EmptyHostBinding("0"), "::1");
}

// Set to the empty string, a variable exists and forces its family too.
TEST(KEPMsgServerSocketTest, EmptyValueForcesTheFamilyToo) {
    if (!HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    EXPECT_EQ(EmptyHostBinding(""), "::1");
}

// A server restarted at once gets its port back: the connections of the listener before it,
// closed by the server first, still hold the port while they wait out TIME_WAIT. The port is
// then the new server's own: a second listener on it fails with WSAEADDRINUSE.
TEST(KEPMsgServerSocketTest, RestartAcceptAfterShutdownAndFailedBindLeaveNoDescriptor) {
    LoopbackPair pair = Connected();
    const int port = pair.server->GetAddress().GetPort();
    pair.accepted->Shutdown();
    pair.server->Shutdown();
    char byte = 0;
    pair.client->read(&byte, 1);
    ASSERT_TRUE(pair.client->IsClosed()) << "the client did not see the server's close";
    pair.client->Shutdown();

    ServerSocketPtr restarted = Listen("", port);
    EXPECT_FALSE(restarted->IsClosed()) << "error " << restarted->GetErrorCode();
    ServerSocketPtr second = Listen("", port);
    EXPECT_TRUE(second->IsClosed());
    EXPECT_EQ(second->GetId(), -1);
    EXPECT_EQ(second->GetErrorCode(), kepwsa::WSAEADDRINUSE);
    // Accept on a shut socket (shut twice, harmlessly) gives null with a code.
    restarted->Shutdown();
    restarted->Shutdown();
    EXPECT_EQ(restarted->Accept(), nullptr);
    EXPECT_EQ(restarted->GetErrorCode(), kepwsa::WSAENOTSOCK);
    // A host that does not resolve, a port out of range and an IPv6 literal under ORV_FORCE_IPV4
    // leave a closed socket with a code and no descriptor (a failed listen: the fault sweeps).
    ScopedEnv noV6("ORV_FORCE_IPV6", nullptr);
    ScopedEnv v4("ORV_FORCE_IPV4", "1");
    const struct {
        const char* host;
        int port;
        int code;  // 0: any code
    } rows[] = {{"a..b", 0, 0}, {"", 70000, kepwsa::WSATYPE_NOT_FOUND}, {"::1", 0, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "'" << row.host << "' " << row.port);
        const int before = OpenDescriptorCount();
        ServerSocketPtr server = Listen(row.host, row.port);
        EXPECT_TRUE(server->IsClosed());
        EXPECT_EQ(server->GetId(), -1);
        EXPECT_TRUE(row.code == 0 ? server->GetErrorCode() != 0
                                  : server->GetErrorCode() == row.code)
            << server->GetErrorCode();
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
}
