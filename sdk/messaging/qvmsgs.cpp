#include "messaging/qvmsgs.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "messaging/qvmsgs_conn.h"
#include "messaging/qvmsgs_json.h"

extern const char qv_cert_bundle_pem[];

namespace {

constexpr char kCertFileName[] = "qv_sert.pem";
constexpr int kSubscribeWaitMs = 35000;  // beyond the library's 30 s connect time-out
constexpr int kReplyWaitMs = 10000;
constexpr int kDisconnectWaitMs = 10000;

std::atomic<unsigned> g_client_serial{0};

void sleep_us(int us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// Polls pred every step_us until it holds or limit_ms passes; whether it held.
template <class Pred>
bool poll_until(Pred pred, int limit_ms, int step_us = 1000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        sleep_us(step_us);
    }
    return true;
}

// Connection hooks.
void on_connected(qvmsgs_context *ctx) {
    QV_LOG_MSG("MyConnectSuccess Successful");
    {
        std::lock_guard<std::mutex> lk(ctx->lock);
        ctx->last_result = 0;
        ctx->conn_state = 2;
    }
    ctx->connects.fetch_add(1);
}

void on_connect_failed(qvmsgs_context *ctx, bool refused_login) {
    QV_LOG_MSG("MyConnectFailed Failed    ");
    std::lock_guard<std::mutex> lk(ctx->lock);
    if (refused_login) ctx->login_refused = true;
    ctx->last_result = -1;
    ctx->conn_state = 2;
}

void on_lost(qvmsgs_context *ctx) {
    QV_LOG_MSG("MyConnectLost");
    std::lock_guard<std::mutex> lk(ctx->lock);
    ctx->conn_state = 0;
}

void on_resub_ok(void *c, MQTTAsync_successData *) {
    QV_LOG_MSG("Subscribe succeeded");
    static_cast<qvmsgs_context *>(c)->sub_state = 2;
}

void on_resub_fail(void *c, MQTTAsync_failureData *f) {
    QV_LOG_ERROR("Subscribe failed, rc %d", f ? f->code : 0);
    static_cast<qvmsgs_context *>(c)->sub_state = 2;
}

// Subscribes every listener topic again, in list order, after each successful connect.
void on_after_connect(qvmsgs_context *ctx) {
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lk(ctx->list_lock);
        for (auto *e = ctx->listeners.next; e != &ctx->listeners; e = e->next) topics.emplace_back(e->msg);
    }
    for (const auto &t : topics) {
        QV_LOG_MSG("reSubsribe topic :%s", t.c_str());
        const int rc = qvmsgs_subscribe_topic(ctx->conn, t.c_str(), 1, on_resub_ok, on_resub_fail, ctx);
        if (rc != 0) {
            QV_LOG_ERROR("subscribe error:%d", rc);
            break;
        }
    }
}

void on_sub_ok(void *w, MQTTAsync_successData *) {
    QV_LOG_MSG("Subscribe succeeded");
    static_cast<qvmsgs_sub_wait *>(w)->state = 1;
}

void on_sub_fail(void *w, MQTTAsync_failureData *f) {
    QV_LOG_ERROR("Subscribe failed, rc %d", f ? f->code : 0);
    static_cast<qvmsgs_sub_wait *>(w)->state = 2;
}

void on_reply_ok(void *e, MQTTAsync_successData *) {
    auto *rec = static_cast<qvmsgs_msg_event *>(e);
    rec->reply_state = 2;
    QV_LOG_MSG("publish Successful");
}

void on_reply_fail(void *e, MQTTAsync_failureData *f) {
    auto *rec = static_cast<qvmsgs_msg_event *>(e);
    QV_LOG_MSG("publish Failed,code = %d", f ? f->code : 0);
    rec->reply_result = -1;
    rec->reply_state = 2;
}

void on_disc_ok(void *c, MQTTAsync_successData *) {
    auto *ctx = static_cast<qvmsgs_context *>(c);
    QV_LOG_MSG("Disconnection Successful");
    ctx->last_result = 0;
    ctx->disconn_state = 2;
}

