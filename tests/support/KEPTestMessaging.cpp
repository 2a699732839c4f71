#include "tests/support/KEPTestMessaging.h"

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPString.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "sockets/KEPMsgInetAddress.h"
#include "sockets/KEPMsgSocketAddress.h"

namespace keptest {

void RegisterTestPrototypes() {
    // Prototypes must outlive every registry that may hold them: they live for the process.
    static TextMessage* const text = new TextMessage();
    static FixedMessage* const fixed = new FixedMessage();
    static BlobMessage* const blob = new BlobMessage();
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    communicator.RegisterMessagePrototype(TextMessage::kType, text);
    communicator.RegisterMessagePrototype(FixedMessage::kType, fixed);
    communicator.RegisterMessagePrototype(BlobMessage::kType, blob);
}

void FinalizeMessagingSingletons() {
    KEPMsgSocketCommunicator::Finalize();  // stops the task flag, closes registered channels
    TakeMessages(nullptr);                 // deletes what nobody retrieved
    KEPMsgSendMessageBuffer::Finalize();
    KEPMsgRetrieveMessageBuffer::Finalize();
    KEPMsgChannelOrganizer::Finalize();
    KEPMsgConnectionServicesUtils::Finalize();
}

MessagingSetup::MessagingSetup(bool setDefaultStreams, int chunkSize)
    : m_output(new KEPMsgBufferedOutputStream(chunkSize)), m_input(new KEPMsgSimpleInputStream()) {
    RegisterTestPrototypes();
    if (setDefaultStreams) {
        KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
        communicator.SetDefaultOutputStream(m_output.get());
        communicator.SetDefaultInputStream(m_input.get());
    }
}

MessagingSetup::~MessagingSetup() {
    FinalizeMessagingSingletons();
}

void AllMessagesQuery::Search(const KEPBasVector<KEPBasSocketMessage*>& messages,
                              KEPBasVector<int>& positions) const {
    for (int i = 0; i < messages.size(); ++i) {
        positions.push_back(i);
    }
}

std::vector<std::unique_ptr<SequencedMessage>> TakeMessages(const char* type) {
    KEPBasVector<KEPBasSocketMessage*> taken;
    if (type == nullptr) {
        AllMessagesQuery query;
        KEPMsgRetrieveMessageBuffer::Instance().IRetrieveMessages(&query, taken);
    } else {
        KEPMsgMessageQueryByType query{KEPString(type)};
        KEPMsgRetrieveMessageBuffer::Instance().IRetrieveMessages(&query, taken);
    }
    std::vector<std::unique_ptr<SequencedMessage>> result;
    for (int i = 0; i < taken.size(); ++i) {
        // Every message the tests receive is made from a test prototype.
        result.emplace_back(static_cast<SequencedMessage*>(taken[i]));
    }
    return result;
}

bool PumpUntil(const std::function<bool()>& condition, double timeoutSeconds) {
    return WaitUntil(
        [&condition] {
            if (condition()) {
                return true;
            }
            KEPMsgSocketCommunicator::Instance().WaitConnectionsAndMessages(nullptr, 1);
            return condition();
        },
        timeoutSeconds);
}

RawLink ConnectToRawPeer(RawListener& listener, const char* label, bool listen) {
    RawLink link;
    KEPMsgSocketAddress own(KEPMsgInetAddress(KEPString("127.0.0.1")), 0);
    KEPMsgSocketAddress server(KEPMsgInetAddress(KEPString("127.0.0.1")), listener.Port());
    link.socket = KEPMsgConnectionServicesUtils::Instance().ConnectToServer(own, server, 5, 10);
    if (link.socket == nullptr) {
        return link;
    }
    link.peer = listener.Accept();
    link.channel = KEPMsgChannel(link.socket, KEPString(label));
    KEPMsgSocketCommunicator::Instance().AddConnection(link.channel, listen);
    return link;
}

KEPMsgServerSocket* StartRegisteredServer(int& port) {
    port = -1;
    KEPMsgSocketAddress address(KEPMsgInetAddress(KEPString("127.0.0.1")), 0);
    KEPMsgServerSocket* server = KEPMsgConnectionServicesUtils::Instance().StartServer(address, 16);
    if (server == nullptr) {
        return nullptr;
    }
    port = LocalPort(server->GetId());
    KEPMsgSocketCommunicator::Instance().AddConnection(KEPMsgChannel(server, KEPString("server")),
                                                       true);
    return server;
}

int RegisteredChannelCount() {
    KEPBasVector<KEPMsgChannel> found;
    KEPMsgSocketCommunicator::Instance().RetrieveConnections(nullptr, found);
    return found.size();
}

}  // namespace keptest
