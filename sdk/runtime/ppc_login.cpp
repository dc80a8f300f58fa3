#include "runtime/ppc_login.h"

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "link/connect_pool.h"
#include "runtime/ppc_push.h"
#include "runtime/ppc_service.h"

int ppc_login_by_authcode(const char *authCode, const char *addr, int64_t *token, ppc_router_task *ctx) {
    if (authCode == nullptr || addr == nullptr || token == nullptr) {
        QV_LOG_ERROR("para is NULL");
        return -1;
    }
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return -1;
    }
    ppc_call_gate gate(ctx);
    if (!gate.ok()) {
        QV_LOG_ERROR("service not running");
        return -1;
    }
    int64_t t = 0;
    const int ret = QV_LoginVantor(addr, authCode, &t);
    if (ret != 0) {
        QV_LOG_ERROR("QV_LoginVantor error, res=%d", ret);
        return ret == QV_ERR_NET ? QV_ERR_LOGIN_UNREACHABLE : ret;
    }
    *token = t;
    const int modules = ppc_module_list_fetch(ctx, t);
    if (modules != 0) QV_LOG_ERROR("QV_getModuleSupportList error, res=%d", modules);
    if (reverse_task_add(t, addr, ctx->usb_status_cb) != 0) {
        QV_LOG_ERROR("reverse task add failed.");
        return -1;
    }
    return 0;
}

int ppc_logout(int64_t token, ppc_router_task *ctx) {
    if (ctx == nullptr) {
        QV_LOG_ERROR("context is NULL");
        return -1;
    }
    ppc_call_gate gate(ctx);
    if (!gate.ok()) {
        QV_LOG_ERROR("service not running");
        return -1;
    }
    ppc_cancel_task(ctx, 1, PPC_TASK_ALL, 0);
    ppc_module_list_clear(ctx);
    if (reverse_task_del(token) != 0) QV_LOG_ERROR("reverse task del failed.");
    qv_close_all_connection();
    return 0;
}
