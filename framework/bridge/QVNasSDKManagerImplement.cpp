#include "bridge/QVNasSDKManagerImplement.h"

#include <limits>

#include "model/QVClientSDKTools.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasUSBInfo.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"

namespace {

std::mutex g_delegateMu;
std::shared_ptr<QVNasClientLibDelegate> g_delegate;  // set by the start, read by answers and callbacks

QString cText(const char *text, size_t width) {
    return QVClientSDKTools::qvFormatCharOrEmpty(text, width);
}

QString heapText(const char *text) {
    return QVClientSDKTools::qvFormatChar(text).value_or(QString());
}

}  // namespace

QVNasSDKManager &QVNasSDKLibrary::shareSdkManager() {
    return QVNasSDKManagerImplement::shareManagerImplement();
}

QVNasSDKManagerImplement &QVNasSDKManagerImplement::shareManagerImplement() {
    static auto *const s = new QVNasSDKManagerImplement;  // never destroyed
    return *s;
}

void QVNasSDKManagerImplement::setDeviceSdk(DeviceSdkPtr sdk) {
    std::lock_guard<std::mutex> lock(m_sdkMu);
    m_sdk = std::move(sdk);
}

DeviceSdkPtr QVNasSDKManagerImplement::deviceSdk() const {
    std::lock_guard<std::mutex> lock(m_sdkMu);
    return m_sdk ? m_sdk : DeviceSdk::real();
}

std::shared_ptr<QVNasClientLibDelegate> QVNasSDKManagerImplement::delegate() {
    std::lock_guard<std::mutex> lock(g_delegateMu);
    return g_delegate;
}

// ---- answers ----

QVNasResponseInfoPtr QVNasSDKManagerImplement::qvGetResponseInfoByDict(const QVariantMap &dict) {
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = static_cast<int32_t>(dict.value(QStringLiteral("DiskClientCommand")).toLongLong());
    const int64_t code = dict.value(QStringLiteral("responseCode")).toLongLong();
    r->responseCode = code > 0 ? code + 100000 : code;
    r->responseMessage = QStringLiteral("");
    const auto data = dict.constFind(QStringLiteral("data"));
    if (data != dict.constEnd()) r->responseData = *data;
    return r;
}

void QVNasSDKManagerImplement::qvCommandResponseWithDict(const QVNasTaskInfoPtr &task) {
    const auto d = delegate();
    if (d) d->qvDiskClientResponse(task);
}

void QVNasSDKManagerImplement::answer(const QVNasTaskInfoPtr &task, int result, int32_t command,
                                      const std::optional<QVariant> &data, Hop hop) {
    QVariantMap dict;
    dict.insert(QStringLiteral("responseCode"), result);
    dict.insert(QStringLiteral("DiskClientCommand"), command);
    if (data) dict.insert(QStringLiteral("data"), *data);
    task->responseInfo = qvGetResponseInfoByDict(dict);
    if (hop == Hop::ThisThread) {
        qvCommandResponseWithDict(task);
        return;
    }
    // On the main thread this runs at once; elsewhere it waits until the broker's completion has run.
    if (!plat::MainQueue::postAndWait([this, &task] { qvCommandResponseWithDict(task); }))
        QVB_LOG_ERROR(QStringLiteral("answer of command %1 seq %2 dropped: main queue closed")
                          .arg(command)
                          .arg(task->commandSeq));
}

// ---- converters ----

std::optional<path_info> QVNasSDKManagerImplement::qvGetUserObj(const QVNasPathInfoPtr &pathInfo,
                                                                QByteArray &path) {
    path_info target{};
    if (!pathInfo) return std::nullopt;
    if (pathInfo->operateBucketId < std::numeric_limits<int32_t>::min() ||
        pathInfo->operateBucketId > std::numeric_limits<int32_t>::max()) {
        QVB_LOG_ERROR(
            QStringLiteral("bucket id %1 does not fit the path record").arg(pathInfo->operateBucketId));
        return std::nullopt;
    }
    path = pathInfo->operatePath.toUtf8();
    target.path = path.constData();
    target.bucketId = static_cast<int32_t>(pathInfo->operateBucketId);
    return target;
}

