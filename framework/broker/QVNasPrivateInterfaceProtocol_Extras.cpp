// The broker's hidden-space, share-link and recycle-bin requests: each files its completion (restore,
// delete and empty their progress too) and hands the task to the bridge on the work pool.
#include "broker/QVNasPrivateInterfaceProtocol.h"

namespace {

using Op = void (QVNasSDKManagerFile::*)(const QVNasTaskInfoPtr &);

QVNasPrivateInterfaceProtocol::BridgeOperation file(Op op) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerFile &>(lib).*op)(task);
    };
}

}  // namespace

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetHideSpaceEnable(QVNasCompletionBlock completion) {
    return submitRequest(175, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetHideSpaceEnableByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasTurnOnHideSpace(QVNasCompletionBlock completion) {
    return submitRequest(176, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFTurnOnHideSpaceByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetHideSpacePasswordStatus(
    QVNasCompletionBlock completion) {
    return submitRequest(177, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetHideSpacePasswordStatusByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasSetHideSpacePassword(
    const QString &password, QVNasCompletionBlock completion) {
    return submitRequest(178, {{QStringLiteral("password"), password}}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFSetHideSpacePasswordByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetRouterSmsVerifyCode(
    QVNasCompletionBlock completion) {
    return submitRequest(179, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetRouterSmsVerifyCodeByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasResetHideSpacePasswordByVerifyCode(
    const QString &verifyCode, const QString &password, QVNasCompletionBlock completion) {
    return submitRequest(
        180, {{QStringLiteral("verifyCode"), verifyCode}, {QStringLiteral("password"), password}},
        std::move(completion), {}, file(&QVNasSDKManagerFile::qvFResetHideSpacePasswordByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasLoginHideSpaceByPassword(
    const QString &password, QVNasCompletionBlock completion) {
    return submitRequest(181, {{QStringLiteral("password"), password}}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFLoginHideSpaceByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasLogoutHideSpace(QVNasCompletionBlock completion) {
    return submitRequest(182, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFLogoutHideSpaceByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetHideSpaceInfo(QVNasCompletionBlock completion) {
    return submitRequest(183, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetHideSpaceInfoByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetHideSpaceFileListByStartIndex(
    int32_t startIndex, int32_t count, const QVNasPathInfoPtr &searchPathInfo, int64_t sequenceType,
    QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("startIndex"), startIndex},
                           {QStringLiteral("count"), count},
                           {QStringLiteral("searchPathInfo"), QVariant::fromValue(searchPathInfo)},
                           {QStringLiteral("sequenceType"), static_cast<qlonglong>(sequenceType)}};
    return submitRequest(184, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFGetHideSpaceFileListByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCreateShareByFileList(
    const QList<QVNasFileInfoPtr> &shareFileList, int64_t shapeType, int64_t invalidType,
    QVNasCompletionBlock completion) {
    const QVariantMap dict{{QStringLiteral("shareFileList"), QVariant::fromValue(shareFileList)},
                           {QStringLiteral("shapeType"), static_cast<qlonglong>(shapeType)},
                           {QStringLiteral("invalidType"), static_cast<qlonglong>(invalidType)}};
    return submitRequest(185, dict, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFCreateShareByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetShareListByStartIndex(
    int32_t startIndex, int32_t count, QVNasCompletionBlock completion) {
    return submitRequest(186, {{QStringLiteral("startIndex"), startIndex}, {QStringLiteral("count"), count}},
                         std::move(completion), {}, file(&QVNasSDKManagerFile::qvFGetShareListByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCancelShareByShareInfo(
    const QVNasShareFileInfoPtr &shareInfo, QVNasCompletionBlock completion) {
    // Numbered as a share request; the bridge answers it as 187.
    return submitRequest(185, {{QStringLiteral("shareInfo"), QVariant::fromValue(shareInfo)}},
                         std::move(completion), {}, file(&QVNasSDKManagerFile::qvFCancelShareByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRecycleGetSpaceInfo(QVNasCompletionBlock completion) {
    return submitRequest(200, {}, std::move(completion), {},
                         file(&QVNasSDKManagerFile::qvFRecycleGetSpaceInfoByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRecycleGetFileListByStartIndex(
    int32_t startIndex, int32_t count, QVNasCompletionBlock completion) {
    return submitRequest(201, {{QStringLiteral("startIndex"), startIndex}, {QStringLiteral("count"), count}},
                         std::move(completion), {}, file(&QVNasSDKManagerFile::qvFRecycleGetFileListByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRecycleRestoreFileList(
    const QList<QVNasRecycleFileInfoPtr> &list, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return submitRequest(202, {{QStringLiteral("recycleRestoreList"), QVariant::fromValue(list)}},
                         std::move(completion), std::move(progressHandel),
                         file(&QVNasSDKManagerFile::qvFRecycleRestoreFileListByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRecycleDeleteFileList(
    const QList<QVNasRecycleFileInfoPtr> &list, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return submitRequest(203, {{QStringLiteral("recycleDeleteList"), QVariant::fromValue(list)}},
                         std::move(completion), std::move(progressHandel),
                         file(&QVNasSDKManagerFile::qvFRecycleDeleteFileListByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRecycleEmpty(
    QVNasTransportProgressBlock progressHandel, QVNasCompletionBlock completion) {
    return submitRequest(204, {}, std::move(completion), std::move(progressHandel),
                         file(&QVNasSDKManagerFile::qvFRecycleEmptyByTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRecycleSetInfo(const QVNasRecycleInfoPtr &recycleInfo,
                                                                       QVNasCompletionBlock completion) {
    return submitRequest(205, {{QStringLiteral("recycleInfo"), QVariant::fromValue(recycleInfo)}},
                         std::move(completion), {}, file(&QVNasSDKManagerFile::qvFRecycleSetInfoByTask));
}
