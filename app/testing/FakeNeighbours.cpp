#include "testing/FakeNeighbours.h"

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

// ---- transfers ----

namespace {
class FixedTransportInfo final : public QVTransportInfo {
  public:
    explicit FixedTransportInfo(QList<QVFileInfoPtr> d) : m_d(std::move(d)) {}
    QList<QVFileInfoPtr> transportDatas() const override { return m_d; }

  private:
    QList<QVFileInfoPtr> m_d;
};
}  // namespace

FakeTransportManage::FakeTransportManage() {
    setShareTransportInstance(this);
}
FakeTransportManage::~FakeTransportManage() {
    setShareTransportInstance(nullptr);
}
void FakeTransportManage::addNewTransportTasks(const QVariantMap &dict, int64_t type) {
    calls << "add";
    added.append({dict, type});
    plat::MainQueue::post(
        [] { plat::NotificationCenter::defaultCenter().post(kNotif_QVTransportCountChangeNotification); });
}
QVTransportInfoPtr FakeTransportManage::uploadTransportInfo() {
    return std::make_shared<FixedTransportInfo>(uploads);
}
QVTransportInfoPtr FakeTransportManage::downloadTransportInfo() {
    return std::make_shared<FixedTransportInfo>(downloads);
}

namespace {
class FakeDeleteManage final : public QVOperateDeleteManage {
  public:
    FakeDeleteManage(std::shared_ptr<FakeDeleteOperations::Operation> op, int64_t finalStatus,
                     QList<float> progress)
        : m_op(std::move(op)), m_final(finalStatus), m_progress(std::move(progress)) {}
    void startDeleteFiles(const QList<QVFileInfoPtr> &files, const QList<QVFileInfoPtr> &folders) override {
        m_op->files = files;
        m_op->folders = folders;
        m_op->started = true;
        auto report = [status = m_status](int64_t s) {
            auto info = std::make_shared<QVNasTaskOperateStatusInfo>();
            info->status = s;
            if (status) status(info);
        };
        report(2);
        plat::MainQueue::post(
            [report, progress = QVOperateDeleteManage::m_progress, fractions = m_progress, final = m_final] {
                for (float f : fractions)
                    if (progress) progress(f);
                report(final);
            });
    }

  private:
    std::shared_ptr<FakeDeleteOperations::Operation> m_op;
    int64_t m_final;
    QList<float> m_progress;
};
}  // namespace

FakeDeleteOperations::FakeDeleteOperations() {
    QVOperateDeleteManage::setMaker([this] {
        auto op = std::make_shared<Operation>();
        operations.append(op);
        return std::make_shared<FakeDeleteManage>(op, finalStatus, progress);
    });
}
FakeDeleteOperations::~FakeDeleteOperations() {
    QVOperateDeleteManage::setMaker({});
}

// ---- thumbnails ----

FakeImageDownLibrary::FakeImageDownLibrary() {
    setShareImageDownloadLibrary(this);
}
FakeImageDownLibrary::~FakeImageDownLibrary() {
    setShareImageDownloadLibrary(nullptr);
}
void FakeImageDownLibrary::insertToDownloadLibrary(const QVNasImageDownInfoPtr &info,
                                                   QVNasImageDownCompletion completion) {
    for (const auto &w : m_waiting) {
        if (w.first->imagePath == info->imagePath) {
            ++dropped;  // one request per address: the new one is dropped without a call
            return;
        }
    }
    requests.append(info);
    m_waiting.append({info, std::move(completion)});
}
void FakeImageDownLibrary::closeRemoveAllRequest() {
    ++closeCalls;
    auto waiting = std::exchange(m_waiting, {});
    for (auto it = waiting.crbegin(); it != waiting.crend(); ++it) {
        auto info = it->first;
        auto c = it->second;
        plat::MainQueue::post([info, c] {
            if (c) c(info, 0.0f);
        });
    }
}
bool FakeImageDownLibrary::answer(const QString &imagePath, float progress) {
    for (qsizetype i = 0; i < m_waiting.size(); ++i) {
        if (m_waiting[i].first->imagePath != imagePath) continue;
        auto w = m_waiting[i];
        if (progress <= 0.0f || progress >= 1.0f) m_waiting.removeAt(i);
        plat::MainQueue::post([w, progress] {
            if (w.second) w.second(w.first, progress);
        });
        return true;
    }
    return false;
}

// ---- viewers ----

namespace {
QString firstName(const QList<ZRFileModelPtr> &models, int64_t index) {
    return index >= 0 && index < models.size() && models.at(index) ? models.at(index)->name : QString();
}

class FakeMovie final : public ZRMoviePlayerWindowController {
  public:
    explicit FakeMovie(FakeViewers *v) : m_v(v) {}
    void playMovies(const QList<ZRFileModelPtr> &m, int64_t index) override {
        m_v->lastModels = m;
        m_v->events << QString("movie play %1 %2").arg(index).arg(firstName(m, index));
    }
    void setPlayerDelegate(ZRMoviePlayerDelegate *d) override {
        m_v->movieDelegate = d;
        m_v->events << "movie delegate";
    }
    void showWindow_() override { m_v->events << "movie show"; }

