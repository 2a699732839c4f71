// Fuzz target for the receive side: arbitrary bytes from a peer, through a connected local socket
// pair, into receive passes (KEPMsgSocketCommunicator::WaitConnectionsAndMessages).
//
// Each input is one connection of the library: a socket pair made in process, whose library end
// is entered in the connection table and registered like an accepted connection. The bytes are
// written into the other end at once (they fit the pair's buffer), that end closes, and receive
// passes run until the library has dropped the connection. A well-behaved connection registered
// for the whole run sends one message beside each input; it must arrive intact on its own
// channel, so the fuzzed peer can never take the passes down or leak into another connection.
// Message objects the library made must all be accounted for (stored and taken out, or
// released), and no descriptor may be left behind. No thread and no TCP connect per input.
//
// Cheap per input: passes that never sleep (every byte is buffered already) and drain what is
// buffered (most inputs take two: their bytes, then the close), the stored messages looked at
// only after a pass that stored some, the connection table's removal count to see the fuzzed
// connection go, and one system call to see that the library closed its end of the pair. The open
// sockets are counted every kFullCheckEvery inputs and at the replay's end (sockets only: the
// fuzzing engine opens pipes of its own, to its symbolizer).
//
// Built with libFuzzer (clang, -fsanitize=fuzzer) this is a fuzz target. Built without a fuzzing
// engine (KEP_FUZZ_REPLAY), main() replays the files and directories given on the command line
// (KEPFuzzReplay.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "fuzz/KEPFuzzReplay.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"
#include "tests/support/KEPTestNet.h"

using namespace keptest;

namespace {

// A pass that has not settled by then is a hang, which is a finding.
const double kSettleSeconds = 10.0;
// Larger inputs are cut: more bytes reach no new code, and they would only fill socket buffers.
const std::size_t kMaxInputBytes = 64 * 1024;

const int kDrainLimit = 64;
// Inputs between two counts of the open sockets (a read of /proc/self/fd each).
const std::uint32_t kFullCheckEvery = 1024;

// Types beside the three test types: one stored with an empty body, one whose input stream is
// registered as null, so its messages are made but never read or stored.
const char* const kEmptyType = "Empty";
const char* const kUnreadType = "Unread";

int g_textNotifications = 0;

// A broken expectation is a finding: report it and abort, which the fuzzer records.
void Require(bool held, const char* what) {
    if (!held) {
        std::fprintf(stderr, "receive_fuzzer: %s\n", what);
        std::fflush(stderr);
        std::abort();
    }
}

class Harness {
  public:
    Harness() {
        m_setup.reset(new MessagingSetup());
        // Prototypes outlive every registry that may hold them: they live for the process.
        static NamedEmptyMessage* const empty = new NamedEmptyMessage(kEmptyType);
        static NamedEmptyMessage* const unread = new NamedEmptyMessage(kUnreadType);
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        communicator.RegisterMessagePrototype(kEmptyType, empty);
        communicator.RegisterMessagePrototype(kUnreadType, unread);
        communicator.RegisterMessageInputStream(FixedMessage::kType, &m_fixedStream);
        communicator.RegisterMessageInputStream(kUnreadType, nullptr);
        communicator.RegisterMessageNotificationCallback(
            TextMessage::kType, [](const KEPString&) { ++g_textNotifications; });
        // A pass reads on while a connection's buffer holds whole headers, as a host that
        // drains would set it: most inputs take two passes (their bytes, then the close), and
        // inputs of more headers than the limit fuzz the drain's round-robin too.
        communicator.SetReceiveDrainLimit(kDrainLimit);
        m_good = Open("good", m_goodPeer);
        m_baseChannels = RegisteredChannelCount();
        m_baseMessages = LiveTestMessages();
        m_baseSockets = OpenSocketCount();
    }

    void RunOne(const std::uint8_t* data, std::size_t size) {
        const std::uint32_t sequence = ++m_runs;
        FixedMessage message(sequence, 0xC0FFEEu ^ sequence, 0x0123456789ABCDEFull + sequence);
        const std::string probe = WireBytes(message);
        Require(m_goodPeer.SendBytes(probe), "the well-behaved peer could not send");
        RawSocket fuzzed;
        const int libraryEnd = Open("fuzzed", fuzzed).GetSocketId();
        Require(fuzzed.SendBytes(data, std::min(size, kMaxInputBytes)),
                "cannot write the input into the socket pair");
        fuzzed.Close();

        // Only the fuzzed connection can leave the table; its channel must leave with it.
        const std::uint64_t removals = KEPMsgConnectionServicesUtils::Instance().RemovalCount();
        bool probeSeen = false;
        Settle(
            [&] {
                // Only a pass that stored something can have brought the probe.
                const std::uint64_t stores = KEPMsgRetrieveMessageBuffer::Instance().StoreCount();
                if (stores != m_stores) {
                    m_stores = stores;
                    probeSeen = Collect(probe) || probeSeen;
                }
                return probeSeen &&
                       KEPMsgConnectionServicesUtils::Instance().RemovalCount() != removals;
            },
            "the fuzzed peer's close or the well-behaved peer's message was never seen");
        Require(RegisteredChannelCount() == m_baseChannels,
                "the fuzzed connection left the table but its channel stayed registered");
        Require(LiveTestMessages() == m_baseMessages + 1,  // the probe's original is still alive
                "a message object made by the library was neither stored nor released");
        Require(::fcntl(libraryEnd, F_GETFD) == -1, "the fuzzed connection's socket was left open");
        if (sequence % kFullCheckEvery == 0) {
            CheckDescriptors();
        }
    }

