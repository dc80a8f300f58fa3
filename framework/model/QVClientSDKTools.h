// Text conversion of the device SDK's C texts.
#pragma once

#include <QString>
#include <cstddef>
#include <optional>

class QVClientSDKTools final {
  public:
    QVClientSDKTools() = delete;
    // The text of a C string read up to its NUL but never past `maxBytes` (the field's width), decoded as
    // UTF-8. When the bytes do not decode whole, the longest prefix that does (so a last character cut by a
    // fixed-width field is dropped); none when not even one byte decodes; "" for an empty text. Null
    // pointer: none.
    static std::optional<QString> qvFormatChar(const char *text, size_t maxBytes);
    // The same for a zero-terminated text of unknown width.
    static std::optional<QString> qvFormatChar(const char *text);
    // qvFormatChar, or "" where it answers none.
    static QString qvFormatCharOrEmpty(const char *text, size_t maxBytes);
    // Length of the longest prefix of `bytes` that is strict UTF-8 (RFC 3629: no overlong forms, no
    // surrogates, nothing above U+10FFFF), found in one pass.
    static size_t validUtf8PrefixLength(const char *bytes, size_t size);
};
