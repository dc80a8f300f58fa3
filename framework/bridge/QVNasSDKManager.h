// What the broker asks of the bridge, as five protocols. Each declares the operations built so far; the
// command families add theirs.
#pragma once

#include <memory>

#include "broker/QVNasClientLibDelegate.h"
#include "broker/QVNasTaskInfo.h"

struct QVNasSDKManagerService {
    virtual ~QVNasSDKManagerService() = default;
    virtual void qvStartServiceWithTask(const QVNasTaskInfoPtr &task,
                                        const std::shared_ptr<QVNasClientLibDelegate> &delegate) = 0;
    virtual void qvStopServiceWithTask(const QVNasTaskInfoPtr &task) = 0;
};

struct QVNasSDKManagerDevice {
    virtual ~QVNasSDKManagerDevice() = default;
};

struct QVNasSDKManagerRouter {
    virtual ~QVNasSDKManagerRouter() = default;
};

struct QVNasSDKManagerFile {
    virtual ~QVNasSDKManagerFile() = default;
    virtual void qvFGetFileListWithTask(const QVNasTaskInfoPtr &task) = 0;  // answers on its worker thread
    virtual void qvFIsExistedWithTask(const QVNasTaskInfoPtr &task) = 0;    // runs on the broker's caller
};

struct QVNasSDKManagerRaid {
    virtual ~QVNasSDKManagerRaid() = default;
};

struct QVNasSDKManager : QVNasSDKManagerService,
                         QVNasSDKManagerDevice,
                         QVNasSDKManagerRouter,
                         QVNasSDKManagerFile,
                         QVNasSDKManagerRaid {};

// The one bridge, as the broker sees it.
class QVNasSDKLibrary final {
  public:
    QVNasSDKLibrary() = delete;
    static QVNasSDKManager &shareSdkManager();
};
