// Transfer and file-operation requests: downloads, uploads, the device log, tags, copy, move, delete, the
// check value and the instant upload, and their cancels.
#include <QCoreApplication>

#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "model/QVClientSDKTools.h"
#include "platform/Log.h"

namespace {

// The longest name part kept, in bytes of UTF-8: the whole file name stays far below the usual 255.
constexpr qsizetype kNamePartBytes = 64;

QVNasPrivateInterfaceProtocol::BridgeOperation fileOp(
    void (QVNasSDKManagerFile::*op)(const QVNasTaskInfoPtr &)) {
    return [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
        (static_cast<QVNasSDKManagerFile &>(lib).*op)(task);
    };
}

QVariant pathsValue(const QList<QVNasPathInfoPtr> &paths) {
    return QVariant::fromValue(paths);
}

}  // namespace

QString QVNasPrivateInterfaceProtocol::safeNamePart(const QString &name, const QString &fallback) {
    QString kept;
    kept.reserve(name.size());
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        // Separators and control characters (C0, DEL, C1, the line and paragraph separators) go.
        if (u == u'/' || u == u'\\' || u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029)
            continue;
        kept.append(c);
    }
    // Drop every "..", also one that dropping another has formed.
    while (kept.contains(QLatin1String(".."))) kept.replace(QLatin1String(".."), QLatin1String(""));
    QByteArray utf8 = kept.toUtf8();
    if (utf8.size() > kNamePartBytes) {
        char field[kNamePartBytes + 1];
        QVClientSDKTools::copyToField(field, sizeof field, utf8);  // cuts at a character boundary
        kept = QString::fromUtf8(field);
    }
    return kept.isEmpty() ? fallback : kept;
}

