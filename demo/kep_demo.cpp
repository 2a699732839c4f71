// kep_demo: two processes exchange typed messages through the library's message task.
//
// The parent starts a server on the first free port of 47000-47999 (any port if all are taken),
// then starts itself again as the client (--client PORT). The client keeps its connection up
// with a reconnecting client, and the two go through a scripted exchange: a queued send shown
// pending and then written, a conversation in both directions (by channel and by label), a
// notification callback, a large message checked by checksum, a few hundred pings, and a server
// restart on the same port that the client rides out, sending by label again once it is back.
// Each step prints one line with a check mark or FAILED, and each connection event one line;
// the exit status is 0 only when every check of both processes held. Every wait has a deadline
// and a watchdog ends a process that still runs after a minute.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasSocketMessage.h"
#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "demo/KEPDemoChild.h"
#include "messaging/KEPMsgConnectionEvent.h"
#include "messaging/KEPMsgReconnectSettings.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocketAddress.h"
#include "tools/KEPMsgToolEvents.h"
#include "tools/KEPMsgToolMessages.h"
#include "tools/KEPMsgToolSupport.h"

namespace {

using kepmsgtool::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kTextType = "demo.Text";
constexpr const char* kBlobType = "demo.Blob";
constexpr const char* kHost = "127.0.0.1";
constexpr const char* kServerLabel = "demo-server";
constexpr const char* kClientLabel = "demo-client";
constexpr const char* kListenerLabel = "demo-listener";
constexpr const char* kRestartRequest = "please restart";
// hello, question, restart request, back again, bye
constexpr int kTextsFromClient = 5;
constexpr int kFirstPort = 47000;
constexpr int kLastPort = 47999;
constexpr std::size_t kBlobBytes = 8u * 1024u * 1024u;
constexpr int kPingCount = 300;
constexpr unsigned kWatchdogSeconds = 60;
const auto kStepTime = seconds(10);

// A text message: the way a host writes its own message class. Body: 4-byte little-endian
// length, then the UTF-8 bytes.
class DemoTextMessage : public KEPBasSocketMessage {
  public:
    explicit DemoTextMessage(std::string text = {}) : m_text(std::move(text)) {}
    const std::string& Text() const { return m_text; }

    bool WriteBody(KEPBasOutputStream* stream) override {
        unsigned char length[4];
        kepmsgtool::PutLittleEndian(length, m_text.size(), 4);
        return kepmsgtool::WriteAll(stream, length, sizeof length) &&
               kepmsgtool::WriteAll(stream, m_text.data(), m_text.size());
    }
    bool ReadBody(KEPBasInputStream* stream) override {
        unsigned char length[4];
        if (!kepmsgtool::ReadAll(stream, length, sizeof length)) {
            return false;
        }
        const std::uint64_t size = kepmsgtool::GetLittleEndian(length, 4);
        if (size > 1024 * 1024) {
            return false;
        }
        m_text.assign(static_cast<std::size_t>(size), '\0');
        return kepmsgtool::ReadAll(stream, &m_text[0], m_text.size());
    }
    KEPBasSocketMessage* CreateInstance() override { return new DemoTextMessage; }
    KEPString GetMessageType() override { return KEPString(kTextType); }

  private:
    std::string m_text;
};

KEPMsgSocketCommunicator& Communicator() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

// Counts the notification callback's calls for text messages; it runs on the task's thread.
std::atomic<int> s_textNotifications{0};

void OnTextArrived(const KEPString& type) {
    ++s_textNotifications;
    kepmsgtool::NotifyArrival(type);
}

// Ends the process with a FAILED line if it still runs after kWatchdogSeconds.
void StartWatchdog() {
    std::thread([] {
        std::this_thread::sleep_for(seconds(kWatchdogSeconds));
        std::fputs("FAILED: the demo did not finish in time\n", stdout);
        std::fflush(stdout);
        std::_Exit(1);
    }).detach();
}

// Prints one line per check and remembers whether all held.
class Report {
  public:
    explicit Report(const char* role) : m_role(role) {}
    bool Check(bool ok, const std::string& what) {
        ++m_checks;
        m_failures += ok ? 0 : 1;
        std::printf("[%s] %s %s\n", m_role, ok ? "\u2713" : "FAILED", what.c_str());
        std::fflush(stdout);
        return ok;
    }
    // One line for a connection event, which is information, not a check.
    void Event(const KEPMsgConnectionEvent& event) {
        std::printf("[%s] event: %s\n", m_role, kepmsgtool::Describe(event).c_str());
        std::fflush(stdout);
    }
    int Checks() const { return m_checks; }
    int Failures() const { return m_failures; }

