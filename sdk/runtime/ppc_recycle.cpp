#include "runtime/ppc_recycle.h"

#include <cstdlib>
#include <memory>

#include "base/qv_log.h"
#include "command/device_calls.h"

namespace {

struct TaskFree {
    void operator()(client_file_task *t) const { client_file_task_free(t); }
};
using TaskPtr = std::unique_ptr<client_file_task, TaskFree>;

TaskPtr event_task(int32_t seq, ppc_recycle_event_cb cb, int64_t token) {
    TaskPtr t(client_file_task_new());
    if (!t) {
        QV_LOG_ERROR("fdi != NULL");
        std::abort();
    }
    t->chunk_cb = cb;
    t->token = token;
    t->id.store(static_cast<int64_t>(seq));
    return t;
}

}  // namespace

int ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, ppc_recycle_event_cb cb,
                               int64_t token) {
    TaskPtr t = event_task(seq, cb, token);
    const int ret = QV_ResyscleRestoreList(list, t.get());
    if (ret != 0) QV_LOG_ERROR("QV_Resyscle Restore List error, res = %d", ret);
    return ret;
}

int ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, ppc_recycle_event_cb cb, int64_t token) {
    TaskPtr t = event_task(seq, cb, token);
    const int ret = QV_ResyscleDeleteList(list, t.get());
    if (ret != 0) QV_LOG_ERROR("QV_Resyscle Delete List error, res = %d", ret);
    return ret;
}

int ppc_RecycleEmpty(int32_t seq, ppc_recycle_event_cb cb, int64_t token) {
    TaskPtr t = event_task(seq, cb, token);
    const int ret = QV_ResyscleEmpty(t.get());
    if (ret != 0) QV_LOG_ERROR("QV_Resyscle Empty error, res = %d", ret);
    return ret;
}
