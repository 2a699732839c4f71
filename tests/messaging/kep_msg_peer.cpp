// Peer process for the two-process messaging test.
//
//   kep_msg_peer first-id
//       Exits 0 when the first message id of a fresh process is 1.
//   kep_msg_peer server <firstPort> <lastPort> <count> <batch>
//       Starts a server on the first free port of the range, prints the port on stdout, runs
//       the message task, and answers each batch of traffic it receives with its own batch of
//       the same range; after the last batch it sends bye, and it stops once the client's bye
//       came. Exits 0 when every message arrived intact and in order.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/KEPBasAtiThread.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgInetAddress.h"
#include "tests/support/KEPTestMessaging.h"
#include "tests/support/KEPTestTraffic.h"

using namespace keptest;

namespace {

int FirstId() {
    MessagingSetup setup;
    TextMessage message(0, "id");
    unsigned int id = 0;
    KEPMsgSocketCommunicator::Instance().ISendSocketMessage(KEPMsgChannel(), &message, id);
    return id == 1 ? 0 : 1;
}

int Serve(int firstPort, int lastPort, std::uint32_t count, std::uint32_t batch) {
    MessagingSetup setup;
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    KEPMsgServerSocket* server = KEPMsgConnectionServicesUtils::Instance().StartServer(
        KEPMsgInetAddress(KEPString("127.0.0.1")), firstPort, lastPort, 16);
    if (server == nullptr) {
        std::fprintf(stderr, "peer: no free port in range\n");
        return 2;
    }
    communicator.AddConnection(KEPMsgChannel(server, KEPString("server")), true);
    std::printf("%d\n", LocalPort(server->GetId()));
    std::fflush(stdout);

    KEPMsgMessageTask task;
    communicator.PrepareStartupMessageTask();
    KEPBasAtiThread thread(&task);
    thread.Start();

    // The accepted connection is the only channel labelled "".
    KEPMsgChannel client;
    KEPMsgChannelQueryByLabel unlabelled{KEPString("")};
    bool connected = WaitUntil(
        [&] {
            KEPBasVector<KEPMsgChannel> found;
            communicator.RetrieveConnections(&unlabelled, found);
            if (found.size() == 1) {
                client = found[0];
            }
            return found.size() == 1;
        },
        20.0);

    TrafficChecker checker;
    TrafficSender sender;
    std::uint32_t answered = 0;  // traffic this side has sent
    bool ok = connected;
    while (ok && !checker.ByeSeen()) {
        AllMessagesQuery all;
        KEPBasVector<KEPBasSocketMessage*> received;
        communicator.RetrieveMessages(&all, received);  // the task's passes fill the buffer
        for (int i = 0; i < received.size(); ++i) {
            ok = checker.Accept(std::unique_ptr<SequencedMessage>(
                     static_cast<SequencedMessage*>(received[i]))) &&
                 ok;
        }
        // Answer every batch that is complete with the same range of this side's traffic.
        while (ok && answered < count && checker.Received() >= std::min(answered + batch, count)) {
            const std::uint32_t end = std::min(answered + batch, count);
            sender.AllWritten();
            sender.Send(client, answered, end);
            answered = end;
            if (answered == count) {
                WaitUntil([&] { return sender.AllWritten(); }, 60.0);
                sender.SendControl(client, kControlBye);
            }
        }
    }
    if (!checker.Error().empty()) {
        std::fprintf(stderr, "peer: %s\n", checker.Error().c_str());
    }
    ok = ok && checker.Received() == count && answered == count;

    communicator.ShutdownMessageTask();
    thread.Join();
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "first-id") == 0) {
        return FirstId();
    }
    if (argc >= 6 && std::strcmp(argv[1], "server") == 0) {
        return Serve(std::atoi(argv[2]), std::atoi(argv[3]),
                     static_cast<std::uint32_t>(std::atoi(argv[4])),
                     static_cast<std::uint32_t>(std::atoi(argv[5])));
    }
    std::fprintf(stderr, "usage: kep_msg_peer first-id | server <first> <last> <count> <batch>\n");
    return 2;
}
