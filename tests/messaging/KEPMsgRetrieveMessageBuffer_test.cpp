// Retrieve buffer and message queries: selection, order of what stays, ownership hand-over.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

// Reports positions as given, to check that the buffer guards against sloppy host queries.
class FixedPositionsQuery : public KEPMsgMessageQuery {
  public:
    explicit FixedPositionsQuery(std::vector<int> positions) : m_positions(std::move(positions)) {}
    void Search(const KEPBasVector<KEPBasSocketMessage*>& /*messages*/,
                KEPBasVector<int>& positions) const override {
        for (int position : m_positions) {
            positions.push_back(position);
        }
    }

  private:
    std::vector<int> m_positions;
};

class RetrieveBufferTest : public ::testing::Test {
  protected:
    void SetUp() override { m_setup.reset(new MessagingSetup()); }
    void TearDown() override { m_setup.reset(); }

    KEPMsgRetrieveMessageBuffer& Buffer() { return KEPMsgRetrieveMessageBuffer::Instance(); }

    // Stores a message (the buffer takes it over until retrieved).
    void Store(SequencedMessage* message) {
        Buffer().AddMessage(KEPMsgChannelMsgStruct(KEPMsgChannel(), message));
    }

    static std::vector<std::uint32_t> Sequences(
        const std::vector<std::unique_ptr<SequencedMessage>>& messages) {
        std::vector<std::uint32_t> result;
        for (const auto& message : messages) {
            result.push_back(message->Sequence());
        }
        return result;
    }

    std::unique_ptr<MessagingSetup> m_setup;
};

TEST_F(RetrieveBufferTest, RetrievalByTypeLeavesTheRestInArrivalOrder) {
    Store(new TextMessage(1, "a"));
    Store(new FixedMessage(2, 0, 0));
    Store(new TextMessage(3, "b"));
    Store(new BlobMessage(4, 10, 1));
    Store(new FixedMessage(5, 0, 0));
    EXPECT_EQ((std::vector<std::uint32_t>{1, 3}), Sequences(TakeMessages(TextMessage::kType)));
    EXPECT_EQ(3, Buffer().Count());
    EXPECT_EQ((std::vector<std::uint32_t>{2, 4, 5}), Sequences(TakeMessages()));
    EXPECT_EQ(0, Buffer().Count());
}

TEST_F(RetrieveBufferTest, QuerySelectingNothingChangesNothing) {
    Store(new TextMessage(1, "a"));
    Store(new TextMessage(2, "b"));
    KEPBasVector<KEPBasSocketMessage*> out;
    KEPMsgMessageQueryByType query{KEPString("Nothing")};
    KEPMsgSocketCommunicator::Instance().IRetrieveMessages(&query, out);
    EXPECT_EQ(0, out.size());
    EXPECT_EQ((std::vector<std::uint32_t>{1, 2}), Sequences(TakeMessages()));
}

TEST_F(RetrieveBufferTest, NullQueryRetrievesNothingAndBlockingFormReturns) {
    Store(new TextMessage(1, "a"));
    KEPBasVector<KEPBasSocketMessage*> out;
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    communicator.IRetrieveMessages(nullptr, out);
    communicator.IRetrieveMessagesWithChannel(nullptr, records);
    communicator.RetrieveMessages(nullptr, out);  // would never return if it looped
    EXPECT_EQ(0, out.size());
    EXPECT_EQ(0, records.size());
    EXPECT_EQ(1, Buffer().Count());
}

TEST_F(RetrieveBufferTest, ByTypeMatchesTheWholeNameExactly) {
    Store(new NamedEmptyMessage("Text"));
    Store(new NamedEmptyMessage("text"));
    Store(new NamedEmptyMessage("TextMore"));
    Store(new NamedEmptyMessage("Tex"));
    Store(new NamedEmptyMessage(""));
    KEPBasVector<KEPBasSocketMessage*> out;
    KEPMsgMessageQueryByType text{KEPString("Text")};
    Buffer().IRetrieveMessages(&text, out);
    ASSERT_EQ(1, out.size());
    EXPECT_STREQ("Text", out[0]->GetMessageType().GetUTF8());
    KEPMsgMessageQueryByType empty{KEPString()};  // a null name selects empty names
    Buffer().IRetrieveMessages(&empty, out);
    ASSERT_EQ(2, out.size());
    EXPECT_EQ(0, out[1]->GetMessageType().GetLengthInByte());
    for (int i = 0; i < out.size(); ++i) {
        delete out[i];
    }
    EXPECT_EQ(3, Buffer().Count());
}

