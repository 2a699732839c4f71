#include "tests/support/KEPTestMessaging.h"

#include <chrono>

#include "tests/sockets/SocketTestSupport.h"

#include "channels/KEPMsgChannelOrganizer.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgRetrieveMessageBuffer.h"
#include "messaging/KEPMsgSendMessageBuffer.h"
#include "messaging/KEPMsgSocketCommunicator.h"

namespace keptest {

namespace {

// Reads from a raw peer, for driving a message's ReadBody (the socket id it carries is ignored).
class RawInputStream : public KEPBasInputStream {
  public:
    RawInputStream(RawSocket& socket, double timeoutSeconds)
        : m_socket(socket), m_timeoutSeconds(timeoutSeconds) {}
    // Gives all length bytes, or fewer (then got is short) on the end, a failure or the time-out.
    bool read(void* buffer, int length, int& got) override {
        const std::string bytes = m_socket.ReceiveString(length > 0 ? length : 0, m_timeoutSeconds);
        got = static_cast<int>(bytes.copy(static_cast<char*>(buffer), bytes.size()));
        return true;
    }

  private:
    RawSocket& m_socket;
    double m_timeoutSeconds;
};

// Collects what a message writes.
class StringOutputStream : public KEPBasOutputStream {
  public:
    explicit StringOutputStream(std::string& bytes) : m_bytes(bytes) {}
    bool write(void* data, int length, int& written) override {
        m_bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        written += length;
        return true;
    }

  private:
    std::string& m_bytes;
};

// Selects every stored message.
class AllMessagesQuery : public KEPMsgMessageQuery {
  public:
    void Search(const KEPBasVector<KEPBasSocketMessage*>& messages,
                KEPBasVector<int>& positions) const override {
        for (int i = 0; i < messages.size(); ++i) {
            positions.push_back(i);
        }
    }
};

// The prototypes of the test types. They must outlive every registry that may hold them, so
// they live for the process.
SequencedMessage* const* Prototypes() {
    static SequencedMessage* const prototypes[] = {new TextMessage(), new FixedMessage(),
                                                   new BlobMessage()};
    return prototypes;
}

}  // namespace

std::string WireBytes(KEPBasSocketMessage& message) {
    std::string bytes = HeaderBytes(message.GetMessageType().GetUTF8());
    StringOutputStream stream(bytes);
    return message.WriteBody(&stream) ? bytes : std::string();
}

bool RawSocket::SendMessage(KEPBasSocketMessage& message) {
    const std::string bytes = WireBytes(message);
    return !bytes.empty() && SendBytes(bytes);
}

bool RawSocket::ReceiveType(std::string& type, double timeoutSeconds) {
    const std::string count = ReceiveString(4, timeoutSeconds);
    std::uint32_t length = 0;
    count.copy(reinterpret_cast<char*>(&length), 4);
    if (count.size() != 4 || length > 4096) {
        return false;
    }
    type = ReceiveString(length, timeoutSeconds);
    return type.size() == length;
}

std::unique_ptr<SequencedMessage> RawSocket::ReceiveMessage(double timeoutSeconds) {
    std::string type;
    std::unique_ptr<SequencedMessage> message;
    if (ReceiveType(type, timeoutSeconds)) {
        for (int i = 0; i < 3 && !message; ++i) {
            if (type == Prototypes()[i]->GetMessageType().GetUTF8()) {
                message.reset(static_cast<SequencedMessage*>(Prototypes()[i]->CreateInstance()));
                RawInputStream stream(*this, timeoutSeconds);
                message->ReadBody(&stream);
            }
        }
    }
    return message;
}

MessagingSetup::MessagingSetup(bool setDefaultStreams, int chunkSize)
    : m_output(new KEPMsgBufferedOutputStream(chunkSize)), m_input(new KEPMsgSimpleInputStream()) {
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    for (int i = 0; i < 3; ++i) {
        communicator.RegisterMessagePrototype(Prototypes()[i]->GetMessageType().GetUTF8(),
                                              Prototypes()[i]);
    }
    if (setDefaultStreams) {
        communicator.SetDefaultOutputStream(m_output.get());
        communicator.SetDefaultInputStream(m_input.get());
    }
}

// Finalizes the communicator (stopping the task flag, closing registered channels), deletes
// what nobody retrieved, then the buffers, the organizer and the connection services.
MessagingSetup::~MessagingSetup() {
    KEPMsgSocketCommunicator::Finalize();
    TakeReceived();
    KEPMsgSendMessageBuffer::Finalize();
    KEPMsgRetrieveMessageBuffer::Finalize();
    KEPMsgChannelOrganizer::Finalize();
    KEPMsgConnectionServicesUtils::Finalize();
}

std::vector<ReceivedMessage> TakeReceived() {
    AllMessagesQuery query;
    KEPBasVector<KEPMsgChannelMsgStruct> taken;
    KEPMsgRetrieveMessageBuffer::Instance().IRetrieveMessagesWithChannel(&query, taken);
    std::vector<ReceivedMessage> result;
    for (int i = 0; i < taken.size(); ++i) {
        result.push_back(
            {taken[i].m_channel, std::unique_ptr<SequencedMessage>(
                                     static_cast<SequencedMessage*>(taken[i].m_message))});
    }
    return result;
}

std::vector<ReceivedMessage> ReceiveAtLeast(std::size_t count, double timeoutSeconds) {
    std::vector<ReceivedMessage> received;
    PumpUntil(
        [&] {
            for (ReceivedMessage& record : TakeReceived()) {
                received.push_back(std::move(record));
            }
            return received.size() >= count;
        },
        timeoutSeconds);
    return received;
}

bool PumpUntil(const std::function<bool()>& condition, double timeoutSeconds) {
    // No pause between passes: a pass waits by itself when nothing is ready.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(static_cast<long long>(timeoutSeconds * 1e6));
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        KEPMsgSocketCommunicator::Instance().WaitConnectionsAndMessages(nullptr, 1);
        std::this_thread::yield();
    }
    return true;
}

RawLink ConnectToRawPeer(RawListener& listener, const char* label, bool listen) {
    RawLink link;
    link.socket = KEPMsgConnectionServicesUtils::Instance().ConnectToServer(
        LoopbackAddress(0), LoopbackAddress(listener.Port()), 5, 10);
    if (link.socket == nullptr) {
        return link;
    }
    link.peer = listener.Accept();
    link.channel = KEPMsgChannel(link.socket, KEPString(label));
    KEPMsgSocketCommunicator::Instance().AddConnection(link.channel, listen);
    return link;
}

KEPMsgServerSocket* StartRegisteredServer(int& port) {
    KEPMsgServerSocket* server =
        KEPMsgConnectionServicesUtils::Instance().StartServer(LoopbackAddress(0), 16);
    port = server != nullptr ? LocalPort(server->GetId()) : -1;
    if (server != nullptr) {
        KEPMsgSocketCommunicator::Instance().AddConnection(
            KEPMsgChannel(server, KEPString("server")), true);
    }
    return server;
}

int RegisteredChannelCount() {
    KEPBasVector<KEPMsgChannel> found;
    KEPMsgSocketCommunicator::Instance().RetrieveConnections(nullptr, found);
    return found.size();
}

}  // namespace keptest
