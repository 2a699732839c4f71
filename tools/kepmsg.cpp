// kepmsg: command-line companion of the messaging library.
//
//   kepmsg serve   listen, print every message received, answer pings
//   kepmsg send    connect and send one message (text or a file's bytes)
//   kepmsg ping    connect and measure round-trip times
//
// Exit status: 0 success, 1 usage error, 2 host not resolved or connection failed, 3 cannot
// listen, 4 message not delivered or not answered (connection lost, time-out), 5 input file
// unreadable. Every failure prints one line on stderr.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "channels/KEPMsgChannel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "tools/KEPMsgToolMessages.h"
#include "tools/KEPMsgToolSupport.h"

namespace {

using kepmsgtool::Clock;

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitConnect = 2,
    kExitListen = 3,
    kExitDelivery = 4,
    kExitInput = 5,
};

constexpr int kBacklog = 16;
constexpr int kChunkSize = 64 * 1024;
constexpr const char* kServerLabel = "kepmsg-server";

volatile sig_atomic_t s_stopRequested = 0;

void RequestStop(int) {
    s_stopRequested = 1;
}

KEPMsgSocketCommunicator& Communicator() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

// One line on stderr, prefixed with the command, and the exit status to return.
int Fail(const std::string& command, int status, const std::string& text) {
    std::fprintf(stderr, "kepmsg%s%s: %s\n", command.empty() ? "" : " ", command.c_str(),
                 text.c_str());
    return status;
}

const char* const kMainHelp =
    "usage: kepmsg COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  serve   listen for connections, print every message received, answer pings\n"
    "  send    connect to a server and send one message\n"
    "  ping    connect to a server and measure round-trip times\n"
    "\n"
    "Run 'kepmsg COMMAND --help' for the options of a command.\n"
    "\n"
    "Exit status: 0 success, 1 usage error, 2 host not resolved or connection failed,\n"
    "3 cannot listen, 4 message not delivered or not answered, 5 input file unreadable.\n";

const char* const kServeHelp =
    "usage: kepmsg serve [--host HOST] [--port PORT | --ports FIRST-LAST] [--type NAME]...\n"
    "                    [--count N] [--quiet]\n"
    "\n"
    "Listens on HOST (default 127.0.0.1) and PORT (default 0: the system chooses), or on the\n"
    "first free port of FIRST-LAST. The first line printed is 'listening on HOST:PORT'. Then one\n"
    "line per message received:\n"
    "  received type=NAME size=BYTES from=LABEL [text=\"...\"]\n"
    "where LABEL is the connection's label, or socket:ID for an unlabelled one. Pings are\n"
    "answered with pongs. Stops on Ctrl-C or SIGTERM (or after N messages with --count).\n"
    "\n"
    "  --type NAME   also accept raw messages of type NAME (repeatable); kepmsg.raw and\n"
    "                kepmsg.ping are always accepted\n"
    "  --quiet       print no line per message\n";

const char* const kSendHelp =
    "usage: kepmsg send [--host HOST] --port PORT (--text TEXT | --file PATH) [--type NAME]\n"
    "                   [--timeout SECONDS]\n"
    "\n"
    "Connects to HOST:PORT (default host 127.0.0.1), retrying for up to SECONDS (default 5),\n"
    "and sends TEXT or the bytes of PATH as one raw message of type NAME (default kepmsg.raw).\n";

const char* const kPingHelp =
    "usage: kepmsg ping [--host HOST] --port PORT [--count N] [--timeout SECONDS]\n"
    "\n"
    "Connects to HOST:PORT (default host 127.0.0.1), retrying for up to SECONDS (default 5),\n"
    "sends N pings (default 10) one after the other and prints\n"
    "  count N min X ms median Y ms p99 Z ms\n"
    "Each pong must arrive within SECONDS.\n";

// Options of one command line: "--name value" or "--name=value"; "--help" and the command's
// flags stand alone.
struct Options {
    std::vector<std::pair<std::string, std::string>> values;
    bool help = false;
};

