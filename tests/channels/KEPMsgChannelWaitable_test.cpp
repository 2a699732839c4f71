#include "channels/KEPMsgChannelWaitable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChannelTestSockets.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"

using namespace keptest;

namespace {

using KEPMsgChannelWaitableTest = ChannelSocketsTest;

// Nothing to watch, or a negative time-out: the wait must not wait (here up to a minute).
TEST_F(KEPMsgChannelWaitableTest, NothingOpenOrNegativeTimeoutReturnsWithoutWaiting) {
    KEPMsgChannel closed = Connect(KEPString("closed"));
    closed.GetSocket()->Shutdown();
    KEPMsgChannel gone = Connect(KEPString("gone"));
    KEPMsgChannel goneCopy = gone;
    gone.Shutdown();
    KEPMsgChannel idle = Connect(KEPString("idle"));
    const struct {
        const char* name;
        KEPBasVector<KEPMsgChannel> channels;
        int timeoutMs;
    } rows[] = {{"empty", List({}), 60000},
                {"nothing open", List({KEPMsgChannel(), closed, goneCopy}), 60000},
                {"negative time-out", List({idle}), -5}};
    for (const auto& row : rows) {
        KEPMsgChannelWaitable waitable(row.channels);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(
            FinishesWithinDeadline([&] { waitable.WaitForConnectionAndMessages(row.timeoutMs); }));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << row.name;
        EXPECT_EQ(waitable.Listen().size(), 0) << row.name;
        EXPECT_EQ(waitable.NewlyCreated().size(), 0) << row.name;
    }
}

TEST_F(KEPMsgChannelWaitableTest, ReadyConnectionIsListedAndDataLeftUnread) {
    KEPMsgChannel quiet = Connect(KEPString("quiet"));
    KEPMsgChannel busy = Connect(KEPString("busy"));
    SendByte(busy);
    KEPMsgChannelWaitable waitable(List({quiet, busy}));
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{busy.GetSocketId()}));
    EXPECT_FALSE(waitable.IsListenInterupted());
    // The wait never reads message data: the next wait reports it again, appended.
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{busy.GetSocketId(), busy.GetSocketId()}));
}

TEST_F(KEPMsgChannelWaitableTest, ChannelListedTwiceIsListedTwice) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    KEPMsgChannel idle = Connect(KEPString("idle"));
    SendByte(a);
    SendByte(b);
    KEPMsgChannelWaitable waitable(List({b, idle, a, b}));
    waitable.WaitForConnectionAndMessages(10000);
    // Ready ids in the id table's order (ascending for descriptors), list order within an id.
    std::vector<int> expected;
    if (a.GetSocketId() < b.GetSocketId()) {
        expected = {a.GetSocketId(), b.GetSocketId(), b.GetSocketId()};
    } else {
        expected = {b.GetSocketId(), b.GetSocketId(), a.GetSocketId()};
    }
    EXPECT_EQ(Ids(waitable.Listen()), expected);
}

TEST_F(KEPMsgChannelWaitableTest, PendingClientYieldsExactlyOneNewChannel) {
    KEPMsgChannel server = StartServer(KEPString("server"));
    const int port = LocalPort(server.GetSocketId());
    RawSocket first = RawConnect(port);
    RawSocket second = RawConnect(port);
    ASSERT_TRUE(first.IsOpen() && second.IsOpen());
    ASSERT_TRUE(WaitReadable(server.GetSocketId(), 10));

    KEPMsgChannelWaitable waitable(List({server}));
    waitable.WaitForConnectionAndMessages(10000);
    ASSERT_EQ(waitable.NewlyCreated().size(), 1);  // one Accept() per ready listening socket
    KEPMsgChannel created = waitable.NewlyCreated()[0];
    Track(created.GetSocketId());
    EXPECT_EQ(waitable.Listen().size(), 0);
    EXPECT_TRUE(created.IsActiveInCurrentThreads());
    KEPString label = created.GetLabel();
    EXPECT_FALSE(label.IsNull());
    EXPECT_EQ(label, KEPString(""));
    // The wait registers nothing itself.
    KEPBasVector<KEPMsgChannel> registered;
    KEPMsgChannelOrganizer::Instance().LookupChannel(nullptr, registered);
    EXPECT_EQ(registered.size(), 0);

    waitable.WaitForConnectionAndMessages(10000);
    ASSERT_EQ(waitable.NewlyCreated().size(), 2);
    Track(waitable.NewlyCreated()[1].GetSocketId());
    EXPECT_NE(waitable.NewlyCreated()[1].GetSocketId(), created.GetSocketId());
}

