// Soak test: two processes exchange traffic over connections that come and go, for a set time.
//
//   kep_soak [--seconds N] [--seed S]
//   kep_soak --first-id      exits 0 when the first message id of a fresh process is 1
//
// The parent starts a server and runs the message task on a thread of its own; it starts itself
// again as the child (--child), which runs its own receive and transmit passes. The child keeps
// one to four connections open at a time; on each it sends a random number of traffic messages
// (KEPTestTraffic: Text, Fixed and Blob of many sizes, some queued and some immediate), and the
// parent answers each with the same sequence of its own traffic on the same connection. The
// child keeps at most kWindow messages unanswered per connection, so neither side ever blocks on
// a full socket. When a connection has sent its share, the child sends bye (with its count), the
// parent answers bye (with its count) and the child closes the connection.
//
// Checked on both sides: every message arrives whole, on the connection it was sent on, in
// sequence order with none missing or repeated, and the bye counts match; at the end the
// descriptor count is back to its starting value and resident memory has not grown beyond a
// margin since the warm-up (not checked under a sanitizer, whose allocator keeps freed memory).
// Each process prints one line of figures. Exit status 0 only when every check held.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/KEPBasAtiThread.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgInetAddress.h"
#include "tests/support/KEPTestMessaging.h"
#include "tests/support/KEPTestTraffic.h"

using namespace keptest;

namespace {

using Clock = std::chrono::steady_clock;

const std::uint32_t kWindow = 4;
const int kMaxConnections = 4;
const int kMaxMessagesPerConnection = 200;
// A side that sees no message for this long has stalled.
const double kStallSeconds = 30.0;
// Allowed growth of resident memory between the warm-up and the end.
const long kRssMarginKiB = 8 * 1024;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The count a bye carries, or -1 when message is not a bye.
long long ByeCount(SequencedMessage& message) {
    if (ControlKind(message) != kControlBye) {
        return -1;
    }
    return static_cast<long long>(static_cast<FixedMessage&>(message).Wide());
}

struct Figures {
    unsigned long long opened = 0, closed = 0, sent = 0, received = 0;
    long rssStart = ResidentKiB(), rssWarm = 0, rssEnd = 0;
    int fdsStart = 0, fdsEnd = 0;
    Clock::time_point start = Clock::now();

