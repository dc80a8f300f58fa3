// Recycle bin (210-215): setting, pages, and restore, delete and empty with streamed progress.
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

// Streamed status of a finished operation.
constexpr int32_t kStreamDone = 2;
// The changing calls wait longer: the device works through every entry before the last chunk.
constexpr int32_t kRecycleOpTimeoutMs = 60000;

// 211-213: 0 only when the stream reported the operation done; a whole reply, a stream that ends early or
// one that ends on a failure status without a header error has not been shown to succeed.
int recycle_op(int32_t cmd, resyscle_list_info *list, client_file_task *task) {
    client_info ci;
    qv_frame_init(&ci, cmd, task->token, QV_ADDR_CURRENT);
    ci.timeout = kRecycleOpTimeoutMs;
    ci.rClientFileTask = task;
    ci.resyscleList = list;
    if (cmd == 213) ci.seq = task->id.load();
    task->status.store(0);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("recycle command %d failed, ret=%d", cmd, ret);
        return ret;
    }
    if (task->status.load() != kStreamDone) {
        QV_LOG_ERROR("recycle command %d ended without completion, status=%d", cmd, task->status.load());
        return QV_ERR_BAD_DATA;
    }
    return QV_OK;
}

}  // namespace

int QV_ResyscleSetInfo(const resyscle_info *info, int64_t token) {
    if (info == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 215, token, QV_ADDR_CURRENT);
    ci.resyscleInfo = const_cast<resyscle_info *>(info);  // only read by the builder
    return _qv_net_prcs_task(&ci);
}

int QV_ResyscleGetInfo(resyscle_info **out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 214, token, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK || ci.resyscleInfo == nullptr) {
        ppc_free_resyscle_info(ci.resyscleInfo);
        return ret != QV_OK ? ret : QV_ERR_BAD_DATA;
    }
    *out = ci.resyscleInfo;
    return ret;
}

int QV_ResyscleGetList(resyscle_list_info **out, int32_t offset, int32_t length, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 210, token, QV_ADDR_CURRENT);
    ci.offset = offset;
    ci.length = length;
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK || ci.resyscleList == nullptr) {
        ppc_free_resyscle_list(ci.resyscleList);
        return ret != QV_OK ? ret : QV_ERR_BAD_DATA;
    }
    *out = ci.resyscleList;
    return ret;
}

int QV_ResyscleRestoreList(resyscle_list_info *list, client_file_task *task) {
    if (list == nullptr || task == nullptr) return QV_ERR_ARG;
    return recycle_op(211, list, task);
}

int QV_ResyscleDeleteList(resyscle_list_info *list, client_file_task *task) {
    if (list == nullptr || task == nullptr) return QV_ERR_ARG;
    return recycle_op(212, list, task);
}

int QV_ResyscleEmpty(client_file_task *task) {
    if (task == nullptr) return QV_ERR_ARG;
    return recycle_op(213, nullptr, task);
}