QVNasFileInfoPtr QVNasSDKManagerImplement::qvGetNasFileInfoByDn(const file_dnode *node) {
    auto info = std::make_shared<QVNasFileInfo>();
    if (node == nullptr) return info;
    info->size = static_cast<uint64_t>(node->size);
    info->date = static_cast<uint64_t>(node->date);
    info->isFolder = node->isFolder != 0;
    info->name = heapText(node->name);
    info->path = heapText(node->path);
    info->count = static_cast<uint32_t>(node->count);
    info->userId = node->bucketId;
    info->GPS_latitude = node->latitude;
    info->GPS_longtitude = node->longtitude;
    return info;
}

QVNasFileListInfoPtr QVNasSDKManagerImplement::fileListInfoFromPage(const file_list_page *page) {
    auto info = std::make_shared<QVNasFileListInfo>();
    if (page == nullptr) return info;
    info->count = page->count;
    info->totalCount = page->totalCount;
    for (const file_dnode *n = page->list; n != nullptr; n = n->next) {
        if (n->name != nullptr) {
            const auto name = QVClientSDKTools::qvFormatChar(n->name);
            if (name && name->startsWith(QLatin1Char('.'))) continue;
        }
        info->fileList.append(qvGetNasFileInfoByDn(n));
    }
    return info;
}

QVNasDeviceInfoPtr QVNasSDKManagerImplement::getDeviceDictWithInfo(const qv_dev_detail *d) {
    auto info = std::make_shared<QVNasDeviceInfo>();
    if (d == nullptr) return info;
    info->ip = cText(d->ip, sizeof d->ip);
    info->mac = cText(d->mac, sizeof d->mac);
    info->dev_name = cText(d->device_name, sizeof d->device_name);
    info->device_id = cText(d->dev_uuid, sizeof d->dev_uuid);
    info->device_type = cText(d->type_name, sizeof d->type_name);
    info->device_p2p_uuid = cText(d->p2p_uuid, sizeof d->p2p_uuid);
    return info;
}

// ---- service ----

