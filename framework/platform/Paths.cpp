#include "platform/Paths.h"

#include <QStandardPaths>

namespace plat {

QString Paths::cacheLocation() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString Paths::appDataLocation() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString Paths::documents() {
    return appDataLocation() + QStringLiteral("/Documents");
}

QString Paths::downloads() {
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

}  // namespace plat
