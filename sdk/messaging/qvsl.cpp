#include "messaging/qvsl.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/qv_log.h"
#include "messaging/qvmsgs.h"
#include "qv_config.h"

namespace {

#define QV_STR2(x) #x
#define QV_STR(x) QV_STR2(x)

enum { QVSL_MQTT_CMD_AUTH = 1, QVSL_MQTT_CMD_USER_INFO = 2 };

struct Module {
    std::mutex mu;
    char app_id[65] = {};
    char app_key[65] = {};
    int device_type = 0;
    std::string broker_uri = "ssl://" QV_MQTT_HOST ":" QV_STR(QV_MQTT_TLS_PORT);
    qvmsgs_context *msgs = nullptr;
    bool ra_exists = false;
    // Listeners, and what the phone sent before its listener was set: handed over when the listener comes.
    qvsl_auth_listener auth_cb = nullptr;
    qvsl_user_info_listener user_cb = nullptr;
    bool held_auth = false;
    std::string held_code;
    bool held_user = false;
    std::string held_nick, held_image;
};

Module &mod() {
    static Module m;
    return m;
}

void copy_text(char *dst, size_t cap, const char *src) {
    std::snprintf(dst, cap, "%s", src ? src : "");
}

void forget_held(Module &m) {
    m.held_auth = m.held_user = false;
    m.held_code.clear();
    m.held_nick.clear();
    m.held_image.clear();
}

struct P2pCommand {
    int kind = 0;
    std::string nick, image, code;
};

bool parse_command(const char *services, P2pCommand *cmd) {
    json_object *root = json_tokener_parse(services);
    if (!root || !json_object_is_type(root, json_type_object)) {
        json_object_put(root);
        QV_LOG_ERROR("access NULL");
        return false;
    }
    auto text = [](json_object *o, const char *key, size_t max, std::string *out) {
        json_object *v = nullptr;
        if (!json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string)) return false;
        *out = std::string(json_object_get_string(v)).substr(0, max);
        return true;
    };
    bool ok = true;
    json_object *body = nullptr;
    if (json_object_object_get_ex(root, "qvmsg_sl_auth", &body)) {
        cmd->kind = QVSL_MQTT_CMD_AUTH;
        if (!text(body, "auth_code", 1024, &cmd->code)) {
            QV_LOG_ERROR("access auth code null");
            ok = false;
        }
    } else if (json_object_object_get_ex(root, "qvmsg_sl_user_info", &body)) {
        cmd->kind = QVSL_MQTT_CMD_USER_INFO;
        if (!text(body, "nick_name", 64, &cmd->nick)) {
            QV_LOG_ERROR("access nick name null");
            ok = false;
        } else if (!text(body, "user_image", 1024, &cmd->image)) {
            QV_LOG_ERROR("access user_image null");
            ok = false;
        }
    }
    json_object_put(root);
    if (!ok) QV_LOG_ERROR("parser request error !!");
    return ok;
}

// Runs one scanning-side command on a record of its own.
int scanner_command(const char *url, int cmd, const qvsl_user_info *info, const char *auth_code,
                    int32_t *out = nullptr) {
    char auth_url[1025] = {};
    if (check_url_device_type(url, auth_url) != 0) return -1;
    auto *d = static_cast<qvsl_http_data *>(calloc(1, sizeof(qvsl_http_data)));
    if (!d) return QVSL_ERR_LOCAL;
    d->cmd = cmd;
    {
        Module &m = mod();
        std::lock_guard<std::mutex> lk(m.mu);
        copy_text(d->app_id, sizeof d->app_id, m.app_id);
        copy_text(d->app_key, sizeof d->app_key, m.app_key);
    }
    copy_text(d->auth_url, sizeof d->auth_url, auth_url);
    if (info) {
        copy_text(d->nick_name, sizeof d->nick_name, info->nick_name);
        copy_text(d->user_image, sizeof d->user_image, info->user_image);
    }
    if (auth_code) copy_text(d->auth_code, sizeof d->auth_code, auth_code);
    const int rc = qvsl_http_process(d);
    if (rc == 0 && out) {
        out[0] = d->platform_type;
        out[1] = d->os;
    }
    free(d);
    return rc;
}

}  // namespace

int qvsl_init(const char *app_id, const char *app_key, int device_type) {
    if (!app_id || !app_key) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    Module &m = mod();
    std::lock_guard<std::mutex> lk(m.mu);
    copy_text(m.app_id, sizeof m.app_id, app_id);
    copy_text(m.app_key, sizeof m.app_key, app_key);
    m.device_type = device_type;
    return 0;
}

