#include "shell/TesseraProgram.h"

#include <signal.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QIcon>
#include <QPointer>
#include <QScreen>
#include <QWindow>
#include <memory>

#include "appkit/ImageNamed.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Scheduler.h"
#include "platform/WorkPool.h"
#include "shell/AppDelegate.h"
#include "shell/CrashLog.h"
#include "shell/ShellServices.h"
#include "shell/SingleInstanceGuard.h"
#include "tools/QVPrivateTools.h"
#include "views/QVProgressBoxWidget.h"

int tesseraMain(int argc, char **argv, const TesseraLaunch &launch) {
    signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("qvnas"));
    QCoreApplication::setApplicationName(QStringLiteral("tessera"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tessera"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tessera"));
    appkit::initResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/tessera.png")));
    installRedactingMessageHandler();

    QCommandLineParser cli;
    cli.addHelpOption();
    QCommandLineOption shot(
        QStringLiteral("screenshot"),
        QStringLiteral("Save the screen to <png> once the first window shows, then quit."),
        QStringLiteral("png"));
    cli.addOption(shot);
    cli.process(app);

    SingleInstanceGuard guard;
    if (!guard.claim()) {
        QVF_LOG_INFO(QStringLiteral("another instance runs: asked it to reopen"));
        return 0;
    }

    if (launch.beforeLaunch) launch.beforeLaunch();
    AppDelegate *self = nullptr;
    AppDelegate delegate(programServices(&self));
    self = &delegate;
    // The toolbox's shared box goes on the given view or on the window the shell shows now.
    QVProgressBoxWidget box([&delegate] { return delegate.currentShellWindow(); });
    QVPrivateTools::setProgressBoxHost(&box);
    guard.setReopenHandler([&delegate] { delegate.applicationShouldHandleReopen(); });
    delegate.applicationDidFinishLaunching();

    plat::TimerHandle screenshotPoll;
    plat::TimerHandle screenshotGiveUp;
    if (cli.isSet(shot)) {
        // No window (the service did not start): say so rather than wait for ever.
        screenshotGiveUp = plat::Scheduler::current().after(15000, &app, [] {
            QVF_LOG_ERROR(QStringLiteral("screenshot: no window showed within 15 s"));
            QCoreApplication::exit(3);
        });
        const QString path = cli.value(shot);
        // The shot waits one more poll after the window is exposed, so that it has been painted.
        auto exposedBefore = std::make_shared<QPointer<QWidget>>();
        screenshotPoll = plat::Scheduler::current().every(200, &app, [path, &delegate, exposedBefore] {
            QWidget *w = delegate.currentShellWindow();
            const bool exposed = w != nullptr && w->isVisible() && w->windowHandle() != nullptr &&
                                 w->windowHandle()->isExposed();
            const bool ready = exposed && *exposedBefore == w;
            *exposedBefore = exposed ? w : nullptr;
            if (!ready) return;
            QScreen *s = w->screen();
            const QPixmap p = s != nullptr ? s->grabWindow(0) : w->grab();
            if (!p.save(path)) {
                QVF_LOG_ERROR(QStringLiteral("screenshot: could not write %1").arg(path));
                QCoreApplication::exit(4);
                return;
            }
            QVF_LOG_INFO(QStringLiteral("screenshot of %1 saved")
                             .arg(QString::fromLatin1(w->metaObject()->className())));
            QCoreApplication::quit();
        });
    }

    const int rc = app.exec();
    screenshotPoll.cancel();
    screenshotGiveUp.cancel();

    // The loop has ended: stop transfers, device and service here, bounded.
    bool done = false;
    delegate.applicationWillTerminate([&done] { done = true; });
    QEventLoop loop;
    while (!done) loop.processEvents(QEventLoop::WaitForMoreEvents);  // the 3 s bound always comes
    QVPrivateTools::setProgressBoxHost(nullptr);
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(5000);
    plat::WorkPool::markLane().waitForDone(5000);
    return rc;
}
