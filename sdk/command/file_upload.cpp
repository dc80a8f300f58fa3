#include "command/file_upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_list.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"
#include "command/upload_process.h"

namespace {

// A local source opened once; size and time come from the descriptor, never from the path.
struct LocalFile {
    int fd = -1;
    int64_t size = 0;
    uint32_t mtime = 0;
    int err = 0;  // errno of the failed open or fstat

    explicit LocalFile(const char *path) {
        fd = path ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) {
            err = path ? errno : ENOENT;
            return;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            err = S_ISDIR(st.st_mode) ? EISDIR : errno;
            ::close(fd);
            fd = -1;
            return;
        }
        size = static_cast<int64_t>(st.st_size);
        mtime = static_cast<uint32_t>(st.st_mtime);
    }
    ~LocalFile() {
        if (fd >= 0) ::close(fd);
    }
    LocalFile(const LocalFile &) = delete;
    LocalFile &operator=(const LocalFile &) = delete;
};

// What one transfer sends with both its check and its upload requests.
struct Transfer {
    int32_t check_cmd;
    int32_t upload_cmd;
    int64_t seq = 0;
    path_info *target = nullptr;  // uploads
    const char *srcPath = nullptr;
    int file_fd = 0;  // 0: a stream
    int64_t file_length = 0;
    uint32_t modifyTime = 0;
    const char *fileUuid = nullptr;  // backups
    const char *deviceUuid = nullptr;
    const char *dirName = nullptr;
};

void fill(client_info &ci, const Transfer &t, int32_t cmd, client_file_task *task) {
    qv_frame_init(&ci, cmd, task->token, QV_ADDR_CURRENT);
    ci.seq = t.seq;
    ci.rClientFileTask = task;
    ci.path_obj = t.target;
    ci.srcPath = t.srcPath;
    ci.file_fd = t.file_fd;
    ci.file_length = t.file_length;
    ci.modifyTime = t.modifyTime;
    ci.offset = 0;
    ci.fileUuid = t.fileUuid;
    ci.deviceUuid = t.deviceUuid;
    ci.dirName = t.dirName;
    if (cmd == t.upload_cmd && task->tagList) {
        ci.tagList = task->tagList;
        ci.tagCount = task->tagCount;
    }
}

// Check, send what is missing, check again: until the device reports nothing missing.
int run_rounds(const Transfer &t, client_file_task *task) {
    task->stream_pos = 0;
    backup_result_info *res = task->backup_result;
    char *const caller_path = res ? res->path : nullptr;
    char *ours = nullptr;  // a path an earlier round stored
    for (int round = 0; round < QV_UPLOAD_MAX_ROUNDS; ++round) {
        client_info ci;
        fill(ci, t, t.check_cmd, task);
        int rc = _qv_net_prcs_task(&ci);
        if (rc != 0) {
            QV_LOG_ERROR("file check upload error");
            if (ci.range_list) destory_record_list(ci.range_list);
            return rc;
        }
        const bool complete = ci.status == 1 && ci.range_list == nullptr;
        // After a first round the device already has everything: done. The very first upload request goes
        // out even then (as an empty range) because it carries the tags.
        if (complete && round > 0) return 0;
        const int32_t status = ci.status;
        record_dnode *ranges = ci.range_list;
        fill(ci, t, t.upload_cmd, task);
        ci.status = status;
        ci.range_list = ranges;
        rc = _qv_upload_prcs_task(&ci);
        if (res && ours && res->path != ours) std::free(ours);
        ours = res && res->path != caller_path ? res->path : nullptr;
        if (rc != 0) return rc;
        if (complete) return 0;
    }
    QV_LOG_ERROR("upload incomplete after %d rounds", QV_UPLOAD_MAX_ROUNDS);
    return QV_ERR_NET;
}

int stream_transfer(Transfer t, stream_file_info *stream, client_file_task *task) {
    if (!stream || !task || !stream->stream_read) return QV_ERR_ARG;
    t.file_length = stream->size;
    t.modifyTime = stream->mtime;
    t.file_fd = 0;
    task->stream_cb = stream->stream_read;
    return run_rounds(t, task);
}

// Steps 134 and the backup rounds. `stop_on_check_error`: any 134 result but 0 and QV_ERR_LOCAL_MISSING ends
// the call.
int backup(Transfer t, client_file_task *task, const char *localPath, stream_file_info *stream,
           bool stop_on_check_error) {
    if (!task || !t.fileUuid) return QV_ERR_ARG;
    const int known = QV_BackupFileIsExist(t.fileUuid, task->token);
    if (known == 0) {
        QV_LOG_DEBUG("file is exist");
        return 0;
    }
    if (known != QV_ERR_LOCAL_MISSING && stop_on_check_error) {
        QV_LOG_ERROR("backup file check error");
        return known;
    }
    if (stream) {
        t.srcPath = stream->path.path;
        t.seq = task->id.load();
        return stream_transfer(t, stream, task);
    }
    LocalFile f(localPath);
    if (f.fd < 0) {
        QV_LOG_DEBUG("file is not exist, ret=%d, src: %s", f.err, localPath ? localPath : "");
        return QV_ERR_FAILED;
    }
    t.srcPath = localPath;
    t.file_fd = f.fd;
    t.file_length = f.size;
    t.modifyTime = f.mtime;
    QV_LOG_DEBUG("p_client_info.modifyTime = %u", t.modifyTime);
    return run_rounds(t, task);
}

}  // namespace

