#include "link/aes256.h"

#include <cstring>

namespace {
constexpr int kRounds = 14;

constexpr uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// The inverse S-box, derived once from the forward table.
struct InvSbox {
    uint8_t t[256];
    constexpr InvSbox() : t{} {
        for (int i = 0; i < 256; ++i) t[kSbox[i]] = static_cast<uint8_t>(i);
    }
};
constexpr InvSbox kInv;

constexpr uint8_t kRcon[8] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

inline uint8_t xtime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x >> 7) * 0x1b)); }

inline uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b != 0) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

inline uint32_t sub_word(uint32_t w) {
    return static_cast<uint32_t>(kSbox[w >> 24]) << 24 | static_cast<uint32_t>(kSbox[(w >> 16) & 0xff]) << 16 |
           static_cast<uint32_t>(kSbox[(w >> 8) & 0xff]) << 8 | kSbox[w & 0xff];
}

inline uint32_t rot_word(uint32_t w) { return (w << 8) | (w >> 24); }

// The state is the block itself: byte 4*c + r is row r of column c.
void add_round_key(uint8_t s[16], const uint32_t *rk) {
    for (int c = 0; c < 4; ++c) {
        s[4 * c + 0] ^= static_cast<uint8_t>(rk[c] >> 24);
        s[4 * c + 1] ^= static_cast<uint8_t>(rk[c] >> 16);
        s[4 * c + 2] ^= static_cast<uint8_t>(rk[c] >> 8);
        s[4 * c + 3] ^= static_cast<uint8_t>(rk[c]);
    }
}

void sub_bytes(uint8_t s[16], const uint8_t *box) {
    for (int i = 0; i < 16; ++i) s[i] = box[s[i]];
}

// Row r moves r places left (encrypt) or right (decrypt).
void shift_rows(uint8_t s[16], bool inverse) {
    uint8_t t[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            int from = inverse ? (c - r + 4) % 4 : (c + r) % 4;
            t[4 * c + r] = s[4 * from + r];
        }
    std::memcpy(s, t, 16);
}

void mix_columns(uint8_t s[16]) {
    for (int c = 0; c < 4; ++c) {
        uint8_t *col = s + 4 * c;
        uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = static_cast<uint8_t>(xtime(a0) ^ xtime(a1) ^ a1 ^ a2 ^ a3);
        col[1] = static_cast<uint8_t>(a0 ^ xtime(a1) ^ xtime(a2) ^ a2 ^ a3);
        col[2] = static_cast<uint8_t>(a0 ^ a1 ^ xtime(a2) ^ xtime(a3) ^ a3);
        col[3] = static_cast<uint8_t>(xtime(a0) ^ a0 ^ a1 ^ a2 ^ xtime(a3));
    }
}

void inv_mix_columns(uint8_t s[16]) {
    for (int c = 0; c < 4; ++c) {
        uint8_t *col = s + 4 * c;
        uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9);
        col[1] = gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13);
        col[2] = gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11);
        col[3] = gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14);
    }
}

void aes256_cipher(const uint32_t *rk, uint8_t s[16]) {
    add_round_key(s, rk);
    for (int round = 1; round < kRounds; ++round) {
        sub_bytes(s, kSbox);
        shift_rows(s, false);
        mix_columns(s);
        add_round_key(s, rk + 4 * round);
    }
    sub_bytes(s, kSbox);
    shift_rows(s, false);
    add_round_key(s, rk + 4 * kRounds);
}

void aes256_inv_cipher(const uint32_t *rk, uint8_t s[16]) {
    add_round_key(s, rk + 4 * kRounds);
    for (int round = kRounds - 1; round > 0; --round) {
        shift_rows(s, true);
        sub_bytes(s, kInv.t);
        add_round_key(s, rk + 4 * round);
        inv_mix_columns(s);
    }
    shift_rows(s, true);
    sub_bytes(s, kInv.t);
    add_round_key(s, rk);
}
}  // namespace

void aes256_expand_key(uint32_t round_key[60], const uint8_t key[32]) {
    for (int i = 0; i < 8; ++i) {
        round_key[i] = static_cast<uint32_t>(key[4 * i]) << 24 | static_cast<uint32_t>(key[4 * i + 1]) << 16 |
                       static_cast<uint32_t>(key[4 * i + 2]) << 8 | key[4 * i + 3];
    }
    for (int i = 8; i < 60; ++i) {
        uint32_t t = round_key[i - 1];
        if (i % 8 == 0)
            t = sub_word(rot_word(t)) ^ (static_cast<uint32_t>(kRcon[i / 8]) << 24);
        else if (i % 8 == 4)
            t = sub_word(t);
        round_key[i] = round_key[i - 8] ^ t;
    }
}

void aes256_init(aes256_context *ctx, const uint8_t key[32]) {
    aes256_expand_key(ctx->round_key, key);
    std::memset(ctx->iv, 0, sizeof ctx->iv);
}

void aes256_init_iv(aes256_context *ctx, const uint8_t key[32], const uint8_t iv[16]) {
    aes256_expand_key(ctx->round_key, key);
    aes256_set_iv(ctx, iv);
}

void aes256_set_iv(aes256_context *ctx, const uint8_t iv[16]) { std::memcpy(ctx->iv, iv, sizeof ctx->iv); }

void aes256_encrypt_block(const aes256_context *ctx, uint8_t block[16]) { aes256_cipher(ctx->round_key, block); }

void aes256_decrypt_block(const aes256_context *ctx, uint8_t block[16]) {
    aes256_inv_cipher(ctx->round_key, block);
}

int aes256_cbc_encrypt(aes256_context *ctx, uint8_t *buf, size_t len) {
    if (len % 16 != 0) return -1;
    for (size_t off = 0; off < len; off += 16) {
        for (int i = 0; i < 16; ++i) buf[off + i] ^= ctx->iv[i];
        aes256_cipher(ctx->round_key, buf + off);
        std::memcpy(ctx->iv, buf + off, 16);
    }
    return 0;
}

int aes256_cbc_decrypt(aes256_context *ctx, uint8_t *buf, size_t len) {
    if (len % 16 != 0) return -1;
    uint8_t prev[16];
    for (size_t off = 0; off < len; off += 16) {
        std::memcpy(prev, buf + off, 16);
        aes256_inv_cipher(ctx->round_key, buf + off);
        for (int i = 0; i < 16; ++i) buf[off + i] ^= ctx->iv[i];
        std::memcpy(ctx->iv, prev, 16);
    }
    return 0;
}

void aes256_ctr_xcrypt(aes256_context *ctx, uint8_t *buf, size_t len) {
    uint8_t ks[16];
    for (size_t off = 0; off < len; off += 16) {
        std::memcpy(ks, ctx->iv, 16);
        aes256_cipher(ctx->round_key, ks);
        size_t n = len - off < 16 ? len - off : 16;
        for (size_t i = 0; i < n; ++i) buf[off + i] ^= ks[i];
        for (int i = 15; i >= 0; --i)
            if (++ctx->iv[i] != 0) break;
    }
}
