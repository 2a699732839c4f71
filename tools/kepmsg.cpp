// kepmsg: command-line companion of the messaging library.
//
//   kepmsg serve   listen, print every connection event and message received, answer pings
//   kepmsg send    connect and send one message (text or a file's bytes)
//   kepmsg ping    connect and measure round-trip times, riding out a restart on request
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
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "channels/KEPMsgChannel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "tools/KEPMsgToolEvents.h"
#include "tools/KEPMsgToolMessages.h"
#include "tools/KEPMsgToolServerLink.h"
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
// Longest wait of one receive pass: how soon a stop request is seen.
constexpr int kPassWaitMs = 100;

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
    "  serve   listen for connections, print every event and message, answer pings\n"
    "  send    connect to a server and send one message\n"
    "  ping    connect to a server and measure round-trip times\n"
    "\n"
    "Run 'kepmsg COMMAND --help' for the options of a command.\n"
    "\n"
    "Exit status: 0 success, 1 usage error, 2 host not resolved or connection failed,\n"
    "3 cannot listen, 4 message not delivered or not answered, 5 input file unreadable.\n";

const char* const kServeHelp =
    "usage: kepmsg serve [--host HOST] [--port PORT | --ports FIRST-LAST] [--type NAME]...\n"
    "                    [--count N] [--quiet] [--send-buffer BYTES|system]\n"
    "                    [--allow CIDR[,CIDR...]]\n"
    "                    [--tls-cert FILE --tls-key FILE [--tls-ca FILE]]\n"
    "\n"
    "Listens on HOST (default 127.0.0.1) and PORT (default 0: the system chooses), or on the\n"
    "first free port of FIRST-LAST. The first line printed is 'listening on HOST:PORT'. Then one\n"
    "line per connection event and per message received:\n"
    "  connected socket:ID from HOST:PORT\n"
    "  received type=NAME size=BYTES from=LABEL [text=\"...\"]\n"
    "  closed socket:ID: REASON[: ERROR]\n"
    "where LABEL is the connection's label, or socket:ID for an unlabelled one, and REASON is\n"
    "one of: peer closed, reset, I/O time-out, protocol violation, removed by host, TLS\n"
    "handshake failed (then ERROR is TLS's reason). Pings are\n"
    "answered with pongs. Stops on Ctrl-C or SIGTERM (or after N messages with --count), then\n"
    "prints the figures of each open connection (messages and bytes each way, records queued,\n"
    "last error, time connected) and of the closed ones added up.\n"
    "\n"
    "  --type NAME   also accept raw messages of type NAME (repeatable); kepmsg.raw and\n"
    "                kepmsg.ping are always accepted\n"
    "  --quiet       print no line per message, only the connection events\n"
    "  --send-buffer BYTES|system\n"
    "                the send buffer of every connection: BYTES (4096-67108864, default\n"
    "                65536), or 'system' to let the system size it (faster for large\n"
    "                messages, more memory per connection)\n"
    "  --allow LIST  admit connections only from these networks (e.g. 10.0.0.0/8,::1/128);\n"
    "                others are closed at once and printed as 'refused HOST:PORT: refused by\n"
    "                filter'\n"
    "  --tls-cert FILE --tls-key FILE\n"
    "                serve TLS with this certificate chain and private key (PEM)\n"
    "  --tls-ca FILE  require client certificates signed by this CA (mutual TLS)\n";

const char* const kSendHelp =
    "usage: kepmsg send [--host HOST] --port PORT (--text TEXT | --file PATH) [--type NAME]\n"
    "                   [--timeout SECONDS] [--send-buffer BYTES|system] [TLS OPTIONS]\n"
    "\n"
    "Connects to HOST:PORT (default host 127.0.0.1), retrying for up to SECONDS (default 5),\n"
    "and sends TEXT or the bytes of PATH as one raw message of type NAME (default kepmsg.raw).\n"
    "--send-buffer sets the connection's send buffer, as for serve.\n"
    "\n"
    "TLS OPTIONS (any of them turns TLS on):\n"
    "  --tls-ca FILE            trust servers whose certificate this CA signed\n"
    "  --tls-cert FILE --tls-key FILE\n"
    "                           present this client certificate (for mutual TLS)\n"
    "  --tls-server-name NAME   the name the server's certificate must carry (default: HOST)\n";

