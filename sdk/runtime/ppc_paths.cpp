#include "runtime/ppc_paths.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/qv_log.h"
#include "codec/file_parse_attr.h"
#include "command/ppc_sys_file_client.h"
#include "link/qv_owned.h"
#include "runtime/ppc_deal_path.h"
#include "runtime/ppc_fd_list.h"
#include "runtime/ppc_token_list.h"
#include "runtime/token_list.h"

int ppc_initialise() {
    if (init_ppc_fd_list() != 0) return -1;
    if (init_ppc_token_list() != 0) return -1;
    if (InitLinklist() != 0) {
        QV_LOG_ERROR("InitLinklist failed...");
        return -1;
    }
    return 0;
}

int ppc_uninitialise() {
    if (free_ppc_fd_list() != 0) return -1;
    if (free_ppc_token_list() != 0) return -1;
    DeinitLinklist();
    return 0;
}

int ppc_get_version(ppc_version_info *info) {
    if (info == nullptr) return -1;
    std::snprintf(info->name, sizeof info->name, "%s", "libppc");
    std::snprintf(info->version, sizeof info->version, "%s", "1.10.03");
    return 0;
}

int ppc_mkdir(path_info *path, uint16_t mode, int64_t token) {
    if (path == nullptr || path->path == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    path_info copy = *path;
    const int ret = handle_mkdir_task(&copy, mode, token);
    if (ret != 0) QV_LOG_DEBUG("handle_mkdir_task fail");
    return ret;
}

int ppc_rename(path_info *from, path_info *to, int64_t token) {
    if (from == nullptr || to == nullptr || from->path == nullptr || to->path == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    const int ret = handle_rename_task(from, to, token);
    if (ret != 0) QV_LOG_ERROR("handle_rename_task fail");
    return ret;
}

namespace {

// Removal by resolved path: rmdir and unlink differ only in their messages.
int remove_resolved(path_info *path, int64_t token, bool folder) {
    if (path == nullptr || path->path == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    char *full = nullptr;
    if (create_new_full_path(path->path, &full, token) != 0 || full == nullptr) {
        QV_LOG_DEBUG("create full path fail");
        return -1;
    }
    qv::c_text hold(full);
    path_info resolved{full, path->bucketId, path->thumbnailType};
    const int ret = folder ? handle_rmdir_task(&resolved, token) : handle_unlink_task(&resolved, token);
    if (ret != 0) {
        if (folder)
            QV_LOG_DEBUG("handle_rmdir_task fail");
        else
            QV_LOG_ERROR("handle_unlink_task fail");
    }
    return ret;
}

}  // namespace

int ppc_rmdir(path_info *path, int64_t token) {
    return remove_resolved(path, token, true);
}

int ppc_unlink(path_info *path, int64_t token) {
    QV_LOG_DEBUG("Enter %s()", __func__);
    return remove_resolved(path, token, false);
}

int ppc_chdir(path_info *path, int64_t token) {
    QV_LOG_DEBUG("Enter %s()", __func__);
    if (path == nullptr || path->path == nullptr) return -1;
    char *full = nullptr;
    if (create_new_full_path(path->path, &full, token) != 0) return -1;
    qv::c_text hold(full);
    QV_LOG_DEBUG("full_path: %s", full);
    path_info resolved{full, path->bucketId, path->thumbnailType};
    file_stat st{};
    const int ret = handle_stat_task(&resolved, &st, token);
    const uint16_t mode = st.st_mode;
    file_stat_release(&st);
    // The file-type bits decide: a directory's mode also carries its permission bits.
    if (ret != 0 || !S_ISDIR(mode)) {
        QV_LOG_ERROR("fial (ret %s, st.st_mode %d)", full, mode);
        return -1;
    }
    QV_LOG_DEBUG("check stat success");
    if (update_work_dir_for_ppc_token_list(full, token) != 0) {
        QV_LOG_ERROR("update work dir fail");
        return -1;
    }
    return 0;
}

char *ppc_getwd(char *buf, size_t size, int64_t token) {
    QV_LOG_DEBUG("Enter %s()", __func__);
    if (buf == nullptr) return nullptr;
    qv::c_text wd(get_work_dir_from_ppc_token_list(token));
    if (!wd) return nullptr;
    const size_t n = std::strlen(wd.get());
    if (n >= size) {
        QV_LOG_ERROR("work dir of %zu characters does not fit %zu bytes", n, size);
        return nullptr;
    }
    std::memcpy(buf, wd.get(), n + 1);
    return buf;
}
