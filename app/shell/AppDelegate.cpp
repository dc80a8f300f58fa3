#include "shell/AppDelegate.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWindowStateChangeEvent>

#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/NetworkMonitor.h"
#include "shell/CrashLog.h"

namespace {
AppDelegate *g_shared = nullptr;
}

AppDelegate::AppDelegate(AppDelegateServices services, QObject *parent)
    : QObject(parent), m_services(std::move(services)) {
    g_shared = this;
}

AppDelegate::~AppDelegate() {
    if (g_shared == this) g_shared = nullptr;
    if (m_mainWindow) m_mainWindow->removeEventFilter(this);
}

AppDelegate *AppDelegate::shared() {
    return g_shared;
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1. The SDK service; its answer comes later, on the main thread.
    QPointer<AppDelegate> self(this);
    if (m_services.startService) {
        m_services.startService([self](int64_t code) {
            if (!self) return;
            const bool started = code == 0;
            if (self->m_services.setIsStartSDKService) self->m_services.setIsStartSDKService(started);
            QVF_LOG_INFO(QStringLiteral("start service: %1").arg(code));
            if (started) self->setShowWindowType(QVShowWindowTypeLogin);
        });
    }
    // 2. Crash logging.
    initCrashHandler();
    // 3. The file list's sort order never survives a restart.
    {
        auto standard = plat::Defaults::standard();
        standard->remove(QStringLiteral("QVSequenceTypeKey"));
        standard->sync();
    }
    // 4.
    m_mainWindowIsInFullScreen = false;
    m_mainWindowNeedClose = false;
    // 5. Reachability, from the system's own view (no pings).
    plat::NetworkMonitor::shared().startNotifier();
}

void AppDelegate::initCrashHandler() {
    if (m_services.initCrashHandler)
        m_services.initCrashHandler();
    else
        CrashLog::install(CrashLog::defaultPath());
}

void AppDelegate::showWindow(QWidget *w) {
    if (w == nullptr) return;
    if (QScreen *s = w->screen() != nullptr ? w->screen() : QGuiApplication::primaryScreen()) {
        const QRect avail = s->availableGeometry();
        QRect g = w->frameGeometry();
        g.moveCenter(avail.center());
        w->move(g.topLeft());
    }
    w->show();
    w->raise();
    w->activateWindow();
}

void AppDelegate::closeLoginWindow() {
    if (!m_loginWindow) return;
    m_loginWindow->hide();
    m_loginWindow.reset();
}

void AppDelegate::closeDeviceChoiceWindow() {
    if (!m_deviceChoiceWindow) return;
    m_deviceChoiceWindow->hide();
    m_deviceChoiceWindow.reset();
}

void AppDelegate::closeMainWindow() {
    if (!m_mainWindow) return;
    m_mainWindow->removeEventFilter(this);
    m_mainWindow->hide();
    m_mainWindow.reset();
    m_mainWindowIsInFullScreen = false;
}

void AppDelegate::closeMainWindowFullScreenAware() {
    if (!m_mainWindow) return;
    if (m_mainWindowIsInFullScreen) {
        // Closed once it has left full screen (windowDidExitFullScreen).
        m_mainWindowNeedClose = true;
        m_mainWindow->showNormal();
    } else {
        closeMainWindow();
    }
}

void AppDelegate::setShowWindowType(uint64_t type) {
    m_showWindowType = type;
    switch (type) {
        case QVShowWindowTypeMain: {
            if (!m_mainWindow) {
                m_mainWindow.reset(appkit::Storyboard::instantiateAs<QVMainWindowController>(
                    QStringLiteral("Main"), QStringLiteral("QVMainWindowController")));
                if (m_mainWindow) {
                    m_mainWindow->installEventFilter(this);
                    m_mainWindow->setGeometry(0, 0, 900, 600);
                    if (m_services.windowCreated) m_services.windowCreated(m_mainWindow.get(), type);
                }
            }
            showWindow(m_mainWindow.get());
            closeLoginWindow();
            closeDeviceChoiceWindow();
            break;
        }
        case QVShowWindowTypeDeviceChoice: {
            if (!m_deviceChoiceWindow) {
                m_deviceChoiceWindow.reset(appkit::Storyboard::instantiateAs<QVDeviceChoiceWindowController>(
                    QStringLiteral("DeviceChoice"), QStringLiteral("QVDeviceChoiceWindowController")));
                if (m_deviceChoiceWindow && m_services.windowCreated)
                    m_services.windowCreated(m_deviceChoiceWindow.get(), type);
            }
            showWindow(m_deviceChoiceWindow.get());
            closeLoginWindow();
            closeMainWindowFullScreenAware();
            break;
        }
        case QVShowWindowTypeLogin: {
            closeDeviceChoiceWindow();
            closeMainWindowFullScreenAware();
            if (!m_loginWindow) {
                m_loginWindow.reset(appkit::Storyboard::instantiateAs<QVLoginWindowController>(
                    QStringLiteral("Login"), QStringLiteral("QVLoginWindowController")));
                if (m_loginWindow && m_services.windowCreated)
                    m_services.windowCreated(m_loginWindow.get(), type);
            }
            showWindow(m_loginWindow.get());
            break;
        }
        default:
            break;  // only stored
    }
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event) {
    if (m_mainWindow && watched == m_mainWindow.get() && event->type() == QEvent::WindowStateChange) {
        const bool full = m_mainWindow->isFullScreen();
        const bool was =
            (static_cast<QWindowStateChangeEvent *>(event)->oldState() & Qt::WindowFullScreen) != 0;
        if (full && !was) windowDidEnterFullScreen(m_mainWindow.get());
        if (!full && was) {
            // Closing here would destroy the window inside its own event: the next turn of the loop.
            QPointer<QWidget> w(m_mainWindow.get());
            plat::Scheduler::current()
                .after(0, this,
                       [this, w] {
                           if (w) windowDidExitFullScreen(w);
                       })
                .detach();
        }
    }
    return false;
}

