#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"

#include <gtest/gtest.h>

#include "base/KEPBasAtiMutex.h"
#include "base/omi_SingletonRegistry.h"
#include "tests/support/KEPTestNet.h"

class KEPTestService : public KEPBasAtiGlobalSingleton<KEPTestService> {
  public:
    static std::atomic<int> s_constructed;
    static std::atomic<int> s_destroyed;

  private:
    friend class KEPBasAtiGlobalSingleton<KEPTestService>;
    KEPTestService() { s_constructed.fetch_add(1); }
    ~KEPTestService() {
        // A destructor may still take its own mutex: it is deleted after the object.
        KEPBasAtiScopedLock<KEPTestService> guard(*this);
        s_destroyed.fetch_add(1);
    }
};

std::atomic<int> KEPTestService::s_constructed{0};
std::atomic<int> KEPTestService::s_destroyed{0};

namespace {

constexpr const char* kKey = "class KEPTestService";

class KEPBasAtiGlobalSingletonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KEPBasAtiGlobalSingleton<KEPTestService>::Finalize();
        KEPTestService::s_constructed = 0;
        KEPTestService::s_destroyed = 0;
    }
    void TearDown() override {
        omi_SingletonRegistry::SetEnabled(true);
        KEPBasAtiGlobalSingleton<KEPTestService>::Finalize();
    }
};

TEST_F(KEPBasAtiGlobalSingletonTest, RacingFirstInstanceMakesOneObjectAndOneMutex) {
    const int mutexesBefore = KEPBasAtiThreadingModel::LiveCount();
    for (int round = 0; round < 20; ++round) {
        KEPBasAtiGlobalSingleton<KEPTestService>::Finalize();
        std::atomic<bool> go{false};
        KEPTestService* seen[2] = {nullptr, nullptr};
        std::thread racers[2];
        for (int i = 0; i < 2; ++i) {
            racers[i] = std::thread([&, i] {
                while (!go) {
                }
                seen[i] = &KEPBasAtiGlobalSingleton<KEPTestService>::Instance();
            });
        }
        go = true;
        racers[0].join();
        racers[1].join();
        ASSERT_EQ(seen[0], seen[1]);
        ASSERT_EQ(mutexesBefore + 1, KEPBasAtiThreadingModel::LiveCount());
    }
    EXPECT_EQ(20, KEPTestService::s_constructed.load());
    EXPECT_EQ(19, KEPTestService::s_destroyed.load());
}

// Finalize of a class never made does nothing; after a Finalize, Instance makes and registers a
// new object under the same key.
TEST_F(KEPBasAtiGlobalSingletonTest, FinalizeThenInstanceRegistersAgainUnderSameKey) {
    const int mutexesBefore = KEPBasAtiThreadingModel::LiveCount();
    KEPBasAtiGlobalSingleton<KEPTestService>::Finalize();
    EXPECT_EQ(mutexesBefore, KEPBasAtiThreadingModel::LiveCount());
    EXPECT_EQ(0, KEPTestService::s_destroyed.load());

    KEPTestService& first = KEPTestService::Instance();
    EXPECT_EQ(&first, omi_SingletonRegistry::Instance()->Find(kKey));
    KEPBasAtiGlobalSingleton<KEPTestService>::Finalize();
    EXPECT_EQ(nullptr, omi_SingletonRegistry::Instance()->Find(kKey));
    EXPECT_EQ(1, KEPTestService::s_destroyed.load());

    KEPTestService& second = KEPTestService::Instance();
    EXPECT_EQ(&second, omi_SingletonRegistry::Instance()->Find(kKey));
    EXPECT_EQ(2, KEPTestService::s_constructed.load());
    KEPBasAtiScopedLock<KEPTestService> guard(second);
}

TEST_F(KEPBasAtiGlobalSingletonTest, WorksWithTheRegistrySwitchedOff) {
    const int mutexesBefore = KEPBasAtiThreadingModel::LiveCount();
    omi_SingletonRegistry::SetEnabled(false);
    EXPECT_EQ(nullptr, omi_SingletonRegistry::Instance());
    KEPTestService& service = KEPTestService::Instance();
    service.Lock();
    service.Lock();  // recursive
    service.Unlock();
    service.Unlock();
    KEPBasAtiGlobalSingleton<KEPTestService>::Finalize();
    EXPECT_EQ(1, KEPTestService::s_destroyed.load());
    EXPECT_EQ(mutexesBefore, KEPBasAtiThreadingModel::LiveCount());
    omi_SingletonRegistry::SetEnabled(true);
    EXPECT_EQ(nullptr, omi_SingletonRegistry::Instance()->Find(kKey));
}

// A lock that is not recursive, or one that the inner release leaves held, blocks for good;
// the deadline turns that into a failure within seconds.
TEST(KEPBasAtiGlobalLockTest, HolderMayTakeItAgain) {
    EXPECT_TRUE(keptest::FinishesWithinDeadline([] {
        KEPBasAtiGlobalLock outer;
        KEPBasAtiGlobalLock inner;
    }));
    EXPECT_TRUE(keptest::FinishesWithinDeadline([] { KEPBasAtiGlobalLock again; }));
}

}  // namespace
