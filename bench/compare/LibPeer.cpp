#include "LibPeer.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgMessageQueryByType.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"

namespace kepbench {

namespace {

bool ReadFully(KEPBasInputStream* stream, char* buffer, int length) {
    int done = 0;
    while (done < length) {
        int got = 0;
        if (!stream->read(buffer + done, length - done, got) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

const KEPMsgInetAddress& Loopback() {
    static const KEPMsgInetAddress loopback(KEPString("127.0.0.1"));
    return loopback;
}

LibReceiveState* s_receive = nullptr;

// Called once per pass and type; the end marker's call also collects every data message stored
// so far, since its callback comes first ("BenchEnd" sorts before "Blob").
void CollectReceived(const KEPString& type) {
    static KEPMsgMessageQueryByType blobQuery{KEPString(kBlobType)};
    static KEPMsgMessageQueryByType endQuery{KEPString(kEndType)};
    KEPBasVector<KEPBasSocketMessage*> blobs;
    KEPBasVector<KEPBasSocketMessage*> ends;
    Comm().IRetrieveMessages(&blobQuery, blobs);
    if (type == KEPString(kEndType)) {
        Comm().IRetrieveMessages(&endQuery, ends);
    }
    std::lock_guard<std::mutex> guard(s_receive->mutex);
    for (int i = 0; i < blobs.size(); ++i) {
        s_receive->corrupt |= !static_cast<BlobMessage*>(blobs[i])->Intact();
        delete blobs[i];
    }
    s_receive->received += static_cast<std::uint64_t>(blobs.size());
    for (int i = 0; i < ends.size(); ++i) {
        s_receive->expected += static_cast<EndMessage*>(ends[i])->count;
        ++s_receive->endsSeen;
        delete ends[i];
    }
    if (!s_receive->finished && s_receive->endsSeen == s_receive->endsWanted &&
        s_receive->received >= s_receive->expected) {
        s_receive->finished = true;
        s_receive->endNs = NowNs();
        s_receive->done.notify_all();
    }
}

}  // namespace

bool BlobMessage::WriteBody(KEPBasOutputStream* stream) {
    int written = 0;
    return stream->write(Payload().data(), m_size, written) && written == m_size;
}

bool BlobMessage::ReadBody(KEPBasInputStream* stream) {
    m_intact = ReadFully(stream, Scratch().data(), m_size);
    return m_intact;
}

bool EndMessage::WriteBody(KEPBasOutputStream* stream) {
    int written = 0;
    return stream->write(&count, sizeof count, written);
}

bool EndMessage::ReadBody(KEPBasInputStream* stream) {
    return ReadFully(stream, reinterpret_cast<char*>(&count), sizeof count);
}

KEPMsgSocketCommunicator& Comm() {
    return KEPBasAtiGlobalSingleton<KEPMsgSocketCommunicator>::Instance();
}

LibSetup::LibSetup(int size, const std::string& impl) : blobPrototype(size) {
    const std::string systemSizing = "-sys";
    if (impl.size() > systemSizing.size() &&
        impl.compare(impl.size() - systemSizing.size(), systemSizing.size(), systemSizing) == 0 &&
        !KEPMsgConnectionServicesUtils::Instance().SetSendBufferSize(0)) {
        Fail("send buffer setting");
    }
    Comm().RegisterMessagePrototype(kBlobType, &blobPrototype);
    Comm().RegisterMessagePrototype(kEndType, &endPrototype);
    Comm().SetDefaultInputStream(&input);
    Comm().SetDefaultOutputStream(&output);
}

// A self-signed P-256 certificate and key, loaded into settings; the files are removed at once.
KEPMsgTlsSettings ThrowAwayCertificate() {
    char dir[] = "/tmp/kep-compare-tls-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        Fail("mkdtemp");
    const std::string cert = std::string(dir) + "/cert.pem";
    const std::string key = std::string(dir) + "/key.pem";
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
        "-subj /CN=kep-compare -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        Fail("openssl req");
    KEPMsgTlsSettings settings;
    settings.m_certificateChainFile = KEPString(cert.c_str());
    settings.m_privateKeyFile = KEPString(key.c_str());
    return settings;
}

int LibListen(bool tls) {
    KEPMsgServerSocket* server = KEPMsgConnectionServicesUtils::Instance().StartServer(
        KEPMsgSocketAddress(Loopback(), 0), 128);
    if (server == nullptr)
        Fail("library listen");
    if (tls) {
        const KEPMsgTlsSettings settings = ThrowAwayCertificate();
        KEPString error;
        const bool loaded = server->SetTls(settings, error);
        const std::string dir = settings.m_certificateChainFile.GetUTF8();
        std::system(("rm -rf " + dir.substr(0, dir.rfind('/'))).c_str());
        if (!loaded)
            Fail(error.GetUTF8());
    }
    Comm().AddConnection(KEPMsgChannel(server, KEPString("listener")), true);
    return server->GetAddress().GetPort();
}

bool IsTlsImpl(const std::string& impl) {
    return impl.size() > 4 && impl.compare(impl.size() - 4, 4, "-tls") == 0;
}

KEPMsgChannel LibConnect(int port, const char* label, bool tls) {
    KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
    const KEPMsgSocketAddress own(Loopback(), 0);
    const KEPMsgSocketAddress server(Loopback(), port);
    KEPMsgTlsSettings settings;
    settings.m_verifyPeer = false;
    KEPString error;
    KEPMsgCommSocket* socket = tls ? services.ConnectToServer(own, server, 10, 10, settings, error)
                                   : services.ConnectToServer(own, server, 10, 10);
    if (socket == nullptr)
        Fail(tls ? error.GetUTF8() : "library connect");
    KEPMsgChannel channel(socket, KEPString(label));
    Comm().AddConnection(channel, true);
    return channel;
}

void LibWaitForPeerClose(const KEPMsgChannel& channel) {
    const std::int64_t deadline = DeadlineAfter(kPeerDeadlineSeconds);
    while (channel.IsActiveInCurrentThreads() && NowNs() < deadline) {
        Comm().WaitConnectionsAndMessages(nullptr, 20);
    }
}

void LibAwaitChannelGone(const KEPMsgChannel& channel) {
    const std::int64_t deadline = DeadlineAfter(kPeerDeadlineSeconds);
    while (channel.IsActiveInCurrentThreads() && NowNs() < deadline) {
        usleep(1000);  // the message task notices the close; nothing here to wake on
    }
}

void CollectReceivedInto(LibReceiveState& state) {
    s_receive = &state;
    Comm().RegisterMessageNotificationCallback(kBlobType, CollectReceived);
    Comm().RegisterMessageNotificationCallback(kEndType, CollectReceived);
}

}  // namespace kepbench
