// Connection table, server start, client connection, the message header on the wire, the debug
// log, the keep-alive setting and the send-buffer size.
#include "connection/KEPMsgConnectionServicesUtils.h"

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "base/KEPBasTime.h"
#include "platform/KEPFaultInjection.h"
#include "platform/KEPWinsock.h"
#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {

// A prototype that counts the instances made from it.
struct Message : KEPBasSocketMessage {
    explicit Message(const char* type) : m_type(type) {}
    bool WriteBody(KEPBasOutputStream*) override { return true; }
    bool ReadBody(KEPBasInputStream*) override { return true; }
    KEPBasSocketMessage* CreateInstance() override { return ++m_instances, new Message(m_type); }
    KEPString GetMessageType() override { return KEPString(m_type); }
    const char* m_type;
    int m_instances = 0;
};

// Every send the platform layer makes, and the length of the first.
std::atomic<int> g_sends{0};
std::atomic<int> g_firstSendLength{0};
void CountSends(kepwsa::SOCKET, int length) {
    if (g_sends.fetch_add(1) == 0) {
        g_firstSendLength = length;
    }
}

using HeaderTest = ConnectionFixture;

// Each name goes out as its byte count and bytes (an empty one as a zero count), and the library
// reads the same bytes back as the same name. (A zero count read is the hostile-peer tests'.)
TEST_F(HeaderTest, HeaderWireBytesRoundTripAndOversizedOrCutShortHeadersAreRefused) {
    int id = Connect();
    const std::string utf8 =
        "Gr\xC3\xBC\xC3\x9F"
        "e-\xE6\x97\xA5\xE6\x9C\xAC";  // 14 bytes
    const struct {
        KEPString name;
        std::string wire;
    } cases[] = {
        {KEPString("Ping"), Bytes({4, 0, 0, 0}) + "Ping"},
        {KEPString("Pin"), Bytes({3, 0, 0, 0}) + "Pin"},  // read into the string holding "Ping"
        {KEPString(utf8.c_str()), Bytes({14, 0, 0, 0}) + utf8},
        {KEPString(""), std::string(4, '\0')},
        {KEPString(), std::string(4, '\0')},
    };
    KEPString type("unchanged");  // one string for every row, as a receive pass keeps it
    for (const auto& c : cases) {
        ASSERT_TRUE(Services().SendMessageHeader(id, c.name));
        const std::string wire = m_peer.ReceiveString(c.wire.size());
        EXPECT_EQ(wire, c.wire);
        if (c.wire.size() > 4) {
            ASSERT_TRUE(m_peer.SendBytes(wire));
            ASSERT_TRUE(Services().RetrieveMessageTypeFromSocket(id, type));
            EXPECT_STREQ(type.GetUTF8(), c.name.GetUTF8());
        }
    }
    // A count that cannot be a type name shuts the connection down at once, without waiting for the
    // bytes it announces (the peer sends none and keeps the connection open); it stays in the table
    // for the receive pass to drop. A header cut short is refused too. After the peer's orderly
    // close the socket stays in the table, shut down; a peer that stalls (here past a 100 ms
    // time-out) must not leave the connection usable at a byte position inside the header, so it is
    // shut down (or removed) and the peer sees that. None of them changes the type. (A stall inside
    // the count is the blocked-header robustness test's.)
    const struct {
        const char* name;
        std::string bytes;
        bool peerCloses, stalls;
    } rows[] = {
        {"count 2^31", Bytes({0, 0, 0, 0x80}), false, false},
        {"count 65537", Bytes({1, 0, 1, 0}), false, false},
        {"count cut by close", Bytes({4, 0}), true, false},
        {"name cut by close", Bytes({4, 0, 0, 0}) + "Pi", true, false},
        {"stall inside name", Bytes({4, 0, 0, 0}) + "Pi", false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Services().SetIoTimeout(row.stalls ? 100 : 30000);
        const int id = Connect();
        ASSERT_TRUE(m_peer.SendBytes(row.bytes));
        if (row.peerCloses) {
            m_peer.Close();
        }
        bool result = true;
        KEPString type("unchanged");
        ASSERT_TRUE(FinishesWithinDeadline(
            [&] { result = Services().RetrieveMessageTypeFromSocket(id, type); }));
        EXPECT_FALSE(result);
        EXPECT_EQ(type, KEPString("unchanged"));
        KEPMsgSocket* socket = Services().GetSocket(id);
        if (socket != nullptr || !row.stalls) {
            ASSERT_NE(socket, nullptr);
            EXPECT_TRUE(socket->IsClosed());
            EXPECT_FALSE(Services().RetrieveMessageTypeFromSocket(id, type));
        }
        if (!row.peerCloses) {
            EXPECT_TRUE(m_peer.WaitPeerClosed());
        }
    }
}

// Listening sockets, unknown ids and a connection whose output is shut down take no header;
// unknown ids report no error and keep the caller's name.
TEST_F(HeaderTest, SocketsThatCannotCarryAHeaderAreRefused) {
    const int connected = Connect();
    KEPMsgCommSocket::FromSocket(Services().GetSocket(connected))->ShutDownOutput();
    for (int id : {StartServer(), -7, 123456}) {
        KEPString type("unchanged");
        EXPECT_FALSE(Services().SendMessageHeader(id, KEPString("Ping"))) << id;
        EXPECT_FALSE(Services().RetrieveMessageTypeFromSocket(id, type)) << id;
        EXPECT_EQ(type, KEPString("unchanged")) << id;
        int code = 99;
        Services().GetLastErrorCode(id, code);
        EXPECT_EQ(code, 0) << id;
        EXPECT_FALSE(Services().HasError(id)) << id;
        Services().ClearError(id);
    }
    EXPECT_FALSE(Services().SendMessageHeader(connected, KEPString("Ping")));
    KEPString name("kept");
    Services().GetName(424242, name);
    EXPECT_EQ(name, KEPString("kept"));
}

// A send cut short is continued until the whole header is out; the header leaves as one buffer.
TEST_F(HeaderTest, PartialSendIsContinued) {
    const int id = Connect();
    const std::string name(1000, 'x');
    g_sends = 0;
    kepwsa::SetSendHookForTesting(&CountSends);
    kepwsa::ShortenNthCall(kepwsa::PlatformCall::kSend, 1, 3);
    EXPECT_TRUE(Services().SendMessageHeader(id, KEPString(name.c_str())));
    kepwsa::SetSendHookForTesting(nullptr);
    EXPECT_EQ(g_firstSendLength.load(), static_cast<int>(name.size() + 4));
    EXPECT_EQ(m_peer.ReceiveString(name.size() + 4), Bytes({0xE8, 3, 0, 0}) + name);
}

// The receiver drops a connection whose header announces more than kMaxTypeNameBytes, so the
// sender refuses such a name before anything goes out and the connection stays usable.
TEST_F(HeaderTest, OverlongTypeNameIsRefusedBeforeSendingAndFirstNonNullPrototypeStays) {
    int id = Connect();
    const std::string name(KEPMsgConnectionServicesUtils::kMaxTypeNameBytes + 1, 'x');
    g_sends = 0;
    kepwsa::SetSendHookForTesting(&CountSends);
    EXPECT_FALSE(Services().SendMessageHeader(id, KEPString(name.c_str())));
    kepwsa::SetSendHookForTesting(nullptr);
    EXPECT_EQ(g_sends.load(), 0);
    ASSERT_TRUE(Services().SendMessageHeader(id, KEPString("Ping")));
    EXPECT_EQ(m_peer.ReceiveString(8), Bytes({4, 0, 0, 0}) + "Ping");
    // The first non-null prototype of a type stays; other types give null and call nothing.
    Message first("Ping"), second("Ping");
    Services().RegisterMessagePrototype(KEPString("Ping"), nullptr);
    EXPECT_EQ(Services().GetMsgInstance(KEPString("Ping")), nullptr);
    Services().RegisterMessagePrototype(KEPString("Ping"), &first);
    Services().RegisterMessagePrototype(KEPString("Ping"), &second);
    KEPBasSocketMessage* made = Services().GetMsgInstance(KEPString("Ping"));
    ASSERT_NE(made, nullptr) << "a null registration must not block the real one";
    delete made;
    EXPECT_EQ(Services().GetMsgInstance(KEPString("Pong")), nullptr);
    EXPECT_EQ(Services().GetMsgInstance(KEPString("Pin")), nullptr);
    EXPECT_EQ(first.m_instances, 1);
    EXPECT_EQ(second.m_instances, 0);
}

// ---- Connection table ----

using TableTest = ConnectionFixture;

// Null and duplicate sockets are refused and errors cleared. A socket shut down by its peer's
// close stays in the table, holding its number; removal closes it, and its last name stays
// readable.
TEST_F(TableTest, RefusesNullAndDuplicatesAndKeepsShutDownSocketsNumber) {
    EXPECT_FALSE(Services().AddConnection(nullptr));
    int id = Connect();
    KEPMsgSocket* first = Services().GetSocket(id);
    EXPECT_FALSE(Services().AddConnection(first));
    EXPECT_EQ(Services().GetSocket(id), first);
    first->SetErrorCode(10054);
    EXPECT_TRUE(Services().HasError(id));
    int code = 0;
    Services().GetLastErrorCode(id, code);
    EXPECT_EQ(code, 10054);
    Services().ClearError(id);
    EXPECT_FALSE(Services().HasError(id));
    Services().SetName(id, KEPString("label"));
    Services().SetName(id, KEPString("second"));
    m_peer.Close();
    KEPString type;
    EXPECT_FALSE(Services().RetrieveMessageTypeFromSocket(id, type));
    ASSERT_NE(Services().GetSocket(id), nullptr);
    EXPECT_TRUE(Services().GetSocket(id)->IsClosed());
    // Until the connection is removed its number cannot go to a new descriptor.
    EXPECT_TRUE(IsOpenDescriptor(id));
    Services().ShutDownConnection(id);
    EXPECT_FALSE(IsOpenDescriptor(id));
    EXPECT_EQ(Services().GetSocket(id), nullptr);
    KEPString name("old");
    Services().GetName(id, name);
    EXPECT_EQ(name, KEPString("second"));
}

// A number the table still holds is never handed out again: a number closed behind the table's
// back goes to the next new descriptor, and a connection made on it while the stale entry holds it
// is closed and refused; a redial whose socket call fails stays unconnected, even when another
// descriptor has taken the number of the socket's last connection meanwhile.
TEST_F(TableTest, ANumberTheTableStillHoldsIsNeverHandedOutOrTakenOver) {
    const int id = Connect();
    ::close(id);
    RawListener listener;
    ASSERT_EQ(LowestFreeDescriptor(), id);
    EXPECT_EQ(
        Services().ConnectToServer(LoopbackAddress(0), LoopbackAddress(listener.Port()), 0, 1),
        nullptr);
    EXPECT_TRUE(listener.Accept().WaitPeerClosed());

    LoopbackPair pair = Connected();
    const int old = pair.client->GetId();
    pair.client->Shutdown();
    ASSERT_EQ(LowestFreeDescriptor(), old);
    RawSocket squatter = RawConnect(pair.server->GetAddress().GetPort());
    kepwsa::FailNthCall(kepwsa::PlatformCall::kSocket, 1, kepwsa::WSAEMFILE);
    pair.client->Connect(LoopbackAddress(pair.server->GetAddress().GetPort()));
    kepwsa::DisarmFault();
    EXPECT_FALSE(pair.client->IsConnected());
}

// ---- Server start and client connection ----

using ServerTest = ConnectionFixture;

TEST_F(ServerTest, RangeSkipsAPortInUseAndNobodyListeningGivesNullAfterTheTimeout) {
    const KEPMsgInetAddress host(KEPString("127.0.0.1"));
    RawSocket taken = BindLoopback(0, true);
    const int port = LocalPort(taken.Fd());
    KEPMsgServerSocket* server = Services().StartServer(host, port, port + 20, 4);
    ASSERT_NE(server, nullptr);
    Track(server->GetId());
    EXPECT_GT(server->GetAddress().GetPort(), port);
    EXPECT_LE(server->GetAddress().GetPort(), port + 20);
    EXPECT_EQ(LocalPort(server->GetId()), server->GetAddress().GetPort());
    // Only that port, taken: nothing. Ranges that are empty or negative: nothing.
    for (const auto& range :
         {std::make_pair(port, port), std::make_pair(5000, 4999), std::make_pair(-1, 10),
          std::make_pair(-10, -1), std::make_pair(10, -1)}) {
        EXPECT_EQ(Services().StartServer(host, range.first, range.second, 4), nullptr)
            << range.first << ".." << range.second;
    }
    // A refused connect is retried until the time-out (a zero time-out makes one attempt: a second
    // would first pause for 10 s), then gives null, and every attempt's descriptor is gone again.
    // A bound, non-listening port refuses connections and cannot be taken by anyone else.
    RawSocket closedPort = BindLoopback(0, false);
    ASSERT_GE(closedPort.Fd(), 0);
    const struct {
        int timeoutSeconds, pauseMs;
        double below;
    } rows[] = {{0, 10000, 10.0}, {1, 50, 60.0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.timeoutSeconds);
        const int lowestFree = LowestFreeDescriptor();
        omi_Timer timer;
        timer.Start();
        EXPECT_EQ(Services().ConnectToServer(LoopbackAddress(0),
                                             LoopbackAddress(LocalPort(closedPort.Fd())),
                                             row.timeoutSeconds, row.pauseMs),
                  nullptr);
        EXPECT_GE(timer.GetElapsedTime(), row.timeoutSeconds);
        EXPECT_LT(timer.GetElapsedTime(), row.below);
        EXPECT_EQ(LowestFreeDescriptor(), lowestFree);
    }
}

TEST_F(ServerTest, IoTimeoutReachesNewSockets) {
    Services().SetIoTimeout(1234);
    EXPECT_EQ(Services().GetIoTimeout(), 1234);
    EXPECT_NEAR(IoTimeoutMs(Connect()), 1234, 4);  // the kernel rounds to its clock tick
}

// ---- The debug log: its switch, its file name (prefix, process id, "_dbg.txt"), its entries
// byte for byte, and Finalize() closing it. ----

// The variable is read when the singleton is constructed, so each case re-creates it.
class DebugLogTest : public ConnectionFixture {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_directory.Path().empty());
        m_path = m_directory.File("net-" + std::to_string(ProcessId()) + "_dbg.txt");
        ScopedEnv log("KEP_DEBUG_COONECTIONS", m_directory.File("net-").c_str());
        KEPMsgConnectionServicesUtils::Finalize();
        Services();
    }
    void TearDown() override {
        ConnectionFixture::TearDown();
        std::remove(m_path.c_str());
        EXPECT_TRUE(std::filesystem::is_empty(m_directory.Path()))
            << "a file other than the log was made";
    }
    // Read as text: the log is opened in text mode ("a+"), which ends lines with CR LF on
    // Windows.
    std::string Log() {
        std::ifstream in(m_path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TempDirectory m_directory;
    std::string m_path;
};

TEST_F(DebugLogTest, EntriesAreWrittenVerbatimInOrderAndTheLogIsClosedOnExecAndByFinalize) {
    EXPECT_FALSE(Services().AddConnection(nullptr));

    // A range whose first port is in use: only the success is logged.
    RawSocket taken = BindLoopback(0, true);
    int takenPort = LocalPort(taken.Fd());
    KEPMsgServerSocket* server = Services().StartServer(KEPMsgInetAddress(KEPString("127.0.0.1")),
                                                        takenPort, takenPort + 20, 4);
    ASSERT_NE(server, nullptr);
    const int serverId = server->GetId();
    Track(serverId);

    RawSocket client = RawConnect(server->GetAddress().GetPort());
    KEPMsgCommSocket* accepted = server->Accept();
    ASSERT_NE(accepted, nullptr);
    const int acceptedId = accepted->GetId();
    EXPECT_TRUE(Services().AddConnection(accepted));
    EXPECT_FALSE(Services().AddConnection(accepted));  // logged before the duplicate test
    Services().ShutDownConnection(acceptedId);
    Services().ShutDownConnection(acceptedId);  // not in the table: nothing

    KEPMsgCommSocket* connected = Services().ConnectToServer(
        LoopbackAddress(0), LoopbackAddress(server->GetAddress().GetPort()), 5, 10);
    ASSERT_NE(connected, nullptr);
    const int connectedId = connected->GetId();
    Services().ShutDownConnection(connectedId);
    Services().ShutDownConnection(serverId);

    std::ostringstream expected;
    expected << "Starting server " << serverId << "\n"
             << "Adding socket " << acceptedId << "Adding socket " << acceptedId
             << "removing socket " << acceptedId << "\n"
             << "comm socket " << connectedId << "\n"
             << "removing socket " << connectedId << "\n"
             << "removing socket " << serverId << "\n";
    EXPECT_EQ(Log(), expected.str());

    // The log's descriptor, like every other the library opens, is not inherited by programs the
    // host starts. Finalize closes the log then, not when the next instance happens to be made;
    // that instance (the variable still set) appends to the same file, and without the variable
    // there is none.
    ASSERT_EQ(FileHandleOf(m_path), FileHandle::kKeptFromChildren);
    KEPMsgConnectionServicesUtils::Finalize();
    EXPECT_EQ(FileHandleOf(m_path), FileHandle::kNone) << "the log stayed open";

    {
        ScopedEnv log("KEP_DEBUG_COONECTIONS", m_directory.File("net-").c_str());
        Services();
    }
    const int secondId = StartServer();
    Services().ShutDownConnection(secondId);
    expected << "Starting server " << secondId << "\nremoving socket " << secondId << "\n";
    EXPECT_EQ(Log(), expected.str());

    KEPMsgConnectionServicesUtils::Finalize();
    std::remove(m_path.c_str());
    Services().ShutDownConnection(StartServer());
    EXPECT_FALSE(std::filesystem::exists(m_path));
}

// ---- Keep-alive: the setting reaches dialed and accepted sockets, and nonsense is refused. ----

// Sets 7 s idle, 3 s interval and 4 probes, then offers settings that must be refused.
void SetKeepAliveThenOfferNonsense(KEPMsgConnectionServicesUtils& services) {
    ASSERT_TRUE(services.SetKeepAlive(7, 3, 4));
    const struct {
        const char* name;
        int idle, interval, count;
    } refused[] = {
        {"zero idle", 0, 3, 4},      {"zero interval", 7, 0, 4},     {"zero count", 7, 3, 0},
        {"negative idle", -7, 3, 4}, {"idle too long", 32768, 3, 4}, {"count too large", 7, 3, 128},
    };
    for (const auto& row : refused) {
        EXPECT_FALSE(services.SetKeepAlive(row.idle, row.interval, row.count)) << row.name;
    }
}

TEST(KEPMsgKeepAliveTest,
     SettingReachesDialedAndAcceptedSocketsNonsenseIsRefusedAndEmptyHostResolves) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    SetKeepAliveThenOfferNonsense(services);
    // An empty host is the loopback and resolves, leaving the text alone. (An unresolvable one is
    // the command-line tool's test.)
    KEPString text("untouched");
    EXPECT_TRUE(services.CheckHost(Address("", 0), text));
    EXPECT_EQ(text, KEPString("untouched"));
    LoopbackPair pair = Connected();
    services.ClearKeepAlive();
    for (KEPMsgCommSocket* socket : {pair.client.get(), pair.accepted.get()}) {
        EXPECT_EQ(KeepAliveOf(socket->GetId()).on, 1);
    }
    // Cleared: accepted connections are left as the system makes them again.
    RawSocket client = RawConnect(pair.server->GetAddress().GetPort());
    CommSocketPtr plain(pair.server->Accept());
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(KeepAliveOf(plain->GetId()).on, 0);
}