// Splits argv[first...] into options, known ones taking a value and flags none; false with error
// set on a malformed argument.
bool ParseOptions(int argc, char** argv, int first, const std::vector<std::string>& known,
                  const std::vector<std::string>& flags, Options& options, std::string& error) {
    const auto listed = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument '" + arg + "'";
            return false;
        }
        std::string name = arg.substr(2);
        const std::size_t equals = name.find('=');
        const std::string bare = name.substr(0, equals);
        if (listed(flags, bare)) {
            if (equals != std::string::npos) {
                error = "option --" + bare + " takes no value";
                return false;
            }
            options.values.emplace_back(bare, "");
            continue;
        }
        if (!listed(known, bare)) {
            error = "unknown option --" + bare;
            return false;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "option --" + bare + " needs a value";
            return false;
        }
        options.values.emplace_back(bare, value);
    }
    return true;
}

// The last value given for name, or fallback.
std::string Get(const Options& options, const std::string& name, const std::string& fallback) {
    std::string result = fallback;
    for (const auto& entry : options.values) {
        if (entry.first == name) {
            result = entry.second;
        }
    }
    return result;
}

bool Has(const Options& options, const std::string& name) {
    for (const auto& entry : options.values) {
        if (entry.first == name) {
            return true;
        }
    }
    return false;
}

// Parses a whole decimal integer in [low, high].
bool ParseInt(const std::string& text, long low, long high, long& value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// A short printable rendering of a body, or empty when it is not text.
std::string TextPreview(const std::string& body) {
    constexpr std::size_t kMaxShown = 60;
    for (unsigned char c : body) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            return {};
        }
    }
    std::string shown;
    for (char c : body.substr(0, kMaxShown)) {
        if (c == '"' || c == '\\') {
            shown += '\\';
        }
        shown += c;
    }
    return " text=\"" + shown + (body.size() > kMaxShown ? "...\"" : "\"");
}

// Streams and the task shared by every command; the library keeps pointers to the streams, so
// they live as long as the process uses the communicator.
struct Session {
    KEPMsgSimpleInputStream input;
    KEPMsgBufferedOutputStream output{kChunkSize};
    kepmsgtool::MessageLoop loop;

    Session() {
        Communicator().SetDefaultInputStream(&input);
        Communicator().SetDefaultOutputStream(&output);
    }
    ~Session() { loop.Stop(); }
};

int ConnectFailure(const std::string& command, const std::string& host, int port,
                   const kepmsgtool::ConnectResult& result) {
    if (result.failure == kepmsgtool::ConnectFailure::kResolve) {
        return Fail(command, kExitConnect,
                    "cannot resolve host '" + host + "': " + result.errorText);
    }
    return Fail(
        command, kExitConnect,
        "cannot connect to " + kepmsgtool::FormatEndpoint(host, port) + ": " + result.errorText);
}

// Reads --host/--port/--timeout for a client command; false with a usage failure printed.
bool ClientEndpoint(const std::string& command, const Options& options, std::string& host,
                    int& port, int& timeout, int& status) {
    host = Get(options, "host", "127.0.0.1");
    long value = 0;
    if (!Has(options, "port")) {
        status = Fail(command, kExitUsage, "missing --port");
        return false;
    }
    if (!ParseInt(Get(options, "port", ""), 1, 65535, value)) {
        status = Fail(command, kExitUsage,
                      "bad port '" + Get(options, "port", "") + "' (expected 1-65535)");
        return false;
    }
    port = static_cast<int>(value);
    if (!ParseInt(Get(options, "timeout", "5"), 0, 86400, value)) {
        status = Fail(
            command, kExitUsage,
            "bad timeout '" + Get(options, "timeout", "") + "' (expected whole seconds, 0-86400)");
        return false;
    }
    timeout = static_cast<int>(value);
    return true;
}

