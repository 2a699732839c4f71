#include "messaging/KEPMsgMessageTask.h"

#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"

void KEPMsgMessageTask::Run(int /*argument*/) {
    // The communicator is fetched anew for every call, and the flag tested once per cycle.
    while (!KEPMsgSocketCommunicator::Instance().IsOkToShutDownMessageTask()) {
        {
            // Sends queued by this pass's callbacks are written just below.
            KEPMsgSendMessageBuffer::TransmitPassFollows transmitFollows;
            KEPMsgSocketCommunicator::Instance().WaitConnectionsAndMessages(nullptr, 20);
        }
        KEPMsgSocketCommunicator::Instance().TransmitPendingMessage();
    }
}
