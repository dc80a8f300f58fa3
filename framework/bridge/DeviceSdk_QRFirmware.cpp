// The real port's QR-code login and firmware calls: forwarded to the runtime unchanged.
#include "bridge/DeviceSdk.h"
#include "runtime/ppc_fd_list.h"

int DeviceSdk::ppc_qvsl_init(const char *appId, const char *appKey, int deviceType) {
    return ::ppc_qvsl_init(appId, appKey, deviceType);
}

int DeviceSdk::ppc_qvsl_QVSLRA_create(QVSLRA **context, int platformType, int os, const char *certDir) {
    return ::ppc_qvsl_QVSLRA_create(context, platformType, os, certDir);
}

int DeviceSdk::ppc_qvsl_request_auth_start(QVSLRA *context, char *authUrl, char *authId, uint32_t *expiry) {
    return ::ppc_qvsl_request_auth_start(context, authUrl, authId, expiry);
}

void DeviceSdk::ppc_qvsl_request_auth_stop(QVSLRA *context) {
    ::ppc_qvsl_request_auth_stop(context);
}

void DeviceSdk::ppc_qvsl_QVSLRA_release(QVSLRA *context) {
    ::ppc_qvsl_QVSLRA_release(context);
}

int DeviceSdk::ppc_qvsl_set_auth_listener(const char *authId, qvsl_auth_listener listener) {
    return ::ppc_qvsl_set_auth_listener(authId, listener);
}

int DeviceSdk::ppc_qvsl_set_user_info_listener(const char *authId, qvsl_user_info_listener listener) {
    return ::ppc_qvsl_set_user_info_listener(authId, listener);
}

int DeviceSdk::ppc_qvsl_get_request_info(const char *authUrl, int32_t out[2]) {
    return ::ppc_qvsl_get_request_info(authUrl, out);
}

int DeviceSdk::ppc_qvsl_send_user_info(const char *authUrl, const qvsl_user_info *userInfo) {
    return ::ppc_qvsl_send_user_info(authUrl, userInfo);
}

int DeviceSdk::ppc_qvsl_send_auth_code(const char *authUrl, const char *authCode) {
    return ::ppc_qvsl_send_auth_code(authUrl, authCode);
}

int DeviceSdk::ppc_OTA2HasLatestVersion(const char *language, const char *ip, soft_version_info *info,
                                        int *force, int *status, int64_t token) {
    return ::ppc_OTA2HasLatestVersion(language, ip, info, force, status, token);
}

int DeviceSdk::qvota_update(int32_t seq, file_task_cb progress, const char *ip, int32_t *status,
                            ppc_router_task *context, int64_t token) {
    // The framework's sequence numbers are positive int32, carried as the runtime's unsigned task number.
    return ::qvota_update(static_cast<uint32_t>(seq), progress, ip, status, context, token);
}

int DeviceSdk::ota_listen(ppc_ota_listen_cb progress, const char *ip, ppc_router_task *context) {
    return ::ota_listen(progress, ip, context);
}

unsigned char *DeviceSdk::base64_decode(size_t *outLen, size_t maxLen, const char *text) {
    return ::ppc_base64_decode(outLen, maxLen, text);
}
