#include "command/file_uri.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "command/url_escape.h"
#include "link/base64.h"
#include "link/sha1.h"

namespace {
[[noreturn]] void die(const char *what) {
    QV_LOG_ERROR("%s", what);
    std::abort();
}
}  // namespace

char *qvFGetUriByToken(const char *path, int32_t bucket_id, int64_t token) {
    if (path == nullptr || token == 0) {
        QV_LOG_ERROR("para is null");
        return nullptr;
    }
    if (*path == '/') ++path;
    const std::string escaped = qv_url_escape(path);
    const std::string to_sign = "GET\n/" + std::to_string(bucket_id) + "/" + escaped;
    const std::string key = std::to_string(static_cast<long long>(token));

    unsigned char mac[20];
    size_t mac_len = sizeof mac;
    hmac_sha1(key.data(), key.size(), to_sign.data(), to_sign.size(), mac, &mac_len);
    char hex[41];
    for (size_t i = 0; i < 20; ++i) {
        unsigned hi = mac[i] >> 4, lo = mac[i] & 15;
        hex[2 * i] = static_cast<char>(hi < 10 ? '0' + hi : 'a' + hi - 10);
        hex[2 * i + 1] = static_cast<char>(lo < 10 ? '0' + lo : 'a' + lo - 10);
    }
    hex[40] = '\0';

    size_t b64_len = 0;
    char *b64 = base64_encode(&b64_len, 40, hex);
    if (b64 == nullptr) die("msg != NULL");
    const std::string ssig(b64 + 5, 10);  // 56 characters: positions 5 to 14
    std::free(b64);

    const std::string uri = "/" + std::to_string(bucket_id) + "/" + escaped + "?KID=" + key + "&ssig=" + ssig;
    char *out = static_cast<char *>(std::malloc(uri.size() + 1));
    if (out == nullptr) die("uri != NULL");
    std::memcpy(out, uri.c_str(), uri.size() + 1);
    return out;
}
