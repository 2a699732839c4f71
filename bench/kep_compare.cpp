// kep_compare: the library against raw TCP and ZeroMQ over loopback, side by side.
//
// Every scenario runs as two fresh processes, both this program started again in a peer mode
// (posix_spawn of /proc/self/exe with "--peer ..."), so that no singleton state and no warm
// cache carries over from one scenario to the next. The parent only starts the peers, reads the
// one-line reports they print on their standard output and keeps the median of the repetitions.
//
// Framing is the library's everywhere: a 4-byte little-endian length, the type name ("Blob" for
// data, "BenchEnd" for the end marker that carries the number of messages sent), then the body.
// One-way throughput is counted from the sender's start to the receiver's receipt of the end
// marker, on CLOCK_MONOTONIC, which both processes share. The end marker goes out after every
// data message on the same connection, so it arrives last.
//
// Scenarios (each repeated --reps times, interleaved):
//   throughput   KEP immediate (SendSocketMessage per message), KEP queued (ISendSocketMessage,
//                a transmit pass every 64 records); both received by the message task, the
//                messages collected by type from the notification callbacks;
//                raw TCP with the library's calls (send header, send body; recv count, recv
//                name, recv body); raw TCP at its best (256 KiB batches both ways);
//                ZeroMQ PUSH/PULL (one zmq message per record, header included).
//   ping-pong    64 B round trips: KEP (immediate sends, passes run by hand), raw TCP with the
//                library's calls, ZeroMQ PAIR.
//   scaling      a batched raw sender on 1, 16 or 64 connections against the library's receive
//                pass run by hand: messages per second and the time one pass costs per message.
//
// Usage: kep_compare [--reps N] [--seconds S] [--out FILE.md] [--svg FILE.svg]
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#ifdef KEP_HAVE_ZMQ
#include <zmq.h>
#endif

#include "base/KEPBasAtiThread.h"
#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "messaging/KEPMsgChannelMsgStruct.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------------------------

constexpr const char* kBlobType = "Blob";
constexpr const char* kEndType = "BenchEnd";
constexpr int kQueuedBatch = 64;        // records per transmit pass for queued sends
constexpr int kBigBuffer = 256 * 1024;  // raw "best": batch and read-buffer size
constexpr int kLibChunk = 1 << 20;      // output stream chunk: a body is one send
constexpr int kLibSendBuffer = 65536;   // the library's SO_SNDBUF, copied by "raw same"
constexpr int kPingWarmup = 200;
constexpr double kPeerDeadlineSeconds = 60.0;  // a peer that hangs this long is a failure

std::int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "kep_compare peer: %s (errno %d)\n", what, errno);
    std::exit(2);
}

// Header bytes for a type name, as the library writes them.
std::string Header(const char* type) {
    const std::uint32_t n = static_cast<std::uint32_t>(std::strlen(type));
    std::string header(4, '\0');
    std::memcpy(&header[0], &n, 4);
    header += type;
    return header;
}

// A body of `size` bytes, written by one stream write; received bodies are discarded into a
// per-process scratch buffer so that the host's own allocation is not what is measured.
std::vector<char>& Payload() {
    static std::vector<char> payload;
    return payload;
}
std::vector<char>& Scratch() {
    static std::vector<char> scratch;
    return scratch;
}

bool ReadFully(KEPBasInputStream* stream, char* buffer, int length) {
    int done = 0;
    while (done < length) {
        int got = 0;
        if (!stream->read(buffer + done, length - done, got) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

class BlobMessage : public KEPBasSocketMessage {
  public:
    explicit BlobMessage(int size) : m_size(size) {}
    bool WriteBody(KEPBasOutputStream* stream) override {
        int written = 0;
        return stream->write(Payload().data(), m_size, written) && written == m_size;
    }
    bool ReadBody(KEPBasInputStream* stream) override {
        m_intact = ReadFully(stream, Scratch().data(), m_size);
        return m_intact;
    }
    KEPBasSocketMessage* CreateInstance() override { return new BlobMessage(m_size); }
    KEPString GetMessageType() override { return KEPString(kBlobType); }
    bool Intact() const { return m_intact; }

  private:
    int m_size;
    bool m_intact = true;
};

class EndMessage : public KEPBasSocketMessage {
  public:
    std::uint64_t count = 0;
    bool WriteBody(KEPBasOutputStream* stream) override {
        int written = 0;
        return stream->write(&count, sizeof count, written);
    }
    bool ReadBody(KEPBasInputStream* stream) override {
        return ReadFully(stream, reinterpret_cast<char*>(&count), sizeof count);
    }
    KEPBasSocketMessage* CreateInstance() override { return new EndMessage(); }
    KEPString GetMessageType() override { return KEPString(kEndType); }
};

// ---------------------------------------------------------------------------------------------
// Raw sockets
// ---------------------------------------------------------------------------------------------

void SetInt(int fd, int level, int option, int value) {
    setsockopt(fd, level, option, &value, sizeof value);
}

// The library's options, so that "raw same" differs only in the calls it makes.
void LibraryLikeOptions(int fd) {
    SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, kLibSendBuffer);
}

int ListenLoopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        Fail("listen");
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("connect");
    }
    return fd;
}

void SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR)
                continue;
            Fail("send");
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

void RecvAll(int fd, char* data, std::size_t length) {
    while (length > 0) {
        ssize_t got = recv(fd, data, length, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            Fail("recv");
        }
        data += got;
        length -= static_cast<std::size_t>(got);
    }
}

// Half-closes and waits for the peer's close, so that nothing sent is cut off by our exit.
void DrainUntilClosed(int fd) {
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
}

// Reads framed records through a large user-space buffer (raw "best" receiver).
class FrameReader {
  public:
    explicit FrameReader(int fd) : m_fd(fd), m_buffer(kBigBuffer) {}
    // Ensures `need` contiguous bytes are available; false on end of stream.
    bool Need(std::size_t need) {
        if (m_end - m_begin >= need)
            return true;
        if (m_begin > 0) {
            std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
            m_end -= m_begin;
            m_begin = 0;
        }
        if (m_buffer.size() < need)
            m_buffer.resize(need);
        while (m_end < need) {
            ssize_t got = recv(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end, 0);
            if (got <= 0) {
                if (got < 0 && errno == EINTR)
                    continue;
                return false;
            }
            m_end += static_cast<std::size_t>(got);
        }
        return true;
    }
    const char* Data() const { return m_buffer.data() + m_begin; }
    void Consume(std::size_t n) { m_begin += n; }
    // Consumes a body of n bytes without requiring it to fit at once.
    bool Skip(std::size_t n) {
        while (n > 0) {
            if (m_end == m_begin && !Need(1))
                return false;
            std::size_t take = std::min(n, m_end - m_begin);
            std::memcpy(Scratch().data(), Data(), std::min(take, Scratch().size()));
            Consume(take);
            n -= take;
        }
        return true;
    }

