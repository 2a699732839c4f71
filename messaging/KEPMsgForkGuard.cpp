#include "messaging/KEPMsgForkGuard.h"

#include <mutex>
#include <type_traits>

#include "base/KEPBasAtiMutex.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "platform/KEPProcess.h"
#include "sockets/KEPMsgTlsContext.h"

namespace {

// The service, or null when it does not exist: the handlers never create one.
template <class T>
T* Existing() {
    return KEPBasAtiGlobalSingleton<T>::ExistingInstance();
}

// Calls take(service) on each existing service mutex, in the documented lock order.
template <class Take>
void ForEachServiceInOrder(Take take) {
    take(Existing<KEPMsgSocketCommunicator>());
    take(Existing<KEPMsgSendMessageBuffer>());
    take(Existing<KEPMsgChannelOrganizer>());
    take(Existing<KEPMsgWaitableLock>());
    take(Existing<KEPMsgConnectionServicesUtils>());
    take(Existing<KEPMsgRetrieveMessageBuffer>());
}

void PrepareFork() {
    KEPBasAtiGlobalLock::HoldForFork();
    ForEachServiceInOrder([](auto* service) {
        if (service == nullptr) {
            return;
        }
        // A receive pass holds the waitable lock for its whole wait: woken, it lets go at once.
        if constexpr (std::is_same_v<decltype(service), KEPMsgWaitableLock*>) {
            service->ReceiveWakeup().Signal();
        }
        service->Lock();
    });
    if (KEPMsgRetrieveMessageBuffer* retrieve = Existing<KEPMsgRetrieveMessageBuffer>()) {
        retrieve->HoldStoreForFork();
    }
    if (KEPMsgSocketCommunicator* communicator = Existing<KEPMsgSocketCommunicator>()) {
        communicator->HoldForFork();
    }
    KEPMsgTlsContext::HoldForFork();
}

void ParentAfterFork() {
    KEPMsgTlsContext::ReleaseAfterFork();
    if (KEPMsgSocketCommunicator* communicator = Existing<KEPMsgSocketCommunicator>()) {
        communicator->ReleaseAfterFork();
    }
    if (KEPMsgRetrieveMessageBuffer* retrieve = Existing<KEPMsgRetrieveMessageBuffer>()) {
        retrieve->ReleaseStoreAfterFork();
    }
    // Recursive mutexes: released in any order by the thread that holds them all.
    ForEachServiceInOrder([](auto* service) {
        if (service != nullptr) {
            service->Unlock();
        }
    });
    KEPBasAtiGlobalLock::ReleaseAfterFork();
}

template <class T>
void RenewLock(T*) {
    KEPBasAtiGlobalSingleton<T>::RenewLockAfterFork();
}

void ChildAfterFork() {
    KEPMsgTlsContext::ReleaseAfterFork();
    KEPBasAtiGlobalLock::RenewAfterFork();
    ForEachServiceInOrder([](auto* service) {
        if (service != nullptr) {
            RenewLock(service);
        }
    });
    KEPMsgSocketCommunicator* const communicator = Existing<KEPMsgSocketCommunicator>();
    KEPMsgRetrieveMessageBuffer* const retrieve = Existing<KEPMsgRetrieveMessageBuffer>();
    if (communicator != nullptr) {
        communicator->ReleaseAfterFork();
        communicator->RestartAfterFork();
    }
    if (retrieve != nullptr) {
        retrieve->ReleaseStoreAfterFork();
        retrieve->ForgetWaitsAfterFork();
    }
    if (KEPMsgWaitableLock* waitable = Existing<KEPMsgWaitableLock>()) {
        waitable->RenewWakeupAfterFork();
    }
    if (KEPMsgChannelOrganizer* organizer = Existing<KEPMsgChannelOrganizer>()) {
        organizer->ForgetAllAfterFork();
    }
    if (KEPMsgConnectionServicesUtils* services = Existing<KEPMsgConnectionServicesUtils>()) {
        services->CloseInheritedAfterFork();
    }
    if (KEPMsgSendMessageBuffer* sendBuffer = Existing<KEPMsgSendMessageBuffer>()) {
        sendBuffer->DropQueuedAfterFork();
    }
}

}  // namespace

void KEPMsgForkGuard::Install() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        KEPRegisterForkHandlers(&PrepareFork, &ParentAfterFork, &ChildAfterFork);
    });
}
