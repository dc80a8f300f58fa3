#include "runtime/ppc_firmware.h"

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/device_calls.h"
#include "link/qv_owned.h"
#include "runtime/ota_update.h"
#include "runtime/ppc_service.h"

namespace {

// A zeroed task in the service's list for the length of one call.
class Tracked {
  public:
    Tracked(ppc_router_task *ctx, uint32_t seq, int32_t type, int64_t token, file_task_cb cb)
        : ctx_(ctx), task_(client_file_task_new()) {
        if (!task_) return;
        task_->id = seq;
        task_->task_type = type;
        task_->token = token;
        task_->chunk_cb = cb;
        listed_ = ppc_task_list_add(ctx_, task_.get()) == QV_OK;
    }
    ~Tracked() {
        if (!task_) return;
        task_->chunk_cb = nullptr;
        if (listed_) ppc_task_list_remove(ctx_, task_.get());
    }
    Tracked(const Tracked &) = delete;
    Tracked &operator=(const Tracked &) = delete;
    bool ok() const { return task_ && listed_; }
    client_file_task *get() const { return task_.get(); }

  private:
    ppc_router_task *ctx_;
    qv::task_ptr task_;
    bool listed_ = false;
};

int update(uint32_t seq, file_task_cb cb, const char *ip, int32_t *status, ppc_router_task *ctx,
           int64_t token) {
    ppc_call_gate in(ctx);
    if (!in.ok()) return QV_ERR_ARG;
    Tracked t(ctx, seq, PPC_TASK_FW_UPDATE, token, cb);
    if (!t.ok()) return QV_ERR_FAILED;
    const int ret = QV_OtaUpdate(seq, ip, status, t.get(), token, ctx);
    if (ret != QV_OK) QV_LOG_ERROR("qv ota update error");
    return ret;
}

}  // namespace

int qvota_update(uint32_t seq, file_task_cb cb, const char *ip, int32_t *status, ppc_router_task *ctx,
                 int64_t token) {
    return update(seq, cb, ip, status, ctx, token);
}

int _qvota_update(uint32_t seq, file_task_cb cb, const char *ip, int32_t *status, ppc_router_task *ctx,
                  int64_t token) {
    return update(seq, cb, ip, status, ctx, token);
}

int ota_listen(ppc_ota_listen_cb cb, const char *ip, ppc_router_task *ctx) {
    ppc_call_gate in(ctx);
    if (!in.ok()) return QV_ERR_ARG;
    Tracked t(ctx, 0, PPC_TASK_FW_UPDATE, 0, nullptr);
    if (!t.ok()) return QV_ERR_FAILED;
    return qv_ota_follow(ip, ctx, t.get(), [cb](int32_t process, int32_t total) {
        if (cb != nullptr) cb(process, total, 0);
    });
}

int ppc_router_DeviceExec(uint32_t seq, int32_t devStatus, const char *ip, int64_t token, file_task_cb cb,
                          ppc_router_task *ctx) {
    ppc_call_gate in(ctx);
    if (!in.ok()) {
        QV_LOG_ERROR("context is NULL");
        return QV_ERR_ARG;
    }
    Tracked t(ctx, seq, PPC_TASK_DEVICE_EXEC, token, cb);
    if (!t.ok()) return QV_ERR_FAILED;
    client_file_task *task = t.get();
    int ret = QV_OK;
    switch (devStatus) {
        case 0:
            QV_LOG_MSG("no need to Exec");
            break;
        case QV_DEV_STATUS_OTA_UPDATE: {
            int32_t status = 0;
            ret = QV_OtaUpdate(seq, ip, &status, task, token, ctx);
            if (ret != QV_OK) QV_LOG_ERROR("qv ota update error");
            break;
        }
        case QV_DEV_STATUS_OTA_RUNNING:
            ret = qv_ota_follow(ip, ctx, task, [task](int32_t process, int32_t total) {
                task->cur_progress = process;
                task->total_progress = total;
                if (task->chunk_cb != nullptr) task->chunk_cb(task);
            });
            if (ret != QV_OK) QV_LOG_ERROR("device ota listen error");
            break;
        default:
            ret = QV_RouterDevExec(devStatus, ip, task);
            if (ret != QV_OK) QV_LOG_ERROR("QV_RouterDevExec error");
            break;
    }
    return ret;
}

int ppc_log_file_download(uint32_t seq, const char *path, int32_t log_type, int64_t token, file_task_cb cb,
                          ppc_router_task *ctx) {
    ppc_call_gate in(ctx);
    if (!in.ok()) {
        QV_LOG_ERROR("malloc failed! or routerTask is NULL? %d", ctx == nullptr ? 1 : 0);
        return QV_ERR_ARG;
    }
    Tracked t(ctx, seq, PPC_TASK_LOG_DOWNLOAD, token, cb);
    if (!t.ok()) return QV_ERR_FAILED;
    const int ret = QV_LogFileDownload(path, log_type, t.get());
    if (ret != QV_OK) QV_LOG_ERROR("QV_LogFileDownload error");
    return ret;
}
