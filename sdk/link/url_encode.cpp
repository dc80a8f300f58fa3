#include "link/url_encode.h"

namespace {
const char kHex[] = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

bool url_char_kept(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '-' || c == '.' || c == '/' || c == '_';
}

std::string qv_url_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (url_char_kept(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

int curl_url_encode(const char *in, int in_len, char *out, int out_cap) {
    if (!in || !out || in_len <= 0 || out_cap <= 0) return 0;
    int n = 0;
    for (int i = 0; i < in_len; ++i) {
        const auto c = static_cast<unsigned char>(in[i]);
        const int need = url_char_kept(c) ? 1 : 3;
        if (n + need > out_cap - 1) {
            out[n] = '\0';
            return 0;
        }
        if (need == 1) {
            out[n++] = static_cast<char>(c);
        } else {
            out[n++] = '%';
            out[n++] = kHex[c >> 4];
            out[n++] = kHex[c & 15];
        }
    }
    out[n] = '\0';
    return n;
}

int curl_url_decode(const char *in, int in_len, char *out, int out_cap) {
    if (!in || !out || in_len <= 0 || out_cap <= 0) return 0;
    int n = 0;
    int i = 0;
    while (i < in_len && n < out_cap - 1) {
        if (in[i] != '%') {
            out[n++] = in[i++];
            continue;
        }
        if (in_len - i < 3) {  // fewer than two characters follow: only the "%" goes
            ++i;
            continue;
        }
        const int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
        if (hi >= 0 && lo >= 0) out[n++] = static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    out[n] = '\0';
    return n;
}
