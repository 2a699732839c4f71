// Set-up and clean-up of the messaging singletons for tests, the demo and the tools.
//
// MessagingSetup registers the test message prototypes ("Text", "Fixed", "Blob"; objects that
// live as long as the process, because the prototype registry keeps them) and, unless told
// otherwise, a buffered output stream and a simple input stream as the default streams. Its
// destructor finalizes the messaging singletons: every registered connection is closed, queued
// records are dropped, messages still in the retrieve buffer are deleted. A connection the
// caller made but never registered with the communicator is the caller's to close. Use one
// MessagingSetup at a time, from one thread, with no message task running at its end.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "channels/KEPMsgChannel.h"
#include "connection/KEPMsgBufferedOutputStream.h"
#include "connection/KEPMsgSimpleInputStream.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"
#include "tests/support/KEPTestMessages.h"
#include "tests/support/KEPTestNet.h"

namespace keptest {

class MessagingSetup {
  public:
    explicit MessagingSetup(bool setDefaultStreams = true, int chunkSize = 64 * 1024);
    ~MessagingSetup();
    MessagingSetup(const MessagingSetup&) = delete;
    MessagingSetup& operator=(const MessagingSetup&) = delete;

    KEPMsgBufferedOutputStream& Output() { return *m_output; }
    KEPMsgSimpleInputStream& Input() { return *m_input; }

  private:
    std::unique_ptr<KEPMsgBufferedOutputStream> m_output;
    std::unique_ptr<KEPMsgSimpleInputStream> m_input;
};

// A stored message and the channel it came on.
struct ReceivedMessage {
    KEPMsgChannel channel;
    std::unique_ptr<SequencedMessage> message;
};

// Takes every stored message with its channel, in arrival order.
std::vector<ReceivedMessage> TakeReceived();

// Runs receive passes until at least count messages were taken or the time is up; returns them.
std::vector<ReceivedMessage> ReceiveAtLeast(std::size_t count, double timeoutSeconds = 10.0);

// Runs receive passes on the current waitable (1 ms waits) until condition holds or the time
// is up; returns whether it held.
bool PumpUntil(const std::function<bool()>& condition, double timeoutSeconds = 10.0);

// The bytes of message on the wire, header and body, as RawSocket::SendMessage sends them ("" when
// its WriteBody fails); a test sends many at once with one SendBytes.
std::string WireBytes(KEPBasSocketMessage& message);

// A library connection to a raw peer, registered with the communicator.
struct RawLink {
    KEPMsgChannel channel;
    KEPMsgCommSocket* socket = nullptr;  // owned by the connection table
    RawSocket peer;
};

// Connects the library to listener (ConnectToServer), accepts the raw end and registers the
// library's channel with label (and with listen). On failure socket is null.
RawLink ConnectToRawPeer(RawListener& listener, const char* label, bool listen = true);

// Starts a library server on 127.0.0.1 with a system-chosen port, registers it for listening
// and returns it (null on failure); port receives the bound port.
KEPMsgServerSocket* StartRegisteredServer(int& port);

// Number of channels registered with the communicator.
int RegisteredChannelCount();

}  // namespace keptest
