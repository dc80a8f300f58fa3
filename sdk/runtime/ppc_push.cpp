#include "runtime/ppc_push.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/client_info.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"
#include "link/connect_pool.h"
#include "link/sleeper.h"
#include "link/sock_io.h"
#include "runtime/command_cache.h"
#include "runtime/ppc_qv_command_cache.h"
#include "runtime/usb_notify.h"

namespace {

// Longest device address an entry keeps.
constexpr size_t kAddrMax = 31;

struct TaskFree {
    void operator()(client_file_task *t) const { client_file_task_free(t); }
};

// What an entry and its thread share: the push task (its cancel flag is the only way to stop the thread),
// the sleeper of the pauses, and whether the channel holds. Lives as long as either side.
struct PushRun {
    std::unique_ptr<client_file_task, TaskFree> task;
    qv_sleeper sleeper;
    std::atomic<bool> alive{false};

    void cancel() {
        task->cancel_status.store(-1);
        sleeper.wake();
    }
    bool cancelled() const { return task->cancel_status.load() != 0; }
};

enum class Slot { Usb, Db, Recent };

struct Entry {
    int64_t token = 0;
    std::string addr;
    ppc_usb_status_cb cb = nullptr;
    std::optional<std::string> usb, db, recent;
    std::shared_ptr<PushRun> run;
    std::thread thread;

    std::optional<std::string> &slot(Slot s) { return s == Slot::Usb ? usb : s == Slot::Db ? db : recent; }
};

struct PushList {
    std::list<Entry> entries;
};

std::mutex g_mu;                     // guards g_list, its entries and g_orphans
std::unique_ptr<PushList> g_list;    // none until reverse_task_init
std::vector<std::thread> g_orphans;  // threads told to end from their own callback, joined later
std::atomic<uint8_t> g_alive{1};
std::atomic<ppc_usb_status_cb> g_usb_cb{nullptr};
std::atomic<int32_t> g_chunk_wait{0};
std::atomic<bool> g_fail_thread{false};

Entry *find_locked(int64_t token) {
    if (!g_list) return nullptr;
    for (Entry &e : g_list->entries)
        if (e.token == token) return &e;
    return nullptr;
}

std::optional<std::string> stored(int64_t token, Slot s) {
    std::lock_guard<std::mutex> l(g_mu);
    Entry *e = find_locked(token);
    if (e == nullptr) return std::nullopt;
    return e->slot(s);
}

void store(int64_t token, Slot s, const char *value) {
    std::lock_guard<std::mutex> l(g_mu);
    if (Entry *e = find_locked(token)) e->slot(s) = std::string(value);
}

// Joins `threads`; one that is the calling thread is only let go (it ends by itself once it returns).
void join_all(std::vector<std::thread> &threads) {
    for (std::thread &t : threads) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id()) {
            QV_LOG_ERROR("push thread stopped from its own callback: it ends when the callback returns");
            t.detach();
        } else {
            t.join();
        }
    }
    threads.clear();
}

// Takes the entries whose token or device address match out of the list, their threads told to end; their
// threads land in `threads` (or, for the calling thread itself, among the orphans). Under g_mu.
void take_out_locked(int64_t token, const char *addr, std::vector<std::thread> &threads,
                     std::vector<int64_t> &tokens) {
    if (!g_list) return;
    for (auto it = g_list->entries.begin(); it != g_list->entries.end();) {
        if (it->token != token && (addr == nullptr || it->addr != addr)) {
            ++it;
            continue;
        }
        if (it->run) it->run->cancel();
        tokens.push_back(it->token);
        if (it->thread.joinable()) {
            if (it->thread.get_id() == std::this_thread::get_id())
                g_orphans.push_back(std::move(it->thread));
            else
                threads.push_back(std::move(it->thread));
        }
        it = g_list->entries.erase(it);
    }
    // Orphans of other threads have been told to end: they can be joined now.
    for (auto it = g_orphans.begin(); it != g_orphans.end();) {
        if (it->get_id() != std::this_thread::get_id()) {
            threads.push_back(std::move(*it));
            it = g_orphans.erase(it);
        } else {
            ++it;
        }
    }
}