int Serve(int argc, char** argv) {
    const std::string command = "serve";
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, 2, {"host", "port", "ports", "type", "count"}, {"quiet"}, options,
                      error)) {
        return Fail(command, kExitUsage, error);
    }
    if (options.help) {
        std::fputs(kServeHelp, stdout);
        return kExitOk;
    }
    const std::string host = Get(options, "host", "127.0.0.1");
    long firstPort = 0;
    long lastPort = 0;
    if (Has(options, "port") && Has(options, "ports")) {
        return Fail(command, kExitUsage, "give --port or --ports, not both");
    }
    if (Has(options, "ports")) {
        const std::string range = Get(options, "ports", "");
        const std::size_t dash = range.find('-');
        if (dash == std::string::npos || !ParseInt(range.substr(0, dash), 1, 65535, firstPort) ||
            !ParseInt(range.substr(dash + 1), 1, 65535, lastPort) || lastPort < firstPort) {
            return Fail(command, kExitUsage,
                        "bad port range '" + range + "' (expected FIRST-LAST within 1-65535)");
        }
    } else if (!ParseInt(Get(options, "port", "0"), 0, 65535, firstPort)) {
        return Fail(command, kExitUsage,
                    "bad port '" + Get(options, "port", "") + "' (expected 0-65535)");
    } else {
        lastPort = firstPort;
    }
    const bool quiet = Has(options, "quiet");
    long maxMessages = 0;
    if (!ParseInt(Get(options, "count", "0"), 0, LONG_MAX, maxMessages)) {
        return Fail(command, kExitUsage, "bad count '" + Get(options, "count", "") + "'");
    }

    // Prototypes for every accepted type; the library borrows them until the process ends.
    std::vector<std::string> rawTypes = {kepmsgtool::kRawType};
    for (const auto& entry : options.values) {
        if (entry.first == "type" && !entry.second.empty()) {
            rawTypes.push_back(entry.second);
        }
    }
    std::vector<std::unique_ptr<KEPMsgToolRawMessage>> prototypes;
    KEPMsgToolPingMessage pingPrototype;
    Session session;
    for (const std::string& type : rawTypes) {
        prototypes.push_back(std::make_unique<KEPMsgToolRawMessage>(type));
        Communicator().RegisterMessagePrototype(type.c_str(), prototypes.back().get());
        Communicator().RegisterMessageNotificationCallback(type.c_str(), kepmsgtool::NotifyArrival);
    }
    Communicator().RegisterMessagePrototype(kepmsgtool::kPingType, &pingPrototype);
    Communicator().RegisterMessageNotificationCallback(kepmsgtool::kPingType,
                                                       kepmsgtool::NotifyArrival);

    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    const KEPMsgInetAddress inet{KEPString(host.c_str())};
    KEPMsgServerSocket* server = nullptr;
    if (firstPort == lastPort) {
        server =
            services.StartServer(KEPMsgSocketAddress(inet, static_cast<int>(firstPort)), kBacklog);
    } else {
        server = services.StartServer(inet, static_cast<int>(firstPort), static_cast<int>(lastPort),
                                      kBacklog);
    }
    if (server == nullptr) {
        // The failed socket is gone with its code; one listening attempt of our own gives it.
        KEPMsgServerSocket probe(KEPMsgSocketAddress(inet, static_cast<int>(lastPort)), 1);
        const int code = probe.GetErrorCode();
        probe.Shutdown();
        const std::string where =
            firstPort == lastPort
                ? kepmsgtool::FormatEndpoint(host, static_cast<int>(firstPort))
                : host + " ports " + std::to_string(firstPort) + "-" + std::to_string(lastPort);
        return Fail(command, kExitListen,
                    "cannot listen on " + where + ": " +
                        (code != 0 ? kepmsgtool::ErrorText(code) : std::string("no free port")));
    }
    Communicator().AddConnection(KEPMsgChannel(server, "kepmsg-listener"), true);

    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (!session.loop.Start()) {
        return Fail(command, kExitListen, "cannot start the message task");
    }
    std::printf("listening on %s\n",
                kepmsgtool::FormatEndpoint(host, kepmsgtool::BoundPort(server)).c_str());
    std::fflush(stdout);

    std::vector<std::string> types = rawTypes;
    types.push_back(kepmsgtool::kPingType);
    kepmsgtool::Inbox inbox;
    long received = 0;
    while (!s_stopRequested && (maxMessages == 0 || received < maxMessages)) {
        const std::uint64_t seen = kepmsgtool::ArrivalCount();
        kepmsgtool::Received message = inbox.TryNextOf(types);
        if (!message) {
            kepmsgtool::WaitForArrival(seen, std::chrono::milliseconds(100));
            continue;
        }
        ++received;
        if (auto* ping = message.As<KEPMsgToolPingMessage>()) {
            KEPMsgToolPongMessage pong(ping->Sequence(), ping->Stamp());
            Communicator().SendSocketMessage(message.channel, &pong);
        }
        if (quiet) {
            continue;
        }
        KEPString label = message.channel.GetLabel();
        const std::string from = label.GetLengthInByte() > 0
                                     ? std::string(label.GetUTF8())
                                     : "socket:" + std::to_string(message.channel.GetSocketId());
        if (auto* ping = message.As<KEPMsgToolPingMessage>()) {
            std::printf("received type=%s size=12 from=%s seq=%u\n", kepmsgtool::kPingType,
                        from.c_str(), static_cast<unsigned>(ping->Sequence()));
        } else if (auto* raw = message.As<KEPMsgToolRawMessage>()) {
            std::printf("received type=%s size=%zu from=%s%s%s\n", raw->Type().c_str(),
                        raw->Body().size(), from.c_str(), TextPreview(raw->Body()).c_str(),
                        raw->IsValid() ? "" : " (incomplete)");
        }
        std::fflush(stdout);
    }
    session.loop.Stop();
    std::printf("stopped after %ld message%s\n", received, received == 1 ? "" : "s");
    std::fflush(stdout);
    return kExitOk;
}

