#include "runtime/ppc_tracked.h"

#include <pthread.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/device_calls.h"
#include "command/download_process.h"
#include "command/file_upload.h"
#include "command/ppc_qv_client.h"
#include "command/relax_upload.h"
#include "runtime/ppc_service.h"

namespace {

// What a tracked call sets before its task is listed.
struct TaskStart {
    int32_t type;
    int64_t id;
    int64_t token;
    file_task_cb cb;
};

// Owns a task from its allocation to its release; the callback slot is cleared before the task goes.
class OwnedTask {
  public:
    explicit OwnedTask(const TaskStart &s) : task_(client_file_task_new()) {
        if (task_ == nullptr) return;
        task_->task_type = s.type;
        task_->id.store(s.id);
        task_->token = s.token;
        task_->chunk_cb = s.cb;
    }
    ~OwnedTask() {
        if (task_ == nullptr) return;
        task_->chunk_cb = nullptr;
        client_file_task_free(task_);
    }
    OwnedTask(const OwnedTask &) = delete;
    OwnedTask &operator=(const OwnedTask &) = delete;
    client_file_task *get() const { return task_; }

  private:
    client_file_task *task_;
};

// Keeps a task in the context's list for one scope.
class Listed {
  public:
    Listed(ppc_router_task *ctx, client_file_task *task) : ctx_(ctx), task_(task) {
        ppc_task_list_add(ctx_, task_);
        // A stop that began after the gate let this call in may have walked the list before the task was
        // in it: the task then cancels itself, so that the stop does not wait for a transfer nobody marked.
        if (!ppc_service_open(ctx_)) task_->cancel_status.store(-1);
    }
    ~Listed() {
        task_->chunk_cb = nullptr;
        ppc_task_list_remove(ctx_, task_);
    }
    Listed(const Listed &) = delete;
    Listed &operator=(const Listed &) = delete;

  private:
    ppc_router_task *ctx_;
    client_file_task *task_;
};

// The tracked-call lifecycle. `fill` sets the call's own fields before the task becomes visible; `call` runs
// the device call with it. -1 without a context, when the service does not take calls, or without memory.
template <class Fill, class Call>
int run_tracked(ppc_router_task *ctx, const TaskStart &start, Fill &&fill, Call &&call) {
    if (ctx == nullptr) {
        QV_LOG_DEBUG("context is NULL");
        return QV_ERR_ARG;
    }
    ppc_call_gate in(ctx);
    if (!in.ok()) {
        QV_LOG_ERROR("service not running: the call is refused");
        return QV_ERR_ARG;
    }
    OwnedTask owned(start);
    client_file_task *task = owned.get();
    if (task == nullptr) {
        QV_LOG_ERROR("fdi != NULL: no memory for the task");
        return QV_ERR_FAILED;
    }
    fill(task);
    Listed listed(ctx, task);
    return call(task);
}

constexpr auto kNoFill = [](client_file_task *) {};

int64_t unsigned_id(uint32_t seq) {
    return static_cast<int64_t>(seq);
}

// ---- cancel walks ----

// The low 32 bits of a task's id: every tracked call's number fits them, signed or not.
bool same_seq(const client_file_task *t, uint32_t seq) {
    return static_cast<uint32_t>(static_cast<uint64_t>(t->id.load())) == seq;
}

// Marks the tasks `pick` selects, under the list's mutex; only the first one when `first_only`. The number
// of tasks marked.
template <class Pick>
int mark(ppc_router_task *ctx, bool first_only, Pick &&pick) {
    int marked = 0;
    pthread_mutex_lock(&ctx->mutex);
    client_file_task *end = ppc_task_end(&ctx->task_list);
    for (client_file_task *t = ctx->task_list.next; t != end; t = t->next) {
        if (!pick(t)) continue;
        t->cancel_status.store(-1);
        ++marked;
        if (first_only) break;
    }
    pthread_mutex_unlock(&ctx->mutex);
    return marked;
}

bool no_context(const ppc_router_task *ctx) {
    if (ctx != nullptr) return false;
    QV_LOG_DEBUG("context is NULL");
    return true;
}

int cancel_seq_any_type(uint32_t seq, ppc_router_task *ctx, const char *first_log) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (first_log != nullptr) QV_LOG_DEBUG("%s%sseq = %u", first_log, first_log[0] != '\0' ? " " : "", seq);
    const int marked = mark(ctx, false, [seq](const client_file_task *t) { return same_seq(t, seq); });
    if (first_log == nullptr && marked > 0) QV_LOG_DEBUG("set cancel_status (%d tasks)", marked);
    return 0;
}