int32_t chunk_wait() {
    const int32_t w = g_chunk_wait.load();
    return w > 0 ? w : QV_PUSH_TIMEOUT_MS;
}

uint32_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    const auto d = std::chrono::steady_clock::now() - since;
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// The push thread: 174 exchanges, one after another, until its cancel flag is set.
void qv_connect_device_prcs_task(std::shared_ptr<PushRun> run, int64_t token, std::string addr) {
    client_file_task *task = run->task.get();
    // Connects and 175 opens of the pool run below calls that take no cancel flag: the thread's flag ends
    // them too, so that a logout never waits for a connect time-out.
    qvsock::ThreadCancelScope cancel_scope(&task->cancel_status);
    task->keep_alive = 1;
    int last = 0;
    for (;;) {
        if (run->cancelled()) {
            set_reverse_connect_alive(0);
            run->alive.store(false);
            break;
        }
        client_info ci;
        if (qv_frame_init_addr(&ci, 174, token, addr.c_str()) != 0) {
            last = QV_ERR_ARG;
            break;
        }
        ci.timeout = QV_PUSH_TIMEOUT_MS;
        ci.rClientFileTask = task;
        task->timeout = chunk_wait();
        const auto started = std::chrono::steady_clock::now();
        const int ret = _qv_net_keep_alive_prcs_task(&ci);
        if (ret == 0) {
            set_reverse_connect_alive(1);
            run->alive.store(!run->cancelled());
            last = 0;
            if (run->cancelled()) break;
            const uint32_t took = elapsed_ms(started);
            if (took < QV_PUSH_MIN_ROUND_MS) run->sleeper.sleep_ms(QV_PUSH_MIN_ROUND_MS - took);
            continue;
        }
        set_reverse_connect_alive(0);
        run->alive.store(false);
        last = ret;
        QV_LOG_ERROR("_qv_net_keep_alive_prcs_task error, ret = %d", ret);
        run->sleeper.sleep_ms(QV_PUSH_PAUSE_SLICES * QV_PUSH_SLICE_MS);  // a cancel wakes it
    }
    if (task->held_conn != nullptr) {
        // The last exchange ended cleanly: the connection goes back to the pool.
        QVClose(static_cast<sock_handle *>(task->held_conn));
        task->held_conn = nullptr;
    }
    QV_LOG_MSG("exit qv_connect_device_prcs_task, ret = %d", last);
}

// One pushed sign: stored when new or changed.
void take_sign(int64_t token, Slot slot, char *&pending) {
    if (pending == nullptr) return;
    const std::optional<std::string> old = stored(token, slot);
    if (!old || *old != pending) store(token, slot, pending);
    std::free(pending);
    pending = nullptr;
}

}  // namespace

int reverse_task_init() {
    std::lock_guard<std::mutex> l(g_mu);
    if (!g_list) g_list = std::make_unique<PushList>();
    return 0;
}