void QVNasSDKManagerImplement::qvStartServiceWithTask(
    const QVNasTaskInfoPtr &task, const std::shared_ptr<QVNasClientLibDelegate> &delegate) {
    {
        std::lock_guard<std::mutex> lock(g_delegateMu);
        g_delegate = delegate;
    }
    if (m_clientContext.load() != nullptr) {
        // A second start would leave the running context behind.
        QVB_LOG_ERROR(QStringLiteral("start refused: the service is running"));
        answer(task, -1, 1, std::nullopt, Hop::MainAndWait);
        return;
    }
    const QByteArray gateway = task->requestDict.value(QStringLiteral("ipAddress")).toString().toUtf8();
    const QByteArray caches = plat::Paths::cacheLocation().toUtf8();
    int error = 0;
    ppc_router_task *ctx =
        deviceSdk()->ppc_start_Service(caches.constData(), &onDeviceListAdd, &onDeviceListDel,
                                       &onUsbBackupInfoList, gateway.constData(), &error);
    m_clientContext.store(ctx);
    if (ctx == nullptr) QVB_LOG_ERROR(QStringLiteral("start service failed: %1").arg(error));
    answer(task, error, 1, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvStopServiceWithTask(const QVNasTaskInfoPtr &task) {
    ppc_router_task *ctx = nullptr;
    {
        // No module-flag query holds the context once this is through.
        std::unique_lock<std::shared_mutex> lock(m_contextMu);
        ctx = m_clientContext.exchange(nullptr);
    }
    int result = -1;
    if (ctx == nullptr) {
        QVB_LOG_ERROR(QStringLiteral("stop service: no service context"));
    } else {
        result = deviceSdk()->ppc_stop_Service(ctx);
        // 0: the SDK released the context, which must not be used again; otherwise it still runs.
        if (result != 0) {
            ppc_router_task *none = nullptr;
            m_clientContext.compare_exchange_strong(none, ctx);
        }
    }
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("stop service: %1").arg(result));
    answer(task, result, 2, std::nullopt, Hop::MainAndWait);
}

// ---- session ----

void QVNasSDKManagerImplement::qvGetDeviceInfoListWithTask(const QVNasTaskInfoPtr &task) {
    const DeviceSdkPtr sdk = deviceSdk();
    uint32_t count = 0;
    qv_dev_detail **list = sdk->ppc_get_dev_detail_list(&count);
    QList<QVNasDeviceInfoPtr> devices;
    for (uint32_t i = 0; list != nullptr && i < count && list[i] != nullptr; ++i)
        devices.append(getDeviceDictWithInfo(list[i]));
    sdk->ppc_free_dev_detail_list(list);
    // An empty network answers 1 (100001 for the caller) with the empty list.
    answer(task, count == 0 ? 1 : 0, 3, QVariant::fromValue(devices), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvRSetGatewayWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray gateway = task->requestDict.value(QStringLiteral("getwayIP")).toString().toUtf8();
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_set_Gateway(&ctx, gateway.constData());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("set gateway failed: %1").arg(result));
    answer(task, result, 5, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvRegisterDeviceWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap data = task->requestDict.value(QStringLiteral("data")).toMap();
    // Fixed fields of the record: cut at a character boundary, always terminated.
    char name[33], uuid[33];
    QVClientSDKTools::copyToField(name, sizeof name,
                                  data.value(QStringLiteral("dev_name")).toString().toUtf8());
    QVClientSDKTools::copyToField(uuid, sizeof uuid,
                                  data.value(QStringLiteral("dev_uuid")).toString().toUtf8());
    const exdev_dnode *listed = deviceSdk()->ppc_device_register(name, uuid, m_srcToken.load());
    if (listed == nullptr) QVB_LOG_ERROR(QStringLiteral("device register failed"));
    answer(task, listed != nullptr ? 0 : -1, 11, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvAuthCodeLoginDeviceWithTask(const QVNasTaskInfoPtr &task) {
    const auto device = task->requestDict.value(QStringLiteral("data")).value<QVNasDeviceInfoPtr>();
    const QByteArray ip = device ? device->ip.toUtf8() : QByteArray();
    const QByteArray authCode = device ? device->device_authCode.toUtf8() : QByteArray();
    ppc_router_task *ctx = m_clientContext.load();
    int64_t token = m_srcToken.load();
    int result = -1;
    if (ctx == nullptr) {
        QVB_LOG_ERROR(QStringLiteral("login: no service context"));
    } else if (device) {
        result = deviceSdk()->ppc_login_by_authcode(authCode.constData(), ip.constData(), &token, ctx);
    }
    if (result == 0) {
        m_srcToken.store(token);
        QVB_LOG_DEBUG(
            QStringLiteral("login to %1 done, session token set (not logged)").arg(QString::fromUtf8(ip)));
    } else {
        QVB_LOG_ERROR(QStringLiteral("login to %1 failed: %2").arg(QString::fromUtf8(ip)).arg(result));
    }
    answer(task, result, 13, QVariant::fromValue(static_cast<qlonglong>(m_srcToken.load())),
           Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvLogoutDeviceWithTask(const QVNasTaskInfoPtr &task) {
    ppc_router_task *ctx = m_clientContext.load();
    const int result = ctx == nullptr ? -1 : deviceSdk()->ppc_logout(m_srcToken.load(), ctx);
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("logout failed: %1").arg(result));
    answer(task, result, 14, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvGetUserInfoListWithTask(const QVNasTaskInfoPtr &task) {
    const DeviceSdkPtr sdk = deviceSdk();
    user_list_item **list = sdk->ppc_FileGetUserList(m_srcToken.load());
    QList<QVNasDeviceUserInfoPtr> users;
    for (user_list_item **p = list; p != nullptr && *p != nullptr; ++p) {
        auto u = std::make_shared<QVNasDeviceUserInfo>();
        u->nick_name = cText((*p)->nick_name, sizeof(*p)->nick_name);
        u->user_id = (*p)->user_id;
        QVB_LOG_DEBUG(QStringLiteral("device user %1: %2").arg(u->user_id).arg(u->nick_name));
        users.append(u);
    }
    sdk->ppc_free_user_list(list);
    // No list at all is a failed call, not an empty device.
    if (list == nullptr) QVB_LOG_ERROR(QStringLiteral("device user list failed"));
    answer(task, list != nullptr ? 0 : -1, 50, QVariant::fromValue(users), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvUserStatusChangedListenWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray userId = task->requestDict.value(QStringLiteral("userId")).toString().toUtf8();
    ppc_router_task *ctx = m_clientContext.load();
    int result = -1;
    // Without a user id or a running service the request still gets its answer.
    if (ctx == nullptr)
        QVB_LOG_ERROR(QStringLiteral("user status listen: no service context"));
    else if (userId.isEmpty())
        QVB_LOG_ERROR(QStringLiteral("user status listen: no user id"));
    else
        result = deviceSdk()->ppc_userStatusChangedListen(userId.constData(),
                                                          &qv_user_status_changed_listen_cb, ctx);
    QVB_LOG_DEBUG(QStringLiteral("user status listen: %1").arg(result));
    answer(task, result, 157, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvCancelUserStatusChangedListenWithTask(const QVNasTaskInfoPtr &task) {
    if (ppc_router_task *ctx = m_clientContext.load()) deviceSdk()->ppc_cancel_userStatusChangedListen(ctx);
    answer(task, 0, 158, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvGetDeviceStatusWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray ip = task->requestDict.value(QStringLiteral("ip")).toString().toUtf8();
    qv_dev_status record{};
    const int result = deviceSdk()->ppc_DGetDeviceStatus(&record, ip.constData(), m_srcToken.load());
    if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("device status failed: %1").arg(result));
        answer(task, result, 20, std::nullopt, Hop::MainAndWait);
        return;
    }
    auto info = std::make_shared<QVNasDeviceStatusInfo>();
    info->deviceStatus = record.status;
    switch (record.status) {
        case 1000: {
            auto ota = std::make_shared<QVNasDeviceOtaInfo>();
            ota->setVersion(cText(record.version, sizeof record.version));
            ota->fileSize = record.size;
            ota->setOtaDescription(cText(record.description, sizeof record.description));
            info->deviceStatusMessage = QVariant::fromValue(ota);
            break;
        }
        case 3001: {
            auto init = std::make_shared<QVNasDeviceStatusInitInfo>();
            init->mode = record.initMode;
            info->deviceStatusMessage = QVariant::fromValue(init);
            break;
        }
        case 3003: {
            auto sync = std::make_shared<QVNasDeviceStatusSyncInfo>();
            sync->dataSyncTime = record.dataSyncTime;
            info->deviceStatusMessage = QVariant::fromValue(sync);
            break;
        }
        case 3005: {
            auto expan = std::make_shared<QVNasDeviceStatusExpanInfo>();
            expan->curDiskCapacity = record.curDiskCapacity;
            expan->expanCapacity = record.expanCapacity;
            expan->expanTime = record.expanTime;
            info->deviceStatusMessage = QVariant::fromValue(expan);
            break;
        }
        default:
            break;
    }
    answer(task, 0, 20, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvRouterDeviceExecWithTask(const QVNasTaskInfoPtr &task) {
    const QByteArray ip = task->requestDict.value(QStringLiteral("ip")).toString().toUtf8();
    const auto deviceStatus =
        static_cast<int32_t>(task->requestDict.value(QStringLiteral("deviceStatus")).toLongLong());
    ppc_router_task *ctx = m_clientContext.load();
    // Blocks this worker until the operation has ended; progress arrives inside the call.
    const int result = ctx == nullptr ? -1
                                      : deviceSdk()->ppc_router_DeviceExec(task->commandSeq, deviceStatus,
                                                                           ip.constData(), m_srcToken.load(),
                                                                           &qv_routerDeviceExecListen, ctx);
    if (result == 0)
        QVB_LOG_DEBUG(QStringLiteral("device operation %1 done").arg(deviceStatus));
    else
        QVB_LOG_ERROR(QStringLiteral("device operation %1 failed: %2").arg(deviceStatus).arg(result));
    answer(task, result, 173, std::nullopt, Hop::MainAndWait);
}

// ---- device information ----

void QVNasSDKManagerImplement::qvDGetVersion(const QVNasTaskInfoPtr &task) {
    char version[32] = {};
    const int result = deviceSdk()->ppc_RouterGetFWVersion(version, m_srcToken.load());
    if (result < 0) QVB_LOG_ERROR(QStringLiteral("firmware version failed: %1").arg(result));
    answer(task, result, 18, cText(version, sizeof version), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDGetBindCode(const QVNasTaskInfoPtr &task) {
    const QByteArray ip = task->requestDict.value(QStringLiteral("ip")).toString().toUtf8();
    char bindCode[33] = {};
    const int result = deviceSdk()->ppc_get_BindCode(ip.constData(), bindCode);
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("bind code of %1 failed: %2").arg(QString::fromUtf8(ip)).arg(result));
    // Undecodable bytes give "" like a failure: the caller always gets a text.
    answer(task, result, 15, result == 0 ? cText(bindCode, sizeof bindCode) : QString(QStringLiteral("")),
           Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDGetNasDeviceInfo(const QVNasTaskInfoPtr &task) {
    nas_device_info record{};
    const int result = deviceSdk()->ppc_GeNasDeviceInfo(&record, m_srcToken.load());
    auto info = std::make_shared<QVNasDeviceAdvancedInfo>();
    if (result == 0) {
        // Every text field may fill its 32 bytes without a terminator: read within the field.
        info->device_model = cText(record.deviceModel, sizeof record.deviceModel);
        info->customCode = cText(record.customCode, sizeof record.customCode);
        info->versionCode = cText(record.versionCode, sizeof record.versionCode);
        info->mac = cText(record.mac, sizeof record.mac);
        info->wan_wired_ip = cText(record.wanWiredIP, sizeof record.wanWiredIP);
        info->wan_wired_mask = cText(record.wanWiredMask, sizeof record.wanWiredMask);
        info->version_flag = record.version_flag;
        info->stmVer = cText(record.stmVer, sizeof record.stmVer);
    } else {
        QVB_LOG_ERROR(QStringLiteral("device information failed: %1").arg(result));
    }
    answer(task, result, 118, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDGetUserListWithTaskInfo(const QVNasTaskInfoPtr &task) {
    auto info = std::make_shared<QVNasDeviceUserListInfo>();
    const DeviceSdkPtr sdk = deviceSdk();
    user_list_info **list = nullptr;
    const int result = sdk->ppc_GetUserList(&list, m_srcToken.load());
    if (result == 0) {
        auto &dict = info->deviceUserDictionary();
        for (user_list_info **p = list; p != nullptr && *p != nullptr; ++p) {
            auto u = std::make_shared<QVNasDeviceUserInfo>();
            u->nick_name = cText((*p)->nickName, sizeof(*p)->nickName);
            u->user_id = (*p)->userId;
            u->imageUrl = cText((*p)->imagePath, sizeof(*p)->imagePath);
            QVB_LOG_DEBUG(QStringLiteral("user %1: %2 %3").arg(u->user_id).arg(u->nick_name, u->imageUrl));
            dict.insert(u->user_id, u);  // a later entry with the same id replaces the earlier one
        }
        sdk->qv_user_list_free(list);
    } else {
        QVB_LOG_ERROR(result == 10288 ? QStringLiteral("user list request failed: 10288")
                                      : QStringLiteral("user list: error %1").arg(result));
    }
    answer(task, result, 159, QVariant::fromValue(info), Hop::MainAndWait);
}

bool QVNasSDKManagerImplement::qvDGetModuleSupportFlagByType(int64_t type) {
    std::shared_lock<std::shared_mutex> lock(m_contextMu);
    ppc_router_task *ctx = m_clientContext.load();
    const bool supported =
        ctx != nullptr && deviceSdk()->ppc_isModuleSupport(ctx, static_cast<int32_t>(type)) == 0;
    QVB_LOG_DEBUG(QStringLiteral("module %1 supported: %2").arg(type).arg(supported));
    return supported;
}

void QVNasSDKManagerImplement::qvDGetP2PClientInfo(const QVNasTaskInfoPtr &task) {
    p2p_client_info record{};
    const int result = deviceSdk()->ppc_p2p_get_client_info(&record, m_srcToken.load());
    auto info = std::make_shared<QVNasPeerTunnelSessionInfo>();
    if (result == 0) {
        info->nSID = record.sid;
        info->nMode = record.mode;
        info->nNatType = record.nat_type;
        info->szRemoteIP = cText(record.remote_ip, sizeof record.remote_ip);
        info->nRemotePort = record.remote_port;
        info->nVersion = static_cast<int32_t>(record.version);
    } else {
        QVB_LOG_ERROR(QStringLiteral("p2p client information failed: %1").arg(result));
    }
    answer(task, result, 150, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDGetDeviceNickName(const QVNasTaskInfoPtr &task) {
    char name[64] = {};
    const int result = deviceSdk()->ppc_GetDeviceNickName(name, m_srcToken.load());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("nick name failed: %1").arg(result));
    // A 64-byte name has no terminator: read within the buffer (a cut last character is dropped).
    answer(task, result, 151, cText(name, sizeof name), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvDSetDeviceNickName(const QVNasTaskInfoPtr &task) {
    const QByteArray name = task->requestDict.value(QStringLiteral("deviceNickName")).toString().toUtf8();
    const int result = deviceSdk()->ppc_SetDeviceNickName(name.constData(), m_srcToken.load());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("set nick name failed: %1").arg(result));
    answer(task, result, 152, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvRGetStorageInfoWithTask(const QVNasTaskInfoPtr &task) {
    user_space_dnode record{};
    const int result = deviceSdk()->ppc_FileGetUserSpace(&record, m_srcToken.load());
    if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("user space failed: %1").arg(result));
        answer(task, result, 117, std::nullopt, Hop::MainAndWait);
        return;
    }
    auto info = std::make_shared<QVNasDeviceUserSpaceInfo>();
    info->userName = cText(record.userName, sizeof record.userName);
    info->usedSpace = record.usedSpace;
    info->allocateSpace = record.allocateSpace;
    info->diskTotalSize = record.diskTotalSize;
    info->diskFreeSize = record.diskFreeSize;
    info->spaceLimitSet = record.limitSet;
    QVB_LOG_DEBUG(QStringLiteral("user space: used %1 of %2, free %3")
                      .arg(info->usedSpace)
                      .arg(info->diskTotalSize)
                      .arg(info->diskFreeSize));
    answer(task, 0, 117, QVariant::fromValue(info), Hop::MainAndWait);
}

// ---- files ----

void QVNasSDKManagerImplement::qvFGetFileListWithTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const auto pathInfo = req.value(QStringLiteral("searchPathInfo")).value<QVNasPathInfoPtr>();
    const int32_t sortType = static_cast<int32_t>(req.value(QStringLiteral("sequenceType")).toLongLong());
    const int32_t start = std::max<int32_t>(0, req.value(QStringLiteral("startIndex")).toInt());
    const int32_t count = std::max<int32_t>(0, req.value(QStringLiteral("count")).toInt());
    QByteArray path;
    const auto target = qvGetUserObj(pathInfo, path);
    int result = -1;
    file_list_page *raw = nullptr;
    const DeviceSdkPtr sdk = deviceSdk();
    if (target) result = sdk->ppc_FileGetList(*target, start, count, sortType, &raw, m_srcToken.load());
    if (result != 0 && raw != nullptr) {
        sdk->file_list_free(raw->list);  // a page is handed over only with 0
        std::free(raw);
        raw = nullptr;
    }
    SdkOwnedPage page(*sdk, raw);
    QVNasFileListInfoPtr info = fileListInfoFromPage(page.get());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("file list failed: %1").arg(result));
    // The folder listing answers on its worker thread; the caller moves to main where it needs to.
    answer(task, result, 61, QVariant::fromValue(info), Hop::ThisThread);
}

void QVNasSDKManagerImplement::qvFIsExistedWithTask(const QVNasTaskInfoPtr &task) {
    const auto pathInfo = task->requestDict.value(QStringLiteral("existPathInfo")).value<QVNasPathInfoPtr>();
    QByteArray path;
    const auto target = qvGetUserObj(pathInfo, path);
    // Runs on the broker's caller, the main thread included: the exchange then blocks it.
    const int result = target ? deviceSdk()->ppc_FileIsExist(*target, m_srcToken.load()) : -1;
    answer(task, result, 64, std::nullopt, Hop::MainAndWait);
}

// ---- transport streams ----

void QVNasSDKManagerImplement::addTransportStream(int32_t seq, const std::shared_ptr<QIODevice> &stream) {
    std::lock_guard<std::mutex> lock(m_streamMu);
    m_streams.insert(seq, stream);
}

void QVNasSDKManagerImplement::removeTransportStreamWithSeq(int32_t seq) {
    std::shared_ptr<QIODevice> stream;
    {
        std::lock_guard<std::mutex> lock(m_streamMu);
        stream = m_streams.take(seq);
    }
    if (stream) stream->close();
}

int32_t QVNasSDKManagerImplement::qvReadFileStreamBuffer(int32_t seq, char *buffer, uint64_t maxLength) {
    auto &self = shareManagerImplement();
    std::shared_ptr<QIODevice> stream;
    {
        std::lock_guard<std::mutex> lock(self.m_streamMu);
        stream = self.m_streams.value(seq);
    }
    if (!stream) {
        QVB_LOG_DEBUG(
            QStringLiteral("no transport stream for seq %1 (%2 filed)").arg(seq).arg(self.m_streams.size()));
        return 0;
    }
    const qint64 want =
        static_cast<qint64>(std::min<uint64_t>(maxLength, std::numeric_limits<int32_t>::max()));
    const qint64 got = stream->read(buffer, want);
    if (got < 1)
        QVB_LOG_DEBUG(QStringLiteral("stream read %1, bytes remain: %2").arg(got).arg(!stream->atEnd()));
    return static_cast<int32_t>(std::max<qint64>(got, 0));
}

// ---- callbacks from the SDK's threads ----

void QVNasSDKManagerImplement::onDeviceListAdd(const qv_dev_detail *detail) noexcept {
    try {
        const QVNasDeviceInfoPtr info = getDeviceDictWithInfo(detail);
        QVB_LOG_DEBUG(QStringLiteral("device add: %1").arg(info->debugDescription()));
        if (const auto d = delegate()) d->qvDiskClientDeviceAdd(info);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("device add callback failed"));
    }
}

void QVNasSDKManagerImplement::onDeviceListDel(const qv_dev_detail *detail) noexcept {
    try {
        const QVNasDeviceInfoPtr info = getDeviceDictWithInfo(detail);
        QVB_LOG_DEBUG(QStringLiteral("device del: %1").arg(info->debugDescription()));
        if (const auto d = delegate()) d->qvDiskClientDeviceDel(info);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("device del callback failed"));
    }
}

void QVNasSDKManagerImplement::onUsbBackupInfoList(const qv_usb_status *list, int count) noexcept {
    try {
        QList<QVNasUSBInfoPtr> infos;
        for (int i = 0; list != nullptr && i < count; ++i) {
            const qv_usb_status &s = list[i];
            auto u = std::make_shared<QVNasUSBInfo>();
            u->status = s.status;
            u->dev_name = cText(s.device_name, sizeof s.device_name);
            u->dev_uuid = cText(s.device_uuid, sizeof s.device_uuid);
            u->backup_state = s.backup_state;
            u->scan_cnt_dev = s.scan_cnt_dev;
            u->scan_bytes_dev = s.scan_bytes_dev;
            u->total_cnt_dev = s.count_all;
            u->already_cnt_dev = s.count_already;
            u->skip_cnt_dev = s.count_seek;
            u->total_bytes_dev = s.bytes_all;
            u->already_bytes_dev = s.bytes_already;
            u->skip_bytes_dev = s.bytes_seek;
            u->is_scan_over = s.is_scan_over != 0;
            u->tm_curent_s = s.tm_now;
            u->tm_start_s = s.tm_start;
            u->remain_time = s.remain_time;
            u->speed_byte = s.speed;
            u->version = s.version;
            infos.append(u);
        }
        if (const auto d = delegate()) d->qvDiskMqttGetUSBInfoList(infos);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("usb status callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_user_status_changed_listen_cb(const char *, const char *message) noexcept {
    try {
        const QString text =
            message != nullptr ? QVClientSDKTools::qvFormatChar(message).value_or(QString()) : QString();
        const int64_t status = text.contains(QLatin1String("PasswordChanged")) ? 1 : 0;
        QVB_LOG_DEBUG(QStringLiteral("user status changed: %1").arg(status));
        if (const auto d = delegate()) d->qvNasUserStatusChangedListen(status);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("user status callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_routerDeviceExecListen(client_file_task *task) noexcept {
    try {
        if (task == nullptr) return;
        const int32_t status = task->status.load();
        const int64_t done = task->cur_progress.load(), total = task->total_progress.load();
        static const char *const kStates[] = {"computing", "executing", "finished"};
        QVB_LOG_DEBUG(QStringLiteral("[STATUS] device operation %1: %2 %3/%4")
                          .arg(task->dev_status)
                          .arg(QLatin1String(status >= 0 && status <= 2 ? kStates[status] : "unknown"))
                          .arg(done)
                          .arg(total));
        // The request's own number, so that each operation's reports reach its own handler.
        const auto seq = static_cast<int32_t>(task->id.load());
        if (const auto d = delegate())
            d->qvNasRouterDeviceExecListen(seq, task->dev_status, status, done, total);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("device operation callback failed"));
    }
}
