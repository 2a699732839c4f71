// Retrieve buffer and message queries: selection, order of what stays, ownership hand-over.
#include "MessagingTestSupport.h"

using namespace keptest;

namespace {

// Reports positions as given, then takes the last `withdrawn` back (they stay in the vector's
// spare room), to check that the buffer guards against sloppy host queries.
struct FixedPositionsQuery : KEPMsgMessageQuery {
    explicit FixedPositionsQuery(std::vector<int> given, int back = 0)
        : positions(std::move(given)), withdrawn(back) {}
    void Search(const KEPBasVector<KEPBasSocketMessage*>&, KEPBasVector<int>& out) const override {
        for (int position : positions) {
            out.push_back(position);
        }
        for (int i = 0; i < withdrawn; ++i) {
            out.Erase(out.size() - 1);
        }
    }
    std::vector<int> positions;
    int withdrawn;
};

class RetrieveBufferTest : public ::testing::Test {
  protected:
    KEPMsgRetrieveMessageBuffer& Buffer() { return KEPMsgRetrieveMessageBuffer::Instance(); }

    // Stores a message (the buffer takes it over until retrieved).
    void Store(SequencedMessage* message) {
        Buffer().AddMessage(KEPMsgChannelMsgStruct(KEPMsgChannel(), message));
    }

    // The sequence numbers of what query retrieves (the messages are deleted).
    std::vector<std::uint32_t> Retrieve(KEPMsgMessageQuery* query) {
        KEPBasVector<KEPBasSocketMessage*> out;
        Buffer().IRetrieveMessages(query, out);
        std::vector<std::uint32_t> sequences;
        for (int i = 0; i < out.size(); ++i) {
            sequences.push_back(static_cast<SequencedMessage*>(out[i])->Sequence());
            delete out[i];
        }
        return sequences;
    }

    MessagingSetup m_setup;
};

// A query selecting nothing changes nothing; a type matches whole names exactly (a null name
// selects empty ones); what stays keeps its arrival order. Sloppy positions from a host query
// hand each valid message out once.
TEST_F(RetrieveBufferTest, RetrievalByTypeOrSloppyPositionsLeavesTheRestInArrivalOrder) {
    Store(new TextMessage(1, "a"));
    Store(new FixedMessage(2, 0, 0));
    Store(new TextMessage(3, "b"));
    Store(new BlobMessage(4, 10, 1));
    for (const char* type : {"text", "TextMore", "Tex", ""}) {
        Store(new NamedEmptyMessage(type));
    }
    Store(new FixedMessage(5, 0, 0));
    KEPMsgMessageQueryByType nothing{KEPString("Nothing")}, text{KEPString(TextMessage::kType)};
    EXPECT_TRUE(Retrieve(&nothing).empty());
    EXPECT_EQ((std::vector<std::uint32_t>{1, 3}), Retrieve(&text));
    KEPBasVector<KEPBasSocketMessage*> out;
    KEPMsgMessageQueryByType empty{KEPString()};
    Buffer().IRetrieveMessages(&empty, out);
    ASSERT_EQ(1, out.size());
    EXPECT_EQ(0, out[0]->GetMessageType().GetLengthInByte());
    delete out[0];
    // Every position, and more: the rest in arrival order.
    FixedPositionsQuery all({0, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ((std::vector<std::uint32_t>{2, 4, 0, 0, 0, 5}), Retrieve(&all));

    // Positions from a sloppy host query (repeated, negative, past the end, ascending until one
    // past the end, one taken back): each valid message goes out once, in the order given; the
    // rest stays in arrival order.
    const struct {
        std::vector<int> positions;
        int withdrawn;
        std::vector<std::uint32_t> out;
        std::vector<std::uint32_t> left;
    } rows[] = {{{2, 2, -1, 7, 0}, 0, {3, 1}, {2, 4}},
                {{0, 2, 4}, 0, {1, 3}, {2, 4}},
                {{0, 1}, 1, {1}, {2, 3, 4}}};
    for (const auto& row : rows) {
        for (std::uint32_t sequence = 1; sequence <= 4; ++sequence) {
            Store(new TextMessage(sequence, "x"));
        }
        FixedPositionsQuery query(row.positions, row.withdrawn);
        EXPECT_EQ(row.out, Retrieve(&query)) << ::testing::PrintToString(row.positions);
        EXPECT_EQ(row.left, Retrieve(&text)) << ::testing::PrintToString(row.positions);
    }
}

// A null query retrieves nothing (the blocking form returns); the timed form returns false
// with out untouched when nothing it selects arrives in time. A record without a message is not
// stored. A waiting retrieve wakes on a single store of its type.
TEST_F(RetrieveBufferTest, NothingSelectedRetrievesNothingAndOneStoreWakesAWaitingRetrieve) {
    KEPMsgMessageQueryByType query{KEPString(TextMessage::kType)};
    Store(new FixedMessage(1, 0, 0));  // stored, but not selected
    Buffer().AddMessage(KEPMsgChannelMsgStruct());
    KEPBasVector<KEPBasSocketMessage*> out;
    out.push_back(nullptr);
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    Comm().IRetrieveMessages(nullptr, out);
    Comm().IRetrieveMessagesWithChannel(nullptr, records);
    Comm().RetrieveMessages(nullptr, out);  // would never return if it looped
    const std::pair<KEPMsgMessageQuery*, int> cases[] = {
        {&query, -1}, {&query, 0}, {&query, 50}, {nullptr, 50}};
    for (const auto& [selecting, timeoutMs] : cases) {
        EXPECT_FALSE(Comm().RetrieveMessages(selecting, out, timeoutMs)) << timeoutMs;
    }
    EXPECT_EQ(1, out.size());
    EXPECT_EQ(0, records.size());
    EXPECT_EQ(1, Buffer().Count());

    // The blocking form and the timed one: the retriever is known to wait before anything is
    // stored; one store of another type leaves it waiting, one of its type ends the wait at once
    // (no later store is needed), and what it took is appended to out.
    for (const bool timed : {false, true}) {
        std::atomic<bool> found{!timed};
        {
            BackgroundCall retriever([&] {
                if (timed) {
                    found.store(Comm().RetrieveMessages(&query, out, 10000));
                } else {
                    Comm().RetrieveMessages(&query, out);
                }
            });
            ASSERT_TRUE(WaitUntil([&] { return Buffer().WaitingRetrieverCount() == 1; }));
            Store(new FixedMessage(8, 0, 0));
            // It wakes, finds nothing of its type and waits again.
            ASSERT_TRUE(WaitUntil([&] { return Buffer().WaitingRetrieverCount() == 1; }));
            Store(new TextMessage(9, "late"));
            EXPECT_TRUE(WaitUntil([&] { return retriever.Done(); }, 5.0))
                << "timed " << timed << ": not woken by the store";
        }
        EXPECT_TRUE(found.load()) << "timed " << timed;
        ASSERT_EQ(2, out.size()) << "timed " << timed;
        EXPECT_EQ(9u, static_cast<SequencedMessage*>(out[1])->Sequence());
        delete out[1];
        out.Erase(1);
    }
    EXPECT_EQ(3, Buffer().Count());  // the other type stays stored
}

}  // namespace
