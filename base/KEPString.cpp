#include "base/KEPString.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/mem_Allocation.h"

namespace {

// Shared, immutable text: a reference count, the length and the bytes with a terminating zero.
struct SharedText {
    std::atomic<int> m_references;
    int m_length;
    char m_bytes[1];
};

SharedText* MakeText(const char* first, int firstLength, const char* second, int secondLength) {
    const std::size_t size = offsetof(SharedText, m_bytes) + static_cast<std::size_t>(firstLength) +
                             static_cast<std::size_t>(secondLength) + 1;
    SharedText* text = static_cast<SharedText*>(mem_OperatorNewThrowBuiltin(size));
    new (&text->m_references) std::atomic<int>(1);
    text->m_length = firstLength + secondLength;
    if (firstLength > 0) {
        std::memcpy(text->m_bytes, first, static_cast<std::size_t>(firstLength));
    }
    if (secondLength > 0) {
        std::memcpy(text->m_bytes + firstLength, second, static_cast<std::size_t>(secondLength));
    }
    text->m_bytes[text->m_length] = '\0';
    return text;
}

void Retain(SharedText* text) {
    if (text != nullptr) {
        text->m_references.fetch_add(1, std::memory_order_relaxed);
    }
}

void Release(SharedText* text) {
    if (text != nullptr && text->m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        mem_Free(text);
    }
}

}  // namespace

struct KEPString::Text : SharedText {};

KEPString::KEPString() : m_text(nullptr) {}

KEPString::KEPString(const char* utf8)
    : m_text(utf8 != nullptr ? static_cast<Text*>(
                                   MakeText(utf8, static_cast<int>(std::strlen(utf8)), nullptr, 0))
                             : nullptr) {}

KEPString::KEPString(const char* utf8, int lengthInBytes)
    : m_text(utf8 != nullptr && lengthInBytes >= 0
                 ? static_cast<Text*>(MakeText(utf8, lengthInBytes, nullptr, 0))
                 : nullptr) {}

KEPString::KEPString(const KEPString& other) : m_text(other.m_text) {
    Retain(m_text);
}

KEPString::KEPString(KEPString&& other) noexcept : m_text(other.m_text) {
    other.m_text = nullptr;
}

KEPString& KEPString::operator=(const KEPString& other) {
    Retain(other.m_text);
    Release(m_text);
    m_text = other.m_text;
    return *this;
}

KEPString& KEPString::operator=(KEPString&& other) noexcept {
    if (this != &other) {
        Release(m_text);
        m_text = other.m_text;
        other.m_text = nullptr;
    }
    return *this;
}

KEPString& KEPString::operator=(const char* utf8) {
    BuildFromUTF8(utf8);
    return *this;
}

KEPString::~KEPString() {
    Release(m_text);
}

bool KEPString::BuildFromUTF8(const char* utf8) {
    Text* built = static_cast<Text*>(
        MakeText(utf8 != nullptr ? utf8 : "",
                 utf8 != nullptr ? static_cast<int>(std::strlen(utf8)) : 0, nullptr, 0));
    Release(m_text);
    m_text = built;
    return true;
}

const char* KEPString::GetUTF8() const {
    return m_text != nullptr ? m_text->m_bytes : "";
}

bool KEPString::IsNull() const {
    return m_text == nullptr;
}

int KEPString::GetLengthInByte() const {
    return m_text != nullptr ? m_text->m_length : 0;
}

int KEPString::GetLengthInChar() const {
    int count = 0;
    for (int i = 0; i < GetLengthInByte(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(m_text->m_bytes[i]);
        if ((byte & 0xC0u) != 0x80u) {
            ++count;
        }
    }
    return count;
}

int KEPString::Compare(const KEPString& other) const {
    const int length = GetLengthInByte();
    const int otherLength = other.GetLengthInByte();
    const int common = length < otherLength ? length : otherLength;
    if (common > 0) {
        // memcmp orders by unsigned bytes.
        const int order = std::memcmp(GetUTF8(), other.GetUTF8(), static_cast<std::size_t>(common));
        if (order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    return length < otherLength ? -1 : (length > otherLength ? 1 : 0);
}

int KEPString::FindPosition(const KEPString& text, int start) const {
    const int length = GetLengthInByte();
    const int textLength = text.GetLengthInByte();
    if (start < 0) {
        start = 0;
    }
    if (start > length || textLength > length - start) {
        return -1;
    }
    const char* bytes = GetUTF8();
    const char* wanted = text.GetUTF8();
    for (int i = start; i + textLength <= length; ++i) {
        if (std::memcmp(bytes + i, wanted, static_cast<std::size_t>(textLength)) == 0) {
            return i;
        }
    }
    return -1;
}

KEPString KEPString::operator+(const KEPString& other) const {
    KEPString result;
    result.m_text = static_cast<Text*>(
        MakeText(GetUTF8(), GetLengthInByte(), other.GetUTF8(), other.GetLengthInByte()));
    return result;
}

KEPString& KEPString::operator+=(const KEPString& other) {
    Text* built = static_cast<Text*>(
        MakeText(GetUTF8(), GetLengthInByte(), other.GetUTF8(), other.GetLengthInByte()));
    Release(m_text);
    m_text = built;
    return *this;
}

KEPString& KEPString::operator+=(int number) {
    char digits[16];
    const int count = std::snprintf(digits, sizeof digits, "%d", number);
    Text* built = static_cast<Text*>(MakeText(GetUTF8(), GetLengthInByte(), digits, count));
    Release(m_text);
    m_text = built;
    return *this;
}
