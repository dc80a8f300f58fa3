#include "runtime/ppc_forward.h"

#include <type_traits>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/file_uri.h"

#define PPC_DEFINE_FORWARDER(result, name, call, params, args)    \
    result name params {                                          \
        return call args;                                         \
    }                                                             \
    static_assert(std::is_same_v<decltype(name), decltype(call)>, \
                  #name " must take and give what " #call " does");
PPC_FORWARDERS(PPC_DEFINE_FORWARDER)
#undef PPC_DEFINE_FORWARDER

int ppc_FileMkdirBackup(path_info *dir, const exdev_dnode *dev, int64_t token) {
    if (dev == nullptr) {
        QV_LOG_ERROR("no external device entry");
        return QV_ERR_ARG;
    }
    return QV_FileMkdirBackup(dir, dev->dev_uuid, token);
}

int ppc_cancelShare(int32_t shareId, const char *url, int64_t token) {
    return QV_cancelShare(static_cast<int64_t>(shareId), url, token);
}

int ppc_RecycleGetList(int32_t offset, int32_t length, resyscle_list_info **out, int64_t token) {
    return QV_ResyscleGetList(out, offset, length, token);
}

int ppc_NotifyServerDataSync() {
    return QV_NotifyServerDataSync();
}

int ppc_init_backup_uuid_list(backup_uuid_head *head) {
    if (head != nullptr) backup_uuid_init(head);
    return 0;
}
