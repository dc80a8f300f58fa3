// Keyed unarchiving of the application's file entry and account record from arbitrary bytes, and the
// device path read back from a stream address: null, an object or a text, never a crash. The bytes as a
// device path, made into a stream address the way the device signs it, must read back exactly.
#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "model/QVFileInfo.h"
#include "model/QVUserInfo.h"
#include "platform/KeyedArchiver.h"
#include "platform/Log.h"
#include "tools/QVFileManager.h"
#include "tools/QVLogRedaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = [] {
        plat::Log::setEnabled(false);
        return true;
    }();
    (void)quiet;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (auto f = plat::KeyedUnarchiver::unarchiveObjectWithData<QVFileInfo>(bytes)) {
        (void)f->sizeStr();
        (void)f->create_time();
        (void)plat::KeyedArchiver::archivedDataWithRootObject(*f);
    }
    if (auto u = plat::KeyedUnarchiver::unarchiveObjectWithData<QVUserInfo>(bytes)) {
        (void)u->judgeAccessTokenIsEffective();
        (void)u->debugDescription();
    }
    const QString text = QString::fromUtf8(bytes);
    const QString path = QVFileManager::qvAnitFormatResultPath(text);
    (void)QVFileManager::qvAnitFormatResultPath(QStringLiteral("http://127.0.0.1:8080") + text);
    (void)QVRedactLogText(text);
    (void)path;

    // Round trip: "/" + text as a device path (the device's URI encoding: every byte but letters, digits
    // and "*-./_" as %XX) under each host form; the inverse gives the path back.
    const QString devicePath = QLatin1Char('/') + text;
    const QByteArray enc = text.toUtf8().toPercentEncoding("*/", "~");
    const QString uri =
        QStringLiteral("/4294967297/") + QString::fromLatin1(enc) + QStringLiteral("?KID=1&ssig=abcdefghij");
    for (const char *host : {"192.168.1.5", "127.0.0.1"}) {
        const QString addr = QVFileManager::streamAddress(QLatin1String(host), uri);
        if (QVFileManager::qvAnitFormatResultPath(addr) != devicePath) __builtin_trap();
    }
    return 0;
}
