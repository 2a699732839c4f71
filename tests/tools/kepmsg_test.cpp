// The kepmsg tool across processes: serve with send and ping, and the promised error lines and
// exit statuses. Every wait has a deadline; a process still running at the end is killed.
#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>

#include "gtest/gtest.h"
#include "tests/support/KEPTestNet.h"

namespace {

using namespace keptest;

// kepmsg run with args, its stdout and stderr captured.
ChildProcess Tool(std::vector<std::string> args) {
    args.insert(args.begin(), KEPMSG_TOOL_PATH);
    return ChildProcess(std::move(args));
}

// The port a started "kepmsg serve" prints on its first line, or "".
std::string ServePort(ChildProcess& serve) {
    const std::string line = serve.WaitForLine("^listening on 127\\.0\\.0\\.1:[0-9]+$");
    return line.empty() ? "" : line.substr(line.find(':') + 1);
}

// Waits for a line of process matching pattern; a test without one fails, showing the output.
void ExpectLine(ChildProcess& process, const std::string& pattern) {
    EXPECT_NE(process.WaitForLine(pattern), "") << pattern << "\n" << process.Out();
}

// A binary file larger than a socket buffer (it arrives in many pieces) and a text of an extra
// type are printed with type, size and source; after its count of messages serve stops cleanly.
TEST(KepmsgServeTest, ReceivedMessagesArePrintedAndTheCountStopsCleanly) {
    ChildProcess serve = Tool(
        {"serve", "--port", "0", "--type", "demo.note", "--send-buffer", "system", "--count", "2"});
    const std::string port = ServePort(serve);
    ASSERT_NE(port, "") << serve.Out() << serve.Err();

    TempDirectory directory;
    const std::string path = directory.File("body");
    // Whitespace, then NULs: neither may end or shorten the body.
    std::ofstream(path, std::ios::binary)
        << std::string(3 * 1024 * 1024, '\n') + std::string(17, '\0');
    ChildProcess sendFile = Tool({"send", "--port", port, "--file", path, "--send-buffer", "8192"});
    EXPECT_EQ(sendFile.Wait(), 0) << sendFile.Err();
    ExpectLine(serve, "^received type=kepmsg\\.raw size=3145745 from=socket:[0-9]+$");

    ChildProcess send =
        Tool({"send", "--port", port, "--type", "demo.note", "--text", "hello there"});
    EXPECT_EQ(send.Wait(), 0) << send.Err();
    ExpectLine(send, "^sent type=demo\\.note size=11");
    ExpectLine(serve,
               "^received type=demo\\.note size=11 from=socket:[0-9]+ text=\"hello there\"$");
    EXPECT_EQ(serve.Wait(), 0) << serve.Err();
    ExpectLine(serve, "^stopped after 2 messages$");
    EXPECT_EQ(serve.Err(), "");
}

// Quiet: each connection's arrival and end, no message lines, the figures at the stop, which
// either signal asks for.
TEST(KepmsgServeTest, QuietServePrintsConnectionsAndFiguresAndStopsOnEitherSignal) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        ChildProcess serve = Tool({"serve", "--quiet"});
        const std::string port = ServePort(serve);
        ASSERT_NE(port, "") << serve.Err();

        RawSocket client = RawConnect(std::stoi(port));
        const std::string clientPort = std::to_string(LocalPort(client.Fd()));
        // One kepmsg.raw message of body "hi": 14 header bytes and 6 body bytes.
        ASSERT_TRUE(client.SendBytes(HeaderBytes("kepmsg.raw") + Bytes({2, 0, 0, 0}) + "hi"));
        std::smatch match;
        const std::string connected =
            serve.WaitForLine("^connected socket:[0-9]+ from 127\\.0\\.0\\.1:" + clientPort + "$");
        ASSERT_TRUE(std::regex_search(connected, match, std::regex("socket:([0-9]+)")))
            << serve.Out();
        client.Close();
        ExpectLine(serve, "^closed socket:" + match[1].str() + ": peer closed$");

        serve.Signal(signal);
        EXPECT_EQ(serve.Wait(), 0) << serve.Err();
        EXPECT_EQ(serve.Out().find("received "), std::string::npos) << serve.Out();
        ExpectLine(serve, "^connections: 0 open, 1 closed$");
        ExpectLine(serve,
                   "^  closed ones: in 1 message \\(20 bytes\\), out 0 messages \\(0 bytes\\)$");
        EXPECT_EQ(serve.Err(), "");
    }
}