int reverse_task_add(int64_t token, const char *addr, ppc_usb_status_cb cb) {
    if (addr == nullptr || *addr == '\0' || std::strlen(addr) > kAddrMax) {
        QV_LOG_ERROR("device address missing or longer than %zu characters", kAddrMax);
        return -1;
    }
    auto run = std::make_shared<PushRun>();
    run->task.reset(client_file_task_new());
    if (!run->task) {
        QV_LOG_ERROR("p_client_info->rClientFileTask != NULL");
        std::abort();
    }
    run->task->token = token;
    run->task->cmd = 174;
    run->task->chunk_cb = connectDeviceListen;
    run->task->user_ctx = run.get();

    int ret = 0;
    std::vector<std::thread> old;
    std::vector<int64_t> old_tokens;
    {
        std::lock_guard<std::mutex> l(g_mu);
        if (!g_list) {
            QV_LOG_ERROR("p_client_dn is null!!");
            return -1;
        }
        // A second login to a device (or with a token still listed) replaces the earlier entry: two push
        // threads for one device would both retry for ever. Taken out and added under one hold of the
        // mutex, so that two logins at once still leave one entry.
        take_out_locked(token, addr, old, old_tokens);
        init_usbnotify_list();
        g_usb_cb.store(cb);
        Entry e;
        e.token = token;
        e.addr = addr;
        e.cb = cb;
        e.run = run;
        try {
            if (g_fail_thread.exchange(false)) throw std::system_error(EAGAIN, std::generic_category());
            e.thread = std::thread(qv_connect_device_prcs_task, run, token, e.addr);
            // Listed under the same hold of the mutex: the thread's first chunk finds its entry.
            g_list->entries.push_back(std::move(e));
        } catch (const std::system_error &err) {
            // Without its thread the session would look logged in while nothing keeps its cache honest.
            QV_LOG_ERROR("pthread_create error, ret=%d!", err.code().value());
            ret = -1;
        }
    }
    join_all(old);
    for (int64_t t : old_tokens)
        if (t != token) remove_usbnotify_owner(t);
    return ret;
}

int reverse_task_del(int64_t token) {
    std::vector<std::thread> threads;
    std::vector<int64_t> tokens;
    {
        std::lock_guard<std::mutex> l(g_mu);
        if (!g_list) {
            QV_LOG_ERROR("p_client_dn is null!!");
            return -1;
        }
        take_out_locked(token, nullptr, threads, tokens);
    }
    join_all(threads);
    // Only this device's USB statuses go; the other devices' stay listed and reported.
    remove_usbnotify_owner(token);
    return 0;
}

int reverse_task_destroy() {
    std::vector<std::thread> threads;
    std::vector<int64_t> tokens;
    {
        std::lock_guard<std::mutex> l(g_mu);
        if (!g_list) {
            QV_LOG_ERROR("p_client_dn is null!!");
            return -1;
        }
        for (Entry &e : g_list->entries) {
            tokens.push_back(e.token);
            if (e.run) e.run->cancel();
            if (e.thread.joinable()) threads.push_back(std::move(e.thread));
        }
        for (std::thread &t : g_orphans) threads.push_back(std::move(t));
        g_orphans.clear();
        g_list.reset();
    }
    join_all(threads);
    // The sessions are over: their USB statuses would otherwise be reported again by the next service.
    for (int64_t t : tokens) remove_usbnotify_owner(t);
    return 0;
}