// The byte wakes a wait of another thread; listed twice, it is still one byte consumed, with
// no blocking read.
TEST_F(KEPMsgChannelWaitableTest, WakeUpByteEndsTheWaitSetsFlagAndIsConsumed) {
    KEPMsgChannel wakeUp = Connect(KEPString("x__internal_y"));
    KEPMsgChannelWaitable waitable(List({wakeUp, wakeUp}));
    const int peer = PeerOf(wakeUp);
    std::thread writer([peer] {
        char byte = 1;
        ::send(peer, &byte, 1, MSG_NOSIGNAL);
    });
    EXPECT_TRUE(FinishesWithinDeadline([&] { waitable.WaitForConnectionAndMessages(60000); }));
    writer.join();
    EXPECT_TRUE(waitable.IsListenInterupted());
    EXPECT_EQ(waitable.Listen().size(), 0);
    EXPECT_FALSE(WaitReadable(wakeUp.GetSocketId(), 0));
    EXPECT_TRUE(wakeUp.IsActiveInCurrentThreads());
}

// The set's capacity is KEP_FD_SETSIZE distinct descriptors; later ones are left unwatched.
TEST_F(KEPMsgChannelWaitableTest, OnlyFirstSetSizeDistinctSocketsAreWatched) {
    const int count = KEP_FD_SETSIZE + 1;
    if (RaiseDescriptorLimit(2 * count + 64) < 2 * count + 64) {
        GTEST_SKIP() << "descriptor limit too low for " << count << " connections";
    }
    KEPBasVector<KEPMsgChannel> channels;
    std::vector<KEPMsgChannel> made;
    for (int i = 0; i < count; ++i) {
        made.push_back(Connect(KEPString("c")));
        channels.push_back(made.back());
        if (i == 0) {
            channels.push_back(made.back());  // a duplicate takes no extra place in the set
        }
    }
    KEPMsgChannelWaitable waitable(channels);

    SendByte(made[count - 1]);
    waitable.WaitForConnectionAndMessages(50);
    EXPECT_EQ(waitable.Listen().size(), 0);

    SendByte(made[count - 2]);
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{made[count - 2].GetSocketId()}));
}

// A descriptor closed behind the library's back makes the readiness wait fail: one line on the
// error stream, nothing else changes, and the waitable lock is free again afterwards.
TEST_F(KEPMsgChannelWaitableTest, FailedSelectPrintsLineAndChangesNothing) {
    KEPMsgChannel broken = Connect(KEPString("broken"));
    KEPMsgChannel ready = Connect(KEPString("ready"));
    SendByte(ready);
    KEPMsgChannelWaitable waitable(List({ready, broken}));
    waitable.Listen().push_back(broken);

    // Capture first: its temporary file must not take the descriptor number closed below.
    testing::internal::CaptureStderr();
    const int brokenId = broken.GetSocketId();
    ASSERT_EQ(::close(brokenId), 0);
    waitable.WaitForConnectionAndMessages(10000);
    const std::string printed = testing::internal::GetCapturedStderr();
    // Give the library's socket a live descriptor again, so that closing it is harmless.
    RawSocket spare(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(::dup2(spare.Fd(), brokenId), brokenId);

    EXPECT_EQ(printed, "waiting for select" + std::to_string(kepwsa::WSAENOTSOCK) + "\n");
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{brokenId}));
    EXPECT_EQ(waitable.NewlyCreated().size(), 0);
    EXPECT_FALSE(waitable.IsListenInterupted());
    // Another thread can take the waitable lock (the organizer does when registering).
    EXPECT_TRUE(FinishesWithinDeadline(
        [&] { KEPMsgChannelOrganizer::Instance().RegisterChannel(ready, true); }));
}

TEST_F(KEPMsgChannelWaitableTest, ClosedRemovedAndForeignSocketsAreSkipped) {
    KEPMsgChannel closed = Connect(KEPString("closed"));
    KEPMsgChannel removed = Connect(KEPString("removed"));
    KEPMsgChannel live = Connect(KEPString("live"));
    SendByte(removed);
    SendByte(live);
    KEPMsgChannel removedCopy = removed;
    removed.Shutdown();
    closed.GetSocket()->Shutdown();

    // A connection that was never entered in the table, with data waiting.
    RawSocket foreignPeer;
    const int foreignFd = ConnectRaw(foreignPeer);
    ASSERT_GE(foreignFd, 0);
    KEPMsgCommSocket foreignSocket(LoopbackAddress(m_port), foreignFd);
    KEPMsgChannel foreign(&foreignSocket, KEPString("foreign"));
    char byte = 'f';
    ASSERT_EQ(::send(foreignPeer.Fd(), &byte, 1, MSG_NOSIGNAL), 1);
    ASSERT_TRUE(WaitReadable(foreignFd, 10));

    KEPMsgChannelWaitable waitable(List({closed, removedCopy, foreign, live}));
    testing::internal::CaptureStderr();
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{live.GetSocketId()}));
    foreignSocket.Shutdown();
}

