// Keyed unarchiving of the application's file entry and account record from arbitrary bytes, and the
// device path read back from a stream address: null, an object or a text, never a crash.
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
    return 0;
}
