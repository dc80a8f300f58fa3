#include "views/BaseViewController.h"

#include <QPalette>

#include "appkit/QVColors.h"

using appkit::ProgressOverlay;

BaseViewController::BaseViewController(QWidget *parent) : QWidget(parent) {}

BaseViewController::~BaseViewController() = default;

void BaseViewController::viewDidLoad() {
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

ProgressOverlay *BaseViewController::HUD() {
    if (!m_HUD) m_HUD = new ProgressOverlay(this);
    return m_HUD;
}

ProgressOverlay *BaseViewController::progressHUD() {
    if (!m_progressHUD) m_progressHUD = new ProgressOverlay(this);
    return m_progressHUD;
}

appkit::LoadingBubbles *BaseViewController::amazingLoadingView() {
    if (!m_amazingLoadingView) {
        auto *v = new appkit::LoadingBubbles(this);
        v->setTintColor(QVColors::loadingTint());
        v->setBackgroundColor(Qt::transparent);
        // Centred horizontally; its top edge at the view's middle in the flipped-up layout, so its box
        // sits just above the centre line.
        const int x = static_cast<int>(width() * 0.5 - 50);
        const int y = static_cast<int>(height() - height() * 0.5 - 100);
        v->setGeometry(x, y, 100, 100);
        m_amazingLoadingView = v;
    }
    m_amazingLoadingView->raise();
    return m_amazingLoadingView;
}

void BaseViewController::showAmazingLoading() {
    amazingLoadingView()->startAnimating();
}

void BaseViewController::hiddenAmazingLoading() {
    amazingLoadingView()->stopAnimating();
}

void BaseViewController::dropHUD() {
    if (m_HUD) m_HUD->removeFromSuperview();
    m_HUD.clear();
}

ProgressOverlay *BaseViewController::freshHUD(ProgressOverlay::Mode mode, const QString &label) {
    dropHUD();
    ProgressOverlay *h = HUD();
    h->setMode(mode);
    h->setLabelText(label);
    return h;
}

void BaseViewController::showNormalProgressHUD() {
    freshHUD(ProgressOverlay::Mode::Indeterminate, {})->showAnimated(true);
}

void BaseViewController::hideProgressHUD() {
    dropHUD();
}

void BaseViewController::showProgressHUDWithInfo(const QString &info) {
    freshHUD(ProgressOverlay::Mode::Indeterminate, info)->showAnimated(true);
}

void BaseViewController::showProgressHUDWithBar() {
    ProgressOverlay *h = freshHUD(ProgressOverlay::Mode::Bar, {});
    connect(h, &ProgressOverlay::buttonPressed, this, &BaseViewController::hudButtonPressed);
    connect(h, &ProgressOverlay::hidden, this, &BaseViewController::hudWasHidden);
    h->showAnimated(true);
}

void BaseViewController::showProgressHUDWithLabelDeterminate(const QString &info) {
    freshHUD(ProgressOverlay::Mode::Determinate, info)->showAnimated(true);
}

void BaseViewController::showProgressHUDTextOnlyWithText(const QString &text) {
    ProgressOverlay *h = freshHUD(ProgressOverlay::Mode::Text, text);
    h->setMargin(10);
    h->setYOffset(150);
    h->showAnimated(true);
}

void BaseViewController::showProgressHUDAutoDismissWithLoadingInfo(const QString &info) {
    if (m_HUD) {
        // The old box fades out by itself, then leaves the view.
        ProgressOverlay *old = m_HUD;
        old->setRemoveFromSuperViewOnHide(true);
        old->hideAnimated(true);
        m_HUD.clear();
    }
    ProgressOverlay *h = HUD();
    h->setMode(ProgressOverlay::Mode::Text);
    h->setLabelText(info);
    h->showAnimated(true);
    h->hideAfter(2000, true);
}

void BaseViewController::showProgressHUDAutoDismissWithOnlyInfo(const QString &info) {
    dropHUD();
    auto *h = new ProgressOverlay(this);  // not kept: it removes itself once hidden
    h->setMode(ProgressOverlay::Mode::Text);
    h->setLabelText(info);
    h->setMargin(10);
    h->setYOffset(150);
    h->setRemoveFromSuperViewOnHide(true);
    h->showAnimated(true);
    h->hideAfter(2000, true);
}

void BaseViewController::showProgressHUDInWindow() {
    if (m_windowHUD) m_windowHUD->removeFromSuperview();
    // Made for the window, but added to this view; not shown.
    QWidget *host = window() != nullptr ? window() : this;
    auto *h = new ProgressOverlay(host);
    h->setParent(this);
    h->setGeometry(rect());
    m_windowHUD = h;
}

void BaseViewController::hideProgressHUDInWindow() {
    if (m_windowHUD) m_windowHUD->removeFromSuperview();
    m_windowHUD.clear();
}

void BaseViewController::showProgressHUDWithProgerssWithInfo(const QString &info,
                                                             const QString &withCancelButtonInfo,
                                                             QVEmptyBlock withCancelBlock) {
    if (m_progressHUD) m_progressHUD->removeFromSuperview();
    m_progressHUD.clear();
    m_emptyBlock = std::move(withCancelBlock);
    ProgressOverlay *h = progressHUD();
    h->setMode(ProgressOverlay::Mode::Bar);
    h->setProgress(0);
    h->setLabelText(info);
    if (withCancelButtonInfo.size() > 1) h->setButtonText(withCancelButtonInfo);
    h->showAnimated(true);
    connect(h, &ProgressOverlay::buttonPressed, this, &BaseViewController::hudButtonPressed);
    connect(h, &ProgressOverlay::hidden, this, &BaseViewController::hudWasHidden);
}

void BaseViewController::myProgressTaskWithProgress(float progress) {
    ProgressOverlay *h = progressHUD();
    h->setProgress(progress);
    if (progress >= 0.99) {
        h->setRemoveFromSuperViewOnHide(true);
        h->hideAnimated(true);
        m_progressHUD.clear();
    }
}

void BaseViewController::hideProgressHUDWithProgressWithInfo() {
    if (!m_progressHUD) return;
    ProgressOverlay *h = m_progressHUD;
    m_progressHUD.clear();
    h->setRemoveFromSuperViewOnHide(true);
    h->hideAnimated(true);
}

void BaseViewController::hudButtonPressed() {
    hideProgressHUDWithProgressWithInfo();
    QVEmptyBlock block = std::move(m_emptyBlock);  // runs once
    m_emptyBlock = nullptr;
    if (block) block();
}

void BaseViewController::hudWasHidden() {
    dropHUD();
}
