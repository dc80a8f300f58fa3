#include "command/ppc_sys_file_client.h"

#include <cstdlib>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

bool has_path(const path_info *p) {
    return p != nullptr && p->path != nullptr;
}

int plain(int32_t cmd, path_info *src, path_info *dst, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, cmd, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = src;
    ci.desPathInfo = dst;
    return _qv_net_prcs_task(&ci);
}

}  // namespace

int QV_FileGetList(path_info *path, int32_t offset, int32_t length, int32_t sortType, file_list_page **out,
                   int64_t token) {
    if (!has_path(path) || out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 101, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = path;
    ci.offset = offset;
    ci.length = length;
    ci.sortType = sortType;
    ci.file_list = static_cast<file_list_page *>(std::calloc(1, sizeof(file_list_page)));
    if (ci.file_list == nullptr) {
        // Out of memory: a failure in every build type, nothing sent.
        QV_LOG_ERROR("p_client_info.file_list == NULL: out of memory");
        return QV_ERR_SOCK_ALLOC;
    }
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != 0) {
        ppc_destory_file_list(ci.file_list->list);
        std::free(ci.file_list);
        QV_LOG_ERROR("net_file_list_prcs_task failed, ret=%d", ret);
        return ret;
    }
    *out = ci.file_list;
    return 0;
}

int handle_mkdir_task(path_info *path, int32_t mode, int64_t token) {
    (void)mode;
    return plain(102, path, nullptr, token);
}

int handle_rmdir_task(path_info *path, int64_t token) {
    if (!has_path(path)) return QV_ERR_ARG;
    return plain(109, path, nullptr, token);
}

int handle_unlink_task(path_info *path, int64_t token) {
    if (!has_path(path)) return QV_ERR_ARG;
    return plain(109, path, nullptr, token);
}

int handle_rename_task(path_info *from, path_info *to, int64_t token) {
    if (!has_path(from) || !has_path(to)) return QV_ERR_ARG;
    return plain(103, from, to, token);
}

int handle_stat_task(path_info *path, file_stat *st, int64_t token) {
    if (!has_path(path) || st == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 105, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = path;
    ci.st = st;
    ci.attrFlag = 1;
    return _qv_net_prcs_task(&ci);
}