int reverse_device_ip_change(const char *addr) {
    std::lock_guard<std::mutex> l(g_mu);
    if (!g_list) {
        QV_LOG_ERROR("r_task_list is null!!");
        return -1;
    }
    if (addr == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    QV_LOG_MSG("gateway changed to %.32s; push threads keep their devices' addresses", addr);
    return 0;
}

int reverse_task_query(reverse_task *req) {
    if (req == nullptr) return -1;
    std::lock_guard<std::mutex> l(g_mu);
    Entry *e = find_locked(req->token);
    if (e == nullptr) return 0;
    auto copy = [](const std::optional<std::string> &v, char *&out) {
        if (v) out = strdup(v->c_str());
    };
    switch (req->op) {
        case REVERSE_QUERY_USB:
            copy(e->usb, req->usb_value);
            break;
        case REVERSE_QUERY_DB:
            copy(e->db, req->db_value);
            break;
        case REVERSE_QUERY_RECENT:
            copy(e->recent, req->recent_value);
            break;
        default:
            break;
    }
    return 0;
}

int reverse_task_insert(const reverse_task *req) {
    if (req == nullptr) return -1;
    std::lock_guard<std::mutex> l(g_mu);
    Entry *e = find_locked(req->token);
    if (e == nullptr) return 0;
    switch (req->op) {
        case REVERSE_INSERT_USB:
            if (req->usb_value != nullptr) e->usb = req->usb_value;
            break;
        case REVERSE_INSERT_DB:
            if (req->db_value != nullptr) {
                e->db = req->db_value;
                QV_LOG_DEBUG("item->rInfo.db_value = %s", req->db_value);
            }
            break;
        case REVERSE_INSERT_RECENT:
            if (req->recent_value != nullptr) {
                e->recent = req->recent_value;
                QV_LOG_DEBUG("item->rInfo.recent_value = %s", req->recent_value);
            }
            break;
        default:
            break;
    }
    return 0;
}

int reverse_task_update(const reverse_task *req) {
    if (req == nullptr) return -1;
    std::lock_guard<std::mutex> l(g_mu);
    Entry *e = find_locked(req->token);
    if (e == nullptr) return 0;
    switch (req->op) {
        case REVERSE_UPDATE_USB:
            if (req->usb_value != nullptr) e->usb = req->usb_value;
            break;
        case REVERSE_UPDATE_DB:
            if (req->db_value != nullptr) e->db = req->db_value;
            break;
        case REVERSE_UPDATE_RECENT:
            if (req->recent_value != nullptr) e->recent = req->recent_value;
            break;
        default:
            break;
    }
    return 0;
}

uint8_t get_reverse_connect_alive() {
    return g_alive.load();
}

void set_reverse_connect_alive(uint8_t alive) {
    g_alive.store(alive);
}

void connectDeviceListen(client_file_task *task) {
    if (task == nullptr) {
        QV_LOG_ERROR("para is error!");
        return;
    }
    if (auto *run = static_cast<PushRun *>(task->user_ctx); run != nullptr && !run->cancelled())
        run->alive.store(true);  // the channel delivers
    const int32_t status = task->status.load();
    if (status != 0 && status != 1) return;  // the texts wait for the next chunk of status 0 or 1
    const int64_t token = task->token;
    if (task->usb_value != nullptr) {
        const std::string usb = task->usb_value;
        std::free(task->usb_value);
        task->usb_value = nullptr;
        QV_LOG_DEBUG("usb_value = %s", usb.c_str());
        const std::optional<std::string> old = stored(token, Slot::Usb);
        if (!old || *old != usb) {
            store(token, Slot::Usb, usb.c_str());
            qv_usb_status s{};
            if (get_usbstatus_by_jsonstring(usb.c_str(), &s) != 0) {
                // Stored all the same, so the same text is not parsed again; the signs of the chunk are
                // still taken below.
                QV_LOG_ERROR("usb info paser error");
            } else if (old || s.backup_state != 2) {
                // A device's first status that has already ended is kept, not reported.
                update_add_usbnotify_list(&s, token);
                if (ppc_usb_status_cb cb = g_usb_cb.load()) check_usbnotify_list(cb);
            }
        }
    }
    take_sign(token, Slot::Db, task->userdb_value);
    take_sign(token, Slot::Recent, task->recentdb_value);
}

bool reverse_cache_peer(int64_t token, int selector, qv_cache_peer *out) {
    if (out == nullptr) return false;
    std::lock_guard<std::mutex> l(g_mu);
    Entry *e = find_locked(token);
    if (e == nullptr) return false;
    out->alive = e->run && e->run->alive.load();
    const std::optional<std::string> &sign = selector == CACHE_DB_RECENT ? e->recent : e->db;
    out->sign = sign.value_or("");
    out->device.clear();  // the session alone: a new login starts its databases afresh
    return true;
}

int reverse_task_count() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_list ? static_cast<int>(g_list->entries.size()) : 0;
}

void reverse_push_set_chunk_wait_for_test(int32_t ms) {
    g_chunk_wait.store(ms);
}

void reverse_push_fail_next_thread_for_test() {
    g_fail_thread.store(true);
}
