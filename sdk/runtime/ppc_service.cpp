#include "runtime/ppc_service.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "base/qv_log.h"
#include "command/exdev_manage.h"
#include "command/qv_net_connect.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "link/sleeper.h"
#include "messaging/qvmsgs.h"
#include "qv_config.h"
#include "runtime/dev_manage.h"
#include "runtime/ppc_push.h"
#include "runtime/ppc_qv_command_cache.h"
#include "runtime/qvad_client.h"

#define PPC_STR2(x) #x
#define PPC_STR(x) PPC_STR2(x)

namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable left;
    ppc_router_task *open = nullptr;  // the running service's context while it takes calls
    int inflight = 0;
};

Gate &gate() {
    static Gate g;
    return g;
}

std::mutex g_service_mutex;  // start, stop and gateway change run one at a time
std::mutex g_broker_mutex;
std::string g_broker = QV_MQTT_HOST ":" PPC_STR(QV_MQTT_PORT);
std::atomic<bool> g_fail_after_discovery{false};
std::atomic<bool> g_cache_on{false};

std::string broker() {
    std::lock_guard<std::mutex> l(g_broker_mutex);
    return g_broker;
}

}  // namespace

ppc_call_gate::ppc_call_gate(ppc_router_task *ctx) {
    if (ctx == nullptr) return;
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.mutex);
    if (g.open != ctx) return;
    ++g.inflight;
    ok_ = true;
}

ppc_call_gate::~ppc_call_gate() {
    if (!ok_) return;
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.mutex);
    if (--g.inflight == 0) g.left.notify_all();
}

bool ppc_service_open(const ppc_router_task *ctx) {
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.mutex);
    return ctx != nullptr && g.open == ctx;
}

void ppc_set_broker_address(const char *uri) {
    std::lock_guard<std::mutex> l(g_broker_mutex);
    g_broker = uri != nullptr ? uri : QV_MQTT_HOST ":" PPC_STR(QV_MQTT_PORT);
}

std::string ppc_broker_address() {
    return broker();
}

void ppc_fail_next_start_after_discovery_for_test() {
    g_fail_after_discovery.store(true);
}

ppc_router_task *ppc_start_Service(const char *cache_dir, ppc_dev_cb dev_add, ppc_dev_cb dev_del,
                                   ppc_usb_status_cb usb_status, const char *gateway, int32_t *err) {
    auto fail = [err](int32_t code) -> ppc_router_task * {
        if (err != nullptr) *err = code;
        return nullptr;
    };
    if (cache_dir == nullptr) return fail(-1);
    std::lock_guard<std::mutex> serial(g_service_mutex);
    {
        std::lock_guard<std::mutex> l(gate().mutex);
        if (gate().open != nullptr) {
            QV_LOG_ERROR("service already running");
            return fail(-1);
        }
    }
    ppc_router_task *ctx = ppc_router_task_new();
    if (ctx == nullptr) {
        QV_LOG_ERROR("routerTask != NULL");
        std::abort();
    }
    ctx->dev_add_cb = dev_add;
    ctx->dev_del_cb = dev_del;
    ctx->usb_status_cb = usb_status;
    if (gateway != nullptr) std::snprintf(ctx->gateway, sizeof ctx->gateway, "%s", gateway);
    std::snprintf(ctx->cache_dir, sizeof ctx->cache_dir, "%s", cache_dir);
    qv_init_dev_list();
    init_exdev_list();
    int rc = qvadc_service_start(ctx);
    if (rc == 0 && g_fail_after_discovery.exchange(false)) {
        QV_LOG_ERROR("injected start failure");
        rc = -1;
    }
    if (rc != 0) {
        qvadc_service_stop(ctx);  // its threads end before the context goes
        qv_free_dev_list();
        free_exdev_list();
        ppc_router_task_free(ctx);
        return fail(rc);
    }
    int cache_rc = init_command_cache(ctx->cache_dir);
    if (cache_rc != 0) QV_LOG_ERROR("init_command_cache failed, error=%d; caching off", cache_rc);
    g_cache_on.store(cache_rc == 0);
    rc = init_connect_pool();
    if (rc != 0) {
        QV_LOG_ERROR("init_connect_pool failed, error=%d", rc);
        qvadc_service_stop(ctx);
        qv_free_dev_list();
        free_exdev_list();
        if (g_cache_on.exchange(false)) destroy_command_cache(ctx->cache_dir);
        ppc_router_task_free(ctx);
        return fail(rc);
    }
    qv_net_connect_install();
    qv_crypt_init();
    reverse_task_init();
    qv_set_command_cache_provider(reverse_cache_peer);
    std::string uri = broker();
    ctx->msgs_context = qvmsgs_init(uri.c_str(), nullptr, 0, ctx->cache_dir);
    if (ctx->msgs_context != nullptr && ctx->msgs_context->connects.load() == 0) {
        // The first attempt failed: the service runs without messaging rather than retrying behind it.
        qvmsgs_destroy(ctx->msgs_context);
        ctx->msgs_context = nullptr;
    }
    if (ctx->msgs_context == nullptr) QV_LOG_ERROR("msgs_init (%s) failed", uri.c_str());
    ppc_set_current_context(ctx);
    std::lock_guard<std::mutex> l(gate().mutex);
    gate().open = ctx;
    return ctx;
}

