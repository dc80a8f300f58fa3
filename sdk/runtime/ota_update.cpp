#include "runtime/ota_update.h"

#include <json-c/json.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_parse_transfer.h"
#include "codec/file_process.h"
#include "codec/qv_strlcpy.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"
#include "link/msg.h"
#include "link/qv_owned.h"
#include "link/sleeper.h"
#include "messaging/qvmsgs.h"
#include "qv_config.h"
#include "runtime/ppc_service.h"

namespace {

constexpr int32_t kUpdateTimeoutMs = 90000;
constexpr int32_t kPollTimeoutMs = 800;
constexpr int32_t kFollowQueryTimeoutMs = 30000;
constexpr int32_t kFollowBudget = 100;
constexpr int64_t kSocketStopProcess = 65;
constexpr int64_t kPollFromProcess = 91;
constexpr uint32_t kSliceMs = 100;     // cancel and stop are seen within one slice of a pass
constexpr uint32_t kEndPauseMs = 200;  // lets the caller show the finished state

// ---- per-call waiting state, found by topic ----

struct OtaWait {
    // Guarded by g_waits_mutex.
    bool follow = false;  // the follow-up's message form (progress and verdict) instead of the verdict
    std::vector<std::string> topics;
    int update_ret = -1;  // -1 none yet, 0 failed, 1 succeeded; the follow-up keeps other values too
    bool waiting = true;
    int64_t process = 0;
    client_file_task *task = nullptr;  // the HTTP path's stream hook finds its update by it
    file_task_cb caller_cb = nullptr;
    bool accepted = false;  // a chunk of the reply arrived
    const char *reserved_seen = nullptr;

    // The calling thread's own.
    std::vector<qvmsgs_context *> contexts;
    ppc_router_task *service = nullptr;
    qv_sleeper sleeper;
};

std::mutex g_waits_mutex;
std::vector<OtaWait *> g_waits;

// Enters a wait into the registry for its lifetime; the contexts it opened are destroyed first, so no
// listener of this call runs afterwards.
class Registered {
  public:
    explicit Registered(OtaWait &w) : w_(w) {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        g_waits.push_back(&w_);
    }
    ~Registered() {
        close_contexts();
        std::lock_guard<std::mutex> l(g_waits_mutex);
        g_waits.erase(std::remove(g_waits.begin(), g_waits.end(), &w_), g_waits.end());
    }
    void close_contexts() {
        for (qvmsgs_context *c : w_.contexts) qvmsgs_destroy(c);
        w_.contexts.clear();
    }
    Registered(const Registered &) = delete;
    Registered &operator=(const Registered &) = delete;

  private:
    OtaWait &w_;
};

bool cancelled(const client_file_task *task) {
    return task != nullptr && task->cancel_status.load() != 0;
}

// Transport failures: no connection, nothing or not all received.
bool transport_failure(int ret) {
    return (ret < 0 && ret != QV_ERR_ARG) || ret == QV_ERR_RECV || ret == QV_ERR_NET ||
           ret == QV_ERR_DL_CLOSED;
}

// ---- topics ----

int make_topic(const char *what, const char *text, size_t len, bool one_segment, char *out, size_t size) {
    if (text == nullptr || len == 0 || std::strlen(text) != len) {
        QV_LOG_ERROR("%s refused as a topic: empty or holding a NUL", what);
        return QV_ERR_ARG;
    }
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '+' || c == '#' || c < 0x20 || c == 0x7f || (one_segment && c == '/')) {
            QV_LOG_ERROR("%s refused as a topic: it holds a wildcard, a separator or a control byte", what);
            return QV_ERR_ARG;
        }
    }
    const size_t full = std::strlen(QV_MQTT_TOPIC_PREFIX) + len;
    if (full > QV_OTA_TOPIC_MAX || full >= size) {
        QV_LOG_ERROR("%s refused as a topic: %zu characters", what, full);
        return QV_ERR_ARG;
    }
    std::snprintf(out, size, "%s%s", QV_MQTT_TOPIC_PREFIX, text);
    return QV_OK;
}

// ---- JSON ----

json_object *obj_member(json_object *o, const char *key) {
    json_object *v = nullptr;
    if (o == nullptr || !json_object_is_type(o, json_type_object) || !json_object_object_get_ex(o, key, &v))
        return nullptr;
    return v;
}

