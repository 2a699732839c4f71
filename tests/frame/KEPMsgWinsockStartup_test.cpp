#include "frame/KEPMsgWinsockStartup.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/KEPWinsock.h"

namespace {

class KEPMsgWinsockStartupTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetStartupForTesting(); }
    void TearDown() override {
        kepwsa::SetStartupResultForTesting(0, 0x0202);
        ResetStartupForTesting();
    }

    static std::string RunStartup() {
        testing::internal::CaptureStderr();
        Startup();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(KEPMsgWinsockStartupTest, FailedStartupPrintsCodeAndIsNeverRetried) {
    kepwsa::SetStartupResultForTesting(10091, 0x0202);
    EXPECT_EQ("winsock initialization timed out10091\n", RunStartup());
    EXPECT_EQ("", RunStartup());
}

TEST_F(KEPMsgWinsockStartupTest, WrongMajorVersionPrintsCannotOpen) {
    kepwsa::SetStartupResultForTesting(0, 0x0101);
    EXPECT_EQ("cannot open winsock dll0\n", RunStartup());
    EXPECT_EQ("", RunStartup());
}

TEST_F(KEPMsgWinsockStartupTest, SuccessfulStartupPrintsNothing) {
    EXPECT_EQ("", RunStartup());
    EXPECT_EQ("", RunStartup());
}

}  // namespace
