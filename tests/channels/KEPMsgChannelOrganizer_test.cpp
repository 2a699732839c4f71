#include "channels/KEPMsgChannelOrganizer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ChannelTestSockets.h"
#include "channels/KEPMsgChannelQueryByLabel.h"

using namespace keptest;

namespace {

class KEPMsgChannelOrganizerTest : public ChannelSocketsTest {
  protected:
    KEPMsgChannelOrganizer& organizer() { return KEPMsgChannelOrganizer::Instance(); }
    std::vector<int> Registered() {
        KEPBasVector<KEPMsgChannel> all;
        organizer().LookupChannel(nullptr, all);
        return Ids(all);
    }
    std::vector<int> Listened() { return Ids(organizer().GetCurrentWaitable().Channels()); }
};

TEST_F(KEPMsgChannelOrganizerTest, ChannelRegisteredTwiceIsRemovedOneEntryPerCall) {
    KEPMsgChannel channel = Connect(KEPString("twice"));
    const int id = channel.GetSocketId();
    organizer().RegisterChannel(channel, true);
    organizer().RegisterChannel(channel, true);
    ASSERT_EQ(Registered(), (std::vector<int>{id, id}));
    ASSERT_EQ(Listened(), (std::vector<int>{id, id}));

    KEPMsgChannel copy = channel;
    organizer().RemoveChannel(copy, false);
    EXPECT_EQ(Registered(), (std::vector<int>{id}));
    EXPECT_EQ(Listened(), (std::vector<int>{id}));
    organizer().RemoveChannel(copy, false);
    EXPECT_TRUE(Registered().empty());
    EXPECT_TRUE(Listened().empty());
}

TEST_F(KEPMsgChannelOrganizerTest, RemovalKeepsOrderOfOthers) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    KEPMsgChannel c = Connect(KEPString("c"));
    organizer().RegisterChannel(a, true);
    organizer().RegisterChannel(b, true);
    organizer().RegisterChannel(c, true);
    organizer().RegisterChannel(b, true);
    KEPMsgChannel removed = b;
    organizer().RemoveChannel(removed, false);
    EXPECT_EQ(Registered(), (std::vector<int>{a.GetSocketId(), c.GetSocketId(), b.GetSocketId()}));
    EXPECT_EQ(Listened(), (std::vector<int>{a.GetSocketId(), c.GetSocketId(), b.GetSocketId()}));
}

TEST_F(KEPMsgChannelOrganizerTest, UnlistenedChannelIsVisibleButNeverWaitedOn) {
    KEPMsgChannel quiet = Connect(KEPString("quiet"));
    organizer().RegisterChannel(quiet, false);
    EXPECT_EQ(Registered(), (std::vector<int>{quiet.GetSocketId()}));
    EXPECT_TRUE(Listened().empty());

    SendByte(quiet);
    KEPMsgChannelWaitable& current = organizer().GetCurrentWaitable();
    current.WaitForConnectionAndMessages(0);
    EXPECT_EQ(current.Listen().size(), 0);

    KEPMsgChannel copy = quiet;
    organizer().RemoveChannel(copy, false);
    EXPECT_TRUE(Registered().empty());
}

// With shutdown the connection is closed (registered or not) and the caller's channel cleared;
// without, the connection stays open and the channel keeps its id.
TEST_F(KEPMsgChannelOrganizerTest, RemoveClosesTheConnectionOnlyWithShutdown) {
    const struct {
        const char* name;
        bool registered;
        bool shutdown;
    } rows[] = {{"registered, shutdown", true, true},
                {"registered, no shutdown", true, false},
                {"never registered, shutdown", false, true}};
    for (const auto& row : rows) {
        KEPMsgChannel channel = Connect(KEPString(row.name));
        const int id = channel.GetSocketId();
        const int peer = PeerOf(channel);
        if (row.registered) {
            organizer().RegisterChannel(channel, true);
        }
        organizer().RemoveChannel(channel, row.shutdown);
        EXPECT_TRUE(Registered().empty()) << row.name;
        EXPECT_TRUE(Listened().empty()) << row.name;
        EXPECT_EQ(channel.GetSocketId(), row.shutdown ? -1 : id) << row.name;
        KEPMsgSocket* socket = KEPMsgConnectionServicesUtils::Instance().GetSocket(id);
        EXPECT_EQ(socket == nullptr, row.shutdown) << row.name;
        EXPECT_EQ(WaitReadable(peer, row.shutdown ? 10 : 0), row.shutdown)
            << row.name << ": the peer sees the end only after a shutdown";
    }
}