bool int_member(json_object *o, const char *key, int *out) {
    json_object *v = obj_member(o, key);
    if (v == nullptr) return false;
    const int64_t n = json_object_get_int64(v);
    *out = static_cast<int>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
    return true;
}

// Copies a JSON text member into a fixed field when present; `len_out` gets its length as received.
template <size_t N>
void copy_member(json_object *o, const char *key, char (&dst)[N], size_t *len_out = nullptr) {
    json_object *v = obj_member(o, key);
    if (v == nullptr || !json_object_is_type(v, json_type_string)) return;
    qv_strlcpy(dst, json_object_get_string(v));
    if (len_out != nullptr) *len_out = static_cast<size_t>(json_object_get_string_len(v));
}

// ---- listeners (messaging thread) ----

void ota_update_ret_listener_cb(const char *topic, const char *services) {
    if (topic == nullptr || services == nullptr) return;
    int result = -1;
    if (ota_parse_verdict(services, &result) != 0) {
        QV_LOG_ERROR("res = %d", -1);
        return;
    }
    QV_LOG_MSG("status = %d", result);
    if (result != 0 && result != 1) return;
    std::lock_guard<std::mutex> l(g_waits_mutex);
    for (OtaWait *w : g_waits) {
        if (w->follow || !w->waiting) continue;
        if (std::find(w->topics.begin(), w->topics.end(), topic) == w->topics.end()) continue;
        w->update_ret = result;
        w->waiting = false;
        if (result == 1 && w->process <= 98) ++w->process;
        w->sleeper.wake();
    }
}

void ota_progress_listener_cb(const char *topic, const char *services) {
    if (topic == nullptr || services == nullptr) return;
    int result = -1, process = -1;
    if (ota_parse_progress(services, &result, &process) != 0) return;
    std::lock_guard<std::mutex> l(g_waits_mutex);
    for (OtaWait *w : g_waits) {
        if (!w->follow || !w->waiting) continue;
        if (std::find(w->topics.begin(), w->topics.end(), topic) == w->topics.end()) continue;
        // The figure shown never goes back: a message without "process", or an older one, keeps it.
        if (process >= 0) w->process = std::max<int64_t>(w->process, std::min(process, 100));
        w->update_ret = result;
        if (result == 0 || result == 1) {
            if (result == 1 && w->process <= 98) ++w->process;
            w->waiting = false;
            QV_LOG_MSG("update_ret=%d .......................", result);
            w->sleeper.wake();
        }
    }
}

// ---- listening ----

// Opens a context for a full topic and subscribes it (once per topic per call). A context that cannot be
// made, or a refused subscription, is logged and the wait goes on.
int listen_topic(OtaWait &w, const char *topic, qvmsgs_bc_cb cb) {
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        if (std::find(w.topics.begin(), w.topics.end(), topic) != w.topics.end()) return QV_OK;
        w.topics.emplace_back(topic);
    }
    const std::string server = ppc_broker_address();
    qvmsgs_context *ctx =
        qvmsgs_init(server.c_str(), nullptr, 0, w.service != nullptr ? w.service->cache_dir : nullptr);
    if (ctx == nullptr) {
        QV_LOG_ERROR("msgs_init (%s) failed", server.c_str());
        return QV_ERR_FAILED;
    }
    w.contexts.push_back(ctx);
    QV_LOG_MSG("topic = %s", topic);
    const int res = qvmsgs_add_broadcast_listener(ctx, topic, cb);
    if (res != 0)
        QV_LOG_ERROR("add_broadcast_listener error, res = %d, context=%p, topic=%s", res,
                     static_cast<void *>(ctx), topic);
    return res;
}

// Listens on every usable topic of a decoded reserved text. `refused` counts the unusable ones.
int listen_reserved_text(OtaWait &w, const char *reserved, int *refused) {
    client_info scratch{};
    scratch.reserved = strdup(reserved);
    if (scratch.reserved == nullptr) return QV_ERR_FAILED;
    _ota_reserved_process(&scratch);
    int last = QV_OK;
    int bad = 0;
    if (scratch.task_count != 0 && scratch.reserved_tasks.next != nullptr) {
        auto *head = reinterpret_cast<ota_reserved_task *>(&scratch.reserved_tasks);
        for (auto *t = static_cast<ota_reserved_task *>(scratch.reserved_tasks.next); t != head;
             t = t->next) {
            QV_LOG_MSG("task_type=%s protocol=%s domain=%s port=%d topic=%s", t->task_type, t->protocol,
                       t->domain, t->port, t->topic);
            if (t->topic[0] == '\0') {
                ++bad;
                continue;
            }
            last = listen_topic(w, t->topic, ota_update_ret_listener_cb);
        }
    }
    ota_reserved_tasks_free(&scratch);
    if (refused != nullptr) *refused += bad;
    return last;
}

