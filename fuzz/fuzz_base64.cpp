// Arbitrary text into the Base64 decoder (as the firmware-download "reserved" text and other device fields
// reach it), with a length bound from byte 0; whatever decodes must encode back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t max_len = data[0] == 255 ? static_cast<size_t>(-1) : data[0] * 4u;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t out_len = 0;
    unsigned char *out = base64_decode(&out_len, max_len, text.c_str());
    if (!out) {
        if (out_len != 0) __builtin_trap();
        return 0;
    }
    if (out[out_len] != 0) __builtin_trap();
    // The decoded bytes come from exactly the characters read: at most max_len, up to the first zero.
    const size_t read = std::min(std::strlen(text.c_str()), max_len);
    size_t enc_len = 0;
    char *enc = base64_encode(&enc_len, out_len, out);
    if (!enc || enc_len != std::strlen(enc) + 1 || enc_len - 1 != read ||
        std::memcmp(enc, text.data(), read) != 0)
        __builtin_trap();
    std::free(enc);
    std::free(out);
    return 0;
}