void qvsl_mqtt_set_broker_uri(const char *uri) {
    Module &m = mod();
    std::lock_guard<std::mutex> lk(m.mu);
    m.broker_uri = uri ? uri : "ssl://" QV_MQTT_HOST ":" QV_STR(QV_MQTT_TLS_PORT);
}

int qvsl_mqtt_init(const char *cert_dir) {
    Module &m = mod();
    std::string uri;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        uri = m.broker_uri;
    }
    qvmsgs_context *ctx = qvmsgs_init(uri.c_str(), nullptr, 1, cert_dir);
    if (!ctx) return -1;
    std::lock_guard<std::mutex> lk(m.mu);
    m.msgs = ctx;
    return 0;
}

void qvsl_mqtt_destory() {
    QV_LOG_DEBUG("qvsl_mqtt_destory !!");
    Module &m = mod();
    qvmsgs_context *ctx;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        ctx = m.msgs;
        m.msgs = nullptr;
    }
    if (ctx) qvmsgs_destroy(ctx);
}

int qvsl_mqtt_subscribe_topic(const char *auth_id) {
    // The auth id comes from the service and becomes a topic segment.
    if (!qvmsgs_topic_segment_ok(auth_id)) {
        QV_LOG_ERROR("auth id is not a valid topic segment");
        return -1;
    }
    Module &m = mod();
    qvmsgs_context *ctx;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        ctx = m.msgs;
    }
    const std::string topic = std::string("qvsl/p2p/consumerId@@@") + auth_id;
    if (!ctx || qvmsgs_add_p2p_message_listener(ctx, topic.c_str(), p2p_msg_listener_cb) != 0) {
        QV_LOG_ERROR("add p2p listener fail, topic: %s", topic.c_str());
        return -1;
    }
    return 0;
}

char *p2p_msg_listener_cb(const char *services) {
    if (!services) {
        QV_LOG_DEBUG("access null");
        return nullptr;
    }
    P2pCommand cmd;
    if (!parse_command(services, &cmd)) return nullptr;
    Module &m = mod();
    if (cmd.kind == QVSL_MQTT_CMD_AUTH) {
        QV_LOG_MSG("QVSL_MQTT_CMD_AUTH");
        qvsl_auth_listener cb;
        {
            std::lock_guard<std::mutex> lk(m.mu);
            cb = m.auth_cb;
            if (!cb) {  // kept until the listener is set, never dropped
                m.held_auth = true;
                m.held_code = cmd.code;
            }
        }
        if (cb) {
            QV_LOG_MSG("callback qvsl auth listener");
            cb(cmd.code.c_str());
        }
        return strdup("");
    }
    if (cmd.kind == QVSL_MQTT_CMD_USER_INFO) {
        QV_LOG_MSG("QVSL_MQTT_CMD_USER_INFO");
        qvsl_user_info_listener cb;
        {
            std::lock_guard<std::mutex> lk(m.mu);
            cb = m.user_cb;
            if (!cb) {
                m.held_user = true;
                m.held_nick = cmd.nick;
                m.held_image = cmd.image;
            }
        }
        if (cb) {
            QV_LOG_MSG("callback qvsl user info listener");
            cb(cmd.nick.c_str(), cmd.image.c_str());
        }
        return strdup("");
    }
    QV_LOG_ERROR("unknow cmd: %d", cmd.kind);
    QV_LOG_ERROR("process handle error !!");
    return nullptr;
}

int qvsl_QVSLRA_create(QVSLRA **context, int platform_type, int os, const char *cert_dir) {
    if (!context || !cert_dir) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    Module &m = mod();
    {
        std::lock_guard<std::mutex> lk(m.mu);
        if (m.ra_exists) {
            QV_LOG_ERROR("a request context exists already");
            return -1;
        }
        m.ra_exists = true;
    }
    auto *ra = static_cast<QVSLRA *>(calloc(1, sizeof(QVSLRA)));
    if (!ra || qvsl_mqtt_init(cert_dir) != 0) {
        QV_LOG_ERROR(ra ? "qvsl_mqtt_init error" : "calloc error");
        free(ra);
        std::lock_guard<std::mutex> lk(m.mu);
        m.ra_exists = false;
        return -1;
    }
    ra->platform_type = platform_type;
    ra->os = os;
    *context = ra;
    return 0;
}

void qvsl_QVSLRA_release(QVSLRA *context) {
    QV_LOG_DEBUG("release QVSLRA");
    qvsl_mqtt_destory();
    Module &m = mod();
    std::lock_guard<std::mutex> lk(m.mu);
    forget_held(m);
    // The listeners belong to the session that ends here; the next one sets its own.
    m.auth_cb = nullptr;
    m.user_cb = nullptr;
    if (context) {
        free(context);
        m.ra_exists = false;
    }
}

