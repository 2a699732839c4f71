#include "channels/KEPMsgChannelOrganizer.h"

#include <chrono>
#include <functional>
#include <thread>

#include "ChannelTestSockets.h"

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
    bool NothingRegistered() { return Registered().empty() && Listened().empty(); }
};

// A channel registered twice is removed one entry per call; the others keep their order. An
// unlistened channel is looked up (appended, in registration order) but never waited on.
TEST_F(KEPMsgChannelOrganizerTest, RemovalTakesOneEntryPerCallAndKeepsTheOrderOfOthers) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    KEPMsgChannel quiet = Connect(KEPString("peer-x"));
    organizer().RegisterChannel(a, true);
    organizer().RegisterChannel(b, true);
    organizer().RegisterChannel(quiet, false);
    organizer().RegisterChannel(b, true);
    const int x = a.GetSocketId(), y = b.GetSocketId(), q = quiet.GetSocketId();
    KEPBasVector<KEPMsgChannel> found = List({KEPMsgChannel()});
    organizer().LookupChannel(nullptr, found);
    EXPECT_EQ(Ids(found), (std::vector<int>{-1, x, y, q, y}));
    EXPECT_EQ(Listened(), (std::vector<int>{x, y, y}));

    KEPMsgChannel copy = b;
    organizer().RemoveChannel(copy, false);
    EXPECT_EQ(Registered(), (std::vector<int>{x, q, y}));
    EXPECT_EQ(Listened(), (std::vector<int>{x, y}));
    organizer().RemoveChannel(copy, false);
    EXPECT_EQ(Registered(), (std::vector<int>{x, q}));
    EXPECT_EQ(Listened(), (std::vector<int>{x}));

    // A label query removes only whole matches, and closes nothing.
    KEPMsgChannel drop = Connect(KEPString("peer"));
    organizer().RegisterChannel(drop, true);
    KEPMsgChannelQueryByLabel query(KEPString("peer"));
    organizer().RemoveChannel(&query, false);
    EXPECT_EQ(Registered(), (std::vector<int>{x, q}));
    EXPECT_EQ(Listened(), (std::vector<int>{x}));
    EXPECT_NE(drop.GetSocket(), nullptr);
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
        EXPECT_TRUE(NothingRegistered()) << row.name;
        EXPECT_EQ(channel.GetSocketId(), row.shutdown ? -1 : id) << row.name;
        KEPMsgSocket* socket = KEPMsgConnectionServicesUtils::Instance().GetSocket(id);
        EXPECT_EQ(socket == nullptr, row.shutdown) << row.name;
        EXPECT_EQ(WaitReadable(peer, row.shutdown ? 10 : 0), row.shutdown)
            << row.name << ": the peer sees the end only after a shutdown";
    }
}

// A null query and Shutdown both remove every channel and close its connection; the caller's
// lists survive, and a second call finds nothing to do.
TEST_F(KEPMsgChannelOrganizerTest, NullQueryAndShutdownCloseEverything) {
    for (const bool viaShutdown : {false, true}) {
        KEPMsgChannel a = Connect(KEPString("a"));
        KEPMsgChannel b = Connect(KEPString("b"));
        organizer().RegisterChannel(a, true);
        organizer().RegisterChannel(b, false);
        organizer().RegisterChannel(a, true);
        KEPMsgChannelWaitable& current = organizer().GetCurrentWaitable();
        current.Listen().Clear();
        current.Listen().push_back(a);
        for (int call = 0; call < 2; ++call) {
            if (viaShutdown) {
                organizer().Shutdown();
            } else {
                organizer().RemoveChannel(static_cast<KEPMsgChannelQuery*>(nullptr), true);
            }
        }
        EXPECT_TRUE(NothingRegistered()) << viaShutdown;
        EXPECT_EQ(current.Listen().size(), 1) << viaShutdown;
        EXPECT_FALSE(a.GetSocket() || b.GetSocket()) << viaShutdown;
    }
}

// Selects every channel, then runs a step while the organizer mutex is still held.
class SelectAllThen : public KEPMsgChannelQuery {
  public:
    explicit SelectAllThen(std::function<void()> step) : m_step(std::move(step)) {}
    void Search(const KEPBasVector<KEPMsgChannel>& channels,
                KEPBasVector<KEPMsgChannel>& found) const override {
        for (int i = 0; i < channels.size(); ++i) {
            found.push_back(channels[i]);
        }
        m_step();
    }

  private:
    std::function<void()> m_step;
};

// The selected connection goes, and a new one takes its number, between the selection and the
// removal: the removal closes what it selected, never the newcomer.
TEST_F(KEPMsgChannelOrganizerTest, RemovalByQueryNeverClosesAConnectionThatTookTheNumberSince) {
    KEPMsgChannel selected = Connect(KEPString("selected"));
    organizer().RegisterChannel(selected, true);
    const int id = selected.GetSocketId();
    RawSocket newcomerPeer = RawConnect(m_listener.Port());
    KEPMsgSocket* newcomer = nullptr;
    SelectAllThen query([&] {
        KEPMsgConnectionServicesUtils::Instance().ShutDownConnection(id);
        RawSocket accepted = m_listener.Accept();  // the lowest free number: the selected one's
        newcomer = new KEPMsgCommSocket(LoopbackAddress(m_listener.Port()), accepted.Release());
        KEPMsgConnectionServicesUtils::Instance().AddConnection(newcomer);
        Track(newcomer->GetId());
    });
    organizer().RemoveChannel(&query, true);
    ASSERT_NE(newcomer, nullptr);
    ASSERT_EQ(newcomer->GetId(), id) << "the newcomer did not get the number";
    EXPECT_EQ(KEPMsgConnectionServicesUtils::Instance().GetSocket(id), newcomer);
    EXPECT_FALSE(newcomerPeer.WaitReadable(0)) << "the newcomer was closed";
    EXPECT_TRUE(NothingRegistered());
}

// Registering and removing from one thread while another runs the current waitable's wait in a
// loop: the organizer takes its mutex, then the waitable lock, then the connection-services
// mutex, the wait only the last two, so neither can deadlock the other.
TEST_F(KEPMsgChannelOrganizerTest, RegistrationInterleavesWithRunningWait) {
    KEPMsgChannel a = Connect(KEPString("a"));
    KEPMsgChannel b = Connect(KEPString("b"));
    SendBytes(b);
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
    // At least 200 rounds, and until the waiter has completed 20 waits among them (a starved
    // waiter keeps the loop going until the deadline aborts the program).
    EXPECT_TRUE(FinishesWithinDeadline([&] {
        for (int i = 0, before = waits.load(); i < 200 || waits.load() < before + 20; ++i) {
            organizer().RegisterChannel(a, true);
            organizer().RegisterChannel(b, true);
            KEPMsgChannel copy = a;
            organizer().RemoveChannel(copy, false);
            KEPMsgChannelQueryByLabel query(KEPString("b"));
            organizer().RemoveChannel(&query, false);
        }
    }));
    stop.store(true);
    waiter.join();
    EXPECT_TRUE(NothingRegistered());
}

}  // namespace
