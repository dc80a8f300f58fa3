// The hidden space, share links and the recycle bin: one SDK call per operation, its results turned into
// models and freed before the answer. Passwords and verification codes are sent, never logged.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "bridge/QVNasSDKManagerImplement.h"
#include "model/QVClientSDKTools.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasShareFileInfo.h"
#include "platform/Log.h"

namespace {

int32_t intOf(const QVariantMap &req, const char *key) {
    return static_cast<int32_t>(req.value(QLatin1String(key)).toLongLong());
}

template <size_t N>
QString fieldText(const char (&field)[N]) {
    return QVClientSDKTools::qvFormatCharOrEmpty(field, N);
}

QString heapText(const char *text) {
    return QVClientSDKTools::qvFormatChar(text).value_or(QString());
}

bool fitsInt32(int64_t v) {
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

// The device's refusals of the hidden-space commands, named in the log.
const char *hideSpaceCodeText(int code) {
    switch (code) {
        case 0:
            return "success";
        case 10013:
            return "the hidden space is already on";
        case 10015:
            return "the password is already set";
        case 10016:
            return "the verification code is wrong";
        case 10017:
            return "the password is wrong";
        case 10019:
            return "the hidden space is not logged in";
        case 13002:
            return "the user is not found";
        case 14000:
            return "the device reports a data error";
        case -1:
            return "refused before sending (code or password missing or of the wrong length)";
        default:
            return "failed";
    }
}

void logHideSpace(const char *what, int result) {
    const QString line = QStringLiteral("hidden space %1: %2 (%3)")
                             .arg(QLatin1String(what))
                             .arg(result)
                             .arg(QLatin1String(hideSpaceCodeText(result)));
    if (result == 0)
        QVB_LOG_DEBUG(line);
    else
        QVB_LOG_ERROR(line);
}

QVNasShareFileInfoPtr shareOf(const share_info &s, bool withFileCount) {
    auto info = std::make_shared<QVNasShareFileInfo>();
    info->shareId = s.shareId;
    info->shareUserId = s.shareId;
    info->shareUrl = fieldText(s.shareUrl);
    info->sharePw = fieldText(s.sharePw);
    info->shareExpect = s.shareExpect;
    info->shareCreateTime = s.shareCreateTime;
    info->shareHasPw = s.shareHasPw != 0;
    info->shareStatus = s.shareStatus;
    info->shareName = fieldText(s.shareName);
    if (withFileCount) info->shareFileCount = s.shareFileCount;
    return info;
}

void logShare(const char *what, const QVNasShareFileInfo &s) {
    // The link's password stays out of the log.
    QVB_LOG_DEBUG(QStringLiteral("share %1: id %2, name %3, expect %4, status %5, files %6")
                      .arg(QLatin1String(what))
                      .arg(s.shareId)
                      .arg(s.shareName)
                      .arg(s.shareExpect)
                      .arg(s.shareStatus)
                      .arg(s.shareFileCount));
}

// The key list of a restore or delete: a zeroed list record, count + 1 node slots (the last empty) and
// one zeroed node per entry carrying its key. Freed when this goes.
class RecycleKeyList {
  public:
    explicit RecycleKeyList(const QList<QVNasRecycleFileInfoPtr> &entries) {
        m_list = static_cast<resyscle_list_info *>(std::calloc(1, sizeof(resyscle_list_info)));
        if (m_list == nullptr) std::abort();  // resyscleList != NULL
        const size_t n = static_cast<size_t>(entries.size());
        m_list->rDnode = static_cast<resyscle_dnode **>(std::calloc(n + 1, sizeof(resyscle_dnode *)));
        if (m_list->rDnode == nullptr) std::abort();  // resyscleList->dnode != NULL
        for (size_t i = 0; i < n; ++i) {
            auto *node = static_cast<resyscle_dnode *>(std::calloc(1, sizeof(resyscle_dnode)));
            if (node == nullptr) std::abort();  // resyscleList->dnode[i] != NULL
            node->key =
                entries[static_cast<qsizetype>(i)] ? entries[static_cast<qsizetype>(i)]->resyscleKey : 0;
            m_list->rDnode[i] = node;
        }
    }
    ~RecycleKeyList() {
        for (resyscle_dnode **n = m_list->rDnode; *n != nullptr; ++n) std::free(*n);
        std::free(m_list->rDnode);
        std::free(m_list);
    }
    RecycleKeyList(const RecycleKeyList &) = delete;
    RecycleKeyList &operator=(const RecycleKeyList &) = delete;
    resyscle_list_info *get() { return m_list; }

  private:
    resyscle_list_info *m_list = nullptr;
};

// The command whose progress the recycle callbacks report: set by the operation around its SDK call,
// which calls them on this thread.
thread_local int32_t t_recycleCommand = 0;

class RecycleScope {
  public:
    explicit RecycleScope(int32_t command) : m_prev(t_recycleCommand) { t_recycleCommand = command; }
    ~RecycleScope() { t_recycleCommand = m_prev; }
    RecycleScope(const RecycleScope &) = delete;
    RecycleScope &operator=(const RecycleScope &) = delete;

  private:
    int32_t m_prev;
};

void recycleReport(client_file_task *task, const char *what, int32_t fallbackCommand) {
    if (task == nullptr) return;
    const int32_t seq = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(task->id.load())));
    const int32_t status = task->status.load();
    const int64_t done = task->cur_progress.load(), total = task->total_progress.load();
    QVB_LOG_DEBUG(QStringLiteral("[STATUS] recycle %1 %2: status %3, %4/%5")
                      .arg(QLatin1String(what))
                      .arg(seq)
                      .arg(status)
                      .arg(done)
                      .arg(total));
    auto request = std::make_shared<QVNasRequestInfo>();
    request->clientCommand = t_recycleCommand != 0 ? t_recycleCommand : fallbackCommand;
    request->clientCommandSeq = seq;
    if (const auto d = QVNasSDKManagerImplement::delegate())
        d->qvDiskTransportRequest(request, status, done, total);
}

}  // namespace

