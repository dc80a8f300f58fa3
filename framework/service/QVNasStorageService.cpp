#include "service/QVNasStorageService.h"

#include "service/QVNasServiceAnswer.h"

// Not carried out yet: every request answers 110001 and the file address is empty.
QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileListWithStartIndex(int32_t, int32_t,
                                                                        const QVNasPathInfoPtr &, int64_t,
                                                                        QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(61, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetHideSpaceFileListByStartIndex(
    int32_t, int32_t, const QVNasPathInfoPtr &, int64_t, QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(184, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasIsExistedWithPathInfo(const QVNasPathInfoPtr &,
                                                                    QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(64, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCreateFolderWithPathInfo(const QVNasPathInfoPtr &,
                                                                       QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(62, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasRenameFileWithFromPathInfo(const QVNasPathInfoPtr &,
                                                                         const QVNasPathInfoPtr &,
                                                                         QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(63, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasSearchForMultiWithSearchTitle(const QStringList &, int64_t,
                                                                            int64_t, QVNasResultBatchBlock,
                                                                            QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(130, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCloseSearchForMultiRequest(const QVNasRequestInfoPtr &,
                                                                         QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(131, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetFileAttrWithPathInfo(const QVNasPathInfoPtr &,
                                                                      QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(70, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasCopyToWithFromInfo(const QVNasPathInfoPtr &,
                                                                 const QVNasPathInfoPtr &,
                                                                 QVNasCopyMoveProgressBlock,
                                                                 QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(135, std::move(completion));
}
QVNasRequestInfoPtr QVNasStorageService::qvNasMoveToWithFromInfo(const QVNasPathInfoPtr &,
                                                                 const QVNasPathInfoPtr &,
                                                                 QVNasCopyMoveProgressBlock,
                                                                 QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(136, std::move(completion));
}
void QVNasStorageService::qvNasCancelOperateTaskWithRequest(const QVNasRequestInfoPtr &,
                                                            QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(137, std::move(completion));
}
QString QVNasStorageService::qvNasGetFileUriByToken(const QVNasPathInfoPtr &) {
    return QStringLiteral("");
}
QVNasRequestInfoPtr QVNasStorageService::qvNasGetHideSpaceEnable(QVNasCompletionBlock completion) {
    return qvNasAnswerNotAvailable(175, std::move(completion));
}
void QVNasStorageService::qvNasTurnOnHideSpace(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(176, std::move(completion));
}
void QVNasStorageService::qvNasGetHideSpacePasswordStatus(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(177, std::move(completion));
}
void QVNasStorageService::qvNasSetHideSpacePassword(const QString &, QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(178, std::move(completion));
}
void QVNasStorageService::qvNasGetHideSpaceInfo(QVNasCompletionBlock completion) {
    qvNasAnswerNotAvailable(183, std::move(completion));
}
