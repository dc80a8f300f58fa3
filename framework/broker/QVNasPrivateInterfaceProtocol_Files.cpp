// The broker's listing and query requests: type listings, albums, folder creation and rename, tags,
// attributes, the search and the photo listing with their closes, the file address and recent records.
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "platform/Log.h"

namespace {

using Op = void (QVNasSDKManagerFile::*)(const QVNasTaskInfoPtr &);

QVNasPrivateInterfaceProtocol::BridgeOperation file(Op op) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerFile &>(lib).*op)(task);
    };
}

QVariant path(const QVNasPathInfoPtr &p) {
    return QVariant::fromValue(p);
}

qlonglong wide(int64_t v) {
    return static_cast<qlonglong>(v);
}

}  // namespace

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetFileMutilTypeListWithStartIndex(
    int32_t startIndex, int32_t count, const QVariantList &types, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("startIndex"), startIndex},
                           {QStringLiteral("count"), count},
                           {QStringLiteral("typeList"), types},
                           {QStringLiteral("sequenceType"), wide(sequenceType)}};
    return submitRequest(134, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetFileMutilTypeListWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetFileMutilTypeListWithStartIndex(
    int32_t startIndex, int32_t count, const QVariantList &types, int32_t filterFlag, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    // The flag is filed but not sent: the device gets its filter flag from the command codec.
    const QVariantMap dict{{QStringLiteral("startIndex"), startIndex},
                           {QStringLiteral("count"), count},
                           {QStringLiteral("typeList"), types},
                           {QStringLiteral("filterFlag"), filterFlag},
                           {QStringLiteral("sequenceType"), wide(sequenceType)}};
    return submitRequest(170, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetFileMutilTypeListWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetDirTypeListWithStartIndex(
    int32_t startIndex, int32_t count, int64_t fileType, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("startIndex"), startIndex},
                           {QStringLiteral("count"), count},
                           {QStringLiteral("fileType"), wide(fileType)},
                           {QStringLiteral("sequenceType"), wide(sequenceType)}};
    return submitRequest(98, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetDirTypeListWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetFileTypeListWithPathInfo(
    const QVNasPathInfoPtr &pathInfo, int32_t startIndex, int32_t count, int64_t fileType,
    int64_t sequenceType, QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("searchPathInfo"), path(pathInfo)},
                           {QStringLiteral("startIndex"), startIndex},
                           {QStringLiteral("count"), count},
                           {QStringLiteral("fileType"), wide(fileType)},
                           {QStringLiteral("sequenceType"), wide(sequenceType)}};
    return submitRequest(100, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetFileTypeListByPathWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCreateFolderWithPathInfo(
    const QVNasPathInfoPtr &dirPathInfo, QVNasCompletionBlock completion) {
    return submitRequest(62, {{QStringLiteral("dirPathInfo"), path(dirPathInfo)}}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFMkdirsWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRenameFileWithFromPathInfo(
    const QVNasPathInfoPtr &fromPathInfo, const QVNasPathInfoPtr &toPathInfo,
    QVNasCompletionBlock completion) {
    return submitRequest(63,
                         {{QStringLiteral("fromPathInfo"), path(fromPathInfo)},
                          {QStringLiteral("toPathInfo"), path(toPathInfo)}},
                         std::move(completion), {}, file(&QVNasSDKManagerFile::qvFRenameWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetFileAttrWithPathInfo(
    const QVNasPathInfoPtr &filePathInfo, QVNasCompletionBlock completion) {
    return submitRequest(70, {{QStringLiteral("filePathInfo"), path(filePathInfo)}}, std::move(completion),
                         {}, file(&QVNasSDKManagerFile::qvGetFileAttrWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasSetFileTagsWithFilePathInfo(
    const QVNasPathInfoPtr &filePathInfo, const QStringList &tagList, QVNasCompletionBlock completion) {
    return submitRequest(60,
                         {{QStringLiteral("filePathInfo"), path(filePathInfo)},
                          {QStringLiteral("fileTagNameList"), QVariant(tagList)}},
                         std::move(completion), {}, file(&QVNasSDKManagerFile::qvFSetTagWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasAddFileTagsWithFilePathInfoList(
    const QList<QVNasPathInfoPtr> &filePathInfoList, const QStringList &tagList,
    QVNasCompletionBlock completion) {
    QVariantList paths;
    for (const auto &p : filePathInfoList) paths.append(path(p));
    return submitRequest(
        95,
        {{QStringLiteral("filePathInfoList"), paths}, {QStringLiteral("fileTagNameList"), QVariant(tagList)}},
        std::move(completion), {}, file(&QVNasSDKManagerFile::qvFAddTagsWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetGPSFileListWithCoordinate(
    const QVNasCoordinate2DInfoPtr &coordinate, QVNasResultBatchBlock receive,
    QVNasCompletionBlock completion) {
    return submitRequest(124, {{QStringLiteral("coordinate2DInfo"), QVariant::fromValue(coordinate)}},
                         std::move(completion), QVNasProgressHandel(std::move(receive)),
                         file(&QVNasSDKManagerFile::qvGetFileListByGPSWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasSearchForMultiWithSearchTitle(
    const QStringList &titles, int64_t searchType, int64_t sequenceType, QVNasResultBatchBlock receive,
    QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("searchTitleList"), QVariant(titles)},
                           {QStringLiteral("searchType"), wide(searchType)},
                           {QStringLiteral("sortType"), wide(sequenceType)}};
    return submitRequest(130, dict, std::move(completion), QVNasProgressHandel(std::move(receive)),
                         file(&QVNasSDKManagerFile::qvFSearchForMultiWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::submitClose(int32_t command,
                                                               const QVNasRequestInfoPtr &closed,
                                                               QVNasCompletionBlock completion,
                                                               BridgeOperation operation) {
    const int32_t seq = closed ? closed->clientCommandSeq : 0;
    QVNasRequestInfoPtr handle = submitRequest(command, {{QStringLiteral("cancelSeq"), seq}},
                                               std::move(completion), {}, std::move(operation), Lane::Mark);
    // From here on the closed request's batches find no callback and are dropped.
    std::lock_guard<std::mutex> lock(m_mu);
    m_progressHandelDict.remove(seq);
    return handle;
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCloseGetGPSFileListWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    return submitClose(125, request, std::move(completion),
                       file(&QVNasSDKManagerFile::qvCloseGetFileListByGPS));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCloseSearchForMultiRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    return submitClose(131, request, std::move(completion),
                       file(&QVNasSDKManagerFile::qvFCloseSearchForMultiWithTask));
}

QString QVNasPrivateInterfaceProtocol::qvNasGetFileUriByToken(const QVNasPathInfoPtr &pathInfo) {
    return m_clientLib->qvGetFileUriByToken(pathInfo);
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetRecentFileRecordsWithStartIndex(
    int64_t startIndex, int64_t count, int64_t childCount, QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("startIndex"), wide(startIndex)},
                           {QStringLiteral("count"), wide(count)},
                           {QStringLiteral("childCount"), wide(childCount)}};
    return submitRequest(57, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvGetFileRecordsList));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetRecentFileAggregationListWithStartIndex(
    int64_t startIndex, int64_t count, int64_t aggregateId, QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("startIndex"), wide(startIndex)},
                           {QStringLiteral("count"), wide(count)},
                           {QStringLiteral("aggregateId"), wide(aggregateId)}};
    return submitRequest(141, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvGetFileAggregationList));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasSetRecentRecordHideWithLogId(
    int32_t logId, int32_t userId, int32_t bucketId, QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("logId"), logId},
                           {QStringLiteral("userId"), userId},
                           {QStringLiteral("bucketId"), bucketId}};
    return submitRequest(160, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvSetRecentRecordHideWithTask));
}
