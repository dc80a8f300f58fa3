// The resumable file download: target name, side files, resume point and the final move.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_parse_attr.h"
#include "command/download_id.h"
#include "command/download_process.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

bool exists(const std::string &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

bool is_dir(const std::string &p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Usable as a target: see file_rename.
bool usable(const std::string &t) {
    if (exists(t)) return false;
    if (exists(t + ".qvc.uuid")) return true;
    return !exists(t + ".qvc") && !exists(t + ".qvc.cfg");
}

// Free for the final move: the name and its side files all absent.
bool all_free(const std::string &t) {
    return !exists(t) && !exists(t + ".qvc") && !exists(t + ".qvc.cfg") && !exists(t + ".qvc.uuid");
}

std::string candidate(const std::string &prefix, const std::string &ext, int n) {
    return n == 0 ? prefix + ext : prefix + "(" + std::to_string(n) + ")" + ext;
}

// Splits at the last "." of the file name (never of a folder name).
void split_name(const std::string &path, std::string *prefix, std::string *ext) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        *prefix = path;
        ext->clear();
    } else {
        *prefix = path.substr(0, dot);
        *ext = path.substr(dot);
    }
}

// The device file's name as a local name: its last component; empty when it cannot name a file in the
// folder ("", ".", ".." or a path ending in "/").
std::string safe_name(const char *device_path) {
    if (!device_path) return {};
    const char *slash = std::strrchr(device_path, '/');
    std::string name = slash ? slash + 1 : device_path;
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return {};
    return name;
}

// Exclusive creation of a side file: the descriptor, or -1 (the name is taken or cannot be made).
int create_excl(const std::string &p) {
    return open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

// Creates the id file holding the id, atomically: it appears with its content or not at all (written into
// an unnamed file of the folder and linked to its name, which never replaces). 0, EEXIST, or an errno.
int claim_id_file(const std::string &path, const char *id) {
    const std::string dir = path.substr(0, path.rfind('/'));
    int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        // No unnamed files here: exclusive creation (a reader may briefly see it empty).
        fd = create_excl(path);
        if (fd < 0) return errno;
        const bool ok = write(fd, id, QV_TASK_ID_LEN) == QV_TASK_ID_LEN && fsync(fd) == 0;
        close(fd);
        return ok ? 0 : EIO;
    }
    int rc = 0;
    if (write(fd, id, QV_TASK_ID_LEN) != QV_TASK_ID_LEN || fsync(fd) != 0) {
        rc = EIO;
    } else {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) rc = errno;
    }
    close(fd);
    return rc;
}

// Moves the finished partial file to `target`, or to the next free "(N)" name when `target` was taken in
// the meantime; never replaces an entry. 0, or QV_ERR_PARTIAL_GONE.
int final_move(const std::string &tmp, const std::string &target) {
    std::string prefix, ext;
    split_name(target, &prefix, &ext);
    std::string to = target;
    for (int n = 1; n < 100000; ++n) {
        if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno == EINVAL || errno == ENOSYS) {
            // No atomic no-replace rename on this file system: a hard link never replaces either.
            if (link(tmp.c_str(), to.c_str()) == 0) {
                unlink(tmp.c_str());
                return 0;
            }
        }
        if (errno != EEXIST) {
            QV_LOG_ERROR("move %s to %s failed, errno = %d", tmp.c_str(), to.c_str(), errno);
            return QV_ERR_PARTIAL_GONE;
        }
        QV_LOG_MSG("%s appeared during the download", to.c_str());
        while (n < 100000 && !all_free(to = candidate(prefix, ext, n))) ++n;
    }
    return QV_ERR_PARTIAL_GONE;
}

struct Paths {
    std::string target, tmp, cfg, uuid;
};