const char* const kPingHelp =
    "usage: kepmsg ping [--host HOST] --port PORT [--count N] [--timeout SECONDS]\n"
    "                   [--interval MS] [--reconnect] [TLS OPTIONS, as for send]\n"
    "\n"
    "Connects to HOST:PORT (default host 127.0.0.1), retrying for up to SECONDS (default 5),\n"
    "sends N pings (default 10) one after the other, MS milliseconds apart (default 0), and\n"
    "prints\n"
    "  count N min X ms median Y ms p99 Z ms\n"
    "Each pong must arrive within SECONDS.\n"
    "\n"
    "  --reconnect   ride out a lost connection: redial (pausing 0.1 s, growing to 1 s) for up\n"
    "                to SECONDS, send the unanswered ping again and print\n"
    "                  connection to HOST:PORT lost: REASON\n"
    "                  reconnected to HOST:PORT after GAP ms (K failed dials)\n";

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

// The streams every command uses; the library keeps pointers to them, so they live as long as
// the process uses the communicator.
struct Session {
    KEPMsgSimpleInputStream input;
    KEPMsgBufferedOutputStream output{kChunkSize};

    Session() {
        Communicator().SetDefaultInputStream(&input);
        Communicator().SetDefaultOutputStream(&output);
    }
};

int ConnectFailure(const std::string& command, const std::string& host, int port,
                   const kepmsgtool::ConnectResult& result) {
    if (result.failure == kepmsgtool::ConnectFailure::kTlsHandshake) {
        return Fail(command, kExitConnect,
                    "cannot connect to " + kepmsgtool::FormatEndpoint(host, port) + ": " +
                        result.errorText);
    }
    if (result.failure == kepmsgtool::ConnectFailure::kResolve) {
        return Fail(command, kExitConnect,
                    "cannot resolve host '" + host + "': " + result.errorText);
    }
    return Fail(
        command, kExitConnect,
        "cannot connect to " + kepmsgtool::FormatEndpoint(host, port) + ": " + result.errorText);
}