size_t topic_count(OtaWait &w) {
    std::lock_guard<std::mutex> l(g_waits_mutex);
    return w.topics.size();
}

// The HTTP path's chunk callback: the caller's progress first, then any new reserved text is listened to
// at once, while the device still streams (a verdict published before the subscription would be lost).
void ota_stream_hook(client_file_task *task) {
    OtaWait *w = nullptr;
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        for (OtaWait *x : g_waits)
            if (x->task == task) w = x;
        if (w == nullptr) return;
        w->accepted = true;
    }
    if (w->caller_cb != nullptr) w->caller_cb(task);
    if (task->status.load() != 0 && task->reserved != nullptr && task->reserved != w->reserved_seen) {
        w->reserved_seen = task->reserved;
        listen_reserved_text(*w, task->reserved, nullptr);
    }
}

// ---- waiting ----

// One pass's sleep in slices: false after a cancel (or a stop, which cancels every task). A verdict wakes
// it early.
bool sleep_pass(OtaWait &w, const client_file_task *task, uint32_t ms) {
    for (uint32_t done = 0; done < ms; done += kSliceMs) {
        if (cancelled(task)) return false;
        if (!w.sleeper.sleep_ms(std::min(kSliceMs, ms - done))) break;
    }
    return !cancelled(task);
}

int64_t current_process(OtaWait &w) {
    std::lock_guard<std::mutex> l(g_waits_mutex);
    return w.process;
}

// Advances the figure by one from 50 up to 99.
void creep(OtaWait &w) {
    std::lock_guard<std::mutex> l(g_waits_mutex);
    if (w.process >= 50 && w.process <= 98) ++w.process;
}

void report_task(client_file_task *task, int64_t process, int64_t total) {
    if (task == nullptr || task->chunk_cb == nullptr) return;
    task->cur_progress = std::max(task->cur_progress.load(), process);
    task->total_progress = total;
    task->chunk_cb(task);
}

struct Poll {
    const char *ip = nullptr;
    const char *target = nullptr;
    char current[33] = {};
};

// The waiting loop. Returns 0 after the version poll saw the target version, 20008 after a cancel, else
// the verdict's result.
int wait_for_verdict(OtaWait &w, client_info *ci, client_file_task *task, Poll *poll, int previous) {
    int32_t delay = std::clamp<int32_t>(ci->delay, 0, QV_OTA_MAX_DELAY_S);
    if (delay != ci->delay) QV_LOG_ERROR("device delay %d clamped to %d", ci->delay, delay);
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        w.process = std::max<int64_t>(w.process, std::clamp<int64_t>(ci->process, 0, 100));
    }
    bool waiting = true;
    do {
        if (!sleep_pass(w, task, current_process(w) > 70 ? 3000 : 2000)) {
            QV_LOG_ERROR("ota update cancelled, delay=%d", delay);
            return QV_ERR_CANCELLED;
        }
        delay -= 2;
        if (poll != nullptr && current_process(w) >= kPollFromProcess) {
            ota_info info{};
            info.status = -1;
            if (QV_get_ota_status(poll->ip, kPollTimeoutMs, &info, 0) == QV_OK && info.status == 0) {
                QV_LOG_MSG("OtaInfo.status=%d", info.status);
                qv_strlcpy(poll->current, info.current_ver);
                if (std::strcmp(info.current_ver, poll->target) == 0) {
                    QV_LOG_MSG(
                        "ota update succeed, ret=%d, delay=%d, update_ret=%d, OtaInfo.current_ver=%s, "
                        "target_ver=%s",
                        previous, delay, 1, poll->current, poll->target);
                    return QV_OK;
                }
            }
        }
        int64_t process;
        {
            std::lock_guard<std::mutex> l(g_waits_mutex);
            process = w.process;
            waiting = w.waiting;
        }
        ci->process = process;
        report_task(task, process, ci->total);
        creep(w);
    } while (waiting && delay > 0);

    int update_ret;
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        update_ret = w.update_ret;
        ci->process = w.process;
    }
    switch (update_ret) {
        case 1:
            QV_LOG_MSG("ota update succeed, ret=%d, delay=%d, update_ret=%d", previous, delay, update_ret);
            return QV_OK;
        case 0:
            QV_LOG_ERROR("ota update failed, ret=%d, delay=%d, update_ret=%d", previous, delay, update_ret);
            return QV_ERR_FW_FAILED;
        default:
            QV_LOG_ERROR(
                "ota update timeout, ret=%d, delay=%d, update_ret=%d, OtaInfo.current_ver=%s, "
                "target_ver=%s",
                previous, delay, update_ret, poll != nullptr ? poll->current : "", ci->ver);
            return QV_ERR_FW_TIMEOUT;
    }
}

