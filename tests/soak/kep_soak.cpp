// Soak test: two processes exchange messages of random types and sizes over connections that
// come and go, for a set time.
//
//   kep_soak [--seconds N] [--seed S]
//
// The parent starts a server and runs the message task on a thread of its own; it spawns itself
// as the child (--child), which runs its own receive and transmit passes. The child keeps one to
// four connections open at a time; on each it sends a random number of messages, each a Text,
// Fixed or Blob of random size with the connection's next sequence number, some queued and some
// immediate. The parent answers every message with one of its own on the same connection. The
// child keeps at most kWindow messages unanswered per connection, so neither side ever blocks on
// a full socket. When a connection has sent its share, the child sends bye (with its count), the
// parent answers bye (with its count) and the child closes the connection.
//
// Checked on both sides: every message arrives whole, on the connection it was sent on, in
// sequence order with none missing or repeated, and the bye counts match; at the end the
// descriptor count is back to its starting value and resident memory has not grown beyond a
// margin since the warm-up (not checked under a sanitizer, whose allocator keeps freed memory).
// Each process prints one line of figures. Exit status 0 only when every check held.
#include <dirent.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasAtiThread.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "tests/support/KEPTestMessaging.h"

extern char** environ;

using namespace keptest;

namespace {

using Clock = std::chrono::steady_clock;

const std::uint32_t kControlSequence = 0xFFFFFFFFu;
const std::uint32_t kBye = 1;
const int kWindow = 4;
const int kMaxConnections = 4;
const int kMaxMessagesPerConnection = 200;
// A side that sees no message for this long has stalled.
const double kStallSeconds = 30.0;
// Allowed growth of resident memory between the warm-up and the end.
const long kRssMarginKiB = 8 * 1024;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;  // includes ".", ".." and the listing's own descriptor, the same every time
}

// ---- Message content: a function of the sequence number, so the receiver can check it ------

std::string TextFor(std::uint32_t sequence, std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>('a' + (sequence * 31u + i * 7u) % 26u);
    }
    return text;
}

std::uint32_t FixedValue(std::uint32_t sequence) {
    return sequence * 2654435761u;
}

std::uint64_t FixedWide(std::uint32_t sequence) {
    return std::uint64_t(sequence) * 0x9E3779B97F4A7C15ull + 1;
}

// A random traffic message with the given sequence number; bytes receives its body size.
std::unique_ptr<SequencedMessage> MakeRandomMessage(std::mt19937& random, std::uint32_t sequence,
                                                    std::size_t& bytes) {
    const unsigned kind = random() % 3;
    if (kind == 0) {
        const std::size_t length = random() % 2000;
        bytes = 8 + length;
        return std::unique_ptr<SequencedMessage>(
            new TextMessage(sequence, TextFor(sequence, length)));
    }
    if (kind == 1) {
        bytes = 16;
        return std::unique_ptr<SequencedMessage>(
            new FixedMessage(sequence, FixedValue(sequence), FixedWide(sequence)));
    }
    const unsigned band = random() % 100;
    const std::size_t size = band < 70   ? random() % 257
                             : band < 95 ? random() % 4097
                                         : random() % 16385;
    bytes = 12 + size;
    return std::unique_ptr<SequencedMessage>(new BlobMessage(sequence, size, sequence));
}

// True when message is a whole traffic message with the expected sequence; adds its body size.
bool CheckTraffic(SequencedMessage& message, std::uint32_t expected, std::uint64_t& bytes,
                  std::string& why) {
    if (!message.IsIntact()) {
        why = "message " + std::to_string(expected) + " arrived damaged";
        return false;
    }
    if (message.Sequence() != expected) {
        why = "expected sequence " + std::to_string(expected) + ", got " +
              std::to_string(message.Sequence());
        return false;
    }
    if (auto* text = dynamic_cast<TextMessage*>(&message)) {
        bytes += 8 + text->Text().size();
        if (text->Text() != TextFor(expected, text->Text().size())) {
            why = "text of " + std::to_string(expected) + " differs";
            return false;
        }
    } else if (auto* fixed = dynamic_cast<FixedMessage*>(&message)) {
        bytes += 16;
        if (fixed->Value() != FixedValue(expected) || fixed->Wide() != FixedWide(expected)) {
            why = "fixed body of " + std::to_string(expected) + " differs";
            return false;
        }
    } else if (auto* blob = dynamic_cast<BlobMessage*>(&message)) {
        bytes += 12 + blob->Data().size();
        if (blob->Data() != BlobMessage(expected, blob->Data().size(), expected).Data()) {
            why = "blob of " + std::to_string(expected) + " differs";
            return false;
        }
    } else {
        why = "unexpected message class";
        return false;
    }
    return true;
}

