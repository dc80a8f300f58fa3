// A device's state: hardware and network details, system load, firmware-update information, the status with
// its detail records, plug-in backup modes, disks, the timed power switch, the P2P session the device sees,
// and the RAID records of the public interface.
#pragma once

#include <QDebug>
#include <QList>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <memory>

class QVNasDeviceAdvancedInfo {
  public:
    QString device_model;
    QString customCode;
    QString versionCode;
    QString mac;
    QString wan_wired_ip;
    QString wan_wired_mask;
    int32_t version_flag = 0;
    int32_t time = 0;
    QString stmVer;
};
using QVNasDeviceAdvancedInfoPtr = std::shared_ptr<QVNasDeviceAdvancedInfo>;

class QVNasDeviceSysInfo {
  public:
    QString deviceName;
    QString fileSystem;
    int64_t bootTime = 0;
    double cpuRate = 0;
    double ramRate = 0;
};
using QVNasDeviceSysInfoPtr = std::shared_ptr<QVNasDeviceSysInfo>;

// The text getters store and return "" while the value is null.
class QVNasDeviceOtaInfo {
  public:
    int64_t fileSize = 0;
    int32_t upgrade_time = 0;
    bool isHaveNewVersion = false;
    bool isNeedForceUpdate = false;

    QString version() { return stored(m_version); }
    QString uri() { return stored(m_uri); }
    QString name() { return stored(m_name); }
    QString description_zh() { return stored(m_description_zh); }
    QString description_en() { return stored(m_description_en); }
    QString product() { return stored(m_product); }
    QString otaDescription() { return stored(m_otaDescription); }
    void setVersion(const QString &v) { m_version = v; }
    void setUri(const QString &v) { m_uri = v; }
    void setName(const QString &v) { m_name = v; }
    void setDescription_zh(const QString &v) { m_description_zh = v; }
    void setDescription_en(const QString &v) { m_description_en = v; }
    void setProduct(const QString &v) { m_product = v; }
    void setOtaDescription(const QString &v) { m_otaDescription = v; }

    QString debugDescription();

  private:
    static QString stored(QString &v) {
        if (v.isNull()) v = QStringLiteral("");
        return v;
    }
    QString m_version, m_uri, m_name, m_description_zh, m_description_en, m_product, m_otaDescription;
};
using QVNasDeviceOtaInfoPtr = std::shared_ptr<QVNasDeviceOtaInfo>;

class QVNasDeviceStatusInitInfo {
  public:
    int32_t mode = 0;
};
class QVNasDeviceStatusSyncInfo {
  public:
    int64_t dataSyncTime = 0;
};
class QVNasDeviceStatusExpanInfo {
  public:
    int64_t curDiskCapacity = 0;
    int64_t expanCapacity = 0;
    int64_t expanTime = 0;
};
using QVNasDeviceStatusInitInfoPtr = std::shared_ptr<QVNasDeviceStatusInitInfo>;
using QVNasDeviceStatusSyncInfoPtr = std::shared_ptr<QVNasDeviceStatusSyncInfo>;
using QVNasDeviceStatusExpanInfoPtr = std::shared_ptr<QVNasDeviceStatusExpanInfo>;

class QVNasDeviceStatusInfo {
  public:
    int64_t deviceStatus = 0;
    // By status: 1000 a QVNasDeviceOtaInfoPtr, 3001 QVNasDeviceStatusInitInfoPtr, 3003
    // QVNasDeviceStatusSyncInfoPtr, 3005 QVNasDeviceStatusExpanInfoPtr; null otherwise.
    QVariant deviceStatusMessage;
};
using QVNasDeviceStatusInfoPtr = std::shared_ptr<QVNasDeviceStatusInfo>;

class QVNasDevicePlugBackupConfigInfo {
  public:
    int64_t usbBackupMode = 0;
    int64_t ptpBackupMode = 0;
};
using QVNasDevicePlugBackupConfigInfoPtr = std::shared_ptr<QVNasDevicePlugBackupConfigInfo>;

class QVNasDiskStatusInfo {
  public:
    int32_t devNumber = 0;
    QString devNode;
    QString devModel;
    QString serialNumber;
    int64_t diskCapacity = 0;
    int64_t healthStatus = 0;
    bool temperatureDisable = false;
    int32_t temperatureCelsius = 0;
};
using QVNasDiskStatusInfoPtr = std::shared_ptr<QVNasDiskStatusInfo>;

class QVNasDiskStatusList {
  public:
    QList<QVNasDiskStatusInfoPtr> diskStatusList;
    int64_t diskMode = 0;
};
using QVNasDiskStatusListPtr = std::shared_ptr<QVNasDiskStatusList>;

class QVNasDeviceSwitchTimeInfo {
  public:
    int64_t startUpTime = 0;
    int64_t shutDownTime = 0;
    int64_t poolType = 0;
};
using QVNasDeviceSwitchTimeInfoPtr = std::shared_ptr<QVNasDeviceSwitchTimeInfo>;

class QVNasPeerTunnelSessionInfo {
  public:
    int32_t nSID = 0;
    int32_t nMode = 0;
    int32_t nNatType = 0;
    QString szRemoteIP;
    int32_t nRemotePort = 0;
    int32_t nVersion = 0;
};
using QVNasPeerTunnelSessionInfoPtr = std::shared_ptr<QVNasPeerTunnelSessionInfo>;

class QVRaidInfo {
  public:
    int32_t mode = 0, disk_num = 0, disk_change = 0, disk_location = 0, rebuilding = 0, rebuild_finished = 0,
            mount = 0, format = 0, extend_cap = 0, extend_cap_finish = 0, extend_disk_size = 0;
};
class QVRaidDiskStatusInfo {
  public:
    int32_t disk_status = 0, disk_location = 0, rebuild_time = 0;
};
class QVNasRaidRebuildInfo {
  public:
    int32_t rebuilding = 0, percent = 0, rest_time = 0, rebuild_finish = 0;
};