// The end of a successful update: the finished state reaches the callback, then a short pause.
void finish_report(client_file_task *task) {
    if (task == nullptr || task->chunk_cb == nullptr) return;
    task->status = 2;
    task->cur_progress = 100;
    task->chunk_cb(task);
    qv_sleeper pause;
    pause.sleep_ms(kEndPauseMs);
}

// Listens on the reserved tasks left in `ci` (the ones already listened to are skipped) and waits.
int listen_and_wait(OtaWait &w, client_info *ci, client_file_task *task, Poll *poll, int previous) {
    int refused = 0;
    if (ci->reserved != nullptr) {
        const int res = listen_reserved_text(w, ci->reserved, &refused);
        if (res != 0) previous = res;
        std::free(ci->reserved);
        ci->reserved = nullptr;
    }
    if (refused > 0 && topic_count(w) == 0) {
        QV_LOG_ERROR("no usable verdict topic: %d refused", refused);
        return QV_ERR_ARG;
    }
    return wait_for_verdict(w, ci, task, poll, previous);
}

// Waits up to `timeout_ms` for the socket to become readable, in slices that see a cancel.
int wait_readable(int fd, int32_t timeout_ms, const client_file_task *task) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cancelled(task)) return QV_ERR_CANCELLED;
        if (wait_socket_readable(fd, kSliceMs) == 0) return QV_OK;
        if (std::chrono::steady_clock::now() >= end) return QV_ERR_RECV;
    }
}

}  // namespace

// ---- reserved text ----

void ota_reserved_tasks_free(client_info *info) {
    if (info == nullptr || info->reserved_tasks.next == nullptr) return;
    auto *head = reinterpret_cast<ota_reserved_task *>(&info->reserved_tasks);
    auto *t = static_cast<ota_reserved_task *>(info->reserved_tasks.next);
    while (t != head) {
        ota_reserved_task *next = t->next;
        std::free(t);
        t = next;
    }
    info->reserved_tasks.next = info->reserved_tasks.prev = &info->reserved_tasks;
}

void _ota_reserved_process(client_info *info) {
    if (info == nullptr || info->reserved == nullptr) {
        QV_LOG_ERROR("p_client_info  or p_client_info->reserved is null !");
        return;
    }
    qv::c_text reserved(info->reserved);
    info->reserved = nullptr;
    qv::json_ptr doc(json_tokener_parse(reserved.get()));
    if (!doc) return;
    int count = 0;
    int_member(doc.get(), "task_count", &count);
    info->task_count = count;
    QV_LOG_MSG("task_count = %d", count);
    if (count == 0) {
        QV_LOG_MSG("task_count is zero, no task need to do!");
        return;
    }
    auto *head = reinterpret_cast<ota_reserved_task *>(&info->reserved_tasks);
    head->next = head->prev = head;
    json_object *arr = obj_member(doc.get(), "task_array");
    if (arr == nullptr || !json_object_is_type(arr, json_type_array)) return;
    const size_t n = json_object_array_length(arr);
    for (size_t i = 0; i < n; ++i) {
        json_object *e = json_object_array_get_idx(arr, i);
        if (e == nullptr || !json_object_is_type(e, json_type_object)) continue;
        auto *t = static_cast<ota_reserved_task *>(std::calloc(1, sizeof(ota_reserved_task)));
        if (t == nullptr) {
            QV_LOG_ERROR("calloc failed!");
            return;
        }
        copy_member(e, "task_type", t->task_type);
        copy_member(e, "protocol", t->protocol);
        json_object *data = obj_member(e, "data");
        copy_member(data, "domain", t->domain);
        int port = 0;
        if (int_member(data, "port", &port)) t->port = port;
        // The topic is kept only whole and usable: a cut or wildcard topic would listen elsewhere.
        json_object *topic = obj_member(data, "topic");
        if (topic != nullptr && json_object_is_type(topic, json_type_string)) {
            char full[QV_OTA_TOPIC_MAX + 1];
            if (ota_verdict_topic(json_object_get_string(topic),
                                  static_cast<size_t>(json_object_get_string_len(topic)), full,
                                  sizeof full) == QV_OK)
                qv_strlcpy(t->topic, full);
        }
        t->prev = head->prev;
        t->next = head;
        head->prev->next = t;
        head->prev = t;
    }
}

