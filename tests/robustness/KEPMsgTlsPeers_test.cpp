// TLS connections and the accept filter against the whole messaging stack: which handshakes are
// served and which refused, peers that speak the wrong protocol, stay silent, stop halfway,
// break records or trickle, sends and receives that find the socket not ready, a server restart
// under a reconnecting client, and peers outside the filter. Certificates are made at test time.
// Every refused peer ends only its own connection, with a reason, and stores nothing.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <thread>

#include "sockets/KEPMsgSocketErrorInfo.h"
#include "sockets/KEPMsgTlsSession.h"
#include "tests/robustness/RobustnessSupport.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/KEPTestEvents.h"
#include "tests/support/KEPTestFaults.h"
#include "tests/support/KEPTestTls.h"

namespace keptest {
namespace {

#if KEP_WITH_TLS

// The first bytes a TLS client sends (a ClientHello), as an OpenSSL client makes them.
std::string ClientHello() {
    std::string error;
    auto context =
        KEPMsgTlsContext::Make(KEPMsgTlsSettings(), KEPMsgTlsContext::Role::kClient, error);
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    RawSocket ours(pair[0]), theirs(pair[1]);
    auto session = KEPMsgTlsSession::Make(context, ours.Fd(), "localhost", error);
    session->Handshake();
    return theirs.ReceiveString(static_cast<std::size_t>(BytesWaiting(theirs.Fd())), 1.0);
}

// A host input stream, which reads the descriptor itself.
struct HostStream : KEPBasInputStream {
    bool read(void*, int, int&) override { return false; }
};

class TlsTest : public RobustnessTest {
  protected:
    TlsTest() : RobustnessTest(2000) {}
    void SetUp() override {
        RobustnessTest::SetUp();
        m_pki.MakeCa("ca");
        m_pki.MakeCa("other");
        m_pki.MakeLeaf("server", "ca");
        m_pki.MakeLeaf("client", "ca");
        m_server = StartRegisteredServer(m_port);
        ASSERT_NE(m_server, nullptr);
        ServeWith(m_pki.Settings("server", "ca"));
    }
    void ServeWith(const KEPMsgTlsSettings& settings) {
        KEPString error;
        ASSERT_TRUE(m_server->SetTls(settings, error)) << error.GetUTF8();
    }
    // A registered TLS connection labelled "client", or null (error set).
    KEPMsgCommSocket* Dial(const KEPMsgTlsSettings& settings, std::string& error) {
        KEPMsgCommSocket* socket = ConnectTlsWhilePumping(m_port, settings, error);
        if (socket != nullptr) {
            Communicator().AddConnection(KEPMsgChannel(socket, KEPString("client")), true);
        }
        return socket;
    }
    // Sends a Text from the "client" connection; true once the server's end stored it.
    bool Served(std::uint32_t sequence) {
        TextMessage message(sequence, "over TLS");
        Communicator().SendSocketMessage("client", &message);
        std::vector<ReceivedMessage> got = ReceiveAtLeast(1);
        return got.size() == 1 && got[0].message->IsIntact() &&
               got[0].message->Sequence() == sequence;
    }
    // How many connections closed with reason so far (text: the last one's reason text).
    std::size_t Closed(KEPMsgCloseReason reason, std::string* text = nullptr) const {
        std::size_t found = 0;
        for (const KEPMsgConnectionEvent& event : m_events.Events()) {
            if (event.m_kind == KEPMsgConnectionEvent::kClosed && event.m_reason == reason) {
                ++found;
                if (text != nullptr) {
                    *text = event.m_errorText.GetUTF8();
                }
            }
        }
        return found;
    }
    // Runs passes until count connections closed with reason; returns the last one's text.
    std::string AwaitClosed(KEPMsgCloseReason reason, std::size_t count = 1) {
        std::string text;
        EXPECT_TRUE(PumpUntil([&] { return Closed(reason, &text) >= count; }))
            << KEPMsgCloseReasonText(reason);
        return text;
    }
    // A raw connection that has finished a TLS handshake with the server (records written by
    // hand follow).
    std::unique_ptr<KEPMsgTlsSession> RawTls(RawSocket& raw) {
        raw = RawConnect(m_port);
        std::string error;
        auto context = KEPMsgTlsContext::Make(m_pki.Settings("client", "ca"),
                                              KEPMsgTlsContext::Role::kClient, error);
        auto session = KEPMsgTlsSession::Make(context, raw.Fd(), "127.0.0.1", error);
        std::atomic<bool> done{false};
        std::thread shake([&] {
            session->HandshakeWithin(5000);
            done.store(true);
        });
        PumpUntil([&] { return done.load(); });
        shake.join();
        EXPECT_TRUE(session->IsEstablished()) << session->FailureText();
        return session;
    }

