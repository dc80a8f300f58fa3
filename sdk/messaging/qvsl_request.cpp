#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/qv_log.h"
#include "messaging/qvsl_http.h"
#include "qv_config.h"

namespace {

std::mutex g_host_mu;
std::string g_host = QV_QRLOGIN_HOST;

std::string service_host() {
    std::lock_guard<std::mutex> lk(g_host_mu);
    return g_host;
}

struct JsonRef {
    json_object *o;
    explicit JsonRef(json_object *obj) : o(obj) {}
    ~JsonRef() { json_object_put(o); }
    JsonRef(const JsonRef &) = delete;
    JsonRef &operator=(const JsonRef &) = delete;
};

template <size_t N>
bool copy_field(char (&dst)[N], const std::string &src) {
    if (src.size() >= N) return false;
    std::memcpy(dst, src.c_str(), src.size() + 1);
    return true;
}

// Values common to every request: the date, the checksum name, and for a body its type and MD5.
void sign_common(qvsl_http_data *d, const char *verb) {
    copy_field(d->sign.verb, verb);
    qvsl_http_get_local_time(d->sign.date);
    copy_field(d->sign.checksum_algorithm, "crc32");
    if (d->postfield) {
        copy_field(d->sign.content_type, "application/x-www-form-urlencoded");
        qvsl_http_content_md5(d->postfield, std::strlen(d->postfield), d->sign.content_md5);
        d->sign.content_md5[32] = '\0';
    }
}

// Signs the record and sets its URL (base + "ssig=" + ssig); false when either does not fit.
bool sign_and_address(qvsl_http_data *d, const std::string &base) {
    char ssig[32];
    if (qvsl_http_create_encode_ssig(d, ssig, sizeof ssig) != 0) {
        QV_LOG_ERROR("signature failed");
        return false;
    }
    if (!copy_field(d->url, base + ssig)) {
        QV_LOG_ERROR("request URL longer than %zu characters", sizeof d->url - 1);
        return false;
    }
    return true;
}

char *json_body(json_object *o) {
    const char *s = json_object_to_json_string(o);
    return s ? strdup(s) : nullptr;
}

void http_request_get_auth_url(qvsl_http_data *d) {
    {
        JsonRef body(json_object_new_object());
        json_object_object_add(body.o, "platformType", json_object_new_int(d->platform_type));
        json_object_object_add(body.o, "os", json_object_new_int(d->os));
        d->postfield = json_body(body.o);
    }
    if (!d->postfield) {
        d->result = -1;
        return;
    }
    sign_common(d, "POST");
    copy_field(d->sign.path, "/sl/getAuthUrl");
    const std::string query = std::string("AppId=") + d->app_id;
    if (!copy_field(d->sign.query, query) ||
        !sign_and_address(d, "https://" + service_host() + "/sl/getAuthUrl?" + query + "&ssig=")) {
        d->result = -1;
    } else {
        QV_LOG_DEBUG("requesting an auth URL (body %zu bytes)", std::strlen(d->postfield));
        const int rc = qvsl_http_async_request(d);
        if (rc != 0) {
            QV_LOG_ERROR("fail ret: %d", rc);
            d->result = -1;
        }
    }
    free(d->postfield);
    d->postfield = nullptr;
}

// The scanned URL's path and code; false (nothing is sent) without a code or with one of over 32 characters.
bool split_auth_url(const qvsl_http_data *d, std::string *path, std::string *code) {
    const std::string url = d->auth_url;
    const size_t scheme = url.find("://");
    const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t slash = url.find('/', host);
    path->clear();
    if (slash != std::string::npos) {
        const size_t q = url.find('?', slash);
        if (q != std::string::npos) *path = url.substr(slash, q - slash);
    }
    const size_t c = url.find("code=");
    if (c == std::string::npos) {
        QV_LOG_ERROR("auth URL without a code");
        return false;
    }
    const size_t end = url.find('&', c + 5);
    *code = url.substr(c + 5, end == std::string::npos ? std::string::npos : end - (c + 5));
    if (code->size() > 32) {
        QV_LOG_ERROR("auth URL code longer than 32 characters");
        return false;
    }
    QV_LOG_DEBUG("request_path: %s", path->c_str());
    return true;
}

// 102, 103 and 104: cmd_arg is the service's "cmd" value, body NULL for the GET.
void scanner_request(qvsl_http_data *d, int cmd_arg, char *body) {
    std::string path, code;
    d->postfield = body;
    if (!split_auth_url(d, &path, &code) || (cmd_arg != 2 && !body)) {
        d->result = -1;
    } else {
        sign_common(d, body ? "POST" : "GET");
        const std::string cmd = "&cmd=" + std::to_string(cmd_arg);
        const std::string query = std::string("AppId=") + d->app_id + cmd + "&code=" + code;
        if (!copy_field(d->sign.path, path) || !copy_field(d->sign.query, query) ||
            !sign_and_address(d, std::string(d->auth_url) + cmd + "&AppId=" + d->app_id + "&ssig=")) {
            d->result = -1;
        } else if (qvsl_http_sync_request(d) != 0) {
            d->result = -1;
        }
    }
    free(d->postfield);
    d->postfield = nullptr;
}

void http_request_get_auth_info(qvsl_http_data *d) {
    scanner_request(d, 2, nullptr);
}

void http_request_send_user_info(qvsl_http_data *d) {
    JsonRef body(json_object_new_object());
    json_object_object_add(body.o, "nickName", json_object_new_string(d->nick_name));
    json_object_object_add(body.o, "userImage", json_object_new_string(d->user_image));
    scanner_request(d, 1, json_body(body.o));
}

void http_request_send_auth_code(qvsl_http_data *d) {
    JsonRef body(json_object_new_object());
    json_object_object_add(body.o, "authCode", json_object_new_string(d->auth_code));
    scanner_request(d, 0, json_body(body.o));
}

bool read_text(json_object *obj, const char *key, char *dst, size_t cap) {
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v) || !json_object_is_type(v, json_type_string)) return false;
    std::snprintf(dst, cap, "%s", json_object_get_string(v));
    return true;
}

