#include "command/ppc_qv_client.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/frame_state.h"
#include "command/task_process.h"

// ---- call frame: the current-device address and the cached device version ----

namespace {

std::mutex g_frame_mu;
std::string g_current_addr;
// The version is cached per device: it belongs to the address it was read from.
std::string g_version_addr;
std::string g_version;
std::atomic<int32_t> g_port{QV_DEVICE_CMD_PORT};

}  // namespace

void qv_set_device_port(int32_t port) {
    g_port.store(port > 0 ? port : QV_DEVICE_CMD_PORT);
}

void qv_current_device(char out[QV_DEVICE_ADDR_MAX + 1]) {
    std::lock_guard lk(g_frame_mu);
    std::snprintf(out, QV_DEVICE_ADDR_MAX + 1, "%s", g_current_addr.c_str());
}

void qv_frame_reset() {
    std::lock_guard lk(g_frame_mu);
    g_current_addr.clear();
    g_version_addr.clear();
    g_version.clear();
}

void qv_frame_set_current_device(const char *addr) {
    std::lock_guard lk(g_frame_mu);
    g_current_addr = addr;
}

bool qv_frame_cached_version(const char *addr, char *out, size_t size) {
    std::lock_guard lk(g_frame_mu);
    if (g_version.empty() || g_version_addr != addr) return false;
    std::snprintf(out, size, "%s", g_version.c_str());
    return true;
}

void qv_frame_store_version(const char *addr, const char *ver) {
    std::lock_guard lk(g_frame_mu);
    g_version_addr = addr;
    g_version = ver;
}

void qv_frame_init(client_info *info, int32_t cmd, int64_t token, qv_addr_rule rule) {
    std::memset(info, 0, sizeof *info);
    info->cmd = cmd;
    info->port = g_port.load();
    info->token = token;
    qv_current_device(info->ip);
    if (info->ip[0] == '\0' && rule != QV_ADDR_CURRENT_ONLY) {
        if (rule == QV_ADDR_CURRENT) QV_LOG_DEBUG("USE LOCAL IP");
        std::snprintf(info->ip, sizeof info->ip, "%s", QV_LOCAL_ADDR);
    }
}

int qv_frame_init_addr(client_info *info, int32_t cmd, int64_t token, const char *addr) {
    if (addr == nullptr || std::strlen(addr) > QV_DEVICE_ADDR_MAX) {
        QV_LOG_ERROR("device address missing or longer than %zu characters", QV_DEVICE_ADDR_MAX);
        return QV_ERR_ARG;
    }
    std::memset(info, 0, sizeof *info);
    info->cmd = cmd;
    info->port = g_port.load();
    info->token = token;
    std::snprintf(info->ip, sizeof info->ip, "%s", addr);
    return 0;
}

// ---- file and listing calls ----

namespace {

int run(client_info &ci) {
    return _qv_net_prcs_task(&ci);
}

// Frees a listing holder that a failed call must not hand out.
void drop_holder(file_list_info *&holder) {
    if (holder == nullptr) return;
    ppc_destory_file_list(holder->list);
    uuid_list_free(holder->uuid_list);
    std::free(holder);
    holder = nullptr;
}

int hand_out_holder(client_info &ci, int ret, file_list_info **out) {
    if (ret == 0 && ci.file_list != nullptr) {
        *out = ci.file_list;
        return 0;
    }
    drop_holder(ci.file_list);
    return ret != 0 ? ret : QV_ERR_FAILED;
}

// A zeroed, empty holder; null (logged) without memory.
recent_list *new_recent_holder() {
    auto *h = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
    if (h == nullptr) {
        QV_LOG_ERROR("p_client_info.rList == NULL: out of memory");
        return nullptr;
    }
    recent_ring_init(h);
    return h;
}

int task_call(client_info &ci, int32_t cmd, client_file_task *task) {
    qv_frame_init(&ci, cmd, task->token, QV_ADDR_CURRENT);
    ci.seq = task->id.load();
    ci.rClientFileTask = task;
    return 0;
}

int copy_or_move(int32_t cmd, path_info *src, path_info *dst, client_file_task *task) {
    if (task == nullptr) return QV_ERR_ARG;
    client_info ci;
    task_call(ci, cmd, task);
    ci.srcPathInfo = src;
    ci.desPathInfo = dst;
    ci.status = -1;
    task->status.store(0);
    const int ret = run(ci);
    // A whole (unstreamed) reply carries the operation's status in the record: hand it to the task, where
    // the caller reads the status of streamed replies too.
    if (ret == 0 && ci.status != -1) task->status.store(ci.status);
    // Success is a reported end (status 2): a stream that stops short or ends on a failure status without
    // a header error has not been shown to succeed.
    if (ret == 0 && task->status.load() != 2) {
        QV_LOG_ERROR("command %d ended without completion, status=%d", cmd, task->status.load());
        return QV_ERR_BAD_DATA;
    }
    return ret;
}

}  // namespace

