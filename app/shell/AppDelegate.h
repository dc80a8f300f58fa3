// The application delegate: launch, the three top-level windows (login, device choice, main), the Dock-style
// reopen, full-screen tracking of the main window, the menu windows and the bounded quit.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>

#include "appkit/Storyboard.h"
#include "platform/Scheduler.h"
#include "shell/MenuWindows.h"
#include "shell/QVDeviceChoiceWindowController.h"
#include "shell/QVLoginWindowController.h"
#include "shell/QVMainWindowController.h"

enum QVShowWindowType : uint64_t {
    QVShowWindowTypeLogin = 0,
    QVShowWindowTypeDeviceChoice = 1,
    QVShowWindowTypeMain = 2,
};

using QVCodeBlock = std::function<void(int64_t responseCode)>;

// What the delegate asks of the rest of the application; the program wires them to the SDK front and the
// session, tests to fakes.
struct AppDelegateServices {
    std::function<void(QVCodeBlock)> startService;  // answers later, on the main thread
    std::function<void(QVCodeBlock)> stopService;
    std::function<void(QVCodeBlock)> disconnectDevice;
    std::function<void()> quitTransportLifeCycle;  // stops the transfers
    std::function<void()> initCrashHandler;        // CrashLog by default
    std::function<void(bool started)> setIsStartSDKService;
    std::function<void(QWidget *window, uint64_t type)> windowCreated;  // wiring of a new window
};

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    explicit AppDelegate(AppDelegateServices services, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The delegate of the running application (set by the constructor).
    static AppDelegate *shared();

    void applicationDidFinishLaunching();
    void initCrashHandler();
    void setShowWindowType(uint64_t type);
    uint64_t showWindowType() const { return m_showWindowType; }
    void windowDidEnterFullScreen(QWidget *window);
    void windowDidExitFullScreen(QWidget *window);
    bool applicationShouldHandleReopen();
    // Stops transfers, disconnects the device and stops the service; `done` runs once, when the stop has
    // answered or after at most 3 s (a disconnect that never answers is given 2 s).
    void applicationWillTerminate(std::function<void()> done);
    void checkForUpdate();
    void dismissUpdateWindow();
    void modifyDownloadPathButtonAction();
    void uploadApplicationLogButtonAction();

    QVLoginWindowController *loginWindow() const { return m_loginWindow.get(); }
    QVDeviceChoiceWindowController *deviceChoiceWindow() const { return m_deviceChoiceWindow.get(); }
    QVMainWindowController *mainWindow() const { return m_mainWindow.get(); }
    QVUpdaterWindowController *updaterWindowController() const { return m_updaterWindowController.get(); }
    QVSetWindowController *setWindowController() const { return m_setWindowController.get(); }
    bool mainWindowIsInFullScreen() const { return m_mainWindowIsInFullScreen; }
    bool mainWindowNeedClose() const { return m_mainWindowNeedClose; }
    // The window the shell shows now (for boxes without a view), or null.
    QWidget *currentShellWindow() const;

    static constexpr int64_t kQuitBoundMs = 3000;
    static constexpr int64_t kDisconnectBoundMs = 2000;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void closeMainWindowFullScreenAware();
    void closeMainWindow();
    void closeLoginWindow();
    void closeDeviceChoiceWindow();
    static void showWindow(QWidget *w);
    void startDisconnectDevice();
    void logoutDeviceSuccess();

    AppDelegateServices m_services;
    uint64_t m_showWindowType = 0;
    appkit::WindowPtr<QVLoginWindowController> m_loginWindow;
    appkit::WindowPtr<QVDeviceChoiceWindowController> m_deviceChoiceWindow;
    appkit::WindowPtr<QVMainWindowController> m_mainWindow;
    appkit::WindowPtr<QVUpdaterWindowController> m_updaterWindowController;
    appkit::WindowPtr<QVSetWindowController> m_setWindowController;
    bool m_mainWindowIsInFullScreen = false;
    bool m_mainWindowNeedClose = false;
    QString m_applicationLogZipPath;

    // The quit in progress.
    std::function<void()> m_quitDone;
    bool m_stopRequested = false;
    plat::TimerHandle m_disconnectBound;
    plat::TimerHandle m_quitBound;
};