// The first server takes a ping, leaves it unanswered and goes away with a reset; the ping
// must be sent again to the server started next on the same port, and the round trips summed
// up in order. That server stops by itself after its two messages.
TEST(KepmsgPingTest, ReconnectRidesOutAServerRestartOnTheSamePort) {
    // Raw sockets are kept from children, so the port is free once this listener goes.
    auto first = std::make_unique<RawListener>();
    const std::string port = std::to_string(first->Port());
    ChildProcess ping =
        Tool({"ping", "--port", port, "--count", "2", "--reconnect", "--timeout", "20"});
    RawSocket peer = first->Accept();
    ASSERT_TRUE(peer.IsOpen()) << ping.Err();
    const std::string header = HeaderBytes("kepmsg.ping");
    EXPECT_EQ(peer.ReceiveString(header.size()), header);
    first.reset();
    peer.CloseWithReset();
    const std::string server = "127\\.0\\.0\\.1:" + port;
    ExpectLine(ping, "^connection to " + server + " lost: .+$");

    ChildProcess serve = Tool({"serve", "--port", port, "--count", "2"});
    ASSERT_EQ(ServePort(serve), port) << serve.Err();
    ExpectLine(ping, "^reconnected to " + server + " after [0-9]+ ms \\([0-9]+ failed dials?\\)$");
    EXPECT_EQ(ping.Wait(), 0) << ping.Err();
    EXPECT_EQ(serve.Wait(), 0) << serve.Err();
    ExpectLine(serve, "^received type=kepmsg\\.ping size=12 from=socket:[0-9]+ seq=1$");
    std::smatch match;
    const std::string out = ping.Out();
    ASSERT_TRUE(std::regex_search(
        out, match,
        std::regex("\ncount 2 min ([0-9.]+) ms median ([0-9.]+) ms p99 ([0-9.]+) ms\n$")))
        << out;
    EXPECT_LE(std::stod(match[1]), std::stod(match[2]));
    EXPECT_LE(std::stod(match[2]), std::stod(match[3]));
}

// A server that resets the connection is reported as a reset, not as an orderly end.
TEST(KepmsgPingTest, ServerResetIsReportedAsReset) {
    RawListener listener;
    ChildProcess ping = Tool({"ping", "--port", std::to_string(listener.Port())});
    RawSocket peer = listener.Accept();
    ASSERT_TRUE(peer.IsOpen()) << ping.Err();
    const std::string header = HeaderBytes("kepmsg.ping");
    EXPECT_EQ(peer.ReceiveString(header.size()), header);
    peer.CloseWithReset();
    EXPECT_EQ(ping.Wait(), 4);
    EXPECT_TRUE(std::regex_search(ping.Err(), std::regex(" lost: reset\n$"))) << ping.Err();
}

// Each failure gives its exit status and exactly one line on stderr, matching the row's pattern;
// help goes to stdout, with status 0.
TEST(KepmsgErrorTest, EachFailureGivesItsStatusAndOneLineAndHelpExplains) {
    // Bound but not listening: connections to it are refused, and nobody else can take it.
    RawSocket refusing = BindLoopback(0, false);
    RawSocket taken = BindLoopback(0, true);
    const std::string closed = std::to_string(LocalPort(refusing.Fd()));
    const std::string busy = std::to_string(LocalPort(taken.Fd()));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string pattern;
    } rows[] = {
        {{"send", "--port", closed, "--timeout", "0", "--text", "x"},
         2,
         "^kepmsg send: cannot connect to 127\\.0\\.0\\.1:" + closed +
             ": WSAECONNREFUSED \\(10061\\) Connection refused\\.\n$"},
        {{"ping", "--port", closed, "--timeout", "1"}, 2, "WSAECONNREFUSED \\(10061\\)"},
        // Without a network the resolver may say "try again" instead of "not found".
        {{"send", "--host", "nosuch.invalid", "--port", "9", "--text", "x"},
         2,
         "^kepmsg send: cannot resolve host 'nosuch\\.invalid': WSA[A-Z_]+ \\(110[0-9][0-9]\\) "
         ".+\\.\n$"},
        {{"serve", "--port", busy},
         3,
         "^kepmsg serve: cannot listen on 127\\.0\\.0\\.1:" + busy +
             ": WSAEADDRINUSE \\(10048\\) Address already in use\\.\n$"},
        {{"send", "--port", "1", "--file", "/nonexistent/kepmsg/input"}, 5, "^kepmsg send: "},
        {{"send", "--port", "70000", "--text", "x"}, 1, "^kepmsg"},
        {{"send", "--port", "1", "--text", "x", "--file", "/dev/null"}, 1, "^kepmsg"},
        {{"send", "--text", "x"}, 1, "^kepmsg"},
        {{"serve", "--ports", "5000-4999"}, 1, "^kepmsg"},
        {{"serve", "--bogus", "1"}, 1, "^kepmsg"},
        {{"serve", "--quiet=yes"}, 1, "^kepmsg"},
        {{"serve", "--send-buffer", "4095"}, 1, "^kepmsg serve: bad send buffer '4095'"},
        {{"send", "--port", "1", "--text", "x", "--send-buffer", "lots"}, 1, "^kepmsg"},
        {{"ping", "--port", "1", "--interval", "-1"}, 1, "^kepmsg"},
        {{"frobnicate"}, 1, "^kepmsg"},
        {{}, 1, "^kepmsg"},
        {{"serve", "--help"}, 0, "^usage: kepmsg serve"},
        {{"send", "--help"}, 0, "^usage: kepmsg send"},
        {{"ping", "--help"}, 0, "^usage: kepmsg ping"},
        {{"--help"}, 0, "Exit status"},
    };
    for (const auto& row : rows) {
        const std::string name = ::testing::PrintToString(row.args);
        ChildProcess tool = Tool(row.args);
        EXPECT_EQ(tool.Wait(), row.status) << name;
        const std::string& err = tool.Err();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), row.status == 0 ? 0 : 1) << name << err;
        const std::string& shown = row.status == 0 ? tool.Out() : err;
        EXPECT_TRUE(std::regex_search(shown, std::regex(row.pattern))) << name << ": " << shown;
    }
}

