// Soak test: two processes exchange traffic over connections that come and go, for a set time.
//
//   kep_soak [--seconds N] [--seed S]
//   kep_soak --first-id      exits 0 when the first message id of a fresh process is 1
//
// The parent starts a server and runs the message task on a thread of its own; it starts itself
// again as the child (--child), which runs its own receive and transmit passes. The child keeps
// one to four connections open at a time; on each it sends a random number of traffic messages
// (Text, Fixed and Blob of many sizes, some queued and some immediate, the content derived from
// the sequence number so both ends know it), and the parent answers each with the same sequence
// of its own traffic on the same connection. The child keeps at most kWindow messages unanswered
// per connection, so neither side ever blocks on a full socket. When a connection has sent its
// share, the child sends bye (with its count), the parent answers bye (with its count) and the
// child closes the connection.
//
// Checked on both sides: every message arrives whole, on the connection it was sent on, in
// sequence order with none missing or repeated, and the bye counts match; at the end the
// descriptor count is back to its starting value and resident memory has not grown beyond a
// margin since the warm-up (not checked under a sanitizer, whose allocator keeps freed memory).
// Each process prints one line of figures. Exit status 0 only when every check held.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>

#include "base/KEPBasAtiThread.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

using Clock = std::chrono::steady_clock;

const std::uint32_t kWindow = 4;
const int kMaxConnections = 4;
const int kMaxMessagesPerConnection = 200;
// A side that sees no message for this long (30 s) has stalled.
const double kStallSeconds = 30.0;
// Allowed growth of resident memory between the warm-up and the end.
const long kRssMarginKiB = 8 * 1024;
// A Fixed message with this sequence is a bye; its wide field carries the count.
const std::uint32_t kByeSequence = 0xFFFFFFFFu;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

KEPMsgSocketCommunicator& Communicator() {
    return KEPMsgSocketCommunicator::Instance();
}

// Traffic message s: mostly small, some medium blobs.
std::unique_ptr<SequencedMessage> MakeTrafficMessage(std::uint32_t s) {
    if (s % 97 == 5 || s % 3 == 2) {
        const std::size_t size = s % 97 == 5 ? 1000 + (s * 7919u) % 60000 : s % 300;
        return std::make_unique<BlobMessage>(s, size, s);
    }
    if (s % 3 == 1) {
        return std::make_unique<TextMessage>(
            s, "msg-" + std::to_string(s) + "-" + std::string(s % 150, char('a' + s % 26)));
    }
    return std::make_unique<FixedMessage>(s, s * 2654435761u, std::uint64_t(s) * s + 7);
}

// The count a bye carries, or -1 when message is not a bye.
long long ByeCount(SequencedMessage& message) {
    FixedMessage* fixed = dynamic_cast<FixedMessage*>(&message);
    return fixed != nullptr && fixed->Sequence() == kByeSequence
               ? static_cast<long long>(fixed->Wide())
               : -1;
}

// Sends traffic and byes, keeping each queued message alive until it is no longer pending.
class TrafficSender {
  public:
    // Traffic [begin, end): every fourth message immediate, the others queued for a pass.
    void Send(const KEPMsgChannel& channel, std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t s = begin; s < end; ++s) {
            std::unique_ptr<SequencedMessage> message = MakeTrafficMessage(s);
            unsigned int id = 0;
            s % 4 == 3 ? Communicator().SendSocketMessage(channel, message.get())
                       : Communicator().ISendSocketMessage(channel, message.get(), id);
            m_kept.emplace_back(id, std::move(message));
        }
    }
    void SendBye(const KEPMsgChannel& channel, std::uint32_t count) {
        FixedMessage bye(kByeSequence, 0, count);
        Communicator().SendSocketMessage(channel, &bye);
    }
    // Frees every message no longer pending; true when none is left.
    bool AllWritten() {
        const auto written = [](auto& kept) {
            return kept.first == 0 || !Communicator().QueryPendingStatus(kept.first);
        };
        m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(), written), m_kept.end());
        return m_kept.empty();
    }

  private:
    std::vector<std::pair<unsigned int, std::unique_ptr<SequencedMessage>>> m_kept;
};

// The side this process plays, and whether every check held so far.
const char* g_side = "parent";
bool g_ok = true;