// The state of a connection, for the report of a stall: whether the library still lists and
// owns it, its socket's state and the bytes the kernel holds unread.
std::string DescribeConnection(const KEPMsgChannel& channel) {
    const int id = channel.GetSocketId();
    KEPBasVector<KEPMsgChannel> registered;
    KEPMsgSocketCommunicator::Instance().RetrieveConnections(nullptr, registered);
    bool listed = false;
    for (int i = 0; i < registered.size(); ++i) {
        listed = listed || registered[i].GetSocketId() == id;
    }
    int unread = -1;
    ::ioctl(id, FIONREAD, &unread);
    std::string text = "socket " + std::to_string(id) + (listed ? " registered" : " unregistered");
    KEPMsgSocket* socket = KEPMsgConnectionServicesUtils::Instance().GetSocket(id);
    auto* comm = dynamic_cast<KEPMsgCommSocket*>(socket);
    if (comm == nullptr) {
        text += ", not in the connection table";
    } else {
        text += std::string(comm->IsClosed() ? ", closed" : ", open") +
                (comm->IsInputShutDown() ? ", input shut" : "") +
                (comm->IsOutputShutDown() ? ", output shut" : "") + ", error " +
                std::to_string(comm->GetErrorCode());
    }
    return text + ", " + std::to_string(unread) + " bytes unread in the kernel";
}

bool IsBye(SequencedMessage& message, std::uint64_t& count) {
    auto* fixed = dynamic_cast<FixedMessage*>(&message);
    if (fixed == nullptr || fixed->Sequence() != kControlSequence || fixed->Value() != kBye) {
        return false;
    }
    count = fixed->Wide();
    return true;
}

// ---- Figures and the sending side shared by both processes -----------------------------------

struct Figures {
    std::uint64_t opened = 0;
    std::uint64_t closed = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
    long rssStart = 0;
    long rssWarm = 0;
    long rssEnd = 0;
    int fdsStart = 0;
    int fdsEnd = 0;
};

// Sends through the communicator, queued or immediate at random; keeps queued messages alive
// until the send buffer no longer holds them.
class Sender {
  public:
    explicit Sender(std::mt19937& random) : m_random(random) {}

    void Send(const KEPMsgChannel& channel, std::unique_ptr<SequencedMessage> message) {
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        if (m_random() % 2 == 0) {
            communicator.SendSocketMessage(channel, message.get());
            return;
        }
        unsigned int id = 0;
        communicator.ISendSocketMessage(channel, message.get(), id);
        m_queued.emplace_back(id, std::move(message));
    }

    void SendBye(const KEPMsgChannel& channel, std::uint64_t count) {
        FixedMessage bye(kControlSequence, kBye, count);
        KEPMsgSocketCommunicator::Instance().SendSocketMessage(channel, &bye);
    }

    // Frees the queued messages that have been written (or dropped with their connection).
    void Release() {
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_queued.size(); ++i) {
            unsigned int id = m_queued[i].first;
            if (communicator.QueryPendingStatus(id)) {
                m_queued[kept++] = std::move(m_queued[i]);
            }
        }
        m_queued.resize(kept);
    }

    bool Idle() const { return m_queued.empty(); }

  private:
    std::mt19937& m_random;
    std::vector<std::pair<unsigned int, std::unique_ptr<SequencedMessage>>> m_queued;
};

// Takes every stored message out, with the channel it came from.
KEPBasVector<KEPMsgChannelMsgStruct> TakeRecords() {
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    AllMessagesQuery all;
    KEPMsgSocketCommunicator::Instance().IRetrieveMessagesWithChannel(&all, records);
    return records;
}

bool Complain(const char* side, const std::string& what) {
    std::fprintf(stderr, "kep_soak %s: %s\n", side, what.c_str());
    return false;
}

bool CheckResources(const char* side, const Figures& figures) {
    bool ok = true;
    if (figures.fdsEnd != figures.fdsStart) {
        ok = Complain(side, "descriptors " + std::to_string(figures.fdsStart) + " -> " +
                                std::to_string(figures.fdsEnd));
    }
    const long margin = kRssMarginKiB + figures.rssWarm / 10;
    if (!kUnderSanitizer && figures.rssEnd > figures.rssWarm + margin) {
        ok = Complain(side, "resident memory grew from " + std::to_string(figures.rssWarm) +
                                " KiB to " + std::to_string(figures.rssEnd) + " KiB");
    }
    return ok;
}