bool read_int(json_object *obj, const char *key, int32_t *dst) {
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v) || !json_object_is_type(v, json_type_int)) return false;
    *dst = json_object_get_int(v);
    return true;
}

void http_response_get_auth_url(qvsl_http_data *d, json_object *data) {
    if (!data || !read_text(data, "authUrl", d->auth_url, sizeof d->auth_url) ||
        !read_text(data, "authID", d->auth_id, sizeof d->auth_id) || !read_int(data, "exprect", &d->exprect))
        d->result = -1;
}

void http_response_get_auth_info(qvsl_http_data *d, json_object *data) {
    if (!data || !read_int(data, "platformType", &d->platform_type) || !read_int(data, "os", &d->os))
        d->result = -1;
}

void http_response_none(qvsl_http_data *, json_object *) {}

struct Command {
    int cmd;
    void (*build)(qvsl_http_data *);
    void (*parse)(qvsl_http_data *, json_object *data);
};

const Command kCommands[] = {
    {QVSL_CMD_GET_AUTH_URL, http_request_get_auth_url, http_response_get_auth_url},
    {QVSL_CMD_GET_AUTH_INFO, http_request_get_auth_info, http_response_get_auth_info},
    {QVSL_CMD_SEND_USER_INFO, http_request_send_user_info, http_response_none},
    {QVSL_CMD_SEND_AUTH_CODE, http_request_send_auth_code, http_response_none},
};

const Command *find_command(int cmd) {
    for (const auto &c : kCommands)
        if (c.cmd == cmd) return &c;
    return nullptr;
}

}  // namespace

void qvsl_http_set_service_host(const char *host) {
    std::lock_guard<std::mutex> lk(g_host_mu);
    g_host = host ? host : QV_QRLOGIN_HOST;
}

int qvsl_http_map_result(int result) {
    switch (result) {
        case 0:
            return 0;
        case 10000:
            return 13109;
        case 10001:
            return 13110;
        case 10002:
            return 13108;
        case 20001:
            return 10103;
        case 20013:
            return 13114;
        case 20014:
            return 13112;
        case 20015:
            return 13113;
        case 20017:
            return 13111;
        default:
            return QVSL_ERR_LOCAL;
    }
}

void qvsl_http_parse_reply(qvsl_http_data *d) {
    const Command *c = find_command(d->cmd);
    if (!c || !d->recv_buf || !d->recv_buf[0]) {
        d->result = -1;
        return;
    }
    JsonRef root(json_tokener_parse(d->recv_buf));
    json_object *code = nullptr, *msg = nullptr;
    if (!root.o || !json_object_is_type(root.o, json_type_object) ||
        !json_object_object_get_ex(root.o, "error_code", &code) ||
        !json_object_is_type(code, json_type_int) || !json_object_object_get_ex(root.o, "error_msg", &msg) ||
        !json_object_is_type(msg, json_type_string)) {
        QV_LOG_ERROR("access NULL");
        d->result = -1;
        return;
    }
    d->result = json_object_get_int(code);
    std::snprintf(d->err_msg, sizeof d->err_msg, "%s", json_object_get_string(msg));
    if (d->result != 0) {
        QV_LOG_ERROR("error: %d, errMsg: %s", d->result, d->err_msg);
        return;
    }
    json_object *data = nullptr;
    if (json_object_object_get_ex(root.o, "data", &data) && !json_object_is_type(data, json_type_object))
        data = nullptr;
    c->parse(d, data);
}

int qvsl_http_process(qvsl_http_data *d) {
    if (!d) return QVSL_ERR_LOCAL;
    const Command *c = find_command(d->cmd);
    if (!c) {
        QV_LOG_ERROR("INVALIDE_COMMAND");
        d->result = -1;
        return QVSL_ERR_LOCAL;
    }
    c->build(d);
    if (d->result == 0) {
        qvsl_http_parse_reply(d);
        if (d->result != 0)
            QV_LOG_ERROR("command %d failed", d->cmd);  // the URL carries the code: not logged
    }
    free(d->recv_buf);
    d->recv_buf = nullptr;
    d->recv_len = 0;
    return qvsl_http_map_result(d->result);
}
