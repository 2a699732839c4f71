#include "tests/support/KEPTestMessaging.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/sockets/SocketTestSupport.h"

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

namespace {

// A stream on one fixed descriptor (the socket id it carries is ignored), for driving a
// message's ReadBody over a raw peer.
class FdInputStream : public KEPBasInputStream {
  public:
    FdInputStream(int fd, double timeoutSeconds) : m_fd(fd), m_timeoutSeconds(timeoutSeconds) {}
    bool read(void* buffer, int length, int& got) override {
        got = 0;
        if (length <= 0) {
            return true;
        }
        if (!WaitReadable(m_fd, m_timeoutSeconds)) {
            return false;
        }
        ssize_t received;
        do {
            received = ::recv(m_fd, buffer, static_cast<std::size_t>(length), 0);
        } while (received < 0 && errno == EINTR);
        got = received > 0 ? static_cast<int>(received) : 0;
        return received >= 0;
    }

  private:
    int m_fd;
    double m_timeoutSeconds;
};

class FdOutputStream : public KEPBasOutputStream {
  public:
    explicit FdOutputStream(RawSocket& socket) : m_socket(socket) {}
    bool write(void* data, int length, int& written) override {
        if (!m_socket.SendBytes(data, static_cast<std::size_t>(length))) {
            return false;
        }
        written += length;
        return true;
    }

  private:
    RawSocket& m_socket;
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

SequencedMessage* MakeTestMessage(const std::string& type) {
    if (type == TextMessage::kType) {
        return new TextMessage();
    }
    if (type == FixedMessage::kType) {
        return new FixedMessage();
    }
    if (type == BlobMessage::kType) {
        return new BlobMessage();
    }
    return nullptr;
}

}  // namespace

bool RawSocket::SendMessage(KEPBasSocketMessage& message) {
    if (!SendBytes(HeaderBytes(message.GetMessageType().GetUTF8()))) {
        return false;
    }
    FdOutputStream stream(*this);
    return message.WriteBody(&stream);
}

std::string WireBytes(KEPBasSocketMessage& message) {
    std::string bytes = HeaderBytes(message.GetMessageType().GetUTF8());
    StringOutputStream stream(bytes);
    message.WriteBody(&stream);
    return bytes;
}

bool RawSocket::ReceiveType(std::string& type, double timeoutSeconds) {
    std::uint32_t length = 0;
    if (!ReceiveBytes(&length, 4, timeoutSeconds) || length > 4096) {
        return false;
    }
    type = ReceiveString(length, timeoutSeconds);
    return type.size() == length;
}

std::unique_ptr<SequencedMessage> RawSocket::ReceiveMessage(double timeoutSeconds) {
    std::string type;
    if (!ReceiveType(type, timeoutSeconds)) {
        return nullptr;
    }
    std::unique_ptr<SequencedMessage> message(MakeTestMessage(type));
    if (message) {
        FdInputStream stream(m_fd, timeoutSeconds);
        message->ReadBody(&stream);
    }
    return message;
}

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
    port = -1;
    KEPMsgServerSocket* server =
        KEPMsgConnectionServicesUtils::Instance().StartServer(LoopbackAddress(0), 16);
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
