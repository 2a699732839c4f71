// Message classes of the kepmsg tool, for any host that wants to talk to it.
//
// Three classes, all header-only:
//   KEPMsgToolRawMessage   bytes under a type name chosen at run time ("kepmsg.raw" by default);
//   KEPMsgToolPingMessage  "kepmsg.ping": a sequence number and an opaque 8-byte stamp;
//   KEPMsgToolPongMessage  "kepmsg.pong": the answer to a ping, carrying the same two fields.
// Bodies (after the library's header, which names the type):
//   raw        4-byte little-endian length L, then L bytes;
//   ping/pong  4-byte little-endian sequence number, then 8-byte little-endian stamp.
// A receiver registers one raw prototype per type name it accepts; CreateInstance keeps the
// prototype's type name, so one class serves every name.
//
// Ownership: messages are plain host objects. A message handed to a send must stay alive until
// it has been written; a received message belongs to whoever retrieved it (delete it). A message
// object is not shared between threads without external synchronization.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "base/KEPString.h"

namespace kepmsgtool {

constexpr const char* kRawType = "kepmsg.raw";
constexpr const char* kPingType = "kepmsg.ping";
constexpr const char* kPongType = "kepmsg.pong";

// Largest raw body a receiver accepts; a larger announced length marks the message invalid.
constexpr std::uint32_t kMaxRawBodyBytes = 512u * 1024u * 1024u;

// Writes all n bytes through the stream, splitting lengths that do not fit an int. True when
// every byte went out.
inline bool WriteAll(KEPBasOutputStream* stream, const void* data, std::size_t n) {
    if (stream == nullptr) {
        return false;
    }
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    constexpr std::size_t kMaxPiece = 1u << 30;
    while (n > 0) {
        const int piece = static_cast<int>(n < kMaxPiece ? n : kMaxPiece);
        int written = 0;
        if (!stream->write(bytes, piece, written) || written != piece) {
            return false;
        }
        bytes += piece;
        n -= static_cast<std::size_t>(piece);
    }
    return true;
}

// Reads exactly n bytes, looping over partial reads. False when a read fails or the peer closes
// first.
inline bool ReadAll(KEPBasInputStream* stream, void* data, std::size_t n) {
    if (stream == nullptr) {
        return false;
    }
    auto* bytes = static_cast<unsigned char*>(data);
    constexpr std::size_t kMaxPiece = 1u << 30;
    while (n > 0) {
        const int want = static_cast<int>(n < kMaxPiece ? n : kMaxPiece);
        int got = 0;
        if (!stream->read(bytes, want, got) || got <= 0) {
            return false;
        }
        bytes += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

inline void PutLittleEndian(unsigned char* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline std::uint64_t GetLittleEndian(const unsigned char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

}  // namespace kepmsgtool

// Bytes under a type name given at construction.
class KEPMsgToolRawMessage : public KEPBasSocketMessage {
  public:
    explicit KEPMsgToolRawMessage(std::string type = kepmsgtool::kRawType, std::string body = {})
        : m_type(std::move(type)), m_body(std::move(body)) {}

    const std::string& Type() const { return m_type; }
    const std::string& Body() const { return m_body; }
    void SetBody(std::string body) { m_body = std::move(body); }
    // False when the last ReadBody did not get a whole, acceptable body.
    bool IsValid() const { return m_valid; }

    bool WriteBody(KEPBasOutputStream* stream) override {
        if (m_body.size() > kepmsgtool::kMaxRawBodyBytes) {
            return false;
        }
        unsigned char length[4];
        kepmsgtool::PutLittleEndian(length, m_body.size(), 4);
        return kepmsgtool::WriteAll(stream, length, sizeof length) &&
               kepmsgtool::WriteAll(stream, m_body.data(), m_body.size());
    }

    bool ReadBody(KEPBasInputStream* stream) override {
        m_valid = false;
        m_body.clear();
        unsigned char length[4];
        if (!kepmsgtool::ReadAll(stream, length, sizeof length)) {
            return false;
        }
        const std::uint64_t size = kepmsgtool::GetLittleEndian(length, 4);
        if (size > kepmsgtool::kMaxRawBodyBytes) {
            return false;
        }
        // Grow with what arrives rather than trusting the announced length up front.
        constexpr std::size_t kPiece = 256 * 1024;
        while (m_body.size() < size) {
            const std::size_t have = m_body.size();
            const std::size_t want = std::min<std::size_t>(kPiece, size - have);
            m_body.resize(have + want);
            if (!kepmsgtool::ReadAll(stream, &m_body[have], want)) {
                m_body.resize(have);
                return false;
            }
        }
        m_valid = true;
        return true;
    }

    KEPBasSocketMessage* CreateInstance() override { return new KEPMsgToolRawMessage(m_type); }
    KEPString GetMessageType() override { return KEPString(m_type.c_str()); }

  private:
    std::string m_type;
    std::string m_body;
    bool m_valid = true;
};

// Shared body of ping and pong: a sequence number and an opaque stamp the sender chooses.
class KEPMsgToolEchoMessage : public KEPBasSocketMessage {
  public:
    KEPMsgToolEchoMessage(std::uint32_t sequence, std::uint64_t stamp)
        : m_sequence(sequence), m_stamp(stamp) {}

    std::uint32_t Sequence() const { return m_sequence; }
    std::uint64_t Stamp() const { return m_stamp; }
    bool IsValid() const { return m_valid; }

    bool WriteBody(KEPBasOutputStream* stream) override {
        unsigned char body[12];
        kepmsgtool::PutLittleEndian(body, m_sequence, 4);
        kepmsgtool::PutLittleEndian(body + 4, m_stamp, 8);
        return kepmsgtool::WriteAll(stream, body, sizeof body);
    }

    bool ReadBody(KEPBasInputStream* stream) override {
        unsigned char body[12];
        m_valid = kepmsgtool::ReadAll(stream, body, sizeof body);
        if (m_valid) {
            m_sequence = static_cast<std::uint32_t>(kepmsgtool::GetLittleEndian(body, 4));
            m_stamp = kepmsgtool::GetLittleEndian(body + 4, 8);
        }
        return m_valid;
    }

  private:
    std::uint32_t m_sequence;
    std::uint64_t m_stamp;
    bool m_valid = true;
};

class KEPMsgToolPingMessage : public KEPMsgToolEchoMessage {
  public:
    explicit KEPMsgToolPingMessage(std::uint32_t sequence = 0, std::uint64_t stamp = 0)
        : KEPMsgToolEchoMessage(sequence, stamp) {}
    KEPBasSocketMessage* CreateInstance() override { return new KEPMsgToolPingMessage; }
    KEPString GetMessageType() override { return KEPString(kepmsgtool::kPingType); }
};

class KEPMsgToolPongMessage : public KEPMsgToolEchoMessage {
  public:
    explicit KEPMsgToolPongMessage(std::uint32_t sequence = 0, std::uint64_t stamp = 0)
        : KEPMsgToolEchoMessage(sequence, stamp) {}
    KEPBasSocketMessage* CreateInstance() override { return new KEPMsgToolPongMessage; }
    KEPString GetMessageType() override { return KEPString(kepmsgtool::kPongType); }
};
