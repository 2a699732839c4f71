#include "frame/KEPMsgCommModules.h"
#include "frame/KEPMsgWinsockStartup.h"

#include <gtest/gtest.h>

#include "base/omi_SingletonRegistry.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "messaging/KEPMsgSocketMessageUtils.h"
#include "platform/KEPWinsock.h"

namespace {

// The module layer, the messaging layer, the specific count and the six base libraries.
constexpr int kFirstInitializeRaise = 3 + 6;

// In the order a host finalizes them.
#define KEP_SINGLETON(T) \
    { "class " #T, KEPBasAtiGlobalSingleton<T>::Finalize }
const struct {
    const char* key;
    void (*finalize)();
} kSingletons[] = {
    KEP_SINGLETON(KEPMsgSocketCommunicator),      KEP_SINGLETON(KEPMsgSendMessageBuffer),
    KEP_SINGLETON(KEPMsgRetrieveMessageBuffer),   KEP_SINGLETON(KEPMsgSocketMessageUtils),
    KEP_SINGLETON(KEPMsgChannelOrganizer),        KEP_SINGLETON(KEPMsgWaitableLock),
    KEP_SINGLETON(KEPMsgConnectionServicesUtils),
};
#undef KEP_SINGLETON

int RegisteredSingletons() {
    int found = 0;
    for (const auto& singleton : kSingletons) {
        found += omi_SingletonRegistry::Instance()->Find(singleton.key) != nullptr ? 1 : 0;
    }
    return found;
}

// Each pair of entries counts: only the first initialize raises the caller's counter (by every
// layer it brought up) and only the last finalize lowers it; a finalize without an initialize
// changes nothing, and no finalize destroys the singletons (only their own Finalize() does).
// This program links the module's layers statically, so nothing has run the load hooks: every
// count starts at 0.
TEST(KEPMsgCommModulesTest, OnlyFirstInitializeAndLastFinalizeMoveTheCounterWhateverTheEntry) {
    const struct {
        const char* name;
        void (*initialize)(int&);
        void (*finalize)(int&);
        int raise;
    } layers[] = {
        {"messaging", KEPMsgComm_initialize, KEPMsgComm_finalize, 1},
        {"module", KEPMsgCommModules_initialize, KEPMsgCommModules_finalize, kFirstInitializeRaise},
        {"specific", KEPMsgCommModules_specific_initialize, KEPMsgCommModules_specific_finalize, 1},
    };
    for (const auto& layer : layers) {
        SCOPED_TRACE(layer.name);
        int counter = 5;
        layer.finalize(counter);
        EXPECT_EQ(5, counter);
        counter = 0;
        layer.initialize(counter);
        EXPECT_EQ(layer.raise, counter);
        layer.initialize(counter);
        layer.finalize(counter);
        EXPECT_EQ(layer.raise, counter);
        layer.finalize(counter);
        EXPECT_EQ(0, counter);  // a count left up shows in the next row's or the loader's raise
        EXPECT_EQ(7, RegisteredSingletons());  // made by the messaging layer, the first row
    }
    EXPECT_EQ(1, DllMain(nullptr, 1, nullptr));
    EXPECT_EQ(kFirstInitializeRaise, KEPMsgCommModules_loaderStatus());
    // Thread attach and detach do nothing.
    EXPECT_EQ(1, DllMain(nullptr, 2, nullptr));
    EXPECT_EQ(1, DllMain(nullptr, 3, nullptr));
    EXPECT_EQ(1, KEPMsgCommModules_moduleCount());

    // The module is up already and holds one specific reference: a specific pair under it and
    // the plain entry only count.
    int counter = 0;
    KEPMsgCommModules_specific_initialize(counter);
    EXPECT_EQ(0, counter);
    KEPMsgCommModules_specific_finalize(counter);
    EXPECT_EQ(0, counter);
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
    for (const auto& singleton : kSingletons) {
        singleton.finalize();
    }
}

// A failed start-up prints its code, a wrong major version "cannot open", success nothing; the
// start-up runs once, so a second call prints nothing whatever the first did.
TEST(KEPMsgWinsockStartupTest, StartupPrintsItsFailureOnceAndIsNeverRetried) {
    const struct {
        int result;
        unsigned short version;
        const char* printed;
    } rows[] = {{10091, 0x0202, "winsock initialization timed out10091\n"},
                {0, 0x0101, "cannot open winsock dll0\n"},
                {0, 0x0202, ""}};
    for (const auto& row : rows) {
        ResetStartupForTesting();
        kepwsa::SetStartupResultForTesting(row.result, row.version);
        for (const char* expected : {row.printed, ""}) {
            testing::internal::CaptureStderr();
            Startup();
            EXPECT_EQ(expected, testing::internal::GetCapturedStderr()) << row.printed;
        }
    }
    kepwsa::SetStartupResultForTesting(0, 0x0202);
    ResetStartupForTesting();
}

}  // namespace
