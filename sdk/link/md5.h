// MD5 (RFC 1321) over a caller-held context.
#pragma once

#include <cstdint>

struct md5_ctx {
    uint32_t state[4];         // chaining words
    uint32_t count[2];         // message length in bits: low word, then high word
    unsigned char buffer[64];  // a partial block waiting for more input
};

void md5_init(md5_ctx *ctx);
void md5_update(md5_ctx *ctx, const void *data, uint32_t len);
// Writes the 16-byte digest and wipes the context.
void md5_final(unsigned char digest[16], md5_ctx *ctx);
// The 64-step compression of one 64-byte block into the context's chaining words.
void md5_transform(md5_ctx *ctx, const unsigned char block[64]);