int QV_FileUpload(const char *localPath, path_info *target, client_file_task *task) {
    if (!task || !target) return QV_ERR_ARG;
    QV_LOG_DEBUG("desPath = %s localPath=%s", target->path ? target->path : "", localPath ? localPath : "");
    LocalFile f(localPath);
    if (f.fd < 0) {
        QV_LOG_DEBUG("%s is not exist", localPath ? localPath : "");
        return f.err == ENOENT || f.err == ENOTDIR ? QV_ERR_LOCAL_MISSING : QV_ERR_LOCAL_FILE;
    }
    Transfer t{108, 107};
    t.target = target;
    t.srcPath = localPath;
    t.file_fd = f.fd;
    t.file_length = f.size;
    t.modifyTime = f.mtime;
    task->stream_cb = nullptr;
    return run_rounds(t, task);
}

int QV_FileStreamUpload(stream_file_info *stream, client_file_task *task) {
    if (!stream) return QV_ERR_ARG;
    Transfer t{108, 107};
    t.seq = stream->id;
    t.target = &stream->path;
    return stream_transfer(t, stream, task);
}

int QV_BackupFileIsExist(const char *fileUuid, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 134, token, QV_ADDR_CURRENT);
    ci.fileUuid = fileUuid;
    return _qv_net_prcs_task(&ci);
}

int QV_FileMkdirBackup(path_info *dir, const char *deviceUuid, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 136, token, QV_ADDR_CURRENT);
    ci.path_obj = dir;
    ci.deviceUuid = deviceUuid;
    return _qv_net_prcs_task(&ci);
}

int QV_Backup_CheckFileUuidList(backup_uuid_head *list, int32_t offset, int32_t length, int64_t token) {
    file_list_info *page = nullptr;
    const int rc = QV_FileGetBackupList(&page, offset, length, token);
    if (rc != 0) {
        QV_LOG_DEBUG("get file backup list error");
        return rc;
    }
    if (!list || !page) {
        QV_LOG_ERROR("file_uuid_list or file_list NULL...");
    } else {
        // Every flag comes from this page alone: a node found now is cleared even if an earlier check
        // flagged it, so a list checked again never keeps stale flags.
        list->flagged = 0;
        for (backup_uuid_dnode *n = list->next; n && n != backup_uuid_end(list); n = n->next) {
            const bool found = ppc_check_uuid_is_exist_list(n->file_uuid, page->uuid_list) == 0;
            n->exists = found ? 0 : 1;
            if (!found) ++list->flagged;
        }
    }
    if (page) {
        uuid_list_free(page->uuid_list);
        ppc_destory_file_list(page->list);
        std::free(page);
    }
    return 0;
}

int QV_Backup_CheckUuidList(backup_uuid_head *list, int64_t token) {
    if (!list) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 138, token, QV_ADDR_CURRENT);
    ci.backup_uuid_list = list;
    return _qv_net_prcs_task(&ci);
}

int QV_BackupFile(const char *fileUuid, const char *dirName, const char *deviceUuid, const char *localPath,
                  client_file_task *task) {
    Transfer t{133, 132};
    t.fileUuid = fileUuid;
    t.deviceUuid = deviceUuid;
    t.dirName = dirName;
    return backup(t, task, localPath, nullptr, true);
}

int QV_BackupDeviceFile(const char *fileUuid, const char *deviceUuid, const char *localPath,
                        client_file_task *task) {
    Transfer t{133, 146};
    t.fileUuid = fileUuid;
    t.deviceUuid = deviceUuid;
    return backup(t, task, localPath, nullptr, false);
}

int QV_FileStreamBackup(const char *fileUuid, const char *dirName, const char *deviceUuid,
                        stream_file_info *stream, client_file_task *task) {
    if (!stream) return QV_ERR_ARG;
    Transfer t{133, 132};
    t.fileUuid = fileUuid;
    t.deviceUuid = deviceUuid;
    t.dirName = dirName;
    return backup(t, task, nullptr, stream, false);
}

int QV_FileStreamDeviceBackup(const char *fileUuid, const char *deviceUuid, stream_file_info *stream,
                              client_file_task *task) {
    if (!stream) return QV_ERR_ARG;
    Transfer t{133, 146};
    t.fileUuid = fileUuid;
    t.deviceUuid = deviceUuid;
    return backup(t, task, nullptr, stream, false);
}