// More distinct ids than the wait's inline id table holds (channels whose ids have no socket in
// the table, listed before and after the live ones): the table must grow without losing or
// reordering the ready sockets.
TEST_F(KEPMsgChannelWaitableTest, LongListOfUnknownIdsKeepsReadySocketsInIdOrder) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    SendByte(a);
    SendByte(b);
    // Never entered in the table; their numbers are far above any descriptor this test opens.
    std::vector<std::unique_ptr<KEPMsgCommSocket>> unknown;
    KEPBasVector<KEPMsgChannel> channels;
    const int unknownCount = 4 * KEP_FD_SETSIZE + 3;
    for (int i = 0; i < unknownCount; ++i) {
        unknown.emplace_back(new KEPMsgCommSocket(LoopbackAddress(m_port), 900000 + i));
        channels.push_back(KEPMsgChannel(unknown.back().get(), KEPString("unknown")));
        if (i == unknownCount / 2) {
            channels.push_back(b);
            channels.push_back(a);
        }
    }
    channels.push_back(b);
    KEPMsgChannelWaitable waitable(channels);
    waitable.WaitForConnectionAndMessages(10000);
    std::vector<int> expected;
    if (a.GetSocketId() < b.GetSocketId()) {
        expected = {a.GetSocketId(), b.GetSocketId(), b.GetSocketId()};
    } else {
        expected = {b.GetSocketId(), b.GetSocketId(), a.GetSocketId()};
    }
    EXPECT_EQ(Ids(waitable.Listen()), expected);
    EXPECT_EQ(waitable.ClosedChannels().size(), 0);
}

}  // namespace

// Input already read ahead into the socket's buffer is invisible to select: the wait must still
// report the channel (here with nothing left in the kernel, so a select would time out).
TEST_F(KEPMsgChannelWaitableTest, ReadAheadInputCountsAsReady) {
    KEPMsgChannel busy = Connect(KEPString("busy"));
    KEPMsgChannel quiet = Connect(KEPString("quiet"));
    const char bytes[] = "abcdefgh";
    ASSERT_EQ(::send(PeerOf(busy), bytes, 8, MSG_NOSIGNAL), 8);
    auto* socket = dynamic_cast<KEPMsgCommSocket*>(busy.GetSocket());
    ASSERT_NE(socket, nullptr);
    char first[2];
    ASSERT_EQ(socket->read(first, 2), 2);
    if (!socket->HasBufferedInput()) {
        GTEST_SKIP() << "the system delivered the bytes in pieces";
    }
    KEPMsgChannelWaitable waitable(List({quiet, busy}));
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(Ids(waitable.Listen()), (std::vector<int>{busy.GetSocketId()}));
    // Still unread: reported again by the next wait.
    waitable.WaitForConnectionAndMessages(10000);
    EXPECT_EQ(waitable.Listen().size(), 2);
}

// Two wake-up bytes arriving together are read ahead by the first wait; the second byte is
// still one wake-up for the next wait, as it was while it sat in the kernel.
TEST_F(KEPMsgChannelWaitableTest, WakeUpBytesReadAheadWakeOneWaitEach) {
    KEPMsgChannel wakeUp = Connect(KEPString("__internal"));
    const char bytes[] = "ww";
    ASSERT_EQ(::send(PeerOf(wakeUp), bytes, 2, MSG_NOSIGNAL), 2);
    auto* socket = dynamic_cast<KEPMsgCommSocket*>(wakeUp.GetSocket());
    ASSERT_NE(socket, nullptr);
    ASSERT_TRUE(WaitReadable(wakeUp.GetSocketId(), 10));
    KEPMsgChannelWaitable waitable(List({wakeUp}));
    int wakeUps = 0;
    for (int i = 0; i < 2; ++i) {
        waitable.SetListenInterrupted(false);
        waitable.WaitForConnectionAndMessages(10000);
        wakeUps += waitable.IsListenInterupted() ? 1 : 0;
    }
    EXPECT_EQ(wakeUps, 2);
    EXPECT_EQ(waitable.Listen().size(), 0);
    EXPECT_FALSE(socket->HasBufferedInput());
    EXPECT_FALSE(WaitReadable(wakeUp.GetSocketId(), 0));
}
