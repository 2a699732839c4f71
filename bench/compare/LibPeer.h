// What the library's peers share: the two message classes, the communicator, one-call set-up
// of prototypes and streams, listening and connecting, and the receive state that counts what
// the notification callbacks collect.
//
// The messages are the host's own: BlobMessage writes the process's payload and reads into its
// scratch buffer, EndMessage carries the number of messages sent. LibSetup must outlive every
// receive pass of the peer. LibReceiveState is guarded by its mutex; CollectReceived runs on
// the thread of the receive pass.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "BenchCommon.h"
#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "channels/KEPMsgChannel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "messaging/KEPMsgSocketCommunicator.h"

namespace kepbench {

class BlobMessage : public KEPBasSocketMessage {
  public:
    explicit BlobMessage(int size) : m_size(size) {}
    bool WriteBody(KEPBasOutputStream* stream) override;
    bool ReadBody(KEPBasInputStream* stream) override;
    KEPBasSocketMessage* CreateInstance() override { return new BlobMessage(m_size); }
    KEPString GetMessageType() override { return KEPString(kBlobType); }
    // False when the body could not be read whole.
    bool Intact() const { return m_intact; }

  private:
    int m_size;
    bool m_intact = true;
};

class EndMessage : public KEPBasSocketMessage {
  public:
    std::uint64_t count = 0;
    bool WriteBody(KEPBasOutputStream* stream) override;
    bool ReadBody(KEPBasInputStream* stream) override;
    KEPBasSocketMessage* CreateInstance() override { return new EndMessage(); }
    KEPString GetMessageType() override { return KEPString(kEndType); }
};

KEPMsgSocketCommunicator& Comm();

// Registers both prototypes and the default streams; the output stream writes a body of up to
// 1 MiB with one send. A peer impl ending in "-sys" leaves connections the system's send-buffer
// sizing (SetSendBufferSize(0)) instead of the library's 64 KiB.
struct LibSetup {
    BlobMessage blobPrototype;
    EndMessage endPrototype;
    KEPMsgSimpleInputStream input;
    KEPMsgBufferedOutputStream output{kLibChunk};
    explicit LibSetup(int size, const std::string& impl = "");
};

// Starts a server on 127.0.0.1 at a free port, registers it as "listener"; returns the port.
// With tls it serves TLS with a throw-away self-signed certificate (made with the openssl
// command).
int LibListen(bool tls = false);
// Connects to 127.0.0.1:port and registers the channel, read by the receive passes; with tls
// through TLS (the server's certificate is not checked: the figures are those of the records).
KEPMsgChannel LibConnect(int port, const char* label, bool tls = false);
// True for the impl names of the TLS rows (ending in "-tls").
bool IsTlsImpl(const std::string& impl);
// Runs receive passes on this thread until the channel is gone (the peer closed it).
void LibWaitForPeerClose(const KEPMsgChannel& channel);
// Waits, without running passes, until the message task has dropped the channel.
void LibAwaitChannelGone(const KEPMsgChannel& channel);

// What the receiving callbacks collected; finished once every expected end marker and message
// arrived.
struct LibReceiveState {
    std::mutex mutex;
    std::condition_variable done;
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    int endsSeen = 0;
    int endsWanted = 1;
    bool finished = false;
    bool corrupt = false;
    std::int64_t endNs = 0;
};

// Makes CollectReceived count into state (which must outlive every receive pass) and registers
// it as the callback of both types.
void CollectReceivedInto(LibReceiveState& state);

}  // namespace kepbench
