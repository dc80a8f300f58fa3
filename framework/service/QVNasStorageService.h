// The file-level services of a logged-in device user: the storage service (listings, search, folders,
// attributes, copy and move, file addresses, the hidden space) and the recent, USB-backup and backup
// services. Completions run on the main thread, copy and move progress on a worker thread.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "broker/QVNasBlocks.h"
#include "model/QVNasPathInfo.h"

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
};
using QVNasStorageServicePtr = std::shared_ptr<QVNasStorageService>;

class QVNasRecentService {
  public:
    virtual ~QVNasRecentService() = default;
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
