// AES-256 by OpenSSL: the key schedule of the record from OpenSSL's AES_set_encrypt_key, the block, CBC and
// CTR transforms through EVP. The record's first eight round-key words are the key itself (FIPS-197), so
// every transform takes its key from there.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "link/aes256.h"

#include <openssl/aes.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "base/qv_errors.h"

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};

// One cipher context per thread, set up afresh for every call.
EVP_CIPHER_CTX *thread_ctx() {
    thread_local std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    return ctx.get();
}

void key_bytes(const aes256_context *ctx, uint8_t key[32]) {
    for (int i = 0; i < 8; ++i) {
        const uint32_t w = ctx->round_key[i];
        key[4 * i] = static_cast<uint8_t>(w >> 24);
        key[4 * i + 1] = static_cast<uint8_t>(w >> 16);
        key[4 * i + 2] = static_cast<uint8_t>(w >> 8);
        key[4 * i + 3] = static_cast<uint8_t>(w);
    }
}

// `len` bytes of `buf` in place through `cipher` (no padding), the vector `iv` (may be null). False when
// OpenSSL refuses (no context, or an input beyond its int lengths).
bool transform(const EVP_CIPHER *cipher, const aes256_context *ctx, const uint8_t *iv, bool encrypt,
               uint8_t *buf, size_t len) {
    EVP_CIPHER_CTX *c = thread_ctx();
    if (c == nullptr) return false;
    uint8_t key[32];
    key_bytes(ctx, key);
    bool ok = EVP_CipherInit_ex(c, cipher, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, 0) == 1;
    OPENSSL_cleanse(key, sizeof key);
    constexpr size_t kPiece = 1u << 30;  // a multiple of the block within OpenSSL's int lengths
    for (size_t off = 0; ok && off < len; off += kPiece) {
        const int n = static_cast<int>(len - off < kPiece ? len - off : kPiece);
        int out = 0;
        ok = EVP_CipherUpdate(c, buf + off, &out, buf + off, n) == 1 && out == n;
    }
    EVP_CIPHER_CTX_reset(c);
    return ok;
}

// The 128-bit big-endian counter advanced by `blocks`.
void add_to_counter(uint8_t iv[16], uint64_t blocks) {
    unsigned carry = 0;
    for (int i = 15; i >= 0; --i) {
        const unsigned sum = iv[i] + static_cast<unsigned>(blocks & 0xff) + carry;
        iv[i] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
        blocks >>= 8;
        if (blocks == 0 && carry == 0) break;
    }
}

}  // namespace

void aes256_expand_key(uint32_t round_key[60], const uint8_t key[32]) {
    AES_KEY k;
    AES_set_encrypt_key(key, 256, &k);
    // OpenSSL's portable code keeps each word as the standard reads it (big-endian); its x86-64 code keeps
    // the bytes in key order. Word 0 is the key's first four bytes either way, which tells the two apart.
    const uint32_t first = static_cast<uint32_t>(key[0]) << 24 | static_cast<uint32_t>(key[1]) << 16 |
                           static_cast<uint32_t>(key[2]) << 8 | key[3];
    const bool as_bytes = static_cast<uint32_t>(k.rd_key[0]) != first;
    for (int i = 0; i < 60; ++i) {
        const auto w = static_cast<uint32_t>(k.rd_key[i]);
        round_key[i] = as_bytes ? __builtin_bswap32(w) : w;
    }
    OPENSSL_cleanse(&k, sizeof k);
}

void aes256_init(aes256_context *ctx, const uint8_t key[32]) {
    aes256_expand_key(ctx->round_key, key);
    std::memset(ctx->iv, 0, sizeof ctx->iv);
}

void aes256_init_iv(aes256_context *ctx, const uint8_t key[32], const uint8_t iv[16]) {
    aes256_expand_key(ctx->round_key, key);
    aes256_set_iv(ctx, iv);
}

void aes256_set_iv(aes256_context *ctx, const uint8_t iv[16]) {
    std::memcpy(ctx->iv, iv, sizeof ctx->iv);
}

void aes256_encrypt_block(const aes256_context *ctx, uint8_t block[16]) {
    transform(EVP_aes_256_ecb(), ctx, nullptr, true, block, 16);
}

void aes256_decrypt_block(const aes256_context *ctx, uint8_t block[16]) {
    transform(EVP_aes_256_ecb(), ctx, nullptr, false, block, 16);
}

int aes256_cbc_encrypt(aes256_context *ctx, uint8_t *buf, size_t len) {
    if (len % 16 != 0) return QV_ERR_ARG;
    if (len == 0) return 0;
    if (!transform(EVP_aes_256_cbc(), ctx, ctx->iv, true, buf, len)) return QV_ERR_FAILED;
    std::memcpy(ctx->iv, buf + len - 16, 16);  // the chaining value goes on from the last ciphertext block
    return 0;
}

int aes256_cbc_decrypt(aes256_context *ctx, uint8_t *buf, size_t len) {
    if (len % 16 != 0) return QV_ERR_ARG;
    if (len == 0) return 0;
    uint8_t last[16];
    std::memcpy(last, buf + len - 16, 16);
    if (!transform(EVP_aes_256_cbc(), ctx, ctx->iv, false, buf, len)) return QV_ERR_FAILED;
    std::memcpy(ctx->iv, last, 16);
    return 0;
}

void aes256_ctr_xcrypt(aes256_context *ctx, uint8_t *buf, size_t len) {
    if (len == 0) return;
    if (transform(EVP_aes_256_ctr(), ctx, ctx->iv, true, buf, len)) add_to_counter(ctx->iv, (len + 15) / 16);
}
