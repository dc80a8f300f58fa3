// A path on the device: the text and the user space (bucket) that holds it.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "platform/KeyedArchiver.h"

class QVNasPathInfo {
  public:
    static constexpr const char kClassName[] = "QVNasPathInfo";

    QString operatePath;
    int64_t operateBucketId = 0;

    static std::shared_ptr<QVNasPathInfo> sharePath(const QString &path, int64_t bucketId);
    void encodeWithCoder(plat::KeyedArchiver &c) const;
    static std::shared_ptr<QVNasPathInfo> initWithCoder(const plat::KeyedUnarchiver &c);
};
using QVNasPathInfoPtr = std::shared_ptr<QVNasPathInfo>;