void on_disc_fail(void *c, MQTTAsync_failureData *) {
    auto *ctx = static_cast<qvmsgs_context *>(c);
    QV_LOG_MSG("Disconnection Failed");
    ctx->last_result = -1;
    ctx->disconn_state = 2;
}

void free_listener(qvmsgs_msg_event *e) {
    delete e;
}

int add_listener(qvmsgs_context *ctx, const char *topic, int type, qvmsgs_bc_cb bc, qvmsgs_p2p_cb p2p) {
    if (!ctx || !topic || !topic[0]) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (std::strlen(topic) >= sizeof(qvmsgs_msg_event::msg)) {
        QV_LOG_ERROR("topic longer than %zu characters", sizeof(qvmsgs_msg_event::msg) - 1);
        return -1;
    }
    auto *rec = new qvmsgs_msg_event;
    std::snprintf(rec->msg, sizeof rec->msg, "%s", topic);
    rec->type = type;
    rec->bc_cb = bc;
    rec->p2p_cb = p2p;
    QV_LOG_DEBUG("msgEvent->msg = %s", rec->msg);
    {
        std::lock_guard<std::mutex> lk(ctx->list_lock);
        rec->prev = ctx->listeners.prev;
        rec->next = &ctx->listeners;
        ctx->listeners.prev->next = rec;
        ctx->listeners.prev = rec;
    }
    QV_LOG_MSG("topic = %s", topic);
    if (ctx->conn_state == 0) {
        QV_LOG_ERROR("connect lost");
        return -1;
    }
    qvmsgs_sub_wait *w;
    {
        std::lock_guard<std::mutex> lk(ctx->sub_lock);
        w = &ctx->sub_waits.emplace_back();
    }
    auto drop_wait = [ctx, w] {
        std::lock_guard<std::mutex> lk(ctx->sub_lock);
        ctx->sub_waits.remove_if([w](const qvmsgs_sub_wait &x) { return &x == w; });
    };
    const int rc = qvmsgs_subscribe_topic(ctx->conn, topic, 1, on_sub_ok, on_sub_fail, w);
    if (rc != 0) {
        QV_LOG_ERROR("subscribe error:%d", rc);
        drop_wait();
        return -1;
    }
    // The outcome of this very subscription; a loss meanwhile ends the wait (the re-subscription after the
    // next connect takes over). An unanswered wait record stays with the context until it is destroyed.
    poll_until([&] { return w->state != 0 || ctx->conn_state == 0; }, kSubscribeWaitMs);
    const int state = w->state;
    if (state != 0) drop_wait();
    ctx->sub_state = 2;
    return state == 1 ? 0 : -1;
}

void handle_p2p(qvmsgs_context *ctx, qvmsgs_msg_event *rec, const char *topic, const char *text) {
    qvmsgs_p2p_task *task = qvmsgs_parse_json_to_p2p_task(text);
    if (!task) {
        QV_LOG_ERROR("parse json error");
        return;
    }
    // The requester's id becomes the last segment of the reply topic: a wildcard or a separator in it would
    // send the reply elsewhere.
    if (!qvmsgs_topic_segment_ok(task->fromId)) {
        QV_LOG_ERROR("request refused: fromId is not a valid topic segment");
        qvmsgs_free_p2p_task(task);
        return;
    }
    rec->reply_state = 1;
    task->resp_services = rec->p2p_cb ? rec->p2p_cb(task->services) : nullptr;
    // A request the callback could not handle is answered as a failure rather than left without a reply.
    char *reply = task->resp_services
                      ? qvmsgs_make_response_p2p_message_json(ctx->from_type, task->msgId, rec->msg,
                                                              task->resp_services, 0, "")
                      : qvmsgs_make_response_p2p_message_json(ctx->from_type, task->msgId, rec->msg, "", -1,
                                                              "request not handled");
    std::string resp_topic(topic);
    const size_t cut = resp_topic.find_last_of('@') != std::string::npos ? resp_topic.find_last_of('@')
                                                                         : resp_topic.find_last_of('/');
    if (cut != std::string::npos) resp_topic.resize(cut + 1);
    resp_topic += task->fromId;
    int rc = -1;
    if (reply && resp_topic.size() < sizeof task->resp_topic) {
        QV_LOG_MSG("response_topic = %s", resp_topic.c_str());
        rc = qvmsgs_publish_message(ctx->conn, resp_topic.c_str(), reply, 1, on_reply_ok, on_reply_fail, rec);
    } else {
        QV_LOG_ERROR("make topic error");
    }
    if (rc != 0) {  // no outcome will be reported: settle the state here
        rec->reply_result = -1;
        rec->reply_state = 2;
    }
    free(reply);
    qvmsgs_free_p2p_task(task);
}

}  // namespace

