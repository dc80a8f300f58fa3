#include "command/download_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "base/client_file_task.h"
#include "base/qv_defaults.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_parse_attr.h"
#include "codec/file_process.h"
#include "command/qv_net.h"
#include "command/qvhttp_download.h"
#include "command/task_process.h"
#include "link/gzip.h"
#include "link/qv_owned.h"
#include "link/qvcrypt.h"
#include "link/qvhttp.h"

namespace {

// Partial files being written by this process, by file identity: record locks of one process do not keep
// its own threads apart, so a second claim of the same file is refused here.
std::mutex g_claims_mu;
std::set<std::pair<dev_t, ino_t>> g_claims;

bool claim(int fd, std::pair<dev_t, ino_t> *key) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    *key = {st.st_dev, st.st_ino};
    std::lock_guard lk(g_claims_mu);
    return g_claims.insert(*key).second;
}

void unclaim(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    std::lock_guard lk(g_claims_mu);
    g_claims.erase({st.st_dev, st.st_ino});
}

std::atomic<DownloadStepHook> g_step_hook{nullptr};
std::atomic<void *> g_step_ctx{nullptr};

// Deciphers (after inflating) a JSON reply body into a new text; 0 or QV_ERR_LOCAL_FILE.
int reply_text(qvhttp_request *r, char **reply) {
    const char *body = qvhttp_get_body(r);
    int32_t len = qvhttp_get_body_len(r);
    if (!body || len <= 0 || qvhttp_get_header(r, "Transfer-Encoding")) return 0;
    qv::c_text plain;
    const char *ce = qvhttp_get_header(r, "Content-Encoding");
    if (ce && std::strcmp(ce, "gzip") == 0) {
        char *out = nullptr;
        uint64_t out_len = 0;
        if (gzdecompress(body, static_cast<uint64_t>(len), &out, &out_len) != 0 || out_len > INT32_MAX) {
            std::free(out);
            QV_LOG_ERROR("uncompress error.");
            return QV_ERR_LOCAL_FILE;
        }
        plain.reset(out);
        body = out;
        len = static_cast<int32_t>(out_len);
    }
    return reply_body_text(r, body, len, reply, nullptr) == 0 ? 0 : QV_ERR_LOCAL_FILE;
}

}  // namespace

int qvNetDownload(const char *url, const char *request, int32_t timeout_ms, char **reply,
                  client_file_task *task) {
    if (!task || !request) return QV_ERR_ARG;
    qv::request_ptr r(qvhttp_request_new());
    if (!r || !url || qvhttp_set_uri(r.get(), url) != 0 || qvhttp_set_type(r.get(), QVHTTP_POST) != 0)
        return QV_ERR_NOT_BUILT;
    qvhttp_set_header(r.get(), "Content-Type", "application/json");
    qvhttp_set_header(r.get(), "Timeout", std::to_string(timeout_ms).c_str());
    qvhttp_set_header(r.get(), "Encrypt", "aes");
    char *body = nullptr;
    int32_t body_len = 0;
    int rc = qv_crypt_encrypt(request, static_cast<int32_t>(std::strlen(request)), &body, &body_len);
    if (rc != 0) return rc;
    qvhttp_set_header(r.get(), "Content-Length", std::to_string(body_len).c_str());
    if (qvhttp_set_body(r.get(), body, static_cast<uint64_t>(body_len)) != 0) {
        std::free(body);
        return QV_ERR_NOT_BUILT;
    }
    qvhttp_set_file_task(r.get(), task);
    if (qvhttp_prepare(r.get()) != 0) return QV_ERR_NOT_BUILT;
    rc = qvhttp_download(r.get());
    if (rc != 0) {
        QV_LOG_ERROR("qvhttp_download error. ret=%d", rc);
        return rc;
    }
    return reply ? reply_text(r.get(), reply) : 0;
}

void set_download_step_hook(DownloadStepHook hook, void *ctx) {
    g_step_ctx = ctx;
    g_step_hook = hook;
}

void download_step(DownloadStep step, const char *target) {
    if (DownloadStepHook hook = g_step_hook.load()) hook(step, target, g_step_ctx.load());
}