// A check of this side: one that fails is reported on stderr and fails the run. Returns held.
bool Check(bool held, const std::string& what) {
    if (!held) {
        std::fprintf(stderr, "kep_soak %s: %s\n", g_side, what.c_str());
    }
    g_ok = g_ok && held;
    return held;
}

// Checks the traffic of one direction of one connection in order.
struct TrafficChecker {
    std::uint32_t next = 0;
    std::string error;

    // False, with a complaint the first time, unless message is traffic message `next`, whole.
    bool Accept(SequencedMessage& message, const std::string& connection) {
        if (error.empty() &&
            !(message.IsIntact() && WireBytes(message) == WireBytes(*MakeTrafficMessage(next)))) {
            error = "message " + std::to_string(next) + " damaged, missing or out of order (got " +
                    std::to_string(message.Sequence()) + ")";
            Check(false, connection + ": " + error);
        }
        next += error.empty() ? 1 : 0;
        return error.empty();
    }
};

// Descriptors at the start and resident memory after the warm-up (a quarter of the run, at
// most a second), compared at the end.
struct Figures {
    unsigned long long opened = 0, closed = 0, sent = 0, received = 0;
    long rssWarm = 0;
    int fdsStart = 0;
    Clock::time_point start = Clock::now();

    void Tick(double seconds) {
        if (rssWarm == 0 && SecondsSince(start) >= std::min(seconds / 4, 1.0)) {
            rssWarm = ResidentKiB();
        }
    }
    // Prints the figures; checks that no descriptor was left open and memory did not grow.
    void Report() {
        const long rssEnd = ResidentKiB();
        const int fdsEnd = OpenDescriptorCount();
        rssWarm = rssWarm != 0 ? rssWarm : rssEnd;
        std::printf(
            "kep_soak %s: %.1f s, connections opened %llu closed %llu, messages sent %llu "
            "received %llu, RSS %ld KiB warm, %ld KiB end, descriptors %d -> %d%s\n",
            g_side, SecondsSince(start), opened, closed, sent, received, rssWarm, rssEnd, fdsStart,
            fdsEnd, kUnderSanitizer ? " (memory not checked under a sanitizer)" : "");
        std::fflush(stdout);
        Check(fdsEnd == fdsStart, "descriptors were left open");
        Check(kUnderSanitizer || rssEnd <= rssWarm + kRssMarginKiB + rssWarm / 10,
              "resident memory grew");
    }
};

// ---- Child: opens connections, sends, checks the answers, closes ------------------------------

struct ClientConnection {
    std::string label;
    KEPMsgChannel channel;
    std::uint32_t planned = 0;
    std::uint32_t sent = 0;
    TrafficChecker answers;
    bool byeSent = false;
};

bool RunChild(int port, double seconds, unsigned seed, Figures& figures) {
    std::mt19937 random(seed * 2 + 1);
    TrafficSender sender;
    std::map<int, ClientConnection> connections;  // by socket id
    int target = 1 + random() % kMaxConnections;
    Clock::time_point lastProgress = Clock::now();
    while (g_ok) {
        const bool stopping = SecondsSince(figures.start) >= seconds;
        figures.Tick(seconds);
        if (stopping && connections.empty()) {
            break;
        }
        while (!stopping && static_cast<int>(connections.size()) < target) {
            KEPMsgCommSocket* socket = KEPMsgConnectionServicesUtils::Instance().ConnectToServer(
                LoopbackAddress(0), LoopbackAddress(port), 10, 10);
            if (!Check(socket != nullptr, "cannot connect to the parent")) {
                return false;
            }
            ClientConnection& connection = connections[socket->GetId()];
            connection.label = "soak-" + std::to_string(figures.opened++);
            connection.channel = KEPMsgChannel(socket, KEPString(connection.label.c_str()));
            connection.planned = 1 + random() % kMaxMessagesPerConnection;
            Communicator().AddConnection(connection.channel, true);
        }
        for (auto& [id, c] : connections) {
            const std::uint32_t end = std::min(c.planned, c.answers.next + kWindow);
            if (c.sent < end) {
                sender.Send(c.channel, c.sent, end);
                figures.sent += end - c.sent;
                c.sent = end;
            }
            if (!c.byeSent && c.answers.next == c.planned) {
                sender.SendBye(c.channel, c.planned);
                c.byeSent = true;
            }
        }
        Communicator().TransmitPendingMessage();
        Communicator().WaitConnectionsAndMessages(nullptr, 1);
        sender.AllWritten();

        for (ReceivedMessage& record : TakeReceived()) {
            lastProgress = Clock::now();
            auto at = connections.find(record.channel.GetSocketId());
            if (!Check(at != connections.end(), "a message on a connection not open")) {
                continue;
            }
            ClientConnection& c = at->second;
            const long long bye = ByeCount(*record.message);
            if (bye >= 0) {
                Check(c.byeSent && bye == c.answers.next, c.label + ": early bye or wrong count");
                KEPMsgChannelQueryByLabel query{KEPString(c.label.c_str())};
                Communicator().RemoveConnection(&query, true);
                ++figures.closed;
                connections.erase(at);
                target = 1 + random() % kMaxConnections;
            } else {
                c.answers.Accept(*record.message, c.label);
                ++figures.received;
            }
        }
        Check(SecondsSince(lastProgress) <= kStallSeconds, "no message for 30 s");
    }
    WaitUntil([&] { return sender.AllWritten(); });
    figures.Report();
    return g_ok;
}

