// Helpers shared by the robustness tests: a fixture that sets up the messaging singletons with a
// short socket I/O time-out (restored afterwards) and links to raw peers, and raw wire bytes of
// "Text" messages.
//
// Everything here runs on the test's thread unless a test says otherwise; the fixture leaves
// the singletons finalized and the time-out at its default.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {

constexpr int kDefaultIoTimeoutMs = 30000;

// The wire bytes of a "Text" message: header, then sequence, length and text.
inline std::string TextWire(std::uint32_t sequence, const std::string& text) {
    TextMessage message(sequence, text);
    return WireBytes(message);
}

// The messaging singletons with the test prototypes and default streams, and an I/O time-out of
// ioTimeoutMs for every socket connected or accepted during the test.
class RobustnessTest : public ::testing::Test {
  protected:
    explicit RobustnessTest(int ioTimeoutMs = 300) : m_ioTimeoutMs(ioTimeoutMs) {}
    void SetUp() override {
        KEPMsgConnectionServicesUtils::Instance().SetIoTimeout(m_ioTimeoutMs);
        m_setup.reset(new MessagingSetup());
    }
    void TearDown() override {
        m_setup.reset();
        KEPMsgConnectionServicesUtils::Instance().SetIoTimeout(kDefaultIoTimeoutMs);
    }

    static KEPMsgSocketCommunicator& Communicator() { return KEPMsgSocketCommunicator::Instance(); }
    static KEPMsgConnectionServicesUtils& Services() {
        return KEPMsgConnectionServicesUtils::Instance();
    }
    // Removes and shuts down every connection labelled label.
    static void RemoveLabelled(const char* label) {
        KEPMsgChannelQueryByLabel query{KEPString(label)};
        Communicator().RemoveConnection(&query, true);
    }
    // Two links to raw peers of m_listener, registered with the labels "first" and "second";
    // false when either failed.
    bool ConnectTwo(RawLink& first, RawLink& second, bool listen = true) {
        first = ConnectToRawPeer(m_listener, "first", listen);
        second = ConnectToRawPeer(m_listener, "second", listen);
        return first.socket != nullptr && second.socket != nullptr;
    }
    // The link works both ways: a message from its peer arrives whole on its channel (and is
    // the only one stored), and a message sent on the channel reaches the peer.
    void ExpectServed(RawLink& link, std::uint32_t sequence) {
        ASSERT_TRUE(link.peer.SendBytes(TextWire(sequence, "served")));
        std::vector<ReceivedMessage> got = ReceiveAtLeast(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].channel, link.channel);
        EXPECT_TRUE(got[0].message->IsIntact());
        EXPECT_EQ(got[0].message->Sequence(), sequence);
        TextMessage reply(sequence, "reply");
        Communicator().SendSocketMessage(link.channel, &reply);
        std::unique_ptr<SequencedMessage> back = link.peer.ReceiveMessage();
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->Sequence(), sequence);
    }

    int m_ioTimeoutMs;
    RawListener m_listener;
    std::unique_ptr<MessagingSetup> m_setup;
};

}  // namespace keptest
