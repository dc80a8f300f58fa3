// Hidden space (176-185), timers (327, 328, 336, 337) and the module-support list (186).
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/qv_strlcpy.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

constexpr size_t kPwdMin = 6;
constexpr size_t kPwdMax = 32;
constexpr size_t kVerifyCodeMax = 6;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;
template <typename T>
HeapPtr<T> zalloc_block() {
    return HeapPtr<T>(static_cast<T *>(std::calloc(1, sizeof(T))));
}

// Passwords are counted in bytes; the texts themselves never go to the log.
bool pwd_ok(const char *pwd) {
    if (pwd == nullptr) {
        QV_LOG_ERROR("para is error, pwd missing");
        return false;
    }
    const size_t len = std::strlen(pwd);
    if (len - kPwdMin > kPwdMax - kPwdMin) {
        QV_LOG_ERROR("para is error, then length of pwd is not match 6 to 32, length: %zu", len);
        return false;
    }
    return true;
}

int run_logged(client_info &ci, const char *what) {
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) QV_LOG_ERROR("%s failed, ret=%d", what, ret);
    return ret;
}

int plain(int32_t cmd, int64_t token, const char *what) {
    client_info ci;
    qv_frame_init(&ci, cmd, token, QV_ADDR_CURRENT);
    return run_logged(ci, what);
}

}  // namespace

int QV_HideSpaceIsEnable(uint32_t *flag, int64_t token) {
    if (flag == nullptr) return QV_ERR_ARG;
    auto block = zalloc_block<hide_space_en_flag_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 176, token, QV_ADDR_CURRENT);
    ci.req.hideSpaceEnFlag = block.get();
    const int ret = run_logged(ci, "hide space is enable");
    if (ret == QV_OK) *flag = static_cast<uint32_t>(block->flag);
    return ret;
}

int QV_HideSpaceEnable(int64_t token) {
    return plain(177, token, "hide space enable");
}

int QV_HideSpacePwdIsSet(uint32_t *flag, int64_t token) {
    if (flag == nullptr) return QV_ERR_ARG;
    auto block = zalloc_block<hide_space_pwd_set_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 178, token, QV_ADDR_CURRENT);
    ci.req.hideSpacePwdSet = block.get();
    const int ret = run_logged(ci, "hide space pwd is set");
    if (ret == QV_OK) *flag = static_cast<uint32_t>(block->flag);
    return ret;
}

int QV_HideSpacePwdSet(const char *pwd, int64_t token) {
    if (!pwd_ok(pwd)) return QV_ERR_ARG;
    auto block = zalloc_block<hide_space_pwd_set_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    qv_strlcpy(block->pwd, pwd);
    client_info ci;
    qv_frame_init(&ci, 179, token, QV_ADDR_CURRENT);
    ci.req.hideSpacePwdSet = block.get();
    const int ret = run_logged(ci, "hide space pwd set");
    std::memset(block->pwd, 0, sizeof block->pwd);
    return ret;
}

int QV_RouterSmsVerifyCode(int64_t token) {
    return plain(180, token, "sms verify code");
}

int QV_HideSpacePwdReset(const char *verify_code, const char *pwd, int64_t token) {
    if (verify_code == nullptr) {
        QV_LOG_ERROR("para is error, verify_code missing");
        return QV_ERR_ARG;
    }
    if (!pwd_ok(pwd)) return QV_ERR_ARG;
    auto block = zalloc_block<hide_space_pwd_reset_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    qv_strlcpy(block->pwd, pwd);
    qv_strlcpy(block->verify_code, verify_code, kVerifyCodeMax + 1);
    client_info ci;
    qv_frame_init(&ci, 181, token, QV_ADDR_CURRENT);
    ci.req.hideSpacePwdReset = block.get();
    const int ret = run_logged(ci, "hide space pwd reset");
    std::memset(block.get(), 0, sizeof *block);
    return ret;
}

int QV_HideSpaceLogin(const char *pwd, int64_t token) {
    if (!pwd_ok(pwd)) return QV_ERR_ARG;
    auto block = zalloc_block<hide_space_login_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    qv_strlcpy(block->pwd, pwd);
    client_info ci;
    qv_frame_init(&ci, 182, token, QV_ADDR_CURRENT);
    ci.req.hideSpaceLogin = block.get();
    const int ret = run_logged(ci, "hide space login");
    std::memset(block->pwd, 0, sizeof block->pwd);
    return ret;
}

