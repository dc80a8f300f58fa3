#include "link/base64.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned kInvalid = 192;
}  // namespace

char base64_char(unsigned value) { return kAlphabet[value & 63]; }

unsigned base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return kInvalid;
}

char *base64_encode(size_t *out_len, size_t in_len, const void *in) {
    if (out_len == nullptr) return nullptr;
    *out_len = 0;
    if (in == nullptr && in_len > 0) return nullptr;
    if (in_len > (static_cast<size_t>(-1) - 1) / 4 * 3 - 3) return nullptr;  // the text length would overflow
    const auto *p = static_cast<const unsigned char *>(in);
    size_t n = (in_len + 2) / 3 * 4;
    auto *out = static_cast<char *>(std::malloc(n + 1));
    if (out == nullptr) return nullptr;

    size_t o = 0, i = 0;
    for (; i + 3 <= in_len; i += 3) {
        unsigned v = static_cast<unsigned>(p[i]) << 16 | static_cast<unsigned>(p[i + 1]) << 8 | p[i + 2];
        out[o++] = base64_char(v >> 18);
        out[o++] = base64_char(v >> 12);
        out[o++] = base64_char(v >> 6);
        out[o++] = base64_char(v);
    }
    if (in_len - i == 1) {
        unsigned v = static_cast<unsigned>(p[i]) << 16;
        out[o++] = base64_char(v >> 18);
        out[o++] = base64_char(v >> 12);
        out[o++] = '=';
        out[o++] = '=';
    } else if (in_len - i == 2) {
        unsigned v = static_cast<unsigned>(p[i]) << 16 | static_cast<unsigned>(p[i + 1]) << 8;
        out[o++] = base64_char(v >> 18);
        out[o++] = base64_char(v >> 12);
        out[o++] = base64_char(v >> 6);
        out[o++] = '=';
    }
    out[o] = '\0';
    *out_len = o + 1;
    return out;
}

unsigned char *base64_decode(size_t *out_len, size_t max_len, const char *in) {
    if (out_len == nullptr) return nullptr;
    *out_len = 0;
    if (in == nullptr) return nullptr;
    size_t len = strnlen(in, max_len);
    if (len % 4 != 0) return nullptr;

    // Padding: the bits it stands for must be zero in the character before it.
    size_t pad = 0;
    if (len >= 4 && in[len - 1] == '=') {
        pad = in[len - 2] == '=' ? 2 : 1;
        unsigned last = base64_value(in[len - 1 - pad]);
        if (last == kInvalid) return nullptr;
        if ((last & (pad == 2 ? 0x0f : 0x03)) != 0) return nullptr;
    }
    size_t chars = len - pad;
    size_t n = len / 4 * 3 - pad;
    auto *out = static_cast<unsigned char *>(std::malloc(n + 1));
    if (out == nullptr) return nullptr;

    size_t o = 0;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = 0; i < chars; ++i) {
        unsigned v = base64_value(in[i]);
        if (v == kInvalid) {
            std::free(out);
            return nullptr;
        }
        acc = (acc << 6 | v) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[o++] = static_cast<unsigned char>(acc >> bits);
        }
    }
    out[o] = '\0';
    *out_len = o;
    return out;
}
