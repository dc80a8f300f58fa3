// Firmware check, update and the follow-up of an update under way on the device: each method forwards to
// the broker with its arguments as received and returns the broker's handle.
#pragma once

#include <QString>
#include <memory>

#include "broker/QVNasBlocks.h"

class QVNasFWOTAService {
  public:
    virtual ~QVNasFWOTAService() = default;
    // 153: responseData a QVNasDeviceOtaInfoPtr; 0 or 110284 (the device must be updated) both succeed.
    virtual QVNasRequestInfoPtr qvNasHasLatestFWVersionWithLanguage(const QString &language,
                                                                    const QString &ip,
                                                                    QVNasCompletionBlock completion);
    // 154: progress is the device's percentage (0 to 100), on a worker thread; 120001 when the update
    // timed out, 110285 when one already runs, 110286 when it failed.
    virtual QVNasRequestInfoPtr qvNasSetUpgradeWithIp(const QString &ip,
                                                      QVNasFirmwareProgressBlock progressHandel,
                                                      QVNasCompletionBlock completion);
    // 156: follows an update that runs on the device (0 at once when none does); progress is a fraction
    // (0.0 to 1.0), on a worker thread.
    virtual QVNasRequestInfoPtr qvNasListenWithIp(const QString &ip,
                                                  QVNasFirmwareProgressBlock progressHandel,
                                                  QVNasCompletionBlock completion);
};
using QVNasFWOTAServicePtr = std::shared_ptr<QVNasFWOTAService>;
