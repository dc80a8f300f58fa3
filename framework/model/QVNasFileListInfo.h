// Listing pages and the records around them: a page of a listing, file-type statistics, the map rectangle of
// the photo-location query, and the recent-records pages.
#pragma once

#include <QDebug>
#include <QList>
#include <QString>
#include <cstdint>
#include <memory>

#include "model/QVNasFileInfo.h"

class QVNasFileListInfo {
  public:
    int32_t count = 0;       // entries the device reports for this page
    int32_t totalCount = 0;  // entries of the whole listing
    QList<QVNasFileInfoPtr> fileList;
    QString debugDescription() const;
};
using QVNasFileListInfoPtr = std::shared_ptr<QVNasFileListInfo>;

class QVNasSortClassInfo {
  public:
    uint64_t fileType = 0;
    uint64_t totalCount = 0;
    uint64_t totalSize = 0;
    QString debugDescription() const;
};
using QVNasSortClassInfoPtr = std::shared_ptr<QVNasSortClassInfo>;

class QVNasCoordinate2DInfo {
  public:
    double leftUpLongitude = 0;
    double leftUpLatitude = 0;
    double rightDownLongitude = 0;
    double rightDownLatitude = 0;
};
using QVNasCoordinate2DInfoPtr = std::shared_ptr<QVNasCoordinate2DInfo>;

class QVNasDeviceAggregationInfo {
  public:
    int32_t logId = 0;
    bool hideAccess = false;
    int32_t aggregationId = 0;
    int32_t offset = 0;
    int32_t len = 0;
    int32_t count = 0;
    int32_t totalCount = 0;
    int32_t videoCount = 0;
    int32_t pictureCount = 0;
    bool isAffrefation = false;
    int64_t recordType = 0;
    int64_t time = 0;
    QString ymdTime;  // "yyyy-MM-dd" of `time` in the system time zone
    QString hmTime;   // "HH:mm"
    int32_t userId = 0;
    int32_t bucketId = 0;
    QString userNickName;
    QList<QVNasFileInfoPtr> fileList;

    // Sets `time` and the two texts from it, in the system time zone.
    void setTimeAndTexts(int64_t seconds);
};
using QVNasDeviceAggregationInfoPtr = std::shared_ptr<QVNasDeviceAggregationInfo>;

class QVNasRecordListInfo {
  public:
    int32_t offset = 0;
    int32_t len = 0;
    int32_t count = 0;
    int32_t childCount = 0;
    int32_t totalCount = 0;
    QList<QVNasDeviceAggregationInfoPtr> recordList;
};
using QVNasRecordListInfoPtr = std::shared_ptr<QVNasRecordListInfo>;

QDebug operator<<(QDebug d, const QVNasFileListInfo &info);
