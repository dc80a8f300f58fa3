#include "tools/QVSingletonDateManage.h"

#include <cmath>

#include "platform/Locale.h"

namespace {

QVDateFormatter makeFormatter(const char *format) {
    return QVDateFormatter{QString::fromLatin1(format), plat::Locale::systemTimeZone(), QLocale::system()};
}

}  // namespace

const QVDateFormatter &QVSingletonDateManage::getCreateDateFormatter() {
    static const QVDateFormatter f = makeFormatter("yyyy-MM-dd");
    return f;
}

const QVDateFormatter &QVSingletonDateManage::getModifyDateFormatter() {
    static const QVDateFormatter f = makeFormatter("yyyy-MM-dd HH:mm:ss");
    return f;
}

QDateTime QVSingletonDateManage::getSystemTimeZoneDate(double interval) {
    if (!std::isfinite(interval)) interval = 0;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(interval * 1000.0)),
                                          QTimeZone::utc());
}

QString QVSingletonDateManage::returnFormatTimeByInterval(double interval) {
    return getModifyDateFormatter().stringFromDate(getSystemTimeZoneDate(interval));
}