int cancel_every_task(ppc_router_task *ctx, bool log) {
    if (no_context(ctx)) return QV_ERR_ARG;
    const int marked = mark(ctx, false, [](const client_file_task *) { return true; });
    if (log && marked > 0) QV_LOG_DEBUG("set cancel_status (%d tasks)", marked);
    return 0;
}

// ---- search condition ----

// Fills the words of a condition: at most QV_SEARCH_MAX_KEYS, each cut to its field; a null word goes empty.
void put_words(search_condition &c, const char *const *words, const int32_t *types, int32_t count) {
    if (words == nullptr) return;
    for (int32_t i = 0; i < count && i < QV_SEARCH_MAX_KEYS; ++i) {
        std::snprintf(c.search_key[i], sizeof c.search_key[i], "%s", words[i] != nullptr ? words[i] : "");
        c.search_key_type[i] = types != nullptr ? types[i] : 0;
        ++c.key_count;
    }
}

int bucket_search(const char *name, ppc_router_task *ctx, search_condition &c, int64_t token, uint32_t seq,
                  int32_t sort_type, file_task_cb cb) {
    const int ret = ppc_file_SearchMultiFunc(seq, sort_type, &c, token, cb, 0, ctx);
    if (ret == 0)
        QV_LOG_DEBUG("qv_search_%s succ", name);
    else
        QV_LOG_DEBUG("qv_search_%s failed", name);
    return ret;
}

// ---- recycle bin ----

template <class Call>
int recycle_op(int32_t seq, file_task_cb cb, int64_t token, const char *what, Call &&call) {
    const TaskStart start{PPC_TASK_RECYCLE, static_cast<int64_t>(seq), token, cb};
    ppc_router_task *ctx = ppc_current_context();
    int ret;
    if (ctx == nullptr) {
        // No service: nothing could cancel the operation, so it runs on a private task.
        OwnedTask owned(start);
        if (owned.get() == nullptr) {
            QV_LOG_ERROR("fdi != NULL: no memory for the task");
            return QV_ERR_FAILED;
        }
        ret = call(owned.get());
    } else {
        ret = run_tracked(ctx, start, kNoFill, call);
    }
    if (ret != 0) QV_LOG_ERROR("QV_Resyscle %s error, res = %d", what, ret);
    return ret;
}

}  // namespace

// ---- transfers ----

int ppc_file_download(uint32_t seq, const char *folder, path_info *src, int64_t token, file_task_cb cb,
                      ppc_router_task *ctx) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("malloc failed! or routerTask is NULL? %d", 1);
        return QV_ERR_ARG;
    }
    QV_LOG_MSG("seq = %u", seq);
    const int ret = run_tracked(ctx, {PPC_TASK_DOWNLOAD, unsigned_id(seq), token, cb}, kNoFill,
                                [&](client_file_task *t) { return QV_FileDownload(folder, src, t); });
    if (ret != 0) QV_LOG_ERROR("QV_FileDownload finished unnormal res=%d", ret);
    return ret;
}

int ppc_upload_file(uint32_t seq, const char *local_path, path_info *dst, int64_t token, file_task_cb cb,
                    ppc_router_task *ctx) {
    const int ret = run_tracked(ctx, {PPC_TASK_UPLOAD, unsigned_id(seq), token, cb}, kNoFill,
                                [&](client_file_task *t) { return QV_FileUpload(local_path, dst, t); });
    if (ret != 0) QV_LOG_ERROR("QV_FileUpload error res=%d", ret);
    return ret;
}

int ppc_upload_FileTag(uint32_t seq, const char *local_path, int32_t tag_count, char **tags, path_info *dst,
                       int64_t token, file_task_cb cb, ppc_router_task *ctx) {
    const int ret = run_tracked(
        ctx, {PPC_TASK_UPLOAD, unsigned_id(seq), token, cb},
        [&](client_file_task *t) {
            t->tagList = tags;
            t->tagCount = tags != nullptr && tag_count > 0 ? tag_count : 0;
        },
        [&](client_file_task *t) { return QV_FileUpload(local_path, dst, t); });
    if (ret != 0) QV_LOG_DEBUG("ppc_upload_FileTag error, res = %d", ret);
    return ret;
}