// A CA, a server and a client certificate made with the openssl command, as the README shows.
class KepmsgTlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(File("san.ext")) << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
             "-days", "2", "-subj", "/CN=test CA", "-keyout", File("ca.key"), "-out",
             File("ca.pem")});
        for (const std::string name : {"server", "client"}) {
            Run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                 "/CN=" + name, "-keyout", File(name + ".key"), "-out", File(name + ".csr")});
            Run({"x509", "-req", "-in", File(name + ".csr"), "-CA", File("ca.pem"), "-CAkey",
                 File("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", File("san.ext"),
                 "-out", File(name + ".pem")});
        }
    }
    std::string File(const std::string& name) const { return m_dir.File(name); }
    void Run(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/openssl");
        ChildProcess openssl(args);
        ASSERT_EQ(openssl.Wait(), 0) << openssl.Err();
    }
    TempDirectory m_dir;
};

TEST_F(KepmsgTlsTest, MutualTlsServesTrustedClientsAndRefusalsGiveTheirStatus) {
    ChildProcess serve =
        Tool({"serve", "--port", "0", "--tls-cert", File("server.pem"), "--tls-key",
              File("server.key"), "--tls-ca", File("ca.pem"), "--allow", "127.0.0.1/32,::1/128"});
    const std::string port = ServePort(serve);
    ASSERT_NE(port, "") << serve.Err();
    const std::vector<std::string> client = {
        "--port",           port,        "--tls-ca",        File("ca.pem"), "--tls-cert",
        File("client.pem"), "--tls-key", File("client.key")};
    std::vector<std::string> args = {"send", "--text", "secret"};
    args.insert(args.end(), client.begin(), client.end());
    ChildProcess send = Tool(args);
    EXPECT_EQ(send.Wait(), 0) << send.Err();
    ExpectLine(serve, "^received type=kepmsg\\.raw size=6 from=socket:[0-9]+ text=\"secret\"$");

    args.insert(args.end(), {"--tls-server-name", "elsewhere.example"});
    ChildProcess wrongName = Tool(args);
    EXPECT_EQ(wrongName.Wait(), 2);
    EXPECT_NE(wrongName.Err().find("TLS handshake failed: certificate verify failed"),
              std::string::npos)
        << wrongName.Err();
    EXPECT_EQ(std::count(wrongName.Err().begin(), wrongName.Err().end(), '\n'), 1);
    ExpectLine(serve, "^closed socket:[0-9]+: TLS handshake failed: .+$");

    ChildProcess badAllow = Tool({"serve", "--port", "0", "--allow", "10.0.0.0/33"});
    EXPECT_EQ(badAllow.Wait(), 1);
    ChildProcess badCa = Tool({"send", "--port", port, "--text", "x", "--tls-ca", File("none")});
    EXPECT_EQ(badCa.Wait(), 1);
    EXPECT_NE(badCa.Err().find("cannot load CA file"), std::string::npos) << badCa.Err();
    serve.Signal(SIGTERM);
    EXPECT_EQ(serve.Wait(), 0);
}

}  // namespace