int QV_FileGetStorage(disk_dnode **out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 100, token, QV_ADDR_CURRENT);
    const int ret = run(ci);
    if (ret == 0) {
        *out = ci.diskList;
    } else {
        ppc_destory_disk_list(ci.diskList);
    }
    return ret;
}

static int recent_page(int32_t cmd, int32_t offset, int32_t length, int32_t extra, int64_t token,
                       recent_list **out) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, cmd, token, QV_ADDR_CURRENT);
    ci.offset = offset;
    ci.length = length;
    ci.count = extra;
    ci.rList = new_recent_holder();
    if (ci.rList == nullptr) return QV_ERR_SOCK_ALLOC;  // nothing sent
    const int ret = run(ci);
    if (ret == 0) {
        *out = ci.rList;
    } else {
        ppc_free_recent_list(ci.rList);
    }
    return ret;
}

int QV_FileGetRecordsList(int32_t offset, int32_t length, int32_t childCount, int64_t token,
                          recent_list **out) {
    return recent_page(151, offset, length, childCount, token, out);
}

int QV_FileGetAggregationList(int32_t offset, int32_t length, int32_t aggregationId, int64_t token,
                              recent_list **out) {
    return recent_page(161, offset, length, aggregationId, token, out);
}

int QV_FileSetRecordsHide(int32_t stampId, int32_t recordsCmd, int32_t isHide, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 152, token, QV_ADDR_CURRENT);
    ci.count = stampId;
    ci.recordsCmd = recordsCmd;
    ci.status = isHide;
    return run(ci);
}

user_list_item **QV_FileGetUserList(int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 150, token, QV_ADDR_CURRENT);
    if (run(ci) == 0) return ci.user_list;
    ppc_free_user_list(ci.user_list);
    return nullptr;
}

static int type_listing(int32_t cmd, client_info &ci, file_list_info **out) {
    if (out == nullptr) return QV_ERR_ARG;
    (void)cmd;
    const int ret = run(ci);
    return hand_out_holder(ci, ret, out);
}

int QV_FileGetTypeList(int32_t fileType, int32_t sortType, file_list_info **out, int32_t offset,
                       int32_t length, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 120, token, QV_ADDR_CURRENT);
    ci.fileType = fileType;
    ci.sortType = sortType;
    ci.offset = offset;
    ci.length = length;
    ci.count = 0;
    return type_listing(120, ci, out);
}

int QV_FileGetMutilTypeList(const int32_t *types, int32_t typeCount, int32_t sortType, file_list_info **out,
                            int32_t offset, int32_t length, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 158, token, QV_ADDR_CURRENT);
    ci.typeList = types;
    ci.count = typeCount;
    ci.sortType = sortType;
    ci.offset = offset;
    ci.length = length;
    ci.filterFlag = 1;
    return type_listing(158, ci, out);
}

int QV_FileGetMutilTypeListPro(const int32_t *types, int32_t typeCount, int32_t sortType,
                               file_list_info **out, int32_t offset, int32_t length, int32_t extra,
                               int64_t token) {
    (void)extra;  // carried by no request key
    return QV_FileGetMutilTypeList(types, typeCount, sortType, out, offset, length, token);
}