const char *qvmsgs_cert_bundle() {
    return qv_cert_bundle_pem;
}

bool qvmsgs_topic_segment_ok(const char *id) {
    if (!id || !id[0]) return false;
    for (const char *p = id; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '+' || c == '#' || c == '/' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

char *qvmsgs_make_topic(const char *topic, const char *prefix) {
    if (!topic) return nullptr;
    const size_t n = std::strlen(topic) + std::strlen(prefix ? prefix : "") + 1;
    char *out = static_cast<char *>(malloc(n));
    if (!out) {
        QV_LOG_ERROR("malloc (%d) bytes memory failed", static_cast<int>(n));
        return nullptr;
    }
    std::snprintf(out, n, "%s%s", prefix ? prefix : "", topic);
    return out;
}

int qvmsgs_create_cert_file(const char *path) {
    if (!path) {
        QV_LOG_ERROR("cert_file name is null");
        return -1;
    }
    const char *bundle = qv_cert_bundle_pem;
    const size_t len = std::strlen(bundle);
    struct stat st {};
    if (stat(path, &st) == 0 && static_cast<size_t>(st.st_size) == len) {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            std::string have(len, '\0');
            size_t got = 0;
            while (got < len) {
                const ssize_t r = read(fd, have.data() + got, len - got);
                if (r <= 0) break;
                got += static_cast<size_t>(r);
            }
            close(fd);
            if (got == len && have == bundle) {
                QV_LOG_DEBUG("check is same, don't need update");
                return 0;
            }
        }
    }
    QV_LOG_DEBUG("file need update");
    const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        QV_LOG_ERROR("fw create failed, errno = %d", errno);
        return -1;
    }
    size_t put = 0;
    while (put < len) {
        const ssize_t w = write(fd, bundle + put, len - put);
        if (w <= 0) break;
        put += static_cast<size_t>(w);
    }
    close(fd);
    return put == len ? 0 : -1;
}

qvmsgs_context *qvmsgs_init(const char *server_uri, const char *client_id, int from_type,
                            const char *cert_dir) {
    if (!cert_dir) {
        QV_LOG_ERROR("cert_dir is null");
        return nullptr;
    }
    if (!server_uri) {
        QV_LOG_ERROR("para is null");
        return nullptr;
    }
    const size_t dlen = std::strlen(cert_dir);
    const bool direct = dlen == 0 || cert_dir[dlen - 1] == '/';
    char path[256];
    const int n = std::snprintf(path, sizeof path, direct ? "%s%s" : "%s/%s", cert_dir, kCertFileName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path || qvmsgs_create_cert_file(path) != 0) {
        QV_LOG_ERROR("create_cert_file_force failed");
        return nullptr;
    }
    auto *ctx = new qvmsgs_context;
    ctx->listeners.next = ctx->listeners.prev = &ctx->listeners;
    ctx->from_type = from_type;
    if (client_id) {
        std::snprintf(ctx->client_id, sizeof ctx->client_id, "%s", client_id);
    } else {
        // Time, thread and process alone repeat within a second; the serial keeps two contexts apart.
        std::snprintf(ctx->client_id, sizeof ctx->client_id, "qv_%u_%u_%d_%u",
                      static_cast<unsigned>(time(nullptr)), static_cast<unsigned>(pthread_self()),
                      static_cast<int>(getpid()), g_client_serial.fetch_add(1) + 1);
    }
    QV_LOG_MSG("clientid = %s", ctx->client_id);
    qvmsgs_hooks hooks;
    hooks.connected = on_connected;
    hooks.after_connect = on_after_connect;
    hooks.connect_failed = on_connect_failed;
    hooks.lost = on_lost;
    hooks.arrived = qv_msgarrvd;
    // The hooks may run before qvmsgs_connect returns: conn is set before the connect starts.
    qvmsgs_connect(path, server_uri, ctx->client_id, hooks, ctx, &ctx->conn);
    if (!ctx->conn) {
        QV_LOG_ERROR("mqtt_connect failed");
        delete ctx;
        return nullptr;
    }
    poll_until([ctx] { return ctx->conn_state == 2; }, kSubscribeWaitMs);
    return ctx;
}