int qvsl_set_auth_listener(const void *handle, qvsl_auth_listener listener) {
    if (!handle || !listener) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    Module &m = mod();
    std::string code;
    bool held;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        if (!m.msgs) {
            QV_LOG_ERROR("msgs no init");
            return -1;
        }
        m.auth_cb = listener;
        held = m.held_auth;
        code.swap(m.held_code);
        m.held_auth = false;
    }
    if (held) listener(code.c_str());
    return 0;
}

int qvsl_set_user_info_listener(const void *handle, qvsl_user_info_listener listener) {
    if (!handle || !listener) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    Module &m = mod();
    std::string nick, image;
    bool held;
    {
        std::lock_guard<std::mutex> lk(m.mu);
        if (!m.msgs) {
            QV_LOG_ERROR("msgs no init");
            return -1;
        }
        m.user_cb = listener;
        held = m.held_user;
        nick.swap(m.held_nick);
        image.swap(m.held_image);
        m.held_user = false;
    }
    if (held) listener(nick.c_str(), image.c_str());
    return 0;
}

int qvsl_request_auth_start(QVSLRA *ra, char *auth_url_out, char *auth_id_out, uint32_t *expiry_out) {
    if (!ra || !auth_url_out) {
        QV_LOG_ERROR("access NULL");
        return -1;
    }
    qvsl_http_data &d = ra->request;
    qvsl_http_reset(&d);
    d.cmd = QVSL_CMD_GET_AUTH_URL;
    {
        Module &m = mod();
        std::lock_guard<std::mutex> lk(m.mu);
        copy_text(d.app_id, sizeof d.app_id, m.app_id);
        copy_text(d.app_key, sizeof d.app_key, m.app_key);
        forget_held(m);
    }
    d.platform_type = ra->platform_type;
    d.os = ra->os;
    const int rc = qvsl_http_process(&d);
    if (rc != 0) return rc;
    if (qvsl_http_stopped(&d)) return QVSL_ERR_LOCAL;
    copy_text(auth_url_out, 1025, d.auth_url);
    if (auth_id_out) copy_text(auth_id_out, 65, d.auth_id);
    if (expiry_out) *expiry_out = static_cast<uint32_t>(d.exprect);
    if (qvsl_mqtt_subscribe_topic(d.auth_id) != 0) {
        QV_LOG_ERROR("subcribe topic error");
        return -1;
    }
    return 0;
}

void qvsl_request_auth_stop(QVSLRA *ra) {
    if (!ra) return;
    qvsl_http_set_stop(&ra->request);
    QV_LOG_DEBUG("stop success");
}

int check_url_device_type(const char *url, char *out) {
    if (!url || !out) return -1;
    const std::string u = url;
    int device_type;
    {
        Module &m = mod();
        std::lock_guard<std::mutex> lk(m.mu);
        device_type = m.device_type;
    }
    const size_t p = u.find("deviceType=");
    std::string auth = u;
    if (p != std::string::npos) {
        // The whole number must match: deviceType=31 is not device type 3.
        const size_t v = p + 11;
        size_t e = v;
        while (e < u.size() && u[e] >= '0' && u[e] <= '9') ++e;
        if (e == v || u.substr(v, e - v) != std::to_string(device_type)) {
            QV_LOG_ERROR("device type does not match");
            return -1;
        }
        auth = u.substr(0, p);
        QV_LOG_DEBUG("device type match");
    } else {
        QV_LOG_DEBUG("no device type");
    }
    if (auth.size() > 1024) return -1;
    std::memset(out, 0, 1025);
    std::memcpy(out, auth.data(), auth.size());
    return 0;
}

int qvsl_get_request_info(const char *url, int32_t out[2]) {
    if (!url || !out) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    return scanner_command(url, QVSL_CMD_GET_AUTH_INFO, nullptr, nullptr, out);
}

int qvsl_send_user_info(const char *url, const qvsl_user_info *user_info) {
    if (!url || !user_info) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    return scanner_command(url, QVSL_CMD_SEND_USER_INFO, user_info, nullptr);
}

int qvsl_send_auth_code(const char *url, const char *auth_code) {
    if (!url || !auth_code) {
        QV_LOG_ERROR("access null");
        return -1;
    }
    return scanner_command(url, QVSL_CMD_SEND_AUTH_CODE, nullptr, auth_code);
}
