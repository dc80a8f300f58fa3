#include "service/QVNasStorageService.h"

#include "broker/QVNasPrivateInterfaceProtocol.h"

namespace {

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

}  // namespace

// ---- listings and queries ----

QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileListWithStartIndex(
    int32_t startIndex, int32_t count, const QVNasPathInfoPtr &searchPathInfo, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    return broker().qvNasGetFileListWithStartIndex(startIndex, count, searchPathInfo, sequenceType,
                                                   std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileMutilTypeListWithStartIndex(
    int32_t startIndex, int32_t count, const QVariantList &types, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    return broker().qvNasGetFileMutilTypeListWithStartIndex(startIndex, count, types, sequenceType,
                                                            std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileMutilTypeListWithStartIndex(
    int32_t startIndex, int32_t count, const QVariantList &types, int32_t, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    return broker().qvNasGetFileMutilTypeListWithStartIndex(startIndex, count, types, sequenceType,
                                                            std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetDirTypeListWithStartIndex(int32_t startIndex, int32_t count,
                                                                           int64_t fileType,
                                                                           int64_t sequenceType,
                                                                           QVNasCompletionBlock completion) {
    return broker().qvNasGetDirTypeListWithStartIndex(startIndex, count, fileType, sequenceType,
                                                      std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileTypeListWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                                          int32_t startIndex, int32_t count,
                                                                          int64_t fileType,
                                                                          int64_t sequenceType,
                                                                          QVNasCompletionBlock completion) {
    return broker().qvNasGetFileTypeListWithPathInfo(pathInfo, startIndex, count, fileType, sequenceType,
                                                     std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasIsExistedWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                                    QVNasCompletionBlock completion) {
    return broker().qvNasIsExistedWithPathInfo(pathInfo, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCreateFolderWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                                       QVNasCompletionBlock completion) {
    return broker().qvNasCreateFolderWithPathInfo(pathInfo, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRenameFileWithFromPathInfo(const QVNasPathInfoPtr &fromPathInfo,
                                                                         const QVNasPathInfoPtr &toPathInfo,
                                                                         QVNasCompletionBlock completion) {
    return broker().qvNasRenameFileWithFromPathInfo(fromPathInfo, toPathInfo, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasSearchForMultiWithSearchTitle(
    const QStringList &searchTitle, int64_t searchType, int64_t sequenceType,
    QVNasResultBatchBlock receiveCompletion, QVNasCompletionBlock completion) {
    return broker().qvNasSearchForMultiWithSearchTitle(searchTitle, searchType, sequenceType,
                                                       std::move(receiveCompletion), std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCloseSearchForMultiRequest(const QVNasRequestInfoPtr &request,
                                                                         QVNasCompletionBlock completion) {
    return broker().qvNasCloseSearchForMultiRequest(request, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileAttrWithPathInfo(const QVNasPathInfoPtr &pathInfo,
                                                                      QVNasCompletionBlock completion) {
    return broker().qvNasGetFileAttrWithPathInfo(pathInfo, std::move(completion));
}
QString QVNasStorageService::qvNasGetFileUriByToken(const QVNasPathInfoPtr &pathInfo) {
    return broker().qvNasGetFileUriByToken(pathInfo);
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetGPSFileListWithCoordinate(
    const QVNasCoordinate2DInfoPtr &coordinate, QVNasResultBatchBlock receiveCompletion,
    QVNasCompletionBlock completion) {
    return broker().qvNasGetGPSFileListWithCoordinate(coordinate, std::move(receiveCompletion),
                                                      std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCloseGetGPSFileListWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    return broker().qvNasCloseGetGPSFileListWithRequest(request, std::move(completion));
}

// ---- transfers and file operations ----

QVNasRequestInfoPtr QVNasStorageService::qvNasDownloadFileToLocalPath(
    const QString &localPath, const QVNasPathInfoPtr &downloadPathInfo,
    QVNasTransportProgressBlock progressHandel, QVNasCompletionBlock completion) {
    return broker().qvNasDownloadFileToLocalPath(localPath, downloadPathInfo, std::move(progressHandel),
                                                 std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCancelDownloadFileWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    return broker().qvNasCancelDownloadFileWithRequest(request, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasFilePathUploadWithData(
    const QVNasUploadDataInfoPtr &uploadDataInfo, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return broker().qvNasFilePathUploadWithData(uploadDataInfo, std::move(progressHandel),
                                                std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCloseUploadOperateWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    return broker().qvNasCloseUploadOperateWithRequest(request, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasSetFileTagsWithFilePathInfo(
    const QVNasPathInfoPtr &filePathInfo, const QStringList &tagList, QVNasCompletionBlock completion) {
    return broker().qvNasSetFileTagsWithFilePathInfo(filePathInfo, tagList, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasAddFileTagsWithFilePathInfoList(
    const QList<QVNasPathInfoPtr> &filePathInfoList, const QStringList &tagList,
    QVNasCompletionBlock completion) {
    return broker().qvNasAddFileTagsWithFilePathInfoList(filePathInfoList, tagList, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCopyToWithFromInfo(const QVNasPathInfoPtr &fromInfo,
                                                                 const QVNasPathInfoPtr &toPathInfo,
                                                                 QVNasCopyMoveProgressBlock progressHandel,
                                                                 QVNasCompletionBlock completion) {
    return broker().qvNasCopyToWithFromInfo(fromInfo, toPathInfo, std::move(progressHandel),
                                            std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasMoveToWithFromInfo(const QVNasPathInfoPtr &fromInfo,
                                                                 const QVNasPathInfoPtr &toPathInfo,
                                                                 QVNasCopyMoveProgressBlock progressHandel,
                                                                 QVNasCompletionBlock completion) {
    return broker().qvNasMoveToWithFromInfo(fromInfo, toPathInfo, std::move(progressHandel),
                                            std::move(completion));
}
void QVNasStorageService::qvNasCancelOperateTaskWithRequest(const QVNasRequestInfoPtr &request,
                                                            QVNasCompletionBlock completion) {
    broker().qvNasCancelOperateTaskWithRequest(request, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasDeleteListCbWithList(const QList<QVNasPathInfoPtr> &list,
                                                                   QVNasTransportProgressBlock progressHandel,
                                                                   QVNasCompletionBlock completion) {
    return broker().qvNasDeleteListCbWithList(list, std::move(progressHandel), std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetRelaxUploadAuthValueWithPath(
    const QString &path, int64_t fileSize, int64_t fileModifyTime, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return broker().qvNasGetRelaxUploadAuthValueWithPath(path, fileSize, fileModifyTime,
                                                         std::move(progressHandel), std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCancelRelaxUploadAuthValueWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    return broker().qvNasCancelRelaxUploadAuthValueWithRequest(request, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRelaxUploadWithAuthValue(const QString &authValue,
                                                                       const QVNasPathInfoPtr &targetPathInfo,
                                                                       int64_t fileSize,
                                                                       int64_t fileModifyTime,
                                                                       QVNasCompletionBlock completion) {
    return broker().qvNasRelaxUploadWithAuthValue(authValue, targetPathInfo, fileSize, fileModifyTime,
                                                  std::move(completion));
}

// ---- hidden space ----

QVNasRequestInfoPtr QVNasStorageService::qvNasGetHideSpaceEnable(QVNasCompletionBlock completion) {
    return broker().qvNasGetHideSpaceEnable(std::move(completion));
}
void QVNasStorageService::qvNasTurnOnHideSpace(QVNasCompletionBlock completion) {
    broker().qvNasTurnOnHideSpace(std::move(completion));
}
void QVNasStorageService::qvNasGetHideSpacePasswordStatus(QVNasCompletionBlock completion) {
    broker().qvNasGetHideSpacePasswordStatus(std::move(completion));
}
void QVNasStorageService::qvNasSetHideSpacePassword(const QString &password,
                                                    QVNasCompletionBlock completion) {
    broker().qvNasSetHideSpacePassword(password, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetRouterSmsVerifyCode(QVNasCompletionBlock completion) {
    return broker().qvNasGetRouterSmsVerifyCode(std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasResetHideSpacePasswordByVerifyCode(
    const QString &verifyCode, const QString &password, QVNasCompletionBlock completion) {
    return broker().qvNasResetHideSpacePasswordByVerifyCode(verifyCode, password, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasLoginHideSpaceByPassword(const QString &password,
                                                                       QVNasCompletionBlock completion) {
    return broker().qvNasLoginHideSpaceByPassword(password, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasLogoutHideSpace(QVNasCompletionBlock completion) {
    return broker().qvNasLogoutHideSpace(std::move(completion));
}
void QVNasStorageService::qvNasGetHideSpaceInfo(QVNasCompletionBlock completion) {
    broker().qvNasGetHideSpaceInfo(std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetHideSpaceFileListByStartIndex(
    int32_t startIndex, int32_t count, const QVNasPathInfoPtr &searchPathInfo, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    return broker().qvNasGetHideSpaceFileListByStartIndex(startIndex, count, searchPathInfo, sequenceType,
                                                          std::move(completion));
}

// ---- share links ----

QVNasRequestInfoPtr QVNasStorageService::qvNasCreateShareByFileList(
    const QList<QVNasFileInfoPtr> &shareFileList, int64_t shapeType, int64_t invalidType,
    QVNasCompletionBlock completion) {
    return broker().qvNasCreateShareByFileList(shareFileList, shapeType, invalidType, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetShareListByStartIndex(int32_t startIndex, int32_t count,
                                                                       QVNasCompletionBlock completion) {
    return broker().qvNasGetShareListByStartIndex(startIndex, count, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCancelShareByShareInfo(const QVNasShareFileInfoPtr &shareInfo,
                                                                     QVNasCompletionBlock completion) {
    return broker().qvNasCancelShareByShareInfo(shareInfo, std::move(completion));
}

// ---- recycle bin ----

QVNasRequestInfoPtr QVNasStorageService::qvNasRecycleGetSpaceInfo(QVNasCompletionBlock completion) {
    return broker().qvNasRecycleGetSpaceInfo(std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRecycleGetFileListByStartIndex(
    int32_t startIndex, int32_t count, QVNasCompletionBlock completion) {
    return broker().qvNasRecycleGetFileListByStartIndex(startIndex, count, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRecycleRestoreFileList(
    const QList<QVNasRecycleFileInfoPtr> &list, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return broker().qvNasRecycleRestoreFileList(list, std::move(progressHandel), std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRecycleDeleteFileList(
    const QList<QVNasRecycleFileInfoPtr> &list, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return broker().qvNasRecycleDeleteFileList(list, std::move(progressHandel), std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRecycleEmpty(QVNasTransportProgressBlock progressHandel,
                                                           QVNasCompletionBlock completion) {
    return broker().qvNasRecycleEmpty(std::move(progressHandel), std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRecycleSetInfo(const QVNasRecycleInfoPtr &recycleInfo,
                                                             QVNasCompletionBlock completion) {
    return broker().qvNasRecycleSetInfo(recycleInfo, std::move(completion));
}

// ---- recent records ----

QVNasRequestInfoPtr QVNasRecentService::qvNasRecentGetFileRecordsWithStartIndex(
    int64_t startIndex, int64_t count, int64_t childCount, QVNasCompletionBlock completion) {
    return broker().qvNasGetRecentFileRecordsWithStartIndex(startIndex, count, childCount,
                                                            std::move(completion));
}
QVNasRequestInfoPtr QVNasRecentService::qvNasRecentGetFileAggregationListWithStartIndex(
    int64_t startIndex, int64_t count, int64_t aggregateId, QVNasCompletionBlock completion) {
    return broker().qvNasGetRecentFileAggregationListWithStartIndex(startIndex, count, aggregateId,
                                                                    std::move(completion));
}
QVNasRequestInfoPtr QVNasRecentService::qvNasRecentSetRecordHideWithLogId(int32_t logId, int32_t userId,
                                                                          int32_t bucketId,
                                                                          QVNasCompletionBlock completion) {
    return broker().qvNasSetRecentRecordHideWithLogId(logId, userId, bucketId, std::move(completion));
}
