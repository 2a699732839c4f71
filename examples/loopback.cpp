// A minimal host: one process starts a server, connects to it, runs the message task and sends
// itself one typed message, then shuts down. Exit status 0 when the message came back intact.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/KEPBasAtiThread.h"
#include "channels/KEPMsgChannel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgMessageTask.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"

// A message class: names its type and writes and reads its own body (here: 64 bytes of text).
class Greeting : public KEPBasSocketMessage {
  public:
    char text[64] = {};
    bool WriteBody(KEPBasOutputStream* out) override {
        int written = 0;
        return out->write(text, sizeof text, written) && written == sizeof text;
    }
    bool ReadBody(KEPBasInputStream* in) override {
        int have = 0;
        while (have < static_cast<int>(sizeof text)) {
            int got = 0;
            if (!in->read(text + have, sizeof text - have, got) || got == 0) {
                return false;
            }
            have += got;
        }
        text[sizeof text - 1] = '\0';
        return true;
    }
    KEPBasSocketMessage* CreateInstance() override { return new Greeting; }
    KEPString GetMessageType() override { return "example.Greeting"; }
};

int main() {
    KEPMsgSocketCommunicator& comm = KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();

    // 1. Prototypes and streams (the library borrows them: they outlive the message task).
    Greeting prototype;
    KEPMsgSimpleInputStream input;
    KEPMsgBufferedOutputStream output(64 * 1024);
    comm.RegisterMessagePrototype("example.Greeting", &prototype);
    comm.SetDefaultInputStream(&input);
    comm.SetDefaultOutputStream(&output);

    // 2. A server on a port the system chooses, and a connection to it.
    const KEPMsgInetAddress loopback(KEPString("127.0.0.1"));
    KEPMsgServerSocket* server = services.StartServer(KEPMsgSocketAddress(loopback, 0), 4);
    if (server == nullptr) {
        std::fprintf(stderr, "example: cannot listen\n");
        return 1;
    }
    comm.AddConnection(KEPMsgChannel(server, "listener"), true);
    KEPMsgCommSocket* socket = services.ConnectToServer(
        KEPMsgSocketAddress(loopback, 0), server->GetAddress(), /*timeout s*/ 5, /*pause ms*/ 50);
    if (socket == nullptr) {
        std::fprintf(stderr, "example: cannot connect\n");
        return 1;
    }
    KEPMsgChannel toServer(socket, "to-server");
    comm.AddConnection(toServer, true);

    // 3. The message task on a thread of its own.
    KEPMsgMessageTask task;
    comm.PrepareStartupMessageTask();
    KEPBasAtiThread thread(&task);
    thread.Start();

    // 4. Send, then collect the message by type, waiting at most 10 s for it.
    Greeting hello;
    std::strcpy(hello.text, "hello through the library");
    comm.SendSocketMessage(toServer, &hello);
    KEPMsgMessageQueryByType query(KEPString("example.Greeting"));
    KEPBasVector<KEPBasSocketMessage*> received;
    comm.RetrieveMessages(&query, received, 10000);

    // 5. Stop the task (closes every connection), join its thread; received messages are ours.
    comm.ShutdownMessageTask();
    thread.Join();
    bool ok = received.size() == 1;
    for (KEPBasSocketMessage* message : received) {
        auto* greeting = static_cast<Greeting*>(message);
        std::printf("received: %s\n", greeting->text);
        ok = ok && std::strcmp(greeting->text, hello.text) == 0;
        delete message;
    }
    return ok ? 0 : 1;
}
