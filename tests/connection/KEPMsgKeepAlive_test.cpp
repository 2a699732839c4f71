// Keep-alive: the setting reaches dialed and accepted sockets, and nonsense is refused.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "tests/sockets/SocketTestSupport.h"

namespace {

int Option(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

TEST(KEPMsgKeepAliveTest, SettingReachesDialedAndAcceptedSocketsAndNonsenseIsRefused) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    ASSERT_TRUE(services.SetKeepAlive(7, 3, 4));
    const struct {
        const char* name;
        int idle, interval, count;
    } refused[] = {
        {"zero idle", 0, 3, 4},      {"zero interval", 7, 0, 4},     {"zero count", 7, 3, 0},
        {"negative idle", -7, 3, 4}, {"idle too long", 32768, 3, 4}, {"count too large", 7, 3, 128},
    };
    for (const auto& row : refused) {
        EXPECT_FALSE(services.SetKeepAlive(row.idle, row.interval, row.count)) << row.name;
    }
    keptest::LoopbackPair pair = keptest::Connected();
    services.ClearKeepAlive();
    for (KEPMsgCommSocket* socket : {pair.client.get(), pair.accepted.get()}) {
        const int fd = socket->GetId();
        EXPECT_EQ(Option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7) << "refused settings changed it";
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
        EXPECT_EQ(Option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), (7 + 3 * 4) * 1000);
    }
    // Cleared: accepted connections are left as the system makes them again.
    keptest::RawSocket client = keptest::RawConnect(pair.server->GetAddress().GetPort());
    keptest::CommSocketPtr plain(pair.server->Accept());
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(Option(plain->GetId(), SOL_SOCKET, SO_KEEPALIVE), 0);
}

}  // namespace
