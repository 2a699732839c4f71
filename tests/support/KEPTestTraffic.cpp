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

std::unique_ptr<SequencedMessage> MakeControlMessage(std::uint32_t kind) {
    return std::unique_ptr<SequencedMessage>(new FixedMessage(kControlSequence, kind, 0));
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
        m_keep.push_back(MakeTrafficMessage(sequence));
        if (SentImmediately(sequence)) {
            communicator.SendSocketMessage(channel, m_keep.back().get());
        } else {
            unsigned int id = 0;
            communicator.ISendSocketMessage(channel, m_keep.back().get(), id);
            m_queuedIds.push_back(id);
        }
    }
}

void TrafficSender::SendControl(const KEPMsgChannel& channel, std::uint32_t kind) {
    m_keep.push_back(MakeControlMessage(kind));
    KEPMsgSocketCommunicator::Instance().SendSocketMessage(channel, m_keep.back().get());
}

bool TrafficSender::AllWritten() {
    KEPBasVector<unsigned int> pending;
    KEPMsgSocketCommunicator::Instance().QueryPendingStatus(m_queuedIds, pending);
    if (pending.size() != 0) {
        return false;
    }
    m_keep.clear();
    m_queuedIds.Clear();
    return true;
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