int ppc_upload_FileTagStream(uint32_t seq, int32_t tag_count, char **tags, stream_file_info *stream,
                             int64_t token, file_task_cb cb, ppc_router_task *ctx) {
    const int ret = run_tracked(
        ctx, {PPC_TASK_UPLOAD, unsigned_id(seq), token, cb},
        [&](client_file_task *t) {
            t->tagList = tags;
            t->tagCount = tags != nullptr && tag_count > 0 ? tag_count : 0;
        },
        [&](client_file_task *t) { return QV_FileStreamUpload(stream, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_FileUpload error, res = %d", ret);
    return ret;
}

int ppc_backup_file(uint32_t seq, const char *file_uuid, const char *dir_name, const exdev_dnode *dev,
                    const char *local_path, int64_t token, file_task_cb cb, backup_result_info *result,
                    ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (dev == nullptr) {
        QV_LOG_ERROR("dev_info == NULL");
        return QV_ERR_ARG;
    }
    const int ret = run_tracked(
        ctx, {PPC_TASK_BACKUP, unsigned_id(seq), token, cb},
        [&](client_file_task *t) { t->backup_result = result; },
        [&](client_file_task *t) {
            return QV_BackupFile(file_uuid, dir_name, dev->dev_uuid, local_path, t);
        });
    if (ret != 0) QV_LOG_DEBUG("QV_FileUpload error");
    return ret;
}

int ppc_backup_DeviceFile(uint32_t seq, const char *file_uuid, const exdev_dnode *dev, const char *local_path,
                          int64_t token, file_task_cb cb, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (dev == nullptr) {
        QV_LOG_ERROR("dev_info == NULL");
        return QV_ERR_ARG;
    }
    QV_LOG_DEBUG("dev_uuid = %s", dev->dev_uuid);
    const int ret = run_tracked(
        ctx, {PPC_TASK_BACKUP, unsigned_id(seq), token, cb}, kNoFill,
        [&](client_file_task *t) { return QV_BackupDeviceFile(file_uuid, dev->dev_uuid, local_path, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_FileBackup error, ret=%d", ret);
    return ret;
}

int ppc_backup_StreamFile(uint32_t seq, const char *file_uuid, const char *dir_name, const exdev_dnode *dev,
                          stream_file_info *stream, int64_t token, file_task_cb cb,
                          backup_result_info *result, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (dev == nullptr) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    const int ret = run_tracked(
        ctx, {PPC_TASK_BACKUP, unsigned_id(seq), token, cb},
        [&](client_file_task *t) { t->backup_result = result; },
        [&](client_file_task *t) {
            return QV_FileStreamBackup(file_uuid, dir_name, dev->dev_uuid, stream, t);
        });
    if (ret != 0) QV_LOG_DEBUG("QV_FileBackUp error, res = %d", ret);
    return ret;
}

int ppc_backup_StreamDeviceFile(uint32_t seq, const char *file_uuid, const exdev_dnode *dev,
                                stream_file_info *stream, int64_t token, file_task_cb cb,
                                ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (dev == nullptr) {
        QV_LOG_ERROR("dev_info == NULL");
        return QV_ERR_ARG;
    }
    const int ret = run_tracked(
        ctx, {PPC_TASK_BACKUP, unsigned_id(seq), token, cb}, kNoFill,
        [&](client_file_task *t) { return QV_FileStreamDeviceBackup(file_uuid, dev->dev_uuid, stream, t); });
    if (ret != 0) QV_LOG_DEBUG("ppc_backup_StreamDeviceFile error, res = %d", ret);
    return ret;
}

int ppc_get_RelaxUploadAuthValue(uint32_t seq, const char *local_path, const char *kind, char *value,
                                 file_task_cb cb, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (cb == nullptr) {
        QV_LOG_DEBUG("call back event is null");
        return QV_ERR_ARG;
    }
    const int ret = run_tracked(
        ctx, {PPC_TASK_RELAX_AUTH, unsigned_id(seq), 0, cb}, kNoFill,
        [&](client_file_task *t) { return QV_GetRelaxUploadAuthValue(local_path, kind, value, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_GetFastUploadCheckValue error");
    return ret;
}

int ppc_get_StreamRelaxUploadAuthValue(uint32_t seq, const stream_file_info *stream, const char *kind,
                                       char *value, file_task_cb cb, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (cb == nullptr) {
        QV_LOG_DEBUG("call back event is null");
        return QV_ERR_ARG;
    }
    const int ret = run_tracked(
        ctx, {PPC_TASK_RELAX_AUTH, unsigned_id(seq), 0, cb}, kNoFill,
        [&](client_file_task *t) { return QV_GetStreamRelaxUploadAuthValue(stream, kind, value, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_GetFastUploadCheckValue error");
    return ret;
}

// ---- file operations ----

int ppc_file_CopyCb(uint32_t seq, path_info *src, path_info *dst, int64_t token, file_task_cb cb,
                    ppc_router_task *ctx) {
    const int ret = run_tracked(
        ctx, {PPC_TASK_COPY, unsigned_id(seq), token, cb}, kNoFill,
        [&](client_file_task *t) { return QV_FileCopyCb(static_cast<int32_t>(seq), src, dst, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_FileCopyCb error");
    return ret;
}

int ppc_file_MoveCb(uint32_t seq, path_info *src, path_info *dst, int64_t token, file_task_cb cb,
                    ppc_router_task *ctx) {
    const int ret = run_tracked(
        ctx, {PPC_TASK_MOVE, unsigned_id(seq), token, cb}, kNoFill,
        [&](client_file_task *t) { return QV_FileMoveCb(static_cast<int32_t>(seq), src, dst, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_FileMoveCb error");
    return ret;
}

int ppc_delete_FileListCb(delete_list_req *req, int64_t token, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (req == nullptr) {
        QV_LOG_ERROR("delete request is null");
        return QV_ERR_ARG;
    }
    // The request's own number (signed, widened with its sign) and callback.
    const int ret =
        run_tracked(ctx, {PPC_TASK_DELETE_LIST, static_cast<int64_t>(req->taskId), token, req->progressCb},
                    kNoFill, [&](client_file_task *t) { return QV_FileDeleteListCb(req, t); });
    if (ret != 0) QV_LOG_ERROR("QV_FileDeleteListCb error, res = %d", ret);
    return ret;
}

int ppc_file_SearchMultiFunc(uint32_t seq, int32_t sort_type, const search_condition *cond, int64_t token,
                             file_task_cb cb, int32_t current_only, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    if (token <= 0) {
        QV_LOG_ERROR("has not login, is failed...");
        return QV_ERR_ARG;
    }
    if (cond == nullptr) {
        QV_LOG_ERROR("search condition is null");
        return QV_ERR_ARG;
    }
    const int ret = run_tracked(
        ctx, {PPC_TASK_SEARCH, unsigned_id(seq), token, cb},
        [&](client_file_task *t) {
            t->search = *cond;  // the device call and the callback read only this copy
            t->currentOnly = current_only;
        },
        [&](client_file_task *t) { return QV_FileSearchMultiFunc(&t->search, sort_type, t); });
    // A closed search says so, as the photo listing does: a failure would read like a device error.
    if (ret == QV_ERR_CANCELLED) return QV_ERR_CANCELLED;
    if (ret != 0) {
        QV_LOG_DEBUG("QV_FileSearchMultiFunc error");
        return QV_ERR_FAILED;
    }
    return 0;
}

int ppc_search_all_bucket(ppc_router_task *ctx, int64_t token, uint32_t seq, int32_t sort_type,
                          const char *const *words, const int32_t *word_types, int32_t word_count,
                          file_task_cb cb) {
    QV_LOG_DEBUG("qv_search_all_bucket...");
    search_condition c{};
    c.condition = CONDITION_ALL_BUCKET;
    put_words(c, words, word_types, word_count);
    return bucket_search("all_bucket", ctx, c, token, seq, sort_type, cb);
}

int ppc_search_some_bucket(ppc_router_task *ctx, const int32_t *bucket_ids, int32_t bucket_count,
                           int64_t token, uint32_t seq, int32_t sort_type, const char *const *words,
                           const int32_t *word_types, int32_t word_count, file_task_cb cb) {
    QV_LOG_DEBUG("qv_search_some_bucket...");
    search_condition c{};
    c.condition = CONDITION_SOME_BUCKET;
    put_words(c, words, word_types, word_count);
    for (int32_t i = 0; bucket_ids != nullptr && i < bucket_count && i < QV_SEARCH_MAX_BUCKETS; ++i) {
        c.bucketId[i] = bucket_ids[i];
        ++c.bucket_count;
    }
    return bucket_search("some_bucket", ctx, c, token, seq, sort_type, cb);
}

int ppc_search_specify_single_path(ppc_router_task *ctx, int32_t bucket_id, int64_t token, const char *path,
                                   uint32_t seq, int32_t sort_type, const char *const *words,
                                   const int32_t *word_types, int32_t word_count, file_task_cb cb) {
    QV_LOG_DEBUG("qv_search_specify_single_path...");
    search_condition c{};
    c.condition = CONDITION_SINGLE_PATH;
    put_words(c, words, word_types, word_count);
    c.search_bucketid = bucket_id;
    std::snprintf(c.search_path, sizeof c.search_path, "%s", path != nullptr ? path : "");
    return bucket_search("specify_single_path", ctx, c, token, seq, sort_type, cb);
}

int ppc_get_FileGpsList(uint32_t seq, gps_condition *scope, double lat1, double lon1, double lat2,
                        double lon2, int64_t token, file_task_cb cb, ppc_router_task *ctx) {
    const int ret = run_tracked(
        ctx, {PPC_TASK_GPS_LIST, unsigned_id(seq), token, cb},
        [&](client_file_task *t) {
            t->latitude1 = lat1;
            t->longitude1 = lon1;
            t->latitude2 = lat2;
            t->longitude2 = lon2;
        },
        [&](client_file_task *t) { return QV_FileGPSList(scope, t); });
    if (ret != 0) QV_LOG_DEBUG("QV_FileGPSList error");
    QV_LOG_DEBUG("get gps file list finish");
    return ret;
}

// ---- recycle bin ----

int ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb, int64_t token) {
    return recycle_op(seq, cb, token, "Restore List",
                      [list](client_file_task *t) { return QV_ResyscleRestoreList(list, t); });
}

int ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb, int64_t token) {
    return recycle_op(seq, cb, token, "Delete List",
                      [list](client_file_task *t) { return QV_ResyscleDeleteList(list, t); });
}

int ppc_RecycleEmpty(int32_t seq, file_task_cb cb, int64_t token) {
    return recycle_op(seq, cb, token, "Empty", [](client_file_task *t) { return QV_ResyscleEmpty(t); });
}

// ---- cancels ----

int ppc_cancel_FileDownload(uint32_t seq, int64_t, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    mark(ctx, true,
         [seq](const client_file_task *t) { return t->task_type == PPC_TASK_DOWNLOAD && same_seq(t, seq); });
    return 0;
}

int ppc_cancel_FileUpload(uint32_t seq, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    const int marked = mark(ctx, true, [seq](const client_file_task *t) {
        return t->task_type == PPC_TASK_UPLOAD && same_seq(t, seq);
    });
    return marked > 0 ? 0 : QV_ERR_NOT_IN_LIST;
}

int ppc_cancel_FileDownloadALL(ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    mark(ctx, false, [](const client_file_task *t) { return t->task_type == PPC_TASK_DOWNLOAD; });
    return 0;
}

int ppc_cancel_FileUploadAll(ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    mark(ctx, false, [](const client_file_task *t) { return t->task_type == PPC_TASK_UPLOAD; });
    return 0;
}

int ppc_cancel_GetRelaxUploadAuthValue(uint32_t seq, ppc_router_task *ctx) {
    if (no_context(ctx)) return QV_ERR_ARG;
    QV_LOG_DEBUG("authValueSeq = %u", seq);
    mark(ctx, false, [seq](const client_file_task *t) { return same_seq(t, seq); });
    return 0;
}

int ppc_cancel_FileTask(uint32_t seq, ppc_router_task *ctx) {
    return cancel_seq_any_type(seq, ctx, nullptr);
}

int ppc_cancel_FileGpsListTask(uint32_t seq, ppc_router_task *ctx) {
    return cancel_seq_any_type(seq, ctx, "qvFMultiFuncClientFileTaskCancel");
}

int ppc_cancel_FileMultiFuncSearchTask(uint32_t seq, ppc_router_task *ctx) {
    return cancel_seq_any_type(seq, ctx, "qvFMultiFuncClientFileTaskCancel");
}

int ppc_cancel_FileClientFileTask(uint32_t seq, ppc_router_task *ctx) {
    return cancel_seq_any_type(seq, ctx, "");
}

int ppc_cancel_FileTaskAll(ppc_router_task *ctx) {
    return cancel_every_task(ctx, true);
}

int ppc_cancel_FileGpsListTaskAll(ppc_router_task *ctx) {
    return cancel_every_task(ctx, false);
}

int ppc_cancel_FileMultiFuncSearchTaskAll(ppc_router_task *ctx) {
    return cancel_every_task(ctx, false);
}

int ppc_cancel_FileClientFileTaskAll(ppc_router_task *ctx) {
    return cancel_every_task(ctx, false);
}
