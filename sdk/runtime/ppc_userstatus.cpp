#include "runtime/ppc_userstatus.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/qv_log.h"
#include "messaging/qvmsgs.h"
#include "runtime/ppc_service.h"

namespace {

constexpr char kTopicPrefix[] = "qv_tessera/";
constexpr size_t kTopicMax = 127;  // what the messaging layer keeps of a topic

// The one listener of the running service. Its callback is reached through on_user_status, so that a
// cancel takes effect for the message being dispatched next, whatever the messaging layer still lists.
struct Listening {
    ppc_router_task *ctx = nullptr;
    qvmsgs_context *msgs = nullptr;
    std::string topic;
    ppc_user_status_cb cb = nullptr;  // null: silenced, its topic still to be removed
};

std::mutex g_ops;    // listen and cancel one at a time; held across the messaging calls
std::mutex g_state;  // `g_listening`; taken by the dispatch (under the messaging list lock), never held
                     // across a messaging call
Listening g_listening;
thread_local bool t_in_callback = false;

void on_user_status(const char *topic, const char *msg) {
    ppc_user_status_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(g_state);
        if (topic != nullptr && g_listening.topic == topic) cb = g_listening.cb;
    }
    if (cb == nullptr) return;
    t_in_callback = true;
    cb(topic, msg);
    t_in_callback = false;
}

// Takes the listener recorded for this service's messaging context out of the record (an empty topic when
// there is none, or it belongs to an earlier service).
std::string take_recorded(ppc_router_task *ctx) {
    std::lock_guard<std::mutex> l(g_state);
    std::string topic;
    if (g_listening.ctx == ctx && g_listening.msgs == ctx->msgs_context) topic = g_listening.topic;
    g_listening = Listening{};
    return topic;
}

}  // namespace

int ppc_user_status_topic(const char *user_id, char *out) {
    if (user_id == nullptr || out == nullptr || !qvmsgs_topic_segment_ok(user_id)) return -1;
    const int n =
        std::snprintf(out, PPC_USER_STATUS_TOPIC_SIZE, "%suserStatusChanged/%s", kTopicPrefix, user_id);
    if (n < 0 || static_cast<size_t>(n) > kTopicMax) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int ppc_userStatusChangedListen(const char *user_id, ppc_user_status_cb cb, ppc_router_task *ctx) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return -1;
    }
    if (t_in_callback) {  // the messaging layer's list is locked around this very call
        QV_LOG_ERROR("user status listener changed from its own callback");
        return -1;
    }
    char topic[PPC_USER_STATUS_TOPIC_SIZE];
    if (cb == nullptr || ppc_user_status_topic(user_id, topic) != 0) {
        QV_LOG_ERROR("user id or callback not usable");
        return -1;
    }
    ppc_call_gate in(ctx);  // the messaging context stays until this call has left
    if (!in.ok()) return -1;
    if (ctx->msgs_context == nullptr) {
        QV_LOG_ERROR("add_broadcast_listener error, res = %d, context=%p, topic=%s", -1, nullptr, topic);
        return -1;
    }
    std::lock_guard<std::mutex> ops(g_ops);
    const std::string old = take_recorded(ctx);
    if (!old.empty()) qvmsgs_del_broadcast_listener(ctx->msgs_context, old.c_str());
    {
        std::lock_guard<std::mutex> l(g_state);
        g_listening = Listening{ctx, ctx->msgs_context, topic, cb};
    }
    const int res = qvmsgs_add_broadcast_listener(ctx->msgs_context, topic, on_user_status);
    if (res != 0) {
        QV_LOG_ERROR("add_broadcast_listener error, res = %d, context=%p, topic=%s", res,
                     static_cast<void *>(ctx->msgs_context), topic);
        return -1;
    }
    return 0;
}

int ppc_cancel_userStatusChangedListen(ppc_router_task *ctx) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return 0;
    }
    if (t_in_callback) {
        std::lock_guard<std::mutex> l(g_state);
        g_listening.cb = nullptr;
        return 0;
    }
    ppc_call_gate in(ctx);
    if (!in.ok()) return 0;  // a stopping service drops its listeners with its messaging context
    std::lock_guard<std::mutex> ops(g_ops);
    const std::string topic = take_recorded(ctx);
    // A failed unsubscription still removed the listener: its callback is not called again.
    if (!topic.empty() && qvmsgs_del_broadcast_listener(ctx->msgs_context, topic.c_str()) != 0)
        QV_LOG_ERROR("user status topic not unsubscribed: %s", topic.c_str());
    return 0;
}
