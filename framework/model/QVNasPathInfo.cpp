#include "model/QVNasPathInfo.h"

std::shared_ptr<QVNasPathInfo> QVNasPathInfo::sharePath(const QString &path, int64_t bucketId) {
    auto p = std::make_shared<QVNasPathInfo>();
    p->operatePath = path;
    p->operateBucketId = bucketId;
    return p;
}

void QVNasPathInfo::encodeWithCoder(plat::KeyedArchiver &c) const {
    c.encode(QStringLiteral("operatePath"), operatePath);
    c.encode(QStringLiteral("operateBucketId"), operateBucketId);
}

std::shared_ptr<QVNasPathInfo> QVNasPathInfo::initWithCoder(const plat::KeyedUnarchiver &c) {
    auto p = std::make_shared<QVNasPathInfo>();
    p->operatePath = c.decodeString(QStringLiteral("operatePath"));
    p->operateBucketId = c.decodeInt64(QStringLiteral("operateBucketId"));
    return p;
}
