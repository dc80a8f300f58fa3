// SHA-1 on OpenSSL's block functions and HMAC-SHA1 by OpenSSL. The record keeps the chaining words, the bit
// count and the pending bytes where callers (and sha1_transform) see them; EVP hides its state, so the digest
// runs on OpenSSL's SHA_CTX loaded from and stored back into the record.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "link/sha1.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>

namespace {

SHA_CTX load(const sha1_ctx *ctx) {
    SHA_CTX o{};
    o.h0 = ctx->state[0];
    o.h1 = ctx->state[1];
    o.h2 = ctx->state[2];
    o.h3 = ctx->state[3];
    o.h4 = ctx->state[4];
    o.Nl = ctx->count[0];
    o.Nh = ctx->count[1];
    o.num = (ctx->count[0] >> 3) & 63;
    std::memcpy(o.data, ctx->buffer, sizeof ctx->buffer);
    return o;
}

void store_words(uint32_t state[5], const SHA_CTX &o) {
    state[0] = o.h0;
    state[1] = o.h1;
    state[2] = o.h2;
    state[3] = o.h3;
    state[4] = o.h4;
}

}  // namespace

void sha1_transform(uint32_t state[5], const unsigned char block[64]) {
    SHA_CTX o{};
    o.h0 = state[0];
    o.h1 = state[1];
    o.h2 = state[2];
    o.h3 = state[3];
    o.h4 = state[4];
    SHA1_Transform(&o, block);
    store_words(state, o);
    OPENSSL_cleanse(&o, sizeof o);
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
    SHA_CTX o = load(ctx);
    SHA1_Update(&o, data, static_cast<size_t>(len));
    store_words(ctx->state, o);
    ctx->count[0] = o.Nl;
    ctx->count[1] = o.Nh;
    std::memcpy(ctx->buffer, o.data, sizeof ctx->buffer);
    OPENSSL_cleanse(&o, sizeof o);
}

void sha1_final(unsigned char digest[20], sha1_ctx *ctx) {
    SHA_CTX o = load(ctx);
    SHA1_Final(digest, &o);
    OPENSSL_cleanse(&o, sizeof o);
    std::memset(ctx, 0, sizeof *ctx);
}

void hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, unsigned char *out,
               size_t *out_len) {
    static const unsigned char kNone = 0;  // stands for an empty key or message given as null
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned mac_len = 0;
    if (HMAC(EVP_sha1(), key_len ? key : &kNone, static_cast<int>(key_len),
             data_len ? static_cast<const unsigned char *>(data) : &kNone, data_len, mac,
             &mac_len) == nullptr ||
        mac_len != 20)
        std::memset(mac, 0, sizeof mac);
    if (out == nullptr || out_len == nullptr) return;
    const size_t n = *out_len < 20 ? *out_len : 20;
    std::memcpy(out, mac, n);
    *out_len = n;
}
