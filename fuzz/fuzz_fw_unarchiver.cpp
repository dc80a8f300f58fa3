// Keyed unarchiving of every archivable model class from arbitrary bytes: null or an object, never a crash.
#include <QByteArray>
#include <cstddef>
#include <cstdint>

#include "model/QVNasDeviceInfo.h"
#include "model/QVNasFileInfo.h"
#include "model/QVNasPathInfo.h"
#include "platform/KeyedArchiver.h"
#include "platform/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = [] {
        plat::Log::setEnabled(false);
        return true;
    }();
    (void)quiet;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (auto f = plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasFileInfo>(bytes))
        (void)plat::KeyedArchiver::archivedDataWithRootObject(*f);
    if (auto p = plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasPathInfo>(bytes))
        (void)plat::KeyedArchiver::archivedDataWithRootObject(*p);
    if (auto d = plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasDeviceInfo>(bytes)) {
        (void)d->device_shortMac();
        (void)d->debugDescription();
    }
    return 0;
}
