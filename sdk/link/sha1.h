// SHA-1 (FIPS 180-1) over a caller-held context, and HMAC-SHA1 (RFC 2104).
#pragma once

#include <cstddef>
#include <cstdint>

struct sha1_ctx {
    uint32_t state[5];         // chaining words
    uint32_t count[2];         // message length in bits: low word, then high word
    unsigned char buffer[64];  // a partial block waiting for more input
};

void sha1_init(sha1_ctx *ctx);
void sha1_update(sha1_ctx *ctx, const void *data, uint64_t len);
// Writes the 20-byte digest and wipes the context.
void sha1_final(unsigned char digest[20], sha1_ctx *ctx);
// The 80-step compression of one 64-byte block into the chaining words.
void sha1_transform(uint32_t state[5], const unsigned char block[64]);

// HMAC-SHA1 of data under key (a key longer than 64 bytes is hashed first; an empty key is allowed). On entry
// *out_len is the room of out; min(room, 20) leading bytes of the MAC are written and their count stored.
void hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, unsigned char *out,
               size_t *out_len);