  private:
    int m_fd;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// ---------------------------------------------------------------------------------------------
// Peer roles: library
// ---------------------------------------------------------------------------------------------

KEPMsgSocketCommunicator& Comm() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

const KEPMsgInetAddress& Loopback() {
    static const KEPMsgInetAddress loopback(KEPString("127.0.0.1"));
    return loopback;
}

// Receiver state shared by the notification callbacks (run on the pass's thread).
struct LibReceiveState {
    std::mutex mutex;
    std::condition_variable done;
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    int endsSeen = 0;
    int endsWanted = 1;
    bool finished = false;
    bool corrupt = false;
    std::int64_t endNs = 0;
};
LibReceiveState* s_receive = nullptr;

// Called once per pass and type; the end marker's call also collects every data message stored
// so far, since its callback comes first ("BenchEnd" sorts before "Blob").
void DrainReceived(const KEPString& type) {
    static KEPMsgMessageQueryByType blobQuery{KEPString(kBlobType)};
    static KEPMsgMessageQueryByType endQuery{KEPString(kEndType)};
    KEPBasVector<KEPBasSocketMessage*> blobs;
    KEPBasVector<KEPBasSocketMessage*> ends;
    Comm().IRetrieveMessages(&blobQuery, blobs);
    if (type == KEPString(kEndType)) {
        Comm().IRetrieveMessages(&endQuery, ends);
    }
    std::lock_guard<std::mutex> guard(s_receive->mutex);
    for (int i = 0; i < blobs.size(); ++i) {
        s_receive->corrupt |= !static_cast<BlobMessage*>(blobs[i])->Intact();
        delete blobs[i];
    }
    s_receive->received += static_cast<std::uint64_t>(blobs.size());
    for (int i = 0; i < ends.size(); ++i) {
        s_receive->expected += static_cast<EndMessage*>(ends[i])->count;
        ++s_receive->endsSeen;
        delete ends[i];
    }
    if (!s_receive->finished && s_receive->endsSeen == s_receive->endsWanted &&
        s_receive->received >= s_receive->expected) {
        s_receive->finished = true;
        s_receive->endNs = NowNs();
        s_receive->done.notify_all();
    }
}

struct LibSetup {
    BlobMessage blobPrototype;
    EndMessage endPrototype;
    KEPMsgSimpleInputStream input;
    KEPMsgBufferedOutputStream output{kLibChunk};
    explicit LibSetup(int size) : blobPrototype(size) {
        Comm().RegisterMessagePrototype(kBlobType, &blobPrototype);
        Comm().RegisterMessagePrototype(kEndType, &endPrototype);
        Comm().SetDefaultInputStream(&input);
        Comm().SetDefaultOutputStream(&output);
    }
};

int LibListen() {
    KEPMsgServerSocket* server = KEPMsgConnectionServicesUtils::Instance().StartServer(
        KEPMsgSocketAddress(Loopback(), 0), 128);
    if (server == nullptr)
        Fail("library listen");
    Comm().AddConnection(KEPMsgChannel(server, KEPString("listener")), true);
    return server->GetAddress().GetPort();
}

KEPMsgChannel LibConnect(int port, const char* label) {
    KEPMsgCommSocket* socket = KEPMsgConnectionServicesUtils::Instance().ConnectToServer(
        KEPMsgSocketAddress(Loopback(), 0), KEPMsgSocketAddress(Loopback(), port), 10, 10);
    if (socket == nullptr)
        Fail("library connect");
    KEPMsgChannel channel(socket, KEPString(label));
    Comm().AddConnection(channel, true);
    return channel;
}

// recv lib <size>: the message task receives; callbacks collect by type.
int PeerLibReceive(int size) {
    LibSetup setup(size);
    LibReceiveState state;
    s_receive = &state;
    Comm().RegisterMessageNotificationCallback(kBlobType, DrainReceived);
    Comm().RegisterMessageNotificationCallback(kEndType, DrainReceived);
    Report("PORT %d", LibListen());

    KEPMsgMessageTask task;
    Comm().PrepareStartupMessageTask();
    KEPBasAtiThread thread(&task);
    thread.Start();
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.done.wait_for(lock, std::chrono::seconds(static_cast<int>(kPeerDeadlineSeconds)),
                            [&] { return state.finished; });
    }
    const bool ok = state.finished && !state.corrupt && state.received == state.expected;
    Report("END %lld %llu %d", static_cast<long long>(state.endNs),
           static_cast<unsigned long long>(state.received), ok ? 1 : 0);
    Comm().ShutdownMessageTask();
    thread.Join();
    return ok ? 0 : 1;
}

// Runs receive passes until the channel's connection is gone (the receiver closed it).
void LibWaitForPeerClose(const KEPMsgChannel& channel) {
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(kPeerDeadlineSeconds * 1e9);
    while (channel.IsActiveInCurrentThreads() && NowNs() < deadline) {
        Comm().WaitConnectionsAndMessages(nullptr, 20);
    }
}

// send lib <imm|queued> <size> <port> <seconds>
int PeerLibSend(bool queued, int size, int port, double seconds) {
    LibSetup setup(size);
    KEPMsgChannel channel = LibConnect(port, "peer");
    BlobMessage blob(size);
    const std::int64_t start = NowNs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(seconds * 1e9);
    Report("START %lld", static_cast<long long>(start));
    std::uint64_t sent = 0;
    while (NowNs() < deadline) {
        if (queued) {
            for (int i = 0; i < kQueuedBatch; ++i) {
                unsigned int id = 0;
                Comm().ISendSocketMessage(channel, &blob, id);
            }
            Comm().TransmitPendingMessage();
            sent += kQueuedBatch;
        } else {
            for (int i = 0; i < 16; ++i) {
                Comm().SendSocketMessage(channel, &blob);
            }
            sent += 16;
        }
    }
    EndMessage end;
    end.count = sent;
    Comm().SendSocketMessage(channel, &end);
    LibWaitForPeerClose(channel);
    return 0;
}