  private:
    const char* m_role;
    int m_checks = 0;
    int m_failures = 0;
};

// Streams shared by both roles; the library keeps pointers to them.
struct Streams {
    KEPMsgSimpleInputStream input;
    KEPMsgBufferedOutputStream output{64 * 1024};
    Streams() {
        Communicator().SetDefaultInputStream(&input);
        Communicator().SetDefaultOutputStream(&output);
    }
};

std::string Text(const kepmsgtool::Received& received) {
    auto* text = received.As<DemoTextMessage>();
    return text != nullptr ? text->Text() : std::string("<none>");
}

std::string Hex(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", value);
    return buffer;
}

std::string Milliseconds(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f ms", value);
    return buffer;
}

// Pseudo-random payload, so that a shifted or dropped byte changes the checksum.
std::string MakeBlob(std::size_t size) {
    std::string blob(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& byte : blob) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state);
    }
    return blob;
}

// Prints the events that arrive until one of kind does, which it returns; nothing when none
// came before deadline.
std::optional<KEPMsgConnectionEvent> AwaitEvent(Report& report, kepmsgtool::EventLog& events,
                                                KEPMsgConnectionEvent::Kind kind,
                                                Clock::time_point deadline) {
    while (std::optional<KEPMsgConnectionEvent> event = events.Next(deadline)) {
        report.Event(*event);
        if (event->m_kind == kind) {
            return event;
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Client: the child process.

// The channel labelled label, once a reconnecting client's dialer has registered it.
std::optional<KEPMsgChannel> AwaitChannel(const char* label, Clock::time_point deadline) {
    KEPMsgChannelQueryByLabel query{KEPString(label)};
    do {
        KEPBasVector<KEPMsgChannel> found;
        Communicator().RetrieveConnections(&query, found);
        if (found.size() > 0) {
            return found[0];
        }
        std::this_thread::sleep_for(milliseconds(1));
    } while (Clock::now() < deadline);
    return std::nullopt;
}

int RunClient(int port) {
    Report report("client");
    Streams streams;
    DemoTextMessage textPrototype;
    KEPMsgToolPongMessage pongPrototype;
    Communicator().RegisterMessagePrototype(kTextType, &textPrototype);
    Communicator().RegisterMessagePrototype(kepmsgtool::kPongType, &pongPrototype);
    Communicator().RegisterMessageNotificationCallback(kTextType, OnTextArrived);
    Communicator().RegisterMessageNotificationCallback(kepmsgtool::kPongType,
                                                       kepmsgtool::NotifyArrival);

    // The reconnecting client dials on a thread of its own and registers each connection it
    // makes under the label; the events tell what happens to it.
    kepmsgtool::EventLog events;
    const std::string endpoint = kepmsgtool::FormatEndpoint(kHost, port);
    const KEPMsgSocketAddress address(KEPMsgInetAddress(KEPString(kHost)), port);
    if (!report.Check(
            Communicator().StartReconnectingClient(kServerLabel, address,
                                                   KEPMsgReconnectSettings()),
            "reconnecting client '" + std::string(kServerLabel) + "' dials " + endpoint)) {
        return 1;
    }
    const std::optional<KEPMsgChannel> connected =
        AwaitChannel(kServerLabel, Clock::now() + kStepTime);
    if (!report.Check(connected.has_value(), "connected to " + endpoint)) {
        return 1;
    }
    KEPMsgChannel server = *connected;

    // Queued before the task runs, so it is certainly still pending when asked.
    DemoTextMessage hello("hello from the client");
    unsigned int helloId = 0;
    Communicator().ISendSocketMessage(server, &hello, helloId);
    report.Check(helloId != 0 && Communicator().QueryPendingStatus(helloId),
                 "queued message #" + std::to_string(helloId) + " is pending");

    kepmsgtool::MessageLoop loop;
    if (!report.Check(loop.Start(), "message task started")) {
        return 1;
    }
    const Clock::time_point writtenBy = Clock::now() + kStepTime;
    while (Communicator().QueryPendingStatus(helloId) && Clock::now() < writtenBy) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    report.Check(!Communicator().QueryPendingStatus(helloId),
                 "message task wrote queued message #" + std::to_string(helloId));
    report.Check(
        AwaitEvent(report, events, KEPMsgConnectionEvent::kConnected, Clock::now() + kStepTime)
            .has_value(),
        "a receive pass announced the connection");

    kepmsgtool::Inbox inbox;
    std::string answer = Text(inbox.Next(kTextType, Clock::now() + kStepTime));
    report.Check(answer == "hello, client", "server answered by label: '" + answer + "'");

    DemoTextMessage question("what is six times seven?");
    Communicator().SendSocketMessage(kServerLabel, &question);
    answer = Text(inbox.Next(kTextType, Clock::now() + kStepTime));
    report.Check(answer == "42", "asked through label 'demo-server', answer: '" + answer + "'");

    KEPMsgToolRawMessage blob(kBlobType, MakeBlob(kBlobBytes));
    const std::string expected = "checksum " + Hex(kepmsgtool::Checksum(blob.Body())) + " size " +
                                 std::to_string(kBlobBytes);
    const Clock::time_point blobStart = Clock::now();
    Communicator().SendSocketMessage(server, &blob);
    answer = Text(inbox.Next(kTextType, Clock::now() + kStepTime));
    const double blobMs =
        std::chrono::duration<double, std::milli>(Clock::now() - blobStart).count();
    report.Check(answer == expected, "large message of " + std::to_string(kBlobBytes >> 20) +
                                         " MiB delivered in " + Milliseconds(blobMs) +
                                         ", server reports '" + answer + "'");

    std::vector<double> roundTrips;
    for (int i = 0; i < kPingCount; ++i) {
        const Clock::time_point sentAt = Clock::now();
        KEPMsgToolPingMessage ping(static_cast<std::uint32_t>(i), 0);
        Communicator().SendSocketMessage(server, &ping);
        kepmsgtool::Received pong = inbox.Next(kepmsgtool::kPongType, sentAt + kStepTime);
        if (!pong || pong.As<KEPMsgToolPongMessage>()->Sequence() != static_cast<unsigned>(i)) {
            break;
        }
        roundTrips.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sentAt).count());
    }
    const kepmsgtool::Summary rtt = kepmsgtool::Summarize(roundTrips);
    report.Check(rtt.count == static_cast<std::size_t>(kPingCount),
                 std::to_string(rtt.count) + " pings, round trip min " + Milliseconds(rtt.min) +
                     ", median " + Milliseconds(rtt.median) + ", p99 " + Milliseconds(rtt.p99));

    // The server restarts on the same port: the reconnecting client dials until it is back,
    // and sends by label reach the new server.
    DemoTextMessage restart(kRestartRequest);
    Communicator().SendSocketMessage(kServerLabel, &restart);
    const std::optional<KEPMsgConnectionEvent> lost =
        AwaitEvent(report, events, KEPMsgConnectionEvent::kClosed, Clock::now() + kStepTime);
    const Clock::time_point lostAt = Clock::now();
    report.Check(lost && lost->m_reason == kCloseReasonPeerClosed,
                 "the server closed the connection for its restart");
    // Failed dials show as reconnect-attempt events on the way.
    const std::optional<KEPMsgConnectionEvent> back =
        AwaitEvent(report, events, KEPMsgConnectionEvent::kConnected, lostAt + kStepTime);
    const double gapMs = std::chrono::duration<double, std::milli>(Clock::now() - lostAt).count();
    if (!report.Check(back.has_value(),
                      "reconnected to " + endpoint + " after " + Milliseconds(gapMs))) {
        return 1;
    }
    DemoTextMessage again("back again");
    Communicator().SendSocketMessage(kServerLabel, &again);
    answer = Text(inbox.Next(kTextType, Clock::now() + kStepTime));
    report.Check(answer == "welcome back",
                 "sent by label to the restarted server, it answered '" + answer + "'");

    DemoTextMessage bye("bye");
    Communicator().SendSocketMessage(kServerLabel, &bye);
    answer = Text(inbox.Next(kTextType, Clock::now() + kStepTime));
    report.Check(answer == "goodbye", "said bye, server answered '" + answer + "'");

    report.Check(Communicator().StopReconnectingClient(kServerLabel),
                 "reconnecting client stopped");
    const std::optional<KEPMsgConnectionEvent> stopped =
        AwaitEvent(report, events, KEPMsgConnectionEvent::kClosed, Clock::now() + kStepTime);
    report.Check(stopped && stopped->m_reason == kCloseReasonRemovedByHost,
                 "its connection closed with it");

    loop.Stop();
    KEPBasVector<KEPMsgChannel> left;
    Communicator().RetrieveConnections(nullptr, left);
    report.Check(!loop.IsRunning() && left.size() == 0, "message task stopped, connection closed");
    return report.Failures() == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// Server: the parent process.

// Answers the client's pings until it sends a text, which it returns with the number answered;
// -1 on time-out.
int AnswerPingsUntilText(kepmsgtool::Inbox& inbox, kepmsgtool::Received& text) {
    int answered = 0;
    const Clock::time_point deadline = Clock::now() + seconds(30);
    const std::vector<std::string> types = {kepmsgtool::kPingType, kTextType};
    while (Clock::now() < deadline) {
        const std::uint64_t seen = kepmsgtool::ArrivalCount();
        kepmsgtool::Received message = inbox.TryNextOf(types);
        if (!message) {
            kepmsgtool::WaitForArrival(seen, milliseconds(50));
            continue;
        }
        if (auto* ping = message.As<KEPMsgToolPingMessage>()) {
            KEPMsgToolPongMessage pong(ping->Sequence(), ping->Stamp());
            Communicator().SendSocketMessage(message.channel, &pong);
            ++answered;
            continue;
        }
        text = std::move(message);
        return answered;
    }
    return -1;
}

// Closes the listener and then the client's connection, so that no dial can land in the old
// listener's backlog, and listens again on the same port. Returns the new listener or null.
KEPMsgServerSocket* Restart(Report& report, kepmsgtool::EventLog& events, int port) {
    KEPMsgChannelQueryByLabel listener{KEPString(kListenerLabel)};
    KEPMsgChannelQueryByLabel client{KEPString(kClientLabel)};
    Communicator().RemoveConnection(&listener, true);
    Communicator().RemoveConnection(&client, true);
    const std::optional<KEPMsgConnectionEvent> closed =
        AwaitEvent(report, events, KEPMsgConnectionEvent::kClosed, Clock::now() + kStepTime);
    report.Check(closed && closed->m_reason == kCloseReasonRemovedByHost,
                 "restart: closed the listener and the client's connection");
    KEPMsgServerSocket* restarted = KEPMsgConnectionServicesUtils::Instance().StartServer(
        KEPMsgSocketAddress(KEPMsgInetAddress(KEPString(kHost)), port), 8);
    if (!report.Check(restarted != nullptr,
                      "listening again on " + kepmsgtool::FormatEndpoint(kHost, port))) {
        return nullptr;
    }
    Communicator().AddConnection(KEPMsgChannel(restarted, kListenerLabel), true);
    return restarted;
}

int Finish(Report& report) {
    if (report.Failures() == 0) {
        std::printf("demo passed: every check held in both processes\n");
    } else {
        std::printf("demo FAILED: %d of %d server checks failed\n", report.Failures(),
                    report.Checks());
    }
    std::fflush(stdout);
    return report.Failures() == 0 ? 0 : 1;
}

int RunServer() {
    Report report("server");
    Streams streams;
    DemoTextMessage textPrototype;
    KEPMsgToolRawMessage blobPrototype(kBlobType);
    KEPMsgToolPingMessage pingPrototype;
    Communicator().RegisterMessagePrototype(kTextType, &textPrototype);
    Communicator().RegisterMessagePrototype(kBlobType, &blobPrototype);
    Communicator().RegisterMessagePrototype(kepmsgtool::kPingType, &pingPrototype);
    Communicator().RegisterMessageNotificationCallback(kTextType, OnTextArrived);
    Communicator().RegisterMessageNotificationCallback(kBlobType, kepmsgtool::NotifyArrival);
    Communicator().RegisterMessageNotificationCallback(kepmsgtool::kPingType,
                                                       kepmsgtool::NotifyArrival);

    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    const KEPMsgInetAddress host{KEPString(kHost)};
    KEPMsgServerSocket* listener = services.StartServer(host, kFirstPort, kLastPort, 8);
    if (listener == nullptr) {
        listener = services.StartServer(KEPMsgSocketAddress(host, 0), 8);
    }
    const int port = kepmsgtool::BoundPort(listener);
    if (!report.Check(listener != nullptr && port > 0,
                      "server listening on " + kepmsgtool::FormatEndpoint(kHost, port))) {
        return Finish(report);
    }
    kepmsgtool::EventLog events;
    Communicator().AddConnection(KEPMsgChannel(listener, kListenerLabel), true);

    kepmsgtool::MessageLoop loop;
    if (!report.Check(loop.Start(), "message task started")) {
        return Finish(report);
    }
    KEPDemoChild child;
    if (!report.Check(child.Start({"--client", std::to_string(port)}), "client process started")) {
        return Finish(report);
    }

    const std::optional<KEPMsgConnectionEvent> accepted =
        AwaitEvent(report, events, KEPMsgConnectionEvent::kAccepted, Clock::now() + kStepTime);
    report.Check(accepted && accepted->m_label.GetUTF8() == std::string(kListenerLabel),
                 "accepted the client on '" + std::string(kListenerLabel) + "'");

    kepmsgtool::Inbox inbox;
    kepmsgtool::Received hello = inbox.Next(kTextType, Clock::now() + kStepTime);
    if (!report.Check(Text(hello) == "hello from the client",
                      "client said '" + Text(hello) + "'")) {
        return Finish(report);
    }
    // Accepted connections start without a label; naming this one lets us send by label.
    hello.channel.SetLabel(kClientLabel);
    DemoTextMessage greeting("hello, client");
    Communicator().SendSocketMessage(kClientLabel, &greeting);
    report.Check(hello.channel.IsActiveInCurrentThreads(),
                 "labelled the connection 'demo-client' and answered through the label");

    kepmsgtool::Received question = inbox.Next(kTextType, Clock::now() + kStepTime);
    if (!report.Check(Text(question) == "what is six times seven?",
                      "client asked '" + Text(question) + "'")) {
        return Finish(report);
    }
    DemoTextMessage answer("42");
    Communicator().SendSocketMessage(question.channel, &answer);

    kepmsgtool::Received blob = inbox.Next(kBlobType, Clock::now() + kStepTime);
    auto* body = blob.As<KEPMsgToolRawMessage>();
    if (!report.Check(body != nullptr && body->IsValid() && body->Body().size() == kBlobBytes,
                      "large message received: " + std::to_string(body ? body->Body().size() : 0) +
                          " bytes")) {
        return Finish(report);
    }
    DemoTextMessage checksum("checksum " + Hex(kepmsgtool::Checksum(body->Body())) + " size " +
                             std::to_string(body->Body().size()));
    Communicator().SendSocketMessage(blob.channel, &checksum);

    kepmsgtool::Received request;
    const int pings = AnswerPingsUntilText(inbox, request);
    report.Check(pings == kPingCount, "answered " + std::to_string(pings) + " pings");
    if (!report.Check(Text(request) == kRestartRequest, "client said '" + Text(request) + "'") ||
        Restart(report, events, port) == nullptr) {
        return Finish(report);
    }
    const std::optional<KEPMsgConnectionEvent> back =
        AwaitEvent(report, events, KEPMsgConnectionEvent::kAccepted, Clock::now() + kStepTime);
    report.Check(back.has_value(), "the client dialed in again");
    kepmsgtool::Received again = inbox.Next(kTextType, Clock::now() + kStepTime);
    if (!report.Check(Text(again) == "back again", "client said '" + Text(again) + "'")) {
        return Finish(report);
    }
    again.channel.SetLabel(kClientLabel);
    DemoTextMessage welcome("welcome back");
    Communicator().SendSocketMessage(kClientLabel, &welcome);

    kepmsgtool::Received bye = inbox.Next(kTextType, Clock::now() + kStepTime);
    if (!report.Check(Text(bye) == "bye", "client said '" + Text(bye) + "'")) {
        return Finish(report);
    }
    DemoTextMessage goodbye("goodbye");
    Communicator().SendSocketMessage(bye.channel, &goodbye);

    const int notifications = s_textNotifications.load();
    report.Check(notifications >= 1 && notifications <= kTextsFromClient,
                 "notification callback for " + std::string(kTextType) + " ran " +
                     std::to_string(notifications) + " times for " +
                     std::to_string(kTextsFromClient) + " texts");

    const int status = child.WaitExit(Clock::now() + seconds(20));
    report.Check(status == 0, "client exited with status " + std::to_string(status));

    loop.Stop();
    KEPBasVector<KEPMsgChannel> left;
    Communicator().RetrieveConnections(nullptr, left);
    report.Check(!loop.IsRunning() && left.size() == 0,
                 "message task stopped, every connection closed");
    return Finish(report);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    StartWatchdog();
    if (argc == 3 && std::strcmp(argv[1], "--client") == 0) {
        const int port = std::atoi(argv[2]);
        if (port <= 0 || port > 65535) {
            std::fprintf(stderr, "kep_demo: bad port '%s'\n", argv[2]);
            return 2;
        }
        return RunClient(port);
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: kep_demo (no arguments; --client PORT is internal)\n");
        return 2;
    }
    return RunServer();
}
