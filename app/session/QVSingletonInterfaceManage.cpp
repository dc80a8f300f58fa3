#include "session/QVSingletonInterfaceManage.h"

#include <QVariantMap>

#include "model/QVFileInfo.h"
#include "model/QVNasFileListInfo.h"
#include "tools/QVPrivateTools.h"
#include "tools/QVSingletonDateManage.h"

namespace {

QVNasFileInfoPtr convert(const QVNasFileInfoPtr &e, bool fixPath) {
    auto f = QVFileInfo::shareFileInfo(e);
    const QDateTime d = QVSingletonDateManage::getSystemTimeZoneDate(static_cast<double>(f->date));
    const QVDateFormatter &cf = QVSingletonDateManage::getCreateDateFormatter();
    const QVDateFormatter &mf = QVSingletonDateManage::getModifyDateFormatter();
    // One zone conversion for both texts (the formatters share the zone they were made in).
    const QDateTime zoned = d.toTimeZone(cf.timeZone);
    f->setCreate_time(cf.locale.toString(zoned, cf.format));
    f->setModify_time(
        mf.locale.toString(mf.timeZone == cf.timeZone ? zoned : d.toTimeZone(mf.timeZone), mf.format));
    if (fixPath && e && !e->path.startsWith(QLatin1Char('/'))) f->path = QLatin1Char('/') + e->path;
    return f;
}

QList<QVNasFileInfoPtr> convertAll(const QList<QVNasFileInfoPtr> &list, bool fixPath) {
    QList<QVNasFileInfoPtr> out;
    out.reserve(list.size());
    for (const QVNasFileInfoPtr &e : list)
        if (e) out.append(convert(e, fixPath));
    return out;
}

}  // namespace

QVNasResponseInfoPtr QVSingletonInterfaceManage::qvNasTransformResponseData(const QVNasResponseInfoPtr &r) {
    if (!r) return r;
    switch (r->clientCommand) {
        case 98: {
            auto list = r->responseData.value<QVNasFileListInfoPtr>();
            if (list) list->fileList = convertAll(list->fileList, false);
            break;
        }
        case 61:
        case 134:
        case 184: {
            auto list = r->responseData.value<QVNasFileListInfoPtr>();
            if (!list) break;
            list->fileList = convertAll(list->fileList, true);
            r->responseData = QVariantMap{{QStringLiteral("fileListInfo"), QVariant::fromValue(list)}};
            break;
        }
        case 96:
        case 100: {
            auto list = r->responseData.value<QVNasFileListInfoPtr>();
            if (!list) break;
            QVariantList files;
            for (const QVNasFileInfoPtr &f : convertAll(list->fileList, true))
                files.append(QVariant::fromValue(f));
            r->responseData = QVariantMap{
                {QStringLiteral("folders"), QVariantList{}},
                {QStringLiteral("files"), files},
                {QStringLiteral("pageDict"), QVariantMap{{QStringLiteral("totalCount"), list->totalCount},
                                                         {QStringLiteral("totalPage"), 1},
                                                         {QStringLiteral("pageSize"), 1}}}};
            break;
        }
        case 141: {
            // Each group keeps only its first entry, converted; an empty group stays empty.
            for (const auto &group : r->responseData.value<QList<QVNasDeviceAggregationInfoPtr>>()) {
                if (!group || group->fileList.isEmpty()) continue;
                const QVNasFileInfoPtr first = group->fileList.first();
                group->fileList =
                    first ? QList<QVNasFileInfoPtr>{convert(first, false)} : QList<QVNasFileInfoPtr>{};
            }
            break;
        }
        default:
            break;
    }
    return r;
}

void QVSingletonInterfaceManage::setFramework(QVNasClientMacFramework *framework) {
    m_qvNasAccountService.reset();
    m_qvNasUserService.reset();
    m_qvNasDeviceConnectService.reset();
    m_qvNasInitDeviceService.reset();
    m_qvNasDeviceUserService.reset();
    m_qvNasDeviceManagerService.reset();
    m_qvNasFWOTAService.reset();
    m_qVNasUSBBackupService.reset();
    m_qVNasBackupService.reset();
    m_qVNasRecentService.reset();
    m_qVNasStorageService.reset();
    m_framework = framework;
    if (m_framework) m_framework->setDelegate(this);
}