// The TLS options of a command. tls is left empty when none is given; settings that cannot
// load are a usage failure (false, status set).
bool TlsOptions(const std::string& command, const Options& options, bool server,
                std::optional<KEPMsgTlsSettings>& tls, int& status) {
    const char* const names[] = {"tls-cert", "tls-key", "tls-ca", "tls-server-name"};
    if (std::none_of(std::begin(names), std::end(names),
                     [&](const char* name) { return Has(options, name); })) {
        return true;
    }
    KEPMsgTlsSettings settings;
    settings.m_certificateChainFile = KEPString(Get(options, "tls-cert", "").c_str());
    settings.m_privateKeyFile = KEPString(Get(options, "tls-key", "").c_str());
    settings.m_caFile = KEPString(Get(options, "tls-ca", "").c_str());
    settings.m_serverName = KEPString(Get(options, "tls-server-name", "").c_str());
    KEPString error;
    if (!settings.CanLoad(server, error)) {
        status = Fail(command, kExitUsage, std::string("bad TLS settings: ") + error.GetUTF8());
        return false;
    }
    tls = settings;
    return true;
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

// Applies --send-buffer BYTES|system when given; false with a usage failure printed.
bool SendBufferOption(const std::string& command, const Options& options, int& status) {
    if (!Has(options, "send-buffer")) {
        return true;
    }
    const std::string text = Get(options, "send-buffer", "");
    long bytes = 0;
    if ((text != "system" && !ParseInt(text, 1, INT_MAX, bytes)) ||
        !KEPMsgConnectionServicesUtils::Instance().SetSendBufferSize(static_cast<int>(bytes))) {
        status = Fail(command, kExitUsage,
                      "bad send buffer '" + text + "' (expected BYTES 4096-67108864 or system)");
        return false;
    }
    return true;
}

// Answers a ping and prints one line per message unless quiet.
void Answer(kepmsgtool::Received& message, bool quiet) {
    auto* const ping = message.As<KEPMsgToolPingMessage>();
    if (ping != nullptr) {
        KEPMsgToolPongMessage pong(ping->Sequence(), ping->Stamp());
        Communicator().SendSocketMessage(message.channel, &pong);
    }
    if (quiet) {
        return;
    }
    KEPString label = message.channel.GetLabel();
    const std::string from = label.GetLengthInByte() > 0
                                 ? std::string(label.GetUTF8())
                                 : "socket:" + std::to_string(message.channel.GetSocketId());
    if (ping != nullptr) {
        std::printf("received type=%s size=12 from=%s seq=%u\n", kepmsgtool::kPingType,
                    from.c_str(), static_cast<unsigned>(ping->Sequence()));
    } else if (auto* raw = message.As<KEPMsgToolRawMessage>()) {
        std::printf("received type=%s size=%zu from=%s%s%s\n", raw->Type().c_str(),
                    raw->Body().size(), from.c_str(), TextPreview(raw->Body()).c_str(),
                    raw->IsValid() ? "" : " (incomplete)");
    }
}

// What the connections that closed during a run carried, added up.
struct ClosedTotals {
    long connections = 0;
    KEPMsgConnectionStatistics figures;
};

// Prints one line per event taken from events; adds closed connections' final figures to
// closed when given.
void PrintEvents(kepmsgtool::EventLog& events, ClosedTotals* closed) {
    while (std::optional<KEPMsgConnectionEvent> event = events.Next(Clock::now())) {
        std::printf("%s\n", kepmsgtool::Describe(*event).c_str());
        if (closed != nullptr && event->m_kind == KEPMsgConnectionEvent::kClosed) {
            ++closed->connections;
            closed->figures.m_messagesIn += event->m_statistics.m_messagesIn;
            closed->figures.m_bytesIn += event->m_statistics.m_bytesIn;
            closed->figures.m_messagesOut += event->m_statistics.m_messagesOut;
            closed->figures.m_bytesOut += event->m_statistics.m_bytesOut;
        }
    }
}

// Prints the figures of every open connection, and those of the closed ones added up.
void PrintSummary(const ClosedTotals& closed) {
    KEPBasVector<KEPMsgConnectionStatistics> open;
    Communicator().RetrieveConnectionStatistics(nullptr, open);
    std::printf("connections: %d open, %ld closed\n", open.size(), closed.connections);
    const std::int64_t now = kepmsgtool::WallClockMs();
    for (const KEPMsgConnectionStatistics& figures : open) {
        std::printf("  %s\n", kepmsgtool::DescribeStatistics(figures, now).c_str());
    }
    if (closed.connections > 0) {
        std::printf("  closed ones: %s\n", kepmsgtool::DescribeTraffic(closed.figures).c_str());
    }
}

int Serve(int argc, char** argv) {
    const std::string command = "serve";
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, 2,
                      {"host", "port", "ports", "type", "count", "send-buffer", "allow", "tls-cert",
                       "tls-key", "tls-ca"},
                      {"quiet"}, options, error)) {
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
    std::optional<KEPMsgTlsSettings> tls;
    int status = kExitOk;
    if (!SendBufferOption(command, options, status) ||
        !TlsOptions(command, options, true, tls, status)) {
        return status;
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
    }
    Communicator().RegisterMessagePrototype(kepmsgtool::kPingType, &pingPrototype);

    kepmsgtool::EventLog events;
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
    if (Has(options, "allow") && !server->SetAcceptFilter(Get(options, "allow", "").c_str())) {
        return Fail(command, kExitUsage,
                    "bad --allow '" + Get(options, "allow", "") +
                        "' (expected CIDR blocks such as 10.0.0.0/8,::1/128)");
    }
    KEPString tlsError;
    if (tls && !server->SetTls(*tls, tlsError)) {
        return Fail(command, kExitUsage, std::string("bad TLS settings: ") + tlsError.GetUTF8());
    }
    Communicator().AddConnection(KEPMsgChannel(server, "kepmsg-listener"), true);

    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::printf("listening on %s\n",
                kepmsgtool::FormatEndpoint(host, kepmsgtool::BoundPort(server)).c_str());

    // The passes run on this thread, so each one's messages are printed before its events (a
    // connection's last message before its closed line) and the signal flag is seen between
    // passes.
    std::vector<std::string> types = rawTypes;
    types.push_back(kepmsgtool::kPingType);
    kepmsgtool::Inbox inbox;
    ClosedTotals closed;
    long received = 0;
    const auto counting = [&] { return maxMessages == 0 || received < maxMessages; };
    while (!s_stopRequested && counting()) {
        kepmsgtool::RunPass(kPassWaitMs);
        for (kepmsgtool::Received message; counting() && (message = inbox.TryNextOf(types));) {
            ++received;
            Answer(message, quiet);
        }
        PrintEvents(events, &closed);
    }
    PrintSummary(closed);
    Communicator().RemoveConnection(nullptr, true);
    kepmsgtool::RunPass(0);  // delivers the closed events of that removal
    PrintEvents(events, nullptr);
    std::printf("stopped after %ld message%s\n", received, received == 1 ? "" : "s");
    return kExitOk;
}

