// The timed blocking retrieve: false with out untouched when nothing it selects arrives in time,
// true as soon as a store brings something.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

class TimedRetrieveTest : public ::testing::Test {
  protected:
    void SetUp() override { m_setup.reset(new MessagingSetup()); }
    void TearDown() override { m_setup.reset(); }

    KEPMsgRetrieveMessageBuffer& Buffer() { return KEPMsgRetrieveMessageBuffer::Instance(); }
    void Store(SequencedMessage* message) {
        Buffer().AddMessage(KEPMsgChannelMsgStruct(KEPMsgChannel(), message));
    }

    std::unique_ptr<MessagingSetup> m_setup;
};

TEST_F(TimedRetrieveTest, FalseAndOutUntouchedWithoutArrivalTrueAsSoonAsOneArrives) {
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