// echo lib <size>: replies to every Blob on the channel it came from, passes run by hand.
std::atomic<bool> s_echoDone{false};
void EchoBack(const KEPString&) {
    static KEPMsgMessageQueryByType blobQuery{KEPString(kBlobType)};
    static KEPMsgMessageQueryByType endQuery{KEPString(kEndType)};
    KEPBasVector<KEPMsgChannelMsgStruct> records;
    Comm().IRetrieveMessagesWithChannel(&blobQuery, records);
    for (int i = 0; i < records.size(); ++i) {
        Comm().SendSocketMessage(records[i].m_channel, records[i].m_message);
        delete records[i].m_message;
    }
    KEPBasVector<KEPBasSocketMessage*> ends;
    Comm().IRetrieveMessages(&endQuery, ends);
    for (int i = 0; i < ends.size(); ++i) {
        delete ends[i];
        s_echoDone.store(true);
    }
}

int PeerLibEcho(int size) {
    LibSetup setup(size);
    Comm().RegisterMessageNotificationCallback(kBlobType, EchoBack);
    Comm().RegisterMessageNotificationCallback(kEndType, EchoBack);
    Report("PORT %d", LibListen());
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(kPeerDeadlineSeconds * 1e9);
    while (!s_echoDone.load() && NowNs() < deadline) {
        Comm().WaitConnectionsAndMessages(nullptr, 20);
    }
    Comm().ShutdownMessageTask();  // closes every registered channel
    return 0;
}

void ReportLatencies(std::vector<std::int64_t>& rtts) {
    std::sort(rtts.begin(), rtts.end());
    const std::int64_t median = rtts[rtts.size() / 2];
    const std::int64_t p99 = rtts[std::min(rtts.size() - 1, rtts.size() * 99 / 100)];
    Report("RTT %lld %lld", static_cast<long long>(median), static_cast<long long>(p99));
}

// ping lib <size> <port> <count>
int PeerLibPing(int size, int port, int count) {
    LibSetup setup(size);
    KEPMsgChannel channel = LibConnect(port, "peer");
    KEPMsgMessageQueryByType query{KEPString(kBlobType)};
    BlobMessage ping(size);
    std::vector<std::int64_t> rtts;
    for (int i = 0; i < kPingWarmup + count; ++i) {
        const std::int64_t t0 = NowNs();
        Comm().SendSocketMessage(channel, &ping);
        KEPBasVector<KEPBasSocketMessage*> replies;
        while (replies.size() == 0) {
            Comm().WaitConnectionsAndMessages(nullptr, 20);
            Comm().IRetrieveMessages(&query, replies);
            if (!channel.IsActiveInCurrentThreads())
                Fail("echo peer went away");
        }
        const std::int64_t t1 = NowNs();
        for (int j = 0; j < replies.size(); ++j)
            delete replies[j];
        if (i >= kPingWarmup)
            rtts.push_back(t1 - t0);
    }
    EndMessage end;
    Comm().SendSocketMessage(channel, &end);
    ReportLatencies(rtts);
    LibWaitForPeerClose(channel);
    return 0;
}