int Send(int argc, char** argv) {
    const std::string command = "send";
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, 2,
                      {"host", "port", "type", "text", "file", "timeout", "send-buffer", "tls-cert",
                       "tls-key", "tls-ca", "tls-server-name"},
                      {}, options, error)) {
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
    std::optional<KEPMsgTlsSettings> tls;
    if (!ClientEndpoint(command, options, host, port, timeout, status) ||
        !SendBufferOption(command, options, status) ||
        !TlsOptions(command, options, false, tls, status)) {
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
        kepmsgtool::ConnectWithRetries(host, port, timeout, tls ? &*tls : nullptr);
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
    if (!ParseOptions(argc, argv, 2,
                      {"host", "port", "count", "timeout", "interval", "tls-cert", "tls-key",
                       "tls-ca", "tls-server-name"},
                      {"reconnect"}, options, error)) {
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
    std::optional<KEPMsgTlsSettings> tls;
    if (!ClientEndpoint(command, options, host, port, timeout, status) ||
        !TlsOptions(command, options, false, tls, status)) {
        return status;
    }
    long count = 0;
    if (!ParseInt(Get(options, "count", "10"), 1, 10000000, count)) {
        return Fail(command, kExitUsage,
                    "bad count '" + Get(options, "count", "") + "' (expected 1 or more)");
    }

    long intervalMs = 0;
    if (!ParseInt(Get(options, "interval", "0"), 0, 3600000, intervalMs)) {
        return Fail(command, kExitUsage,
                    "bad interval '" + Get(options, "interval", "") +
                        "' (expected milliseconds, 0-3600000)");
    }
    const bool reconnect = Has(options, "reconnect");

    KEPMsgToolPongMessage pongPrototype;
    Session session;
    Communicator().RegisterMessagePrototype(kepmsgtool::kPongType, &pongPrototype);
    const std::string server = kepmsgtool::FormatEndpoint(host, port);
    const auto patience = std::chrono::seconds(timeout > 0 ? timeout : 5);
    kepmsgtool::ServerLink link(kServerLabel, server, reconnect);
    if (reconnect) {
        const kepmsgtool::ConnectResult started =
            link.StartReconnecting(host, port, tls ? &*tls : nullptr);
        if (started.failure != kepmsgtool::ConnectFailure::kNone) {
            return ConnectFailure(command, host, port, started);
        }
        if (!link.WaitUntilUp(Clock::now() + patience)) {
            return Fail(command, kExitConnect,
                        "cannot connect to " + server + ": " + link.LastDialError());
        }
    } else {
        const kepmsgtool::ConnectResult connection =
            kepmsgtool::ConnectWithRetries(host, port, timeout, tls ? &*tls : nullptr);
        if (connection.socket == nullptr) {
            return ConnectFailure(command, host, port, connection);
        }
        Communicator().AddConnection(KEPMsgChannel(connection.socket, kServerLabel), true);
    }

    // The passes run on this thread: a pong or a loss is seen right after the pass that read it.
    kepmsgtool::Inbox inbox;
    std::vector<double> roundTripsMs;
    for (long i = 0; i < count; ++i) {
        if (i > 0) {
            link.Pump(Clock::now() + std::chrono::milliseconds(intervalMs));
        }
        const auto sequence = static_cast<std::uint32_t>(i);
        // A ping whose connection is lost before its pong comes is sent again on the next one.
        bool answered = false;
        while (!answered) {
            if (!link.WaitUntilUp(Clock::now() + patience)) {
                return Fail(command, kExitDelivery, link.LossText(patience));
            }
            const Clock::time_point sentAt = Clock::now();
            KEPMsgToolPingMessage ping(
                sequence, static_cast<std::uint64_t>(sentAt.time_since_epoch().count()));
            Communicator().SendSocketMessage(kServerLabel, &ping);
            while (!answered && link.IsUp()) {
                if (Clock::now() >= sentAt + patience) {
                    return Fail(command, kExitDelivery,
                                "no answer to ping " + std::to_string(i + 1) + " within " +
                                    std::to_string(patience.count()) + " s");
                }
                link.Step(sentAt + patience);
                // Skip stale pongs: a misbehaving peer may repeat one.
                while (kepmsgtool::Received pong = inbox.TryNextOf({kepmsgtool::kPongType})) {
                    answered = answered || pong.As<KEPMsgToolPongMessage>()->Sequence() == sequence;
                }
            }
            if (answered) {
                roundTripsMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count());
            }
        }
    }
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
