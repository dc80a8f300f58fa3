// MD5 on OpenSSL's block functions. The record keeps the chaining words, the bit count and the pending bytes
// where callers (and md5_transform) see them; EVP hides its state, so the digest runs on OpenSSL's MD5_CTX
// loaded from and stored back into the record.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "link/md5.h"

#include <openssl/crypto.h>
#include <openssl/md5.h>

#include <cstring>

namespace {

MD5_CTX load(const md5_ctx *ctx) {
    MD5_CTX o{};
    o.A = ctx->state[0];
    o.B = ctx->state[1];
    o.C = ctx->state[2];
    o.D = ctx->state[3];
    o.Nl = ctx->count[0];
    o.Nh = ctx->count[1];
    o.num = (ctx->count[0] >> 3) & 63;
    std::memcpy(o.data, ctx->buffer, sizeof ctx->buffer);
    return o;
}

void store(md5_ctx *ctx, MD5_CTX *o) {
    ctx->state[0] = o->A;
    ctx->state[1] = o->B;
    ctx->state[2] = o->C;
    ctx->state[3] = o->D;
    ctx->count[0] = o->Nl;
    ctx->count[1] = o->Nh;
    std::memcpy(ctx->buffer, o->data, sizeof ctx->buffer);
    OPENSSL_cleanse(o, sizeof *o);
}

}  // namespace

void md5_transform(md5_ctx *ctx, const unsigned char block[64]) {
    MD5_CTX o = load(ctx);
    MD5_Transform(&o, block);
    ctx->state[0] = o.A;
    ctx->state[1] = o.B;
    ctx->state[2] = o.C;
    ctx->state[3] = o.D;
    OPENSSL_cleanse(&o, sizeof o);
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
    MD5_CTX o = load(ctx);
    MD5_Update(&o, data, len);
    store(ctx, &o);
}

void md5_final(unsigned char digest[16], md5_ctx *ctx) {
    MD5_CTX o = load(ctx);
    MD5_Final(digest, &o);
    OPENSSL_cleanse(&o, sizeof o);
    std::memset(ctx, 0, sizeof *ctx);
}