// scalerecv <connections> <size>: receive passes run by hand and timed.
int PeerScaleReceive(int connections, int size) {
    LibSetup setup(size);
    LibReceiveState state;
    state.endsWanted = connections;
    s_receive = &state;
    Comm().RegisterMessageNotificationCallback(kBlobType, DrainReceived);
    Comm().RegisterMessageNotificationCallback(kEndType, DrainReceived);
    Report("PORT %d", LibListen());
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(kPeerDeadlineSeconds * 1e9);
    std::int64_t busyNs = 0;
    std::uint64_t busyPasses = 0;
    std::uint64_t before = 0;
    bool listening = true;
    for (;;) {
        const std::int64_t t0 = NowNs();
        Comm().WaitConnectionsAndMessages(nullptr, 20);
        const std::int64_t t1 = NowNs();
        if (listening) {
            // The descriptor set holds 64 sockets: once every connection is in, the listener
            // leaves so that 64 connections can all be watched.
            KEPBasVector<KEPMsgChannel> registered;
            Comm().RetrieveConnections(nullptr, registered);
            if (registered.size() == connections + 1) {
                KEPMsgChannelQueryByLabel listener{KEPString("listener")};
                Comm().RemoveConnection(&listener, true);
                listening = false;
            }
        }
        std::lock_guard<std::mutex> guard(state.mutex);
        // Only passes that delivered data count: idle passes measure the time-out, not cost.
        if (state.received > before) {
            busyNs += t1 - t0;
            ++busyPasses;
            before = state.received;
        }
        if (state.finished || t1 > deadline)
            break;
    }
    const bool ok = state.finished && !state.corrupt && state.received == state.expected;
    Report("END %lld %llu %d %lld %llu", static_cast<long long>(state.endNs),
           static_cast<unsigned long long>(state.received), ok ? 1 : 0,
           static_cast<long long>(busyNs), static_cast<unsigned long long>(busyPasses));
    Comm().ShutdownMessageTask();
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// Peer roles: raw TCP
// ---------------------------------------------------------------------------------------------

// recv raw-same|raw-best <size>
int PeerRawReceive(bool best, int size) {
    int port = 0;
    int listener = ListenLoopback(port);
    Report("PORT %d", port);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        Fail("accept");
    LibraryLikeOptions(fd);
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    bool ok = true;
    if (best) {
        FrameReader reader(fd);
        for (;;) {
            if (!reader.Need(4))
                Fail("early end");
            std::uint32_t n;
            std::memcpy(&n, reader.Data(), 4);
            if (!reader.Need(4 + n))
                Fail("early end");
            const bool isEnd =
                n == std::strlen(kEndType) && std::memcmp(reader.Data() + 4, kEndType, n) == 0;
            reader.Consume(4 + n);
            if (isEnd) {
                if (!reader.Need(8))
                    Fail("early end");
                std::memcpy(&expected, reader.Data(), 8);
                reader.Consume(8);
                break;
            }
            if (!reader.Skip(static_cast<std::size_t>(size)))
                Fail("early end");
            ++received;
        }
    } else {
        char name[64];
        for (;;) {
            std::uint32_t n = 0;
            RecvAll(fd, reinterpret_cast<char*>(&n), 4);
            if (n >= sizeof name)
                Fail("bad header");
            RecvAll(fd, name, n);
            if (n == std::strlen(kEndType) && std::memcmp(name, kEndType, n) == 0) {
                RecvAll(fd, reinterpret_cast<char*>(&expected), 8);
                break;
            }
            RecvAll(fd, Scratch().data(), static_cast<std::size_t>(size));
            ++received;
        }
    }
    const std::int64_t end = NowNs();
    ok = received == expected;
    Report("END %lld %llu %d", static_cast<long long>(end),
           static_cast<unsigned long long>(received), ok ? 1 : 0);
    close(fd);
    close(listener);
    return ok ? 0 : 1;
}

// send raw-same|raw-best <size> <port> <seconds>
int PeerRawSend(bool best, int size, int port, double seconds) {
    int fd = ConnectLoopback(port);
    const std::string header = Header(kBlobType);
    if (best) {
        SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    } else {
        LibraryLikeOptions(fd);
    }
    const std::int64_t start = NowNs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(seconds * 1e9);
    Report("START %lld", static_cast<long long>(start));
    std::uint64_t sent = 0;
    if (best) {
        // Whole records packed into a large buffer; bodies larger than it go out directly.
        std::vector<char> batch;
        batch.reserve(kBigBuffer + header.size() + static_cast<std::size_t>(size));
        while (NowNs() < deadline) {
            for (int i = 0; i < 64; ++i) {
                batch.insert(batch.end(), header.begin(), header.end());
                if (static_cast<std::size_t>(size) >= static_cast<std::size_t>(kBigBuffer) / 2) {
                    SendAll(fd, batch.data(), batch.size());
                    batch.clear();
                    SendAll(fd, Payload().data(), static_cast<std::size_t>(size));
                } else {
                    batch.insert(batch.end(), Payload().begin(), Payload().begin() + size);
                }
                ++sent;
                if (batch.size() >= static_cast<std::size_t>(kBigBuffer)) {
                    SendAll(fd, batch.data(), batch.size());
                    batch.clear();
                }
            }
        }
        const std::string endHeader = Header(kEndType);
        batch.insert(batch.end(), endHeader.begin(), endHeader.end());
        batch.insert(batch.end(), reinterpret_cast<char*>(&sent),
                     reinterpret_cast<char*>(&sent) + 8);
        SendAll(fd, batch.data(), batch.size());
    } else {
        while (NowNs() < deadline) {
            for (int i = 0; i < 16; ++i) {
                SendAll(fd, header.data(), header.size());
                SendAll(fd, Payload().data(), static_cast<std::size_t>(size));
                ++sent;
            }
        }
        const std::string endHeader = Header(kEndType);
        SendAll(fd, endHeader.data(), endHeader.size());
        SendAll(fd, reinterpret_cast<char*>(&sent), 8);
    }
    DrainUntilClosed(fd);
    return 0;
}

// echo raw <size>
int PeerRawEcho(int size) {
    int port = 0;
    int listener = ListenLoopback(port);
    Report("PORT %d", port);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        Fail("accept");
    LibraryLikeOptions(fd);
    char name[64];
    for (;;) {
        std::uint32_t n = 0;
        RecvAll(fd, reinterpret_cast<char*>(&n), 4);
        if (n >= sizeof name)
            Fail("bad header");
        RecvAll(fd, name, n);
        if (n == std::strlen(kEndType))
            break;
        RecvAll(fd, Scratch().data(), static_cast<std::size_t>(size));
        SendAll(fd, reinterpret_cast<char*>(&n), 4);
        SendAll(fd, name, n);
        SendAll(fd, Scratch().data(), static_cast<std::size_t>(size));
    }
    close(fd);
    close(listener);
    return 0;
}

// ping raw <size> <port> <count>
int PeerRawPing(int size, int port, int count) {
    int fd = ConnectLoopback(port);
    LibraryLikeOptions(fd);
    const std::string header = Header(kBlobType);
    std::vector<std::int64_t> rtts;
    char name[64];
    for (int i = 0; i < kPingWarmup + count; ++i) {
        const std::int64_t t0 = NowNs();
        SendAll(fd, header.data(), header.size());
        SendAll(fd, Payload().data(), static_cast<std::size_t>(size));
        std::uint32_t n = 0;
        RecvAll(fd, reinterpret_cast<char*>(&n), 4);
        if (n >= sizeof name)
            Fail("bad header");
        RecvAll(fd, name, n);
        RecvAll(fd, Scratch().data(), static_cast<std::size_t>(size));
        const std::int64_t t1 = NowNs();
        if (i >= kPingWarmup)
            rtts.push_back(t1 - t0);
    }
    const std::string endHeader = Header(kEndType);
    SendAll(fd, endHeader.data(), endHeader.size());
    ReportLatencies(rtts);
    DrainUntilClosed(fd);
    return 0;
}

// scalesend <connections> <size> <port> <seconds>: batched raw writes, round robin.
int PeerScaleSend(int connections, int size, int port, double seconds) {
    std::vector<int> fds;
    for (int i = 0; i < connections; ++i) {
        fds.push_back(ConnectLoopback(port));
        SetInt(fds.back(), IPPROTO_TCP, TCP_NODELAY, 1);
    }
    const std::string header = Header(kBlobType);
    const std::size_t record = header.size() + static_cast<std::size_t>(size);
    const std::size_t perBatch = std::max<std::size_t>(1, 65536 / record);
    std::vector<char> batch;
    for (std::size_t i = 0; i < perBatch; ++i) {
        batch.insert(batch.end(), header.begin(), header.end());
        batch.insert(batch.end(), Payload().begin(), Payload().begin() + size);
    }
    std::vector<std::uint64_t> sent(static_cast<std::size_t>(connections), 0);
    const std::int64_t start = NowNs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(seconds * 1e9);
    Report("START %lld", static_cast<long long>(start));
    while (NowNs() < deadline) {
        for (int i = 0; i < connections; ++i) {
            SendAll(fds[static_cast<std::size_t>(i)], batch.data(), batch.size());
            sent[static_cast<std::size_t>(i)] += perBatch;
        }
    }
    const std::string endHeader = Header(kEndType);
    for (int i = 0; i < connections; ++i) {
        std::string end = endHeader;
        end.append(reinterpret_cast<const char*>(&sent[static_cast<std::size_t>(i)]), 8);
        SendAll(fds[static_cast<std::size_t>(i)], end.data(), end.size());
    }
    for (int fd : fds)
        DrainUntilClosed(fd);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Peer roles: ZeroMQ
// ---------------------------------------------------------------------------------------------

#ifdef KEP_HAVE_ZMQ
int ZmqBoundPort(void* socket) {
    char endpoint[256];
    size_t length = sizeof endpoint;
    zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &length);
    const char* colon = std::strrchr(endpoint, ':');
    return colon != nullptr ? std::atoi(colon + 1) : 0;
}

std::string ZmqEndpoint(int port) {
    return "tcp://127.0.0.1:" + std::to_string(port);
}

bool IsEndRecord(const char* data, std::size_t length) {
    std::uint32_t n = 0;
    if (length < 4)
        return false;
    std::memcpy(&n, data, 4);
    return n == std::strlen(kEndType) && length >= 4 + n && std::memcmp(data + 4, kEndType, n) == 0;
}

// recv zmq <size>: PULL
int PeerZmqReceive(int size) {
    void* context = zmq_ctx_new();
    void* pull = zmq_socket(context, ZMQ_PULL);
    if (zmq_bind(pull, "tcp://127.0.0.1:*") != 0)
        Fail("zmq bind");
    Report("PORT %d", ZmqBoundPort(pull));
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    zmq_msg_t message;
    zmq_msg_init(&message);
    for (;;) {
        if (zmq_msg_recv(&message, pull, 0) < 0)
            Fail("zmq recv");
        const char* data = static_cast<const char*>(zmq_msg_data(&message));
        const std::size_t length = zmq_msg_size(&message);
        if (IsEndRecord(data, length)) {
            std::memcpy(&expected, data + 4 + std::strlen(kEndType), 8);
            break;
        }
        if (length != Header(kBlobType).size() + static_cast<std::size_t>(size))
            Fail("zmq size");
        ++received;
    }
    const std::int64_t end = NowNs();
    zmq_msg_close(&message);
    Report("END %lld %llu %d", static_cast<long long>(end),
           static_cast<unsigned long long>(received), received == expected ? 1 : 0);
    zmq_close(pull);
    zmq_ctx_term(context);
    return 0;
}

// send zmq <size> <port> <seconds>: PUSH
int PeerZmqSend(int size, int port, double seconds) {
    void* context = zmq_ctx_new();
    void* push = zmq_socket(context, ZMQ_PUSH);
    if (zmq_connect(push, ZmqEndpoint(port).c_str()) != 0)
        Fail("zmq connect");
    std::string record = Header(kBlobType);
    record.append(Payload().data(), static_cast<std::size_t>(size));
    const std::int64_t start = NowNs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(seconds * 1e9);
    Report("START %lld", static_cast<long long>(start));
    std::uint64_t sent = 0;
    while (NowNs() < deadline) {
        for (int i = 0; i < 16; ++i) {
            if (zmq_send(push, record.data(), record.size(), 0) < 0)
                Fail("zmq send");
            ++sent;
        }
    }
    std::string end = Header(kEndType);
    end.append(reinterpret_cast<const char*>(&sent), 8);
    zmq_send(push, end.data(), end.size(), 0);
    zmq_close(push);  // linger: everything queued is delivered first
    zmq_ctx_term(context);
    return 0;
}

// echo zmq <size>: PAIR
int PeerZmqEcho(int size) {
    (void)size;
    void* context = zmq_ctx_new();
    void* pair = zmq_socket(context, ZMQ_PAIR);
    if (zmq_bind(pair, "tcp://127.0.0.1:*") != 0)
        Fail("zmq bind");
    Report("PORT %d", ZmqBoundPort(pair));
    zmq_msg_t message;
    zmq_msg_init(&message);
    for (;;) {
        if (zmq_msg_recv(&message, pair, 0) < 0)
            Fail("zmq recv");
        if (IsEndRecord(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message)))
            break;
        if (zmq_msg_send(&message, pair, 0) < 0)
            Fail("zmq send");
    }
    zmq_msg_close(&message);
    zmq_close(pair);
    zmq_ctx_term(context);
    return 0;
}

