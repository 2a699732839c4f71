#include "tests/support/KEPTestMessages.h"

#include <algorithm>
#include <atomic>

namespace keptest {

namespace {

std::atomic<int> g_liveMessages{0};

// Reads exactly length bytes (bodies stay far below INT_MAX); false on a failed read or the end
// of the connection.
bool ReadExact(KEPBasInputStream* stream, void* buffer, std::size_t length) {
    unsigned char* cursor = static_cast<unsigned char*>(buffer);
    for (int got = 0; length > 0; cursor += got, length -= static_cast<std::size_t>(got)) {
        const int ask = static_cast<int>(length);
        if (stream == nullptr || !stream->read(cursor, ask, got) || got <= 0 || got > ask) {
            return false;
        }
    }
    return true;
}

// Reads length bytes into out, growing it as they arrive: an announced length is not trusted for
// an allocation (and its zero-filling) up front.
template <class Bytes>
bool ReadGrowing(KEPBasInputStream* stream, Bytes& out, std::size_t length) {
    const std::size_t kPiece = 64 * 1024;
    out.clear();
    while (out.size() < length) {
        const std::size_t have = out.size();
        out.resize(have + std::min(kPiece, length - have));
        if (!ReadExact(stream, &out[have], out.size() - have)) {
            return false;
        }
    }
    return true;
}

// Writes all length bytes; false when the stream fails or reports fewer bytes.
bool WriteAll(KEPBasOutputStream* stream, const void* data, std::size_t length) {
    int written = 0;
    return length == 0 ||
           (stream != nullptr &&
            stream->write(const_cast<void*>(data), static_cast<int>(length), written) &&
            written == static_cast<int>(length));
}

// FNV-1a over the bytes, the checksum carried by blob messages.
std::uint32_t Checksum(const std::vector<unsigned char>& bytes) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : bytes) {
        hash = (hash ^ byte) * 16777619u;
    }
    return hash;
}

}  // namespace

int LiveTestMessages() {
    return g_liveMessages.load();
}

SequencedMessage::SequencedMessage() {
    ++g_liveMessages;
}

SequencedMessage::~SequencedMessage() {
    --g_liveMessages;
}

bool TextMessage::WriteBody(KEPBasOutputStream* stream) {
    ++m_writeCount;
    const std::uint32_t length = static_cast<std::uint32_t>(m_text.size());
    return WriteAll(stream, &m_sequence, 4) && WriteAll(stream, &length, 4) &&
           WriteAll(stream, m_text.data(), length);
}

bool TextMessage::ReadBody(KEPBasInputStream* stream) {
    std::uint32_t length = 0;
    m_intact = ReadExact(stream, &m_sequence, 4) && ReadExact(stream, &length, 4) &&
               length <= BlobMessage::kMaxBytes;
    if (m_intact) {
        m_intact = ReadGrowing(stream, m_text, length);
    }
    return m_intact;
}

bool FixedMessage::WriteBody(KEPBasOutputStream* stream) {
    ++m_writeCount;
    return WriteAll(stream, &m_sequence, 4) && WriteAll(stream, &m_value, 4) &&
           WriteAll(stream, &m_wide, 8);
}

bool FixedMessage::ReadBody(KEPBasInputStream* stream) {
    m_intact = ReadExact(stream, &m_sequence, 4) && ReadExact(stream, &m_value, 4) &&
               ReadExact(stream, &m_wide, 8);
    return m_intact;
}

BlobMessage::BlobMessage(std::uint32_t sequence, std::size_t size, std::uint32_t seed)
    : m_data(size) {
    m_sequence = sequence;
    std::uint32_t state = seed * 2654435761u + 1u;
    for (unsigned char& byte : m_data) {
        state = state * 1664525u + 1013904223u;  // cheap deterministic filler
        byte = static_cast<unsigned char>(state >> 24);
    }
}

bool BlobMessage::WriteBody(KEPBasOutputStream* stream) {
    ++m_writeCount;
    const std::uint32_t length = static_cast<std::uint32_t>(m_data.size());
    const std::uint32_t checksum = Checksum(m_data);
    return WriteAll(stream, &m_sequence, 4) && WriteAll(stream, &length, 4) &&
           WriteAll(stream, m_data.data(), m_data.size()) && WriteAll(stream, &checksum, 4);
}

bool BlobMessage::ReadBody(KEPBasInputStream* stream) {
    std::uint32_t length = 0;
    std::uint32_t checksum = 0;
    m_intact =
        ReadExact(stream, &m_sequence, 4) && ReadExact(stream, &length, 4) && length <= kMaxBytes;
    if (m_intact) {
        m_intact = ReadGrowing(stream, m_data, length) && ReadExact(stream, &checksum, 4) &&
                   checksum == Checksum(m_data);
    }
    return m_intact;
}

}  // namespace keptest
