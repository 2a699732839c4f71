// Several threads at once, for a bounded time: queued and immediate sends by label, receive and
// transmit passes, and connections added and removed, all against real loopback peers. Each peer
// checks that every message it gets was addressed to its own label: a removed connection must
// never be written through a stale pointer, nor through a socket id that a newer connection got.
// Built with -DKEP_SANITIZER=thread this is also the data-race test of the teardown paths.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "channels/KEPMsgChannelQueryByLabel.h"
#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

// The raw ends of the library's connections, served by one thread: it reads and checks every
// message and now and then sends one to the library.
struct PeerService {
    struct Peer {
        RawSocket socket;
        std::string label;
        std::string pending;
        std::uint32_t tick;
    };

    void Adopt(RawSocket socket, const std::string& label) {
        std::lock_guard<std::mutex> guard(mutex);
        incoming.push_back(Peer{std::move(socket), label, std::string(), 0});
    }

    // Serves until stop, then closes every peer (the library side is gone or going).
    void Run() {
        std::vector<Peer> peers;
        while (!stop) {
            {
                std::lock_guard<std::mutex> guard(mutex);
                std::move(incoming.begin(), incoming.end(), std::back_inserter(peers));
                incoming.clear();
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
                } else if (++peer.tick % 8 == 0) {
                    const std::string wire = TextWire(peer.tick, peer.label);
                    // Never block: a full buffer only means the library is busy.
                    ::send(peer.socket.Fd(), wire.data(), wire.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                }
            }
            peers.erase(std::remove_if(peers.begin(), peers.end(),
                                       [](const Peer& peer) { return !peer.socket.IsOpen(); }),
                        peers.end());
        }
    }

    // Reads what is there and checks every whole message: a "Text" header, then sequence,
    // length and the text, which must be this peer's label. False at the end of the connection.
    bool Drain(Peer& peer) {
        char buffer[16384];
        const ssize_t got = ::recv(peer.socket.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        std::string& data = peer.pending;
        data.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        while (data.size() >= 8) {
            if (data.compare(0, 8, HeaderBytes("Text")) != 0) {
                Fail(peer, "bad header");
                return false;
            }
            std::uint32_t textLength = 0;
            if (data.size() >= 16) {
                data.copy(reinterpret_cast<char*>(&textLength), 4, 12);
            }
            if (data.size() < 16 + textLength) {
                return true;
            }
            if (data.compare(16, textLength, peer.label) != 0) {
                Fail(peer, "got '" + data.substr(16, textLength) + "'");
                return false;
            }
            ++received;
            data.erase(0, 16 + textLength);
        }
        return true;
    }
    void Fail(const Peer& peer, const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex);
        if (errors++ == 0) {
            firstError = peer.label + ": " + what;
        }
    }

    std::mutex mutex;
    std::vector<Peer> incoming;  // adopted, not served yet
    std::string firstError;
    std::atomic<bool> stop{false};
    std::atomic<long> received{0};
    std::atomic<int> errors{0};
};

class ConcurrentChurnTest : public RobustnessTest {
  protected:
    ConcurrentChurnTest() : RobustnessTest(5000) {}
};

TEST_F(ConcurrentChurnTest, RemovedConnectionsAreNeverWrittenToAndNoMessageReachesTheWrongPeer) {
    RawListener listener;
    PeerService peers;
    std::mutex labelsMutex;
    std::vector<std::string> labels;  // of the connections registered now
    std::atomic<bool> stop{false};
    std::atomic<long> libraryReceived{0}, removed{0};
    std::atomic<int> badReceived{0};
    // A random label ("" when there is none), taken out of the set when take is true.
    auto pickLabel = [&](std::mt19937& random, bool take) {
        std::lock_guard<std::mutex> guard(labelsMutex);
        if (labels.empty()) {
            return std::string();
        }
        const auto at = labels.begin() + static_cast<long>(random() % labels.size());
        const std::string label = *at;
        if (take) {
            labels.erase(at);
        }
        return label;
    };
    auto labelCount = [&] {
        std::lock_guard<std::mutex> guard(labelsMutex);
        return labels.size();
    };
    auto addConnection = [&](int serial) {
        const std::string label = "peer-" + std::to_string(serial);
        RawLink link = ConnectToRawPeer(listener, label.c_str());
        if (link.socket != nullptr && link.peer.IsOpen()) {
            peers.Adopt(std::move(link.peer), label);
            std::lock_guard<std::mutex> guard(labelsMutex);
            labels.push_back(label);
        }
    };
    // Sends by label, queued or immediate; queued messages stay alive until no queue holds them.
    auto send = [&](unsigned seed, bool queued) {
        std::mt19937 random(seed);
        std::deque<std::pair<unsigned int, std::unique_ptr<TextMessage>>> inFlight;
        auto releaseWritten = [&] {
            while (!inFlight.empty() &&
                   !Communicator().QueryPendingStatus(inFlight.front().first)) {
                inFlight.pop_front();
            }
            return inFlight.empty();
        };
        for (std::uint32_t sequence = 0; !stop; ++sequence) {
            const std::string label = pickLabel(random, false);
            if (label.empty()) {
                continue;
            }
            std::unique_ptr<TextMessage> message(new TextMessage(sequence, label));
            unsigned int id = 0;
            if (queued) {
                Communicator().ISendSocketMessage(label.c_str(), message.get(), id);
            } else {
                Communicator().SendSocketMessage(label.c_str(), message.get());
            }
            if (id != 0) {
                inFlight.emplace_back(id, std::move(message));
            }
            releaseWritten();
        }
        WaitUntil(releaseWritten);
    };

    std::thread service([&] { peers.Run(); });
    for (int i = 0; i < 6; ++i) {
        addConnection(i);
    }
    std::thread churn([&] {
        std::mt19937 random(1);
        for (int serial = 100; !stop;) {
            if (labelCount() < 4 || (labelCount() < 12 && random() % 2 == 0)) {
                addConnection(serial++);
            } else {
                KEPMsgChannelQueryByLabel query{KEPString(pickLabel(random, true).c_str())};
                Communicator().RemoveConnection(&query, true);
                ++removed;
            }
        }
    });
    std::thread queuedSender(send, 2, true);
    std::thread immediateSender(send, 3, false);
    std::thread loop([&] {
        do {
            Communicator().WaitConnectionsAndMessages(nullptr, 1);
            Communicator().TransmitPendingMessage();
            for (std::unique_ptr<SequencedMessage>& message : TakeMessages()) {
                const std::string& text = static_cast<TextMessage*>(message.get())->Text();
                // A body cut off by a removal is not stored; a whole one must be right.
                badReceived += message->IsIntact() && text.compare(0, 5, "peer-") != 0 ? 1 : 0;
                ++libraryReceived;
            }
        } while (!stop);
    });

    std::this_thread::sleep_for(std::chrono::seconds(2));  // the run's length, not a wait
    stop = true;
    for (std::thread* thread : {&churn, &immediateSender, &queuedSender, &loop}) {
        thread->join();
    }
    Communicator().RemoveConnection(nullptr, true);
    peers.stop = true;
    service.join();

    EXPECT_EQ(peers.errors.load(), 0) << peers.firstError;
    EXPECT_EQ(badReceived.load(), 0);
    EXPECT_GT(peers.received.load(), 0);
    EXPECT_GT(libraryReceived.load(), 0);
    EXPECT_GT(removed.load(), 0);
}

}  // namespace
}  // namespace keptest
