// Firmware check and update of the connected device.
#pragma once

#include <QString>
#include <memory>

#include "broker/QVNasBlocks.h"

class QVNasFWOTAService {
  public:
    virtual ~QVNasFWOTAService() = default;
    // 153: responseData on success a QVNasDeviceOtaInfoPtr.
    virtual QVNasRequestInfoPtr qvNasHasLatestFWVersionWithLanguage(const QString &language,
                                                                    const QString &ip,
                                                                    QVNasCompletionBlock completion);
    // 154: progress is a fraction below 1 or a percentage; 120001 when the update timed out.
    virtual QVNasRequestInfoPtr qvNasSetUpgradeWithIp(const QString &ip,
                                                      QVNasFirmwareProgressBlock progressHandel,
                                                      QVNasCompletionBlock completion);
};
using QVNasFWOTAServicePtr = std::shared_ptr<QVNasFWOTAService>;
