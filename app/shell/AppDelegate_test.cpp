#include "shell/AppDelegate.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QLocalSocket>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "platform/Defaults.h"
#include "platform/NetworkMonitor.h"
#include "platform/Scheduler.h"
#include "shell/SingleInstanceGuard.h"

namespace {

void drainDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

struct Recorder {
    QStringList calls;
    QVCodeBlock pendingStart, pendingStop, pendingDisconnect;
    std::optional<bool> started;
    AppDelegateServices services() {
        AppDelegateServices s;
        s.startService = [this](QVCodeBlock b) {
            calls << "start";
            pendingStart = std::move(b);
        };
        s.stopService = [this](QVCodeBlock b) {
            calls << "stop";
            pendingStop = std::move(b);
        };
        s.disconnectDevice = [this](QVCodeBlock b) {
            calls << "disconnect";
            pendingDisconnect = std::move(b);
        };
        s.quitTransportLifeCycle = [this] { calls << "transfers"; };
        s.initCrashHandler = [this] {
            calls << "crash";
            calls << (plat::Defaults::standard()->contains("QVSequenceTypeKey") ? "sort-key-kept"
                                                                                : "sort-key-gone");
        };
        s.setIsStartSDKService = [this](bool on) { started = on; };
        return s;
    }
};

TEST(AppDelegate, LaunchOrderAndOnlyStartZeroOpensTheLoginWindow) {
    for (int64_t code : {int64_t{0}, int64_t{110001}, int64_t{-1}}) {
        plat::FakeScheduler clock;
        {
            auto standard = plat::Defaults::standard();
            standard->setValue("QVSequenceTypeKey", 1);
            standard->sync();
        }
        Recorder r;
        AppDelegate d(r.services());
        d.applicationDidFinishLaunching();
        // The start is asked first and answers later; the crash handler comes before the sort key goes.
        EXPECT_EQ(r.calls, (QStringList{"start", "crash", "sort-key-kept"}));
        EXPECT_FALSE(plat::Defaults::standard()->contains("QVSequenceTypeKey"));
        EXPECT_TRUE(plat::NetworkMonitor::shared().isStarted());
        EXPECT_EQ(d.loginWindow(), nullptr);
        r.pendingStart(code);
        EXPECT_EQ(r.started, code == 0);
        EXPECT_EQ(d.loginWindow() != nullptr, code == 0) << code;
        EXPECT_EQ(d.showWindowType(), 0u);
        // Reopen (a second launch) shows the login window even after a failed start.
        EXPECT_TRUE(d.applicationShouldHandleReopen());
        ASSERT_NE(d.loginWindow(), nullptr);
        EXPECT_TRUE(d.loginWindow()->isVisible());
    }
    drainDeletes();
}

struct WindowsRow {
    QList<uint64_t> steps;
    bool login, choice, main;
};

class ShowWindowType : public ::testing::TestWithParam<WindowsRow> {};

TEST_P(ShowWindowType, HoldsExactlyTheWindowsOfTheLastStep) {
    Recorder r;
    AppDelegate d(r.services());
    for (uint64_t t : GetParam().steps) d.setShowWindowType(t);
    EXPECT_EQ(d.showWindowType(), GetParam().steps.last());
    EXPECT_EQ(d.loginWindow() != nullptr, GetParam().login);
    EXPECT_EQ(d.deviceChoiceWindow() != nullptr, GetParam().choice);
    EXPECT_EQ(d.mainWindow() != nullptr, GetParam().main);
    drainDeletes();
}

INSTANTIATE_TEST_SUITE_P(Table, ShowWindowType,
                         ::testing::Values(WindowsRow{{0}, true, false, false},
                                           WindowsRow{{0, 1}, false, true, false},
                                           WindowsRow{{0, 1, 2}, false, false, true},
                                           WindowsRow{{0, 1, 2, 0}, true, false, false},
                                           WindowsRow{{2, 1}, false, true, false},
                                           WindowsRow{{3}, false, false, false},  // only stored
                                           WindowsRow{{0, 3}, true, false, false}));

TEST(AppDelegate, SameValueKeepsTheControllerAndMainGetsItsFrameOnce) {
    Recorder r;
    AppDelegate d(r.services());
    d.setShowWindowType(2);
    QVMainWindowController *main = d.mainWindow();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->size(), QSize(900, 600));
    main->resize(700, 500);
    d.setShowWindowType(2);
    EXPECT_EQ(d.mainWindow(), main);
    EXPECT_EQ(main->size(), QSize(700, 500));
    d.setShowWindowType(0);
    QVLoginWindowController *login = d.loginWindow();
    d.setShowWindowType(0);
    EXPECT_EQ(d.loginWindow(), login);
    d.setShowWindowType(3);
    EXPECT_TRUE(d.applicationShouldHandleReopen());  // 3: shows nothing new
    EXPECT_EQ(d.loginWindow(), login);
    drainDeletes();
}

