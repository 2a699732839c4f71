// The connection debug log: its switch, its file name (prefix, process id, "_dbg.txt"), its
// entries byte for byte, and Finalize() closing it.
#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

// True when a descriptor of this process refers to the file at path.
bool IsOpenInProcess(const std::string& path) {
    char wanted[PATH_MAX];
    if (::realpath(path.c_str(), wanted) == nullptr) {
        return false;
    }
    for (int fd = 0; fd < 1024; ++fd) {
        char target[PATH_MAX];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == wanted) {
            return true;
        }
    }
    return false;
}

// The variable is read when the singleton is constructed, so each case re-creates it.
class DebugLogTest : public ConnectionFixture {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kep-connlog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_directory = pattern;
        m_path = m_directory + "/net-" + std::to_string(::getpid()) + "_dbg.txt";
        ScopedEnv log("KEP_DEBUG_COONECTIONS", (m_directory + "/net-").c_str());
        KEPMsgConnectionServicesUtils::Finalize();
        Services();
    }
    void TearDown() override {
        ConnectionFixture::TearDown();
        ::unlink(m_path.c_str());
        EXPECT_EQ(::rmdir(m_directory.c_str()), 0) << "a file other than the log was made";
    }
    std::string Log() {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::string m_directory;
    std::string m_path;
};

TEST_F(DebugLogTest, EntriesAreWrittenVerbatimInOrder) {
    EXPECT_FALSE(Services().AddConnection(nullptr));

    // A range whose first port is in use: only the success is logged.
    RawSocket taken = BindLoopback(0, true);
    int takenPort = LocalPort(taken.Fd());
    KEPMsgServerSocket* server = Services().StartServer(KEPMsgInetAddress(KEPString("127.0.0.1")),
                                                        takenPort, takenPort + 20, 4);
    ASSERT_NE(server, nullptr);
    const int serverId = server->GetId();
    Track(serverId);

    RawSocket client = RawConnect(server->GetAddress().GetPort());
    KEPMsgCommSocket* accepted = server->Accept();
    ASSERT_NE(accepted, nullptr);
    const int acceptedId = accepted->GetId();
    EXPECT_TRUE(Services().AddConnection(accepted));
    EXPECT_FALSE(Services().AddConnection(accepted));  // logged before the duplicate test
    Services().ShutDownConnection(acceptedId);
    Services().ShutDownConnection(acceptedId);  // not in the table: nothing

    KEPMsgCommSocket* connected = Services().ConnectToServer(
        LoopbackAddress(0), LoopbackAddress(server->GetAddress().GetPort()), 5, 10);
    ASSERT_NE(connected, nullptr);
    const int connectedId = connected->GetId();
    Services().ShutDownConnection(connectedId);
    Services().ShutDownConnection(serverId);

    std::ostringstream expected;
    expected << "Starting server " << serverId << "\n"
             << "Adding socket " << acceptedId << "Adding socket " << acceptedId
             << "removing socket " << acceptedId << "\n"
             << "comm socket " << connectedId << "\n"
             << "removing socket " << connectedId << "\n"
             << "removing socket " << serverId << "\n";
    EXPECT_EQ(Log(), expected.str());
}

// Finalize closes the log then, not when the next instance happens to be made; that instance
// (the variable still set) appends to the same file, and without the variable there is none.
TEST_F(DebugLogTest, FinalizeClosesAndReopenAppends) {
    ASSERT_TRUE(IsOpenInProcess(m_path));
    const int firstId = StartServer();
    Services().ShutDownConnection(firstId);
    KEPMsgConnectionServicesUtils::Finalize();
    EXPECT_FALSE(IsOpenInProcess(m_path));

    {
        ScopedEnv log("KEP_DEBUG_COONECTIONS", (m_directory + "/net-").c_str());
        Services();
    }
    const int secondId = StartServer();
    Services().ShutDownConnection(secondId);
    std::ostringstream expected;
    expected << "Starting server " << firstId << "\nremoving socket " << firstId << "\n"
             << "Starting server " << secondId << "\nremoving socket " << secondId << "\n";
    EXPECT_EQ(Log(), expected.str());

    KEPMsgConnectionServicesUtils::Finalize();
    ::unlink(m_path.c_str());
    Services().ShutDownConnection(StartServer());
    EXPECT_NE(::access(m_path.c_str(), F_OK), 0);
}

}  // namespace
