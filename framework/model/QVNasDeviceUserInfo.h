// Device users and the cloud account's sign-in data, space usage and limits, upload and backup items, and the
// status and progress of copy, move and delete operations.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

#include "model/QVNasPathInfo.h"

class QVNasDeviceUserInfo {
  public:
    QString nick_name;
    int64_t user_id = 0;
    QString imageUrl;
};
using QVNasDeviceUserInfoPtr = std::shared_ptr<QVNasDeviceUserInfo>;

// The device's users by id. The dictionary is created on its first access.
class QVNasDeviceUserListInfo {
  public:
    QMap<int64_t, QVNasDeviceUserInfoPtr> &deviceUserDictionary();
    void setDeviceUserDictionary(const QMap<int64_t, QVNasDeviceUserInfoPtr> &dict) { m_dict = dict; }
    bool isHaveDeviceUserDictionary() const { return m_dict.has_value(); }
    void setIsHaveDeviceUserDictionary(bool value) { m_isHaveStored = value; }  // stored, never read

    // "" without a dictionary; else the user's nick name, none when the id is absent.
    std::optional<QString> getDeviceUserName(int64_t userId) const;
    std::optional<QString> getDeviceUserImageUrl(int64_t userId) const;
    void replaceDeviceUserName(const QString &name, int64_t userId);

  private:
    std::optional<QMap<int64_t, QVNasDeviceUserInfoPtr>> m_dict;
    bool m_isHaveStored = false;
};
using QVNasDeviceUserListInfoPtr = std::shared_ptr<QVNasDeviceUserListInfo>;

class QVNasServiceUserInfo {
  public:
    QString userId;
    QString areaCode;
    QString userName;
    QString password;  // secret: redacted in the description
    QString nickname;
    QString uesrImage;
    QString debugDescription() const;
};
using QVNasServiceUserInfoPtr = std::shared_ptr<QVNasServiceUserInfo>;

class QVNasDeviceUserSpaceInfo {
  public:
    QString userName;
    int64_t usedSpace = 0;
    int64_t allocateSpace = 0;
    int64_t diskTotalSize = 0;
    int64_t diskFreeSize = 0;
    int32_t spaceLimitSet = 0;
};
using QVNasDeviceUserSpaceInfoPtr = std::shared_ptr<QVNasDeviceUserSpaceInfo>;

class QVNasDeviceUserSpaceLimitInfo {
  public:
    int32_t userId = 0;
    QString userName;
    QString nickName;
    QString imageUrl;
    int64_t usedSpace = 0;
    int64_t limitSpace = 0;
    int32_t spaceLimitSet = 0;
    int32_t userType = 0;
};
using QVNasDeviceUserSpaceLimitInfoPtr = std::shared_ptr<QVNasDeviceUserSpaceLimitInfo>;

class QVNasDeviceUserDefaultSpaceLimitInfo {
  public:
    int64_t limitSpace = 0;
    int32_t spaceLimitSet = 0;
};
using QVNasDeviceUserDefaultSpaceLimitInfoPtr = std::shared_ptr<QVNasDeviceUserDefaultSpaceLimitInfo>;

class QVNasUploadDataInfo {
  public:
    QString filePath;
    QString fileName;
    QVNasPathInfoPtr targetPathInfo;
    QString fileuuid;
    QStringList fileTagNameList;
    int64_t modifyTime = 0;
    int64_t totalSize = 0;
    static std::shared_ptr<QVNasUploadDataInfo> shareInfoByPath(const QString &path, const QString &name,
                                                                const QVNasPathInfoPtr &targetInfo,
                                                                const QString &uuid,
                                                                const QStringList &tagList, int64_t modify,
                                                                int64_t size);
};
using QVNasUploadDataInfoPtr = std::shared_ptr<QVNasUploadDataInfo>;

class QVNasBackupDataInfo {
  public:
    QString filePath;
    QString fileName;
    QString fileuuid;
    QString dirName;
    QVNasPathInfoPtr targetPathInfo;
    int64_t modifyTime = 0;
    int64_t totalSize = 0;
    static std::shared_ptr<QVNasBackupDataInfo> shareInfoByPath(const QString &path, const QString &name,
                                                                const QVNasPathInfoPtr &targetInfo,
                                                                const QString &uuid, const QString &dirName,
                                                                int64_t modify, int64_t size);
};
using QVNasBackupDataInfoPtr = std::shared_ptr<QVNasBackupDataInfo>;

class QVNasTaskOperateStatusInfo {
  public:
    int64_t status = 0;  // 1 preparing, 2 running, 3 failed, 4 finished, 5 cancelled, 7 no space
    // Stores and returns "" while null.
    QString statusMessage() {
        if (m_statusMessage.isNull()) m_statusMessage = QStringLiteral("");
        return m_statusMessage;
    }
    void setStatusMessage(const QString &message) { m_statusMessage = message; }
    QString debugDescription();

  private:
    QString m_statusMessage;
};
using QVNasTaskOperateStatusInfoPtr = std::shared_ptr<QVNasTaskOperateStatusInfo>;

class QVNasOperateProgressInfo {
  public:
    uint32_t operate_seq = 0;
    int32_t operate_status = 0;
    uint64_t total_progress = 0;
    uint64_t cur_progress = 0;
    QString debugDescription() const;
};
using QVNasOperateProgressInfoPtr = std::shared_ptr<QVNasOperateProgressInfo>;

class QVNasDbUpdateInfo {
  public:
    int32_t status = 0;
    int32_t process = 0;
    int32_t total = 0;
};
using QVNasDbUpdateInfoPtr = std::shared_ptr<QVNasDbUpdateInfo>;
