#include "model/QVNasFileListInfo.h"

#include <QDateTime>

#include "model/ModelDescription.h"
#include "platform/Locale.h"

QString QVNasFileListInfo::debugDescription() const {
    QStringList entries;
    for (const auto &f : fileList) entries.append(f ? f->name : QString());
    return qvmodel::describe("QVNasFileListInfo", this,
                             {{"count", QString::number(count)},
                              {"totalCount", QString::number(totalCount)},
                              {"fileList", qvmodel::listText(entries)}});
}

QString QVNasSortClassInfo::debugDescription() const {
    return qvmodel::describe("QVNasSortClassInfo", this,
                             {{"fileType", QString::number(fileType)},
                              {"totalCount", QString::number(totalCount)},
                              {"totalSize", QString::number(totalSize)}});
}

void QVNasDeviceAggregationInfo::setTimeAndTexts(int64_t seconds) {
    time = seconds;
    const QDateTime at = QDateTime::fromSecsSinceEpoch(seconds, plat::Locale::systemTimeZone());
    ymdTime = at.toString(QStringLiteral("yyyy-MM-dd"));
    hmTime = at.toString(QStringLiteral("HH:mm"));
}

QDebug operator<<(QDebug d, const QVNasFileListInfo &info) {
    return d.noquote() << info.debugDescription();
}