QString QVNasPrivateInterfaceProtocol::logFilePath(const QString &folder, const QString &deviceName,
                                                   const QString &version) {
    return QStringLiteral("%1/%2_iOS_%3.zip")
        .arg(folder, safeNamePart(deviceName, QStringLiteral("device")), safeNamePart(version, QString()));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::submitCancel(int32_t command,
                                                                const QVNasRequestInfoPtr &request,
                                                                QVNasCompletionBlock completion,
                                                                BridgeOperation operation) {
    const int32_t cancelSeq = request ? request->clientCommandSeq : 0;
    // The small lane: a cancel never waits behind the transfers it cancels.
    return submitRequest(command, {{QStringLiteral("cancelSeq"), cancelSeq}}, std::move(completion), {},
                         std::move(operation), Lane::Mark);
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasDownloadFileToLocalPath(
    const QString &localPath, const QVNasPathInfoPtr &downloadPathInfo,
    QVNasTransportProgressBlock progressHandel, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("localPath"), localPath);
    dict.insert(QStringLiteral("downloadPathInfo"), QVariant::fromValue(downloadPathInfo));
    return submitRequest(51, dict, std::move(completion), std::move(progressHandel),
                         fileOp(&QVNasSDKManagerFile::qvFDownloadWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCancelDownloadFileWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    // Before the bridge runs: once this returns, no report of the download reaches its caller.
    if (request) removeProgressWaiting(request->clientCommandSeq);
    return submitCancel(346, request, std::move(completion),
                        fileOp(&QVNasSDKManagerFile::qvFCloseDownloadOperateWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasFilePathUploadWithData(
    const QVNasUploadDataInfoPtr &uploadDataInfo, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return submitRequest(119, {{QStringLiteral("uploadDataInfo"), QVariant::fromValue(uploadDataInfo)}},
                         std::move(completion), std::move(progressHandel),
                         fileOp(&QVNasSDKManagerFile::qvFTagUploadWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCloseUploadOperateWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    // The upload's progress stays filed: its reports go on until it has stopped.
    return submitCancel(346, request, std::move(completion),
                        fileOp(&QVNasSDKManagerFile::qvFCloseUploadOperateWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCopyToWithFromInfo(
    const QVNasPathInfoPtr &fromInfo, const QVNasPathInfoPtr &toPathInfo,
    QVNasCopyMoveProgressBlock progressHandel, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("filePathInfo"), QVariant::fromValue(fromInfo));
    dict.insert(QStringLiteral("targetPathInfo"), QVariant::fromValue(toPathInfo));
    return submitRequest(135, dict, std::move(completion), std::move(progressHandel),
                         fileOp(&QVNasSDKManagerFile::qvFCopyCbWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasMoveToWithFromInfo(
    const QVNasPathInfoPtr &fromInfo, const QVNasPathInfoPtr &toPathInfo,
    QVNasCopyMoveProgressBlock progressHandel, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("filePathInfo"), QVariant::fromValue(fromInfo));
    dict.insert(QStringLiteral("targetPathInfo"), QVariant::fromValue(toPathInfo));
    return submitRequest(136, dict, std::move(completion), std::move(progressHandel),
                         fileOp(&QVNasSDKManagerFile::qvFMoveCbWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCancelOperateTaskWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    auto handle =
        submitCancel(137, request, std::move(completion), fileOp(&QVNasSDKManagerFile::qvFOperateTaskCancel));
    if (request) removeProgressWaiting(request->clientCommandSeq);
    return handle;
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasDeleteListCbWithList(
    const QList<QVNasPathInfoPtr> &list, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    return submitRequest(167, {{QStringLiteral("deletePathInfoList"), pathsValue(list)}},
                         std::move(completion), std::move(progressHandel),
                         fileOp(&QVNasSDKManagerFile::qvFDeleteListCbWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasGetRelaxUploadAuthValueWithPath(
    const QString &path, int64_t fileSize, int64_t fileModifyTime, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("filePath"), path);
    dict.insert(QStringLiteral("fileSize"), static_cast<qlonglong>(fileSize));
    dict.insert(QStringLiteral("fileModifyTime"), static_cast<qlonglong>(fileModifyTime));
    return submitRequest(114, dict, std::move(completion), std::move(progressHandel),
                         fileOp(&QVNasSDKManagerFile::qvFGetRelaxUploadAuthValueWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasCancelRelaxUploadAuthValueWithRequest(
    const QVNasRequestInfoPtr &request, QVNasCompletionBlock completion) {
    auto handle = submitCancel(115, request, std::move(completion),
                               fileOp(&QVNasSDKManagerFile::qvFGetRelaxUploadAuthValueCancelWithTask));
    if (request) removeProgressWaiting(request->clientCommandSeq);
    return handle;
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasRelaxUploadWithAuthValue(
    const QString &authValue, const QVNasPathInfoPtr &targetPathInfo, int64_t fileSize,
    int64_t fileModifyTime, QVNasCompletionBlock completion) {
    QVariantMap dict;
    dict.insert(QStringLiteral("authValue"), authValue);
    dict.insert(QStringLiteral("targetPathInfo"), QVariant::fromValue(targetPathInfo));
    dict.insert(QStringLiteral("fileSize"), static_cast<qlonglong>(fileSize));
    dict.insert(QStringLiteral("fileModifyTime"), static_cast<qlonglong>(fileModifyTime));
    return submitRequest(116, dict, std::move(completion), {},
                         fileOp(&QVNasSDKManagerFile::qvRelaxUploadWithTask));
}

QVNasRequestInfoPtr QVNasPrivateInterfaceProtocol::qvNasDeviceDownloadLogWithLogType(
    int32_t logType, const QString &deviceName, QVNasTransportProgressBlock progressHandel,
    QVNasCompletionBlock completion) {
    // The caches folder is made with its parents when missing; the device's name never leaves it.
    const QString path =
        logFilePath(QVClientSDKTools::getCachesPath(), deviceName, QCoreApplication::applicationVersion());
    QVariantMap dict;
    dict.insert(QStringLiteral("desPath"), path);
    dict.insert(QStringLiteral("logType"), logType);
    return submitRequest(320, dict, std::move(completion), std::move(progressHandel),
                         [](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
                             static_cast<QVNasSDKManagerDevice &>(lib).qvDLogFileDownloadWithTaskInfo(task);
                         });
}
