// Base64 by OpenSSL (EVP_EncodeBlock, EVP_DecodeBlock) under the alphabet, padding and strictness rules of
// base64.h.
#include "link/base64.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned kInvalid = 192;
// Pieces within OpenSSL's int lengths: whole groups of 3 bytes, and of 4 characters.
constexpr size_t kEncodePiece = size_t{3} << 28;
constexpr size_t kDecodePiece = size_t{4} << 28;
}  // namespace

char base64_char(unsigned value) {
    return kAlphabet[value & 63];
}

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
    const size_t n = (in_len + 2) / 3 * 4;
    auto *out = static_cast<char *>(std::malloc(n + 1));
    if (out == nullptr) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < in_len; i += kEncodePiece) {
        const size_t take = in_len - i < kEncodePiece ? in_len - i : kEncodePiece;
        o += static_cast<size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out + o), p + i, static_cast<int>(take)));
    }
    out[o] = '\0';
    *out_len = o + 1;
    return out;
}

unsigned char *base64_decode(size_t *out_len, size_t max_len, const char *in) {
    if (out_len == nullptr) return nullptr;
    *out_len = 0;
    if (in == nullptr) return nullptr;
    const size_t len = strnlen(in, max_len);
    if (len % 4 != 0) return nullptr;

    // OpenSSL's decoder skips blanks and takes "=" anywhere: the strict rules are checked here first.
    // Padding: the bits it stands for must be zero in the character before it.
    size_t pad = 0;
    if (len >= 4 && in[len - 1] == '=') {
        pad = in[len - 2] == '=' ? 2 : 1;
        const unsigned last = base64_value(in[len - 1 - pad]);
        if (last == kInvalid) return nullptr;
        if ((last & (pad == 2 ? 0x0f : 0x03)) != 0) return nullptr;
    }
    for (size_t i = 0; i < len - pad; ++i)
        if (base64_value(in[i]) == kInvalid) return nullptr;

    auto *out = static_cast<unsigned char *>(std::malloc(len / 4 * 3 + 1));
    if (out == nullptr) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < len; i += kDecodePiece) {
        const size_t take = len - i < kDecodePiece ? len - i : kDecodePiece;
        const int got =
            EVP_DecodeBlock(out + o, reinterpret_cast<const unsigned char *>(in + i), static_cast<int>(take));
        if (got < 0) {
            std::free(out);
            return nullptr;
        }
        o += static_cast<size_t>(got);
    }
    o -= pad;  // OpenSSL counts the bytes the padding stands for
    out[o] = '\0';
    *out_len = o;
    return out;
}
