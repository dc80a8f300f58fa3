#include "views/QVProgressBoxWidget.h"

#include <QMainWindow>

void QVProgressBoxWidget::removeBox() {
    if (!m_box || m_box->parentWidget() == nullptr) return;
    appkit::ProgressOverlay *b = m_box;
    m_box.clear();
    b->setRemoveFromSuperViewOnHide(true);
    b->hideAnimated(true);
}

void QVProgressBoxWidget::showBox(QObject *view, bool, const QString &text, Mode mode, int hideAfterMs) {
    removeBox();
    QWidget *host = qobject_cast<QWidget *>(view);
    if (host == nullptr && m_shellWindow) {
        host = m_shellWindow();
        // Over the window's content, like the design's content view.
        if (auto *mw = qobject_cast<QMainWindow *>(host); mw != nullptr && mw->centralWidget() != nullptr)
            host = mw->centralWidget();
    }
    if (host == nullptr) return;
    auto *b = new appkit::ProgressOverlay(host);
    b->setMode(mode == ModeText ? appkit::ProgressOverlay::Mode::Text
                                : appkit::ProgressOverlay::Mode::Indeterminate);
    b->setLabelText(text);
    b->showAnimated(true);
    if (hideAfterMs >= 0) b->hideAfter(hideAfterMs, true);
    m_box = b;
}

void QVProgressBoxWidget::finishBox(const QString &text, int hideAfterMs) {
    if (!m_box) return;
    m_box->setLabelText(text);
    m_box->hideAfter(hideAfterMs, true);
}
