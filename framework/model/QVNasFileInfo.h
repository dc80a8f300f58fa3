// One file or folder on the device. The application derives its own file classes from it.
#pragma once

#include <QDebug>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "platform/KeyedArchiver.h"

class QVNasFileInfo {
  public:
    static constexpr const char kClassName[] = "QVNasFileInfo";
    virtual ~QVNasFileInfo() = default;

    uint64_t size = 0;
    uint64_t date = 0;
    bool isFolder = false;
    QString name;
    QString path;
    uint32_t count = 0;
    QStringList topImagePaths;  // albums of a type listing only
    bool attrState = false;
    int64_t userId = 0;
    QStringList fileTagList;  // search results only
    double GPS_latitude = 0;
    double GPS_longtitude = 0;

    // Keys "size", "date", "isFolder", "name", "path", "count", "attrState", "userId", "fileTagList";
    // the preview paths and the coordinates are not archived.
    void encodeWithCoder(plat::KeyedArchiver &c) const;
    static std::shared_ptr<QVNasFileInfo> initWithCoder(const plat::KeyedUnarchiver &c);
    virtual QString debugDescription() const;
    virtual std::shared_ptr<QVNasFileInfo> clone() const { return std::make_shared<QVNasFileInfo>(*this); }
};
using QVNasFileInfoPtr = std::shared_ptr<QVNasFileInfo>;

QDebug operator<<(QDebug d, const QVNasFileInfo &info);
