#include "model/QVNasDeviceUserInfo.h"

#include "model/ModelDescription.h"

QMap<int64_t, QVNasDeviceUserInfoPtr> &QVNasDeviceUserListInfo::deviceUserDictionary() {
    if (!m_dict) m_dict.emplace();
    return *m_dict;
}

std::optional<QString> QVNasDeviceUserListInfo::getDeviceUserName(int64_t userId) const {
    if (!m_dict) return QString();
    const auto it = m_dict->constFind(userId);
    if (it == m_dict->constEnd() || !*it) return std::nullopt;
    return (*it)->nick_name;
}

std::optional<QString> QVNasDeviceUserListInfo::getDeviceUserImageUrl(int64_t userId) const {
    if (!m_dict) return std::nullopt;
    const auto it = m_dict->constFind(userId);
    if (it == m_dict->constEnd() || !*it) return std::nullopt;
    return (*it)->imageUrl;
}

void QVNasDeviceUserListInfo::replaceDeviceUserName(const QString &name, int64_t userId) {
    if (!m_dict) return;
    const auto it = m_dict->find(userId);
    if (it != m_dict->end() && *it) (*it)->nick_name = name;
}

QString QVNasServiceUserInfo::debugDescription() const {
    return qvmodel::describe("QVNasServiceUserInfo", this,
                             {{"userId", userId},
                              {"areaCode", areaCode},
                              {"userName", userName},
                              {"password", qvmodel::redacted(!password.isEmpty())},
                              {"nickname", nickname},
                              {"uesrImage", uesrImage}});
}

std::shared_ptr<QVNasUploadDataInfo> QVNasUploadDataInfo::shareInfoByPath(
    const QString &path, const QString &name, const QVNasPathInfoPtr &targetInfo, const QString &uuid,
    const QStringList &tagList, int64_t modify, int64_t size) {
    auto i = std::make_shared<QVNasUploadDataInfo>();
    i->filePath = path;
    i->fileName = name;
    i->targetPathInfo = targetInfo;
    i->fileuuid = uuid;
    i->fileTagNameList = tagList;
    i->modifyTime = modify;
    i->totalSize = size;
    return i;
}

std::shared_ptr<QVNasBackupDataInfo> QVNasBackupDataInfo::shareInfoByPath(
    const QString &path, const QString &name, const QVNasPathInfoPtr &targetInfo, const QString &uuid,
    const QString &dirName, int64_t modify, int64_t size) {
    auto i = std::make_shared<QVNasBackupDataInfo>();
    i->filePath = path;
    i->fileName = name;
    i->targetPathInfo = targetInfo;
    i->fileuuid = uuid;
    i->dirName = dirName;
    i->modifyTime = modify;
    i->totalSize = size;
    return i;
}

QString QVNasTaskOperateStatusInfo::debugDescription() {
    return qvmodel::describe("QVNasTaskOperateStatusInfo", this,
                             {{"status", QString::number(status)}, {"statusMessage", statusMessage()}});
}

QString QVNasOperateProgressInfo::debugDescription() const {
    return qvmodel::describe("QVNasOperateProgressInfo", this,
                             {{"operate_seq", QString::number(operate_seq)},
                              {"operate_status", QString::number(operate_status)},
                              {"total_progress", QString::number(total_progress)},
                              {"cur_progress", QString::number(cur_progress)}});
}
