// The options every connection gets, read back from the system: Nagle off (on accepted
// connections too), a 5 s lingering close, a 64 KiB send buffer, the process-wide I/O time-out
// both ways, and keep-alive on connections the library opens. An accepted connection carries the
// listener's address.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

int IntOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
}

TEST(KEPMsgSocketOptionsTest, ConnectedAndAcceptedSocketsCarryTheirOptions) {
    ScopedIoTimeout timeout(1500);
    LoopbackPair pair = Connected();
    ASSERT_NE(pair.accepted, nullptr);
    EXPECT_EQ(pair.accepted->GetAddress().GetPort(), pair.server->GetAddress().GetPort());
    const struct {
        const char* name;
        int fd;
        bool keepAlive;
    } rows[] = {{"connected", pair.client->GetId(), true},
                {"accepted", pair.accepted->GetId(), false}};
    for (const auto& row : rows) {
        EXPECT_NE(0, IntOption(row.fd, IPPROTO_TCP, TCP_NODELAY)) << row.name;
        linger lingering{};
        socklen_t length = sizeof lingering;
        ASSERT_EQ(0, ::getsockopt(row.fd, SOL_SOCKET, SO_LINGER, &lingering, &length)) << row.name;
        EXPECT_NE(0, lingering.l_onoff) << row.name;
        EXPECT_EQ(5, lingering.l_linger) << row.name;
        // Linux reports twice the size asked for (its bookkeeping share).
        const int sendBuffer = IntOption(row.fd, SOL_SOCKET, SO_SNDBUF);
        EXPECT_TRUE(sendBuffer == 65536 || sendBuffer == 2 * 65536)
            << row.name << " " << sendBuffer;
        for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            timeval limit{};
            length = sizeof(limit);
            ASSERT_EQ(::getsockopt(row.fd, SOL_SOCKET, option, &limit, &length), 0) << row.name;
            EXPECT_EQ(limit.tv_sec * 1000 + limit.tv_usec / 1000, 1500) << row.name;
        }
        if (row.keepAlive) {
            EXPECT_NE(0, IntOption(row.fd, SOL_SOCKET, SO_KEEPALIVE)) << row.name;
        }
    }
}

}  // namespace
