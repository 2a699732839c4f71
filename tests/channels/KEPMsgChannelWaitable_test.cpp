#include "channels/KEPMsgChannelWaitable.h"

#include "ChannelTestSockets.h"
#include "platform/KEPFaultInjection.h"
#include "platform/KEPWinsock.h"

using namespace keptest;

namespace {

using KEPMsgChannelWaitableTest = ChannelSocketsTest;

// Closed and removed sockets (data waiting on the last) are skipped, as are never-entered ones
// (the long list below); with nothing watchable, or a negative time-out, the wait must not wait
// (here up to a minute).
TEST_F(KEPMsgChannelWaitableTest, UnwatchableSocketsAreSkippedAndNeverWaitedFor) {
    KEPMsgChannel closed = Connect(KEPString("closed"));
    closed.GetSocket()->Shutdown();
    KEPMsgChannel gone = Connect(KEPString("gone"));
    KEPMsgChannel goneCopy = gone;
    SendBytes(gone);
    gone.Shutdown();
    KEPMsgChannel idle = Connect(KEPString("idle"));
    KEPMsgChannel live = Connect(KEPString("live"));
    SendBytes(live);
    const struct {
        const char* name;
        KEPBasVector<KEPMsgChannel> channels;
        int timeoutMs;
        std::vector<int> listed;
    } rows[] = {{"nothing watchable", List({KEPMsgChannel(), closed, goneCopy}), 60000, {}},
                {"negative time-out", List({idle}), -5, {}},
                {"skipped, then a live one",
                 List({KEPMsgChannel(), closed, goneCopy, live}),
                 60000,
                 {live.GetSocketId()}}};
    for (const auto& row : rows) {
        KEPMsgChannelWaitable waitable(row.channels);
        EXPECT_TRUE(
            FinishesWithinDeadline([&] { waitable.WaitForConnectionAndMessages(row.timeoutMs); }));
        EXPECT_EQ(Ids(waitable.Listen()), row.listed) << row.name;
        EXPECT_EQ(waitable.NewlyCreated().size(), 0) << row.name;
    }
}

// The wait never reads message data; input already read ahead into the socket's buffer is
// invisible to select but still counts (here with nothing left in the kernel, so a select would
// time out). Each wait appends.
TEST_F(KEPMsgChannelWaitableTest, ReadyAndReadAheadConnectionsAreListedAndDataLeftUnread) {
    KEPMsgChannel quiet = Connect(KEPString("quiet"));
    KEPMsgChannel busy = Connect(KEPString("busy"));
    SendBytes(busy, "abcdefgh");
    ASSERT_TRUE(WaitUntil([&] { return BytesWaiting(busy.GetSocketId()) == 8; }));
    KEPMsgChannelWaitable waitable(List({quiet, busy}));
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{busy.GetSocketId()}));
    EXPECT_FALSE(waitable.IsListenInterupted());
    EXPECT_EQ(BytesWaiting(busy.GetSocketId()), 8);

    auto* socket = dynamic_cast<KEPMsgCommSocket*>(busy.GetSocket());
    char first[2];
    ASSERT_EQ(socket->read(first, 2), 2);
    ASSERT_TRUE(socket->HasBufferedInput()) << "the socket read no further than asked";
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{busy.GetSocketId(), busy.GetSocketId()}));
}

TEST_F(KEPMsgChannelWaitableTest, PendingClientYieldsExactlyOneNewChannel) {
    KEPMsgServerSocket* listener =
        KEPMsgConnectionServicesUtils::Instance().StartServer(LoopbackAddress(0), 16);
    ASSERT_NE(listener, nullptr);
    Track(listener->GetId());
    KEPMsgChannel server(listener, KEPString("server"));
    const int port = LocalPort(server.GetSocketId());
    RawSocket first = RawConnect(port), second = RawConnect(port);
    ASSERT_TRUE(first.IsOpen() && second.IsOpen() && WaitReadable(server.GetSocketId(), 10));

    KEPMsgChannelWaitable waitable(List({server}));
    waitable.WaitForConnectionAndMessages(10000);
    ASSERT_EQ(waitable.NewlyCreated().size(), 1);  // one Accept() per ready listening socket
    KEPMsgChannel created = waitable.NewlyCreated()[0];
    Track(created.GetSocketId());
    EXPECT_EQ(waitable.Listen().size(), 0);
    EXPECT_TRUE(created.IsActiveInCurrentThreads());
    EXPECT_FALSE(created.GetLabel().IsNull());
    EXPECT_EQ(created.GetLabel(), KEPString(""));

    waitable.WaitForConnectionAndMessages(10000);
    ASSERT_EQ(waitable.NewlyCreated().size(), 2);
    Track(waitable.NewlyCreated()[1].GetSocketId());
    EXPECT_NE(waitable.NewlyCreated()[1].GetSocketId(), created.GetSocketId());
}

