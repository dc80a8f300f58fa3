// The scripted SDK's QR-code login and firmware calls. The login context is allocated and freed as the SDK
// does, so that a call on a released context shows (as a stale use, and to the sanitizers).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "bridge/FakeDeviceSdk.h"

namespace {

std::string num(int64_t v) {
    return std::to_string(v);
}

std::string text(const char *t) {
    return t != nullptr ? std::string(t) : std::string("<null>");
}

void copyOut(char *field, size_t width, const std::string &bytes) {
    std::memset(field, 0, width);
    std::memcpy(field, bytes.data(), std::min(width - 1, bytes.size()));
}

// The SDK's device-type rule for a scanned URL: from "deviceType=" on, exactly the type's digits.
bool urlMatches(const char *url, int deviceType) {
    const std::string u = url;
    const size_t p = u.find("deviceType=");
    if (p == std::string::npos) return true;
    size_t e = p + 11;
    while (e < u.size() && u[e] >= '0' && u[e] <= '9') ++e;
    return e > p + 11 && u.substr(p + 11, e - p - 11) == std::to_string(deviceType);
}

}  // namespace

void FakeDeviceSdk::editQr(const std::function<void(QrScript &)> &edit) {
    std::lock_guard<std::mutex> l(m_mu);
    edit(m_qr);
    m_cv.notify_all();
}

void FakeDeviceSdk::editFirmware(const std::function<void(FirmwareScript &)> &edit) {
    std::lock_guard<std::mutex> l(m_mu);
    edit(m_fw);
    m_cv.notify_all();
}

bool FakeDeviceSdk::waitQrStartsHeld(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_qrStartsHeld >= n; });
}

bool FakeDeviceSdk::waitListensHeld(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_listensHeld >= n; });
}

QVSLRA *FakeDeviceSdk::qrContext() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_qrContext;
}

int FakeDeviceSdk::qrStaleUses() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_qrStaleUses;
}

std::thread::id FakeDeviceSdk::fireQrAuth(const char *authCode) {
    qvsl_auth_listener cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        cb = m_qrAuthCb;
    }
    const std::string code = text(authCode);
    return runOnOwnThread([cb, code, null = authCode == nullptr] {
        if (cb) cb(null ? nullptr : code.c_str());
    });
}

std::thread::id FakeDeviceSdk::fireQrUser(const char *nickName, const char *imageUrl) {
    qvsl_user_info_listener cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        cb = m_qrUserCb;
    }
    const std::string nick = text(nickName), image = text(imageUrl);
    return runOnOwnThread([=] {
        if (cb) cb(nickName ? nick.c_str() : nullptr, imageUrl ? image.c_str() : nullptr);
    });
}

int FakeDeviceSdk::ppc_qvsl_init(const char *appId, const char *appKey, int deviceType) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_init", {text(appId), text(appKey), num(deviceType)});
    if (appId == nullptr || appKey == nullptr) return -1;
    if (r == 0) m_qr.deviceType = deviceType;
    return r;
}

int FakeDeviceSdk::ppc_qvsl_QVSLRA_create(QVSLRA **context, int platformType, int os, const char *certDir) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_QVSLRA_create", {num(platformType), num(os), text(certDir)});
    if (context == nullptr || certDir == nullptr || r != 0) return r != 0 ? r : -1;
    if (m_qrContext != nullptr) return -1;  // one context at a time
    auto *ra = static_cast<QVSLRA *>(std::calloc(1, sizeof(QVSLRA)));
    ra->platform_type = platformType;
    ra->os = os;
    m_qrContext = ra;
    *context = ra;
    return 0;
}

int FakeDeviceSdk::ppc_qvsl_request_auth_start(QVSLRA *context, char *authUrl, char *authId,
                                               uint32_t *expiry) {
    std::unique_lock<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_request_auth_start", {});
    if (context == nullptr || authUrl == nullptr) return -1;
    if (context != m_qrContext) {
        ++m_qrStaleUses;
        return -1;
    }
    __atomic_store_n(&context->request.stop, 0, __ATOMIC_SEQ_CST);  // each start clears the flag
    if (m_qr.holdQrStart) {
        ++m_qrStartsHeld;
        m_cv.notify_all();
        // The SDK's wait: the flag checked every millisecond, the context read as it runs.
        while (__atomic_load_n(&context->request.stop, __ATOMIC_SEQ_CST) == 0 && m_qr.holdQrStart) {
            l.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            l.lock();
        }
        --m_qrStartsHeld;
        if (__atomic_load_n(&context->request.stop, __ATOMIC_SEQ_CST) != 0) return 20000;
    }
    if (r != 0) return r;
    copyOut(authUrl, 1025, m_qr.authUrl);
    if (authId != nullptr) copyOut(authId, 65, m_qr.authId);
    if (expiry != nullptr) *expiry = m_qr.expiry;
    return 0;
}

void FakeDeviceSdk::ppc_qvsl_request_auth_stop(QVSLRA *context) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_qvsl_request_auth_stop", {});
    if (context == nullptr) return;
    if (context != m_qrContext) {
        ++m_qrStaleUses;
        return;
    }
    __atomic_store_n(&context->request.stop, 1, __ATOMIC_SEQ_CST);
}

