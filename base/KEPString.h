// KEPString: reference-counted UTF-8 string handle.
//
// Copies share the text and its reference count (atomic, so copies may live on different
// threads); the text itself is immutable once built, and operations that change a string build
// new text for this handle only. A null handle (default-constructed) reads as "". Ordering and
// equality compare unsigned bytes; a null string equals the empty string.
#pragma once

#include "base/KEPBasExport.h"

class KEPBAS_API KEPString {
  public:
    KEPString();                  // null string
    KEPString(const char* utf8);  // NOLINT: implicit by design, like a literal
    KEPString(const char* utf8,
              int lengthInBytes);  // the first lengthInBytes bytes, zeros included
    KEPString(const KEPString& other);
    KEPString(KEPString&& other) noexcept;
    KEPString& operator=(const KEPString& other);
    KEPString& operator=(KEPString&& other) noexcept;
    KEPString& operator=(const char* utf8);
    ~KEPString();

    // Replaces the text with a copy of utf8 (null gives the empty text). Returns true.
    bool BuildFromUTF8(const char* utf8);

    // The text, terminated by a zero byte; "" for a null string. Valid while this handle lives
    // and is not changed.
    const char* GetUTF8() const;
    bool IsNull() const;
    int GetLengthInByte() const;
    // Number of code points (bytes that do not continue a UTF-8 sequence).
    int GetLengthInChar() const;

    // Negative, 0 or positive as this sorts before, equal to or after other, by unsigned bytes.
    int Compare(const KEPString& other) const;
    // Byte index of the first occurrence of text at or after start, or -1.
    int FindPosition(const KEPString& text, int start) const;

    KEPString operator+(const KEPString& other) const;
    KEPString& operator+=(const KEPString& other);
    KEPString& operator+=(int number);  // appends the decimal digits

    bool operator==(const KEPString& other) const { return Compare(other) == 0; }
    bool operator!=(const KEPString& other) const { return Compare(other) != 0; }
    bool operator<(const KEPString& other) const { return Compare(other) < 0; }

  private:
    struct Text;
    Text* m_text;
};