TEST(KEPMsgKeepAliveTest, TimesReachDialedAndAcceptedSocketsUnchangedByRefusedSettings) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    SetKeepAliveThenOfferNonsense(services);
    LoopbackPair pair = Connected();
    services.ClearKeepAlive();
    for (KEPMsgCommSocket* socket : {pair.client.get(), pair.accepted.get()}) {
        const KeepAliveOptions options = KeepAliveOf(socket->GetId());
        EXPECT_EQ(options.idleSeconds, 7) << "refused settings changed it";
        EXPECT_EQ(options.intervalSeconds, 3);
        EXPECT_EQ(options.count, 4);
        EXPECT_EQ(options.unacknowledgedMs, (7 + 3 * 4) * 1000);
    }
}

// ---- Send buffer: a size reaches dialed and accepted sockets as the system reports it for that
// size, 0 leaves them as the system makes them, and refused values change nothing. ----

TEST(KEPMsgSendBufferTest, SettingReachesDialedAndAcceptedSocketsAndRefusedValuesChangeNothing) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    EXPECT_EQ(services.GetSendBufferSize(), 65536);
    // What the system reports for a connection left alone, and for one given 131072 bytes.
    RawListener listener;
    RawSocket plainClient = RawConnect(listener.Port());
    RawSocket plainAccepted = listener.Accept();
    const int systemSize = IntOption(plainAccepted.Fd(), SOL_SOCKET, SO_SNDBUF);
    const int sized = 131072;
    ASSERT_EQ(kepwsa::SetSendBufferBytes(plainClient.Fd(), sized), 0);
    const int reportedForSized = IntOption(plainClient.Fd(), SOL_SOCKET, SO_SNDBUF);
    ASSERT_NE(systemSize, reportedForSized);
    for (const auto& row :
         {std::make_pair(sized, reportedForSized), std::make_pair(0, systemSize)}) {
        ASSERT_TRUE(services.SetSendBufferSize(row.first));
        for (int refused : {-1, 1, 4095, 64 * 1024 * 1024 + 1, INT_MAX}) {
            EXPECT_FALSE(services.SetSendBufferSize(refused)) << refused;
        }
        EXPECT_EQ(services.GetSendBufferSize(), row.first);
        LoopbackPair pair = Connected();
        for (KEPMsgCommSocket* socket : {pair.client.get(), pair.accepted.get()}) {
            EXPECT_EQ(IntOption(socket->GetId(), SOL_SOCKET, SO_SNDBUF), row.second) << row.first;
        }
    }
    EXPECT_TRUE(services.SetSendBufferSize(65536));
}

}  // namespace