    // None of the sockets made by the inputs so far may be left open.
    void CheckDescriptors() const {
        Require(OpenSocketCount() == m_baseSockets, "a socket was left open");
    }

  private:
    // A library connection over a local socket pair, registered for receiving under label;
    // peer gets the other end.
    static KEPMsgChannel Open(const char* label, RawSocket& peer) {
        int ends[2] = {-1, -1};
        Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0,
                "cannot make a socket pair");
        peer = RawSocket(ends[1]);
        // Room for the largest input, so that writing it never blocks; most systems' default
        // has it, which saves a system call per input.
        static const int defaultRoom = IntOption(ends[1], SOL_SOCKET, SO_SNDBUF);
        const int room = 2 * static_cast<int>(kMaxInputBytes);
        if (defaultRoom < room) {
            ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        }
        auto* socket = new KEPMsgCommSocket(KEPMsgSocketAddress(KEPMsgInetAddress(), 0), ends[0]);
        Require(KEPMsgConnectionServicesUtils::Instance().AddConnection(socket),
                "the connection table refused a new connection");
        const KEPMsgChannel channel(socket, KEPString(label));
        KEPMsgSocketCommunicator::Instance().AddConnection(channel, true);
        return channel;
    }

    // Runs passes until condition holds; a pass that never settles is a hang. Every byte is in
    // the pair's buffer before the first pass, so the passes neither wait nor yield.
    static void Settle(const std::function<bool()>& condition, const char* failure) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(static_cast<int>(kSettleSeconds * 1000));
        for (;;) {
            KEPMsgSocketCommunicator::Instance().WaitConnectionsAndMessages(nullptr, 0);
            if (condition()) {
                return;
            }
            Require(std::chrono::steady_clock::now() < deadline, failure);
        }
    }

    static int OpenSocketCount() {
        int count = 0;
        DIR* dir = ::opendir("/proc/self/fd");
        Require(dir != nullptr, "cannot list the open descriptors");
        while (dirent* entry = ::readdir(dir)) {
            char target[64] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            count += ::readlink(path.c_str(), target, sizeof target - 1) > 0 &&
                             std::string(target).rfind("socket:", 0) == 0
                         ? 1
                         : 0;
        }
        ::closedir(dir);
        return count;
    }

    // Takes every stored message out. Returns true when the probe arrived, whole, on the
    // well-behaved channel; anything else on that channel is a cross-talk fault.
    bool Collect(const std::string& probe) {
        bool found = false;
        for (ReceivedMessage& record : TakeReceived()) {
            if (!(record.channel == m_good)) {
                continue;  // from the fuzzed peer: anything goes
            }
            Require(record.message->IsIntact() && WireBytes(*record.message) == probe,
                    "the well-behaved peer's message arrived damaged");
            found = true;
        }
        return found;
    }

    KEPMsgSimpleInputStream m_fixedStream;
    // Destroyed first: finalizes the messaging singletons, closing the connections.
    std::unique_ptr<MessagingSetup> m_setup;
    KEPMsgChannel m_good;
    RawSocket m_goodPeer;
    int m_baseChannels = 0;
    int m_baseMessages = 0;
    int m_baseSockets = 0;
    std::uint32_t m_runs = 0;
    std::uint64_t m_stores = 0;
};

Harness& TheHarness() {
    // Lives for the process: libFuzzer never returns control for an orderly teardown.
    static Harness* harness = new Harness();
    return *harness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TheHarness().RunOne(data, size);
    return 0;
}

#ifdef KEP_FUZZ_REPLAY

int main(int argc, char** argv) {
    const std::size_t replayed = ReplayInputs(argc, argv);
    TheHarness().CheckDescriptors();
    delete &TheHarness();
    std::printf("replayed %zu inputs, %d Text notifications\n", replayed, g_textNotifications);
    return 0;
}

#endif  // KEP_FUZZ_REPLAY
