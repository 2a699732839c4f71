#include "frame/KEPMsgCommModules.h"

#include <atomic>

#include "base/KEPBasLibraryInit.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "messaging/KEPMsgSocketMessageUtils.h"

namespace {

std::atomic<int> s_moduleCount{0};
std::atomic<int> s_specificCount{0};
std::atomic<int> s_messagingCount{0};
// The counters that the loader path and the plain entry points pass to every layer.
int s_loaderStatus = 0;
int s_plainEntryStatus = 0;

// Lowers count unless it is already 0 and returns the new value, or -1 when nothing was taken
// (an unbalanced finalize must not drive a count negative and tear down twice).
int Release(std::atomic<int>& count) {
    int current = count.load();
    while (current > 0 && !count.compare_exchange_weak(current, current - 1)) {
    }
    return current > 0 ? current - 1 : -1;
}

}  // namespace

void KEPMsgCommModules_initialize(int& counter) {
    if (s_moduleCount.fetch_add(1) != 0) {
        return;
    }
    ++counter;
    KEPSimContainers_initialize(counter);
    KEPBasXmlParser_initialize(counter);
    KEPBasShared_initialize(counter);
    KEPBasCoreUtils_initialize(counter);
    KEPBasGenericsLib_initialize(counter);
    KEPBasAlloc_initialize(counter);
    KEPMsgComm_initialize(counter);
    if (s_specificCount.fetch_add(1) == 0) {
        ++counter;
    }
}

void KEPMsgCommModules_finalize(int& counter) {
    if (Release(s_moduleCount) != 0) {
        return;
    }
    --counter;
    if (Release(s_specificCount) == 0) {
        --counter;
    }
    KEPMsgComm_finalize(counter);
    KEPBasAlloc_finalize(counter);
    KEPBasGenericsLib_finalize(counter);
    KEPBasCoreUtils_finalize(counter);
    KEPBasShared_finalize(counter);
    KEPBasXmlParser_finalize(counter);
    KEPSimContainers_finalize(counter);
}

void KEPMsgCommModules_specific_initialize(int& counter) {
    if (s_specificCount.fetch_add(1) == 0) {
        ++counter;
    }
}

void KEPMsgCommModules_specific_finalize(int& counter) {
    if (Release(s_specificCount) == 0) {
        --counter;
    }
}

void KEPMsgComm_initialize(int& counter) {
    if (s_messagingCount.fetch_add(1) != 0) {
        return;
    }
    ++counter;
    // Created here, in this order, so that every service exists before any caller touches it.
    KEPBasAtiGlobalSingleton<KEPMsgConnectionServicesUtils>::Instance();
    KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>::Instance();
    KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>::Instance();
    KEPBasAtiGlobalSingleton<KEPMsgSocketMessageUtils>::Instance();
    KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
    KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer>::Instance();
    KEPBasAtiGlobalSingleton<KEPMsgRetrieveMessageBuffer>::Instance();
}

void KEPMsgComm_finalize(int& counter) {
    if (Release(s_messagingCount) == 0) {
        --counter;
    }
}

extern "C" {
void KEPMsgCommModules_initializeC() {
    KEPMsgCommModules_initialize(s_plainEntryStatus);
}
void KEPMsgCommModules_finalizeC() {
    KEPMsgCommModules_finalize(s_plainEntryStatus);
}
}

int DllMain(void* /*module*/, unsigned long reason, void* /*reserved*/) {
    if (reason == 1) {
        KEPMsgCommModules_initialize(s_loaderStatus);
    } else if (reason == 0) {
        KEPMsgCommModules_finalize(s_loaderStatus);
    }
    return 1;
}

int KEPMsgCommModules_moduleCount() {
    return s_moduleCount.load();
}
int KEPMsgCommModules_specificCount() {
    return s_specificCount.load();
}
int KEPMsgComm_messagingCount() {
    return s_messagingCount.load();
}
int KEPMsgCommModules_loaderStatus() {
    return s_loaderStatus;
}
int KEPMsgCommModules_plainEntryStatus() {
    return s_plainEntryStatus;
}
