// The application's settings in their own suite: the signed-in account (its tokens and authorisation
// code in the secret store, never in the file), the auto-login switch, the download folder and the tag
// lists.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>

#include "model/QVUserInfo.h"

class QVAccessData final {
  public:
    QVAccessData() = delete;
    static constexpr const char kSuiteName[] = "com.qvnas.desktop.settings";

    static std::unique_ptr<QSettings> getQvUserDefaults();

    static void saveServiceUserInfo(const QVUserInfoPtr &info);  // null removes the account
    static QVUserInfoPtr getServiceUserInfo();                   // null when absent or damaged
    static void saveIsAutoLoginService(bool on);
    static bool getIsAutoLoginService();
    static void saveIsRememberDownloadPath(bool on);
    static bool getIsRememberDownloadPath();
    static void saveDefaultDownloadPath(const QString &path);
    static QString getDefaultDownloadPath();  // the user's download folder when none is stored
    static void saveFixedFileTagList(const std::optional<QStringList> &list);
    static QStringList getFixedFileTagList();
    static void saveDynamicFileTagList(const std::optional<QStringList> &list);
    static QStringList getDynamicFileTagList();  // the eight default tags, stored at the first read
};
