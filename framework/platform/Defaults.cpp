#include "platform/Defaults.h"

#include <QStandardPaths>

namespace plat {

QString Defaults::suitePath(const QString &name) {
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QLatin1Char('/') + name +
           QStringLiteral(".ini");
}

std::unique_ptr<QSettings> Defaults::standard() {
    return suite(QStringLiteral("standard"));
}

std::unique_ptr<QSettings> Defaults::suite(const QString &name) {
    return std::make_unique<QSettings>(suitePath(name), QSettings::IniFormat);
}

}  // namespace plat
