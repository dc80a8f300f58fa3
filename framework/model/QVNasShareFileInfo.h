// Share links and the recycle bin's settings, entries and pages.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <memory>

class QVNasShareFileInfo {
  public:
    uint64_t shareId = 0;
    uint64_t shareUserId = 0;
    QString shareUrl;
    QString sharePw;
    uint64_t shareExpect = 0;  // seconds from the creation; 0: permanent
    uint64_t shareCreateTime = 0;
    bool shareHasPw = false;
    int32_t shareStatus = 0;  // 2: expired
    QString shareName;
    int64_t shareFileCount = 0;
};
using QVNasShareFileInfoPtr = std::shared_ptr<QVNasShareFileInfo>;

class QVNasRecycleSpaceTypeInfo {
  public:
    int32_t bucket_id = 0;
    int64_t recycleSpaceType = 0;
};
using QVNasRecycleSpaceTypeInfoPtr = std::shared_ptr<QVNasRecycleSpaceTypeInfo>;

class QVNasRecycleInfo {
  public:
    QList<QVNasRecycleSpaceTypeInfoPtr> recycleSpaceTypeInfoList;
    int64_t defaultSurviveTime = 0;
};
using QVNasRecycleInfoPtr = std::shared_ptr<QVNasRecycleInfo>;

class QVNasRecycleFileInfo {
  public:
    int32_t resyscleKey = 0;
    int64_t size = 0;
    int64_t date = 0;
    bool isFolder = false;
    QString name;
    QString fullName;
    int64_t deleteTime = 0;
    int64_t remainSurvivalTime = 0;
    int32_t bucketId = 0;
    bool isSelected = false;
};
using QVNasRecycleFileInfoPtr = std::shared_ptr<QVNasRecycleFileInfo>;

class QVNasRecycleFileListInfo {
  public:
    int32_t startIndex = 0;
    int32_t count = 0;
    int32_t totalCount = 0;
    QList<QVNasRecycleFileInfoPtr> recycleFileList;
};
using QVNasRecycleFileListInfoPtr = std::shared_ptr<QVNasRecycleFileListInfo>;
