// The file-level services of a logged-in device user: the storage service (listings, search, folders,
// attributes, transfers, copy and move, file addresses, the hidden space, share links, the recycle bin) and
// the recent, USB-backup and backup services. Each method forwards to the request broker with its
// arguments unchanged and returns what the broker returns. Completions run on the main thread (the folder
// page's on its worker, the path test's before the method returns); progress runs on a worker thread.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <cstdint>
#include <memory>

#include "broker/QVNasBlocks.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasFileListInfo.h"
#include "model/QVNasPathInfo.h"
#include "model/QVNasShareFileInfo.h"

class QVNasStorageService {
  public:
    virtual ~QVNasStorageService() = default;

    // 61: responseData a QVNasFileListInfoPtr (entries beginning with "." left out).
    virtual QVNasRequestInfoPtr qvNasGetFileListWithStartIndex(int32_t startIndex, int32_t count,
                                                               const QVNasPathInfoPtr &searchPathInfo,
                                                               int64_t sequenceType,
                                                               QVNasCompletionBlock completion);
    // 184: the same for a folder of the hidden space.
    virtual QVNasRequestInfoPtr qvNasGetHideSpaceFileListByStartIndex(int32_t startIndex, int32_t count,
                                                                      const QVNasPathInfoPtr &searchPathInfo,
                                                                      int64_t sequenceType,
                                                                      QVNasCompletionBlock completion);
    // 64: 0 when the path exists.
    virtual QVNasRequestInfoPtr qvNasIsExistedWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                           QVNasCompletionBlock completion);
    // 62.
    virtual QVNasRequestInfoPtr qvNasCreateFolderWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                              QVNasCompletionBlock completion);
    // 63: 110218 when the new name is taken.
    virtual QVNasRequestInfoPtr qvNasRenameFileWithFromPathInfo(const QVNasPathInfoPtr &fromPathInfo,
                                                                const QVNasPathInfoPtr &toPathInfo,
                                                                QVNasCompletionBlock completion);
    // 130: batches reach `receiveCompletion` on the main thread (status 1 results, 2 the end), then the
    // completion once.
    virtual QVNasRequestInfoPtr qvNasSearchForMultiWithSearchTitle(const QStringList &searchTitle,
                                                                   int64_t searchType, int64_t sequenceType,
                                                                   QVNasResultBatchBlock receiveCompletion,
                                                                   QVNasCompletionBlock completion);
    // 131: drops the search's batch callback at once; the search's own completion still runs.
    virtual QVNasRequestInfoPtr qvNasCloseSearchForMultiRequest(const QVNasRequestInfoPtr &request,
                                                                QVNasCompletionBlock completion);
    // 70: responseData always a QVFileAttributeInfoPtr (all 0 on failure).
    virtual QVNasRequestInfoPtr qvNasGetFileAttrWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                             QVNasCompletionBlock completion);
    // 135 and 136: progress on a worker thread (operate_status 1 running, 2 item done), then the completion.
    virtual QVNasRequestInfoPtr qvNasCopyToWithFromInfo(const QVNasPathInfoPtr &fromInfo,
                                                        const QVNasPathInfoPtr &toPathInfo,
                                                        QVNasCopyMoveProgressBlock progressHandel,
                                                        QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasMoveToWithFromInfo(const QVNasPathInfoPtr &fromInfo,
                                                        const QVNasPathInfoPtr &toPathInfo,
                                                        QVNasCopyMoveProgressBlock progressHandel,
                                                        QVNasCompletionBlock completion);
    // 137: the request's progress callback is removed at once; the cancel answers 0.
    virtual void qvNasCancelOperateTaskWithRequest(const QVNasRequestInfoPtr &request,
                                                   QVNasCompletionBlock completion);
    // The signed relative address of a file on the device's HTTP server, synchronously; "" without a
    // path or a session token.
    virtual QString qvNasGetFileUriByToken(const QVNasPathInfoPtr &pathInfo);
    // 175: responseData a number, nonzero when the hidden space is on.
    virtual QVNasRequestInfoPtr qvNasGetHideSpaceEnable(QVNasCompletionBlock completion);
    // 176.
    virtual void qvNasTurnOnHideSpace(QVNasCompletionBlock completion);
    // 177: responseData a number, nonzero when a password is set.
    virtual void qvNasGetHideSpacePasswordStatus(QVNasCompletionBlock completion);
    // 178.
    virtual void qvNasSetHideSpacePassword(const QString &password, QVNasCompletionBlock completion);
    // 183: responseData a QVNasDeviceUserInfoPtr whose user_id is the hidden space's bucket.
    virtual void qvNasGetHideSpaceInfo(QVNasCompletionBlock completion);

    // ---- listings (61 above) ----
    virtual QVNasRequestInfoPtr qvNasGetFileMutilTypeListWithStartIndex(int32_t startIndex, int32_t count,
                                                                        const QVariantList &types,
                                                                        int64_t sequenceType,
                                                                        QVNasCompletionBlock completion);
    // 134 as well: the filter flag is not passed on.
    virtual QVNasRequestInfoPtr qvNasGetFileMutilTypeListWithStartIndex(int32_t startIndex, int32_t count,
                                                                        const QVariantList &types,
                                                                        int32_t filterFlag,
                                                                        int64_t sequenceType,
                                                                        QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasGetDirTypeListWithStartIndex(int32_t startIndex, int32_t count,
                                                                  int64_t fileType, int64_t sequenceType,
                                                                  QVNasCompletionBlock completion);  // 98
    virtual QVNasRequestInfoPtr qvNasGetFileTypeListWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                                 int32_t startIndex, int32_t count,
                                                                 int64_t fileType, int64_t sequenceType,
                                                                 QVNasCompletionBlock completion);  // 100
    // ---- transfers and file operations ----
    virtual QVNasRequestInfoPtr qvNasDownloadFileToLocalPath(const QString &localPath,
                                                             const QVNasPathInfoPtr &downloadPathInfo,
                                                             QVNasTransportProgressBlock progressHandel,
                                                             QVNasCompletionBlock completion);  // 51
    virtual QVNasRequestInfoPtr qvNasCancelDownloadFileWithRequest(const QVNasRequestInfoPtr &request,
                                                                   QVNasCompletionBlock completion);  // 346
    virtual QVNasRequestInfoPtr qvNasFilePathUploadWithData(const QVNasUploadDataInfoPtr &uploadDataInfo,
                                                            QVNasTransportProgressBlock progressHandel,
                                                            QVNasCompletionBlock completion);  // 119
    virtual QVNasRequestInfoPtr qvNasCloseUploadOperateWithRequest(const QVNasRequestInfoPtr &request,
                                                                   QVNasCompletionBlock completion);  // 346
    virtual QVNasRequestInfoPtr qvNasSetFileTagsWithFilePathInfo(const QVNasPathInfoPtr &filePathInfo,
                                                                 const QStringList &tagList,
                                                                 QVNasCompletionBlock completion);  // 60
    virtual QVNasRequestInfoPtr qvNasAddFileTagsWithFilePathInfoList(
        const QList<QVNasPathInfoPtr> &filePathInfoList, const QStringList &tagList,
        QVNasCompletionBlock completion);  // 95
    virtual QVNasRequestInfoPtr qvNasDeleteListCbWithList(const QList<QVNasPathInfoPtr> &list,
                                                          QVNasTransportProgressBlock progressHandel,
                                                          QVNasCompletionBlock completion);  // 167
    virtual QVNasRequestInfoPtr qvNasGetRelaxUploadAuthValueWithPath(
        const QString &path, int64_t fileSize, int64_t fileModifyTime,
        QVNasTransportProgressBlock progressHandel,
        QVNasCompletionBlock completion);  // 114
    virtual QVNasRequestInfoPtr qvNasCancelRelaxUploadAuthValueWithRequest(
        const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion);  // 115
    virtual QVNasRequestInfoPtr qvNasRelaxUploadWithAuthValue(const QString &authValue,
                                                              const QVNasPathInfoPtr &targetPathInfo,
                                                              int64_t fileSize, int64_t fileModifyTime,
                                                              QVNasCompletionBlock completion);  // 116
    // ---- photo locations ----
    virtual QVNasRequestInfoPtr qvNasGetGPSFileListWithCoordinate(const QVNasCoordinate2DInfoPtr &coordinate,
                                                                  QVNasResultBatchBlock receiveCompletion,
                                                                  QVNasCompletionBlock completion);  // 124
    virtual QVNasRequestInfoPtr qvNasCloseGetGPSFileListWithRequest(const QVNasRequestInfoPtr &request,
                                                                    QVNasCompletionBlock completion);  // 125
    // ---- hidden space (175, 177, 178, 183 and 184 above) ----
    virtual QVNasRequestInfoPtr qvNasGetRouterSmsVerifyCode(QVNasCompletionBlock completion);  // 179
    virtual QVNasRequestInfoPtr qvNasResetHideSpacePasswordByVerifyCode(
        const QString &verifyCode, const QString &password,
        QVNasCompletionBlock completion);  // 180
    virtual QVNasRequestInfoPtr qvNasLoginHideSpaceByPassword(const QString &password,
                                                              QVNasCompletionBlock completion);  // 181
    virtual QVNasRequestInfoPtr qvNasLogoutHideSpace(QVNasCompletionBlock completion);           // 182
    // ---- share links ----
    // 185: responseData a QVNasShareFileInfoPtr; shapeType 1026 asks for a password, invalidType 1027 for
    // seven days' validity.
    virtual QVNasRequestInfoPtr qvNasCreateShareByFileList(const QList<QVNasFileInfoPtr> &shareFileList,
                                                           int64_t shapeType, int64_t invalidType,
                                                           QVNasCompletionBlock completion);
    // 186: responseData a QList<QVNasShareFileInfoPtr> in the device's order.
    virtual QVNasRequestInfoPtr qvNasGetShareListByStartIndex(int32_t startIndex, int32_t count,
                                                              QVNasCompletionBlock completion);
    // The handle says 185, the answer 187; an id beyond 32 bits answers -1 with nothing sent.
    virtual QVNasRequestInfoPtr qvNasCancelShareByShareInfo(const QVNasShareFileInfoPtr &shareInfo,
                                                            QVNasCompletionBlock completion);
    // ---- recycle bin ----
    virtual QVNasRequestInfoPtr qvNasRecycleGetSpaceInfo(QVNasCompletionBlock completion);  // 200
    virtual QVNasRequestInfoPtr qvNasRecycleGetFileListByStartIndex(int32_t startIndex, int32_t count,
                                                                    QVNasCompletionBlock completion);  // 201
    // 202, 203, 204: progress in entries (status 0 preparing, 1 running, 2 finished) before the answer.
    virtual QVNasRequestInfoPtr qvNasRecycleRestoreFileList(const QList<QVNasRecycleFileInfoPtr> &list,
                                                            QVNasTransportProgressBlock progressHandel,
                                                            QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasRecycleDeleteFileList(const QList<QVNasRecycleFileInfoPtr> &list,
                                                           QVNasTransportProgressBlock progressHandel,
                                                           QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasRecycleEmpty(QVNasTransportProgressBlock progressHandel,
                                                  QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasRecycleSetInfo(const QVNasRecycleInfoPtr &recycleInfo,
                                                    QVNasCompletionBlock completion);  // 205
};
using QVNasStorageServicePtr = std::shared_ptr<QVNasStorageService>;

class QVNasRecentService {
  public:
    virtual ~QVNasRecentService() = default;
    // 57: a page of recent records; 141: the files of one aggregation; 160: hides one record.
    virtual QVNasRequestInfoPtr qvNasRecentGetFileRecordsWithStartIndex(int64_t startIndex, int64_t count,
                                                                        int64_t childCount,
                                                                        QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasRecentGetFileAggregationListWithStartIndex(
        int64_t startIndex, int64_t count, int64_t aggregateId, QVNasCompletionBlock completion);
    virtual QVNasRequestInfoPtr qvNasRecentSetRecordHideWithLogId(int32_t logId, int32_t userId,
                                                                  int32_t bucketId,
                                                                  QVNasCompletionBlock completion);
};
using QVNasRecentServicePtr = std::shared_ptr<QVNasRecentService>;

class QVNasUSBBackupService {
  public:
    virtual ~QVNasUSBBackupService() = default;
};
using QVNasUSBBackupServicePtr = std::shared_ptr<QVNasUSBBackupService>;

class QVNasBackupService {
  public:
    virtual ~QVNasBackupService() = default;
};
using QVNasBackupServicePtr = std::shared_ptr<QVNasBackupService>;
