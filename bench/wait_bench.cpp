// Cost of one KEPMsgChannelWaitable::WaitForConnectionAndMessages over 1, 64 and 1000 channels
// of which 10% have a byte waiting (the data is never read, so every wait sees the same ready
// set). BM_Wait runs the library's wait; BM_WaitPerReadyScan runs, for comparison, a wait that
// scans the whole channel list once per ready socket, fetching label and socket of each channel
// with one connection-services lock round trip apiece.
//
// Sizes above the descriptor set's capacity (KEP_FD_SETSIZE, 64 unless configured with
// -DKEP_FD_SETSIZE=1024) are skipped with a message.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"
#include "base/KEPBasAtiMutex.h"
#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelWaitable.h"
#include "channels/KEPMsgWaitTimeout.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"

namespace {

// N connected socket pairs: the library's ends in the connection table with channels on them,
// the peers kept here; every tenth channel (at least one) has a byte waiting.
class Connections {
  public:
    explicit Connections(int count) {
        KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
        for (int i = 0; i < count; ++i) {
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
                m_failed = true;
                return;
            }
            KEPMsgCommSocket* socket = new KEPMsgCommSocket(
                KEPMsgSocketAddress(KEPMsgInetAddress(KEPString("")), 0), pair[0]);
            services.AddConnection(socket);
            m_peers.push_back(pair[1]);
            m_channels.push_back(KEPMsgChannel(socket, KEPString(i % 7 == 3 ? "peer" : "")));
            if (i % 10 == 0) {
                char byte = 'r';
                if (::send(pair[1], &byte, 1, MSG_NOSIGNAL) != 1) {
                    m_failed = true;
                }
            }
        }
    }
    ~Connections() {
        for (int i = 0; i < m_channels.size(); ++i) {
            m_channels[i].Shutdown();
        }
        for (int peer : m_peers) {
            ::close(peer);
        }
    }
    bool failed() const { return m_failed; }
    const KEPBasVector<KEPMsgChannel>& channels() const { return m_channels; }

  private:
    KEPBasVector<KEPMsgChannel> m_channels;
    std::vector<int> m_peers;
    bool m_failed = false;
};

// The per-ready-socket scan: a first pass with GetSocket per channel, then for each ready id
// a pass over the whole list taking the label and the socket of every channel.
void WaitPerReadyScan(KEPMsgChannelWaitable& waitable, int timeoutMs) {
    using IdTable = omi_IntTable<void*, KEPBasOmiDefaultAllocator>;
    IdTable ids;
    kepwsa::fd_set readSet;
    kepwsa::FD_ZERO(&readSet);
    int highestId = -1;
    KEPBasAtiScopedLock<KEPMsgWaitableLock> guard(KEPMsgWaitableLock::Instance());
    KEPBasVector<KEPMsgChannel>& channels = waitable.Channels();
    for (int i = 0; i < channels.size(); ++i) {
        KEPMsgSocket* socket = channels[i].GetSocket();
        if (socket == nullptr || socket->IsClosed()) {
            continue;
        }
        const int id = socket->GetId();
        kepwsa::FD_SET(id, &readSet);
        if (id > highestId) {
            highestId = id;
        }
        void* value = socket;
        ids.Insert(id, value);
    }
    if (highestId == -1) {
        return;
    }
    timeval timeout = KEPMsgWaitTimeout(timeoutMs);
    if (kepwsa::select(highestId + 1, &readSet, nullptr, nullptr, &timeout) ==
        kepwsa::SOCKET_ERROR) {
        return;
    }
    const KEPString internal("__internal");
    omi_IntTableIterator<void*, KEPBasOmiDefaultAllocator> it(ids);
    for (it.First(); !it.IsDone(); it.Next()) {
        const int id = it.CurrentKey();
        if (!kepwsa::FD_ISSET(id, &readSet)) {
            continue;
        }
        if (dynamic_cast<KEPMsgServerSocket*>(static_cast<KEPMsgSocket*>(it.CurrentValue()))) {
            continue;  // no listening sockets in this benchmark
        }
        for (int i = 0; i < channels.size(); ++i) {
            KEPString label = channels[i].GetLabel();
            KEPMsgSocket* socket = channels[i].GetSocket();
            if (socket != nullptr && socket->GetId() == id) {
                if (label.FindPosition(internal, 0) != -1) {
                    waitable.SetListenInterrupted(true);
                } else {
                    waitable.Listen().push_back(channels[i]);
                }
            }
        }
    }
}

template <void (*Wait)(KEPMsgChannelWaitable&)>
void RunWait(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    if (count > KEP_FD_SETSIZE) {
        state.SkipWithError(
            "more channels than the descriptor set holds; "
            "configure with -DKEP_FD_SETSIZE=1024");
        return;
    }
    Connections connections(count);
    if (connections.failed()) {
        state.SkipWithError("could not make the socket pairs (descriptor limit?)");
        return;
    }
    KEPMsgChannelWaitable waitable(connections.channels());
    int listed = 0;
    for (auto _ : state) {
        Wait(waitable);
        listed = waitable.Listen().size();
        waitable.Listen().Clear();
    }
    state.counters["ready"] = listed;
}

void LibraryWait(KEPMsgChannelWaitable& waitable) {
    waitable.WaitForConnectionAndMessages(0);
}

void ScanWait(KEPMsgChannelWaitable& waitable) {
    WaitPerReadyScan(waitable, 0);
}

void BM_Wait(benchmark::State& state) {
    RunWait<LibraryWait>(state);
}

void BM_WaitPerReadyScan(benchmark::State& state) {
    RunWait<ScanWait>(state);
}

BENCHMARK(BM_Wait)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_WaitPerReadyScan)->Arg(1)->Arg(64)->Arg(1000);

// 1000 socket pairs need about 2000 descriptors: raise the soft limit towards the hard one.
void RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur =
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted) ? wanted : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::fprintf(stderr, "could not raise the descriptor limit\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    RaiseDescriptorLimit(4096);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