int ota_verdict_topic(const char *task_topic, size_t len, char *out, size_t size) {
    return make_topic("reserved topic", task_topic, len, false, out, size);
}

int ota_device_topic(const char *device_id, size_t len, char *out, size_t size) {
    if (device_id == nullptr || len == 0 || std::strlen(device_id) != len) {
        QV_LOG_ERROR("deviceId refused as a topic: empty or holding a NUL");
        return QV_ERR_ARG;
    }
    for (size_t i = 0; i < len; ++i)
        if (device_id[i] == '/' || device_id[i] == '+' || device_id[i] == '#') {
            QV_LOG_ERROR("deviceId refused as a topic segment");
            return QV_ERR_ARG;
        }
    const std::string rel = std::string("deviceStatusChanged/") + device_id;
    return make_topic("deviceId", rel.c_str(), rel.size(), false, out, size);
}

// ---- parsers ----

int ota_parse_verdict(const char *services, int *result) {
    if (services == nullptr || result == nullptr) return -1;
    qv::json_ptr doc(json_tokener_parse(services));
    if (!doc) {
        QV_LOG_ERROR("recv_json is null");
        return -1;
    }
    json_object *st = obj_member(doc.get(), "qvmsg_update_status");
    if (st == nullptr) {
        QV_LOG_ERROR("qvmsg_update_status_json is null");
        return -1;
    }
    if (!int_member(st, "result", result)) {
        QV_LOG_ERROR("result_json is null");
        return -1;
    }
    return 0;
}

int ota_parse_progress(const char *services, int *result, int *process) {
    if (services == nullptr || result == nullptr || process == nullptr) return -1;
    qv::json_ptr doc(json_tokener_parse(services));
    if (!doc) return -1;
    json_object *o = obj_member(doc.get(), "qvmsg_update_progress");
    if (o == nullptr) o = obj_member(doc.get(), "qvmsg_update_status");
    if (o == nullptr || !json_object_is_type(o, json_type_object)) {
        QV_LOG_ERROR("qvmsg_update_status_json is null...");
        return -1;
    }
    *result = -1;
    *process = -1;
    int v = 0;
    if (int_member(o, "result", &v)) *result = v;
    if (int_member(o, "process", &v) && v >= 0) *process = v;
    return 0;
}

// ---- the update ----

int qv_update_prcs_task(client_info *ci, ppc_router_task *service, bool *accepted) {
    client_file_task *task = ci->rClientFileTask;
    ci->timeout = kUpdateTimeoutMs;
    OtaWait w;
    w.service = service;
    w.task = task;
    w.caller_cb = task != nullptr ? task->chunk_cb : nullptr;
    Registered reg(w);
    if (task != nullptr) task->chunk_cb = ota_stream_hook;
    int ret = _qv_net_prcs_task(ci);
    if (task != nullptr) task->chunk_cb = w.caller_cb;
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        w.task = nullptr;
        if (accepted != nullptr) *accepted = w.accepted;
    }
    if (ret != QV_OK) {
        QV_LOG_ERROR("get fw download process error");
        return ret;
    }
    if (ci->status == 0) {
        QV_LOG_MSG("no needd to update");
        return QV_OK;
    }
    if (ci->reserved == nullptr && topic_count(w) == 0) {
        QV_LOG_MSG("p_client_info->reserved is NULL.");
        return QV_OK;
    }
    ret = listen_and_wait(w, ci, task, nullptr, QV_OK);
    reg.close_contexts();
    if (ret == QV_OK) finish_report(task);
    return ret;
}