TEST_F(RetrieveBufferTest, WithChannelGivesTheChannelAndAnIdWithAllBitsSet) {
    RawListener listener;
    RawLink link = ConnectToRawPeer(listener, "a");
    ASSERT_NE(link.socket, nullptr);
    Buffer().AddMessage(KEPMsgChannelMsgStruct(link.channel, new TextMessage(1, "x")));
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    records.push_back(KEPMsgChannelMsgStruct());
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    KEPMsgSocketCommunicator::Instance().IRetrieveMessagesWithChannel(&query, records);
    ASSERT_EQ(2, records.size());
    EXPECT_TRUE(records[1].m_channel == link.channel);
    EXPECT_EQ(0xFFFFFFFFu, records[1].m_id);
    delete records[1].m_message;
}

// Positions from a sloppy host query (repeated, negative, past the end, ascending until one past
// the end): each valid message goes out once, in the order given; the rest stays in arrival
// order.
TEST_F(RetrieveBufferTest, SloppyPositionsHandEachValidMessageOutOnce) {
    const struct {
        std::vector<int> positions;
        std::vector<std::uint32_t> out;
        std::vector<std::uint32_t> left;
    } rows[] = {{{2, 2, -1, 7, 0}, {3, 1}, {2, 4}}, {{0, 2, 4}, {1, 3}, {2, 4}}};
    for (const auto& row : rows) {
        for (std::uint32_t sequence = 1; sequence <= 4; ++sequence) {
            Store(new TextMessage(sequence, "x"));
        }
        FixedPositionsQuery query(row.positions);
        KEPBasVector<KEPBasSocketMessage*> out;
        Buffer().IRetrieveMessages(&query, out);
        std::vector<std::unique_ptr<SequencedMessage>> taken;
        for (int i = 0; i < out.size(); ++i) {
            taken.emplace_back(static_cast<SequencedMessage*>(out[i]));
        }
        EXPECT_EQ(row.out, Sequences(taken)) << ::testing::PrintToString(row.positions);
        EXPECT_EQ(row.left, Sequences(TakeMessages())) << ::testing::PrintToString(row.positions);
    }
}

TEST_F(RetrieveBufferTest, RecordWithoutMessageIsNotStored) {
    Buffer().AddMessage(KEPMsgChannelMsgStruct());
    EXPECT_EQ(0, Buffer().Count());
}

// The retriever is known to wait before anything is stored; then one store of another type
// leaves it waiting and one of its type ends the wait: no later store is needed.
TEST_F(RetrieveBufferTest, BlockingRetrieveWakesOnASingleStoreOfItsType) {
    KEPBasVector<KEPBasSocketMessage*> out;
    out.push_back(nullptr);  // entries already there do not count
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    {
        BackgroundCall retriever(
            [&] { KEPMsgSocketCommunicator::Instance().RetrieveMessages(&query, out); });
        ASSERT_TRUE(WaitUntil([&] { return Buffer().WaitingRetrieverCount() == 1; }));
        Store(new FixedMessage(8, 0, 0));
        // It wakes, finds nothing of its type and waits again.
        ASSERT_TRUE(WaitUntil([&] { return Buffer().WaitingRetrieverCount() == 1; }));
        Store(new TextMessage(9, "late"));
        EXPECT_TRUE(WaitUntil([&] { return retriever.Done(); }));
    }
    ASSERT_EQ(2, out.size());
    EXPECT_EQ(9u, static_cast<SequencedMessage*>(out[1])->Sequence());
    delete out[1];
    EXPECT_EQ(1, Buffer().Count());  // the other type stays stored
}

// The timed form: false with out untouched when nothing it selects arrives in time, true as
// soon as a store brings something.
TEST_F(RetrieveBufferTest, TimedFalseAndOutUntouchedWithoutArrivalTrueAsSoonAsOneArrives) {
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    Store(new FixedMessage(1, 0, 0));  // stored, but not selected
    KEPBasVector<KEPBasSocketMessage*> out;
    out.push_back(nullptr);
    struct Case {
        KEPMsgMessageQuery* query;
        int timeoutMs;
    };
    for (const Case& c : {Case{&query, -1}, Case{&query, 0}, Case{&query, 50}, Case{nullptr, 50}}) {
        EXPECT_FALSE(communicator.RetrieveMessages(c.query, out, c.timeoutMs)) << c.timeoutMs;
        EXPECT_EQ(1, out.size()) << c.timeoutMs;
    }

    std::atomic<bool> grew{false};
    {
        BackgroundCall retriever(
            [&] { grew.store(communicator.RetrieveMessages(&query, out, 10000)); });
        ASSERT_TRUE(WaitUntil([&] { return Buffer().WaitingRetrieverCount() == 1; }));
        Store(new TextMessage(2, "arrived"));
        EXPECT_TRUE(WaitUntil([&] { return retriever.Done(); }, 5.0)) << "not woken by the store";
    }
    EXPECT_TRUE(grew.load());
    ASSERT_EQ(2, out.size());
    EXPECT_EQ(2u, static_cast<SequencedMessage*>(out[1])->Sequence());
    delete out[1];
}

}  // namespace
