// A read asked for a negative length is the caller's error: it must not return 0, which a
// stream reports as the peer's close, and it must neither consume data nor end the connection.
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/KEPWinsock.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

TEST(KEPMsgCommSocketReadLengthTest, NegativeLengthIsAnErrorAndConsumesNothing) {
    LoopbackPair pair = Connected();
    ASSERT_EQ(pair.client->write("ab", 2), 2);
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(pair.accepted->GetId()) == 2; }));
    for (int length : {-1, INT_MIN}) {
        char buffer[4] = {};
        EXPECT_EQ(pair.accepted->read(buffer, length), -1) << "length " << length;
        EXPECT_EQ(pair.accepted->GetErrorCode(), kepwsa::WSAEINVAL) << "length " << length;
        EXPECT_TRUE(pair.accepted->IsConnected()) << "length " << length;
        pair.accepted->SetErrorCode(0);
    }
    char buffer[2] = {};
    ASSERT_EQ(pair.accepted->read(buffer, 2), 2);
    EXPECT_EQ(std::memcmp(buffer, "ab", 2), 0);
}

}  // namespace
