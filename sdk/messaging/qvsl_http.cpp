#include "messaging/qvsl_http.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "base/qv_log.h"
#include "messaging/qvmsgs.h"

namespace {

// The library's global state is set up once per process: per-request set-up and release would race between
// requests running on several threads.
void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// The certificates of the trust bundle (its key block left out), as curl's CA store.
const std::string &ca_certificates() {
    static const std::string certs = [] {
        const std::string bundle = qvmsgs_cert_bundle();
        const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
        std::string out;
        for (size_t p = bundle.find(begin); p != std::string::npos; p = bundle.find(begin, p + 1)) {
            const size_t e = bundle.find(end, p);
            if (e == std::string::npos) break;
            out += bundle.substr(p, e + end.size() - p) + "\n";
        }
        return out;
    }();
    return certs;
}

#define SET_OPT(h, opt, val)                                              \
    do {                                                                  \
        const CURLcode rc_ = curl_easy_setopt(h, opt, val);               \
        if (rc_ != CURLE_OK) {                                            \
            QV_LOG_ERROR("%s failed: %s", #opt, curl_easy_strerror(rc_)); \
            return false;                                                 \
        }                                                                 \
    } while (0)

bool set_options(CURL *h, qvsl_http_data *data) {
    if (!data->url[0]) {
        QV_LOG_ERROR("url is null");
        return false;
    }
    SET_OPT(h, CURLOPT_URL, data->url);
    // Peer and host verification stay on for every request; the trust set is the bundle's certificates.
    curl_blob blob{};
    blob.data = const_cast<char *>(ca_certificates().data());
    blob.len = ca_certificates().size();
    blob.flags = CURL_BLOB_COPY;
    SET_OPT(h, CURLOPT_CAINFO_BLOB, &blob);
    SET_OPT(h, CURLOPT_SSL_VERIFYPEER, 1L);
    SET_OPT(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (data->postfield) {
        SET_OPT(h, CURLOPT_POST, 1L);
        SET_OPT(h, CURLOPT_COPYPOSTFIELDS, data->postfield);
    }
    if (!data->receive_cb) {
        QV_LOG_ERROR("http_receive_cb NULL");
        return false;
    }
    SET_OPT(h, CURLOPT_WRITEFUNCTION, data->receive_cb);
    SET_OPT(h, CURLOPT_WRITEDATA, data);
    if (data->recv_len > 0) SET_OPT(h, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(data->recv_len));
    if (data->show_progress && data->progress_cb) {
        SET_OPT(h, CURLOPT_NOPROGRESS, 0L);
        SET_OPT(h, CURLOPT_XFERINFOFUNCTION, data->progress_cb);
        SET_OPT(h, CURLOPT_XFERINFODATA, data);
        SET_OPT(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        SET_OPT(h, CURLOPT_LOW_SPEED_TIME, 90L);
    }
    SET_OPT(h, CURLOPT_TIMEOUT, static_cast<long>(data->timeout));
    SET_OPT(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(data->connect_timeout));
    SET_OPT(h, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    SET_OPT(h, CURLOPT_VERBOSE, 0L);
    SET_OPT(h, CURLOPT_FORBID_REUSE, 1L);
    SET_OPT(h, CURLOPT_NOSIGNAL, 1L);
    return true;
}

void prepare(qvsl_http_data *data) {
    data->receive_cb = qvsl_http_receive_cb;
    data->progress_cb = qvsl_http_progress_cb;
    data->timeout = 30;
    data->connect_timeout = 10;
}

}  // namespace

void qvsl_http_reset(qvsl_http_data *data) {
    auto *bytes = reinterpret_cast<unsigned char *>(data);
    const size_t at = offsetof(qvsl_http_data, stop), after = at + sizeof data->stop;
    std::memset(bytes, 0, at);
    std::memset(bytes + after, 0, sizeof *data - after);
    std::atomic_ref<int32_t>(data->stop).store(0);
}

void qvsl_http_set_stop(qvsl_http_data *data) {
    std::atomic_ref<int32_t>(data->stop).store(1);
}

bool qvsl_http_stopped(const qvsl_http_data *data) {
    return std::atomic_ref<int32_t>(const_cast<qvsl_http_data *>(data)->stop).load() != 0;
}

curl_slist *curl_build_headers(const qvsl_sign_block *s) {
    curl_slist *list = nullptr;
    auto add = [&list](const std::string &line) {
        curl_slist *n = curl_slist_append(list, line.c_str());
        if (n) list = n;
    };
    if (s->verb[0]) add(std::string("HTTP-Verb: ") + s->verb);
    if (s->content_type[0]) add(std::string("Content-Type: ") + s->content_type);
    if (s->date[0]) add(std::string("DATE: ") + s->date);
    if (s->content_md5[0]) add(std::string("Content-MD5: ") + s->content_md5);
    if (s->checksum_algorithm[0]) add(std::string("X-Amz-Meta-CheckSumAlgorithm: ") + s->checksum_algorithm);
    if (s->path[0] && s->query[0]) add(std::string("CanonicalizedResource: ") + s->path + "?" + s->query);
    return list;
}

CURL *curl_sync_init(qvsl_http_data *data) {
    global_init();
    CURL *h = curl_easy_init();
    if (!h) {
        QV_LOG_ERROR("curl_easy_init failed");
        return nullptr;
    }
    if (!set_options(h, data)) {
        curl_easy_cleanup(h);
        return nullptr;
    }
    return h;
}

int curl_sync_request(CURL *h, qvsl_http_data *data) {
    curl_slist *headers = curl_build_headers(&data->sign);
    if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    data->status_code = static_cast<int32_t>(status);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK) {
        QV_LOG_ERROR("curl_easy_perform() failed: res=%d, %s", rc, curl_easy_strerror(rc));
        return 2;
    }
    return 0;
}

void curl_sync_destroy(CURL *h) {
    if (h) curl_easy_cleanup(h);
}

int curl_async_init(qvsl_http_data *data, CURL **easy, CURLM **multi, curl_slist **headers) {
    global_init();
    *easy = nullptr;
    *multi = nullptr;
    *headers = nullptr;
    CURL *h = curl_easy_init();
    if (!h) {
        QV_LOG_ERROR("curl_easy_init failed");
        return -1;
    }
    CURLM *m = curl_multi_init();
    if (!m) {
        QV_LOG_ERROR("curl_multi_init failed");
        curl_easy_cleanup(h);
        return -1;
    }
    if (!set_options(h, data)) {
        curl_multi_cleanup(m);
        curl_easy_cleanup(h);
        return -1;
    }
    curl_slist *hl = curl_build_headers(&data->sign);
    if (hl) curl_easy_setopt(h, CURLOPT_HTTPHEADER, hl);
    const CURLMcode mc = curl_multi_add_handle(m, h);
    if (mc != CURLM_OK) {
        QV_LOG_ERROR("curl_multi_add_handle failed:%s", curl_multi_strerror(mc));
        curl_multi_cleanup(m);
        curl_easy_cleanup(h);
        curl_slist_free_all(hl);
        return -1;
    }
    *easy = h;
    *multi = m;
    *headers = hl;
    return 0;
}

int curl_async_request(CURLM *multi, qvsl_http_data *data) {
    if (!data) return -1;
    int running = 0;
    const CURLMcode mc = curl_multi_perform(multi, &running);
    data->running = running;
    if (mc != CURLM_OK) {
        QV_LOG_ERROR("curl_multi_perform failed:%s", curl_multi_strerror(mc));
        return -1;
    }
    return 0;
}

int curl_async_getinfo(CURLM *multi, qvsl_http_data *data) {
    if (!data) return 0;
    int left = 0;
    CURLMsg *msg = curl_multi_info_read(multi, &left);
    if (!msg) {
        QV_LOG_ERROR("curl_multi_info_read failed");
        return -1;
    }
    if (msg->msg != CURLMSG_DONE) {
        QV_LOG_ERROR("error: after curl_multi_info_read(), CURLMsg=%d", msg->msg);
        return -1;
    }
    if (msg->data.result != CURLE_OK) {
        QV_LOG_ERROR("CURL error code: %d (%s)", msg->data.result, curl_easy_strerror(msg->data.result));
        return -1;
    }
    long status = 0;
    if (curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return -1;
    data->status_code = static_cast<int32_t>(status);
    return 0;
}

void curl_async_destroy(CURLM *multi, CURL *easy, curl_slist *headers) {
    if (!multi || !easy) {
        QV_LOG_ERROR("access null");
        return;
    }
    curl_multi_remove_handle(multi, easy);
    const CURLMcode mc = curl_multi_cleanup(multi);
    if (mc != CURLM_OK) QV_LOG_ERROR("curl_multi_cleanup failed:%s", curl_multi_strerror(mc));
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
}

int qvsl_http_sync_request(qvsl_http_data *data) {
    prepare(data);
    CURL *h = curl_sync_init(data);
    if (!h) {
        QV_LOG_ERROR("curl init error");
        return -1;
    }
    const int rc = curl_sync_request(h, data);
    curl_sync_destroy(h);
    if (rc != 0) {
        QV_LOG_ERROR("curl request error");
        return -1;
    }
    return 0;
}

int qvsl_http_async_request(qvsl_http_data *data) {
    prepare(data);
    CURL *easy;
    CURLM *multi;
    curl_slist *headers;
    if (curl_async_init(data, &easy, &multi, &headers) != 0) {
        QV_LOG_ERROR("curl_async_init fail");
        return -1;
    }
    int result = 0;
    for (;;) {
        if (curl_async_request(multi, data) != 0) {
            QV_LOG_ERROR("curl_async_get_running_handels fail");
            result = -1;
            break;
        }
        if (qvsl_http_stopped(data)) break;
        if (data->running == 0) {
            if (curl_async_getinfo(multi, data) != 0) {
                QV_LOG_ERROR("curl_async_get_status_code fail");
                result = -1;
            } else if (data->status_code != 200) {
                QV_LOG_ERROR("statusCode %d != 200", data->status_code);
                result = -1;
            }
            break;
        }
        // Wakes on socket activity, at the latest after 1 ms, so that a stop is seen promptly.
        curl_multi_poll(multi, nullptr, 0, 1, nullptr);
    }
    curl_async_destroy(multi, easy, headers);
    return result;
}

size_t qvsl_http_receive_cb(char *bytes, size_t size, size_t count, void *d) {
    auto *data = static_cast<qvsl_http_data *>(d);
    if (!bytes || !data) {
        QV_LOG_ERROR("access null");
        return 0;
    }
    const size_t n = size * count;
    if (data->save_to_file) {
        if (!data->fp) {
            QV_LOG_ERROR("respond_data->fp:%p", static_cast<void *>(data->fp));
            return 0;
        }
        data->recv_len += static_cast<int64_t>(n);
        return fwrite(bytes, size, count, data->fp);
    }
    const size_t have = static_cast<size_t>(data->recv_len);
    char *grown = static_cast<char *>(realloc(data->recv_buf, have + n + 1));
    if (!grown) {
        QV_LOG_ERROR("respond_data->recv_buf:%p", static_cast<void *>(data->recv_buf));
        return 0;
    }
    std::memcpy(grown + have, bytes, n);
    grown[have + n] = '\0';
    data->recv_buf = grown;
    data->recv_len += static_cast<int64_t>(n);
    return n;
}

int qvsl_http_progress_cb(void *d, curl_off_t total_down, curl_off_t now_down, curl_off_t, curl_off_t) {
    auto *data = static_cast<qvsl_http_data *>(d);
    if (!data) return -1;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    if (now > data->last_progress_sec) {
        data->last_progress_sec = now;
        QV_LOG_DEBUG("total_to_download: %lld, now_download: %lld", static_cast<long long>(total_down),
                     static_cast<long long>(now_down));
    }
    return 0;
}