int _qv_update_prcs_task(client_info *ci, ppc_router_task *service) {
    client_file_task *task = ci->rClientFileTask;
    ci->timeout = kUpdateTimeoutMs;
    std::free(ci->reserved);
    ci->reserved = nullptr;
    ci->process = 0;
    if (file_process(ci) != QV_OK) {
        std::free(ci->retstr);
        ci->retstr = nullptr;
        return QV_ERR_NOT_BUILT;
    }
    ci->client_fd =
        QV_InetClientTimeOutInit(AF_INET, static_cast<uint16_t>(ci->port), SOCK_STREAM, ci->ip, ci->timeout);
    if (ci->client_fd < 0 || set_blocking_mode(ci->client_fd) < 0) {
        if (ci->client_fd >= 0) QV_SockClose(ci->client_fd);
        ci->client_fd = -1;
        std::free(ci->retstr);
        ci->retstr = nullptr;
        return QV_ERR_NET;
    }
    struct Closer {
        client_info *ci;
        ~Closer() {
            QV_SockClose(ci->client_fd);
            ci->client_fd = -1;
            std::free(ci->recv_buf);
            ci->recv_buf = nullptr;
            std::free(ci->reserved);
            ci->reserved = nullptr;
            std::free(ci->retstr);
            ci->retstr = nullptr;
        }
    } closer{ci};

    if (file_send_result_to_server(ci) != QV_OK) {
        QV_LOG_ERROR("send result to client failed, We will exit thread now!");
        return QV_ERR_NET;
    }
    if (wait_readable(ci->client_fd, ci->timeout, task) != QV_OK || _recv_req_from_client(ci) != QV_OK) {
        QV_LOG_ERROR("_recv_req_from_client failed,errno = %d", errno);
        return cancelled(task) ? QV_ERR_CANCELLED : QV_ERR_RECV;
    }
    QV_LOG_DEBUG("p_client_info->recv_buf: %zu bytes", std::strlen(ci->recv_buf));
    int ret = file_parse_process(ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("parser json error");
        return ret;
    }
    if (ci->status == 0) return QV_OK;
    Poll poll;
    poll.ip = ci->ip;
    char target[33];
    qv_strlcpy(target, ci->ver);
    poll.target = target;

    OtaWait w;
    w.service = service;
    Registered reg(w);
    const char *seen = nullptr;
    int reading = QV_OK;
    do {
        std::free(ci->recv_buf);
        ci->recv_buf = nullptr;
        reading = wait_readable(ci->client_fd, ci->timeout, task);
        if (reading == QV_OK) reading = _recv_req_from_client(ci);
        if (reading != QV_OK) {
            // A time-out, a close or any other receive failure ends the reading: nothing more will come.
            QV_LOG_ERROR("_recv_req_from_client failed,ret = %d,errno = %d", reading, errno);
            break;
        }
        if ((reading = download_fw_parse_json(ci)) != QV_OK) {
            QV_LOG_ERROR("parser json error");
            break;
        }
        if (task != nullptr && task->chunk_cb != nullptr) {
            task->status = 1;
            report_task(task, std::clamp<int64_t>(ci->process, 0, 100), ci->total);
        }
        if (ci->reserved != nullptr && ci->reserved != seen) {
            seen = ci->reserved;
            listen_reserved_text(w, ci->reserved, nullptr);
        }
        if (ci->process >= kSocketStopProcess) break;
    } while (task != nullptr && !cancelled(task));
    if (cancelled(task)) return QV_ERR_CANCELLED;
    if (ci->reserved == nullptr && topic_count(w) == 0) return reading;
    ci->process = std::clamp<int64_t>(ci->process, 0, 100);
    ret = listen_and_wait(w, ci, task, &poll, reading);
    reg.close_contexts();
    if (ret == QV_OK) finish_report(task);
    return ret;
}