int Send(int argc, char** argv) {
    const std::string command = "send";
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, 2, {"host", "port", "type", "text", "file", "timeout"}, {},
                      options, error)) {
        return Fail(command, kExitUsage, error);
    }
    if (options.help) {
        std::fputs(kSendHelp, stdout);
        return kExitOk;
    }
    std::string host;
    int port = 0;
    int timeout = 0;
    int status = 0;
    if (!ClientEndpoint(command, options, host, port, timeout, status)) {
        return status;
    }
    const std::string type = Get(options, "type", kepmsgtool::kRawType);
    if (type.empty()) {
        return Fail(command, kExitUsage, "the type name must not be empty");
    }
    if (Has(options, "text") == Has(options, "file")) {
        return Fail(command, kExitUsage, "give exactly one of --text and --file");
    }
    std::string body;
    if (Has(options, "text")) {
        body = Get(options, "text", "");
    } else {
        const std::string path = Get(options, "file", "");
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            return Fail(command, kExitInput, "cannot read '" + path + "': " + std::strerror(errno));
        }
        std::ostringstream contents;
        contents << file.rdbuf();
        body = contents.str();
    }
    if (body.size() > kepmsgtool::kMaxRawBodyBytes) {
        return Fail(
            command, kExitInput,
            "message too large (limit " + std::to_string(kepmsgtool::kMaxRawBodyBytes) + " bytes)");
    }

    Session session;
    const kepmsgtool::ConnectResult connection =
        kepmsgtool::ConnectWithRetries(host, port, timeout);
    if (connection.socket == nullptr) {
        return ConnectFailure(command, host, port, connection);
    }
    KEPMsgChannel channel(connection.socket, kServerLabel);
    Communicator().AddConnection(channel, false);

    KEPMsgToolRawMessage message(type, body);
    Communicator().SendSocketMessage(channel, &message);
    // A failed write removes the channel and closes its connection.
    const bool delivered = channel.IsActiveInCurrentThreads();
    int code = 0;
    KEPString text;
    Communicator().GetErrorsOnChannel(channel, code, text);
    Communicator().RemoveConnection(nullptr, true);
    if (!delivered) {
        return Fail(command, kExitDelivery,
                    "connection to " + kepmsgtool::FormatEndpoint(host, port) +
                        " lost while sending" +
                        (code != 0 ? ": " + std::string(text.GetUTF8()) : ""));
    }
    std::printf("sent type=%s size=%zu to %s\n", type.c_str(), body.size(),
                kepmsgtool::FormatEndpoint(host, port).c_str());
    return kExitOk;
}

