// Several threads at once, for a bounded time: queued and immediate sends by label, receive and
// transmit passes, and connections added and removed, all against real loopback peers. Once its
// connection is gone, each peer checks that every message it got was addressed to its own label:
// a removed connection must never be written through a stale pointer, nor through a socket id
// that a newer connection got.
// Built with -DKEP_SANITIZER=thread this is also the data-race test of the teardown paths.

#include <chrono>
#include <deque>
#include <map>
#include <random>

#include "tests/robustness/RobustnessSupport.h"

namespace keptest {
namespace {

class ConcurrentChurnTest : public RobustnessTest {
  protected:
    ConcurrentChurnTest() : RobustnessTest(5000) {}

    // Reads what the library wrote to peer until it closed the connection: every message must
    // be a "Text" carrying label (a last one cut off by the close may be short). Returns how
    // many there were.
    static long CheckPeer(RawSocket& peer, const std::string& label) {
        std::string data = peer.ReceiveString(std::size_t(1) << 30);
        long count = 0;
        for (std::uint32_t length = 0; data.size() >= 16; data.erase(0, 16 + length), ++count) {
            data.copy(reinterpret_cast<char*>(&length), 4, 12);
            if (data.compare(0, 8, HeaderBytes("Text")) != 0 ||
                (data.size() >= 16 + length && data.compare(16, length, label) != 0)) {
                ADD_FAILURE() << label << " got '" << data.substr(0, 16 + length) << "'";
                return count;
            }
        }
        return count;
    }
};

TEST_F(ConcurrentChurnTest, RemovedConnectionsAreNeverWrittenToAndNoMessageReachesTheWrongPeer) {
    std::mutex labelsMutex;
    std::vector<std::string> labels;         // of the connections registered now
    std::map<std::string, RawSocket> peers;  // the churn thread's until it ends
    std::atomic<bool> stop{false};
    std::atomic<long> libraryReceived{0};
    std::atomic<int> badReceived{0};
    long removed = 0, peerReceived = 0;
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
            queued ? Communicator().ISendSocketMessage(label.c_str(), message.get(), id)
                   : Communicator().SendSocketMessage(label.c_str(), message.get());
            if (id != 0) {
                inFlight.emplace_back(id, std::move(message));
            }
            releaseWritten();
        }
        WaitUntil(releaseWritten);
    };

    // Each new peer sends one message; a removed connection's peer is checked at once.
    std::thread churn([&] {
        std::mt19937 random(1);
        for (std::uint32_t serial = 0; !stop; ++serial) {
            if (peers.size() < 4 || (peers.size() < 12 && random() % 2 == 0)) {
                const std::string label = "peer-" + std::to_string(serial);
                RawLink link = ConnectToRawPeer(m_listener, label.c_str());
                if (link.socket != nullptr && link.peer.SendBytes(TextWire(serial, label))) {
                    peers[label] = std::move(link.peer);
                    std::lock_guard<std::mutex> guard(labelsMutex);
                    labels.push_back(label);
                }
            } else {
                const std::string label = pickLabel(random, true);
                RemoveLabelled(label.c_str());
                peerReceived += CheckPeer(peers[label], label);
                peers.erase(label);
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
            for (ReceivedMessage& record : TakeReceived()) {
                const std::string& text = static_cast<TextMessage*>(record.message.get())->Text();
                // A body cut off by a removal is not stored; a whole one must be right.
                badReceived +=
                    record.message->IsIntact() && text.compare(0, 5, "peer-") != 0 ? 1 : 0;
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
    for (auto& peer : peers) {
        peerReceived += CheckPeer(peer.second, peer.first);
    }
    EXPECT_EQ(badReceived.load(), 0);
    EXPECT_GT(peerReceived, 0);
    EXPECT_GT(libraryReceived.load(), 0);
    EXPECT_GT(removed, 0);
}

}  // namespace
}  // namespace keptest
