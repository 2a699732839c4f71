// Fuzz target for the receive side: arbitrary bytes from a raw peer, through a real loopback
// connection, into receive passes (KEPMsgSocketCommunicator::WaitConnectionsAndMessages).
//
// Each input is one connection to a registered library server: the bytes are written, the peer
// closes, and receive passes run until the library has dropped that connection. A second,
// well-behaved client connected at the same time sends one message after the fuzzed bytes; it
// must arrive intact on its own channel, so the fuzzed peer can never take the server down or
// leak into another connection. Message objects the library made must all be accounted for
// (stored and taken out, or released), and no descriptor may be left behind.
//
// Built with libFuzzer (clang, -fsanitize=fuzzer) this is a fuzz target. Built without a fuzzing
// engine (KEP_FUZZ_REPLAY), main() replays the files and directories given on the command line,
// which makes the seed corpus an ordinary test. The harness is process-wide; only the fuzzed
// peer's send runs on a thread of its own.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

using namespace keptest;

namespace {

// Small enough that a header or body cut off by the fuzzed peer cannot stall a pass for long.
const int kIoTimeoutMs = 200;
// A pass that has not settled by then is a hang, which is a finding.
const double kSettleSeconds = 10.0;
// Larger inputs are cut: more bytes reach no new code, and they would only fill socket buffers.
const std::size_t kMaxInputBytes = 64 * 1024;

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
        KEPMsgConnectionServicesUtils::Instance().SetIoTimeout(kIoTimeoutMs);
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
        Require(StartRegisteredServer(m_port) != nullptr, "cannot start the library server");
        m_baseChannels = RegisteredChannelCount();
        m_baseMessages = LiveTestMessages();
        m_baseDescriptors = OpenDescriptorCount();
    }

    void RunOne(const std::uint8_t* data, std::size_t size) {
        RawSocket fuzzed = RawConnect(m_port);
        RawSocket good = RawConnect(m_port);
        Require(fuzzed.IsOpen() && good.IsOpen(), "cannot connect to the library server");
        const int goodPort = LocalPort(good.Fd());
        Settle([&] { return RegisteredChannelCount() == m_baseChannels + 2; },
               "accepted connections were not registered");
        {
            // Sent from a thread of its own while receive passes drain the socket, so a full
            // socket never blocks; a send the library ends by closing the connection just fails.
            BackgroundCall feeder([&] { fuzzed.SendBytes(data, std::min(size, kMaxInputBytes)); });
            Settle([&] { return feeder.Done(); },
                   "the library stopped reading from the fuzzed peer");
        }
        fuzzed.Close();

        const std::uint32_t sequence = ++m_runs;
        FixedMessage probe(sequence, 0xC0FFEEu ^ sequence, 0x0123456789ABCDEFull + sequence);
        Require(good.SendMessage(probe), "the well-behaved client could not send");
        bool probeSeen = false;
        Settle(
            [&] {
                probeSeen = Collect(goodPort, probe) || probeSeen;
                return probeSeen;
            },
            "the well-behaved client's message was not received");
        Settle([&] { return RegisteredChannelCount() == m_baseChannels + 1; },
               "the fuzzed peer's close was never seen");
        good.Close();
        Settle(
            [&] {
                Collect(goodPort, probe);
                return RegisteredChannelCount() == m_baseChannels;
            },
            "the well-behaved client's close was never seen");
        Require(LiveTestMessages() == m_baseMessages + 1,  // the probe is still alive
                "a message object made by the library was neither stored nor released");
        Require(OpenDescriptorCount() == m_baseDescriptors, "a descriptor was left open");
    }

  private:
    // Runs passes until condition holds; a pass that never settles is a hang.
    static void Settle(const std::function<bool()>& condition, const char* failure) {
        Require(PumpUntil(condition, kSettleSeconds), failure);
    }

    // Takes every stored message out. Returns true when the probe arrived, whole, on the
    // well-behaved client's channel; anything else on that channel is a cross-talk fault.
    bool Collect(int goodPort, FixedMessage& probe) {
        bool found = false;
        for (ReceivedMessage& record : TakeReceived()) {
            if (RemotePort(record.channel.GetSocketId()) != goodPort) {
                continue;  // from the fuzzed peer: anything goes
            }
            Require(record.message->IsIntact() && WireBytes(*record.message) == WireBytes(probe),
                    "the well-behaved client's message arrived damaged");
            found = true;
        }
        return found;
    }

    KEPMsgSimpleInputStream m_fixedStream;
    // Destroyed first: finalizes the messaging singletons, closing the server.
    std::unique_ptr<MessagingSetup> m_setup;
    int m_port = -1;
    int m_baseChannels = 0;
    int m_baseMessages = 0;
    int m_baseDescriptors = 0;
    std::uint32_t m_runs = 0;
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

// Replays every file given, and every regular file of every directory given, in name order. An
// input that cannot be read is a failure, like a broken expectation.
int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code notADirectory;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], notADirectory)) {
            files.push_back(entry.path());
        }
        if (notADirectory) {
            files.emplace_back(argv[i]);
        }
    }
    Require(!files.empty(), "no inputs found (usage: <corpus file or directory>...)");
    std::sort(files.begin(), files.end());
    for (const std::filesystem::path& name : files) {
        std::ifstream file(name, std::ios::binary);
        Require(file.is_open(), "cannot read an input");
        const std::string bytes((std::istreambuf_iterator<char>(file)), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    delete &TheHarness();
    std::printf("replayed %zu inputs, %d Text notifications\n", files.size(), g_textNotifications);
    return 0;
}

#endif  // KEP_FUZZ_REPLAY