TEST(AppDelegate, MainWindowInFullScreenClosesOnlyOnceItHasLeftIt) {
    for (uint64_t next : {uint64_t{0}, uint64_t{1}}) {
        Recorder r;
        AppDelegate d(r.services());
        d.setShowWindowType(2);
        QVMainWindowController *main = d.mainWindow();
        d.windowDidEnterFullScreen(main);
        d.windowDidEnterFullScreen(nullptr);  // other windows are ignored
        EXPECT_TRUE(d.mainWindowIsInFullScreen());
        d.setShowWindowType(next);
        EXPECT_EQ(next == 0 ? static_cast<QWidget *>(d.loginWindow()) : d.deviceChoiceWindow(),
                  d.currentShellWindow());
        EXPECT_TRUE(d.currentShellWindow()->isVisible());  // the new window at once
        EXPECT_EQ(d.mainWindow(), main);                   // the main one still held
        EXPECT_TRUE(d.mainWindowNeedClose());
        d.windowDidExitFullScreen(main);
        EXPECT_EQ(d.mainWindow(), nullptr);
        EXPECT_FALSE(d.mainWindowNeedClose());
        drainDeletes();
    }
}

TEST(AppDelegate, QuitStopsTransfersDeviceAndServiceInOrder) {
    plat::FakeScheduler clock;
    Recorder r;
    AppDelegate d(r.services());
    bool done = false;
    d.applicationWillTerminate([&] { done = true; });
    EXPECT_EQ(r.calls, (QStringList{"transfers", "disconnect"}));
    r.pendingDisconnect(0);
    EXPECT_EQ(r.calls.last(), "stop");
    EXPECT_FALSE(done);
    r.pendingStop(0);
    EXPECT_TRUE(done);
    clock.advance(10000);  // the bounds were cancelled: nothing runs twice
    EXPECT_EQ(r.calls.count("stop"), 1);
}

TEST(AppDelegate, QuitEndsWithinThreeSecondsWhenNothingAnswers) {
    plat::FakeScheduler clock;
    Recorder r;
    AppDelegate d(r.services());
    int done = 0;
    d.applicationWillTerminate([&] { ++done; });
    clock.advance(AppDelegate::kDisconnectBoundMs);
    EXPECT_EQ(r.calls.last(), "stop");  // the service is stopped even though the device never answered
    EXPECT_EQ(done, 0);
    clock.advance(AppDelegate::kQuitBoundMs - AppDelegate::kDisconnectBoundMs);
    EXPECT_EQ(done, 1);
    r.pendingDisconnect(0);  // late answers change nothing
    r.pendingStop(0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(r.calls.count("stop"), 1);
}

TEST(AppDelegate, MenuWindowsAreReplacedOnEachAction) {
    Recorder r;
    AppDelegate d(r.services());
    d.checkForUpdate();
    QPointer<QWidget> first = d.updaterWindowController();
    d.checkForUpdate();
    EXPECT_NE(d.updaterWindowController(), first.data());
    d.dismissUpdateWindow();
    EXPECT_EQ(d.updaterWindowController(), nullptr);
    d.modifyDownloadPathButtonAction();
    EXPECT_NE(d.setWindowController(), nullptr);
    drainDeletes();
    EXPECT_TRUE(first.isNull());
}

TEST(SingleInstanceGuard, SecondLaunchAsksTheFirstToReopen) {
    SingleInstanceGuard first(QStringLiteral("tessera-test"));
    ASSERT_TRUE(first.claim());
    EXPECT_TRUE(first.isPrimary());
    EXPECT_TRUE(first.socketPath().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR")));
    int reopened = 0;
    first.setReopenHandler([&] { ++reopened; });
    // A second launch is a client in another process; the local socket works the same within one.
    std::atomic<bool> secondPrimary{true};
    std::thread second([&] {
        SingleInstanceGuard g(QStringLiteral("tessera-test"));
        secondPrimary = g.claim();
    });
    for (int i = 0; i < 500 && reopened == 0; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    second.join();
    EXPECT_FALSE(secondPrimary.load());
    EXPECT_EQ(reopened, 1);
}

TEST(SingleInstanceGuard, TheSocketTakesOnlyTheReopenMessage) {
    SingleInstanceGuard guard(QStringLiteral("tessera-test2"));
    ASSERT_TRUE(guard.claim());
    int reopened = 0;
    guard.setReopenHandler([&] { ++reopened; });
    for (const QByteArray &junk :
         {QByteArray("quit\n"), QByteArray("reopen\nreopen\n"), QByteArray(4096, 'x')}) {
        std::thread client([&] {
            QLocalSocket s;
            s.connectToServer(guard.socketPath());
            if (s.waitForConnected(3000)) {
                s.write(junk);
                s.waitForBytesWritten(3000);
                s.waitForDisconnected(3000);
            }
        });
        for (int i = 0; i < 100; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(2);
        }
        client.join();
    }
    EXPECT_EQ(reopened, 0);
}

TEST(SingleInstanceGuard, AStaleSocketFromACrashedRunIsTakenOver) {
    const QString path = SingleInstanceGuard(QStringLiteral("tessera-stale")).socketPath();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));  // a leftover file nobody listens on
    f.close();
    SingleInstanceGuard g(QStringLiteral("tessera-stale"));
    EXPECT_TRUE(g.claim());
    EXPECT_TRUE(g.isPrimary());
}

}  // namespace