// ping zmq <size> <port> <count>
int PeerZmqPing(int size, int port, int count) {
    void* context = zmq_ctx_new();
    void* pair = zmq_socket(context, ZMQ_PAIR);
    if (zmq_connect(pair, ZmqEndpoint(port).c_str()) != 0)
        Fail("zmq connect");
    std::string record = Header(kBlobType);
    record.append(Payload().data(), static_cast<std::size_t>(size));
    std::vector<char> reply(record.size() + 64);
    std::vector<std::int64_t> rtts;
    for (int i = 0; i < kPingWarmup + count; ++i) {
        const std::int64_t t0 = NowNs();
        if (zmq_send(pair, record.data(), record.size(), 0) < 0)
            Fail("zmq send");
        if (zmq_recv(pair, reply.data(), reply.size(), 0) < 0)
            Fail("zmq recv");
        const std::int64_t t1 = NowNs();
        if (i >= kPingWarmup)
            rtts.push_back(t1 - t0);
    }
    const std::string end = Header(kEndType);
    zmq_send(pair, end.data(), end.size(), 0);
    ReportLatencies(rtts);
    zmq_close(pair);
    zmq_ctx_term(context);
    return 0;
}
#endif

int RunPeer(int argc, char** argv) {
    // argv: --peer <role> <impl> <size> [port] [seconds|count] [extra]
    if (argc < 5)
        Fail("peer arguments");
    const std::string role = argv[2];
    const std::string impl = argv[3];
    const int size = std::atoi(argv[4]);
    Payload().assign(static_cast<std::size_t>(std::max(size, 8)), 'x');
    Scratch().assign(static_cast<std::size_t>(std::max(size, 8)), 0);
    const int port = argc > 5 ? std::atoi(argv[5]) : 0;
    const double amount = argc > 6 ? std::atof(argv[6]) : 0;
    if (role == "recv") {
        if (impl == "lib")
            return PeerLibReceive(size);
        if (impl == "raw-same" || impl == "raw-best")
            return PeerRawReceive(impl == "raw-best", size);
#ifdef KEP_HAVE_ZMQ
        if (impl == "zmq")
            return PeerZmqReceive(size);
#endif
    } else if (role == "send") {
        if (impl == "lib-imm" || impl == "lib-queued")
            return PeerLibSend(impl == "lib-queued", size, port, amount);
        if (impl == "raw-same" || impl == "raw-best")
            return PeerRawSend(impl == "raw-best", size, port, amount);
#ifdef KEP_HAVE_ZMQ
        if (impl == "zmq")
            return PeerZmqSend(size, port, amount);
#endif
    } else if (role == "echo") {
        if (impl == "lib")
            return PeerLibEcho(size);
        if (impl == "raw")
            return PeerRawEcho(size);
#ifdef KEP_HAVE_ZMQ
        if (impl == "zmq")
            return PeerZmqEcho(size);
#endif
    } else if (role == "ping") {
        if (impl == "lib")
            return PeerLibPing(size, port, static_cast<int>(amount));
        if (impl == "raw")
            return PeerRawPing(size, port, static_cast<int>(amount));
#ifdef KEP_HAVE_ZMQ
        if (impl == "zmq")
            return PeerZmqPing(size, port, static_cast<int>(amount));
#endif
    } else if (role == "scalerecv") {
        return PeerScaleReceive(std::atoi(impl.c_str()), size);
    } else if (role == "scalesend") {
        return PeerScaleSend(std::atoi(impl.c_str()), size, port, amount);
    }
    Fail("unknown peer role");
}

