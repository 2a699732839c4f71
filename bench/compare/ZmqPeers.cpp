// ZeroMQ peers (built only when libzmq is found): PUSH/PULL one-way, PAIR and REQ/REP round
// trips. Every zmq message is one whole record, the library's header included.
#include <zmq.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "PeerRoles.h"

namespace kepbench {

namespace {

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

std::string BlobRecord(int size) {
    std::string record = Header(kBlobType);
    record.append(Payload().data(), static_cast<std::size_t>(size));
    return record;
}

// recv zmq <size>: PULL
int Receive(const PeerArgs& args) {
    void* context = zmq_ctx_new();
    void* pull = zmq_socket(context, ZMQ_PULL);
    if (zmq_bind(pull, "tcp://127.0.0.1:*") != 0)
        Fail("zmq bind");
    Report("PORT %d", ZmqBoundPort(pull));
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    const std::size_t recordSize = Header(kBlobType).size() + static_cast<std::size_t>(args.size);
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
        if (length != recordSize)
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
int Send(const PeerArgs& args) {
    void* context = zmq_ctx_new();
    void* push = zmq_socket(context, ZMQ_PUSH);
    if (zmq_connect(push, ZmqEndpoint(args.port).c_str()) != 0)
        Fail("zmq connect");
    const std::string record = BlobRecord(args.size);
    const std::int64_t start = NowNs();
    const std::int64_t deadline = DeadlineAfter(args.amount);
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

// echo zmq|zmq-rep <size>: PAIR or REP, answers every record with itself until the end marker.
int Echo(const PeerArgs& args) {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, args.impl == "zmq-rep" ? ZMQ_REP : ZMQ_PAIR);
    if (zmq_bind(socket, "tcp://127.0.0.1:*") != 0)
        Fail("zmq bind");
    Report("PORT %d", ZmqBoundPort(socket));
    zmq_msg_t message;
    zmq_msg_init(&message);
    for (;;) {
        if (zmq_msg_recv(&message, socket, 0) < 0)
            Fail("zmq recv");
        if (IsEndRecord(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message)))
            break;
        if (zmq_msg_send(&message, socket, 0) < 0)
            Fail("zmq send");
    }
    zmq_msg_close(&message);
    zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}

// ping zmq|zmq-req <size> <port> <count>: PAIR or REQ
int Ping(const PeerArgs& args) {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, args.impl == "zmq-req" ? ZMQ_REQ : ZMQ_PAIR);
    if (zmq_connect(socket, ZmqEndpoint(args.port).c_str()) != 0)
        Fail("zmq connect");
    const std::string record = BlobRecord(args.size);
    std::vector<char> reply(record.size() + 64);
    std::vector<std::int64_t> rtts;
    for (int i = 0; i < kPingWarmup + static_cast<int>(args.amount); ++i) {
        const std::int64_t t0 = NowNs();
        if (zmq_send(socket, record.data(), record.size(), 0) < 0)
            Fail("zmq send");
        if (zmq_recv(socket, reply.data(), reply.size(), 0) < 0)
            Fail("zmq recv");
        const std::int64_t t1 = NowNs();
        if (i >= kPingWarmup)
            rtts.push_back(t1 - t0);
    }
    const std::string end = Header(kEndType);
    zmq_send(socket, end.data(), end.size(), 0);
    ReportLatencies(rtts);
    zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}

const PeerRole kRoles[] = {
    {"recv", "zmq", Receive},  {"send", "zmq", Send}, {"echo", "zmq", Echo},
    {"echo", "zmq-rep", Echo}, {"ping", "zmq", Ping}, {"ping", "zmq-req", Ping},
};

}  // namespace

}  // namespace kepbench
