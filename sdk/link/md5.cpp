#include "link/md5.h"

#include <cstring>
#include <utility>

namespace {
// Per-step shift amounts and sine-derived constants of RFC 1321.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// One step, its round function and message word fixed at compile time: the 64 steps unroll into
// straight-line code (a loop choosing them at run time is several times slower).
template <int I>
[[gnu::always_inline]] inline void step(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, const uint32_t *m) {
    uint32_t f;
    int g;
    if constexpr (I < 16) {
        f = d ^ (b & (c ^ d));
        g = I;
    } else if constexpr (I < 32) {
        f = c ^ (d & (b ^ c));
        g = (5 * I + 1) % 16;
    } else if constexpr (I < 48) {
        f = b ^ c ^ d;
        g = (3 * I + 5) % 16;
    } else {
        f = c ^ (b | ~d);
        g = (7 * I) % 16;
    }
    const uint32_t t = d;
    d = c;
    c = b;
    b = b + rol(a + f + kSine[I] + m[g], kShift[I]);
    a = t;
}

template <size_t... I>
[[gnu::always_inline]] inline void all_steps(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, const uint32_t *m,
                                             std::index_sequence<I...>) {
    (step<static_cast<int>(I)>(a, b, c, d, m), ...);
}
}  // namespace

void md5_transform(md5_ctx *ctx, const unsigned char block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<uint32_t>(block[4 * i + 2]) << 16 | static_cast<uint32_t>(block[4 * i + 3]) << 24;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    all_steps(a, b, c, d, m, std::make_index_sequence<64>{});
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
}

void md5_init(md5_ctx *ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
}

void md5_update(md5_ctx *ctx, const void *data, uint32_t len) {
    if (len == 0) return;
    const auto *p = static_cast<const unsigned char *>(data);
    uint32_t used = (ctx->count[0] >> 3) & 63;
    uint32_t low = ctx->count[0] + (len << 3);
    if (low < ctx->count[0]) ++ctx->count[1];
    ctx->count[0] = low;
    ctx->count[1] += len >> 29;

    uint32_t i = 0;
    if (used + static_cast<uint64_t>(len) >= 64) {
        i = 64 - used;
        std::memcpy(ctx->buffer + used, p, i);
        md5_transform(ctx, ctx->buffer);
        for (; static_cast<uint64_t>(i) + 64 <= len; i += 64) {
            md5_transform(ctx, p + i);  // whole blocks straight from the input
        }
        used = 0;
    }
    std::memcpy(ctx->buffer + used, p + i, len - i);
}

void md5_final(unsigned char digest[16], md5_ctx *ctx) {
    unsigned char bits[8];
    for (int i = 0; i < 4; ++i) {
        bits[i] = static_cast<unsigned char>(ctx->count[0] >> (8 * i));
        bits[4 + i] = static_cast<unsigned char>(ctx->count[1] >> (8 * i));
    }
    uint32_t used = (ctx->count[0] >> 3) & 63;
    uint32_t pad_len = used < 56 ? 56 - used : 120 - used;
    unsigned char pad[64] = {0x80};
    md5_update(ctx, pad, pad_len);
    md5_update(ctx, bits, 8);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(ctx->state[i / 4] >> (8 * (i % 4)));
    std::memset(ctx, 0, sizeof *ctx);
}