// ---------------------------------------------------------------------------------------------
// Orchestrator
// ---------------------------------------------------------------------------------------------

// A started peer: its pid and the read end of its standard output.
struct Peer {
    pid_t pid = -1;
    int out = -1;
    std::string pending;
};

Peer Spawn(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        Fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> all = {"/proc/self/exe", "--peer"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    Peer peer;
    if (posix_spawn(&peer.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
        Fail("posix_spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    peer.out = pipeFds[0];
    return peer;
}

// The next line the peer prints, or "" at its end or after the deadline.
std::string ReadLine(Peer& peer, double timeoutSeconds = kPeerDeadlineSeconds) {
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(timeoutSeconds * 1e9);
    for (;;) {
        const std::size_t newline = peer.pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = peer.pending.substr(0, newline);
            peer.pending.erase(0, newline + 1);
            return line;
        }
        const std::int64_t left = deadline - NowNs();
        if (left <= 0)
            return "";
        pollfd pfd{peer.out, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left / 1000000) + 1) <= 0)
            continue;
        char buffer[512];
        ssize_t got = read(peer.out, buffer, sizeof buffer);
        if (got <= 0)
            return "";
        peer.pending.append(buffer, static_cast<std::size_t>(got));
    }
}

// Waits for the peer's exit; kills it (by its pid) when it overstays.
bool Finish(Peer& peer) {
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(10e9);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(peer.pid, &status, WNOHANG);
        if (done == peer.pid)
            break;
        if (NowNs() > deadline) {
            kill(peer.pid, SIGKILL);
            waitpid(peer.pid, &status, 0);
            break;
        }
        usleep(1000);
    }
    close(peer.out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<long long> Numbers(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    std::vector<long long> numbers;
    long long value;
    while (in >> value)
        numbers.push_back(value);
    return numbers;
}

struct Options {
    int reps = 5;
    double seconds = 0.25;
    int pings = 4000;
    std::string out = "kep_compare.md";
    std::string svg = "kep_compare.svg";
};

// One-way throughput run: returns messages/s (0 on failure). passNs/passes for scaling runs.
double RunThroughput(const std::string& receiver, const std::string& sender, int size,
                     const Options& options, double* nsPerMessage = nullptr) {
    Peer recv = Spawn({receiver.rfind("scale", 0) == 0 ? "scalerecv" : "recv",
                       receiver.rfind("scale", 0) == 0 ? receiver.substr(5) : receiver,
                       std::to_string(size)});
    const std::string portLine = ReadLine(recv, 10);
    if (portLine.rfind("PORT ", 0) != 0) {
        Finish(recv);
        return 0;
    }
    const std::string port = portLine.substr(5);
    const bool scale = sender.rfind("scale", 0) == 0;
    Peer send = Spawn({scale ? "scalesend" : "send", scale ? sender.substr(5) : sender,
                       std::to_string(size), port, std::to_string(options.seconds)});
    const std::vector<long long> start = Numbers(ReadLine(send));
    const std::vector<long long> end = Numbers(ReadLine(recv));
    const bool sendOk = Finish(send);
    const bool recvOk = Finish(recv);
    if (start.empty() || end.size() < 3 || end[2] != 1 || !sendOk || !recvOk) {
        std::fprintf(stderr, "  run %s -> %s (%d B) failed\n", sender.c_str(), receiver.c_str(),
                     size);
        return 0;
    }
    const double seconds = static_cast<double>(end[0] - start[0]) / 1e9;
    if (nsPerMessage != nullptr && end.size() >= 5 && end[1] > 0) {
        *nsPerMessage = static_cast<double>(end[3]) / static_cast<double>(end[1]);
    }
    return static_cast<double>(end[1]) / seconds;
}

// Ping-pong run: median and p99 in microseconds.
bool RunPingPong(const std::string& impl, int size, const Options& options, double& median,
                 double& p99) {
    Peer echo = Spawn({"echo", impl, std::to_string(size)});
    const std::string portLine = ReadLine(echo, 10);
    if (portLine.rfind("PORT ", 0) != 0) {
        Finish(echo);
        return false;
    }
    Peer ping = Spawn(
        {"ping", impl, std::to_string(size), portLine.substr(5), std::to_string(options.pings)});
    const std::vector<long long> rtt = Numbers(ReadLine(ping));
    const bool pingOk = Finish(ping);
    const bool echoOk = Finish(echo);
    if (rtt.size() < 2 || !pingOk || !echoOk) {
        std::fprintf(stderr, "  ping-pong %s failed\n", impl.c_str());
        return false;
    }
    median = static_cast<double>(rtt[0]) / 1000.0;
    p99 = static_cast<double>(rtt[1]) / 1000.0;
    return true;
}

double Median(std::vector<double> values) {
    values.erase(std::remove(values.begin(), values.end(), 0.0), values.end());
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Fixed(double value, int decimals) {
    if (value == 0)
        return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double value, double reference) {
    if (value == 0 || reference == 0)
        return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", value / reference);
    return text;
}

std::string SizeLabel(int size) {
    if (size >= (1 << 20))
        return std::to_string(size >> 20) + " MiB";
    if (size >= 1024)
        return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

std::string ReadCpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

struct ThroughputImpl {
    const char* key;
    const char* label;
    const char* receiver;
    const char* sender;
    const char* colour;
};

const ThroughputImpl kThroughputImpls[] = {
    {"lib-imm", "KEP immediate", "lib", "lib-imm", "#1f77b4"},
    {"lib-queued", "KEP queued", "lib", "lib-queued", "#6baed6"},
    {"raw-same", "raw TCP, same calls", "raw-same", "raw-same", "#ff7f0e"},
    {"raw-best", "raw TCP, best", "raw-best", "raw-best", "#d62728"},
    {"zmq", "ZeroMQ PUSH/PULL", "zmq", "zmq", "#2ca02c"},
};
const int kSizes[] = {64, 4096, 65536, 1 << 20};
const int kScaleConnections[] = {1, 16, 64};

struct Results {
    std::map<std::string, std::map<int, double>> rate;   // impl -> size -> msgs/s
    std::map<std::string, double> pingMedian, pingP99;   // impl -> us
    std::map<int, double> scaleRate, scaleNsPerMessage;  // connections -> value
};

void WriteSvg(const std::string& path, const Results& results, bool haveZmq) {
    std::ofstream svg(path);
    const int width = 900, height = 640;
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height
        << "' font-family='sans-serif' font-size='12'>\n<rect width='100%' height='100%' "
           "fill='white'/>\n";
    // Panel 1: MB/s per body size, log scale.
    const int left = 70, top = 40, plotW = 800, plotH = 300;
    svg << "<text x='" << left
        << "' y='24' font-size='15'>One-way throughput (MB/s, log "
           "scale), median of runs</text>\n";
    const double lo = 1, hi = 100000;  // 1 MB/s .. 100 GB/s
    auto yOf = [&](double mbps) {
        const double v = std::max(mbps, lo);
        return top + plotH - (std::log10(v / lo) / std::log10(hi / lo)) * plotH;
    };
    for (double tick = 1; tick <= hi; tick *= 10) {
        const double y = yOf(tick);
        svg << "<line x1='" << left << "' x2='" << left + plotW << "' y1='" << y << "' y2='" << y
            << "' stroke='#ddd'/>\n<text x='" << left - 6 << "' y='" << y + 4
            << "' text-anchor='end'>" << tick << "</text>\n";
    }
    const int groups = 4, impls = 5;
    const double groupW = plotW / static_cast<double>(groups);
    const double barW = groupW * 0.8 / impls;
    for (int g = 0; g < groups; ++g) {
        const int size = kSizes[g];
        for (int i = 0; i < impls; ++i) {
            const ThroughputImpl& impl = kThroughputImpls[i];
            if (!haveZmq && std::string(impl.key) == "zmq")
                continue;
            auto found = results.rate.find(impl.key);
            if (found == results.rate.end() || found->second.count(size) == 0)
                continue;
            const double mbps = found->second.at(size) * size / 1e6;
            const double x = left + g * groupW + groupW * 0.1 + i * barW;
            const double y = yOf(mbps);
            svg << "<rect x='" << x << "' y='" << y << "' width='" << barW - 2 << "' height='"
                << top + plotH - y << "' fill='" << impl.colour << "'><title>" << impl.label << " "
                << SizeLabel(size) << ": " << Fixed(mbps, 1) << " MB/s</title></rect>\n";
        }
        svg << "<text x='" << left + g * groupW + groupW / 2 << "' y='" << top + plotH + 18
            << "' text-anchor='middle'>" << SizeLabel(size) << "</text>\n";
    }
    for (int i = 0; i < impls; ++i) {
        const int x = left + 10 + i * 160;
        svg << "<rect x='" << x << "' y='" << top + plotH + 30 << "' width='12' height='12' fill='"
            << kThroughputImpls[i].colour << "'/><text x='" << x + 16 << "' y='" << top + plotH + 41
            << "'>" << kThroughputImpls[i].label << "</text>\n";
    }
    // Panel 2: ping-pong medians; panel 3: receive cost per message by connection count.
    const int top2 = 430, plotH2 = 150;
    auto bars = [&](int x0, const char* title, const std::vector<std::pair<std::string, double>>& v,
                    const char* unit) {
        double maxValue = 0;
        for (const auto& item : v)
            maxValue = std::max(maxValue, item.second);
        if (maxValue <= 0)
            maxValue = 1;
        svg << "<text x='" << x0 << "' y='" << top2 - 16 << "' font-size='15'>" << title
            << "</text>\n";
        const double w = 90;
        for (std::size_t i = 0; i < v.size(); ++i) {
            const double h = v[i].second / maxValue * plotH2;
            const double x = x0 + static_cast<double>(i) * (w + 20);
            svg << "<rect x='" << x << "' y='" << top2 + plotH2 - h << "' width='" << w
                << "' height='" << h << "' fill='#888'/>\n<text x='" << x + w / 2 << "' y='"
                << top2 + plotH2 - h - 4 << "' text-anchor='middle'>" << Fixed(v[i].second, 1)
                << " " << unit << "</text>\n<text x='" << x + w / 2 << "' y='" << top2 + plotH2 + 16
                << "' text-anchor='middle'>" << v[i].first << "</text>\n";
        }
    };
    std::vector<std::pair<std::string, double>> ping;
    for (const char* impl : {"lib", "raw", "zmq"}) {
        auto found = results.pingMedian.find(impl);
        if (found != results.pingMedian.end())
            ping.push_back({std::string(impl) == "lib" ? "KEP" : impl, found->second});
    }
    bars(left, "Ping-pong 64 B, median round trip", ping, "us");
    std::vector<std::pair<std::string, double>> scale;
    for (int connections : kScaleConnections) {
        auto found = results.scaleNsPerMessage.find(connections);
        if (found != results.scaleNsPerMessage.end())
            scale.push_back({std::to_string(connections) + " conn", found->second});
    }
    bars(left + 420, "KEP receive pass: ns per message", scale, "ns");
    svg << "</svg>\n";
}

int RunOrchestrator(const Options& options) {
#ifdef KEP_HAVE_ZMQ
    const bool haveZmq = true;
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    std::printf("ZeroMQ %d.%d.%d found\n", major, minor, patch);
#else
    const bool haveZmq = false;
    std::printf("ZeroMQ not found at build time (install libzmq3-dev): ZeroMQ rows skipped\n");
#endif
    std::printf("%d repetitions, %.2f s per throughput run, %d round trips per ping-pong run\n",
                options.reps, options.seconds, options.pings);
    std::fflush(stdout);

    std::map<std::string, std::map<int, std::vector<double>>> rates;
    std::map<std::string, std::vector<double>> pingMedians, pingP99s;
    std::map<int, std::vector<double>> scaleRates, scaleCosts;
    for (int rep = 0; rep < options.reps; ++rep) {
        std::printf("repetition %d/%d\n", rep + 1, options.reps);
        std::fflush(stdout);
        for (int size : kSizes) {
            for (const ThroughputImpl& impl : kThroughputImpls) {
                if (!haveZmq && std::string(impl.key) == "zmq")
                    continue;
                rates[impl.key][size].push_back(
                    RunThroughput(impl.receiver, impl.sender, size, options));
            }
        }
        for (const char* impl : {"lib", "raw", "zmq"}) {
            if (!haveZmq && std::string(impl) == "zmq")
                continue;
            double median = 0, p99 = 0;
            if (RunPingPong(impl, 64, options, median, p99)) {
                pingMedians[impl].push_back(median);
                pingP99s[impl].push_back(p99);
            }
        }
        for (int connections : kScaleConnections) {
            double nsPerMessage = 0;
            const std::string n = std::to_string(connections);
            scaleRates[connections].push_back(
                RunThroughput("scale" + n, "scale" + n, 64, options, &nsPerMessage));
            scaleCosts[connections].push_back(nsPerMessage);
        }
    }

    Results results;
    for (auto& byImpl : rates)
        for (auto& bySize : byImpl.second)
            results.rate[byImpl.first][bySize.first] = Median(bySize.second);
    for (auto& item : pingMedians)
        results.pingMedian[item.first] = Median(item.second);
    for (auto& item : pingP99s)
        results.pingP99[item.first] = Median(item.second);
    for (auto& item : scaleRates)
        results.scaleRate[item.first] = Median(item.second);
    for (auto& item : scaleCosts)
        results.scaleNsPerMessage[item.first] = Median(item.second);

    auto rate = [&](const char* impl, int size) {
        auto found = results.rate.find(impl);
        if (found == results.rate.end() || found->second.count(size) == 0)
            return 0.0;
        return found->second.at(size);
    };

    std::ostringstream md;
    char hostname[256] = "";
    gethostname(hostname, sizeof hostname);
    md << "Machine: " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs (nproc), " << ReadCpuModel()
       << "; loopback TCP; median of " << options.reps << " runs, " << options.seconds
       << " s per throughput run.\n\n";
    md << "### One-way throughput\n\n"
       << "| Body | Implementation | msgs/s | MB/s | vs raw same calls | vs raw best | vs ZeroMQ "
          "|\n"
       << "|---|---|---:|---:|---:|---:|---:|\n";
    for (int size : kSizes) {
        for (const ThroughputImpl& impl : kThroughputImpls) {
            if (!haveZmq && std::string(impl.key) == "zmq")
                continue;
            const double r = rate(impl.key, size);
            md << "| " << SizeLabel(size) << " | " << impl.label << " | " << Fixed(r, 0) << " | "
               << Fixed(r * size / 1e6, 1) << " | " << Ratio(r, rate("raw-same", size)) << " | "
               << Ratio(r, rate("raw-best", size)) << " | "
               << (haveZmq ? Ratio(r, rate("zmq", size)) : "n/a") << " |\n";
        }
    }
    md << "\n### Ping-pong, 64 B bodies (round trip)\n\n"
       << "| Implementation | median us | p99 us | median vs raw | median vs ZeroMQ |\n"
       << "|---|---:|---:|---:|---:|\n";
    for (const char* impl : {"lib", "raw", "zmq"}) {
        if (!haveZmq && std::string(impl) == "zmq")
            continue;
        const char* label = std::string(impl) == "lib"   ? "KEP (immediate send, passes)"
                            : std::string(impl) == "raw" ? "raw TCP, same calls"
                                                         : "ZeroMQ PAIR";
        md << "| " << label << " | " << Fixed(results.pingMedian[impl], 1) << " | "
           << Fixed(results.pingP99[impl], 1) << " | "
           << Ratio(results.pingMedian[impl], results.pingMedian["raw"]) << " | "
           << (haveZmq ? Ratio(results.pingMedian[impl], results.pingMedian["zmq"]) : "n/a")
           << " |\n";
    }
    md << "\n### Receive scaling, 64 B bodies, batched raw sender, KEP receive passes\n\n"
       << "| Busy connections | msgs/s | pass time per message ns | cost vs 1 connection |\n"
       << "|---:|---:|---:|---:|\n";
    for (int connections : kScaleConnections) {
        md << "| " << connections << " | " << Fixed(results.scaleRate[connections], 0) << " | "
           << Fixed(results.scaleNsPerMessage[connections], 0) << " | "
           << Ratio(results.scaleNsPerMessage[connections], results.scaleNsPerMessage[1]) << " |\n";
    }
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    const double queuedVsZmq =
        haveZmq && rate("zmq", 64) > 0 ? rate("lib-queued", 64) / rate("zmq", 64) : 0;
    const double immVsRaw =
        rate("raw-same", 64) > 0 ? rate("lib-imm", 64) / rate("raw-same", 64) : 0;
    const double bigQueued = rate("raw-best", 1 << 20) > 0
                                 ? std::max(rate("lib-imm", 1 << 20), rate("lib-queued", 1 << 20)) /
                                       rate("raw-best", 1 << 20)
                                 : 0;
    const double pingVsRaw =
        results.pingMedian["raw"] > 0 ? results.pingMedian["lib"] / results.pingMedian["raw"] : 0;
    const double scaleCost = results.scaleNsPerMessage[1] > 0
                                 ? results.scaleNsPerMessage[64] / results.scaleNsPerMessage[1]
                                 : 0;
    char line[256];
    md << "\n### Targets\n\n| Target | Measured | Verdict |\n|---|---:|---|\n";
    std::snprintf(line, sizeof line, "| queued 64 B >= 1.0x ZeroMQ msgs/s | %.2fx | %s |\n",
                  queuedVsZmq, verdict(queuedVsZmq >= 1.0));
    md << line;
    std::snprintf(line, sizeof line, "| immediate 64 B >= 0.8x raw same calls | %.2fx | %s |\n",
                  immVsRaw, verdict(immVsRaw >= 0.8));
    md << line;
    std::snprintf(line, sizeof line, "| 1 MiB >= 0.9x raw best (better KEP mode) | %.2fx | %s |\n",
                  bigQueued, verdict(bigQueued >= 0.9));
    md << line;
    std::snprintf(line, sizeof line, "| ping-pong 64 B median <= 1.3x raw | %.2fx | %s |\n",
                  pingVsRaw, verdict(pingVsRaw > 0 && pingVsRaw <= 1.3));
    md << line;
    std::snprintf(line, sizeof line,
                  "| 64 connections: cost per message <= 1.5x one connection | %.2fx | %s |\n",
                  scaleCost, verdict(scaleCost > 0 && scaleCost <= 1.5));
    md << line;

    std::printf("\n%s", md.str().c_str());
    std::ofstream(options.out) << "## KEP benchmark results\n\n" << md.str();
    WriteSvg(options.svg, results, haveZmq);
    std::printf("\nwritten: %s, %s\n", options.out.c_str(), options.svg.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--peer") == 0) {
        return RunPeer(argc, argv);
    }
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--reps")
            options.reps = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--seconds")
            options.seconds = std::atof(argv[i + 1]);
        else if (flag == "--pings")
            options.pings = std::max(10, std::atoi(argv[i + 1]));
        else if (flag == "--out")
            options.out = argv[i + 1];
        else if (flag == "--svg")
            options.svg = argv[i + 1];
        else {
            std::fprintf(stderr,
                         "usage: kep_compare [--reps N] [--seconds S] [--pings N] [--out F.md] "
                         "[--svg F.svg]\n");
            return 2;
        }
    }
    return RunOrchestrator(options);
}
