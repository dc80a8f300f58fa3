// Test helpers of the digests: hex text of bytes, and a digest of a message fed in pieces.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>

namespace digest_test {

inline std::string to_hex(const unsigned char *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// The hex digest of the message fed in pieces of the given size (0: all at once); `update(ctx, data, n)`
// feeds one piece.
template <size_t Size, typename Ctx, typename Update>
std::string pieces_hex(const std::string &msg, size_t piece, void (*init)(Ctx *), Update update,
                       void (*finish)(unsigned char *, Ctx *)) {
    Ctx ctx;
    init(&ctx);
    if (piece == 0) piece = msg.size() + 1;
    for (size_t off = 0; off < msg.size(); off += piece)
        update(&ctx, msg.data() + off, std::min(piece, msg.size() - off));
    unsigned char d[Size];
    finish(d, &ctx);
    return to_hex(d, sizeof d);
}

}  // namespace digest_test
