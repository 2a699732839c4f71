// Shared by the messaging tests: the communicator facade, the test messages, raw peers and
// the connection-event recorder from tests/support. Header only; the communicator is the
// process-wide singleton, so tests use one MessagingSetup at a time.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

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

}  // namespace keptest
