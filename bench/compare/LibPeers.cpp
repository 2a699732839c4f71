// The library's peers for the one-way and ping-pong scenarios:
//   recv lib             the message task receives, callbacks collect by type;
//   recv lib-sys         the same with the system's send-buffer sizing;
//   send lib-imm         SendSocketMessage per message, no task (lib-imm-sys: system sizing);
//   send lib-queued      ISendSocketMessage, a transmit pass every 64 records, no task;
//   echo lib / ping lib  immediate sends, receive passes run by hand.
#include <atomic>
#include <chrono>
#include <vector>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "LibPeer.h"
#include "PeerRoles.h"
#include "base/KEPBasAtiThread.h"
#include "messaging/KEPMsgChannelMsgStruct.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgMessageTask.h"

namespace kepbench {

namespace {

// recv lib|lib-sys <size>
int Receive(const PeerArgs& args) {
    LibSetup setup(args.size, args.impl);
    LibReceiveState state;
    CollectReceivedInto(state);
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

// send lib-imm|lib-imm-sys|lib-queued <size> <port> <seconds>
int Send(const PeerArgs& args) {
    LibSetup setup(args.size, args.impl);
    KEPMsgChannel channel = LibConnect(args.port, "peer");
    BlobMessage blob(args.size);
    const bool queued = args.impl == "lib-queued";
    const std::int64_t start = NowNs();
    const std::int64_t deadline = DeadlineAfter(args.amount);
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

// Replies to every Blob on the channel it came from; set once the end marker arrived.
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

// echo lib <size>: passes run by hand.
int Echo(const PeerArgs& args) {
    LibSetup setup(args.size);
    Comm().RegisterMessageNotificationCallback(kBlobType, EchoBack);
    Comm().RegisterMessageNotificationCallback(kEndType, EchoBack);
    Report("PORT %d", LibListen());
    const std::int64_t deadline = DeadlineAfter(kPeerDeadlineSeconds);
    while (!s_echoDone.load() && NowNs() < deadline) {
        Comm().WaitConnectionsAndMessages(nullptr, 20);
    }
    Comm().ShutdownMessageTask();  // closes every registered channel
    return 0;
}

// ping lib <size> <port> <count>: immediate sends, passes run by hand.
int Ping(const PeerArgs& args) {
    LibSetup setup(args.size);
    KEPMsgChannel channel = LibConnect(args.port, "peer");
    KEPMsgMessageQueryByType query{KEPString(kBlobType)};
    BlobMessage ping(args.size);
    std::vector<std::int64_t> rtts;
    for (int i = 0; i < kPingWarmup + static_cast<int>(args.amount); ++i) {
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

const PeerRole kRoles[] = {
    {"recv", "lib", Receive},      {"recv", "lib-sys", Receive}, {"send", "lib-imm", Send},
    {"send", "lib-imm-sys", Send}, {"send", "lib-queued", Send}, {"echo", "lib", Echo},
    {"ping", "lib", Ping},
};

}  // namespace

}  // namespace kepbench
