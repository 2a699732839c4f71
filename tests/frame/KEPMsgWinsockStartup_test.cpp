#include "frame/KEPMsgWinsockStartup.h"

#include <gtest/gtest.h>

#include "platform/KEPWinsock.h"

namespace {

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
