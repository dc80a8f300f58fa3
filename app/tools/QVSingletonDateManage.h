// The two shared date formatters of the file lists and Unix-time conversion.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTimeZone>

// A date format bound to the time zone and locale of the moment it was made.
struct QVDateFormatter {
    QString format;
    QTimeZone timeZone;
    QLocale locale;
    QString stringFromDate(const QDateTime &date) const {
        return locale.toString(date.toTimeZone(timeZone), format);
    }
};

class QVSingletonDateManage final {
  public:
    QVSingletonDateManage() = delete;
    static const QVDateFormatter &getCreateDateFormatter();  // "yyyy-MM-dd"
    static const QVDateFormatter &getModifyDateFormatter();  // "yyyy-MM-dd HH:mm:ss"
    static QDateTime getSystemTimeZoneDate(double interval);
    static QString returnFormatTimeByInterval(double interval);
};
