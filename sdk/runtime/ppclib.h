// The SDK runtime's service context and the few runtime operations the codec and the command layer call:
// the module-support query and the cancel of tracked tasks.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "base/client_file_task.h"
#include "base/dev_detail.h"
#include "base/file_types.h"

struct module_support_dnode;
struct qvmsgs_context;

// One USB device's backup status as the device pushes it (a zeroed record; fields not pushed read 0).
struct qv_usb_status {
    int32_t status;  // not 0: the entry ends after its next report
    char device_name[64];
    char device_uuid[64];
    int32_t count_all;
    int32_t count_already;
    int32_t count_seek;
    int32_t scan_cnt_dev;  // count_all + count_seek
    int64_t bytes_all;
    int64_t bytes_already;
    int64_t bytes_seek;
    int64_t scan_bytes_dev;  // bytes_all + bytes_seek
    int8_t is_scan_over;
    int64_t tm_now;
    int64_t tm_start;
    int64_t remain_time;   // once the scan is over: (bytes_all - bytes_already) / speed
    int64_t speed;         // once the scan is over: at least 1
    int32_t version;       // 1 for the extended form
    int32_t backup_state;  // 2 ends the entry after its next report
};
static_assert(sizeof(qv_usb_status) == 232, "qv_usb_status keeps its pushed-record size");

using ppc_dev_cb = void (*)(const qv_dev_detail *dev);
using ppc_usb_status_cb = void (*)(const qv_usb_status *list, int count);

// Head of the circular doubly linked list of tracked tasks; empty when both links point at the head.
struct ppc_task_head {
    client_file_task *next;
    client_file_task *prev;
};

// Task types of the tracked calls.
enum ppc_task_type : int32_t {
    PPC_TASK_ALL = 0,  // in a cancel: every task
    PPC_TASK_UPLOAD = 1,
    PPC_TASK_DOWNLOAD = 2,
    PPC_TASK_BACKUP = 3,
    PPC_TASK_COPY = 4,
    PPC_TASK_MOVE = 5,
    PPC_TASK_SEARCH = 6,
    PPC_TASK_DELETE_LIST = 7,
    PPC_TASK_GPS_LIST = 8,
    PPC_TASK_LOG_DOWNLOAD = 9,
    PPC_TASK_FW_UPDATE = 10,
    PPC_TASK_DEVICE_EXEC = 11,
    PPC_TASK_RELAX_AUTH = 12,
    PPC_TASK_RECYCLE = 13,  // recycle-bin restore, delete for good, empty
};

// The service context: one per running service. `mutex` guards `task_list` and `task_count` only; the
// other fields are written by start, discovery, gateway change and login/logout and read without it.
struct ppc_router_task {
    pthread_mutex_t mutex;
    pthread_t heartbeat_thread;
    pthread_t listen_thread;
    ppc_task_head task_list;
    int32_t task_count;
    int32_t dis_stop;
    int32_t dis_port;
    char gateway[32];
    ppc_dev_cb dev_add_cb;
    ppc_dev_cb dev_del_cb;
    int32_t client_bro_fd;
    int32_t listen_fd;
    ppc_usb_status_cb usb_status_cb;
    char cache_dir[1024];
    module_support_dnode *module_support_list;
    qvmsgs_context *msgs_context;
};

// The walk end of the task list: the head's address, never dereferenced as a task.
inline client_file_task *ppc_task_end(ppc_task_head *head) {
    return reinterpret_cast<client_file_task *>(head);
}

// A zeroed context with its mutex ready and an empty task list (sockets -1); null without memory.
ppc_router_task *ppc_router_task_new();
// Frees the module-support list, destroys the mutex and frees the context. Tasks still listed are the
// tracked calls' own and are not freed. A null context is ignored.
void ppc_router_task_free(ppc_router_task *ctx);

// The process-wide current context (set by the service start, cleared by the stop; tests set it).
ppc_router_task *ppc_current_context();
void ppc_set_current_context(ppc_router_task *ctx);

// Enters a tracked task at the end of the list / takes it out again (links cleared), under the mutex.
// 0, or QV_ERR_ARG without a context or task (for the removal, QV_ERR_NOT_IN_LIST when the task is not
// listed).
int ppc_task_list_add(ppc_router_task *ctx, client_file_task *task);
int ppc_task_list_remove(ppc_router_task *ctx, client_file_task *task);

// 0 when the module-support list of the context has the module type with status 1, else QV_ERR_NOT_IN_LIST;
// a null context logs "context is null." and gives QV_ERR_ARG. The one-argument form asks the current
// context.
int ppc_isModuleSupport(ppc_router_task *ctx, int32_t type);
int ppc_isModuleSupport(int32_t type);

// The context's module-support list under its lock. Replace installs `list` (owned from then on) and frees
// the one it held; clear frees it (logout); fetch asks the device (186) and replaces the list on success
// only (login), giving the call's result.
void ppc_module_list_replace(ppc_router_task *ctx, module_support_dnode *list);
void ppc_module_list_clear(ppc_router_task *ctx);
int ppc_module_list_fetch(ppc_router_task *ctx, int64_t token);

// Marks tasks cancelled (cancel flag -1), under the mutex; never unlinks or waits. Type 0: every task;
// otherwise with `by_type` set every task of that type whose id is `seq` (every one of the type for seq 0);
// otherwise the first task of that type whose id equals `seq`.
// 0 (also when nothing matched); QV_ERR_ARG with "context is NULL" without a context.
int ppc_cancel_task(ppc_router_task *ctx, uint8_t by_type, int32_t task_type, int64_t seq);
