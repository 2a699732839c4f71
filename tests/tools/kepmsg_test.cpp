// The kepmsg tool across processes: serve with send and ping, and the promised error lines and
// exit statuses. Every wait has a deadline; a process still running at the end is killed.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/KEPTestNet.h"

namespace {

using keptest::ChildProcess;

// kepmsg run with args, its stdout and stderr captured.
ChildProcess Tool(std::vector<std::string> args) {
    args.insert(args.begin(), KEPMSG_TOOL_PATH);
    return ChildProcess(std::move(args));
}

int CountLines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A loopback port bound by this process, listening or not, and its number.
struct ReservedPort {
    explicit ReservedPort(bool listening)
        : socket(keptest::BindLoopback(0, listening)), port(keptest::LocalPort(socket.Fd())) {}
    int Port() const { return port; }
    keptest::RawSocket socket;
    int port;
};

// Starts "kepmsg serve" with extra arguments and reads the port from its first line.
int StartServe(ChildProcess& serve) {
    const std::string line = serve.WaitForLine("^listening on ");
    std::smatch match;
    if (!std::regex_search(line, match, std::regex("^listening on 127\\.0\\.0\\.1:([0-9]+)$"))) {
        return 0;
    }
    return std::stoi(match[1]);
}

TEST(KepmsgServeTest, SentTextIsPrintedWithTypeSizeAndSource) {
    ChildProcess serve = Tool({"serve", "--port", "0", "--type", "demo.note"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0) << serve.Out() << serve.Err();

    ChildProcess send = Tool(
        {"send", "--port", std::to_string(port), "--type", "demo.note", "--text", "hello there"});
    EXPECT_EQ(send.Wait(), 0) << send.Err();
    EXPECT_NE(send.Out().find("sent type=demo.note size=11"), std::string::npos) << send.Out();

    const std::string line = serve.WaitForLine("^received ");
    EXPECT_TRUE(
        std::regex_search(line, std::regex("^received type=demo\\.note size=11 from=socket:[0-9]+ "
                                           "text=\"hello there\"$")))
        << line;

    serve.Signal(SIGTERM);
    EXPECT_EQ(serve.Wait(), 0) << serve.Err();
    EXPECT_NE(serve.Out().find("stopped after 1 message"), std::string::npos) << serve.Out();
    EXPECT_EQ(serve.Err(), "");
}

TEST(KepmsgServeTest, FileBytesArriveWholeAndInterruptStopsCleanly) {
    ChildProcess serve = Tool({"serve"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0) << serve.Err();

    // Binary content larger than a socket buffer: arrives in many pieces.
    char path[] = "/tmp/kepmsg_test_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 131 + (i >> 11));
    }
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);

    ChildProcess send = Tool({"send", "--port", std::to_string(port), "--file", path});
    EXPECT_EQ(send.Wait(), 0) << send.Err();
    unlink(path);

    const std::string line = serve.WaitForLine("^received ");
    EXPECT_TRUE(std::regex_search(
        line, std::regex("^received type=kepmsg\\.raw size=3145745 from=socket:[0-9]+$")))
        << line;
    serve.Signal(SIGINT);
    EXPECT_EQ(serve.Wait(), 0);
}

TEST(KepmsgServeTest, CountStopsAfterThatManyMessages) {
    ChildProcess serve = Tool({"serve", "--count", "2"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0);
    for (const char* text : {"one", "two"}) {
        ChildProcess send = Tool({"send", "--port", std::to_string(port), "--text", text});
        EXPECT_EQ(send.Wait(), 0) << send.Err();
    }
    EXPECT_EQ(serve.Wait(), 0);
    EXPECT_NE(serve.Out().find("text=\"one\""), std::string::npos);
    EXPECT_NE(serve.Out().find("text=\"two\""), std::string::npos);
}

TEST(KepmsgServeTest, QuietServePrintsEachConnectionsArrivalAndEndAndItsFiguresAtStop) {
    ChildProcess serve = Tool({"serve", "--quiet"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0) << serve.Err();

    keptest::RawSocket client = keptest::RawConnect(port);
    ASSERT_TRUE(client.IsOpen());
    const std::string clientPort = std::to_string(keptest::LocalPort(client.Fd()));
    // One kepmsg.raw message of body "hi": 14 header bytes and 6 body bytes.
    ASSERT_TRUE(
        client.SendBytes(keptest::HeaderBytes("kepmsg.raw") + keptest::Bytes({2, 0, 0, 0}) + "hi"));
    std::smatch match;
    const std::string connected =
        serve.WaitForLine("^connected socket:[0-9]+ from 127\\.0\\.0\\.1:" + clientPort + "$");
    ASSERT_TRUE(std::regex_search(connected, match, std::regex("socket:([0-9]+)"))) << serve.Out();
    client.Close();
    EXPECT_NE(serve.WaitForLine("^closed socket:" + match[1].str() + ": peer closed$"), "")
        << serve.Out();

    serve.Signal(SIGINT);
    EXPECT_EQ(serve.Wait(), 0) << serve.Err();
    EXPECT_EQ(serve.Out().find("received "), std::string::npos) << serve.Out();
    EXPECT_NE(
        serve.Out().find("connections: 0 open, 1 closed\n"
                         "  closed ones: in 1 message (20 bytes), out 0 messages (0 bytes)\n"),
        std::string::npos)
        << serve.Out();
}

TEST(KepmsgPingTest, ReconnectRidesOutAServerRestartOnTheSamePort) {
    // The first server takes a ping, leaves it unanswered and goes away with a reset; the
    // ping must be sent again to the server started next on the same port.
    auto first = std::make_unique<keptest::RawListener>();
    // Kept from the children, or the port would stay taken by their copy of the listener.
    ASSERT_EQ(fcntl(first->Fd(), F_SETFD, FD_CLOEXEC), 0);
    const std::string port = std::to_string(first->Port());
    ChildProcess ping =
        Tool({"ping", "--port", port, "--count", "2", "--reconnect", "--timeout", "20"});
    keptest::RawSocket peer = first->Accept();
    ASSERT_TRUE(peer.IsOpen()) << ping.Err();
    const std::string header = keptest::HeaderBytes("kepmsg.ping");
    EXPECT_EQ(peer.ReceiveString(header.size()), header);
    first.reset();
    peer.CloseWithReset();
    const std::string server = "127\\.0\\.0\\.1:" + port;
    EXPECT_NE(ping.WaitForLine("^connection to " + server + " lost: reset$"), "") << ping.Out();

    ChildProcess serve = Tool({"serve", "--port", port});
    ASSERT_EQ(StartServe(serve), std::stoi(port)) << serve.Err();
    EXPECT_NE(ping.WaitForLine("^reconnected to " + server +
                               " after [0-9]+ ms \\([0-9]+ failed dials?\\)$"),
              "")
        << ping.Out();
    EXPECT_EQ(ping.Wait(), 0) << ping.Err();
    EXPECT_NE(ping.Out().find("count 2 min "), std::string::npos) << ping.Out();
    EXPECT_NE(serve.WaitForLine("^received type=kepmsg\\.ping size=12 .* seq=1$"), "");
}

TEST(KepmsgPingTest, ReportsOrderedRoundTripStatistics) {
    ChildProcess serve = Tool({"serve"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0);

    ChildProcess ping = Tool({"ping", "--port", std::to_string(port), "--count", "25"});
    ASSERT_EQ(ping.Wait(), 0) << ping.Err();
    std::smatch match;
    const std::string out = ping.Out();
    ASSERT_TRUE(std::regex_search(out, match,
                                  std::regex("^count 25 min ([0-9.]+) ms median ([0-9.]+) ms "
                                             "p99 ([0-9.]+) ms\n$")))
        << out;
    const double min = std::stod(match[1]);
    const double median = std::stod(match[2]);
    const double p99 = std::stod(match[3]);
    EXPECT_LE(min, median);
    EXPECT_LE(median, p99);
    EXPECT_NE(serve.WaitForLine("^received type=kepmsg\\.ping size=12 .* seq=24$"), "");
}

TEST(KepmsgErrorTest, RefusedConnectionGivesOneLineWithTheConnectError) {
    // Bound but not listening: connections to it are refused, and nobody else can take it.
    ReservedPort closedPort(false);
    ASSERT_GT(closedPort.Port(), 0);
    ChildProcess send = Tool(
        {"send", "--port", std::to_string(closedPort.Port()), "--timeout", "0", "--text", "x"});
    EXPECT_EQ(send.Wait(), 2);
    EXPECT_EQ(CountLines(send.Err()), 1) << send.Err();
    EXPECT_EQ(send.Err(),
              "kepmsg send: cannot connect to 127.0.0.1:" + std::to_string(closedPort.Port()) +
                  ": WSAECONNREFUSED (10061) Connection refused.\n");

    ChildProcess ping =
        Tool({"ping", "--port", std::to_string(closedPort.Port()), "--timeout", "1"});
    EXPECT_EQ(ping.Wait(), 2);
    EXPECT_NE(ping.Err().find("WSAECONNREFUSED (10061)"), std::string::npos) << ping.Err();
}

TEST(KepmsgErrorTest, UnresolvableHostGivesTheResolverText) {
    ChildProcess send = Tool({"send", "--host", "nosuch.invalid", "--port", "9", "--text", "x"});
    EXPECT_EQ(send.Wait(), 2);
    EXPECT_EQ(CountLines(send.Err()), 1) << send.Err();
    // Without a network the resolver may say "try again" instead of "not found".
    EXPECT_TRUE(std::regex_search(
        send.Err(), std::regex("^kepmsg send: cannot resolve host 'nosuch\\.invalid': "
                               "WSA[A-Z_]+ \\(110[0-9][0-9]\\) .+\\.\n$")))
        << send.Err();
}

TEST(KepmsgErrorTest, BadArgumentsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"send", "--port", "70000", "--text", "x"},
        {"send", "--port", "1", "--text", "x", "--file", "/dev/null"},
        {"send", "--text", "x"},
        {"serve", "--ports", "5000-4999"},
        {"serve", "--bogus", "1"},
        {"serve", "--quiet=yes"},
        {"ping", "--port", "1", "--interval", "-1"},
        {"frobnicate"},
        {},
    };
    for (const auto& args : cases) {
        ChildProcess tool = Tool(args);
        EXPECT_EQ(tool.Wait(), 1) << args.size();
        EXPECT_EQ(CountLines(tool.Err()), 1) << tool.Err();
        EXPECT_EQ(tool.Err().rfind("kepmsg", 0), 0u) << tool.Err();
    }
}

TEST(KepmsgErrorTest, PortInUseGivesListenFailure) {
    ReservedPort taken(true);
    ASSERT_GT(taken.Port(), 0);
    ChildProcess serve = Tool({"serve", "--port", std::to_string(taken.Port())});
    EXPECT_EQ(serve.Wait(), 3);
    EXPECT_EQ(serve.Err(),
              "kepmsg serve: cannot listen on 127.0.0.1:" + std::to_string(taken.Port()) +
                  ": WSAEADDRINUSE (10048) Address already in use.\n");
}

TEST(KepmsgErrorTest, UnreadableFileGivesInputFailure) {
    ChildProcess send = Tool({"send", "--port", "1", "--file", "/nonexistent/kepmsg/input"});
    EXPECT_EQ(send.Wait(), 5);
    EXPECT_EQ(CountLines(send.Err()), 1) << send.Err();
}

TEST(KepmsgHelpTest, EveryCommandExplainsItself) {
    for (const char* command : {"serve", "send", "ping"}) {
        ChildProcess tool = Tool({command, "--help"});
        EXPECT_EQ(tool.Wait(), 0);
        EXPECT_EQ(tool.Out().rfind(std::string("usage: kepmsg ") + command, 0), 0u) << tool.Out();
    }
    ChildProcess help = Tool({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Out().find("Exit status"), std::string::npos);
}

}  // namespace