// ---- Parent: serves, answers every message, checks order per connection -----------------------

bool RunParent(int port, double seconds, unsigned seed, Figures& figures) {
    KEPMsgMessageTask task;
    Communicator().PrepareStartupMessageTask();
    KEPBasAtiThread thread(&task);
    thread.Start();
    ChildProcess child({ThisProgramPath(), "--child", std::to_string(port), "--seconds",
                        std::to_string(seconds), "--seed", std::to_string(seed)});
    Check(child.Started(), "cannot start the child process");
    TrafficSender sender;
    std::map<int, TrafficChecker> served;  // by socket id
    Clock::time_point lastProgress = Clock::now();
    int childStatus = -1;
    while (child.Started()) {
        figures.Tick(seconds);
        std::vector<ReceivedMessage> records = TakeReceived();
        for (ReceivedMessage& record : records) {
            lastProgress = Clock::now();
            const int id = record.channel.GetSocketId();
            figures.opened += served.count(id) == 0 ? 1 : 0;
            TrafficChecker& checker = served[id];
            const std::uint32_t sequence = checker.next;
            const long long bye = ByeCount(*record.message);
            if (bye >= 0) {
                Check(bye == sequence, "bye with count " + std::to_string(bye) + " after " +
                                           std::to_string(sequence));
                sender.SendBye(record.channel, sequence);
                served.erase(id);
                ++figures.closed;
            } else if (checker.Accept(*record.message, "socket " + std::to_string(id))) {
                ++figures.received;
                sender.Send(record.channel, sequence, sequence + 1);
                ++figures.sent;
            }
        }
        sender.AllWritten();
        childStatus = child.Wait(0);
        if (records.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!Check(SecondsSince(lastProgress) <= kStallSeconds, "no message for 30 s")) {
            break;
        }
    }
    std::fputs(child.Out().c_str(), stdout);
    std::fputs(child.Err().c_str(), stderr);
    Check(served.empty(), "connections ended without bye");
    // The task removes the child's closed connections; only the server stays.
    Check(WaitUntil([] { return RegisteredChannelCount() == 1; }),
          "closed connections were not removed");
    WaitUntil([&] { return sender.AllWritten(); });
    figures.Report();
    Communicator().ShutdownMessageTask();
    thread.Join();
    Check(childStatus == 0, "child ended with status " + std::to_string(childStatus));
    return g_ok;
}

int FirstId() {
    MessagingSetup setup;
    TextMessage message(0, "id");
    unsigned int id = 0;
    Communicator().ISendSocketMessage(KEPMsgChannel(), &message, id);
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
    if (childPort < 0) {
        std::printf("kep_soak: seed %u, %.1f s\n", seed, seconds);
        std::fflush(stdout);
    }
    g_side = childPort > 0 ? "child" : "parent";
    Figures figures;
    MessagingSetup setup;
    int port = childPort;
    if (!Check(childPort > 0 || StartRegisteredServer(port) != nullptr,
               "cannot start the server")) {
        return 1;
    }
    figures.fdsStart = OpenDescriptorCount();
    const bool ok = childPort > 0 ? RunChild(port, seconds, seed, figures)
                                  : RunParent(port, seconds, seed, figures);
    return ok ? 0 : 1;
}
