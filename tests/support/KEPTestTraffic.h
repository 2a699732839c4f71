// Deterministic message traffic for two-process tests: both ends compute the same plan, so a
// receiver can check every message (sequence, type, size, content) without extra data.
//
// Sequence s of a direction is a Text, Fixed or Blob whose content is derived from s; most are
// small, every 1000th is a blob of about 4 MiB. A Fixed message with sequence kControlSequence
// is a control message (value = kind, wide = its argument), never counted as traffic.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channels/KEPMsgChannel.h"
#include "tests/support/KEPTestMessages.h"

namespace keptest {

const std::uint32_t kControlSequence = 0xFFFFFFFFu;
const std::uint32_t kControlBye = 1;

// The traffic message with sequence s.
std::unique_ptr<SequencedMessage> MakeTrafficMessage(std::uint32_t sequence);
// A control message of the given kind, carrying value.
std::unique_ptr<SequencedMessage> MakeControlMessage(std::uint32_t kind, std::uint64_t value = 0);
// The control kind of message, or 0 when it is traffic.
std::uint32_t ControlKind(SequencedMessage& message);
// True when message is intact and equal to MakeTrafficMessage(expected); otherwise false with
// a reason in why.
bool VerifyTrafficMessage(SequencedMessage& message, std::uint32_t expected, std::string& why);
// Whether sequence s is sent immediately (otherwise queued).
bool SentImmediately(std::uint32_t sequence);

// Keeps sent messages alive until the send buffer no longer holds them.
class TrafficSender {
  public:
    // Sends traffic [begin, end) to channel through the communicator, each message immediate
    // or queued as SentImmediately says. Queued ones go out with the next transmit pass.
    void Send(const KEPMsgChannel& channel, std::uint32_t begin, std::uint32_t end);
    // Sends a control message immediately.
    void SendControl(const KEPMsgChannel& channel, std::uint32_t kind, std::uint64_t value = 0);
    // Frees every message no longer pending; true when none is left.
    bool AllWritten();

  private:
    // Each message with the id it was queued under (0 when sent immediately).
    std::vector<std::pair<unsigned int, std::unique_ptr<SequencedMessage>>> m_kept;
};

// Checks incoming traffic of one direction in order.
class TrafficChecker {
  public:
    // Takes message (and deletes it); false, with Error() set, on the first bad message.
    bool Accept(std::unique_ptr<SequencedMessage> message);
    std::uint32_t Received() const { return m_next; }
    bool ByeSeen() const { return m_byeSeen; }
    const std::string& Error() const { return m_error; }

  private:
    std::uint32_t m_next = 0;
    bool m_byeSeen = false;
    std::string m_error;
};

}  // namespace keptest
