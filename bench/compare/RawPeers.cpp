// Raw TCP peers, with the library's framing:
//   raw-same  the library's calls: send header, send body; recv count, recv name, recv body;
//   raw-best  256 KiB batches both ways;
//   raw-one   one send per message (header and body together), buffered reads;
//   raw-sys   one send per message with the system's send-buffer sizing (no SO_SNDBUF), and a
//             plain receiver: the header, then the body straight into its buffer.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "PeerRoles.h"
#include "RawSockets.h"

namespace kepbench {

namespace {

// The next record from a buffered reader: false at the end marker (its count in expected).
bool NextBufferedRecord(FrameReader& reader, int size, std::uint64_t& expected) {
    if (!reader.Need(4))
        Fail("early end");
    std::uint32_t n;
    std::memcpy(&n, reader.Data(), 4);
    if (!reader.Need(4 + n))
        Fail("early end");
    const bool isEnd = IsEndRecord(reader.Data(), 4 + n);
    reader.Consume(4 + n);
    if (isEnd) {
        if (!reader.Need(8))
            Fail("early end");
        std::memcpy(&expected, reader.Data(), 8);
        reader.Consume(8);
        return false;
    }
    if (!reader.Skip(static_cast<std::size_t>(size)))
        Fail("early end");
    return true;
}

// The options of a raw peer's connection: the library's, or for raw-sys Nagle off alone.
void RawOptions(int fd, const std::string& impl) {
    if (impl == "raw-sys") {
        SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    } else {
        LibraryLikeOptions(fd);
    }
}

// recv raw-same|raw-best|raw-one|raw-sys <size>
int Receive(const PeerArgs& args) {
    int port = 0;
    int listener = ListenLoopback(port);
    Report("PORT %d", port);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        Fail("accept");
    RawOptions(fd, args.impl);
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    if (args.impl != "raw-same" && args.impl != "raw-sys") {
        FrameReader reader(fd);
        while (NextBufferedRecord(reader, args.size, expected))
            ++received;
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
            RecvAll(fd, Scratch().data(), static_cast<std::size_t>(args.size));
            ++received;
        }
    }
    const std::int64_t end = NowNs();
    const bool ok = received == expected;
    Report("END %lld %llu %d", static_cast<long long>(end),
           static_cast<unsigned long long>(received), ok ? 1 : 0);
    close(fd);
    close(listener);
    return ok ? 0 : 1;
}

// Whole records packed into a large buffer; bodies larger than half of it go out directly.
std::uint64_t SendBatched(int fd, int size, std::int64_t deadline, std::vector<char>& batch) {
    const std::string header = Header(kBlobType);
    batch.reserve(kBigBuffer + header.size() + static_cast<std::size_t>(size));
    std::uint64_t sent = 0;
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
    return sent;
}

// send raw-same|raw-best|raw-one|raw-sys <size> <port> <seconds>
int Send(const PeerArgs& args) {
    int fd = ConnectLoopback(args.port);
    const std::string header = Header(kBlobType);
    const std::size_t size = static_cast<std::size_t>(args.size);
    RawOptions(fd, args.impl == "raw-best" ? "raw-sys" : args.impl);
    const std::int64_t start = NowNs();
    const std::int64_t deadline = DeadlineAfter(args.amount);
    Report("START %lld", static_cast<long long>(start));
    std::uint64_t sent = 0;
    std::vector<char> tail;  // bytes still to go out before the end marker
    if (args.impl == "raw-best") {
        sent = SendBatched(fd, args.size, deadline, tail);
    } else if (args.impl == "raw-one" || args.impl == "raw-sys") {
        std::string record = header;
        record.append(Payload().data(), size);
        while (NowNs() < deadline) {
            for (int i = 0; i < 16; ++i) {
                SendAll(fd, record.data(), record.size());
                ++sent;
            }
        }
    } else {
        while (NowNs() < deadline) {
            for (int i = 0; i < 16; ++i) {
                SendAll(fd, header.data(), header.size());
                SendAll(fd, Payload().data(), size);
                ++sent;
            }
        }
    }
    const std::string endHeader = Header(kEndType);
    tail.insert(tail.end(), endHeader.begin(), endHeader.end());
    tail.insert(tail.end(), reinterpret_cast<char*>(&sent), reinterpret_cast<char*>(&sent) + 8);
    if (args.impl == "raw-same") {
        SendAll(fd, endHeader.data(), endHeader.size());
        SendAll(fd, reinterpret_cast<char*>(&sent), 8);
    } else {
        SendAll(fd, tail.data(), tail.size());
    }
    DrainUntilClosed(fd);
    return 0;
}

// echo raw|raw-one <size>: answers every record with the same record until the end marker.
int Echo(const PeerArgs& args) {
    int port = 0;
    int listener = ListenLoopback(port);
    Report("PORT %d", port);
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        Fail("accept");
    LibraryLikeOptions(fd);
    const std::size_t size = static_cast<std::size_t>(args.size);
    if (args.impl == "raw-one") {
        FrameReader reader(fd);
        std::string reply = Header(kBlobType);
        reply.append(Payload().data(), size);
        std::uint64_t ignored = 0;
        while (NextBufferedRecord(reader, args.size, ignored))
            SendAll(fd, reply.data(), reply.size());
    } else {
        char name[64];
        for (;;) {
            std::uint32_t n = 0;
            RecvAll(fd, reinterpret_cast<char*>(&n), 4);
            if (n >= sizeof name)
                Fail("bad header");
            RecvAll(fd, name, n);
            if (n == std::strlen(kEndType))
                break;
            RecvAll(fd, Scratch().data(), size);
            SendAll(fd, reinterpret_cast<char*>(&n), 4);
            SendAll(fd, name, n);
            SendAll(fd, Scratch().data(), size);
        }
    }
    close(fd);
    close(listener);
    return 0;
}

// ping raw|raw-one <size> <port> <count>
int Ping(const PeerArgs& args) {
    int fd = ConnectLoopback(args.port);
    LibraryLikeOptions(fd);
    const std::string header = Header(kBlobType);
    const std::size_t size = static_cast<std::size_t>(args.size);
    const bool oneSend = args.impl == "raw-one";
    std::string record = header;
    record.append(Payload().data(), size);
    FrameReader reader(fd);
    std::vector<std::int64_t> rtts;
    char name[64];
    for (int i = 0; i < kPingWarmup + static_cast<int>(args.amount); ++i) {
        const std::int64_t t0 = NowNs();
        if (oneSend) {
            SendAll(fd, record.data(), record.size());
            std::uint64_t ignored = 0;
            if (!NextBufferedRecord(reader, args.size, ignored))
                Fail("unexpected end marker");
        } else {
            SendAll(fd, header.data(), header.size());
            SendAll(fd, Payload().data(), size);
            std::uint32_t n = 0;
            RecvAll(fd, reinterpret_cast<char*>(&n), 4);
            if (n >= sizeof name)
                Fail("bad header");
            RecvAll(fd, name, n);
            RecvAll(fd, Scratch().data(), size);
        }
        const std::int64_t t1 = NowNs();
        if (i >= kPingWarmup)
            rtts.push_back(t1 - t0);
    }
    std::string end = Header(kEndType);
    if (oneSend)
        end.append(8, '\0');  // the buffered echo reads the end marker's count
    SendAll(fd, end.data(), end.size());
    ReportLatencies(rtts);
    DrainUntilClosed(fd);
    return 0;
}

const PeerRole kRoles[] = {
    {"recv", "raw-same", Receive}, {"recv", "raw-best", Receive}, {"recv", "raw-one", Receive},
    {"recv", "raw-sys", Receive},  {"send", "raw-same", Send},    {"send", "raw-best", Send},
    {"send", "raw-one", Send},     {"send", "raw-sys", Send},     {"echo", "raw", Echo},
    {"echo", "raw-one", Echo},     {"ping", "raw", Ping},         {"ping", "raw-one", Ping},
};

}  // namespace

}  // namespace kepbench
