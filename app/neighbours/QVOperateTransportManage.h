// What the windows use of the transfer scheduler and the delete operation. The scheduler and the
// operation belong to the transfers; until they are installed the scheduler does nothing and a delete
// fails at once (status 3).
#pragma once

#include <QList>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>

#include "model/QVFileInfo.h"
#include "model/QVNasDeviceUserInfo.h"

inline constexpr char kNotif_QVTransportCountChangeNotification[] = "QVTransportCountChangeNotification";

// One direction's tasks (1 uploads, 2 downloads).
class QVTransportInfo {
  public:
    virtual ~QVTransportInfo() = default;
    // The unfinished tasks, newest first.
    virtual QList<QVFileInfoPtr> transportDatas() const { return {}; }
};
using QVTransportInfoPtr = std::shared_ptr<QVTransportInfo>;

class QVOperateTransportManage {
  public:
    // The one scheduler of the process: the installed one, else one that does nothing.
    static QVOperateTransportManage &shareTransportInstance();
    // Installs the scheduler (not owned; null: back to the one that does nothing).
    static void setShareTransportInstance(QVOperateTransportManage *instance);
    virtual ~QVOperateTransportManage() = default;

    // Loads the account's task lists and starts the waiting tasks.
    virtual void startAllTransportTask() {}
    // Stops every transfer; running tasks go back to waiting.
    virtual void quitTransportLifeCycle() {}
    // {"files": QList<QVFileInfoPtr>, "targetInfo": QVFileInfoPtr}; type 1 upload, 2 download.
    virtual void addNewTransportTasks(const QVariantMap &dict, int64_t type) {
        (void)dict;
        (void)type;
    }
    virtual QVTransportInfoPtr uploadTransportInfo();
    virtual QVTransportInfoPtr downloadTransportInfo();
};

using QVOperateStatusBlock = std::function<void(const QVNasTaskOperateStatusInfoPtr &)>;
using QVOperateProgressBlock = std::function<void(float)>;

// Deletes entries (local ones under Documents from the disk, device ones with one device request),
// reporting status 2 at once, progress 0..1, then 4 (done) or 3 (failed), all on the main thread.
class QVOperateDeleteManage {
  public:
    using Maker = std::function<std::shared_ptr<QVOperateDeleteManage>()>;
    // A new operation from the installed maker, else one that fails.
    static std::shared_ptr<QVOperateDeleteManage> create();
    static void setMaker(Maker maker);
    virtual ~QVOperateDeleteManage() = default;

    virtual void setTaskOperateListener(QVOperateStatusBlock status, QVOperateProgressBlock progressHandle) {
        m_status = std::move(status);
        m_progress = std::move(progressHandle);
    }
    // Needs at least one entry.
    virtual void startDeleteFiles(const QList<QVFileInfoPtr> &files, const QList<QVFileInfoPtr> &folders);

  protected:
    QVOperateStatusBlock m_status;
    QVOperateProgressBlock m_progress;
};
using QVOperateDeleteManagePtr = std::shared_ptr<QVOperateDeleteManage>;
