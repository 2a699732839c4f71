// Shared by the messaging tests: the communicator facade, the test messages, raw peers and
// the connection-event recorder from tests/support. Header only; the communicator is the
// process-wide singleton, so tests use one MessagingSetup at a time.
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestEvents.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {

inline KEPMsgSocketCommunicator& Comm() {
    return KEPMsgSocketCommunicator::Instance();
}

// Expects the next messages on peer to be Texts with these sequence numbers.
inline void ExpectTexts(RawSocket& peer, std::initializer_list<std::uint32_t> sequences) {
    for (std::uint32_t sequence : sequences) {
        std::unique_ptr<SequencedMessage> got = peer.ReceiveMessage();
        ASSERT_NE(got, nullptr) << sequence;
        EXPECT_EQ(std::string(TextMessage::kType), got->GetMessageType().GetUTF8());
        EXPECT_TRUE(got->IsIntact());
        EXPECT_EQ(sequence, got->Sequence());
    }
}

}  // namespace keptest