void FakeDeviceSdk::ppc_qvsl_QVSLRA_release(QVSLRA *context) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_qvsl_QVSLRA_release", {});
    m_qrAuthCb = nullptr;
    m_qrUserCb = nullptr;
    if (context == nullptr) return;
    if (context != m_qrContext) {
        ++m_qrStaleUses;
        return;
    }
    std::free(m_qrContext);
    m_qrContext = nullptr;
}

int FakeDeviceSdk::ppc_qvsl_set_auth_listener(const char *authId, qvsl_auth_listener listener) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_set_auth_listener", {text(authId)});
    if (authId == nullptr || listener == nullptr || m_qrContext == nullptr) return -1;  // no messaging yet
    if (r == 0) m_qrAuthCb = listener;
    return r;
}

int FakeDeviceSdk::ppc_qvsl_set_user_info_listener(const char *authId, qvsl_user_info_listener listener) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_set_user_info_listener", {text(authId)});
    if (authId == nullptr || listener == nullptr || m_qrContext == nullptr) return -1;
    if (r == 0) m_qrUserCb = listener;
    return r;
}

int FakeDeviceSdk::ppc_qvsl_get_request_info(const char *authUrl, int32_t out[2]) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_get_request_info", {text(authUrl)});
    if (authUrl == nullptr || out == nullptr || !urlMatches(authUrl, m_qr.deviceType)) return -1;
    if (r == 0) {
        out[0] = m_qr.platform;
        out[1] = m_qr.os;
    }
    return r;
}

int FakeDeviceSdk::ppc_qvsl_send_user_info(const char *authUrl, const qvsl_user_info *userInfo) {
    std::lock_guard<std::mutex> l(m_mu);
    // The two fields as they were handed over, read within their widths.
    const std::string nick =
        userInfo ? std::string(userInfo->nick_name, strnlen(userInfo->nick_name, 65)) : "";
    const std::string image =
        userInfo ? std::string(userInfo->user_image, strnlen(userInfo->user_image, 1025)) : "";
    const int r = record("ppc_qvsl_send_user_info", {text(authUrl), nick, image});
    if (authUrl == nullptr || userInfo == nullptr || !urlMatches(authUrl, m_qr.deviceType)) return -1;
    return r;
}

int FakeDeviceSdk::ppc_qvsl_send_auth_code(const char *authUrl, const char *authCode) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_qvsl_send_auth_code", {text(authUrl), text(authCode)});
    if (authUrl == nullptr || authCode == nullptr || !urlMatches(authUrl, m_qr.deviceType)) return -1;
    return r;
}

// ---- firmware ----

int FakeDeviceSdk::ppc_OTA2HasLatestVersion(const char *language, const char *ip, soft_version_info *info,
                                            int *force, int *status, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_OTA2HasLatestVersion", {text(language), text(ip), num(token)});
    if (r != 0 && r != 10284) return r;  // neither out value written
    if (m_fw.status == 1) {              // the version information comes only with a newer version
        copyOut(info->product, sizeof info->product, m_fw.product);
        copyOut(info->version, sizeof info->version, m_fw.version);
        copyOut(info->description, sizeof info->description, m_fw.description);
        info->size = m_fw.size;
    }
    *force = m_fw.force;
    *status = m_fw.status;
    return r;
}

int FakeDeviceSdk::qvota_update(int32_t seq, file_task_cb progress, const char *ip, int32_t *status,
                                ppc_router_task *context, int64_t token) {
    std::vector<int64_t> reports;
    int r = 0;
    int32_t deviceStatus = 0;
    {
        std::lock_guard<std::mutex> l(m_mu);
        r = record("qvota_update", {num(seq), text(ip), num(token)});
        if (!isLive(context)) return -1;
        reports = m_fw.updateReports;
        deviceStatus = m_fw.updateStatus;
    }
    auto *task = static_cast<client_file_task *>(std::calloc(1, sizeof(client_file_task)));
    task->id = static_cast<uint32_t>(seq);
    task->status = 1;
    task->total_progress = 100;
    for (int64_t percent : reports) {
        task->cur_progress = percent;
        if (progress != nullptr) progress(task);
    }
    if (r == 0 && deviceStatus != 0) {
        task->status = 2;
        task->cur_progress = 100;
        if (progress != nullptr) progress(task);
    }
    std::free(task);
    if (r == 0 && status != nullptr) *status = deviceStatus;
    return r;
}

int FakeDeviceSdk::ota_listen(ppc_ota_listen_cb progress, const char *ip, ppc_router_task *context) {
    std::vector<std::pair<int, int>> reports;
    int r = 0;
    {
        std::unique_lock<std::mutex> l(m_mu);
        r = record("ota_listen", {text(ip)});
        if (!isLive(context)) return -1;
        if (r != 0 || !m_fw.listenRunning) return r;  // nothing running: at once
        ++m_listensHeld;
        m_cv.notify_all();
        m_cv.wait(l, [&] { return !m_fw.holdListen; });
        --m_listensHeld;
        reports = m_fw.listenReports;
    }
    for (const auto &[percent, total] : reports)
        if (progress != nullptr) progress(percent, total, 0);
    if (progress != nullptr) progress(100, 100, 0);  // a success reports 100 once more
    return 0;
}
