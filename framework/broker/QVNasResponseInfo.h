// The answer to every request.
#pragma once

#include <QDebug>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <memory>

class QVNasResponseInfo {
  public:
    int32_t clientCommand = 0;
    int64_t responseCode = 0;
    QString responseMessage;
    QVariant responseData;  // a model held as its Ptr, a list of them, a number, a string; null when unset

    QString debugDescription() const;
};
using QVNasResponseInfoPtr = std::shared_ptr<QVNasResponseInfo>;

QDebug operator<<(QDebug d, const QVNasResponseInfo &info);
