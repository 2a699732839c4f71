#include "tests/support/KEPTestMessages.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace keptest {

namespace {

std::atomic<int> g_liveMessages{0};

// Largest piece handed to a stream at once (the stream's int length).
const std::size_t kMaxPiece = 1u << 30;

}  // namespace

bool ReadExact(KEPBasInputStream* stream, void* buffer, std::size_t length) {
    if (stream == nullptr) {
        return false;
    }
    unsigned char* cursor = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const int ask = static_cast<int>(length < kMaxPiece ? length : kMaxPiece);
        int got = 0;
        if (!stream->read(cursor, ask, got) || got <= 0 || got > ask) {
            return false;  // failure, or the peer closed the connection
        }
        cursor += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(KEPBasOutputStream* stream, const void* data, std::size_t length) {
    if (stream == nullptr) {
        return false;
    }
    const unsigned char* cursor = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const int ask = static_cast<int>(length < kMaxPiece ? length : kMaxPiece);
        int written = 0;
        if (!stream->write(const_cast<unsigned char*>(cursor), ask, written) || written != ask) {
            return false;
        }
        cursor += ask;
        length -= static_cast<std::size_t>(ask);
    }
    return true;
}

std::uint32_t Checksum(const void* data, std::size_t length) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;
    }
    return hash;
}

int LiveTestMessages() {
    return g_liveMessages.load();
}

SequencedMessage::SequencedMessage() {
    ++g_liveMessages;
}

SequencedMessage::SequencedMessage(const SequencedMessage& other)
    : KEPBasSocketMessage(other),
      m_sequence(other.m_sequence),
      m_intact(other.m_intact),
      m_writeCount(0) {
    ++g_liveMessages;
}

SequencedMessage::~SequencedMessage() {
    --g_liveMessages;
}

// --- TextMessage -------------------------------------------------------------------------------

const char* const TextMessage::kType = "Text";

TextMessage::TextMessage(std::uint32_t sequence, std::string text) : m_text(std::move(text)) {
    m_sequence = sequence;
}

bool TextMessage::WriteBody(KEPBasOutputStream* stream) {
    ++m_writeCount;
    const std::uint32_t length = static_cast<std::uint32_t>(m_text.size());
    return WriteAll(stream, &m_sequence, sizeof m_sequence) &&
           WriteAll(stream, &length, sizeof length) && WriteAll(stream, m_text.data(), length);
}

bool TextMessage::ReadBody(KEPBasInputStream* stream) {
    std::uint32_t length = 0;
    m_intact = ReadExact(stream, &m_sequence, sizeof m_sequence) &&
               ReadExact(stream, &length, sizeof length) && length <= BlobMessage::kMaxBytes;
    if (m_intact) {
        m_text.assign(length, '\0');
        m_intact = ReadExact(stream, &m_text[0], length);
    }
    return m_intact;
}

// --- FixedMessage ------------------------------------------------------------------------------

const char* const FixedMessage::kType = "Fixed";

FixedMessage::FixedMessage(std::uint32_t sequence, std::uint32_t value, std::uint64_t wide)
    : m_value(value), m_wide(wide) {
    m_sequence = sequence;
}

bool FixedMessage::WriteBody(KEPBasOutputStream* stream) {
    ++m_writeCount;
    unsigned char body[16];
    std::memcpy(body, &m_sequence, 4);
    std::memcpy(body + 4, &m_value, 4);
    std::memcpy(body + 8, &m_wide, 8);
    return WriteAll(stream, body, sizeof body);
}

bool FixedMessage::ReadBody(KEPBasInputStream* stream) {
    unsigned char body[16];
    m_intact = ReadExact(stream, body, sizeof body);
    if (m_intact) {
        std::memcpy(&m_sequence, body, 4);
        std::memcpy(&m_value, body + 4, 4);
        std::memcpy(&m_wide, body + 8, 8);
    }
    return m_intact;
}

// --- BlobMessage -------------------------------------------------------------------------------

const char* const BlobMessage::kType = "Blob";

BlobMessage::BlobMessage(std::uint32_t sequence, std::size_t size, std::uint32_t seed)
    : m_data(size) {
    m_sequence = sequence;
    std::uint32_t state = seed * 2654435761u + 1u;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;  // cheap deterministic filler
        m_data[i] = static_cast<unsigned char>(state >> 24);
    }
}

bool BlobMessage::WriteBody(KEPBasOutputStream* stream) {
    ++m_writeCount;
    const std::uint32_t length = static_cast<std::uint32_t>(m_data.size());
    const std::uint32_t checksum = Checksum(m_data.data(), m_data.size());
    return WriteAll(stream, &m_sequence, sizeof m_sequence) &&
           WriteAll(stream, &length, sizeof length) &&
           WriteAll(stream, m_data.data(), m_data.size()) &&
           WriteAll(stream, &checksum, sizeof checksum);
}

bool BlobMessage::ReadBody(KEPBasInputStream* stream) {
    std::uint32_t length = 0;
    m_intact = ReadExact(stream, &m_sequence, sizeof m_sequence) &&
               ReadExact(stream, &length, sizeof length) && length <= kMaxBytes;
    if (!m_intact) {
        return false;
    }
    m_data.assign(length, 0);
    std::uint32_t checksum = 0;
    m_intact = ReadExact(stream, m_data.data(), length) &&
               ReadExact(stream, &checksum, sizeof checksum) &&
               checksum == Checksum(m_data.data(), m_data.size());
    return m_intact;
}

// --- NamedEmptyMessage, FailingTextMessage -------------------------------------------------------

bool NamedEmptyMessage::WriteBody(KEPBasOutputStream* /*stream*/) {
    ++m_writeCount;
    return true;
}

bool NamedEmptyMessage::ReadBody(KEPBasInputStream* /*stream*/) {
    return true;
}

bool FailingTextMessage::WriteBody(KEPBasOutputStream* /*stream*/) {
    ++m_writeCount;
    return false;
}

}  // namespace keptest
