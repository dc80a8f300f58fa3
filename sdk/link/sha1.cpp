#include "link/sha1.h"

#include <cstring>

namespace {
inline uint32_t rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline uint32_t load_be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
}  // namespace

void sha1_transform(uint32_t state[5], const unsigned char block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void sha1_init(sha1_ctx *ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
    ctx->count[0] = ctx->count[1] = 0;
}

void sha1_update(sha1_ctx *ctx, const void *data, uint64_t len) {
    if (len == 0) return;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t used = (ctx->count[0] >> 3) & 63;
    uint32_t low = ctx->count[0] + static_cast<uint32_t>(len << 3);
    if (low < ctx->count[0]) ++ctx->count[1];
    ctx->count[0] = low;
    ctx->count[1] += static_cast<uint32_t>(len >> 29);

    uint64_t i = 0;
    if (used + len >= 64) {
        i = 64 - used;
        std::memcpy(ctx->buffer + used, p, static_cast<size_t>(i));
        sha1_transform(ctx->state, ctx->buffer);
        for (; i + 64 <= len; i += 64) sha1_transform(ctx->state, p + i);
        used = 0;
    }
    std::memcpy(ctx->buffer + used, p + i, static_cast<size_t>(len - i));
}

void sha1_final(unsigned char digest[20], sha1_ctx *ctx) {
    unsigned char bits[8];
    for (int i = 0; i < 4; ++i) {
        bits[i] = static_cast<unsigned char>(ctx->count[1] >> (24 - 8 * i));
        bits[4 + i] = static_cast<unsigned char>(ctx->count[0] >> (24 - 8 * i));
    }
    const unsigned char one = 0x80, zero = 0;
    sha1_update(ctx, &one, 1);
    while ((ctx->count[0] & 511) != 448) sha1_update(ctx, &zero, 1);
    sha1_update(ctx, bits, 8);
    for (int i = 0; i < 20; ++i) digest[i] = static_cast<unsigned char>(ctx->state[i / 4] >> (24 - 8 * (i % 4)));
    std::memset(ctx, 0, sizeof *ctx);
}

void hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, unsigned char *out,
               size_t *out_len) {
    unsigned char k[64] = {};
    sha1_ctx ctx;
    if (key_len > 64) {
        sha1_init(&ctx);
        sha1_update(&ctx, key, key_len);
        sha1_final(k, &ctx);
    } else if (key_len > 0) {
        std::memcpy(k, key, key_len);
    }

    unsigned char pad[64];
    unsigned char inner[20];
    for (int i = 0; i < 64; ++i) pad[i] = k[i] ^ 0x36;
    sha1_init(&ctx);
    sha1_update(&ctx, pad, 64);
    sha1_update(&ctx, data, data_len);
    sha1_final(inner, &ctx);

    unsigned char mac[20];
    for (int i = 0; i < 64; ++i) pad[i] = k[i] ^ 0x5C;
    sha1_init(&ctx);
    sha1_update(&ctx, pad, 64);
    sha1_update(&ctx, inner, sizeof inner);
    sha1_final(mac, &ctx);

    if (out == nullptr || out_len == nullptr) return;
    size_t n = *out_len < sizeof mac ? *out_len : sizeof mac;
    std::memcpy(out, mac, n);
    *out_len = n;
}
