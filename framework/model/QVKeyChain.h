// Archivable objects kept in the process's secret store (the desktop keyring, else owner-only files) under a
// text key, and the client's own device uuid kept there. Class operations only, callable from any thread;
// they may block on the keyring, so not from the main thread.
#pragma once

#include <QString>
#include <QVariantMap>
#include <memory>
#include <optional>

#include "platform/KeyedArchiver.h"
#include "platform/Log.h"

class QVKeyChain final {
  public:
    QVKeyChain() = delete;
    // The item's attributes: class, service and account (both the key), accessibility.
    static QVariantMap getKeychainQuery(const QString &key);

    // Keeps the archive of `object` under `key`, replacing what was there (in place: a failed save leaves
    // the old item).
    template <typename T>
    static bool save(const QString &key, const T &object) {
        return saveData(key, plat::KeyedArchiver::archivedDataWithRootObject(object));
    }
    // The object kept under `key`; null when there is none or it is not a T (logged; the item stays).
    template <typename T>
    static std::shared_ptr<T> load(const QString &key) {
        const std::optional<QByteArray> data = loadData(key);
        if (!data) return nullptr;
        std::shared_ptr<T> object = plat::KeyedUnarchiver::unarchiveObjectWithData<T>(*data);
        if (!object)
            QVF_LOG_ERROR(
                QStringLiteral("Unarchive of %1 failed: %2")
                    .arg(key, QStringLiteral("not an archive of %1").arg(QLatin1String(T::kClassName))));
        return object;
    }
    static bool deleteItem(const QString &key);

    static bool saveData(const QString &key, const QByteArray &archive);
    static std::optional<QByteArray> loadData(const QString &key);
};

// The dictionary kept under "QV_NAS_KEY_IN_KEYCHAIN_UUID": the uuid under "QV_NAS_KEY_UUID".
class QVKeyChainUUIDRecord {
  public:
    static constexpr const char kClassName[] = "QVKeyChainUUIDRecord";
    QString uuid;
    void encodeWithCoder(plat::KeyedArchiver &c) const;
    static std::shared_ptr<QVKeyChainUUIDRecord> initWithCoder(const plat::KeyedUnarchiver &c);
};

class QVKeyChainDataManager final {
  public:
    QVKeyChainDataManager() = delete;
    static inline const QString kItemKey = QStringLiteral("QV_NAS_KEY_IN_KEYCHAIN_UUID");
    static inline const QString kUuidKey = QStringLiteral("QV_NAS_KEY_UUID");
    static bool saveUUID(const QString &uuid);
    static std::optional<QString> readUUID();
    static bool deleteUUID();
};
