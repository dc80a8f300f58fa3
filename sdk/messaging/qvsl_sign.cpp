#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/qv_log.h"
#include "link/base64.h"
#include "link/md5.h"
#include "link/sha1.h"
#include "link/url_encode.h"
#include "messaging/qvsl_http.h"

void qvsl_http_get_local_time(char *out) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm t {};
    gmtime_r(&now, &t);  // the text says GMT, so the clock reading is UTC
    std::snprintf(out, 30, "%s, %d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday % 7], t.tm_mday,
                  kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
}

void qvsl_http_content_md5(const void *bytes, size_t len, char *out) {
    static const char kHex[] = "0123456789ABCDEF";
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, bytes, static_cast<uint32_t>(len));
    unsigned char digest[16];
    md5_final(digest, &ctx);
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
}

std::string qvsl_http_string_to_sign(const qvsl_sign_block *s) {
    std::string out;
    out.reserve(256);
    out.append(s->verb).append("\n").append(s->content_md5).append("\n").append(s->content_type).append("\n");
    out.append(s->date).append("\nx-amz-meta-checksumalgorithm:").append(s->checksum_algorithm).append("\n");
    out.append(s->path).append("?").append(s->query);
    return out;
}

int qvsl_http_create_encode_ssig(const qvsl_http_data *data, char *out, int out_cap) {
    if (!data || !out || out_cap < 11) return -1;
    const std::string to_sign = qvsl_http_string_to_sign(&data->sign);  // built to size, never cut
    unsigned char mac[20];
    size_t mac_len = sizeof mac;
    hmac_sha1(data->app_key, std::strlen(data->app_key), to_sign.data(), to_sign.size(), mac, &mac_len);
    size_t b64_len = 0;
    char *b64 = base64_encode(&b64_len, mac_len, mac);
    if (!b64 || std::strlen(b64) < 15) {
        free(b64);
        return -1;
    }
    const int n = curl_url_encode(b64 + 5, 10, out, out_cap);
    free(b64);
    // Neither the string to sign (it holds the code) nor the ssig goes to the log.
    QV_LOG_DEBUG("request signed (%zu bytes signed)", to_sign.size());
    return n > 0 ? 0 : -1;
}
