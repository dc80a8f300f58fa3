// The callback types of the framework's requests, shared by the broker and the service objects.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <variant>

#include "broker/QVNasRequestInfo.h"
#include "broker/QVNasResponseInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasExecTaskProgressInfo.h"
#include "model/QVNasFileInfo.h"

using QVNasCompletionBlock = std::function<void(const QVNasResponseInfoPtr &)>;
using QVNasTransportProgressBlock =
    std::function<void(const QVNasRequestInfoPtr &, int32_t status, int64_t done, int64_t total)>;
using QVNasCopyMoveProgressBlock =
    std::function<void(const QVNasRequestInfoPtr &, const QVNasOperateProgressInfoPtr &)>;
using QVNasResultBatchBlock =
    std::function<void(const QVNasRequestInfoPtr &, const QList<QVNasFileInfoPtr> &, int32_t status)>;
using QVNasFirmwareProgressBlock = std::function<void(const QVNasRequestInfoPtr &, double progress)>;
using QVNasExecProgressBlock = std::function<void(const QVNasExecTaskProgressInfoPtr &)>;
using QVNasRefreshTokenBlock = std::function<void(const QString &refreshToken, int64_t expiry)>;
using QVNasServiceUserBlock = std::function<void(const QVNasServiceUserInfoPtr &)>;
// What a request files in the progress table.
using QVNasProgressHandel =
    std::variant<std::monostate, QVNasTransportProgressBlock, QVNasCopyMoveProgressBlock,
                 QVNasResultBatchBlock, QVNasFirmwareProgressBlock>;
