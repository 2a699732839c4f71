// Host message classes for the messaging tests, the demo and the tools.
//
// Every body starts with a 32-bit sequence number, so a receiver can check order per
// connection. Each class reads exactly what it writes, loops over partial reads and partial
// writes, and treats a read that succeeds with 0 bytes as the end of the connection; a failed
// read leaves the message marked unreadable (IsIntact() false). Integers go out in the host
// order of the x86-64 machine, like the message header. Messages are not thread-safe; one
// thread uses a message at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/KEPBasSocketMessage.h"
#include "base/KEPBasStream.h"
#include "base/KEPString.h"

namespace keptest {

// Base of the test messages: the sequence number and the outcome of the last ReadBody.
class SequencedMessage : public KEPBasSocketMessage {
  public:
    SequencedMessage();
    // Not copied: the live count would miss copies.
    SequencedMessage(const SequencedMessage&) = delete;
    SequencedMessage& operator=(const SequencedMessage&) = delete;
    ~SequencedMessage() override;

    std::uint32_t Sequence() const { return m_sequence; }
    // True after construction and after a ReadBody that got a whole, consistent body.
    bool IsIntact() const { return m_intact; }
    // Number of WriteBody calls on this object (the library must never copy a message).
    int WriteCount() const { return m_writeCount; }

  protected:
    std::uint32_t m_sequence = 0;
    bool m_intact = true;
    int m_writeCount = 0;
};

// Type "Text": a variable-length UTF-8 text (u32 length, then the bytes).
class TextMessage : public SequencedMessage {
  public:
    static constexpr const char* kType = "Text";
    TextMessage() = default;
    TextMessage(std::uint32_t sequence, std::string text) : m_text(std::move(text)) {
        m_sequence = sequence;
    }

    const std::string& Text() const { return m_text; }

    bool WriteBody(KEPBasOutputStream* stream) override;
    bool ReadBody(KEPBasInputStream* stream) override;
    KEPBasSocketMessage* CreateInstance() override { return new TextMessage(); }
    KEPString GetMessageType() override { return KEPString(kType); }

  private:
    std::string m_text;
};

// Type "Fixed": a 16-byte body (sequence, a 32-bit value, a 64-bit value).
class FixedMessage : public SequencedMessage {
  public:
    static constexpr const char* kType = "Fixed";
    FixedMessage() = default;
    FixedMessage(std::uint32_t sequence, std::uint32_t value, std::uint64_t wide)
        : m_value(value), m_wide(wide) {
        m_sequence = sequence;
    }

    std::uint64_t Wide() const { return m_wide; }

    bool WriteBody(KEPBasOutputStream* stream) override;
    bool ReadBody(KEPBasInputStream* stream) override;
    KEPBasSocketMessage* CreateInstance() override { return new FixedMessage(); }
    KEPString GetMessageType() override { return KEPString(kType); }

  private:
    std::uint32_t m_value = 0;
    std::uint64_t m_wide = 0;
};

// Type "Blob": any number of bytes up to kMaxBytes (u32 length, the bytes, u32 checksum).
// ReadBody refuses a length above kMaxBytes and marks a checksum mismatch as not intact.
class BlobMessage : public SequencedMessage {
  public:
    static constexpr const char* kType = "Blob";
    static const std::uint32_t kMaxBytes = 16u * 1024u * 1024u;
    BlobMessage() = default;
    // A blob of size bytes whose content is derived from seed.
    BlobMessage(std::uint32_t sequence, std::size_t size, std::uint32_t seed);

    bool WriteBody(KEPBasOutputStream* stream) override;
    bool ReadBody(KEPBasInputStream* stream) override;
    KEPBasSocketMessage* CreateInstance() override { return new BlobMessage(); }
    KEPString GetMessageType() override { return KEPString(kType); }

  private:
    std::vector<unsigned char> m_data;
};

// A message whose type name is given at construction and whose body is empty; for unknown
// types and type-name edge cases.
class NamedEmptyMessage : public SequencedMessage {
  public:
    explicit NamedEmptyMessage(std::string type) : m_type(std::move(type)) {}

    bool WriteBody(KEPBasOutputStream*) override { return ++m_writeCount > 0; }
    bool ReadBody(KEPBasInputStream*) override { return true; }
    KEPBasSocketMessage* CreateInstance() override { return new NamedEmptyMessage(m_type); }
    KEPString GetMessageType() override { return KEPString(m_type.c_str()); }

  private:
    std::string m_type;
};

// A "Text" message whose WriteBody fails without writing anything.
class FailingTextMessage : public TextMessage {
  public:
    FailingTextMessage() = default;
    bool WriteBody(KEPBasOutputStream*) override { return ++m_writeCount < 0; }
};

// Counts the live objects of the test message classes (construction minus destruction), so
// tests can see that a message the library made was released.
int LiveTestMessages();

}  // namespace keptest
