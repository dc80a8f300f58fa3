// AES-256 block cipher (FIPS-197) with CBC and CTR buffer transforms.
#pragma once

#include <cstddef>
#include <cstdint>

struct aes256_context {
    uint32_t round_key[60];  // expanded key: the round keys of the 14 rounds
    uint8_t iv[16];          // chaining value (CBC) or counter (CTR)
};

// Key expansion of a 32-byte key into ctx->round_key; the vector is zeroed.
void aes256_init(aes256_context *ctx, const uint8_t key[32]);
void aes256_init_iv(aes256_context *ctx, const uint8_t key[32], const uint8_t iv[16]);
void aes256_set_iv(aes256_context *ctx, const uint8_t iv[16]);
void aes256_expand_key(uint32_t round_key[60], const uint8_t key[32]);

// One 16-byte block in place.
void aes256_encrypt_block(const aes256_context *ctx, uint8_t block[16]);
void aes256_decrypt_block(const aes256_context *ctx, uint8_t block[16]);

// CBC over a buffer in place; the length must be a multiple of 16 (else QV_ERR_ARG, buffer untouched). The
// vector is the chaining value and holds the last ciphertext block afterwards.
int aes256_cbc_encrypt(aes256_context *ctx, uint8_t *buf, size_t len);
int aes256_cbc_decrypt(aes256_context *ctx, uint8_t *buf, size_t len);

// CTR over a buffer of any length in place: the vector is a 128-bit big-endian counter, incremented after
// each keystream block.
void aes256_ctr_xcrypt(aes256_context *ctx, uint8_t *buf, size_t len);
