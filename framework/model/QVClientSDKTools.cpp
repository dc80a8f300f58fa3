#include "model/QVClientSDKTools.h"

#include <cstring>

size_t QVClientSDKTools::validUtf8PrefixLength(const char *bytes, size_t size) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0;
    while (i < size) {
        const unsigned char c = s[i];
        size_t n = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c == 0xE0) {
            n = 2, lo = 0xA0;
        } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
            n = 2;
        } else if (c == 0xED) {
            n = 2, hi = 0x9F;  // no surrogates
        } else if (c == 0xF0) {
            n = 3, lo = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            n = 3;
        } else if (c == 0xF4) {
            n = 3, hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return i;
        }
        if (i + n >= size) return i;  // sequence cut by the end
        if (s[i + 1] < lo || s[i + 1] > hi) return i;
        for (size_t k = 2; k <= n; ++k)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return i;
        i += n + 1;
    }
    return i;
}

std::optional<QString> QVClientSDKTools::qvFormatChar(const char *text, size_t maxBytes) {
    if (text == nullptr) return std::nullopt;
    const void *nul = std::memchr(text, '\0', maxBytes);
    const size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - text) : maxBytes;
    if (len == 0) return QString();
    const size_t valid = validUtf8PrefixLength(text, len);
    if (valid == 0) return std::nullopt;
    return QString::fromUtf8(text, static_cast<qsizetype>(valid));
}

std::optional<QString> QVClientSDKTools::qvFormatChar(const char *text) {
    if (text == nullptr) return std::nullopt;
    return qvFormatChar(text, std::strlen(text));
}

QString QVClientSDKTools::qvFormatCharOrEmpty(const char *text, size_t maxBytes) {
    return qvFormatChar(text, maxBytes).value_or(QString());
}