// Prepares the side files and holds the partial file: fresh (id and data files created exclusively, then
// the resume file) or resumed (our id file; the checkpoint kept when it is consistent with the partial file,
// else both emptied). Nothing is read, emptied or removed before the partial file is locked under its name,
// and a download that finds it held removes nothing. Sets offset/length. 0, QV_ERR_OTHER_PARTIAL or
// QV_ERR_LOCAL_FILE2; *retry when the name has to be chosen again.
int prepare(client_info *info, const Paths &p, const char *id, bool *retry) {
    const int64_t size = info->st->st_size;
    info->offset = 0;
    info->length = 0;
    int rc = claim_id_file(p.uuid, id);
    const bool fresh = rc == 0;
    if (!fresh && rc != EEXIST) {
        QV_LOG_ERROR("fopen error:%d", rc);
        return QV_ERR_LOCAL_FILE2;
    }
    if (!fresh && (rc = check_download_id_file(p.uuid.c_str(), id)) != 0) return rc;
    download_step(DownloadStep::IdFile, p.target.c_str());
    switch (lock_partial_file(info, fresh)) {
        case PartialLock::Ok:
            break;
        case PartialLock::Taken:
            // Fresh, and the partial file's name was taken since the check: not ours, so neither is our id
            // file.
            unlink(p.uuid.c_str());
            *retry = true;
            return QV_ERR_LOCAL_FILE2;
        case PartialLock::Gone:
            *retry = true;  // its download finished (or gave it up) meanwhile: choose the name again
            return QV_ERR_LOCAL_FILE2;
        case PartialLock::Held:
        case PartialLock::Failed:
            return QV_ERR_LOCAL_FILE2;
    }
    if (fresh) {
        // The resume file must be new too; when the name was taken since the check, give the name up.
        const int cfd = create_excl(p.cfg);
        if (cfd < 0) {
            unlink(p.tmp.c_str());
            unlink(p.uuid.c_str());
            release_local_file(info);
            *retry = true;
            return QV_ERR_LOCAL_FILE2;
        }
        close(cfd);
        return 0;
    }
    // Resumed, and the partial file is ours now: its id file must still be there (a download that finished
    // meanwhile removes it) and still ours.
    if ((rc = check_download_id_file(p.uuid.c_str(), id)) != 0) return rc;
    // Resume from the checkpoint when it is whole and the partial file holds the data it claims.
    record_dnode *list = nullptr;
    struct stat dst {};
    const bool have_data = fstat(info->file_fd, &dst) == 0 && S_ISREG(dst.st_mode);
    int count = have_data && exists(p.cfg) ? read_list_from_file(p.cfg.c_str(), &list) : 0;
    const record_dnode *first = list;
    for (const record_dnode *dn = list; dn; dn = dn->next) first = dn;  // the file's first record decides
    if (count >= 1 && first && first->start >= 0 && first->start <= first->cur && first->cur <= first->end &&
        first->end == size && first->cur <= dst.st_size) {
        info->offset = first->cur;
        info->length = first->end;
        info->range_list = list;
        info->count = count;
        return 0;
    }
    if (list) destory_record_list(list);
    // Nothing usable saved: start over on emptied files (they are ours, as the id file shows).
    if (ftruncate(info->file_fd, 0) != 0 || (truncate(p.cfg.c_str(), 0) != 0 && errno != ENOENT))
        return QV_ERR_LOCAL_FILE2;
    return 0;
}

// Frees what the attribute parser allocated in `st`.
void release_stat(file_stat *st) {
    if (st->tag_dnode)
        for (char **t = st->tag_dnode; *t; ++t) std::free(*t);
    std::free(st->tag_dnode);
    std::free(st->image_info);
    std::free(st->audio_info);
    std::free(st->video_info);
    *st = file_stat{};
}

}  // namespace

int _exist_rename(const char *prefix, const char *ext, char **out, int n) {
    if (!prefix || !out) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    const std::string pre = prefix, ex = ext ? ext : "";
    for (;; ++n) {
        std::string c = candidate(pre, ex, n);
        if (usable(c)) {
            *out = strdup(c.c_str());
            return *out ? QV_OK : QV_ERR_FAILED;
        }
    }
}

int file_rename(const char *des_path, char **out) {
    if (!des_path || !out) {
        QV_LOG_ERROR("rename error");
        return QV_ERR_ARG;
    }
    std::string prefix, ext;
    split_name(des_path, &prefix, &ext);
    return _exist_rename(prefix.c_str(), ext.c_str(), out, 0);
}