void PrintFigures(const char* side, const Figures& figures, double seconds) {
    std::printf(
        "kep_soak %s: %.1f s, connections opened %llu closed %llu, messages sent %llu "
        "(%.2f MB) received %llu (%.2f MB), RSS %ld KiB start, %ld KiB warm, %ld KiB end, "
        "descriptors %d -> %d%s\n",
        side, seconds, static_cast<unsigned long long>(figures.opened),
        static_cast<unsigned long long>(figures.closed),
        static_cast<unsigned long long>(figures.sent), figures.bytesSent / 1e6,
        static_cast<unsigned long long>(figures.received), figures.bytesReceived / 1e6,
        figures.rssStart, figures.rssWarm, figures.rssEnd, figures.fdsStart, figures.fdsEnd,
        kUnderSanitizer ? " (memory not checked under a sanitizer)" : "");
    std::fflush(stdout);
}

// ---- Child: opens connections, sends, checks the answers, closes ------------------------------

struct ClientConnection {
    std::string label;
    KEPMsgChannel channel;
    std::uint32_t planned = 0;
    std::uint32_t sent = 0;
    std::uint32_t answered = 0;
    bool byeSent = false;
};

int RunChild(int port, double seconds, unsigned seed) {
    const char* const side = "child";
    std::mt19937 random(seed * 2 + 1);
    Figures figures;
    figures.rssStart = ResidentKiB();
    bool ok = true;
    {
        MessagingSetup setup;
        figures.fdsStart = OpenDescriptors();
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        const KEPMsgSocketAddress own(KEPMsgInetAddress(KEPString("127.0.0.1")), 0);
        const KEPMsgSocketAddress server(KEPMsgInetAddress(KEPString("127.0.0.1")), port);
        Sender sender(random);
        std::vector<ClientConnection> connections;
        int target = 1 + random() % kMaxConnections;
        const Clock::time_point start = Clock::now();
        Clock::time_point lastProgress = start;
        const double warmUp = seconds / 4 < 1.0 ? seconds / 4 : 1.0;

        while (ok) {
            const bool stopping = SecondsSince(start) >= seconds;
            if (figures.rssWarm == 0 && SecondsSince(start) >= warmUp) {
                figures.rssWarm = ResidentKiB();
            }
            if (stopping && connections.empty()) {
                break;
            }
            while (!stopping && static_cast<int>(connections.size()) < target) {
                KEPMsgCommSocket* socket =
                    KEPMsgConnectionServicesUtils::Instance().ConnectToServer(own, server, 10, 10);
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

            for (ClientConnection& connection : connections) {
                while (connection.sent < connection.planned &&
                       connection.sent - connection.answered < static_cast<unsigned>(kWindow)) {
                    std::size_t bytes = 0;
                    sender.Send(connection.channel,
                                MakeRandomMessage(random, connection.sent++, bytes));
                    ++figures.sent;
                    figures.bytesSent += bytes;
                }
                if (!connection.byeSent && connection.answered == connection.planned) {
                    sender.SendBye(connection.channel, connection.planned);
                    connection.byeSent = true;
                }
            }

            communicator.TransmitPendingMessage();
            communicator.WaitConnectionsAndMessages(nullptr, 1);
            sender.Release();

            KEPBasVector<KEPMsgChannelMsgStruct> records = TakeRecords();
            for (int i = 0; i < records.size(); ++i) {
                std::unique_ptr<SequencedMessage> message(
                    static_cast<SequencedMessage*>(records[i].m_message));
                lastProgress = Clock::now();
                std::size_t at = 0;
                while (at < connections.size() && connections[at].channel.GetSocketId() !=
                                                      records[i].m_channel.GetSocketId()) {
                    ++at;
                }
                if (at == connections.size()) {
                    ok = Complain(side, "a message arrived on a connection not open");
                    continue;
                }
                ClientConnection& connection = connections[at];
                std::uint64_t count = 0;
                std::string why;
                if (IsBye(*message, count)) {
                    if (!connection.byeSent || count != connection.answered) {
                        ok = Complain(side, connection.label + ": bye with count " +
                                                std::to_string(count) + " after " +
                                                std::to_string(connection.answered));
                    }
                    KEPMsgChannelQueryByLabel query{KEPString(connection.label.c_str())};
                    communicator.RemoveConnection(&query, true);
                    ++figures.closed;
                    connections.erase(connections.begin() + at);
                    target = 1 + random() % kMaxConnections;
                } else if (CheckTraffic(*message, connection.answered, figures.bytesReceived,
                                        why)) {
                    ++connection.answered;
                    ++figures.received;
                } else {
                    ok = Complain(side, connection.label + ": " + why);
                }
            }
            if (SecondsSince(lastProgress) > kStallSeconds) {
                ok = Complain(side, "no message for " + std::to_string(kStallSeconds) + " s");
                for (const ClientConnection& connection : connections) {
                    Complain(side, connection.label + ": sent " + std::to_string(connection.sent) +
                                       ", answered " + std::to_string(connection.answered) + ", " +
                                       DescribeConnection(connection.channel));
                }
            }
        }
        WaitUntil([&] {
            sender.Release();
            return sender.Idle();
        });
        figures.rssEnd = ResidentKiB();
        figures.rssWarm = figures.rssWarm != 0 ? figures.rssWarm : figures.rssEnd;
        figures.fdsEnd = OpenDescriptors();
        PrintFigures(side, figures, SecondsSince(start));
    }
    ok = CheckResources(side, figures) && ok;
    return ok ? 0 : 1;
}

// ---- Parent: serves, answers every message, checks order per connection -----------------------

struct ServedConnection {
    std::uint32_t expected = 0;
    std::uint32_t sent = 0;
};

pid_t SpawnChild(int port, double seconds, unsigned seed) {
    std::vector<std::string> arguments = {
        "/proc/self/exe",        "--child", std::to_string(port), "--seconds",
        std::to_string(seconds), "--seed",  std::to_string(seed)};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

int RunParent(double seconds, unsigned seed) {
    const char* const side = "parent";
    std::mt19937 random(seed * 2);
    Figures figures;
    figures.rssStart = ResidentKiB();
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
        figures.fdsStart = OpenDescriptors();
        KEPMsgMessageTask task;
        communicator.PrepareStartupMessageTask();
        KEPBasAtiThread thread(&task);
        thread.Start();

        const Clock::time_point start = Clock::now();
        const pid_t child = SpawnChild(port, seconds, seed);
        if (child < 0) {
            ok = Complain(side, "cannot start the child process");
        }
        Sender sender(random);
        std::map<int, ServedConnection> served;  // by socket id
        Clock::time_point lastProgress = start;
        const double warmUp = seconds / 4 < 1.0 ? seconds / 4 : 1.0;

        while (child > 0) {
            if (figures.rssWarm == 0 && SecondsSince(start) >= warmUp) {
                figures.rssWarm = ResidentKiB();
            }
            KEPBasVector<KEPMsgChannelMsgStruct> records = TakeRecords();
            for (int i = 0; i < records.size(); ++i) {
                std::unique_ptr<SequencedMessage> message(
                    static_cast<SequencedMessage*>(records[i].m_message));
                lastProgress = Clock::now();
                const KEPMsgChannel& channel = records[i].m_channel;
                const int id = channel.GetSocketId();
                if (served.find(id) == served.end()) {
                    ++figures.opened;
                }
                ServedConnection& connection = served[id];
                std::uint64_t count = 0;
                std::string why;
                if (IsBye(*message, count)) {
                    if (count != connection.expected) {
                        ok = Complain(side, "bye with count " + std::to_string(count) + " after " +
                                                std::to_string(connection.expected));
                    }
                    sender.SendBye(channel, connection.sent);
                    served.erase(id);
                    ++figures.closed;
                } else if (CheckTraffic(*message, connection.expected, figures.bytesReceived,
                                        why)) {
                    ++connection.expected;
                    ++figures.received;
                    std::size_t bytes = 0;
                    sender.Send(channel, MakeRandomMessage(random, connection.sent++, bytes));
                    ++figures.sent;
                    figures.bytesSent += bytes;
                } else {
                    ok = Complain(side, "socket " + std::to_string(id) + ": " + why);
                }
            }
            sender.Release();
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) {
                childStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (records.size() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (SecondsSince(lastProgress) > kStallSeconds) {
                ok = Complain(side, "no message for " + std::to_string(kStallSeconds) + " s");
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                break;
            }
        }
        if (!served.empty()) {
            ok = Complain(side, std::to_string(served.size()) + " connections ended without bye");
        }
        // The task removes the child's closed connections; only the server stays.
        if (!WaitUntil([] { return RegisteredChannelCount() == 1; })) {
            ok = Complain(side, "closed connections were not removed");
        }
        WaitUntil([&] {
            sender.Release();
            return sender.Idle();
        });
        figures.rssEnd = ResidentKiB();
        figures.rssWarm = figures.rssWarm != 0 ? figures.rssWarm : figures.rssEnd;
        figures.fdsEnd = OpenDescriptors();
        communicator.ShutdownMessageTask();
        thread.Join();
        PrintFigures(side, figures, SecondsSince(start));
    }
    if (childStatus != 0) {
        ok = Complain(side, "child ended with status " + std::to_string(childStatus));
    }
    ok = CheckResources(side, figures) && ok;
    return ok ? 0 : 1;
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
        } else if (flag == "--child" && hasValue) {
            childPort = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: kep_soak [--seconds N] [--seed S]\n");
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