    // Takes the warm-up figure once a quarter of the run (at most a second) has passed.
    void Tick(double seconds) {
        if (rssWarm == 0 && SecondsSince(start) >= std::min(seconds / 4, 1.0)) {
            rssWarm = ResidentKiB();
        }
    }
    void End() {
        rssEnd = ResidentKiB();
        rssWarm = rssWarm != 0 ? rssWarm : rssEnd;
        fdsEnd = OpenDescriptorCount();
    }
};

bool Complain(const char* side, const std::string& what) {
    std::fprintf(stderr, "kep_soak %s: %s\n", side, what.c_str());
    return false;
}

// Prints the figures; false when descriptors were left open or memory grew.
bool Report(const char* side, const Figures& f) {
    std::printf(
        "kep_soak %s: %.1f s, connections opened %llu closed %llu, messages sent %llu received "
        "%llu, RSS %ld KiB start, %ld KiB warm, %ld KiB end, descriptors %d -> %d%s\n",
        side, SecondsSince(f.start), f.opened, f.closed, f.sent, f.received, f.rssStart, f.rssWarm,
        f.rssEnd, f.fdsStart, f.fdsEnd,
        kUnderSanitizer ? " (memory not checked under a sanitizer)" : "");
    std::fflush(stdout);
    bool ok = true;
    if (f.fdsEnd != f.fdsStart) {
        ok = Complain(side, "descriptors were left open");
    }
    if (!kUnderSanitizer && f.rssEnd > f.rssWarm + kRssMarginKiB + f.rssWarm / 10) {
        ok = Complain(side, "resident memory grew");
    }
    return ok;
}

// ---- Child: opens connections, sends, checks the answers, closes ------------------------------

struct ClientConnection {
    std::string label;
    KEPMsgChannel channel;
    std::uint32_t planned = 0;
    std::uint32_t sent = 0;
    TrafficChecker answers;
    bool byeSent = false;
};

int RunChild(int port, double seconds, unsigned seed) {
    const char* const side = "child";
    std::mt19937 random(seed * 2 + 1);
    Figures figures;
    bool ok = true;
    {
        MessagingSetup setup;
        figures.fdsStart = OpenDescriptorCount();
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        const KEPMsgInetAddress loopback(KEPString("127.0.0.1"));
        TrafficSender sender;
        std::vector<ClientConnection> connections;
        int target = 1 + random() % kMaxConnections;
        Clock::time_point lastProgress = Clock::now();

        while (ok) {
            const bool stopping = SecondsSince(figures.start) >= seconds;
            figures.Tick(seconds);
            if (stopping && connections.empty()) {
                break;
            }
            while (!stopping && static_cast<int>(connections.size()) < target) {
                KEPMsgCommSocket* socket =
                    KEPMsgConnectionServicesUtils::Instance().ConnectToServer(
                        KEPMsgSocketAddress(loopback, 0), KEPMsgSocketAddress(loopback, port), 10,
                        10);
                if (socket == nullptr) {
                    ok = Complain(side, "cannot connect to the parent");
                    break;
                }
                ClientConnection connection;
                connection.label = "soak-" + std::to_string(figures.opened++);
                connection.channel = KEPMsgChannel(socket, KEPString(connection.label.c_str()));
                connection.planned = 1 + random() % kMaxMessagesPerConnection;
                communicator.AddConnection(connection.channel, true);
                connections.push_back(connection);
            }
            for (ClientConnection& c : connections) {
                const std::uint32_t end = std::min(c.planned, c.answers.Received() + kWindow);
                if (c.sent < end) {
                    sender.Send(c.channel, c.sent, end);
                    figures.sent += end - c.sent;
                    c.sent = end;
                }
                if (!c.byeSent && c.answers.Received() == c.planned) {
                    sender.SendControl(c.channel, kControlBye, c.planned);
                    c.byeSent = true;
                }
            }
            communicator.TransmitPendingMessage();
            communicator.WaitConnectionsAndMessages(nullptr, 1);
            sender.AllWritten();

            for (ReceivedMessage& record : TakeReceived()) {
                lastProgress = Clock::now();
                std::size_t at = 0;
                while (at < connections.size() &&
                       connections[at].channel.GetSocketId() != record.channel.GetSocketId()) {
                    ++at;
                }
                if (at == connections.size()) {
                    ok = Complain(side, "a message arrived on a connection not open");
                    continue;
                }
                ClientConnection& connection = connections[at];
                const long long bye = ByeCount(*record.message);
                if (bye >= 0) {
                    if (!connection.byeSent || bye != connection.answers.Received()) {
                        ok = Complain(side, connection.label + ": early bye or wrong count");
                    }
                    KEPMsgChannelQueryByLabel query{KEPString(connection.label.c_str())};
                    communicator.RemoveConnection(&query, true);
                    ++figures.closed;
                    connections.erase(connections.begin() + static_cast<long>(at));
                    target = 1 + random() % kMaxConnections;
                } else if (connection.answers.Accept(std::move(record.message))) {
                    ++figures.received;
                } else {
                    ok = Complain(side, connection.label + ": " + connection.answers.Error());
                }
            }
            if (SecondsSince(lastProgress) > kStallSeconds) {
                ok = Complain(side, "no message for " + std::to_string(kStallSeconds) + " s");
            }
        }
        WaitUntil([&] { return sender.AllWritten(); });
        figures.End();
    }
    ok = Report(side, figures) && ok;
    return ok ? 0 : 1;
}

// ---- Parent: serves, answers every message, checks order per connection -----------------------

int RunParent(double seconds, unsigned seed) {
    const char* const side = "parent";
    Figures figures;
    bool ok = true;
    int childStatus = -1;
    {
        MessagingSetup setup;
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        int port = -1;
        if (StartRegisteredServer(port) == nullptr) {
            Complain(side, "cannot start the server");
            return 1;
        }
        figures.fdsStart = OpenDescriptorCount();
        KEPMsgMessageTask task;
        communicator.PrepareStartupMessageTask();
        KEPBasAtiThread thread(&task);
        thread.Start();

        ChildProcess child({"/proc/self/exe", "--child", std::to_string(port), "--seconds",
                            std::to_string(seconds), "--seed", std::to_string(seed)});
        if (!child.Started()) {
            ok = Complain(side, "cannot start the child process");
        }
        TrafficSender sender;
        std::map<int, TrafficChecker> served;  // by socket id
        Clock::time_point lastProgress = Clock::now();

        while (child.Started()) {
            figures.Tick(seconds);
            std::vector<ReceivedMessage> records = TakeReceived();
            for (ReceivedMessage& record : records) {
                lastProgress = Clock::now();
                const int id = record.channel.GetSocketId();
                figures.opened += served.count(id) == 0 ? 1 : 0;
                TrafficChecker& checker = served[id];
                const std::uint32_t sequence = checker.Received();
                const long long bye = ByeCount(*record.message);
                if (bye >= 0) {
                    if (bye != sequence) {
                        ok = Complain(side, "bye with count " + std::to_string(bye) + " after " +
                                                std::to_string(sequence));
                    }
                    sender.SendControl(record.channel, kControlBye, sequence);
                    served.erase(id);
                    ++figures.closed;
                } else if (checker.Accept(std::move(record.message))) {
                    ++figures.received;
                    sender.Send(record.channel, sequence, sequence + 1);
                    ++figures.sent;
                } else {
                    ok = Complain(side, "socket " + std::to_string(id) + ": " + checker.Error());
                }
            }
            sender.AllWritten();
            childStatus = child.Wait(0);
            if (records.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (SecondsSince(lastProgress) > kStallSeconds) {
                ok = Complain(side, "no message for " + std::to_string(kStallSeconds) + " s");
                break;
            }
        }
        std::fputs(child.Out().c_str(), stdout);
        std::fputs(child.Err().c_str(), stderr);
        if (!served.empty()) {
            ok = Complain(side, std::to_string(served.size()) + " connections ended without bye");
        }
        // The task removes the child's closed connections; only the server stays.
        if (!WaitUntil([] { return RegisteredChannelCount() == 1; })) {
            ok = Complain(side, "closed connections were not removed");
        }
        WaitUntil([&] { return sender.AllWritten(); });
        figures.End();
        communicator.ShutdownMessageTask();
        thread.Join();
    }
    if (childStatus != 0) {
        ok = Complain(side, "child ended with status " + std::to_string(childStatus));
    }
    ok = Report(side, figures) && ok;
    return ok ? 0 : 1;
}

int FirstId() {
    MessagingSetup setup;
    TextMessage message(0, "id");
    unsigned int id = 0;
    KEPMsgSocketCommunicator::Instance().ISendSocketMessage(KEPMsgChannel(), &message, id);
    return id == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5.0;
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    int childPort = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const bool hasValue = i + 1 < argc;
        if (flag == "--seconds" && hasValue) {
            seconds = std::atof(argv[++i]);
        } else if (flag == "--seed" && hasValue) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (flag == "--first-id") {
            return FirstId();
        } else if (flag == "--child" && hasValue) {
            childPort = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: kep_soak [--seconds N] [--seed S] | --first-id\n");
            return 2;
        }
    }
    if (childPort > 0) {
        return RunChild(childPort, seconds, seed);
    }
    std::printf("kep_soak: seed %u, %.1f s\n", seed, seconds);
    std::fflush(stdout);
    return RunParent(seconds, seed);
}
