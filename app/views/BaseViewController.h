// Base of the view controllers that show progress: a white view, a general overlay (HUD), a determinate
// overlay with an optional cancel button (progressHUD), an overlay for the window (windowHUD) and the
// loading animation. Main thread only. Made with appkit::make<T>(), which runs myInit() and viewDidLoad().
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

#include "appkit/LoadingBubbles.h"
#include "appkit/ProgressOverlay.h"

using QVEmptyBlock = std::function<void()>;

class BaseViewController : public QWidget {
    Q_OBJECT
  public:
    explicit BaseViewController(QWidget *parent = nullptr);
    ~BaseViewController() override;

    virtual void myInit() {}
    virtual void viewDidLoad();

    // Getters: HUD and progressHUD make a fresh overlay for the view when none is held; the loading view's
    // getter makes it once and brings it to the front on every call.
    appkit::ProgressOverlay *HUD();
    appkit::ProgressOverlay *progressHUD();
    appkit::ProgressOverlay *windowHUD() const { return m_windowHUD; }
    appkit::LoadingBubbles *amazingLoadingView();
    // The held overlays without creating any (tests, gallery).
    appkit::ProgressOverlay *heldHUD() const { return m_HUD; }
    appkit::ProgressOverlay *heldProgressHUD() const { return m_progressHUD; }
    bool hasEmptyBlock() const { return static_cast<bool>(m_emptyBlock); }

    void showAmazingLoading();
    void hiddenAmazingLoading();
    void showNormalProgressHUD();
    void hideProgressHUD();
    void showProgressHUDWithInfo(const QString &info);
    void showProgressHUDWithBar();
    void showProgressHUDWithLabelDeterminate(const QString &info);
    void showProgressHUDTextOnlyWithText(const QString &text);
    void showProgressHUDAutoDismissWithLoadingInfo(const QString &info);
    void showProgressHUDAutoDismissWithOnlyInfo(const QString &info);
    void showProgressHUDInWindow();
    void hideProgressHUDInWindow();
    void showProgressHUDWithProgerssWithInfo(const QString &info, const QString &withCancelButtonInfo,
                                             QVEmptyBlock withCancelBlock);
    void myProgressTaskWithProgress(float progress);
    void hideProgressHUDWithProgressWithInfo();

  protected:
    // The overlays' callbacks: the cancel button, and the end of a hide.
    void hudButtonPressed();
    void hudWasHidden();

  private:
    void dropHUD();
    appkit::ProgressOverlay *freshHUD(appkit::ProgressOverlay::Mode mode, const QString &label);
    QPointer<appkit::ProgressOverlay> m_HUD;
    QPointer<appkit::ProgressOverlay> m_progressHUD;
    QPointer<appkit::ProgressOverlay> m_windowHUD;
    QPointer<appkit::LoadingBubbles> m_amazingLoadingView;
    QVEmptyBlock m_emptyBlock;
};