int lockFile(int fd, const char *type) {
    QV_LOG_DEBUG("enter lockFile");
    struct flock fl {};
    if (!type) return QV_ERR_ARG;
    if (std::strcmp(type, "r") == 0) {
        fl.l_type = F_RDLCK;
    } else if (std::strcmp(type, "w") == 0) {
        QV_LOG_DEBUG("mode");
        fl.l_type = F_WRLCK;
    } else if (std::strcmp(type, "u") == 0) {
        fl.l_type = F_UNLCK;
    } else {
        QV_LOG_DEBUG("lock type (%s) is not defined", type);
        return QV_ERR_FAILED;
    }
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    fl.l_pid = 0;  // required for open-file-description locks
    if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        QV_LOG_ERROR("fcntl failed, errno = %d(%s)", errno, std::strerror(errno));
        return QV_ERR_FAILED;
    }
    QV_LOG_DEBUG("exit lockFile");
    return 0;
}

PartialLock lock_partial_file(client_info *info, bool fresh) {
    if (!info->tmp_path) return PartialLock::Failed;
    int fd = open(info->tmp_path, O_WRONLY | O_CREAT | O_CLOEXEC | (fresh ? O_EXCL : 0), 0644);
    if (fd < 0) return fresh && errno == EEXIST ? PartialLock::Taken : PartialLock::Failed;
    const std::string target = std::string(info->tmp_path, std::strlen(info->tmp_path) - 4);
    download_step(DownloadStep::DataFile, target.c_str());
    std::pair<dev_t, ino_t> key;
    if (!claim(fd, &key)) {
        close(fd);
        QV_LOG_ERROR("partial file %s is in use", info->tmp_path);
        return PartialLock::Held;
    }
    if (lockFile(fd, "w") != 0) {
        unclaim(fd);
        close(fd);
        return PartialLock::Held;
    }
    info->file_fd = fd;
    download_step(DownloadStep::Locked, target.c_str());
    struct stat named {};
    if (stat(info->tmp_path, &named) != 0 || named.st_dev != key.first || named.st_ino != key.second) {
        QV_LOG_MSG("partial file %s was moved away before it was locked", info->tmp_path);
        release_local_file(info);
        return PartialLock::Gone;
    }
    return PartialLock::Ok;
}

int _create_local_file(client_info *info) {
    return lock_partial_file(info, false) == PartialLock::Ok ? 0 : QV_ERR_LOCAL_FILE2;
}

int release_local_file(client_info *info) {
    if (info->file_fd <= 0) return 0;
    unclaim(info->file_fd);
    const int rc = lockFile(info->file_fd, "u");
    close(info->file_fd);
    info->file_fd = -1;
    return rc;
}

int _qv_download_prcs_task(client_info *info) {
    client_file_task *task = info->rClientFileTask;
    if (!task) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;
    // A descriptor above 0 is a partial file the caller already opened with _create_local_file.
    int rc = file_process(info);
    if (rc != 0) {
        QV_LOG_ERROR("para is error,c->cmd = %d", info->cmd);
    } else if (info->file_fd <= 0 && (rc = _create_local_file(info)) != 0) {
        QV_LOG_DEBUG("create local file error");
    } else {
        const std::string url = "http://" + std::string(info->ip) + ":" + std::to_string(info->port);
        task->fd = info->file_fd;
        task->cfg_stream = info->cfg_fp;
        task->tmp_path = info->tmp_path;
        task->range_list = info->range_list;
        info->range_list = nullptr;
        task->cur_progress = info->offset;
        task->total_progress = info->length ? info->length : info->st ? info->st->st_size : 0;
        rc = qvNetDownload(url.c_str(), info->retstr, info->timeout, &info->recv_buf, task);
        info->range_list = task->range_list;
        task->range_list = nullptr;
        task->cfg_stream = nullptr;
        task->tmp_path = nullptr;
        task->fd = -1;
        if (rc != 0) {
            QV_LOG_ERROR("qv net post error %d :%s", info->cmd, url.c_str());
        } else if (info->recv_buf) {
            // The device answered with JSON instead of file data: its error, or no data at all.
            QV_LOG_DEBUG("recv: %s", qv_redacted_reply(info->recv_buf, info->token).c_str());
            rc = file_parse_process(info);
            if (rc != 0) QV_LOG_ERROR("parser json error");
            if (rc == 0) rc = QV_ERR_DL_NO_TYPE;
        }
    }
    // After a complete download the caller keeps the partial file locked until it is moved into place, so
    // that no other download can claim (and empty) it in between.
    if (rc != 0) release_local_file(info);
    std::free(info->retstr);
    info->retstr = nullptr;
    std::free(info->recv_buf);
    info->recv_buf = nullptr;
    return rc;
}
