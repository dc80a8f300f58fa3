// Fakes of the neighbouring services the file views use: each installs itself while it lives, records
// what it is given and answers as scripted.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <memory>

#include "neighbours/QVNasImageDownLibrary.h"
#include "neighbours/QVOperateTransportManage.h"
#include "neighbours/QVPasswordAlert.h"
#include "neighbours/QVShareViewController.h"
#include "neighbours/ZRMediaViewers.h"

class FakeTransportManage final : public QVOperateTransportManage {
  public:
    FakeTransportManage();
    ~FakeTransportManage() override;
    QStringList calls;                         // "startAllTransportTask", "quitTransportLifeCycle", "add"
    QList<QPair<QVariantMap, int64_t>> added;  // the dictionaries and types of addNewTransportTasks
    QList<QVFileInfoPtr> uploads, downloads;   // what transportDatas answers

    void startAllTransportTask() override { calls << "startAllTransportTask"; }
    void quitTransportLifeCycle() override { calls << "quitTransportLifeCycle"; }
    // Records, then posts "QVTransportCountChangeNotification" on the main queue.
    void addNewTransportTasks(const QVariantMap &dict, int64_t type) override;
    QVTransportInfoPtr uploadTransportInfo() override;
    QVTransportInfoPtr downloadTransportInfo() override;
};

// Every delete operation made while it lives: status 2 at once, then the scripted progress and final
// status on the main queue.
class FakeDeleteOperations final {
  public:
    struct Operation {
        QList<QVFileInfoPtr> files, folders;
        bool started = false;
    };
    FakeDeleteOperations();
    ~FakeDeleteOperations();
    int64_t finalStatus = 4;
    QList<float> progress = {1.0f};
    QList<std::shared_ptr<Operation>> operations;
};

class FakeImageDownLibrary final : public QVNasImageDownLibrary {
  public:
    FakeImageDownLibrary();
    ~FakeImageDownLibrary() override;
    QList<QVNasImageDownInfoPtr> requests;  // every accepted request, in order
    int dropped = 0;                        // requests for an address already waiting
    int closeCalls = 0;
    void insertToDownloadLibrary(const QVNasImageDownInfoPtr &info,
                                 QVNasImageDownCompletion completion) override;
    void closeRemoveAllRequest() override;  // the waiting ones get 0, newest first
    // Answers the waiting request of `imagePath` on the main queue (1.0 or 0 end it); false when none.
    bool answer(const QString &imagePath, float progress);
    int waitingCount() const { return static_cast<int>(m_waiting.size()); }

  private:
    QList<QPair<QVNasImageDownInfoPtr, QVNasImageDownCompletion>> m_waiting;
};

// The video, music and photo windows and the photo manager, recording every call as a line
// ("movie init 0 a.mp4", "movie play 1", "movie delegate", "music init 0 a.mp3", "photo show 2",
// "photo window show", "photo window close", "copy a.jpg").
class FakeViewers final {
  public:
    FakeViewers();
    ~FakeViewers();
    QStringList events;
    QList<ZRFileModelPtr> lastModels;
    ZRMoviePlayerDelegate *movieDelegate = nullptr;
    ZRNewPhotoVCDelegate *photoDelegate = nullptr;
    std::shared_ptr<ZRNewPhotoController> lastPhotoController;

  private:
    std::unique_ptr<ZRPhotoFileManager> m_manager;
};

class FakePasswordAlerts final {
  public:
    struct Alert {
        QString messageText;
        QStringList buttons;
    };
    FakePasswordAlerts();
    ~FakePasswordAlerts();
    // Answers in order (then 1001 and ""), on the main queue.
    QList<QPair<int64_t, QString>> answers;
    QList<Alert> shown;
};

class FakeShareWindows final {
  public:
    FakeShareWindows();
    ~FakeShareWindows();
    QList<QList<QVFileInfoPtr>> shared;  // the array of each share window
};
