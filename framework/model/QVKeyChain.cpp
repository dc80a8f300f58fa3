#include "model/QVKeyChain.h"

#include "platform/SecretStore.h"

QVariantMap QVKeyChain::getKeychainQuery(const QString &key) {
    return {{QStringLiteral("class"), QStringLiteral("genericPassword")},
            {QStringLiteral("service"), key},
            {QStringLiteral("account"), key},
            {QStringLiteral("accessible"), QStringLiteral("afterFirstUnlock")}};
}

bool QVKeyChain::saveData(const QString &key, const QByteArray &archive) {
    return plat::SecretStore::shared().save(key, archive);
}

std::optional<QByteArray> QVKeyChain::loadData(const QString &key) {
    return plat::SecretStore::shared().load(key);
}

bool QVKeyChain::deleteItem(const QString &key) {
    return plat::SecretStore::shared().remove(key);
}

void QVKeyChainUUIDRecord::encodeWithCoder(plat::KeyedArchiver &c) const {
    c.encode(QVKeyChainDataManager::kUuidKey, uuid);
}

std::shared_ptr<QVKeyChainUUIDRecord> QVKeyChainUUIDRecord::initWithCoder(const plat::KeyedUnarchiver &c) {
    auto r = std::make_shared<QVKeyChainUUIDRecord>();
    r->uuid = c.decodeString(QVKeyChainDataManager::kUuidKey);
    return r;
}

bool QVKeyChainDataManager::saveUUID(const QString &uuid) {
    QVKeyChainUUIDRecord r;
    r.uuid = uuid;
    return QVKeyChain::save(kItemKey, r);
}

std::optional<QString> QVKeyChainDataManager::readUUID() {
    const auto r = QVKeyChain::load<QVKeyChainUUIDRecord>(kItemKey);
    if (!r) return std::nullopt;
    return r->uuid;
}

bool QVKeyChainDataManager::deleteUUID() {
    return QVKeyChain::deleteItem(kItemKey);
}
