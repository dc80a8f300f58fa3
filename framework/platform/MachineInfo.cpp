#include "platform/MachineInfo.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QSysInfo>
#include <QUuid>

namespace plat {

namespace {
// Our fixed application id: the message the machine id signs, so the result means nothing elsewhere.
constexpr char kAppId[] = "org.qvnas.desktop-client.device-uuid";
}  // namespace

QStringList MachineInfo::defaultIdFiles() {
    return {QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id")};
}

QString MachineInfo::hardwareUuid(const QStringList &idFiles) {
    for (const QString &path : idFiles) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QByteArray id = f.read(4096).trimmed();
        if (id.isEmpty()) continue;
        const QByteArray mac =
            QMessageAuthenticationCode::hash(QByteArray(kAppId), id, QCryptographicHash::Sha256);
        return QString::fromLatin1(mac.toHex().left(32)).toUpper();
    }
    return QUuid::createUuid().toString(QUuid::Id128).toUpper();
}

QString MachineInfo::machineName() {
    const QString host = QSysInfo::machineHostName();
    if (!host.isEmpty()) return host;
    const QString pretty = QSysInfo::prettyProductName();
    return pretty.isEmpty() ? QStringLiteral("Linux") : pretty;
}

}  // namespace plat
