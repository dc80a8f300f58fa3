#include "model/QVFileAttributeInfo.h"

#include "platform/Locale.h"
#include "platform/Log.h"

QString QVFileAttributeInfo::getCurrentLanguage() {
    const QStringList langs = plat::Locale::preferredLanguages();
    return langs.isEmpty() ? QString() : langs.first().left(2);
}

QString QVFileAttributeInfo::weekdayStringFromDate(const QDateTime &date, const QString &language) {
    static const char *const zh[] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
    static const char *const en[] = {"Sun.", "Mon.", "Tues.", "Wed.", "Thur.", "Fri.", "Sat."};
    const int index = date.date().dayOfWeek() % 7;  // Qt: Monday 1 .. Sunday 7; here Sunday first
    return QString::fromUtf8(language == QLatin1String("zh") ? zh[index] : en[index]);
}

void QVFileAttributeInfo::processFormatDate() {
    // The instant is formatted in the system zone as it stands; no offset is added first. A text stored
    // through its setter is kept.
    const QDateTime at = QDateTime::fromSecsSinceEpoch(photo_time, plat::Locale::systemTimeZone());
    const QStringList parts = at.toString(QStringLiteral("yyyy-MM-dd-HH:mm")).split(QLatin1Char('-'));
    QString ymd, week, hm;
    if (parts.size() != 4) {
        QVF_LOG_ERROR(QStringLiteral("图片时间信息Format出错, dateArr.count : %1").arg(parts.size()));
    } else if (getCurrentLanguage() == QLatin1String("zh")) {
        week = weekdayStringFromDate(at, QStringLiteral("zh"));
        ymd = QStringLiteral("%1年%2月%3日").arg(parts[0], parts[1], parts[2]);
        hm = parts[3];
    } else {
        week = weekdayStringFromDate(at, QStringLiteral("en"));
        ymd = QStringLiteral("%1.%2.%3").arg(parts[0], parts[1], parts[2]);
        hm = parts[3];
    }
    if (!m_photo_ymd) m_photo_ymd = ymd;
    if (!m_photo_week) m_photo_week = week;
    if (!m_photo_hm) m_photo_hm = hm;
}

QString QVFileAttributeInfo::photo_ymd() {
    if (!m_photo_ymd) processFormatDate();
    return *m_photo_ymd;
}

QString QVFileAttributeInfo::photo_week() {
    if (!m_photo_week) processFormatDate();
    return *m_photo_week;
}

QString QVFileAttributeInfo::photo_hm() {
    if (!m_photo_hm) processFormatDate();
    return *m_photo_hm;
}
