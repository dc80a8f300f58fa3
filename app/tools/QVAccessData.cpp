#include "tools/QVAccessData.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "platform/Defaults.h"
#include "platform/Paths.h"
#include "platform/SecretStore.h"
#include "tools/QVPrivateTools.h"

namespace {
const QString kUserKey = QStringLiteral("QVNasServiceUserInfo");
const QString kAutoLogin = QStringLiteral("QVNasIsAutoLoginService");
const QString kRemember = QStringLiteral("QVIsRememberDownloadPathKey");
const QString kDownload = QStringLiteral("QVDefaultDownloadPathKey");
const QString kFixed = QStringLiteral("QVFixedTagList");
const QString kDynamic = QStringLiteral("QVDynamicTagList");
// The secret-store item of the account's tokens and authorisation code.
const QString kSecretKey = QStringLiteral("QVNasServiceUserInfo");

struct NoSecrets {
    static constexpr const char kClassName[] = "QVUserInfo";
    const QVUserInfo &u;
    void encodeWithCoder(plat::KeyedArchiver &a) const { u.encode(a, false); }
};

void writeSynced(const QString &key, const QVariant &value) {
    auto s = QVAccessData::getQvUserDefaults();
    s->setValue(key, value);
    s->sync();
}
}  // namespace

std::unique_ptr<QSettings> QVAccessData::getQvUserDefaults() {
    return plat::Defaults::suite(QString::fromLatin1(kSuiteName));
}

void QVAccessData::saveServiceUserInfo(const QVUserInfoPtr &info) {
    auto s = getQvUserDefaults();
    if (!info) {
        s->remove(kUserKey);
        plat::SecretStore::shared().remove(kSecretKey);
        return;
    }
    // The archive without the secrets goes to the file.
    s->setValue(kUserKey,
                QString::fromUtf8(plat::KeyedArchiver::archivedDataWithRootObject(NoSecrets{*info})));
    QJsonObject obj;
    obj.insert(QStringLiteral("refreshToken"), info->refreshToken());
    obj.insert(QStringLiteral("accessToken"), info->accessToken());
    obj.insert(QStringLiteral("authorizationCode"), info->authorizationCode());
    plat::SecretStore::shared().save(kSecretKey, QJsonDocument(obj).toJson(QJsonDocument::Compact));
}

QVUserInfoPtr QVAccessData::getServiceUserInfo() {
    auto s = getQvUserDefaults();
    if (!s->contains(kUserKey)) return nullptr;
    auto info =
        plat::KeyedUnarchiver::unarchiveObjectWithData<QVUserInfo>(s->value(kUserKey).toString().toUtf8());
    if (!info) return nullptr;  // damaged or foreign: as if none were stored
    // A lost or unreadable secret leaves the tokens empty, hence invalid.
    const std::optional<QByteArray> secret = plat::SecretStore::shared().load(kSecretKey);
    if (secret) {
        const QJsonObject obj = QJsonDocument::fromJson(*secret).object();
        info->setRefreshToken(obj.value(QStringLiteral("refreshToken")).toString());
        info->setAccessToken(obj.value(QStringLiteral("accessToken")).toString());
        info->setAuthorizationCode(obj.value(QStringLiteral("authorizationCode")).toString());
    }
    return info;
}

void QVAccessData::saveIsAutoLoginService(bool on) {
    writeSynced(kAutoLogin, on);
}
bool QVAccessData::getIsAutoLoginService() {
    return getQvUserDefaults()->value(kAutoLogin, false).toBool();
}
void QVAccessData::saveIsRememberDownloadPath(bool on) {
    writeSynced(kRemember, on);
}
bool QVAccessData::getIsRememberDownloadPath() {
    return getQvUserDefaults()->value(kRemember, false).toBool();
}
void QVAccessData::saveDefaultDownloadPath(const QString &path) {
    writeSynced(kDownload, path);
}

QString QVAccessData::getDefaultDownloadPath() {
    const QString stored = getQvUserDefaults()->value(kDownload).toString();
    return stored.isEmpty() ? plat::Paths::downloads() : stored;
}

void QVAccessData::saveFixedFileTagList(const std::optional<QStringList> &list) {
    if (list) writeSynced(kFixed, *list);
}

QStringList QVAccessData::getFixedFileTagList() {
    return getQvUserDefaults()->value(kFixed).toStringList();
}

void QVAccessData::saveDynamicFileTagList(const std::optional<QStringList> &list) {
    if (list) writeSynced(kDynamic, *list);
}

QStringList QVAccessData::getDynamicFileTagList() {
    auto s = getQvUserDefaults();
    if (s->contains(kDynamic)) return s->value(kDynamic).toStringList();
    QStringList tags;
    for (const char *key : {"QV_Tag_Landscape", "QV_Tag_Tourism", "QV_Tag_Selftimer", "QV_Tag_Food",
                            "QV_Tag_Family", "QV_Tag_Parenting", "QV_Tag_Photography", "QV_Tag_Art"})
        tags << QVPrivateTools::localizedOrKey(QString::fromLatin1(key));
    writeSynced(kDynamic, tags);
    return tags;
}
