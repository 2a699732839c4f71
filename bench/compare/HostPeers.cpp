// The library's peers in the shape README teaches a host: a message task (KEPMsgMessageTask on
// a KEPBasAtiThread) on each side, the main thread blocking in RetrieveMessages for what it
// waits for. The answering side's notification callback only signals a condition variable and
// its main thread answers, as the kepmsg tool does.
//   echo/ping host-imm|host-queued   64 B request/reply, answers and requests sent immediately
//                                    (SendSocketMessage) or queued (ISendSocketMessage);
//   echo host-cb-imm|host-cb-queued  the same server, answering from the callback itself;
//   recv host|host-drain             one-way receiver, with the receive drain off or on;
//   send host-queued|host-imm        one-way sender; its message task writes queued records;
//   recv host-sys, send host-imm-sys the same with the system's send-buffer sizing;
//   echo/ping/send host-imm-tls, recv host-tls
//                                    the same immediate peers over TLS;
//   idle none|gone                   a task's CPU over a second, with nothing open or after its
//                                    only peer went away.
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "LibPeer.h"
#include "PeerRoles.h"
#include "RawSockets.h"
#include "base/KEPBasAtiThread.h"
#include "messaging/KEPMsgChannelMsgStruct.h"
#include "messaging/KEPMsgMessageQuery.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgMessageTask.h"

namespace kepbench {

namespace {

constexpr int kDrainLimit = 64;         // messages per channel and pass with the drain on
constexpr int kReplyTimeoutMs = 10000;  // a reply this late is a failure
constexpr int kMaxQueuedBatches = 16;   // a queued sender waits beyond this many batches
constexpr double kIdleSeconds = 1.0;

// The message task on its own thread for the object's lifetime.
class HostTask {
  public:
    HostTask() : m_thread(&m_task) {
        Comm().PrepareStartupMessageTask();
        if (!m_thread.Start())
            Fail("message task start");
    }
    ~HostTask() {
        Comm().ShutdownMessageTask();
        m_thread.Join();
    }

