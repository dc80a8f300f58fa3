// Device log download (168): the log lands directly at the caller's path through the download processor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "command/device_calls.h"
#include "command/download_process.h"
#include "command/ppc_qv_client.h"

namespace {

// The log is written by the device over minutes on a large disk.
constexpr int32_t kLogTimeoutMs = 600000;

// After a failed download: the file at the path goes when this call made it or wrote into it (a cut or
// mixed log is worse than none); an older log that was never written to stays. Only the file this call
// opened is removed, never one put at the path since.
void drop_failed_log(const char *path, const struct stat &opened, bool existed, bool written) {
    struct stat now {};
    if ((!existed || written) && ::lstat(path, &now) == 0 && now.st_dev == opened.st_dev &&
        now.st_ino == opened.st_ino)
        ::unlink(path);
}

}  // namespace

int QV_LogFileDownload(const char *desPath, int log_type, client_file_task *task) {
    if (desPath == nullptr || task == nullptr) return QV_ERR_ARG;
    QV_LOG_DEBUG("desPath = %s", desPath);
    // A symbolic link at the path would send the log elsewhere: only a regular file (or none) is written.
    struct stat before {};
    const bool existed = ::lstat(desPath, &before) == 0;
    if (existed && !S_ISREG(before.st_mode)) {
        QV_LOG_ERROR("log target is not a regular file: %s", desPath);
        return QV_ERR_LOCAL_FILE2;
    }
    client_info ci;
    qv_frame_init(&ci, 168, task->token, QV_ADDR_CURRENT);
    ci.log_type = log_type;
    ci.timeout = kLogTimeoutMs;
    ci.rClientFileTask = task;
    ci.savePath = desPath;
    ci.tmp_path = const_cast<char *>(desPath);  // the final path: no temporary name, no resume file
    int rc = _create_local_file(&ci);
    if (rc != 0) return rc;
    struct stat opened {
    }, now{};
    if (::fstat(ci.file_fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::lstat(desPath, &now) != 0 ||
        now.st_dev != opened.st_dev || now.st_ino != opened.st_ino) {
        QV_LOG_ERROR("log target changed under us: %s", desPath);
        release_local_file(&ci);
        return QV_ERR_LOCAL_FILE2;
    }
    task->cur_progress = 0;
    rc = _qv_download_prcs_task(&ci);
    destory_record_list(ci.range_list);
    ci.range_list = nullptr;
    if (rc != 0) {  // the processor released the file
        drop_failed_log(desPath, opened, existed, task->cur_progress.load() > 0);
        return rc;
    }
    // An older, longer log must not keep its tail; the length written is the length the reply announced.
    const int64_t length = task->total_progress.load();
    if (task->cur_progress.load() != length || ::ftruncate(ci.file_fd, static_cast<off_t>(length)) != 0) {
        QV_LOG_ERROR("log written %lld of %lld bytes", static_cast<long long>(task->cur_progress.load()),
                     static_cast<long long>(length));
        rc = QV_ERR_LOCAL_FILE2;
    }
    release_local_file(&ci);
    if (rc != 0) drop_failed_log(desPath, opened, existed, true);
    return rc;
}