void qvmsgs_destroy(qvmsgs_context *ctx) {
    if (!ctx) {
        QV_LOG_ERROR("para is null");
        return;
    }
    qvmsgs_stop_reconnect(ctx->conn);
    std::vector<qvmsgs_msg_event *> records;
    {
        std::lock_guard<std::mutex> lk(ctx->list_lock);  // waits for a dispatch under way
        for (auto *e = ctx->listeners.next; e != &ctx->listeners; e = e->next) records.push_back(e);
        ctx->listeners.next = ctx->listeners.prev = &ctx->listeners;
    }
    for (auto *e : records) {
        if (e->reply_state == 1)
            poll_until([ctx, e] { return e->reply_state != 1 || ctx->conn_state != 2; }, kReplyWaitMs);
    }
    if (qvmsgs_disconnect(ctx->conn, on_disc_ok, on_disc_fail, ctx) == 0)
        poll_until([ctx] { return ctx->disconn_state == 2; }, kDisconnectWaitMs);
    qvmsgs_destroy_context(ctx->conn);  // no callback runs after this
    delete ctx->conn;
    ctx->conn = nullptr;
    for (auto *e : records) free_listener(e);
    QV_LOG_MSG("qvmsgs destory success");
    delete ctx;
}

int qvmsgs_add_broadcast_listener(qvmsgs_context *context, const char *topic, qvmsgs_bc_cb cb) {
    return add_listener(context, topic, QVMSGS_LISTENER_BROADCAST, cb, nullptr);
}

int qvmsgs_add_p2p_message_listener(qvmsgs_context *context, const char *topic, qvmsgs_p2p_cb cb) {
    return add_listener(context, topic, QVMSGS_LISTENER_P2P, nullptr, cb);
}

namespace {
int del_listener(qvmsgs_context *ctx, const char *topic) {
    if (!ctx || !topic) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    std::vector<qvmsgs_msg_event *> gone;
    {
        std::lock_guard<std::mutex> lk(ctx->list_lock);
        for (auto *e = ctx->listeners.next; e != &ctx->listeners;) {
            auto *next = e->next;
            if (std::strcmp(e->msg, topic) == 0 && e->reply_state != 1) {
                e->prev->next = e->next;
                e->next->prev = e->prev;
                gone.push_back(e);
            }
            e = next;
        }
    }
    for (auto *e : gone) free_listener(e);
    if (qvmsgs_unsubscribe_topic(ctx->conn, topic) != 0) {
        QV_LOG_ERROR("unsubscribe_topic_broadmsg failed...");
        return -1;
    }
    return 0;
}
}  // namespace

int qvmsgs_del_broadcast_listener(qvmsgs_context *context, const char *topic) {
    return del_listener(context, topic);
}

int qvmsgs_del_p2p_message_listener(qvmsgs_context *context, const char *topic) {
    return del_listener(context, topic);
}

void qv_msgarrvd(qvmsgs_context *ctx, const char *topic, const void *payload, int len) {
    if (!ctx || !topic) return;
    const std::string text(static_cast<const char *>(payload), len > 0 ? static_cast<size_t>(len) : 0);
    QV_LOG_MSG("recv data (%d bytes), topicName:%s", len, topic);
    std::lock_guard<std::mutex> lk(ctx->list_lock);
    for (auto *e = ctx->listeners.next; e != &ctx->listeners; e = e->next) {
        if (std::strcmp(e->msg, topic) != 0) continue;
        if (e->type == QVMSGS_LISTENER_BROADCAST) {
            char *services = qvmsgs_parse_serviceinfo_by_bc(text.c_str());
            if (e->bc_cb) e->bc_cb(topic, services);
            free(services);
        } else if (e->type == QVMSGS_LISTENER_P2P) {
            handle_p2p(ctx, e, topic, text.c_str());
        }
    }
}