int ppc_stop_Service(ppc_router_task *ctx) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return -1;
    }
    std::lock_guard<std::mutex> serial(g_service_mutex);
    Gate &g = gate();
    {
        std::unique_lock<std::mutex> l(g.mutex);
        if (g.open != ctx && !(g.open == nullptr && ppc_current_context() == ctx)) {
            QV_LOG_ERROR("not the running service's context");
            return -1;
        }
        g.open = nullptr;  // no new call gets in
    }
    ppc_cancel_task(ctx, 1, PPC_TASK_ALL, 0);
    {
        std::unique_lock<std::mutex> l(g.mutex);
        auto bound = std::chrono::duration<double, std::milli>(PPC_STOP_WAIT_MS * qv_time_scale());
        if (!g.left.wait_for(l, bound, [&g] { return g.inflight == 0; })) {
            QV_LOG_ERROR("stop: %d calls still running; the service stays allocated", g.inflight);
            return -1;
        }
    }
    qvadc_service_stop(ctx);
    reverse_task_destroy();  // the push threads end before the cache, the pool and the cipher go
    qv_free_dev_list();
    free_exdev_list();
    if (g_cache_on.exchange(false)) destroy_command_cache(ctx->cache_dir);
    if (destory_connect_pool() != 0) {
        QV_LOG_ERROR("destory_connect_pool failed");
        return -1;
    }
    qv_crypt_release();
    if (ctx->msgs_context != nullptr) qvmsgs_destroy(ctx->msgs_context);
    ctx->msgs_context = nullptr;
    ppc_router_task_free(ctx);  // clears the current context too
    return 0;
}

int ppc_set_Gateway(ppc_router_task **ref, const char *gateway) {
    if (ref == nullptr || *ref == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    ppc_router_task *ctx = *ref;
    std::lock_guard<std::mutex> serial(g_service_mutex);  // a stop cannot run meanwhile
    {
        std::lock_guard<std::mutex> l(gate().mutex);
        if (gate().open != ctx) return -1;
    }
    qvadc_service_stop(ctx);
    qv_free_dev_list();  // snapshots are copies: readers keep theirs
    if (gateway != nullptr) std::snprintf(ctx->gateway, sizeof ctx->gateway, "%s", gateway);
    qv_init_dev_list();
    int rc = qvadc_service_start(ctx);
    if (rc != 0) {
        QV_LOG_ERROR("qvadc service start error, res = %d", rc);
        return -1;
    }
    return 0;
}

qv_dev_detail **ppc_get_dev_detail_list(uint32_t *count) {
    unsigned n = 0;
    qv_dev_detail **list = qv_get_dev_detail_list(&n);
    if (count != nullptr) *count = n;
    return list;
}

int ppc_free_dev_detail_list(qv_dev_detail **list) {
    qv_xfree(list);
    return 0;
}