// Two wake-up bytes on a channel listed twice: each wait consumes one byte (also when the
// first wait read both ahead), raises the flag and lists nothing.
TEST_F(KEPMsgChannelWaitableTest, EachWakeUpByteEndsOneWaitAndIsConsumed) {
    KEPMsgChannel wakeUp = Connect(KEPString("x__internal_y"));
    SendBytes(wakeUp, "ww");
    KEPMsgChannelWaitable waitable(List({wakeUp, wakeUp}));
    for (int i = 0; i < 2; ++i) {
        waitable.SetListenInterrupted(false);
        EXPECT_TRUE(FinishesWithinDeadline([&] { waitable.WaitForConnectionAndMessages(10000); }));
        EXPECT_TRUE(waitable.IsListenInterupted()) << "wait " << i;
    }
    EXPECT_EQ(waitable.Listen().size(), 0);
    EXPECT_FALSE(dynamic_cast<KEPMsgCommSocket*>(wakeUp.GetSocket())->HasBufferedInput());
    EXPECT_FALSE(WaitReadable(wakeUp.GetSocketId(), 0));
    EXPECT_TRUE(wakeUp.IsActiveInCurrentThreads());
}

// The set's capacity is KEP_FD_SETSIZE distinct descriptors; later ones are left unwatched.
TEST_F(KEPMsgChannelWaitableTest, OnlyFirstSetSizeDistinctSocketsAreWatched) {
    const int count = KEP_FD_SETSIZE + 1;
    if (RaiseDescriptorLimit(2 * count + 64) < 2 * count + 64) {
        GTEST_SKIP() << "descriptor limit too low for " << count << " connections";
    }
    // The first one twice: a duplicate takes no extra place in the set.
    KEPBasVector<KEPMsgChannel> channels = List({Connect(KEPString("c"))});
    for (int i = 0; i < count; ++i) {
        channels.push_back(i == 0 ? channels[0] : Connect(KEPString("c")));
    }
    KEPMsgChannelWaitable waitable(channels);
    SendBytes(channels[count]);  // the last distinct one
    waitable.WaitForConnectionAndMessages(50);
    EXPECT_EQ(waitable.Listen().size(), 0);
    SendBytes(channels[count - 1]);
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{channels[count - 1].GetSocketId()}));
}

// A failed readiness wait: one line on the error stream, nothing else changes, and the waitable
// lock is free again afterwards.
TEST_F(KEPMsgChannelWaitableTest, FailedSelectPrintsLineAndChangesNothing) {
    KEPMsgChannel ready = Connect(KEPString("ready"));
    SendBytes(ready);
    KEPMsgChannelWaitable waitable(List({ready}));
    testing::internal::CaptureStderr();
    kepwsa::FailNthCall(kepwsa::PlatformCall::kWait, 1, kepwsa::WSAENETDOWN);
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "waiting for select" + std::to_string(kepwsa::WSAENETDOWN) + "\n");
    EXPECT_EQ(waitable.Listen().size(), 0);
    EXPECT_EQ(waitable.NewlyCreated().size(), 0);
    EXPECT_FALSE(waitable.IsListenInterupted());
    // Another thread can take the waitable lock (the organizer does when registering).
    EXPECT_TRUE(FinishesWithinDeadline(
        [&] { KEPMsgChannelOrganizer::Instance().RegisterChannel(ready, true); }));
}

// More distinct ids than the wait's inline id table holds (channels whose ids have no socket in
// the table, listed before and after the live ones): the table must grow without losing or
// reordering the ready sockets; a channel listed twice is listed twice.
TEST_F(KEPMsgChannelWaitableTest, LongListOfUnknownIdsKeepsReadySocketsInIdOrder) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    SendBytes(a);
    SendBytes(b);
    // Never entered in the table; their numbers are far above any descriptor this test opens.
    std::vector<std::unique_ptr<KEPMsgCommSocket>> unknown;
    KEPBasVector<KEPMsgChannel> channels;
    const int unknownCount = 4 * KEP_FD_SETSIZE + 3;
    for (int i = 0; i < unknownCount; ++i) {
        unknown.emplace_back(new KEPMsgCommSocket(LoopbackAddress(m_listener.Port()), 900000 + i));
        channels.push_back(KEPMsgChannel(unknown.back().get(), KEPString("unknown")));
        if (i == unknownCount / 2) {
            channels.push_back(b);
            channels.push_back(a);
        }
    }
    channels.push_back(b);
    KEPMsgChannelWaitable waitable(channels);
    waitable.WaitForConnectionAndMessages(10000);
    // Ready ids in the id table's order (ascending descriptors), list order within an id.
    const int x = a.GetSocketId(), y = b.GetSocketId();
    const std::vector<int> expected = x < y ? std::vector<int>{x, y, y} : std::vector<int>{y, y, x};
    EXPECT_EQ(Ids(waitable.Listen()), expected);
    EXPECT_EQ(waitable.ClosedChannels().size(), 0);
}

}  // namespace