int QV_OtaUpdate(uint32_t seq, const char *ip, int32_t *status, client_file_task *task, int64_t token,
                 ppc_router_task *service) {
    if (task == nullptr || status == nullptr) return QV_ERR_ARG;
    client_info ci;
    if (qv_frame_init_addr(&ci, 163, token, ip) != QV_OK) return QV_ERR_ARG;
    ci.seq = seq;
    ci.rClientFileTask = task;
    bool accepted = false;
    int ret = qv_update_prcs_task(&ci, service, &accepted);
    if (ret == QV_OK) {
        QV_LOG_MSG("update success");
        *status = ci.status;
        return QV_OK;
    }
    // The socket path repeats the whole request: only when the device never saw or answered it.
    if (!transport_failure(ret) || accepted || cancelled(task)) return ret;
    QV_LOG_MSG("http update failed on the transport (%d): the framed socket now", ret);
    client_info sock;
    qv_frame_init_addr(&sock, 163, token, ip);
    sock.port = ci.port;
    sock.seq = seq;
    sock.rClientFileTask = task;
    ret = _qv_update_prcs_task(&sock, service);
    if (ret == QV_OK) *status = sock.status;
    return ret;
}

// ---- the follow-up ----

int qv_ota_follow(const char *ip, ppc_router_task *service, client_file_task *task,
                  const std::function<void(int32_t, int32_t)> &report) {
    ota_info info{};
    int ret = QV_get_ota_status(ip, kFollowQueryTimeoutMs, &info, 0);
    if (ret != QV_OK) {
        QV_LOG_ERROR("QV_get_ota_status error, res = %d", ret);
        return ret;
    }
    char target[33];
    qv_strlcpy(target, info.target_ver);
    if (info.status == 0) return QV_OK;
    char topic[QV_OTA_TOPIC_MAX + 1];
    if (ota_device_topic(info.deviceId, std::strlen(info.deviceId), topic, sizeof topic) != QV_OK)
        return QV_ERR_ARG;

    OtaWait w;
    w.follow = true;
    w.service = service;
    w.process = std::clamp(info.process, 0, 100);
    const int32_t total = info.total;
    Registered reg(w);
    listen_topic(w, topic, ota_progress_listener_cb);
    // What the device published before the subscription is lost: ask once more now that it holds.
    ota_info again{};
    if (QV_get_ota_status(ip, kFollowQueryTimeoutMs, &again, 0) == QV_OK) {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        if (again.status == 0 && std::strcmp(again.current_ver, target) == 0 && w.waiting) {
            w.update_ret = 1;
            w.waiting = false;
        } else if (again.status != 0) {
            w.process = std::max<int64_t>(w.process, std::clamp(again.process, 0, 100));
        }
    }

    // One deadline over every renewal of the budget.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(QV_OTA_MAX_DELAY_S * qv_time_scale()));
    int32_t delay = kFollowBudget;
    bool waiting;
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        waiting = w.waiting;
    }
    while (waiting) {
        if (!sleep_pass(w, task, current_process(w) > 70 ? 3000 : 2000)) {
            QV_LOG_ERROR("ota follow-up cancelled");
            return QV_ERR_CANCELLED;
        }
        int64_t process;
        {
            std::lock_guard<std::mutex> l(g_waits_mutex);
            process = w.process;
            waiting = w.waiting;
        }
        if (process == 65) {
            QV_LOG_MSG("delay = %d", kFollowBudget);
            delay = kFollowBudget;
        } else {
            delay -= 2;
        }
        report(static_cast<int32_t>(process), total);
        creep(w);
        if (delay <= 0 || std::chrono::steady_clock::now() >= deadline) break;
    }
    int update_ret;
    int64_t process;
    {
        std::lock_guard<std::mutex> l(g_waits_mutex);
        update_ret = w.update_ret;
        process = w.process;
    }
    reg.close_contexts();
    switch (update_ret) {
        case 1:
            QV_LOG_MSG("ota update succeed, ret=%d, delay=%d, update_ret=%d", 0, delay, update_ret);
            report(100, total);
            {
                qv_sleeper pause;
                pause.sleep_ms(kEndPauseMs);
            }
            return QV_OK;
        case 0:
            QV_LOG_ERROR("ota update failed, ret=%d, delay=%d, update_ret=%d", 0, delay, update_ret);
            return QV_ERR_FW_FAILED;
        default:
            // Progress without a final verdict is no success.
            QV_LOG_ERROR("ota update timeout, res=%d, delay=%d, update_ret=%d, process=%lld, target_ver=%s",
                         0, delay, update_ret, static_cast<long long>(process), target);
            return QV_ERR_FW_TIMEOUT;
    }
}