int QV_HideSpaceLogout(int64_t token) {
    return plain(183, token, "hide space logout");
}

int QV_GetHideSpaceInfo(int64_t token, hide_space_info **info) {
    if (info == nullptr) return QV_ERR_ARG;
    auto block = zalloc_block<hide_space_info_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 184, token, QV_ADDR_CURRENT);
    ci.req.hideSpaceInfo = block.get();
    const int ret = run_logged(ci, "hide space info");
    if (ret != QV_OK || block->Info == nullptr) {
        std::free(block->Info);
        return ret != QV_OK ? ret : QV_ERR_ARG;
    }
    *info = block->Info;
    return ret;
}

int QV_hideSpaceFileGetList(path_info *folder, int32_t offset, int32_t length, int32_t sortType,
                            file_list_info **out, int64_t token) {
    if (folder == nullptr || out == nullptr) return QV_ERR_ARG;
    auto *holder = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    if (holder == nullptr) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 185, token, QV_ADDR_CURRENT);
    ci.srcPathInfo = folder;
    ci.offset = offset;
    ci.length = length;
    ci.sortType = sortType;
    ci.fileType = 0;
    ci.file_list = holder;
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("net_file_list_prcs_task failed, ret=%d", ret);
        ppc_destory_file_list(ci.file_list->list);
        uuid_list_free(ci.file_list->uuid_list);
        std::free(ci.file_list);
        return ret;
    }
    *out = ci.file_list;
    return ret;
}

int QV_getDeviceTimerSwitchFlag(uint8_t *flag, int64_t token) {
    if (flag == nullptr) {
        QV_LOG_ERROR("para is null, flag: %p", static_cast<void *>(flag));
        return QV_ERR_ARG;
    }
    client_info ci;
    qv_frame_init(&ci, 336, token, QV_ADDR_CURRENT);
    const int ret = run_logged(ci, "timer switch flag");
    if (ret == QV_OK) *flag = ci.cmd_param != 0 ? 1 : 0;
    return ret;
}

int QV_setDeviceTimerSwitchFlag(int32_t flag, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 337, token, QV_ADDR_CURRENT);
    ci.cmd_param = flag;
    return run_logged(ci, "set timer switch flag");
}

int QV_getDeviceTimerSwitchValues(int32_t switch_type, int32_t *time_seconds, int32_t *once, int64_t token) {
    if (time_seconds == nullptr || once == nullptr) {
        QV_LOG_ERROR("para is null, shutDownTime: %p, once: %p", static_cast<void *>(time_seconds),
                     static_cast<void *>(once));
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<timer_switch_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    client_info ci;
    qv_frame_init(&ci, 327, token, QV_ADDR_CURRENT);
    ci.cmd_param = switch_type;
    ci.req.timerSwitch = block.get();
    const int ret = run_logged(ci, "timer switch values");
    if (ret == QV_OK) {
        *time_seconds = block->time_seconds;
        *once = block->once;
    }
    return ret;
}

int QV_setDeviceTimerSwitchValues(int32_t switch_type, int32_t time_seconds, int32_t once, int64_t token) {
    auto block = zalloc_block<timer_switch_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->switch_type = switch_type;
    block->time_seconds = time_seconds;
    block->once = once;
    client_info ci;
    qv_frame_init(&ci, 328, token, QV_ADDR_CURRENT);
    ci.req.timerSwitch = block.get();
    return run_logged(ci, "set timer switch values");
}

int QV_getModuleSupportList(module_support_dnode **list, int64_t token) {
    if (list == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 186, token, QV_ADDR_CURRENT);
    const int ret = run_logged(ci, "module support list");
    if (ret != QV_OK) {
        if (ci.mList != nullptr) ppc_destory_module_support_list(&ci.mList);
        return ret;
    }
    // A list fetched before is replaced, not leaked.
    if (*list != nullptr) ppc_destory_module_support_list(list);
    *list = ci.mList;
    QV_LOG_MSG("mList: %p", static_cast<void *>(*list));
    return ret;
}
