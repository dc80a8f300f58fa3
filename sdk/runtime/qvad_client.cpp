#include "runtime/qvad_client.h"

#include <arpa/inet.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "base/qv_log.h"
#include "link/msg.h"
#include "link/sleeper.h"
#include "runtime/dev_manage.h"

namespace {

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

struct Discovery {
    std::mutex mutex;  // start and stop
    bool running = false;
    std::thread heartbeat;
    std::thread listener;
    qv_sleeper sleeper;
};

Discovery &dis() {
    static Discovery d;
    return d;
}

std::atomic<bool> g_fail_next_start{false};

std::atomic_ref<int32_t> stop_flag(ppc_router_task *ctx) {
    return std::atomic_ref<int32_t>(ctx->dis_stop);
}

bool stopping(ppc_router_task *ctx) {
    return stop_flag(ctx).load() != 0;
}

const char *dis_type_name(int32_t type) {
    switch (type) {
        case 1:
            return "TESSERA";
        case 2:
            return "MORVANE";
        case 3:
            return "QUILLET";
        default:
            return nullptr;
    }
}

json_object *member(json_object *o, const char *k) {
    json_object *v = nullptr;
    if (o == nullptr || !json_object_is_type(o, json_type_object)) return nullptr;
    json_object_object_get_ex(o, k, &v);
    return v;
}

Json parse_exact(const char *text, size_t len) {
    if (text == nullptr || len == 0 || len > QV_UDP_MAX_LEN) return nullptr;
    json_tokener *tok = json_tokener_new();
    if (tok == nullptr) return nullptr;
    json_object *o = json_tokener_parse_ex(tok, text, static_cast<int>(len));
    bool whole = o != nullptr && json_tokener_get_error(tok) == json_tokener_success;
    for (size_t i = whole ? json_tokener_get_parse_end(tok) : len; i < len; ++i) {
        if (text[i] != ' ' && text[i] != '\n' && text[i] != '\r' && text[i] != '\t') whole = false;
    }
    json_tokener_free(tok);
    if (!whole) {
        json_object_put(o);
        return nullptr;
    }
    return Json(o);
}

// A text member copied into `dst` when present; false when it is no text or longer than `max`.
template <size_t N>
bool take_text(json_object *obj, const char *key, size_t max, char (&dst)[N]) {
    static_assert(N > 0);
    json_object *v = member(obj, key);
    if (v == nullptr) return true;
    if (!json_object_is_type(v, json_type_string)) return false;
    size_t n = static_cast<size_t>(json_object_get_string_len(v));
    if (n > max || n >= N) return false;
    std::memcpy(dst, json_object_get_string(v), n);
    dst[n] = '\0';
    return true;
}

bool take_int(json_object *obj, const char *key, int32_t *dst, bool *present) {
    json_object *v = member(obj, key);
    if (present != nullptr) *present = v != nullptr;
    if (v == nullptr) return true;
    if (!json_object_is_type(v, json_type_int)) return false;
    int64_t x = json_object_get_int64(v);
    if (x < INT32_MIN || x > INT32_MAX) return false;
    *dst = static_cast<int32_t>(x);
    return true;
}

// The detail answer's first data element into `out` (its `ip` set by the caller). 1 a type-3 detail, 0 a
// detail that is not taken, -1 a malformed one.
int parse_detail(json_object *root, qv_dev_detail *out) {
    json_object *data = member(root, "data");
    if (data == nullptr || !json_object_is_type(data, json_type_array) ||
        json_object_array_length(data) < 1) {
        return -1;
    }
    json_object *d = json_object_array_get_idx(data, 0);
    if (d == nullptr || !json_object_is_type(d, json_type_object)) return -1;
    bool has_type = false;
    if (!take_text(d, "device_name", 64, out->device_name) || !take_text(d, "mac", 31, out->mac) ||
        !take_text(d, "device_id", 64, out->dev_uuid) || !take_text(d, "p2p_uuid", 32, out->p2p_uuid) ||
        !take_text(d, "miscellaneous", 31, out->miscellaneous) || !take_int(d, "port", &out->port, nullptr) ||
        !take_int(d, "suppServ", &out->suppServ, nullptr) || !take_int(d, "type", &out->type, &has_type)) {
        return -1;
    }
    if (!has_type || out->type != QV_DIS_TYPE) return 0;
    std::snprintf(out->type_name, sizeof out->type_name, "%s", dis_type_name(out->type));
    return 1;
}

int send_to(int fd, const std::string &text, const sockaddr_in *to) {
    return QV_UdpSend(fd, text.data(), static_cast<uint32_t>(text.size()), to) < 0 ? -1 : 0;
}

// Detail request or heartbeat to one device, from a fresh unbound socket.
int unicast(int cmd, const char *ip) {
    sockaddr_in to{};
    int fd = QV_UdpClientInit(AF_INET, QV_DIS_DEVICE_PORT, SOCK_DGRAM, ip, &to);
    if (fd <= 0) {
        QV_LOG_ERROR("client_fd = %d", fd);
        return -1;
    }
    std::string text;
    int rc = dis_combine_client_req_json(cmd, &text);
    if (rc != 0) {
        QV_LOG_ERROR("combine send buffer error");
    } else if (send_to(fd, text, &to) != 0) {
        QV_LOG_ERROR("send udp buf error");
        rc = -1;
    }
    QV_SockClose(fd);
    return rc;
}

qv_dev_detail only_ip(const char *ip) {
    qv_dev_detail r{};
    std::snprintf(r.ip, sizeof r.ip, "%s", ip);
    return r;
}

void heartbeat_task(ppc_router_task *ctx) {
    Discovery &d = dis();
    sockaddr_in bro{};
    int bro_fd = QV_UdpBroadcastClientInit(AF_INET, QV_DIS_DEVICE_PORT, SOCK_DGRAM, ctx->gateway, &bro);
    if (bro_fd <= 0) {
        QV_LOG_ERROR("client_bro_fd = %d", bro_fd);
        return;
    }
    std::atomic_ref<int32_t>(ctx->client_bro_fd).store(bro_fd);
    std::string search;
    dis_combine_client_req_json(QV_DIS_CMD_SEARCH, &search);
    int counter = 4;
    while (!stopping(ctx)) {
        if (counter == 4) {
            if (send_to(bro_fd, search, &bro) != 0) QV_LOG_ERROR("client search broadcast error");
            counter = 0;
            d.sleeper.sleep_ms(10);  // answers arriving now get their detail request in this round
        }
        unsigned n = 0;
        qv_dev_detail **list = qv_get_dev_list(&n);
        for (unsigned i = 0; i < n && !stopping(ctx); ++i) {
            qv_dev_detail r = only_ip(list[i]->ip);
            if (list[i]->detail_flag == 0) {
                if (qv_update_dev_list(&r, QV_DEV_AGE_UNDETAILED) == 1) {
                    qv_dev_detail gone = only_ip(list[i]->ip);
                    qv_update_dev_list(&gone, QV_DEV_REMOVE);  // never announced: nobody to tell
                } else if (unicast(QV_DIS_CMD_DETAIL, list[i]->ip) != 0) {
                    QV_LOG_ERROR("client detail unicast error");
                }
                continue;
            }
            int aged = qv_update_dev_list(&r, QV_DEV_AGE);
            if (aged == 1) {
                qv_dev_detail gone = only_ip(list[i]->ip);
                if (qv_update_dev_list(&gone, QV_DEV_REMOVE) == 0 && ctx->dev_del_cb != nullptr) {
                    ctx->dev_del_cb(&gone);
                }
            } else if (aged == 0 && unicast(QV_DIS_CMD_BEAT, list[i]->ip) != 0) {
                QV_LOG_ERROR("client beat unicast error");
            }
        }
        qv_xfree(list);
        d.sleeper.sleep_ms(QV_DIS_ROUND_MS);
        counter = n == 0 ? 4 : counter + 1;
    }
    std::atomic_ref<int32_t>(ctx->client_bro_fd).store(-1);
    QV_SockClose(bro_fd);
    QV_LOG_DEBUG("client_heart_beat_task quit!");
}

void listen_task(ppc_router_task *ctx, int fd) {
    while (!stopping(ctx)) {
        char *buf = nullptr;
        sockaddr_in from{};
        const uint32_t timeout = 50;
        int rc = QV_UdpReceive(fd, &buf, &timeout, &from);
        if (rc > 4 && buf != nullptr) {
            char ip[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
            if (dis_on_datagram(ctx, buf, static_cast<size_t>(rc - 4), ip) != 0) {
                QV_LOG_DEBUG("dis_handle_client_json_req error");
            }
        }
        std::free(buf);
    }
    QV_LOG_DEBUG("dis_udp_listen_clients stop");
    std::atomic_ref<int32_t>(ctx->listen_fd).store(-1);
    QV_UdpClose(fd);
    QV_LOG_DEBUG("client_listen_task quit!");
}

}  // namespace

int dis_combine_client_req_json(int cmd, std::string *out) {
    if (out == nullptr) return -1;
    Json root(json_object_new_object());
    json_object *data = json_object_new_array();
    json_object *type = json_object_new_object();
    json_object *header = json_object_new_object();
    if (!root || data == nullptr || type == nullptr || header == nullptr) {
        json_object_put(data);
        json_object_put(type);
        json_object_put(header);
        return -1;
    }
    json_object_object_add(type, "type", json_object_new_int(QV_DIS_TYPE));
    json_object_array_add(data, type);
    json_object_object_add(root.get(), "data", data);
    json_object_object_add(header, "cmd", json_object_new_int(cmd));
    json_object_object_add(header, "seq", json_object_new_int(0));
    json_object_object_add(header, "error", json_object_new_int(0));
    json_object_object_add(root.get(), "header", header);
    *out = json_object_to_json_string(root.get());
    return 0;
}

int dis_on_datagram(ppc_router_task *ctx, const char *text, size_t len, const char *from_ip) {
    if (ctx == nullptr || from_ip == nullptr || std::strlen(from_ip) >= sizeof(qv_dev_detail::ip)) return -1;
    Json root = parse_exact(text, len);
    if (!root) {
        QV_LOG_DEBUG("access NULL");
        return -1;
    }
    json_object *header = member(root.get(), "header");
    if (header == nullptr || !json_object_is_type(header, json_type_object)) return -1;
    int32_t cmd = 0;
    char session[64] = {};
    if (!take_int(header, "cmd", &cmd, nullptr) || !take_text(header, "session", 63, session)) return -1;
    qv_dev_detail r = only_ip(from_ip);
    switch (cmd) {
        case QV_DIS_CMD_SEARCH:
            return qv_update_dev_list(&r, QV_DEV_ADD) < 0 ? -1 : 0;
        case QV_DIS_CMD_BEAT:
            return qv_update_dev_list(&r, QV_DEV_REFRESH) < 0 ? -1 : 0;
        case QV_DIS_CMD_DETAIL: {
            int taken = parse_detail(root.get(), &r);
            if (taken <= 0) return taken;  // another type is dropped without error
            if (qv_update_dev_list(&r, QV_DEV_FILL) < 0) return -1;
            if (r.detail_flag != 1) return 0;  // unlisted, or its details are known already
            QV_LOG_DEBUG("detail ip = %s", r.ip);
            if (ctx->dev_add_cb != nullptr) ctx->dev_add_cb(&r);
            qv_dev_detail again = only_ip(from_ip);
            qv_update_dev_list(&again, QV_DEV_REFRESH);
            return 0;
        }
        default:
            return -1;  // 1026 and anything unknown have no handler
    }
}

int qvadc_service_start(ppc_router_task *ctx) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return -1;
    }
    Discovery &d = dis();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.running) return -1;
    stop_flag(ctx).store(0);
    ctx->dis_port = 13101;
    d.sleeper.reset();
    // The listener is bound before the first search goes out, so no early answer is lost.
    int fd = QV_UdpServerInit(AF_INET, QV_DIS_CLIENT_PORT, SOCK_DGRAM, 0);
    if (fd <= 0) {
        QV_LOG_ERROR("Create client listen failed!");
        return -1;
    }
    std::atomic_ref<int32_t>(ctx->listen_fd).store(fd);
    try {
        d.listener = std::thread(listen_task, ctx, fd);
    } catch (...) {
        QV_LOG_ERROR("Create client listen failed!");
        QV_UdpClose(fd);
        ctx->listen_fd = -1;
        return -1;
    }
    try {
        if (g_fail_next_start.exchange(false)) throw std::runtime_error("injected");
        d.heartbeat = std::thread(heartbeat_task, ctx);
    } catch (...) {
        QV_LOG_ERROR("Create heart beat failed!");
        stop_flag(ctx).store(1);
        d.listener.join();
        return -1;
    }
    ctx->listen_thread = d.listener.native_handle();
    ctx->heartbeat_thread = d.heartbeat.native_handle();
    d.running = true;
    return 0;
}

void qvadc_service_stop(ppc_router_task *ctx) {
    if (ctx == nullptr) return;
    Discovery &d = dis();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running) return;
    stop_flag(ctx).store(1);
    d.sleeper.wake();
    QV_LOG_DEBUG("PTHREAD_JOIN");
    if (d.listener.joinable()) d.listener.join();
    if (d.heartbeat.joinable()) d.heartbeat.join();
    d.running = false;
    QV_LOG_DEBUG("client_exit_list");
}

void qvadc_fail_next_start_for_test() {
    g_fail_next_start.store(true);
}
