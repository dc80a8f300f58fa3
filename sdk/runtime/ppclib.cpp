#include "runtime/ppclib.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_list.h"
#include "command/device_calls.h"

namespace {

std::atomic<ppc_router_task *> g_current{nullptr};
// Guards every context's module-support list: login replaces it, logout frees it, questions walk it.
std::mutex g_module_mu;

// Locks the context's task-list mutex for one scope.
class TaskListLock {
  public:
    explicit TaskListLock(ppc_router_task *ctx) : ctx_(ctx) { pthread_mutex_lock(&ctx_->mutex); }
    ~TaskListLock() { pthread_mutex_unlock(&ctx_->mutex); }
    TaskListLock(const TaskListLock &) = delete;
    TaskListLock &operator=(const TaskListLock &) = delete;

  private:
    ppc_router_task *ctx_;
};

}  // namespace

ppc_router_task *ppc_router_task_new() {
    auto *ctx = static_cast<ppc_router_task *>(std::calloc(1, sizeof(ppc_router_task)));
    if (ctx == nullptr) return nullptr;
    pthread_mutex_init(&ctx->mutex, nullptr);
    ctx->task_list.next = ctx->task_list.prev = ppc_task_end(&ctx->task_list);
    ctx->client_bro_fd = -1;
    ctx->listen_fd = -1;
    return ctx;
}

void ppc_router_task_free(ppc_router_task *ctx) {
    if (ctx == nullptr) return;
    ppc_router_task *expected = ctx;
    g_current.compare_exchange_strong(expected, nullptr);  // never leave the current pointer dangling
    ppc_module_list_clear(ctx);
    pthread_mutex_destroy(&ctx->mutex);
    std::free(ctx);
}

ppc_router_task *ppc_current_context() {
    return g_current.load();
}

void ppc_set_current_context(ppc_router_task *ctx) {
    g_current.store(ctx);
}

int ppc_task_list_add(ppc_router_task *ctx, client_file_task *task) {
    if (ctx == nullptr || task == nullptr) return QV_ERR_ARG;
    TaskListLock lock(ctx);
    client_file_task *end = ppc_task_end(&ctx->task_list);
    client_file_task *last = ctx->task_list.prev;
    task->next = end;
    task->prev = last;
    if (last == end)
        ctx->task_list.next = task;
    else
        last->next = task;
    ctx->task_list.prev = task;
    ++ctx->task_count;
    return 0;
}

int ppc_task_list_remove(ppc_router_task *ctx, client_file_task *task) {
    if (ctx == nullptr || task == nullptr) return QV_ERR_ARG;
    TaskListLock lock(ctx);
    client_file_task *end = ppc_task_end(&ctx->task_list);
    client_file_task *it = ctx->task_list.next;
    while (it != end && it != task) it = it->next;
    if (it == end) return QV_ERR_NOT_IN_LIST;  // not listed: leave the list alone
    client_file_task *prev = task->prev;
    client_file_task *next = task->next;
    if (prev == end)
        ctx->task_list.next = next;
    else
        prev->next = next;
    if (next == end)
        ctx->task_list.prev = prev;
    else
        next->prev = prev;
    task->next = task->prev = nullptr;
    --ctx->task_count;
    return 0;
}

int ppc_isModuleSupport(ppc_router_task *ctx, int32_t type) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is null.");
        return QV_ERR_ARG;
    }
    std::lock_guard lk(g_module_mu);
    return ppc_find_module_support(ctx->module_support_list, type);
}

void ppc_module_list_replace(ppc_router_task *ctx, module_support_dnode *list) {
    if (ctx == nullptr) {
        if (list != nullptr) ppc_destory_module_support_list(&list);
        return;
    }
    module_support_dnode *old = nullptr;
    {
        std::lock_guard lk(g_module_mu);
        old = ctx->module_support_list;
        ctx->module_support_list = list;
    }
    if (old != nullptr) ppc_destory_module_support_list(&old);
}

void ppc_module_list_clear(ppc_router_task *ctx) {
    ppc_module_list_replace(ctx, nullptr);
}

int ppc_module_list_fetch(ppc_router_task *ctx, int64_t token) {
    if (ctx == nullptr) return QV_ERR_ARG;
    module_support_dnode *list = nullptr;
    const int ret = QV_getModuleSupportList(&list, token);
    if (ret != QV_OK) {
        QV_LOG_ERROR("module support list not fetched, ret=%d", ret);
        return ret;
    }
    ppc_module_list_replace(ctx, list);
    return ret;
}

int ppc_isModuleSupport(int32_t type) {
    return ppc_isModuleSupport(ppc_current_context(), type);
}

int ppc_cancel_task(ppc_router_task *ctx, uint8_t by_type, int32_t task_type, int64_t seq) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return QV_ERR_ARG;
    }
    TaskListLock lock(ctx);
    if (ctx->task_count == 0) return 0;
    client_file_task *end = ppc_task_end(&ctx->task_list);
    for (client_file_task *t = ctx->task_list.next; t != end; t = t->next) {
        if (task_type == PPC_TASK_ALL) {
            t->cancel_status.store(-1);
        } else if (by_type != 0) {
            // A sequence number narrows the cancel to that request: closing one download must not stop
            // the others. 0 keeps the whole type.
            if (t->task_type == task_type && (seq == 0 || t->id.load() == seq)) t->cancel_status.store(-1);
        } else {
            const long long id = t->id.load();
            QV_LOG_MSG("seq: %lld, item->seq= %lld, taskType=%d", static_cast<long long>(seq), id, task_type);
            if (id == seq && t->task_type == task_type) {  // ids of different kinds of task may coincide
                QV_LOG_MSG("seq: %lld, item->seq= %lld", static_cast<long long>(seq), id);
                t->cancel_status.store(-1);
                break;
            }
        }
    }
    return 0;
}
