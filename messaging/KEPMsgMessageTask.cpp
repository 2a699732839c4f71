#include "messaging/KEPMsgMessageTask.h"

#include "messaging/KEPMsgSocketCommunicator.h"

void KEPMsgMessageTask::Run(int /*argument*/) {
    // The communicator is fetched anew for every call, and the flag tested once per cycle.
    while (!KEPMsgSocketCommunicator::Instance().IsOkToShutDownMessageTask()) {
        KEPMsgSocketCommunicator::Instance().WaitConnectionsAndMessages(nullptr, 20);
        KEPMsgSocketCommunicator::Instance().TransmitPendingMessage();
    }
}
