// The device log's file name from a device name and a version the device and the build hand us: whatever
// the bytes, the file lands directly in the caches folder, under a name without separators, "..", control
// characters or more than 64 bytes per part.
#include <QDir>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "broker/QVNasPrivateInterfaceProtocol.h"

namespace {

bool clean(const QString &part) {
    if (part.toUtf8().size() > 64 || part.contains(QLatin1String(".."))) return false;
    for (const QChar c : part) {
        const char16_t u = c.unicode();
        if (u == u'/' || u == u'\\' || u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype cut = bytes.indexOf('\n');
    const QString name = QString::fromUtf8(cut < 0 ? bytes : bytes.left(cut));
    const QString version = cut < 0 ? QString() : QString::fromUtf8(bytes.mid(cut + 1));

    const QString namePart = QVNasPrivateInterfaceProtocol::safeNamePart(name, QStringLiteral("device"));
    const QString versionPart = QVNasPrivateInterfaceProtocol::safeNamePart(version, QString());
    if (namePart.isEmpty() || !clean(namePart) || !clean(versionPart)) std::abort();

    const QString folder = QStringLiteral("/home/u/.cache/qv/QVFileCaches");
    const QString path = QVNasPrivateInterfaceProtocol::logFilePath(folder, name, version);
    // Directly inside the folder: one more component, and cleaning the path changes nothing.
    if (!path.startsWith(folder + QLatin1Char('/'))) std::abort();
    const QString file = path.mid(folder.size() + 1);
    if (file.contains(QLatin1Char('/')) || file == QLatin1String(".") || file == QLatin1String(".."))
        std::abort();
    if (QDir::cleanPath(path) != path) std::abort();
    if (file != namePart + QStringLiteral("_iOS_") + versionPart + QStringLiteral(".zip")) std::abort();
    return 0;
}