void AppDelegate::windowDidEnterFullScreen(QWidget *window) {
    if (!m_mainWindow || window != m_mainWindow.get()) return;
    m_mainWindowIsInFullScreen = true;
}

void AppDelegate::windowDidExitFullScreen(QWidget *window) {
    if (!m_mainWindow || window != m_mainWindow.get()) return;
    m_mainWindowIsInFullScreen = false;
    if (m_mainWindowNeedClose) {
        m_mainWindowNeedClose = false;
        closeMainWindow();
    }
}

bool AppDelegate::applicationShouldHandleReopen() {
    setShowWindowType(m_showWindowType);
    return true;
}

QWidget *AppDelegate::currentShellWindow() const {
    switch (m_showWindowType) {
        case QVShowWindowTypeMain:
            return m_mainWindow.get();
        case QVShowWindowTypeDeviceChoice:
            return m_deviceChoiceWindow.get();
        case QVShowWindowTypeLogin:
            return m_loginWindow.get();
        default:
            return nullptr;
    }
}

void AppDelegate::applicationWillTerminate(std::function<void()> done) {
    m_quitDone = std::move(done);
    m_stopRequested = false;
    m_quitBound = plat::Scheduler::current().after(kQuitBoundMs, this, [this] {
        QVF_LOG_ERROR(QStringLiteral("quit: the device or the service did not answer in time"));
        if (auto d = std::move(m_quitDone)) d();
    });
    // 1. Transfers.
    if (m_services.quitTransportLifeCycle) m_services.quitTransportLifeCycle();
    // 2. Device, then 3. service.
    startDisconnectDevice();
}

void AppDelegate::startDisconnectDevice() {
    QPointer<AppDelegate> self(this);
    m_disconnectBound = plat::Scheduler::current().after(kDisconnectBoundMs, this, [this] {
        QVF_LOG_ERROR(QStringLiteral("quit: the device did not answer the disconnect"));
        logoutDeviceSuccess();
    });
    if (!m_services.disconnectDevice) {
        logoutDeviceSuccess();
        return;
    }
    m_services.disconnectDevice([self](int64_t code) {
        if (!self) return;
        QVF_LOG_INFO(QStringLiteral("QV_LogoutDevice %1").arg(code));
        self->logoutDeviceSuccess();
    });
}

void AppDelegate::logoutDeviceSuccess() {
    m_disconnectBound.cancel();
    if (m_stopRequested) return;
    m_stopRequested = true;
    QPointer<AppDelegate> self(this);
    auto finish = [self](int64_t code) {
        if (!self) return;
        QVF_LOG_INFO(QStringLiteral("StopService : %1").arg(code));
        self->m_quitBound.cancel();
        if (auto d = std::move(self->m_quitDone)) d();
    };
    if (m_services.stopService)
        m_services.stopService(finish);
    else
        finish(0);
}

void AppDelegate::checkForUpdate() {
    if (m_updaterWindowController) {
        m_updaterWindowController->hide();
        m_updaterWindowController.reset();
    }
    m_updaterWindowController.reset(appkit::Storyboard::instantiateAs<QVUpdaterWindowController>(
        QStringLiteral("QVUpdaterWindow"), QStringLiteral("QVUpdaterWindowController")));
    if (m_updaterWindowController) {
        m_updaterWindowController->show();
        m_updaterWindowController->raise();
    }
}

void AppDelegate::dismissUpdateWindow() {
    if (!m_updaterWindowController) return;
    m_updaterWindowController->hide();
    m_updaterWindowController.reset();
}

void AppDelegate::modifyDownloadPathButtonAction() {
    if (m_setWindowController) {
        m_setWindowController->hide();
        m_setWindowController.reset();
    }
    m_setWindowController.reset(appkit::Storyboard::instantiateAs<QVSetWindowController>(
        QStringLiteral("QVSetWindow"), QStringLiteral("QVSetWindowController")));
    if (m_setWindowController) {
        showWindow(m_setWindowController.get());
    }
}

void AppDelegate::uploadApplicationLogButtonAction() {
    QVF_LOG_INFO(QStringLiteral("log upload is not available in this build"));
}
