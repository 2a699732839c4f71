#include "channels/KEPMsgChannel.h"

#include "ChannelTestSockets.h"
#include "channels/KEPMsgWaitTimeout.h"

using namespace keptest;

namespace {

using KEPMsgChannelTest = ChannelSocketsTest;

// Shutdown closes the connection and clears only the copy it is called on; the label is shared
// by every copy.
TEST_F(KEPMsgChannelTest, ShutdownClosesConnectionAndClearsOnlyThisCopy) {
    KEPMsgChannel closed = Connect(KEPString("closed"));
    closed.GetSocket()->Shutdown();
    EXPECT_NE(closed.GetSocket(), nullptr);
    EXPECT_FALSE(closed.IsActiveInCurrentThreads());

    KEPMsgChannel channel = Connect(KEPString("first"));
    KEPMsgChannel copy = channel;
    copy.SetLabel(KEPString("a"));
    EXPECT_EQ(channel.GetLabel(), KEPString("a"));
    const int id = channel.GetSocketId();
    ASSERT_TRUE(channel.IsActiveInCurrentThreads());
    channel.Shutdown();
    EXPECT_EQ(channel.GetSocketId(), -1);
    EXPECT_EQ(copy.GetSocketId(), id);
    EXPECT_EQ(copy.GetSocket(), nullptr);
    EXPECT_FALSE(copy.IsActiveInCurrentThreads());
    EXPECT_EQ(copy.GetLabel(), KEPString("a"));  // the name outlives the connection
    copy.Shutdown();  // a second shutdown of a gone connection only clears the id
    EXPECT_EQ(copy.GetSocketId(), -1);
}

// Whole labels only, case-sensitive; an empty or a null label selects unlabelled and empty
// ones. Results are appended to what the list held.
TEST_F(KEPMsgChannelTest, LabelQueryMatchesWholeLabelsOnly) {
    KEPMsgChannel ab = Connect(KEPString("ab"));
    KEPMsgChannel empty = Connect(KEPString(""));
    // Without a socket a channel has the id -1 and records no label under it.
    KEPMsgChannel unlabelled(nullptr, KEPString("label-of-nothing"));
    ASSERT_TRUE(unlabelled.GetLabel().IsNull());
    const KEPBasVector<KEPMsgChannel> channels =
        List({Connect(KEPString("abc")), ab, Connect(KEPString("xab")), Connect(KEPString("AB")),
              ab, unlabelled, empty});
    const int x = ab.GetSocketId(), e = empty.GetSocketId();
    const struct {
        const char* name;
        KEPString label;
        std::vector<int> found;
    } rows[] = {{"ab", KEPString("ab"), {x, x, x}},
                {"empty", KEPString(""), {x, -1, e}},
                {"null", KEPString(), {x, -1, e}}};
    for (const auto& row : rows) {
        KEPBasVector<KEPMsgChannel> found = List({ab});
        KEPMsgChannelQueryByLabel(row.label).Search(channels, found);
        EXPECT_EQ(Ids(found), row.found) << row.name;
    }
}

// Up to one whole second stays in microseconds (as select is given it); above it, whole seconds
// are split off; a negative time-out keeps its sign in the microseconds.
TEST(KEPMsgWaitTimeout, MillisecondsSplitIntoSecondsAndMicroseconds) {
    const struct {
        int milliseconds;
        long seconds;
        long microseconds;
    } cases[] = {{0, 0, 0},       {20, 0, 20000},    {1000, 0, 1000000},
                 {1001, 1, 1000}, {2500, 2, 500000}, {-5, 0, -5000}};
    for (const auto& c : cases) {
        const timeval t = KEPMsgWaitTimeout(c.milliseconds);
        EXPECT_EQ(t.tv_sec, c.seconds) << c.milliseconds;
        EXPECT_EQ(t.tv_usec, c.microseconds) << c.milliseconds;
    }
}

}  // namespace
