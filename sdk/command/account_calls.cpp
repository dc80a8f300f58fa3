// Account calls (200-203): bind code check, user information, authorisation code, peer-to-peer uuid. Their
// requests carry no token.
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/qv_strlcpy.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

// Copies `src` into the record's field; false (logged by name only) when it does not fit.
template <size_t N>
bool copy_bounded(char (&dst)[N], const char *src, const char *name) {
    if (std::strlen(src) >= N) {
        QV_LOG_ERROR("%s longer than %zu characters", name, N - 1);
        return false;
    }
    qv_strlcpy(dst, src);
    return true;
}

}  // namespace

int QV_AccountCheckBindCode(const char *bindCode, const char *userId) {
    if (bindCode == nullptr || userId == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 200, 0, QV_ADDR_CURRENT);
    if (!copy_bounded(ci.bindCode, bindCode, "bind code") || !copy_bounded(ci.userId, userId, "user id"))
        return QV_ERR_ARG;
    const int ret = _qv_net_prcs_task(&ci);
    std::memset(ci.bindCode, 0, sizeof ci.bindCode);
    return ret;
}

int QV_AccountSetUserInfo(const char *userId, const char *nickName, const char *userImageUrl) {
    if (userId == nullptr || nickName == nullptr || userImageUrl == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 201, 0, QV_ADDR_CURRENT);
    if (!copy_bounded(ci.userId, userId, "user id") || !copy_bounded(ci.nickName, nickName, "nick name"))
        return QV_ERR_ARG;
    ci.userImageUrl = userImageUrl;
    return _qv_net_prcs_task(&ci);
}

int QV_AccountGetAuthCode(const char *userId, char *out) {
    if (userId == nullptr || out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 202, 0, QV_ADDR_CURRENT);
    if (!copy_bounded(ci.userId, userId, "user id")) return QV_ERR_ARG;
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == QV_OK) qv_strlcpy(out, ci.userAuthCode, sizeof ci.userAuthCode);
    std::memset(ci.userAuthCode, 0, sizeof ci.userAuthCode);
    return ret;
}

int QV_AccountGetP2pInfo(char *out) {
    if (out == nullptr) return QV_ERR_ARG;
    client_info ci;
    qv_frame_init(&ci, 203, 0, QV_ADDR_CURRENT);
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == QV_OK) qv_strlcpy(out, ci.p2pUid, sizeof ci.p2pUid);
    return ret;
}