QVNasClientMacFramework &QVSingletonInterfaceManage::zeDuzUdurivOVU() {
    if (!m_framework) m_framework = &QVNasClientMacFramework::shareNasClientSdkManager(this);
    return *m_framework;
}

// Each getter makes its object on the first read (the entry object throws before the service started,
// and nothing is kept then) and answers the same object afterwards.
QVNasAccountServicePtr QVSingletonInterfaceManage::qvNasAccountService() {
    if (!m_qvNasAccountService) m_qvNasAccountService = zeDuzUdurivOVU().createAccountService();
    return m_qvNasAccountService;
}
QVNasUserServicePtr QVSingletonInterfaceManage::qvNasUserService() {
    if (!m_qvNasUserService)
        m_qvNasUserService = zeDuzUdurivOVU().createUserServiceByAccessToken(QStringLiteral(""));
    return m_qvNasUserService;
}
QVNasDeviceConnectServicePtr QVSingletonInterfaceManage::qvNasDeviceConnectService() {
    if (!m_qvNasDeviceConnectService)
        m_qvNasDeviceConnectService =
            zeDuzUdurivOVU().createDeviceConnectServiceByUserService(qvNasUserService(), QStringLiteral(""));
    return m_qvNasDeviceConnectService;
}
QVNasInitDeviceServicePtr QVSingletonInterfaceManage::qvNasInitDeviceService() {
    if (!m_qvNasInitDeviceService)
        m_qvNasInitDeviceService = qvNasDeviceConnectService()->getInitDeviceService();
    return m_qvNasInitDeviceService;
}
QVNasDeviceUserServicePtr QVSingletonInterfaceManage::qvNasDeviceUserService() {
    if (!m_qvNasDeviceUserService)
        m_qvNasDeviceUserService = qvNasDeviceConnectService()->getDeviceUserService();
    return m_qvNasDeviceUserService;
}
QVNasDeviceManagerServicePtr QVSingletonInterfaceManage::qvNasDeviceManagerService() {
    if (!m_qvNasDeviceManagerService)
        m_qvNasDeviceManagerService = qvNasDeviceConnectService()->getDeviceManagerService();
    return m_qvNasDeviceManagerService;
}
QVNasFWOTAServicePtr QVSingletonInterfaceManage::qvNasFWOTAService() {
    if (!m_qvNasFWOTAService) m_qvNasFWOTAService = qvNasDeviceConnectService()->getFWOTAService();
    return m_qvNasFWOTAService;
}
QVNasUSBBackupServicePtr QVSingletonInterfaceManage::qVNasUSBBackupService() {
    if (!m_qVNasUSBBackupService) m_qVNasUSBBackupService = qvNasDeviceUserService()->qVNasUSBBackupService();
    return m_qVNasUSBBackupService;
}
QVNasBackupServicePtr QVSingletonInterfaceManage::qVNasBackupService() {
    if (!m_qVNasBackupService) m_qVNasBackupService = qvNasDeviceUserService()->qVNasBackupService();
    return m_qVNasBackupService;
}
QVNasRecentServicePtr QVSingletonInterfaceManage::qVNasRecentService() {
    if (!m_qVNasRecentService) m_qVNasRecentService = qvNasDeviceUserService()->qVNasRecentService();
    return m_qVNasRecentService;
}
QVNasStorageServicePtr QVSingletonInterfaceManage::qVNasStorageService() {
    if (!m_qVNasStorageService) m_qVNasStorageService = qvNasDeviceUserService()->qVNasStorageService();
    return m_qVNasStorageService;
}

void QVSingletonInterfaceManage::startDisconnectDevice(std::function<void()> finished) {
    QVPrivateTools::showLoadBoxWithShowText(QStringLiteral(""), nullptr);
    qvNasDeviceConnectService()->qvNasDisconectDevice(
        [this, finished = std::move(finished)](const QVNasResponseInfoPtr &) {
            disconnectFinish();
            if (finished) finished();
        });
}

void QVSingletonInterfaceManage::disconnectFinish() {
    QVPrivateTools::hideLoadBoxWithShowText(QStringLiteral(""));
}
