// Several threads at once, for a bounded time: queued and immediate sends by label, receive and
// transmit passes, and connections added and removed, all against real loopback peers. Each peer
// checks that every message it gets was addressed to its own label: a removed connection must
// never be written through a stale pointer, nor through a socket id that a newer connection got.
// Built with -DKEP_SANITIZER=thread this is also the data-race test of the teardown paths.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "channels/KEPMsgChannelQueryByLabel.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

using Clock = std::chrono::steady_clock;

// The raw ends of the library's connections, served by one thread: it reads and checks every
// message and now and then sends one to the library.
class PeerService {
  public:
    void Adopt(RawSocket socket, const std::string& label) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_incoming.push_back(Peer{std::move(socket), label, std::string(), 0});
    }
    void Stop() { m_stop = true; }
    long Received() const { return m_received.load(); }
    int Errors() const { return m_errors.load(); }
    std::string FirstError() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_firstError;
    }

    void Run() {
        std::vector<Peer> peers;
        while (!m_stop || !peers.empty()) {
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                for (Peer& peer : m_incoming) {
                    peers.push_back(std::move(peer));
                }
                m_incoming.clear();
            }
            if (m_stop) {
                peers.clear();  // the library side is gone or going: close ours
                break;
            }
            std::vector<pollfd> fds;
            for (Peer& peer : peers) {
                fds.push_back(pollfd{peer.socket.Fd(), POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 2);
            for (std::size_t i = 0; i < peers.size(); ++i) {
                Peer& peer = peers[i];
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Drain(peer)) {
                    peer.socket.Close();
                }
                if (peer.socket.IsOpen() && (++peer.tick % 8) == 0) {
                    const std::string wire = TextWire(peer.tick, peer.label);
                    // Never block: a full buffer only means the library is busy.
                    ::send(peer.socket.Fd(), wire.data(), wire.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                }
            }
            std::vector<Peer> open;
            for (Peer& peer : peers) {
                if (peer.socket.IsOpen()) {
                    open.push_back(std::move(peer));
                }
            }
            peers.swap(open);
        }
    }

  private:
    struct Peer {
        RawSocket socket;
        std::string label;
        std::string pending;
        std::uint32_t tick;
    };

    // Reads what is there and checks every whole message; false at the end of the connection.
    bool Drain(Peer& peer) {
        char buffer[16384];
        const ssize_t got = ::recv(peer.socket.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        if (got > 0) {
            peer.pending.append(buffer, static_cast<std::size_t>(got));
        }
        for (;;) {
            std::string& data = peer.pending;
            if (data.size() < 4) {
                return true;
            }
            std::uint32_t typeLength = 0;
            std::memcpy(&typeLength, data.data(), 4);
            if (typeLength != 4) {
                Fail(peer, "bad header");
                return false;
            }
            if (data.size() < 16) {
                return true;
            }
            std::uint32_t textLength = 0;
            std::memcpy(&textLength, data.data() + 12, 4);
            if (data.size() < 16 + textLength) {
                return true;
            }
            const std::string type = data.substr(4, 4);
            const std::string text = data.substr(16, textLength);
            if (type != "Text" || text != peer.label) {
                Fail(peer, "got '" + type + "' for '" + text + "'");
            }
            ++m_received;
            data.erase(0, 16 + textLength);
        }
    }
    void Fail(const Peer& peer, const std::string& what) {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_errors++ == 0) {
            m_firstError = peer.label + ": " + what;
        }
    }

    std::mutex m_mutex;
    std::vector<Peer> m_incoming;
    std::string m_firstError;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_received{0};
    std::atomic<int> m_errors{0};
};

// Labels of the connections that are registered now.
class ActiveLabels {
  public:
    void Add(const std::string& label) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_labels.push_back(label);
    }
    // A random label ("" when there is none), taken out of the set when take is true.
    std::string Pick(std::mt19937& random, bool take = false) {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_labels.empty()) {
            return std::string();
        }
        const auto at = m_labels.begin() + static_cast<long>(random() % m_labels.size());
        std::string label = *at;
        if (take) {
            m_labels.erase(at);
        }
        return label;
    }
    std::size_t Size() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_labels.size();
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_labels;
};

