#include "tests/support/KEPTestTraffic.h"

#include <string>

#include "messaging/KEPMsgSocketCommunicator.h"

namespace keptest {

namespace {

std::size_t BlobSize(std::uint32_t sequence) {
    if (sequence % 1000 == 999) {
        return 4u * 1024u * 1024u - (sequence % 13);  // the few large ones
    }
    if (sequence % 97 == 5) {
        return 1000 + (sequence * 7919u) % 60000;  // some medium ones
    }
    return sequence % 300;
}

std::string TextFor(std::uint32_t sequence) {
    std::string text = "msg-" + std::to_string(sequence) + "-";
    text.append(sequence % 150, static_cast<char>('a' + sequence % 26));
    return text;
}

}  // namespace

std::unique_ptr<SequencedMessage> MakeTrafficMessage(std::uint32_t sequence) {
    if (sequence % 1000 == 999 || sequence % 97 == 5 || sequence % 3 == 2) {
        return std::unique_ptr<SequencedMessage>(
            new BlobMessage(sequence, BlobSize(sequence), sequence));
    }
    if (sequence % 3 == 1) {
        return std::unique_ptr<SequencedMessage>(new TextMessage(sequence, TextFor(sequence)));
    }
    return std::unique_ptr<SequencedMessage>(
        new FixedMessage(sequence, sequence * 2654435761u, std::uint64_t(sequence) * sequence + 7));
}

std::unique_ptr<SequencedMessage> MakeControlMessage(std::uint32_t kind, std::uint64_t value) {
    return std::unique_ptr<SequencedMessage>(new FixedMessage(kControlSequence, kind, value));
}

std::uint32_t ControlKind(SequencedMessage& message) {
    if (message.Sequence() != kControlSequence ||
        std::string(message.GetMessageType().GetUTF8()) != FixedMessage::kType) {
        return 0;
    }
    return static_cast<FixedMessage&>(message).Value();
}

bool SentImmediately(std::uint32_t sequence) {
    return sequence % 4 == 3;
}

bool VerifyTrafficMessage(SequencedMessage& message, std::uint32_t expected, std::string& why) {
    std::unique_ptr<SequencedMessage> reference = MakeTrafficMessage(expected);
    const std::string type = message.GetMessageType().GetUTF8();
    const std::string expectedType = reference->GetMessageType().GetUTF8();
    if (!message.IsIntact()) {
        why = "message " + std::to_string(expected) + " arrived damaged";
    } else if (message.Sequence() != expected) {
        why = "expected sequence " + std::to_string(expected) + ", got " +
              std::to_string(message.Sequence());
    } else if (type != expectedType) {
        why = "sequence " + std::to_string(expected) + " has type " + type;
    } else if (type == TextMessage::kType && static_cast<TextMessage&>(message).Text() !=
                                                 static_cast<TextMessage&>(*reference).Text()) {
        why = "text of " + std::to_string(expected) + " differs";
    } else if (type == FixedMessage::kType && (static_cast<FixedMessage&>(message).Value() !=
                                                   static_cast<FixedMessage&>(*reference).Value() ||
                                               static_cast<FixedMessage&>(message).Wide() !=
                                                   static_cast<FixedMessage&>(*reference).Wide())) {
        why = "fixed body of " + std::to_string(expected) + " differs";
    } else if (type == BlobMessage::kType && static_cast<BlobMessage&>(message).Data() !=
                                                 static_cast<BlobMessage&>(*reference).Data()) {
        why = "blob of " + std::to_string(expected) + " differs";
    } else {
        return true;
    }
    return false;
}

void TrafficSender::Send(const KEPMsgChannel& channel, std::uint32_t begin, std::uint32_t end) {
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    for (std::uint32_t sequence = begin; sequence < end; ++sequence) {
        std::unique_ptr<SequencedMessage> message = MakeTrafficMessage(sequence);
        unsigned int id = 0;
        if (SentImmediately(sequence)) {
            communicator.SendSocketMessage(channel, message.get());
        } else {
            communicator.ISendSocketMessage(channel, message.get(), id);
        }
        m_kept.emplace_back(id, std::move(message));
    }
}

void TrafficSender::SendControl(const KEPMsgChannel& channel, std::uint32_t kind,
                                std::uint64_t value) {
    std::unique_ptr<SequencedMessage> message = MakeControlMessage(kind, value);
    KEPMsgSocketCommunicator::Instance().SendSocketMessage(channel, message.get());
}

bool TrafficSender::AllWritten() {
    KEPMsgSocketCommunicator& communicator = KEPMsgSocketCommunicator::Instance();
    std::size_t kept = 0;
    for (auto& entry : m_kept) {
        if (entry.first != 0 && communicator.QueryPendingStatus(entry.first)) {
            m_kept[kept++] = std::move(entry);
        }
    }
    m_kept.resize(kept);
    return m_kept.empty();
}

bool TrafficChecker::Accept(std::unique_ptr<SequencedMessage> message) {
    if (!m_error.empty()) {
        return false;
    }
    if (!message) {
        m_error = "null message";
        return false;
    }
    const std::uint32_t kind = ControlKind(*message);
    if (kind == kControlBye) {
        m_byeSeen = true;
        return true;
    }
    if (kind != 0 || m_byeSeen) {
        m_error = "unexpected control message or traffic after bye";
        return false;
    }
    std::string why;
    if (!VerifyTrafficMessage(*message, m_next, why)) {
        m_error = why;
        return false;
    }
    ++m_next;
    return true;
}

}  // namespace keptest