int Ping(int argc, char** argv) {
    const std::string command = "ping";
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, 2, {"host", "port", "count", "timeout"}, {"reconnect"}, options,
                      error)) {
        return Fail(command, kExitUsage, error);
    }
    if (options.help) {
        std::fputs(kPingHelp, stdout);
        return kExitOk;
    }
    std::string host;
    int port = 0;
    int timeout = 0;
    int status = 0;
    if (!ClientEndpoint(command, options, host, port, timeout, status)) {
        return status;
    }
    long count = 0;
    if (!ParseInt(Get(options, "count", "10"), 1, 10000000, count)) {
        return Fail(command, kExitUsage,
                    "bad count '" + Get(options, "count", "") + "' (expected 1 or more)");
    }

    KEPMsgToolPongMessage pongPrototype;
    Session session;
    Communicator().RegisterMessagePrototype(kepmsgtool::kPongType, &pongPrototype);
    Communicator().RegisterMessageNotificationCallback(kepmsgtool::kPongType,
                                                       kepmsgtool::NotifyArrival);
    const kepmsgtool::ConnectResult connection =
        kepmsgtool::ConnectWithRetries(host, port, timeout);
    if (connection.socket == nullptr) {
        return ConnectFailure(command, host, port, connection);
    }
    KEPMsgChannel channel(connection.socket, kServerLabel);
    Communicator().AddConnection(channel, true);
    if (!session.loop.Start()) {
        return Fail(command, kExitDelivery, "cannot start the message task");
    }

    kepmsgtool::Inbox inbox;
    std::vector<double> roundTripsMs;
    const auto answerTime = std::chrono::seconds(timeout > 0 ? timeout : 5);
    for (long i = 0; i < count; ++i) {
        const auto sequence = static_cast<std::uint32_t>(i);
        const Clock::time_point sentAt = Clock::now();
        KEPMsgToolPingMessage ping(sequence,
                                   static_cast<std::uint64_t>(sentAt.time_since_epoch().count()));
        Communicator().SendSocketMessage(channel, &ping);
        if (!channel.IsActiveInCurrentThreads()) {
            return Fail(command, kExitDelivery,
                        "connection to " + kepmsgtool::FormatEndpoint(host, port) + " lost");
        }
        // Skip stale pongs (an answer that came after its ping had timed out cannot happen
        // here, since a time-out ends the run, but a misbehaving peer may repeat one).
        kepmsgtool::Received pong;
        do {
            pong = inbox.Next(kepmsgtool::kPongType, sentAt + answerTime);
        } while (pong && pong.As<KEPMsgToolPongMessage>()->Sequence() != sequence);
        if (!pong) {
            return Fail(command, kExitDelivery,
                        "no answer to ping " + std::to_string(i + 1) + " within " +
                            std::to_string(answerTime.count()) + " s");
        }
        roundTripsMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count());
    }
    session.loop.Stop();
    const kepmsgtool::Summary summary = kepmsgtool::Summarize(roundTripsMs);
    std::printf("count %zu min %.3f ms median %.3f ms p99 %.3f ms\n", summary.count, summary.min,
                summary.median, summary.p99);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that goes away must show up as a write error, not end the process.
    signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        return Fail("", kExitUsage, "missing command (try 'kepmsg --help')");
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kMainHelp, stdout);
        return kExitOk;
    }
    if (command == "serve") {
        return Serve(argc, argv);
    }
    if (command == "send") {
        return Send(argc, argv);
    }
    if (command == "ping") {
        return Ping(argc, argv);
    }
    return Fail("", kExitUsage, "unknown command '" + command + "' (try 'kepmsg --help')");
}