// ---- hidden space ----

void QVNasSDKManagerImplement::qvFGetHideSpaceEnableByTask(const QVNasTaskInfoPtr &task) {
    uint32_t flag = 0;
    const int result = deviceSdk()->ppc_HideSpaceIsEnable(&flag, m_srcToken.load());
    logHideSpace("enabled", result);
    answer(task, result, 175,
           result == 0 ? std::optional<QVariant>(static_cast<qlonglong>(flag)) : std::nullopt,
           Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFTurnOnHideSpaceByTask(const QVNasTaskInfoPtr &task) {
    const int result = deviceSdk()->ppc_HideSpaceEnable(m_srcToken.load());
    logHideSpace("turn on", result);
    answer(task, result, 176, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetHideSpacePasswordStatusByTask(const QVNasTaskInfoPtr &task) {
    uint32_t flag = 0;
    const int result = deviceSdk()->ppc_HideSpacePwdIsSet(&flag, m_srcToken.load());
    logHideSpace("password set", result);
    answer(task, result, 177,
           result == 0 ? std::optional<QVariant>(static_cast<qlonglong>(flag)) : std::nullopt,
           Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFSetHideSpacePasswordByTask(const QVNasTaskInfoPtr &task) {
    const QVariant pwd = task->requestDict.value(QStringLiteral("password"));
    const QByteArray bytes = pwd.toString().toUtf8();
    const int result =
        deviceSdk()->ppc_HideSpacePwdSet(pwd.isValid() ? bytes.constData() : nullptr, m_srcToken.load());
    logHideSpace("set password", result);
    answer(task, result, 178, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetRouterSmsVerifyCodeByTask(const QVNasTaskInfoPtr &task) {
    const int result = deviceSdk()->ppc_RouterSmsVerifyCode(m_srcToken.load());
    logHideSpace("verification code", result);
    answer(task, result, 179, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFResetHideSpacePasswordByTask(const QVNasTaskInfoPtr &task) {
    const QVariant code = task->requestDict.value(QStringLiteral("verifyCode"));
    const QVariant pwd = task->requestDict.value(QStringLiteral("password"));
    const QByteArray codeBytes = code.toString().toUtf8(), pwdBytes = pwd.toString().toUtf8();
    const int result =
        deviceSdk()->ppc_HideSpacePwdReset(code.isValid() ? codeBytes.constData() : nullptr,
                                           pwd.isValid() ? pwdBytes.constData() : nullptr, m_srcToken.load());
    logHideSpace("reset password", result);
    answer(task, result, 180, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFLoginHideSpaceByTask(const QVNasTaskInfoPtr &task) {
    const QVariant pwd = task->requestDict.value(QStringLiteral("password"));
    const QByteArray bytes = pwd.toString().toUtf8();
    const int result =
        deviceSdk()->ppc_HideSpaceLogin(pwd.isValid() ? bytes.constData() : nullptr, m_srcToken.load());
    logHideSpace("login", result);
    answer(task, result, 181, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFLogoutHideSpaceByTask(const QVNasTaskInfoPtr &task) {
    const int result = deviceSdk()->ppc_HideSpaceLogout(m_srcToken.load());
    logHideSpace("logout", result);
    answer(task, result, 182, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetHideSpaceInfoByTask(const QVNasTaskInfoPtr &task) {
    hide_space_info *info = nullptr;
    const int result = deviceSdk()->ppc_GetHideSpaceInfo(m_srcToken.load(), &info);
    logHideSpace("information", result);
    std::optional<QVariant> data;
    if (result == 0) {
        auto user = std::make_shared<QVNasDeviceUserInfo>();
        user->nick_name = info != nullptr ? fieldText(info->nick_name) : QString(QStringLiteral(""));
        user->user_id = info != nullptr ? info->bucket_id : 0;
        data = QVariant::fromValue(user);
    }
    std::free(info);
    answer(task, result, 183, data, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetHideSpaceFileListByTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const auto pathInfo = req.value(QStringLiteral("searchPathInfo")).value<QVNasPathInfoPtr>();
    QByteArray path;
    auto folder = qvGetUserObj(pathInfo, path);
    const DeviceSdkPtr sdk = deviceSdk();
    file_list_info *holder = nullptr;
    const int result =
        folder ? sdk->ppc_hideSpaceFileGetList(&*folder, intOf(req, "startIndex"), intOf(req, "count"),
                                               intOf(req, "sequenceType"), &holder, m_srcToken.load())
               : -1;
    // Counts as the device reported them; dot entries left out of the list.
    const QVNasFileListInfoPtr info = fileListInfoFromPage(holder);
    if (holder != nullptr) {
        if (holder->list != nullptr) sdk->file_list_free(holder->list);
        std::free(holder);
    }
    answer(task, result, 184, QVariant::fromValue(info), Hop::MainAndWait);
}

// ---- share links ----

void QVNasSDKManagerImplement::qvFCreateShareByTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const auto files = req.value(QStringLiteral("shareFileList")).value<QList<QVNasFileInfoPtr>>();
    const int32_t hasPw = req.value(QStringLiteral("shapeType")).toLongLong() == 1026 ? 1 : 0;
    const int32_t expect = req.value(QStringLiteral("invalidType")).toLongLong() == 1027 ? 604800 : 0;
    // The array: one entry per file and a final empty slot. A bucket id the device's 32 bits cannot carry
    // refuses the whole request rather than share another user's file.
    std::vector<QByteArray> paths;
    std::vector<share_file_item> items;
    paths.reserve(static_cast<size_t>(files.size()));
    items.reserve(static_cast<size_t>(files.size()));
    bool fits = true;
    for (const auto &f : files) {
        const int64_t bucket = f ? f->userId : 0;
        if (!fitsInt32(bucket)) {
            QVB_LOG_ERROR(QStringLiteral("share refused: bucket id %1 does not fit 32 bits").arg(bucket));
            fits = false;
            break;
        }
        paths.push_back(f ? f->path.toUtf8() : QByteArray());
        items.push_back({nullptr, static_cast<int32_t>(bucket)});
    }
    std::vector<share_file_item *> slots;
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].path = paths[i].constData();
        slots.push_back(&items[i]);
    }
    slots.push_back(nullptr);
    share_info *record = nullptr;
    const int result = fits ? deviceSdk()->ppc_createShare(slots.data(), static_cast<int32_t>(items.size()),
                                                           hasPw, expect, &record, m_srcToken.load())
                            : -1;
    auto share = std::make_shared<QVNasShareFileInfo>();
    if (result == 0 && record != nullptr) {
        share = shareOf(*record, false);
        logShare("created", *share);
    } else if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("create share failed: %1").arg(result));
    }
    std::free(record);
    answer(task, result, 185, QVariant::fromValue(share), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFGetShareListByTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const DeviceSdkPtr sdk = deviceSdk();
    share_list *list = nullptr;
    const int result =
        sdk->ppc_getShareList(intOf(req, "startIndex"), intOf(req, "count"), &list, m_srcToken.load());
    QList<QVNasShareFileInfoPtr> shares;
    if (result == 0 && list != nullptr) {
        // The parser puts each share in front of the ones before it: walking back from the last node
        // gives the device's order, so that pages follow one another.
        for (share_ring_link *l = list->link.prev; l != &list->link; l = l->prev) {
            shares.append(shareOf(*share_info_of(l), true));
            logShare("listed", *shares.last());
        }
    } else if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("share list failed: %1").arg(result));
    }
    if (list != nullptr) sdk->share_list_free(list);
    answer(task, result, 186, QVariant::fromValue(shares), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFCancelShareByTask(const QVNasTaskInfoPtr &task) {
    const auto share = task->requestDict.value(QStringLiteral("shareInfo")).value<QVNasShareFileInfoPtr>();
    int result = -1;
    if (!share) {
        QVB_LOG_ERROR(QStringLiteral("cancel share without a share"));
    } else if (share->shareId > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        // The device takes the id as a 32-bit number: a cut id would cancel another link.
        QVB_LOG_ERROR(QStringLiteral("cancel share refused: id %1 does not fit 32 bits").arg(share->shareId));
    } else {
        const QByteArray url = share->shareUrl.toUtf8();
        result = deviceSdk()->ppc_cancelShare(static_cast<int32_t>(share->shareId), url.constData(),
                                              m_srcToken.load());
        if (result == 0)
            QVB_LOG_DEBUG(QStringLiteral("share %1 cancelled").arg(share->shareId));
        else
            QVB_LOG_ERROR(QStringLiteral("cancel share %1 failed: %2").arg(share->shareId).arg(result));
    }
    answer(task, result, 187, std::nullopt, Hop::MainAndWait);
}

// ---- recycle bin ----

void QVNasSDKManagerImplement::qvFRecycleGetSpaceInfoByTask(const QVNasTaskInfoPtr &task) {
    const DeviceSdkPtr sdk = deviceSdk();
    resyscle_info *raw = nullptr;
    const int result = sdk->ppc_RecycleGetInfo(&raw, m_srcToken.load());
    auto info = std::make_shared<QVNasRecycleInfo>();
    if (result == 0 && raw != nullptr) {
        for (resyscle_space **s = raw->spaceDnode; s != nullptr && *s != nullptr; ++s) {
            auto space = std::make_shared<QVNasRecycleSpaceTypeInfo>();
            space->bucket_id = (*s)->bucket_id;
            space->recycleSpaceType = (*s)->type;
            QVB_LOG_DEBUG(QStringLiteral("recycle bucket %1 type %2")
                              .arg(space->bucket_id)
                              .arg(space->recycleSpaceType));
            info->recycleSpaceTypeInfoList.append(space);
        }
        info->defaultSurviveTime = raw->survive_time;
        QVB_LOG_DEBUG(QStringLiteral("recycle survive time %1").arg(info->defaultSurviveTime));
    } else if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("recycle settings failed: %1").arg(result));
    }
    if (raw != nullptr) sdk->ppc_free_resyscle_info(raw);
    answer(task, result, 200, QVariant::fromValue(info), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFRecycleGetFileListByTask(const QVNasTaskInfoPtr &task) {
    const QVariantMap &req = task->requestDict;
    const DeviceSdkPtr sdk = deviceSdk();
    resyscle_list_info *raw = nullptr;
    const int result =
        sdk->ppc_RecycleGetList(intOf(req, "startIndex"), intOf(req, "count"), &raw, m_srcToken.load());
    auto page = std::make_shared<QVNasRecycleFileListInfo>();
    if (result == 0 && raw != nullptr) {
        for (resyscle_dnode **n = raw->rDnode; n != nullptr && *n != nullptr; ++n) {
            const resyscle_dnode &e = **n;
            auto f = std::make_shared<QVNasRecycleFileInfo>();
            f->bucketId = e.bucketId;
            f->resyscleKey = e.key;
            f->size = e.size;
            f->date = e.date;
            f->isFolder = e.isFolder != 0;
            f->name = heapText(e.name);
            f->fullName = heapText(e.path);
            f->deleteTime = e.delete_time;
            f->remainSurvivalTime = e.remain_time;
            page->recycleFileList.append(f);
        }
        page->startIndex = raw->start;
        page->count = raw->count;
        page->totalCount = raw->totalCount;
    } else if (result != 0) {
        QVB_LOG_ERROR(QStringLiteral("recycle page failed: %1").arg(result));
    }
    if (raw != nullptr) sdk->ppc_free_resyscle_list(raw);
    answer(task, result, 201, QVariant::fromValue(page), Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFRecycleRestoreFileListByTask(const QVNasTaskInfoPtr &task) {
    RecycleKeyList keys(task->requestDict.value(QStringLiteral("recycleRestoreList"))
                            .value<QList<QVNasRecycleFileInfoPtr>>());
    const RecycleScope scope(202);
    const int result = deviceSdk()->ppc_RecycleRestoreFileList(task->commandSeq, keys.get(),
                                                               &qv_recycle_restore_event, m_srcToken.load());
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("recycle restore %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 202, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFRecycleDeleteFileListByTask(const QVNasTaskInfoPtr &task) {
    RecycleKeyList keys(
        task->requestDict.value(QStringLiteral("recycleDeleteList")).value<QList<QVNasRecycleFileInfoPtr>>());
    const RecycleScope scope(203);
    const int result = deviceSdk()->ppc_RecycleDeleteFileList(task->commandSeq, keys.get(),
                                                              &qv_recycle_delete_event, m_srcToken.load());
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("recycle delete %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 203, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFRecycleEmptyByTask(const QVNasTaskInfoPtr &task) {
    const RecycleScope scope(204);
    const int result =
        deviceSdk()->ppc_RecycleEmpty(task->commandSeq, &qv_recycle_delete_event, m_srcToken.load());
    if (result != 0)
        QVB_LOG_ERROR(QStringLiteral("recycle empty %1 failed: %2").arg(task->commandSeq).arg(result));
    answer(task, result, 204, std::nullopt, Hop::MainAndWait);
}

void QVNasSDKManagerImplement::qvFRecycleSetInfoByTask(const QVNasTaskInfoPtr &task) {
    const auto info = task->requestDict.value(QStringLiteral("recycleInfo")).value<QVNasRecycleInfoPtr>();
    // Only the survive time is sent; the per-bucket list stays on this side.
    resyscle_info record{};
    record.spaceDnode = nullptr;
    record.count = 0;
    record.survive_time = info ? info->defaultSurviveTime : 0;
    const int result = deviceSdk()->ppc_RecycleSetInfo(&record, m_srcToken.load());
    if (result != 0) QVB_LOG_ERROR(QStringLiteral("recycle settings not set: %1").arg(result));
    answer(task, result, 205, std::nullopt, Hop::MainAndWait);
}

// ---- progress of restore, delete and empty ----

void QVNasSDKManagerImplement::qv_recycle_restore_event(client_file_task *task) noexcept {
    try {
        recycleReport(task, "restore", 202);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("recycle restore progress callback failed"));
    }
}

void QVNasSDKManagerImplement::qv_recycle_delete_event(client_file_task *task) noexcept {
    try {
        recycleReport(task, "delete", 203);
    } catch (...) {
        QVB_LOG_ERROR(QStringLiteral("recycle delete progress callback failed"));
    }
}
