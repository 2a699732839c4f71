#include "frame/KEPMsgCommModules.h"

#include <gtest/gtest.h>

#include "base/omi_SingletonRegistry.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "messaging/KEPMsgSocketMessageUtils.h"

namespace {

// The module layer, the messaging layer, the specific count and the six base libraries.
constexpr int kFirstInitializeRaise = 3 + 6;

const char* const kSingletonKeys[] = {
    "class KEPMsgConnectionServicesUtils", "class KEPMsgWaitableLock",
    "class KEPMsgChannelOrganizer",        "class KEPMsgSocketMessageUtils",
    "class KEPMsgSocketCommunicator",      "class KEPMsgSendMessageBuffer",
    "class KEPMsgRetrieveMessageBuffer",
};

void FinalizeSingletons() {
    KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Finalize();
    KEPBasAtiGlobalSingleton<KEPMsgSendMessageBuffer>::Finalize();
    KEPBasAtiGlobalSingleton<KEPMsgRetrieveMessageBuffer>::Finalize();
    KEPBasAtiGlobalSingleton<KEPMsgSocketMessageUtils>::Finalize();
    KEPBasAtiGlobalSingleton<KEPMsgChannelOrganizer>::Finalize();
    KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>::Finalize();
    KEPBasAtiGlobalSingleton<KEPMsgConnectionServicesUtils>::Finalize();
}

int RegisteredSingletons() {
    int found = 0;
    for (const char* key : kSingletonKeys) {
        found += omi_SingletonRegistry::Instance()->Find(key) != nullptr ? 1 : 0;
    }
    return found;
}

// This program links the module's layers statically, so nothing has run the load hooks: every
// count starts at 0 and each test brings it back there.
class KEPMsgCommModulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, KEPMsgCommModules_moduleCount());
        ASSERT_EQ(0, KEPMsgComm_messagingCount());
        ASSERT_EQ(0, KEPMsgCommModules_specificCount());
    }
    void TearDown() override { FinalizeSingletons(); }
};

TEST_F(KEPMsgCommModulesTest, FirstInitializeRaisesCounterByEveryLayerThatCameUp) {
    int counter = 0;
    KEPMsgCommModules_initialize(counter);
    EXPECT_EQ(kFirstInitializeRaise, counter);
    EXPECT_EQ(7, RegisteredSingletons());

    // Nested pair on a module that is up: counter untouched, nothing torn down.
    KEPMsgCommModules_initialize(counter);
    EXPECT_EQ(kFirstInitializeRaise, counter);
    KEPMsgCommModules_finalize(counter);
    EXPECT_EQ(kFirstInitializeRaise, counter);
    EXPECT_EQ(1, KEPMsgCommModules_moduleCount());

    KEPMsgCommModules_finalize(counter);
    EXPECT_EQ(0, counter);
    EXPECT_EQ(0, KEPMsgComm_messagingCount());
    EXPECT_EQ(0, KEPMsgCommModules_specificCount());
    // The singletons outlive the module finalize: only their own Finalize() removes them.
    EXPECT_EQ(7, RegisteredSingletons());
}

TEST_F(KEPMsgCommModulesTest, UnbalancedFinalizeChangesNothing) {
    int counter = 5;
    KEPMsgCommModules_finalize(counter);
    KEPMsgComm_finalize(counter);
    KEPMsgCommModules_specific_finalize(counter);
    EXPECT_EQ(5, counter);
    EXPECT_EQ(0, KEPMsgCommModules_moduleCount());
    EXPECT_EQ(0, KEPMsgCommModules_specificCount());
}

TEST_F(KEPMsgCommModulesTest, SpecificPairCountsOnlyFromZero) {
    int counter = 0;
    KEPMsgCommModules_specific_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPMsgCommModules_specific_finalize(counter);
    EXPECT_EQ(0, counter);

    int moduleCounter = 0;
    KEPMsgCommModules_initialize(moduleCounter);
    // The module holds one specific reference, so the pair leaves the counter alone.
    KEPMsgCommModules_specific_initialize(counter);
    EXPECT_EQ(0, counter);
    KEPMsgCommModules_specific_finalize(counter);
    EXPECT_EQ(0, counter);
    KEPMsgCommModules_finalize(moduleCounter);
    EXPECT_EQ(0, moduleCounter);
}

TEST_F(KEPMsgCommModulesTest, MessagingFinalizeDestroysNothing) {
    int counter = 0;
    KEPMsgComm_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPMsgComm_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPMsgComm_finalize(counter);
    EXPECT_EQ(1, counter);
    KEPMsgComm_finalize(counter);
    EXPECT_EQ(0, counter);
    EXPECT_EQ(7, RegisteredSingletons());
}

TEST_F(KEPMsgCommModulesTest, LoaderAndPlainEntriesUseTheirOwnStatusWords) {
    EXPECT_EQ(1, DllMain(nullptr, 1, nullptr));
    EXPECT_EQ(kFirstInitializeRaise, KEPMsgCommModules_loaderStatus());
    // Thread attach and detach do nothing.
    EXPECT_EQ(1, DllMain(nullptr, 2, nullptr));
    EXPECT_EQ(1, DllMain(nullptr, 3, nullptr));
    EXPECT_EQ(1, KEPMsgCommModules_moduleCount());

    // The module is up already: the plain entry only counts.
    KEPMsgCommModules_initializeC();
    EXPECT_EQ(0, KEPMsgCommModules_plainEntryStatus());
    EXPECT_EQ(2, KEPMsgCommModules_moduleCount());
    KEPMsgCommModules_finalizeC();
    EXPECT_EQ(0, KEPMsgCommModules_plainEntryStatus());

    EXPECT_EQ(1, DllMain(nullptr, 0, nullptr));
    EXPECT_EQ(0, KEPMsgCommModules_loaderStatus());
    EXPECT_EQ(0, KEPMsgCommModules_moduleCount());

    // With nothing loaded the plain entry does the work on its own word.
    KEPMsgCommModules_initializeC();
    EXPECT_EQ(kFirstInitializeRaise, KEPMsgCommModules_plainEntryStatus());
    KEPMsgCommModules_finalizeC();
    EXPECT_EQ(0, KEPMsgCommModules_plainEntryStatus());
}

}  // namespace
