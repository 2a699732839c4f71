// The connection debug log: its switch, its file name (prefix, process id, "_dbg.txt") and its
// entries, byte for byte.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The names of the files in directory.
std::vector<std::string> Files(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.push_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    return names;
}

// The variable is read when the singleton is constructed, so each case re-creates it.
class DebugLogTest : public ConnectionFixture {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kep-connlog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_directory = pattern;
        m_prefix = m_directory + "/net-";
        ::setenv("KEP_DEBUG_COONECTIONS", m_prefix.c_str(), 1);
        KEPMsgConnectionServicesUtils::Finalize();
        Services();
    }
    void TearDown() override {
        ::unsetenv("KEP_DEBUG_COONECTIONS");
        ConnectionFixture::TearDown();
        for (const std::string& name : Files(m_directory)) {
            ::unlink((m_directory + "/" + name).c_str());
        }
        ::rmdir(m_directory.c_str());
    }
    std::string LogPath(int pid) { return m_prefix + std::to_string(pid) + "_dbg.txt"; }

    std::string m_directory;
    std::string m_prefix;
};

TEST_F(DebugLogTest, EntriesAreWrittenVerbatimInOrder) {
    const std::string path = LogPath(::getpid());
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
    ASSERT_GE(client.Fd(), 0);
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
    EXPECT_EQ(Services().GetSocket(connectedId), connected);
    Services().ShutDownConnection(connectedId);
    Services().ShutDownConnection(serverId);

    std::ostringstream expected;
    expected << "Starting server " << serverId << "\n"
             << "Adding socket " << acceptedId << "Adding socket " << acceptedId
             << "removing socket " << acceptedId << "\n"
             << "comm socket " << connectedId << "\n"
             << "removing socket " << connectedId << "\n"
             << "removing socket " << serverId << "\n";
    EXPECT_EQ(ReadFile(path), expected.str());
}

TEST_F(DebugLogTest, ReopenAppendsToTheSameFile) {
    const std::string path = LogPath(::getpid());
    KEPMsgServerSocket* first = Services().StartServer(LoopbackAddress(0), 4);
    ASSERT_NE(first, nullptr);
    const int firstId = first->GetId();
    Services().ShutDownConnection(firstId);

    KEPMsgConnectionServicesUtils::Finalize();
    KEPMsgServerSocket* second = Services().StartServer(LoopbackAddress(0), 4);
    ASSERT_NE(second, nullptr);
    const int secondId = second->GetId();
    Services().ShutDownConnection(secondId);

    std::ostringstream expected;
    expected << "Starting server " << firstId << "\nremoving socket " << firstId << "\n"
             << "Starting server " << secondId << "\nremoving socket " << secondId << "\n";
    EXPECT_EQ(ReadFile(path), expected.str());
}

TEST_F(DebugLogTest, NoVariableNoFile) {
    ::unsetenv("KEP_DEBUG_COONECTIONS");
    KEPMsgConnectionServicesUtils::Finalize();
    ::unlink(LogPath(::getpid()).c_str());  // opened by SetUp, while the variable was set
    KEPMsgServerSocket* server = Services().StartServer(LoopbackAddress(0), 4);
    ASSERT_NE(server, nullptr);
    Services().ShutDownConnection(server->GetId());
    EXPECT_TRUE(Files(m_directory).empty());
}

}  // namespace