class ConcurrentChurnTest : public RobustnessTest {
  protected:
    ConcurrentChurnTest() : RobustnessTest(5000) {}
};

TEST_F(ConcurrentChurnTest, RemovedConnectionsAreNeverWrittenToAndNoMessageReachesTheWrongPeer) {
    const auto runFor = std::chrono::seconds(2);
    RawListener listener;
    PeerService peers;
    ActiveLabels active;
    std::atomic<bool> stop{false};
    std::atomic<long> libraryReceived{0}, removed{0};
    std::atomic<int> badReceived{0};

    std::thread service([&] { peers.Run(); });
    auto addConnection = [&](int serial) {
        const std::string label = "peer-" + std::to_string(serial);
        RawLink link = ConnectToRawPeer(listener, label.c_str());
        if (link.socket == nullptr || !link.peer.IsOpen()) {
            return;
        }
        peers.Adopt(std::move(link.peer), label);
        active.Add(label);
    };
    for (int i = 0; i < 6; ++i) {
        addConnection(i);
    }

    std::thread churn([&] {
        std::mt19937 random(1);
        int serial = 100;
        while (!stop) {
            if (active.Size() < 4 || (active.Size() < 12 && random() % 2 == 0)) {
                addConnection(serial++);
            } else {
                const std::string label = active.Pick(random, true);
                KEPMsgChannelQueryByLabel query{KEPString(label.c_str())};
                Communicator().RemoveConnection(&query, true);
                ++removed;
            }
        }
    });
    std::thread queuedSender([&] {
        std::mt19937 random(2);
        std::deque<std::pair<unsigned int, std::unique_ptr<TextMessage>>> inFlight;
        // Messages stay alive until no queue holds them.
        auto releaseWritten = [&] {
            while (!inFlight.empty() &&
                   !Communicator().QueryPendingStatus(inFlight.front().first)) {
                inFlight.pop_front();
            }
            return inFlight.empty();
        };
        std::uint32_t sequence = 0;
        while (!stop) {
            const std::string label = active.Pick(random);
            if (!label.empty()) {
                std::unique_ptr<TextMessage> message(new TextMessage(sequence++, label));
                unsigned int id = 0;
                Communicator().ISendSocketMessage(label.c_str(), message.get(), id);
                if (id != 0) {
                    inFlight.emplace_back(id, std::move(message));
                }
            }
            releaseWritten();
        }
        WaitUntil(releaseWritten);
    });
    std::thread immediateSender([&] {
        std::mt19937 random(3);
        std::uint32_t sequence = 0;
        while (!stop) {
            const std::string label = active.Pick(random);
            if (!label.empty()) {
                TextMessage message(sequence++, label);
                Communicator().SendSocketMessage(label.c_str(), &message);
            }
        }
    });
    std::thread loop([&] {
        do {
            Communicator().WaitConnectionsAndMessages(nullptr, 1);
            Communicator().TransmitPendingMessage();
            for (std::unique_ptr<SequencedMessage>& message : TakeMessages()) {
                const std::string& text = static_cast<TextMessage*>(message.get())->Text();
                // A body cut off by a removal is not stored; a whole one must be right.
                if (message->IsIntact() && text.compare(0, 5, "peer-") != 0) {
                    ++badReceived;
                }
                ++libraryReceived;
            }
        } while (!stop);
    });

    const Clock::time_point end = Clock::now() + runFor;
    WaitUntil([&] { return Clock::now() >= end; }, 30.0);
    stop = true;
    churn.join();
    immediateSender.join();
    queuedSender.join();
    loop.join();
    Communicator().RemoveConnection(nullptr, true);
    peers.Stop();
    service.join();

    EXPECT_EQ(peers.Errors(), 0) << peers.FirstError();
    EXPECT_EQ(badReceived.load(), 0);
    EXPECT_GT(peers.Received(), 0);
    EXPECT_GT(libraryReceived.load(), 0);
    EXPECT_GT(removed.load(), 0);
}

}  // namespace
}  // namespace keptest