  private:
    KEPMsgMessageTask m_task;
    KEPBasAtiThread m_thread;
};

// Selects every stored message: a receiver registers only the benchmark's two types.
class EveryMessage : public KEPMsgMessageQuery {
  public:
    void Search(const KEPBasVector<KEPBasSocketMessage*>& messages,
                KEPBasVector<int>& positions) const override {
        for (int i = 0; i < messages.size(); ++i)
            positions.push_back(i);
    }
};

// What the answering side's callbacks signal: how many passes stored messages.
std::mutex s_arrivalMutex;
std::condition_variable s_arrivalSignal;
std::uint64_t s_arrivals = 0;

void NotifyArrival(const KEPString&) {
    {
        std::lock_guard<std::mutex> guard(s_arrivalMutex);
        ++s_arrivals;
    }
    s_arrivalSignal.notify_all();
}

// Waits until the arrival count differs from seen (or the deadline); returns the new count.
std::uint64_t AwaitArrival(std::uint64_t seen, std::int64_t deadline) {
    std::unique_lock<std::mutex> lock(s_arrivalMutex);
    const std::int64_t left = deadline - NowNs();
    s_arrivalSignal.wait_for(lock, std::chrono::nanoseconds(left > 0 ? left : 0),
                             [seen] { return s_arrivals != seen; });
    return s_arrivals;
}

void Send(const KEPMsgChannel& channel, BlobMessage& message, bool queued) {
    if (queued) {
        unsigned int id = 0;
        Comm().ISendSocketMessage(channel, &message, id);
    } else {
        Comm().SendSocketMessage(channel, &message);
    }
}

// Answers every stored request with the reply; true once the end marker arrived.
bool AnswerStored(BlobMessage& reply, bool queued) {
    static KEPMsgMessageQueryByType blobQuery{KEPString(kBlobType)};
    static KEPMsgMessageQueryByType endQuery{KEPString(kEndType)};
    KEPBasVector<KEPMsgChannelMsgStruct> requests;
    Comm().IRetrieveMessagesWithChannel(&blobQuery, requests);
    for (int i = 0; i < requests.size(); ++i) {
        Send(requests[i].m_channel, reply, queued);
        delete requests[i].m_message;
    }
    KEPBasVector<KEPBasSocketMessage*> ends;
    Comm().IRetrieveMessages(&endQuery, ends);
    for (int i = 0; i < ends.size(); ++i)
        delete ends[i];
    return ends.size() > 0;
}

// The callback-answering server's reply and mode, set before its task starts.
BlobMessage* s_callbackReply = nullptr;
bool s_callbackQueued = false;
std::atomic<bool> s_callbackEnded{false};

void AnswerInCallback(const KEPString&) {
    if (AnswerStored(*s_callbackReply, s_callbackQueued))
        s_callbackEnded.store(true);
    NotifyArrival(KEPString(kEndType));
}

// echo host-imm|host-queued|host-cb-imm|host-cb-queued|host-imm-tls <size>
int Echo(const PeerArgs& args) {
    LibSetup setup(args.size);
    const bool inCallback = args.impl.rfind("host-cb-", 0) == 0;
    const bool queued = args.impl == "host-queued" || args.impl == "host-cb-queued";
    BlobMessage reply(args.size);  // outlives the task: queued records point to it
    s_callbackReply = &reply;
    s_callbackQueued = queued;
    const KEPMsgSocketCommunicator::NotificationCallback callback =
        inCallback ? AnswerInCallback : NotifyArrival;
    Comm().RegisterMessageNotificationCallback(kBlobType, callback);
    Comm().RegisterMessageNotificationCallback(kEndType, callback);
    Report("PORT %d", LibListen(IsTlsImpl(args.impl)));
    HostTask task;
    const std::int64_t deadline = DeadlineAfter(kPeerDeadlineSeconds);
    std::uint64_t seen = 0;
    bool ended = false;
    while (!ended && NowNs() < deadline) {
        seen = AwaitArrival(seen, deadline);
        ended = inCallback ? s_callbackEnded.load() : AnswerStored(reply, queued);
    }
    return ended ? 0 : 1;
}

// ping host-imm|host-queued|host-imm-tls <size> <port> <count>
int Ping(const PeerArgs& args) {
    LibSetup setup(args.size);
    KEPMsgChannel channel = LibConnect(args.port, "peer", IsTlsImpl(args.impl));
    BlobMessage ping(args.size);  // outlives the task: queued records point to it
    HostTask task;
    const bool queued = args.impl == "host-queued";
    KEPMsgMessageQueryByType query{KEPString(kBlobType)};
    std::vector<std::int64_t> rtts;
    for (int i = 0; i < kPingWarmup + static_cast<int>(args.amount); ++i) {
        const std::int64_t t0 = NowNs();
        Send(channel, ping, queued);
        KEPBasVector<KEPBasSocketMessage*> replies;
        if (!Comm().RetrieveMessages(&query, replies, kReplyTimeoutMs))
            Fail("no reply");
        const std::int64_t t1 = NowNs();
        for (int j = 0; j < replies.size(); ++j)
            delete replies[j];
        if (i >= kPingWarmup)
            rtts.push_back(t1 - t0);
    }
    EndMessage end;
    Comm().SendSocketMessage(channel, &end);
    ReportLatencies(rtts);
    LibAwaitChannelGone(channel);
    return 0;
}

// recv host|host-drain|host-sys|host-tls <size>
int Receive(const PeerArgs& args) {
    LibSetup setup(args.size, args.impl);
    if (args.impl == "host-drain" && !Comm().SetReceiveDrainLimit(kDrainLimit))
        Fail("drain limit");
    Report("PORT %d", LibListen(IsTlsImpl(args.impl)));
    HostTask task;
    EveryMessage query;
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    bool ended = false;
    bool corrupt = false;
    const std::int64_t deadline = DeadlineAfter(kPeerDeadlineSeconds);
    while (!(ended && received >= expected) && NowNs() < deadline) {
        KEPBasVector<KEPBasSocketMessage*> messages;
        if (!Comm().RetrieveMessages(&query, messages, 1000))
            continue;
        for (int i = 0; i < messages.size(); ++i) {
            if (EndMessage* end = dynamic_cast<EndMessage*>(messages[i])) {
                expected = end->count;
                ended = true;
            } else {
                corrupt |= !static_cast<BlobMessage*>(messages[i])->Intact();
                ++received;
            }
            delete messages[i];
        }
    }
    const std::int64_t endNs = NowNs();
    const bool ok = ended && !corrupt && received == expected;
    Report("END %lld %llu %d", static_cast<long long>(endNs),
           static_cast<unsigned long long>(received), ok ? 1 : 0);
    return ok ? 0 : 1;
}

// send host-queued|host-imm|host-imm-sys|host-imm-tls <size> <port> <seconds>
int SendOneWay(const PeerArgs& args) {
    LibSetup setup(args.size, args.impl);
    KEPMsgChannel channel = LibConnect(args.port, "peer", IsTlsImpl(args.impl));
    BlobMessage blob(args.size);  // outlives the task: queued records point to it
    HostTask task;
    const bool queued = args.impl == "host-queued";
    std::deque<unsigned int> batchEnds;  // the last id of each batch still counted as queued
    const std::int64_t start = NowNs();
    const std::int64_t deadline = DeadlineAfter(args.amount);
    Report("START %lld", static_cast<long long>(start));
    std::uint64_t sent = 0;
    while (NowNs() < deadline) {
        if (queued) {
            unsigned int id = 0;
            for (int i = 0; i < kQueuedBatch; ++i)
                Comm().ISendSocketMessage(channel, &blob, id);
            sent += kQueuedBatch;
            // A host does not queue without bound: past the limit, wait for the oldest batch.
            batchEnds.push_back(id);
            if (batchEnds.size() > static_cast<std::size_t>(kMaxQueuedBatches)) {
                unsigned int oldest = batchEnds.front();
                batchEnds.pop_front();
                while (Comm().QueryPendingStatus(oldest) && NowNs() < deadline + 10000000000LL)
                    sched_yield();
            }
        } else {
            for (int i = 0; i < 16; ++i)
                Comm().SendSocketMessage(channel, &blob);
            sent += 16;
        }
    }
    EndMessage end;
    end.count = sent;
    Comm().SendSocketMessage(channel, &end);  // writes every queued record first
    LibAwaitChannelGone(channel);
    return 0;
}

std::int64_t CpuNs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_usec * 1000LL;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// idle none|gone 0: reports "IDLE <cpu ns> <wall ns>" over about a second.
int Idle(const PeerArgs& args) {
    LibSetup setup(8);
    HostTask task;
    if (args.impl == "gone") {
        int port = 0;
        const int listener = ListenLoopback(port);
        KEPMsgChannel channel = LibConnect(port, "peer");
        const int fd = accept(listener, nullptr, nullptr);
        close(fd);
        close(listener);
        LibAwaitChannelGone(channel);
        if (channel.IsActiveInCurrentThreads())
            Fail("the peer's close was not noticed");
    }
    const std::int64_t cpu0 = CpuNs();
    const std::int64_t wall0 = NowNs();
    const timespec pause{static_cast<time_t>(kIdleSeconds), 0};
    nanosleep(&pause, nullptr);
    Report("IDLE %lld %lld", static_cast<long long>(CpuNs() - cpu0),
           static_cast<long long>(NowNs() - wall0));
    return 0;
}

const PeerRole kRoles[] = {
    {"echo", "host-imm", Echo},
    {"echo", "host-queued", Echo},
    {"echo", "host-cb-imm", Echo},
    {"echo", "host-cb-queued", Echo},
    {"echo", "host-imm-tls", Echo},
    {"ping", "host-imm-tls", Ping},
    {"ping", "host-imm", Ping},
    {"ping", "host-queued", Ping},
    {"recv", "host", Receive},
    {"recv", "host-drain", Receive},
    {"recv", "host-sys", Receive},
    {"recv", "host-tls", Receive},
    {"send", "host-queued", SendOneWay},
    {"send", "host-imm", SendOneWay},
    {"send", "host-imm-sys", SendOneWay},
    {"send", "host-imm-tls", SendOneWay},
    {"idle", "none", Idle},
    {"idle", "gone", Idle},
};

}  // namespace

}  // namespace kepbench
