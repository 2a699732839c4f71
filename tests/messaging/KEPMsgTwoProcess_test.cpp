// Two processes exchange traffic end to end: a peer process (kep_msg_peer) serves on the first
// free port of a range and runs the message task; this process connects with retries and runs
// its passes by hand. Every message must arrive once, intact and in order, both ways.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/KEPBasTime.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "tests/support/KEPTestMessaging.h"
#include "tests/support/KEPTestTraffic.h"

extern char** environ;

using namespace keptest;

namespace {

// A child process started with posix_spawn; stdout comes back through a pipe. The destructor
// kills and reaps a child that is still running.
class PeerProcess {
  public:
    explicit PeerProcess(const std::vector<std::string>& arguments) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::vector<char*> argv;
        std::string path = KEP_MSG_PEER_PATH;
        argv.push_back(&path[0]);
        std::vector<std::string> copies = arguments;
        for (std::string& argument : copies) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        m_output = pipeFds[0];
    }
    ~PeerProcess() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_output >= 0) {
            ::close(m_output);
        }
    }
    bool Started() const { return m_pid > 0; }

    // The first line the child printed, within timeoutSeconds.
    bool ReadLine(std::string& line, double timeoutSeconds) {
        line.clear();
        omi_Timer timer;
        timer.Start();
        while (timer.GetElapsedTime() < timeoutSeconds) {
            pollfd entry{m_output, POLLIN, 0};
            if (::poll(&entry, 1, 10) != 1) {
                continue;
            }
            char c = 0;
            if (::read(m_output, &c, 1) != 1) {
                return false;
            }
            if (c == '\n') {
                return true;
            }
            line.push_back(c);
        }
        return false;
    }

    // The child's exit code, or -1 when it did not exit normally within timeoutSeconds.
    int Wait(double timeoutSeconds) {
        int status = 0;
        const bool exited =
            WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutSeconds);
        if (!exited) {
            return -1;
        }
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t m_pid = -1;
    int m_output = -1;
    bool m_reaped = false;
};

TEST(TwoProcessTest, FirstMessageIdOfAFreshProcessIsOne) {
    PeerProcess peer({"first-id"});
    ASSERT_TRUE(peer.Started());
    EXPECT_EQ(0, peer.Wait(30.0));
}

TEST(TwoProcessTest, TrafficBothWaysArrivesOnceIntactAndInOrder) {
    const std::uint32_t kCount = 5000;  // per direction
    const std::uint32_t kBatch = 50;
    MessagingSetup setup;
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();

    // Occupy the first port of the range so the peer has to move on to the next free one.
    RawListener occupied;
    ASSERT_TRUE(occupied.IsOpen());
    const int firstPort = occupied.Port();
    PeerProcess peer({"server", std::to_string(firstPort), std::to_string(firstPort + 50),
                      std::to_string(kCount), std::to_string(kBatch)});
    ASSERT_TRUE(peer.Started());
    std::string line;
    ASSERT_TRUE(peer.ReadLine(line, 30.0));
    const int port = std::atoi(line.c_str());
    EXPECT_GT(port, firstPort);
    EXPECT_LE(port, firstPort + 50);

    KEPMsgSocketAddress own(KEPMsgInetAddress(KEPString("127.0.0.1")), 0);
    KEPMsgSocketAddress server(KEPMsgInetAddress(KEPString("127.0.0.1")), port);
    KEPMsgCommSocket* socket =
        KEPMsgConnectionServicesUtils::Instance().ConnectToServer(own, server, 10, 10);
    ASSERT_NE(socket, nullptr);
    KEPMsgChannel channel(socket, KEPString("peer"));
    communicator.AddConnection(channel, true);

    TrafficChecker checker;
    TrafficSender sender;
    std::uint32_t sent = 0;
    omi_Timer timer;
    timer.Start();
    // Rounds: send a batch, then read until the peer's answer to it is complete.
    while (sent < kCount || !checker.ByeSeen()) {
        ASSERT_LT(timer.GetElapsedTime(), 120.0) << "stalled after " << checker.Received();
        if (sent < kCount && checker.Received() >= sent) {
            sender.AllWritten();
            const std::uint32_t end = std::min(sent + kBatch, kCount);
            sender.Send(channel, sent, end);
            communicator.TransmitPendingMessage();
            sent = end;
        }
        communicator.WaitConnectionsAndMessages(nullptr, 20);
        for (auto& message : TakeMessages()) {
            ASSERT_TRUE(checker.Accept(std::move(message))) << checker.Error();
        }
    }
    EXPECT_EQ(kCount, checker.Received());
    EXPECT_TRUE(sender.AllWritten());
    sender.SendControl(channel, kControlBye);

    EXPECT_EQ(0, peer.Wait(60.0));
    // The peer's shutdown closed the connection; the next passes see it and drop the channel.
    EXPECT_TRUE(PumpUntil([] { return RegisteredChannelCount() == 0; }));
    EXPECT_EQ(0, KEPMsgRetrieveMessageBuffer::Instance().Count());
}

}  // namespace
