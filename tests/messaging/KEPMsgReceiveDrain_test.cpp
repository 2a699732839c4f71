// The receive drain: further messages already buffered are read in the same pass, in order per
// channel, round-robin across channels, with one callback per type per pass; headers of unknown
// types and empty ones do not end it.
#include "MessagingTestSupport.h"

#include <climits>

using namespace keptest;

namespace {

std::map<std::string, int> g_callbacks;

void CountCallback(const KEPString& type) {
    ++g_callbacks[type.GetUTF8()];
}

// One pass over two channels with messages of two types buffered: a busy one (thousands,
// visited first: the pass goes by ascending id) and a quiet one, served in the first round.
// A drain limit below one is refused.
TEST(ReceiveDrainTest, DrainKeepsEachChannelsOrderServesEveryChannelAndCallsEachTypeOnce) {
    MessagingSetup setup;
    g_callbacks.clear();
    Comm().RegisterMessageNotificationCallback(TextMessage::kType, CountCallback);
    Comm().RegisterMessageNotificationCallback(FixedMessage::kType, CountCallback);
    ASSERT_TRUE(Comm().SetReceiveDrainLimit(1000000));
    for (int bad : {0, -1, INT_MIN}) {  // a limit below one is refused and changes nothing
        EXPECT_FALSE(Comm().SetReceiveDrainLimit(bad)) << bad;
        EXPECT_EQ(1000000, Comm().GetReceiveDrainLimit()) << bad;
    }
    RawListener listener;
    RawLink first = ConnectToRawPeer(listener, "first");
    RawLink second = ConnectToRawPeer(listener, "second");
    ASSERT_TRUE(first.socket != nullptr && second.socket != nullptr);
    const bool firstIsLower = first.channel.GetSocketId() < second.channel.GetSocketId();
    RawLink& busy = firstIsLower ? first : second;
    RawLink& quiet = firstIsLower ? second : first;
    std::map<int, std::uint32_t> counts = {{busy.socket->GetId(), 3000},
                                           {quiet.socket->GetId(), 40}};
    for (RawLink* link : {&busy, &quiet}) {
        std::string bytes;
        for (std::uint32_t sequence = 1; sequence <= counts[link->socket->GetId()]; ++sequence) {
            FixedMessage fixed(sequence, sequence, sequence);
            TextMessage text(sequence, "");
            bytes += sequence % 2 == 0 ? WireBytes(fixed) : WireBytes(text);
            // Headers that bring nothing to store must not end the drain.
            bytes += sequence % 8 == 3   ? std::string(4, '\0')
                     : sequence % 8 == 6 ? std::string("\4\0\0\0Nope", 8)
                                         : std::string();
        }
        // All of it waits at the library's end, so the pass's first read takes it in together.
        ASSERT_TRUE(link->peer.SendBytes(bytes));
        ASSERT_TRUE(WaitUntil(
            [&] { return BytesWaiting(link->socket->GetId()) == static_cast<int>(bytes.size()); }));
    }

    Comm().WaitConnectionsAndMessages(nullptr, 1000);

    EXPECT_EQ((std::map<std::string, int>{{"Fixed", 1}, {"Text", 1}}), g_callbacks);
    std::vector<ReceivedMessage> received = TakeReceived();
    EXPECT_EQ(quiet.channel.GetSocketId(), received[1].channel.GetSocketId())
        << "the quiet channel was not served in the first round";
    std::map<int, std::uint32_t> next;
    for (ReceivedMessage& record : received) {
        const int id = record.channel.GetSocketId();
        ASSERT_EQ(++next[id], record.message->Sequence()) << "channel " << id;
    }
    EXPECT_GT(next[busy.socket->GetId()], 1000u) << "the busy channel was not drained";
    EXPECT_EQ(next[quiet.socket->GetId()], 40u) << "the quiet channel was not drained";
}

}  // namespace
