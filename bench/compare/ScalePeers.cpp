// The receive-scaling peers: a batched raw sender on 1, 16 or 64 connections against the
// library's receive pass run by hand, timed per pass that delivered data.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "LibPeer.h"
#include "PeerRoles.h"
#include "RawSockets.h"
#include "channels/KEPMsgChannelQueryByLabel.h"

namespace kepbench {

namespace {

// scalerecv <connections> <size>
int Receive(const PeerArgs& args) {
    const int connections = std::atoi(args.impl.c_str());
    LibSetup setup(args.size);
    LibReceiveState state;
    state.endsWanted = connections;
    CollectReceivedInto(state);
    Report("PORT %d", LibListen());
    const std::int64_t deadline = DeadlineAfter(kPeerDeadlineSeconds);
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

// scalesend <connections> <size> <port> <seconds>: batched raw writes, round robin.
int Send(const PeerArgs& args) {
    const std::size_t connections = static_cast<std::size_t>(std::atoi(args.impl.c_str()));
    std::vector<int> fds;
    for (std::size_t i = 0; i < connections; ++i) {
        fds.push_back(ConnectLoopback(args.port));
        SetInt(fds.back(), IPPROTO_TCP, TCP_NODELAY, 1);
    }
    const std::string header = Header(kBlobType);
    const std::size_t record = header.size() + static_cast<std::size_t>(args.size);
    const std::size_t perBatch = std::max<std::size_t>(1, 65536 / record);
    std::vector<char> batch;
    for (std::size_t i = 0; i < perBatch; ++i) {
        batch.insert(batch.end(), header.begin(), header.end());
        batch.insert(batch.end(), Payload().begin(), Payload().begin() + args.size);
    }
    std::vector<std::uint64_t> sent(connections, 0);
    const std::int64_t start = NowNs();
    const std::int64_t deadline = DeadlineAfter(args.amount);
    Report("START %lld", static_cast<long long>(start));
    while (NowNs() < deadline) {
        for (std::size_t i = 0; i < connections; ++i) {
            SendAll(fds[i], batch.data(), batch.size());
            sent[i] += perBatch;
        }
    }
    const std::string endHeader = Header(kEndType);
    for (std::size_t i = 0; i < connections; ++i) {
        std::string end = endHeader;
        end.append(reinterpret_cast<const char*>(&sent[i]), 8);
        SendAll(fds[i], end.data(), end.size());
    }
    for (int fd : fds)
        DrainUntilClosed(fd);
    return 0;
}

const PeerRole kRoles[] = {{"scalerecv", "*", Receive}, {"scalesend", "*", Send}};

}  // namespace

}  // namespace kepbench