  private:
    FakeViewers *m_v;
};

class FakeMusic final : public ZRMusicWindowController {
  public:
    explicit FakeMusic(FakeViewers *v) : m_v(v) {}
    void playMusics(const QList<ZRFileModelPtr> &m, int64_t index) override {
        m_v->lastModels = m;
        m_v->events << QString("music play %1 %2").arg(index).arg(firstName(m, index));
    }
    void showWindow_() override { m_v->events << "music show"; }

  private:
    FakeViewers *m_v;
};

class FakePhoto final : public ZRNewPhotoController {
  public:
    explicit FakePhoto(FakeViewers *v) : m_v(v) {}
    void setPhotoVCDelegate(ZRNewPhotoVCDelegate *d) override {
        m_v->photoDelegate = d;
        m_v->events << "photo delegate";
    }
    void showWithIndex(int64_t index) override { m_v->events << QString("photo show %1").arg(index); }

  private:
    FakeViewers *m_v;
};

class FakePhotoWindow final : public ZRPhotoShowWindowController {
  public:
    explicit FakePhotoWindow(FakeViewers *v) : m_v(v) {}
    void setContentViewController(const ZRNewPhotoControllerPtr &) override {
        m_v->events << "photo window content";
    }
    void showWindow_() override { m_v->events << "photo window show"; }
    void close_() override { m_v->events << "photo window close"; }

  private:
    FakeViewers *m_v;
};

class FakePhotoManager final : public ZRPhotoFileManager {
  public:
    explicit FakePhotoManager(FakeViewers *v) : m_v(v) {}
    void copyImageDataFromCacheDirToDownloadsDir(const ZRFileModelPtr &model) override {
        m_v->events << "copy " + (model ? model->name : QString());
    }

  private:
    FakeViewers *m_v;
};
}  // namespace

FakeViewers::FakeViewers() : m_manager(std::make_unique<FakePhotoManager>(this)) {
    ZRMoviePlayerWindowController::setMaker([this](const QList<ZRFileModelPtr> &m, int64_t index) {
        lastModels = m;
        events << QString("movie init %1 %2").arg(index).arg(firstName(m, index));
        return std::make_shared<FakeMovie>(this);
    });
    ZRMusicWindowController::setMaker([this](const QList<ZRFileModelPtr> &m, int64_t index) {
        lastModels = m;
        events << QString("music init %1 %2").arg(index).arg(firstName(m, index));
        return std::make_shared<FakeMusic>(this);
    });
    ZRNewPhotoController::setMaker([this] {
        events << "photo init";
        lastPhotoController = std::make_shared<FakePhoto>(this);
        return lastPhotoController;
    });
    ZRPhotoShowWindowController::setMaker([this] {
        events << "photo window init";
        return std::make_shared<FakePhotoWindow>(this);
    });
    ZRPhotoFileManager::setSharePhotoManager(m_manager.get());
}
FakeViewers::~FakeViewers() {
    ZRMoviePlayerWindowController::setMaker({});
    ZRMusicWindowController::setMaker({});
    ZRNewPhotoController::setMaker({});
    ZRPhotoShowWindowController::setMaker({});
    ZRPhotoFileManager::setSharePhotoManager(nullptr);
}

// ---- password alert and share window ----

namespace {
class FakeAlert final : public QVPasswordAlert {
  public:
    explicit FakeAlert(FakePasswordAlerts *owner) : m_owner(owner) {}
    void passwordBeginSheetModalForWindowCompletionHandler(QVPasswordAlertCompletion completion) override {
        m_owner->shown.append({messageText(), buttons()});
        QPair<int64_t, QString> a{1001, QStringLiteral("")};
        if (!m_owner->answers.isEmpty()) a = m_owner->answers.takeFirst();
        plat::MainQueue::post([a, completion = std::move(completion)] {
            if (completion) completion(a.first, a.second);
        });
    }

  private:
    FakePasswordAlerts *m_owner;
};

class FakeShare final : public QVShareViewController {
  public:
    explicit FakeShare(FakeShareWindows *owner) : m_owner(owner) {}
    void setupSharedFilesWithArray(const QList<QVFileInfoPtr> &array) override {
        m_owner->shared.append(array);
    }

  private:
    FakeShareWindows *m_owner;
};
}  // namespace

FakePasswordAlerts::FakePasswordAlerts() {
    QVPasswordAlert::setMaker([this] { return std::make_shared<FakeAlert>(this); });
}
FakePasswordAlerts::~FakePasswordAlerts() {
    QVPasswordAlert::setMaker({});
}

FakeShareWindows::FakeShareWindows() {
    QVShareViewController::setMaker([this] { return std::make_shared<FakeShare>(this); });
}
FakeShareWindows::~FakeShareWindows() {
    QVShareViewController::setMaker({});
}
