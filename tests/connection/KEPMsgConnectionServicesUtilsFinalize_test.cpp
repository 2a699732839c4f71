// Finalize() of the connection services leaves nothing open behind it: the debug log is closed
// then, not when the next instance happens to be made.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "tests/sockets/SocketTestSupport.h"

using namespace keptest;

namespace {

// True when a descriptor of this process refers to the file at path.
bool IsOpenInProcess(const std::string& path) {
    char wanted[PATH_MAX];
    if (::realpath(path.c_str(), wanted) == nullptr) {
        return false;
    }
    for (int fd = 0; fd < 1024; ++fd) {
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        char target[PATH_MAX];
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            if (std::string(target) == wanted) {
                return true;
            }
        }
    }
    return false;
}

TEST(ConnectionServicesFinalizeTest, FinalizeClosesTheDebugLog) {
    const std::string prefix = ::testing::TempDir() + "kep-finalize-";
    const std::string path = prefix + std::to_string(::getpid()) + "_dbg.txt";
    KEPMsgConnectionServicesUtils::Finalize();
    {
        ScopedEnv log("KEP_DEBUG_COONECTIONS", prefix.c_str());
        KEPMsgConnectionServicesUtils::Instance();
    }
    ASSERT_TRUE(IsOpenInProcess(path));
    KEPMsgConnectionServicesUtils::Finalize();
    EXPECT_FALSE(IsOpenInProcess(path));
    std::remove(path.c_str());
}

}  // namespace
