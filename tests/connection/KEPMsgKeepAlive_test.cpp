// Keep-alive: the setting reaches dialed and accepted sockets, and nonsense is refused.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"
#include "tests/support/KEPTestNet.h"

namespace {

int Option(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

KEPMsgSocketAddress Loopback(int port) {
    return KEPMsgSocketAddress(KEPString("127.0.0.1"), port);
}

TEST(KEPMsgKeepAliveTest, SettingReachesDialedAndAcceptedSocketsAndNonsenseIsRefused) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    ASSERT_TRUE(services.SetKeepAlive(7, 3, 4));
    struct Row {
        const char* name;
        int idle, interval, count;
    };
    const Row refused[] = {
        {"zero idle", 0, 3, 4},      {"zero interval", 7, 0, 4},     {"zero count", 7, 3, 0},
        {"negative idle", -7, 3, 4}, {"idle too long", 32768, 3, 4}, {"count too large", 7, 3, 128},
    };
    for (const Row& row : refused) {
        EXPECT_FALSE(services.SetKeepAlive(row.idle, row.interval, row.count)) << row.name;
    }

    KEPMsgServerSocket server(Loopback(0), 4);
    ASSERT_FALSE(server.IsClosed());
    KEPMsgCommSocket dialed(Loopback(0));
    dialed.Connect(Loopback(server.GetAddress().GetPort()));
    ASSERT_TRUE(dialed.IsConnected());
    KEPMsgCommSocket* accepted = server.Accept();
    ASSERT_NE(accepted, nullptr);
    services.ClearKeepAlive();
    for (KEPMsgCommSocket* socket : {&dialed, accepted}) {
        const int fd = socket->GetId();
        EXPECT_EQ(Option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7) << "refused settings changed it";
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), (7 + 3 * 4) * 1000);
    }
    // Cleared: accepted connections are left as the system makes them again.
    keptest::RawSocket client = keptest::RawConnect(server.GetAddress().GetPort());
    KEPMsgCommSocket* plain = server.Accept();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(Option(plain->GetId(), SOL_SOCKET, SO_KEEPALIVE), 0);
    for (KEPMsgCommSocket* socket : {accepted, plain}) {
        socket->Shutdown();
        delete socket;
    }
    dialed.Shutdown();
    server.Shutdown();
}

}  // namespace
