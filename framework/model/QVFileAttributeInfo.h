// The attributes of one file (framework command 70), with the photo's date texts derived on first read.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

class QVFileAttributeInfo {
  public:
    int64_t size = 0;
    int32_t totalFolderCount = 0;
    int32_t totalFileCount = 0;
    QStringList fileTagList;
    int32_t width = 0;
    int32_t height = 0;
    int64_t photo_time = 0;
    QString vendor_name;
    QString camera_type;
    QString aperture_value;
    QString exposure_time;
    QString iso_value;
    QString exposure_bias_val;
    QString focal_length;
    QString max_apeture_val;
    QString meter_mode;
    QString flashlight_on;
    QString GPS_version_id;
    double GPS_latitude = 0;
    double GPS_longtitude = 0;
    int64_t duration_time = 0;
    int32_t bitrate = 0;
    QString song_name;
    QString album_name;
    QString artist_name;
    QString encode_type;

    // "2024年3月9日" / "2024.03.09", the weekday and "HH:mm" of `photo_time` in the system time zone; derived
    // together on the first read of any of them while none is stored; a stored value is never recomputed.
    QString photo_ymd();
    QString photo_week();
    QString photo_hm();
    void setPhoto_ymd(const QString &v) { m_photo_ymd = v; }
    void setPhoto_week(const QString &v) { m_photo_week = v; }
    void setPhoto_hm(const QString &v) { m_photo_hm = v; }

    // The first two characters of the first preferred language.
    static QString getCurrentLanguage();
    // The weekday of `date` (in the date's own time zone): "星期日".."星期六" for "zh", else "Sun.".."Sat.".
    static QString weekdayStringFromDate(const QDateTime &date, const QString &language);

  private:
    void processFormatDate();
    std::optional<QString> m_photo_ymd;
    std::optional<QString> m_photo_week;
    std::optional<QString> m_photo_hm;
};
using QVFileAttributeInfoPtr = std::shared_ptr<QVFileAttributeInfo>;
