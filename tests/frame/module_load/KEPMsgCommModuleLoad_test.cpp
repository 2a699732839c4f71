// Loads the shared module as a host would: the load hook must bring up the layers and create
// the seven singletons, and the unload hook must finalize the layers again.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/KEPBasAtiMutex.h"
#include "base/KEPBasLibraryInit.h"
#include "base/omi_SingletonRegistry.h"

#ifndef KEP_MODULE_PATH
#error "KEP_MODULE_PATH must name libORVKEPMsgCommModules"
#endif

namespace {

// In the order a host finalizes them.
const char* const kSingletons[] = {
    "KEPMsgSocketCommunicator",      "KEPMsgSendMessageBuffer", "KEPMsgRetrieveMessageBuffer",
    "KEPMsgSocketMessageUtils",      "KEPMsgChannelOrganizer",  "KEPMsgWaitableLock",
    "KEPMsgConnectionServicesUtils",
};

// Mangled name of KEPBasAtiGlobalSingleton<name>::Finalize().
std::string FinalizeSymbol(const char* name) {
    return "_ZN24KEPBasAtiGlobalSingletonI" + std::to_string(std::strlen(name)) + name +
           "E8FinalizeEv";
}

template <class Function>
Function Lookup(void* module, const std::string& symbol) {
    return reinterpret_cast<Function>(dlsym(module, symbol.c_str()));
}

TEST(KEPMsgCommModuleLoadTest, LoadCreatesSingletonsAndUnloadReleasesLayers) {
    const int mutexesBefore = KEPBasAtiThreadingModel::LiveCount();
    void* module = dlopen(KEP_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << dlerror();

    for (const char* name : kSingletons) {
        const std::string key = std::string("class ") + name;
        EXPECT_NE(nullptr, omi_SingletonRegistry::Instance()->Find(key.c_str())) << key;
    }
    EXPECT_EQ(mutexesBefore + 7, KEPBasAtiThreadingModel::LiveCount());

    auto loaderStatus = Lookup<int (*)()>(module, "_Z30KEPMsgCommModules_loaderStatusv");
    auto moduleCount = Lookup<int (*)()>(module, "_Z29KEPMsgCommModules_moduleCountv");
    auto initializeC = Lookup<void (*)()>(module, "KEPMsgCommModules_initializeC");
    auto finalizeC = Lookup<void (*)()>(module, "KEPMsgCommModules_finalizeC");
    ASSERT_TRUE(loaderStatus && moduleCount && initializeC && finalizeC);
    // Module, messaging layer, specific count and the six base libraries.
    EXPECT_EQ(9, loaderStatus());
    EXPECT_EQ(1, moduleCount());
    initializeC();
    EXPECT_EQ(2, moduleCount());
    finalizeC();
    EXPECT_EQ(1, moduleCount());

    // The host finalizes the services before it unloads the module.
    for (const char* name : kSingletons) {
        auto finalize = Lookup<void (*)()>(module, FinalizeSymbol(name));
        ASSERT_NE(nullptr, finalize) << FinalizeSymbol(name);
        finalize();
        const std::string key = std::string("class ") + name;
        EXPECT_EQ(nullptr, omi_SingletonRegistry::Instance()->Find(key.c_str())) << key;
    }
    EXPECT_EQ(mutexesBefore, KEPBasAtiThreadingModel::LiveCount());
    EXPECT_EQ(0, dlclose(module)) << dlerror();

    // The unload hook ran the finalize sequence: every base layer went down, so a fresh
    // initialize of one of them raises the counter again.
    int counter = 0;
    KEPBasAlloc_initialize(counter);
    EXPECT_EQ(1, counter);
    KEPBasAlloc_finalize(counter);
    EXPECT_EQ(0, counter);
}

}  // namespace