    TestPki m_pki;
    EventRecorder m_events;
    KEPMsgServerSocket* m_server = nullptr;
    int m_port = 0;
};

TEST_F(TlsTest, OnlyHandshakesWithTrustedCertificatesAndTheRightNameAreServed) {
    m_pki.MakeLeaf("stranger", "other");
    m_pki.MakeLeaf("expired", "ca", true);
    KEPMsgTlsSettings wrongName = m_pki.Settings("client", "ca");
    wrongName.m_serverName = KEPString("wrong.example");
    const struct {
        const char* name;
        KEPMsgTlsSettings server;
        KEPMsgTlsSettings client;
        bool served;
    } rows[] = {
        {"mutual TLS", m_pki.Settings("server", "ca"), m_pki.Settings("client", "ca"), true},
        {"client certificate from another CA", m_pki.Settings("server", "ca"),
         m_pki.Settings("stranger", "ca"), false},
        {"no client certificate", m_pki.Settings("server", "ca"), m_pki.Settings("", "ca"), false},
        {"server certificate the client's CA did not sign", m_pki.Settings("server", "ca"),
         m_pki.Settings("client", "other"), false},
        {"expired server certificate", m_pki.Settings("expired", "ca"),
         m_pki.Settings("client", "ca"), false},
        {"name that does not match", m_pki.Settings("server", "ca"), wrongName, false},
    };
    std::uint32_t sequence = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ServeWith(row.server);
        const std::size_t failedBefore = Closed(kCloseReasonTlsHandshakeFailed);
        std::string error;
        KEPMsgCommSocket* client = Dial(row.client, error);
        if (row.served) {
            EXPECT_TRUE(client != nullptr && Served(++sequence)) << error;
        } else {
            // A refused client certificate is seen by the server only (TLS 1.3 finishes the
            // client's side first), so the client's message is refused with it; a refused
            // server is seen by both.
            TextMessage message(++sequence, "refused");
            Communicator().SendSocketMessage("client", &message);
            EXPECT_NE(AwaitClosed(kCloseReasonTlsHandshakeFailed, failedBefore + 1), "");
            EXPECT_TRUE(client != nullptr || error.find("TLS handshake failed: ") == 0) << error;
        }
        RemoveLabelled("client");
        EXPECT_TRUE(TakeReceived().empty());
    }
}

// Settings that cannot load fail at the call and leave the listener as it was; a host input
// stream is refused beside TLS; two records that one receive brings in are both read (the second
// waits inside the TLS library, where the readiness wait cannot see it, and counts as buffered).
TEST_F(TlsTest, BadSettingsAndHostStreamsAreRefusedAndBufferedRecordsRead) {
    m_pki.MakeLeaf("other-server", "ca");
    KEPMsgTlsSettings mismatched = m_pki.Settings("server", "ca");
    mismatched.m_privateKeyFile = KEPString(m_pki.Path("other-server.key").c_str());
    KEPMsgTlsSettings noCa = m_pki.Settings("server", "ca");
    noCa.m_caFile = KEPString(m_pki.Path("missing.pem").c_str());
    const struct {
        const char* name;
        KEPMsgTlsSettings settings;
        const char* text;
    } rows[] = {
        {"missing chain", m_pki.Settings("missing", ""), "cannot load certificate chain file"},
        {"key of another certificate", mismatched, "does not match"},
        {"missing CA", noCa, "cannot load CA file"},
        {"no certificate for a server", m_pki.Settings("", "ca"), "needs a certificate"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KEPString error;
        EXPECT_FALSE(m_server->SetTls(row.settings, error));
        EXPECT_NE(std::string(error.GetUTF8()).find(row.text), std::string::npos)
            << error.GetUTF8();
    }
    std::string error;
    EXPECT_EQ(Dial(noCa, error), nullptr);
    EXPECT_NE(error.find("cannot load CA file"), std::string::npos) << error;
    KEPString refused, expected;  // a dial that nobody answers says why
    KEPMsgSocketErrorInfo(kepwsa::WSAECONNREFUSED, expected);
    EXPECT_EQ(Services().ConnectToServer(LoopbackAddress(0),
                                         LoopbackAddress(LocalPort(BindLoopback(0, false).Fd())), 0,
                                         1, m_pki.Settings("client", "ca"), refused),
              nullptr);
    EXPECT_STREQ(refused.GetUTF8(), expected.GetUTF8());
    HostStream host;
    EXPECT_FALSE(Communicator().RegisterMessageInputStream("Text", &host));
    EXPECT_FALSE(Communicator().SetDefaultInputStream(&host));
    ASSERT_NE(Dial(m_pki.Settings("client", "ca"), error), nullptr) << error;
    TextMessage first(1, "first record");
    TextMessage second(2, "second record");
    Communicator().SendSocketMessage("client", &first);
    Communicator().SendSocketMessage("client", &second);
    std::vector<ReceivedMessage> got = ReceiveAtLeast(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].message->Sequence(), 2u);
    EXPECT_TRUE(got[0].message->IsIntact() && got[1].message->IsIntact()) << "own streams read";
}

// A plaintext client of the TLS server is closed with a reason; a TLS client of a plaintext
// server fails at the connect. Neither stores anything.
TEST_F(TlsTest, PlaintextOnEitherSideIsRefused) {
    RawSocket plain = RawConnect(m_port);
    ASSERT_TRUE(plain.SendBytes(TextWire(1, "in clear")));
    EXPECT_NE(AwaitClosed(kCloseReasonTlsHandshakeFailed), "");
    EXPECT_TRUE(plain.WaitPeerClosed());
    ASSERT_NE(StartRegisteredServer(m_port), nullptr);  // no TLS on this one
    std::string error;
    EXPECT_EQ(Dial(m_pki.Settings("client", "ca"), error), nullptr);
    EXPECT_EQ(error.find("TLS handshake failed: "), 0u) << error;
    EXPECT_TRUE(AwaitClosed(kCloseReasonProtocolViolation).empty());
    EXPECT_TRUE(TakeReceived().empty());
}

// Silent peers, a handshake cut off or timed out, random bytes, broken records: each closes
// its own connection with a reason, and a good client is served meanwhile.
TEST_F(TlsTest, BadPeersCloseOnlyTheirConnection) {
    const std::string hello = ClientHello();
    ASSERT_GT(hello.size(), 40u);
    // A peer that says nothing and one that stops halfway, with a time-out far beyond the
    // deadline of the good client's message: a wait that blocked on them would miss it.
    const int registered = RegisteredChannelCount();
    Services().SetIoTimeout(60000);
    RawSocket silent = RawConnect(m_port);
    RawSocket stalled = RawConnect(m_port);
    ASSERT_TRUE(stalled.SendBytes(hello.substr(0, hello.size() / 2)));
    ASSERT_TRUE(PumpUntil([&] { return RegisteredChannelCount() == registered + 2; }));
    Services().SetIoTimeout(2000);
    std::string error;
    ASSERT_NE(Dial(m_pki.Settings("client", "ca"), error), nullptr) << error;
    EXPECT_TRUE(Served(1));

    RawSocket halfway = RawConnect(m_port);
    ASSERT_TRUE(halfway.SendBytes(hello.substr(0, hello.size() / 2)));

    RawSocket random = RawConnect(m_port);
    ASSERT_TRUE(random.SendBytes(std::string("\x9c\x01\xffrandom bytes, no TLS at all")));
    RawSocket truncated = RawConnect(m_port);
    ASSERT_TRUE(truncated.SendBytes(hello.substr(0, 20)));
    truncated.Close();
    RawSocket oversized;
    auto big = RawTls(oversized);
    ASSERT_TRUE(oversized.SendBytes(std::string("\x17\x03\x03\xff\xff", 5) + std::string(64, 'x')));
    RawSocket cut;
    auto cutSession = RawTls(cut);
    ASSERT_TRUE(cut.SendBytes(std::string("\x17\x03\x03\x00\x40", 5) + std::string(9, 'y')));
    cut.CloseWithReset();
    // random, truncated, then halfway once the 2 s handshake time-out passes
    EXPECT_NE(AwaitClosed(kCloseReasonTlsHandshakeFailed, 3), "");
    EXPECT_NE(AwaitClosed(kCloseReasonReset, 2), "") << "the broken records, with a reason";
    EXPECT_TRUE(halfway.WaitPeerClosed() && random.WaitPeerClosed() && oversized.WaitPeerClosed());
    EXPECT_TRUE(TakeReceived().empty());
    EXPECT_TRUE(Served(2));
}

TEST_F(TlsTest, FourMiBArriveWhileAnotherConnectionTricklesByteByByte) {
    std::string error;
    ASSERT_NE(Dial(m_pki.Settings("client", "ca"), error), nullptr) << error;
    RawSocket raw;
    auto trickler = RawTls(raw);
    const std::string wire = TextWire(9, "one byte per record");
    BlobMessage blob(8, 4u << 20, 77);
    std::thread trickle([&] {
        int code = 0;
        for (char byte : wire) {
            trickler->Write(&byte, 1, 5000, code);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // pacing, not waiting
        }
    });
    std::thread send([&] { Communicator().SendSocketMessage("client", &blob); });
    std::vector<ReceivedMessage> got = ReceiveAtLeast(2, 60.0);
    trickle.join();
    send.join();
    ASSERT_EQ(got.size(), 2u);
    for (const ReceivedMessage& received : got) {
        EXPECT_TRUE(received.message->IsIntact());
        EXPECT_TRUE(received.message->Sequence() == 8 || received.message->Sequence() == 9);
    }
}

// TLS reads and writes never block in the system: a handshake or message whose send or receive
// finds the socket not ready, or moves one byte, waits for it and goes on.
TEST_F(TlsTest, HandshakeAndMessageGoOnWhateverSendOrReceiveIsNotReady) {
    using kepwsa::PlatformCall;
    const Fault faults[] = {{PlatformCall::kSend, kepwsa::WSAEWOULDBLOCK},
                            {PlatformCall::kRecv, kepwsa::WSAEWOULDBLOCK},
                            {PlatformCall::kSend, 0, 1},
                            {PlatformCall::kRecv, 0, 1}};
    std::uint32_t sequence = 0;
    for (const Fault& fault : faults) {
        const long met = SweepFaults(
            fault, NothingToPrepare,
            [&] {
                std::string error;
                EXPECT_NE(Dial(m_pki.Settings("client", "ca"), error), nullptr) << error;
                EXPECT_TRUE(Served(++sequence));
            },
            [](const FaultRun&) { RemoveLabelled("client"); });
        EXPECT_GT(met, 2);
    }
    EXPECT_EQ(Closed(kCloseReasonTlsHandshakeFailed) + Closed(kCloseReasonReset), 0u);
}

TEST_F(TlsTest, ReconnectingClientComesBackOverTlsAfterAServerRestart) {
    KEPString error;
    ASSERT_TRUE(Communicator().StartReconnectingClient("client", LoopbackAddress(m_port),
                                                       KEPMsgReconnectSettings{5, 20, 0},
                                                       m_pki.Settings("client", "ca"), error))
        << error.GetUTF8();
    ASSERT_TRUE(m_events.PumpFor(KEPMsgConnectionEvent::kConnected));
    EXPECT_TRUE(Served(1));
    // Restart: the listener and its connections go, a new TLS listener takes the same port.
    RemoveLabelled("server");
    RemoveLabelled("");
    ASSERT_TRUE(m_events.PumpFor(KEPMsgConnectionEvent::kReconnectAttempt));
    m_server = Services().StartServer(LoopbackAddress(m_port), 16);
    ASSERT_NE(m_server, nullptr);
    Communicator().AddConnection(KEPMsgChannel(m_server, KEPString("server")), true);
    ServeWith(m_pki.Settings("server", "ca"));
    ASSERT_TRUE(PumpUntil([&] { return m_events.Count(KEPMsgConnectionEvent::kConnected) == 2; }));
    EXPECT_TRUE(Served(2));
    EXPECT_TRUE(Communicator().StopReconnectingClient("client"));
}

// While a host input stream reads the descriptor itself, no TLS context is made; once the stream
// is gone, one is.
TEST_F(RobustnessTest, HostInputStreamRefusesTlsUntilItGoes) {
    HostStream host;
    ASSERT_TRUE(Communicator().SetDefaultInputStream(&host));
    std::string error;
    const auto make = [&error] {
        return KEPMsgTlsContext::Make(KEPMsgTlsSettings(), KEPMsgTlsContext::Role::kClient, error);
    };
    EXPECT_EQ(make(), nullptr);
    EXPECT_NE(error.find("a host input stream is registered"), std::string::npos) << error;
    ASSERT_TRUE(Communicator().SetDefaultInputStream(nullptr));
    EXPECT_NE(make(), nullptr) << error;
}

#endif  // KEP_WITH_TLS

// A client from 127.0.0.2 against a filter that admits 127.0.0.1 only.
RawSocket ConnectFrom(const char* host, int port) {
    RawSocket raw(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &address.sin_addr);
    ::bind(raw.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    return ::connect(raw.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
               ? std::move(raw)
               : RawSocket();
}

TEST_F(RobustnessTest, AcceptFilterClosesOutsidersBeforeAnyReadAndServesInsiders) {
    EventRecorder events;
    int port = 0;
    KEPMsgServerSocket* server = StartRegisteredServer(port);
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(server->SetAcceptFilter("10.0.0.0/8, 127.0.0.1/32"));
    for (const char* malformed : {"127.0.0.300/32", "127.0.0.1/33", "::1/129", "host", "10.0.0.0/",
                                  "1.2.3.4/x", "127.0.0.1,", ","}) {
        EXPECT_FALSE(server->SetAcceptFilter(malformed)) << malformed;
    }
    const int registered = RegisteredChannelCount();
    RawSocket outsider = ConnectFrom("127.0.0.2", port);
    ASSERT_TRUE(outsider.IsOpen());
    ASSERT_TRUE(outsider.SendBytes(TextWire(1, "from outside")));
    const auto refused = events.PumpFor(KEPMsgConnectionEvent::kClosed);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->m_reason, kCloseReasonRefusedByFilter);
    EXPECT_EQ(refused->m_socketId, -1);
    EXPECT_STREQ(refused->m_peerHost.GetUTF8(), "127.0.0.2");
    EXPECT_STREQ(refused->m_label.GetUTF8(), "server");
    EXPECT_TRUE(outsider.WaitPeerClosed());
    EXPECT_EQ(server->RefusedByFilter(), 1u);
    EXPECT_EQ(RegisteredChannelCount(), registered);

    RawSocket insider = RawConnect(port);
    ASSERT_TRUE(PumpUntil([&] { return RegisteredChannelCount() == registered + 1; }));
    ASSERT_TRUE(insider.SendBytes(TextWire(2, "from inside")));
    std::vector<ReceivedMessage> got = ReceiveAtLeast(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].message->Sequence(), 2u);
    EXPECT_EQ(server->AcceptedCount(), 1u);
}

}  // namespace
}  // namespace keptest