TEST_F(KEPMsgChannelOrganizerTest, NullLookupAppendsAllInRegistrationOrder) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    organizer().RegisterChannel(b, false);
    organizer().RegisterChannel(a, true);
    organizer().RegisterChannel(b, true);
    KEPBasVector<KEPMsgChannel> found;
    found.push_back(KEPMsgChannel());
    organizer().LookupChannel(nullptr, found);
    EXPECT_EQ(Ids(found),
              (std::vector<int>{-1, b.GetSocketId(), a.GetSocketId(), b.GetSocketId()}));
}

TEST_F(KEPMsgChannelOrganizerTest, NullQueryRemovesEveryChannel) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    organizer().RegisterChannel(a, true);
    organizer().RegisterChannel(b, false);
    organizer().RegisterChannel(a, true);
    organizer().RemoveChannel(static_cast<KEPMsgChannelQuery*>(nullptr), true);
    EXPECT_TRUE(Registered().empty());
    EXPECT_TRUE(Listened().empty());
    EXPECT_EQ(KEPMsgConnectionServicesUtils::Instance().GetSocket(a.GetSocketId()), nullptr);
    EXPECT_EQ(KEPMsgConnectionServicesUtils::Instance().GetSocket(b.GetSocketId()), nullptr);
}

TEST_F(KEPMsgChannelOrganizerTest, LabelQueryRemovesAndLooksUpOnlyThatLabel) {
    KEPMsgChannel keep = Connect(KEPString("peer-x"));
    KEPMsgChannel drop1 = Connect(KEPString("peer"));
    KEPMsgChannel drop2 = Connect(KEPString("peer"));
    organizer().RegisterChannel(keep, true);
    organizer().RegisterChannel(drop1, true);
    organizer().RegisterChannel(drop2, false);

    KEPMsgChannelQueryByLabel query(KEPString("peer"));
    KEPBasVector<KEPMsgChannel> found;
    organizer().LookupChannel(&query, found);
    EXPECT_EQ(Ids(found), (std::vector<int>{drop1.GetSocketId(), drop2.GetSocketId()}));

    organizer().RemoveChannel(&query, false);
    EXPECT_EQ(Registered(), (std::vector<int>{keep.GetSocketId()}));
    EXPECT_EQ(Listened(), (std::vector<int>{keep.GetSocketId()}));
    EXPECT_NE(KEPMsgConnectionServicesUtils::Instance().GetSocket(drop1.GetSocketId()), nullptr);
}

TEST_F(KEPMsgChannelOrganizerTest, ShutdownClosesEverythingAndSecondShutdownDoesNothing) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    organizer().RegisterChannel(a, true);
    organizer().RegisterChannel(b, false);
    KEPMsgChannelWaitable& current = organizer().GetCurrentWaitable();
    current.Listen().push_back(a);  // the caller's lists survive a shutdown

    organizer().Shutdown();
    EXPECT_TRUE(Registered().empty());
    EXPECT_TRUE(Listened().empty());
    EXPECT_EQ(current.Listen().size(), 1);
    EXPECT_EQ(KEPMsgConnectionServicesUtils::Instance().GetSocket(a.GetSocketId()), nullptr);
    EXPECT_EQ(KEPMsgConnectionServicesUtils::Instance().GetSocket(b.GetSocketId()), nullptr);

    organizer().Shutdown();
    EXPECT_TRUE(Registered().empty());
}

// Registering and removing from one thread while another runs the current waitable's wait in a
// loop: the organizer takes its mutex, then the waitable lock, then the connection-services
// mutex, the wait only the last two, so neither can deadlock the other.
TEST_F(KEPMsgChannelOrganizerTest, RegistrationInterleavesWithRunningWait) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    SendByte(b);
    std::atomic<bool> stop{false};
    std::atomic<int> waits{0};
    std::thread waiter([&] {
        KEPMsgChannelWaitable& current = KEPMsgChannelOrganizer::Instance().GetCurrentWaitable();
        while (!stop.load()) {
            current.WaitForConnectionAndMessages(1);
            current.Listen().Clear();
            waits.fetch_add(1);
            // A receive pass does work between two waits; without a pause this loop would
            // re-take the waitable lock at once and could starve the registering thread.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Run at least 200 rounds and until the waiter has completed 20 waits among them.
    const bool finished = FinishesWithinDeadline([&] {
        const int before = waits.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0;
             i < 200 || (waits.load() < before + 20 && std::chrono::steady_clock::now() < deadline);
             ++i) {
            organizer().RegisterChannel(a, true);
            organizer().RegisterChannel(b, true);
            KEPMsgChannel copy = a;
            organizer().RemoveChannel(copy, false);
            KEPMsgChannelQueryByLabel query(KEPString("b"));
            organizer().RemoveChannel(&query, false);
        }
    });
    stop.store(true);
    waiter.join();
    ASSERT_TRUE(finished);
    EXPECT_GE(waits.load(), 20);
    EXPECT_TRUE(Registered().empty());
    EXPECT_TRUE(Listened().empty());
}

}  // namespace