int QV_FileGetBackupList(file_list_info **out, int32_t offset, int32_t length, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 155, token, QV_ADDR_CURRENT);
    ci.offset = offset;
    ci.length = length;
    return type_listing(155, ci, out);
}

int QV_DirGetTypeList(int32_t fileType, int32_t sortType, int32_t childCount, int32_t offset, int32_t length,
                      file_list_info **out, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 123, token, QV_ADDR_CURRENT);
    ci.fileType = fileType;
    ci.sortType = sortType;
    ci.count = childCount;
    ci.offset = offset;
    ci.length = length;
    return type_listing(123, ci, out);
}

int QV_FileGetTypeListByPath(int32_t fileType, int32_t sortType, path_info *path, file_list_info **out,
                             int32_t offset, int32_t length, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 124, token, QV_ADDR_CURRENT);
    ci.fileType = fileType;
    ci.sortType = sortType;
    ci.srcPathInfo = path;
    ci.offset = offset;
    ci.length = length;
    return type_listing(124, ci, out);
}

int QV_FileDelTypeListByPath(int32_t fileType, path_info *path, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 125, token, QV_ADDR_CURRENT);
    ci.fileType = fileType;
    ci.srcPathInfo = path;
    return run(ci);
}

int QV_FileSetStore(path_info *path, int32_t isStore, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 153, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = path;
    ci.status = isStore;
    return run(ci);
}

int QV_FileSetTag(path_info *path, const char *const *tags, int32_t tagCount, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 154, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = path;
    ci.tagList = tags;
    ci.count = tagCount;
    return run(ci);
}

int QV_FileIsExist(path_info *path, int64_t token, int32_t *status) {
    client_info ci;
    qv_frame_init(&ci, 104, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = path;
    const int ret = run(ci);
    if (ret == 0 && status != nullptr) *status = ci.status;
    return ret;
}

int QV_p2p_get_client_info(p2p_client_info *out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 170, token, QV_ADDR_CURRENT);
    ci.p2pInfo = out;
    return run(ci);
}

int QV_FileListTag(path_info **paths, int32_t pathCount, const char *const *tags, int32_t tagCount,
                   int32_t tagType, int64_t token) {
    (void)pathCount;  // both lists end at their null entry
    (void)tagCount;
    client_info ci;
    qv_frame_init(&ci, 156, token, QV_ADDR_CURRENT);
    ci.pathList = paths;
    ci.tagList = tags;
    ci.tagType = tagType;
    return run(ci);
}

int QV_FileDeleteListCb(delete_list_req *req, client_file_task *task) {
    if (req == nullptr || task == nullptr) return QV_ERR_ARG;
    client_info ci;
    task_call(ci, 167, task);
    ci.timeout = 60000;
    ci.pathList = req->pathList;
    ci.req.deleteList = req;
    return run(ci);
}

int QV_FileCopyCb(int32_t taskId, path_info *src, path_info *dst, client_file_task *task) {
    (void)taskId;  // "seq" is the task's id
    return copy_or_move(159, src, dst, task);
}

int QV_FileMoveCb(int32_t taskId, path_info *src, path_info *dst, client_file_task *task) {
    (void)taskId;
    return copy_or_move(160, src, dst, task);
}

int QV_FileSearchMultiFunc(search_condition *condition, int32_t sortType, client_file_task *task) {
    if (task == nullptr) return QV_ERR_ARG;
    client_info ci;
    task_call(ci, 117, task);
    ci.searchCondition = condition != nullptr ? condition : &task->search;
    ci.sortType = sortType;
    ci.currentOnly = task->currentOnly;
    return run(ci);
}

int QV_FileGetUserSpace(user_space_dnode *out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 148, token, QV_ADDR_CURRENT);
    ci.p_user_space_info = out;
    return run(ci);
}

int QV_FileGPSList(gps_condition *condition, client_file_task *task) {
    if (task == nullptr) return QV_ERR_ARG;
    client_info ci;
    task_call(ci, 157, task);
    ci.gpsInfo = condition;
    return run(ci);
}