int _handle_file_download_req(client_info *info) {
    const std::string planned = info->localPath ? info->localPath : "";
    const std::string name = safe_name(info->path_obj ? info->path_obj->path : nullptr);
    const size_t slash = planned.rfind('/');
    if (!info->st || name.empty() || slash == std::string::npos || planned.substr(slash + 1) != name) {
        QV_LOG_ERROR("unsafe or missing file name");
        return QV_ERR_LOCAL_FILE2;
    }
    if (!is_dir(planned.substr(0, slash))) return QV_ERR_PARTIAL_GONE;
    char id[QV_TASK_ID_LEN + 1] = {};
    if (download_task_id(planned.c_str(), info->st->st_size, info->st->st_mtime, id) != 0) return QV_ERR_ARG;

    Paths p;
    int rc = QV_ERR_LOCAL_FILE2;
    for (int attempt = 0; attempt < 8; ++attempt) {
        char *target = nullptr;
        if (file_rename(planned.c_str(), &target) != 0) {
            QV_LOG_ERROR("file rename error");
            return QV_ERR_LOCAL_FILE2;
        }
        p.target = target;
        std::free(target);
        p.tmp = p.target + ".qvc";
        p.cfg = p.target + ".qvc.cfg";
        p.uuid = p.target + ".qvc.uuid";
        bool retry = false;
        info->tmp_path = p.tmp.data();
        info->file_fd = -1;
        rc = prepare(info, p, id, &retry);
        if (rc != 0) release_local_file(info);
        if (!retry) break;
    }
    if (rc != 0) {
        info->tmp_path = nullptr;
        return rc;
    }
    QV_LOG_DEBUG("desPath = %s, offset = %lld, length = %lld", p.target.c_str(),
                 static_cast<long long>(info->offset), static_cast<long long>(info->length));

    info->cfg_path = p.cfg.data();
    info->uuid_path = p.uuid.data();
    info->cfg_fp = open_resume_stream(p.cfg.c_str());
    if (!info->cfg_fp) {
        QV_LOG_ERROR("open file errno[errno = %d]", errno);
        release_local_file(info);
        rc = QV_ERR_LOCAL_FILE2;
    } else {
        download_step(DownloadStep::ResumeFile, p.target.c_str());
        rc = _qv_download_prcs_task(info);
    }
    if (info->range_list) destory_record_list(info->range_list);
    info->range_list = nullptr;
    if (info->cfg_fp) fclose(info->cfg_fp);
    info->cfg_fp = nullptr;
    info->tmp_path = info->cfg_path = info->uuid_path = nullptr;

    if (rc == 0) {
        // Still held: the name leads to our file, which nobody else may move or remove.
        struct stat st {
        }, named{};
        if (fstat(info->file_fd, &st) != 0 || stat(p.tmp.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino) {
            rc = QV_ERR_PARTIAL_GONE;
        } else if (st.st_size != info->st->st_size) {
            QV_LOG_ERROR("downloaded %lld bytes, the file has %lld", static_cast<long long>(st.st_size),
                         static_cast<long long>(info->st->st_size));
            if (truncate(p.cfg.c_str(), 0) != 0) QV_LOG_ERROR("resume file not emptied");  // next: start over
            rc = QV_ERR_DL_NO_TYPE;
        } else if (!is_dir(p.target.substr(0, p.target.rfind('/')))) {
            rc = QV_ERR_PARTIAL_GONE;
        } else {
            unlink(p.cfg.c_str());
            download_step(DownloadStep::ResumeRemoved, p.target.c_str());
            rc = final_move(p.tmp, p.target);
            if (rc == 0) {
                download_step(DownloadStep::Moved, p.target.c_str());
                unlink(p.uuid.c_str());
                download_step(DownloadStep::IdRemoved, p.target.c_str());
            }
        }
        // Held since the download completed: release only now that the file is in place and the side files
        // are gone, so that a download waiting for it finds its name free or moved away, never reused.
        if (release_local_file(info) != 0 && rc == 0) rc = QV_ERR_LOCAL_FILE2;
        download_step(DownloadStep::Released, p.target.c_str());
    }
    return rc;
}

int QV_FileDownload(const char *folder, path_info *path, client_file_task *task) {
    if (!folder || !path || !path->path || !task) return QV_ERR_ARG;
    const std::string name = safe_name(path->path);
    if (name.empty()) {
        QV_LOG_ERROR("unsafe file name \"%s\"", path->path);
        return QV_ERR_LOCAL_FILE2;
    }
    client_info ci;
    qv_frame_init(&ci, 105, task->token, QV_ADDR_CURRENT);
    file_stat st{};
    ci.path_obj = path;
    ci.attrFlag = 0;
    ci.st = &st;
    int rc = _qv_net_prcs_task(&ci);
    if (rc != 0) {
        QV_LOG_ERROR("get file size error");
        release_stat(&st);
        return rc;
    }
    ci.cmd = 106;
    ci.path_obj = path;
    std::string planned = folder;
    if (planned.empty() || planned.back() != '/') planned += '/';
    planned += name;
    QV_LOG_DEBUG("desPath = %s", planned.c_str());
    ci.localPath = planned.data();
    ci.rClientFileTask = task;
    ci.token = task->token;
    rc = _handle_file_download_req(&ci);
    ci.localPath = nullptr;
    release_stat(&st);
    return rc;
}
