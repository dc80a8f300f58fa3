#include "appkit/ProgressOverlay.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "appkit/Animations.h"
#include "appkit/QVColors.h"

namespace appkit {

namespace {
constexpr int kIndicator = 37;  // spinner and ring size
constexpr int kBarWidth = 120;
constexpr int kBarHeight = 8;
constexpr int kFadeStepMs = 16;
constexpr double kFadeStep = 0.15;  // about 0.1 s for a whole fade
}  // namespace

ProgressOverlay::ProgressOverlay(QWidget *host) : QWidget(host), m_host(host) {
    setAttribute(Qt::WA_TransparentForMouseEvents, false);
    setFocusPolicy(Qt::NoFocus);
    QWidget::hide();
    if (host != nullptr) {
        setGeometry(host->rect());
        host->installEventFilter(this);
    }
}

ProgressOverlay::~ProgressOverlay() {
    if (m_host) m_host->removeEventFilter(this);
}

bool ProgressOverlay::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_host && event->type() == QEvent::Resize) {
        setGeometry(m_host->rect());
        layoutButton();
    }
    return false;
}

void ProgressOverlay::setMode(Mode m) {
    m_mode = m;
    layoutButton();
    update();
}

void ProgressOverlay::setLabelText(const QString &text) {
    m_label = text;
    layoutButton();
    update();
}

void ProgressOverlay::setMargin(double m) {
    m_margin = m;
    layoutButton();
    update();
}

void ProgressOverlay::setYOffset(double y) {
    m_yOffset = y;
    layoutButton();
    update();
}

void ProgressOverlay::setProgress(float fraction) {
    m_progress = std::clamp(fraction, 0.0f, 1.0f);
    update();
}

void ProgressOverlay::setButtonText(const QString &text) {
    if (text.isEmpty()) {
        delete m_button;
        m_button = nullptr;
        return;
    }
    if (m_button == nullptr) {
        m_button = new QPushButton(this);
        m_button->setFocusPolicy(Qt::NoFocus);
        connect(m_button, &QPushButton::clicked, this, [this] { Q_EMIT buttonPressed(); });
    }
    m_button->setText(text);
    m_button->show();
    layoutButton();
}

QString ProgressOverlay::buttonText() const {
    return m_button != nullptr ? m_button->text() : QString();
}

QSize ProgressOverlay::contentSize() const {
    const QFontMetrics fm(font());
    const int labelW = m_label.isEmpty() ? 0 : fm.horizontalAdvance(m_label);
    const int labelH = m_label.isEmpty() ? 0 : fm.height();
    int w = labelW;
    int h = labelH;
    int gap = m_label.isEmpty() ? 0 : 8;
    switch (m_mode) {
        case Mode::Indeterminate:
        case Mode::Determinate:
            w = std::max(w, kIndicator);
            h += kIndicator + gap;
            break;
        case Mode::Bar:
            w = std::max(w, kBarWidth);
            h += kBarHeight + gap;
            break;
        case Mode::Text:
            break;
    }
    if (m_button != nullptr) {
        const QSize b = m_button->sizeHint();
        w = std::max(w, b.width());
        h += b.height() + 8;
    }
    return QSize(w, h);
}

QRect ProgressOverlay::boxRect() const {
    const QSize c = contentSize();
    const int m = static_cast<int>(m_margin);
    const int bw = c.width() + 2 * m;
    const int bh = c.height() + 2 * m;
    const int x = (width() - bw) / 2;
    const int y = (height() - bh) / 2 + static_cast<int>(m_yOffset);
    return QRect(x, y, bw, bh);
}

void ProgressOverlay::layoutButton() {
    if (m_button == nullptr) return;
    const QRect box = boxRect();
    const QSize b = m_button->sizeHint();
    const int m = static_cast<int>(m_margin);
    m_button->setGeometry(box.center().x() - b.width() / 2, box.bottom() - m - b.height() + 1, b.width(),
                          b.height());
}

void ProgressOverlay::setOpacity(double o) {
    m_opacity = std::clamp(o, 0.0, 1.0);
    update();
}

void ProgressOverlay::showAnimated(bool animated) {
    m_hideTimer.cancel();
    m_fadeTimer.cancel();
    m_shown = true;
    if (m_host) setGeometry(m_host->rect());
    layoutButton();
    raise();
    QWidget::show();
    if (m_mode == Mode::Indeterminate && Animations::enabled()) {
        m_frameTimer = plat::Scheduler::current().every(1000 / 12, this, [this] {
            m_spin = (m_spin + 1) % 12;
            update();
        });
    }
    if (animated && Animations::enabled()) {
        setOpacity(0);
        m_fadeTimer = plat::Scheduler::current().every(kFadeStepMs, this, [this] {
            setOpacity(m_opacity + kFadeStep);
            if (m_opacity >= 1.0) m_fadeTimer.cancel();
        });
    } else {
        setOpacity(1);
    }
}

void ProgressOverlay::hideAnimated(bool animated) {
    m_hideTimer.cancel();
    if (!m_shown) {
        // Never shown or already hiding: still report, so owners waiting for it go on.
        if (!m_fadeTimer.isActive()) finishHide();
        return;
    }
    m_shown = false;
    m_fadeTimer.cancel();
    if (animated && Animations::enabled() && isVisible()) {
        m_fadeTimer = plat::Scheduler::current().every(kFadeStepMs, this, [this] {
            setOpacity(m_opacity - kFadeStep);
            if (m_opacity <= 0.0) {
                m_fadeTimer.cancel();
                finishHide();
            }
        });
    } else {
        finishHide();
    }
}

void ProgressOverlay::finishHide() {
    m_frameTimer.cancel();
    m_shown = false;
    QWidget::hide();
    QPointer<ProgressOverlay> self(this);
    Q_EMIT hidden();
    if (self && m_removeOnHide) removeFromSuperview();
}

void ProgressOverlay::hideAfter(int64_t ms, bool animated) {
    m_hideTimer = plat::Scheduler::current().after(ms, this, [this, animated] { hideAnimated(animated); });
}

void ProgressOverlay::removeFromSuperview() {
    m_hideTimer.cancel();
    m_fadeTimer.cancel();
    m_frameTimer.cancel();
    QWidget::hide();
    if (m_host) m_host->removeEventFilter(this);
    m_host.clear();
    setParent(nullptr);
    deleteLater();
}

void ProgressOverlay::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(m_opacity);
    const QRect box = boxRect();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 200));
    p.drawRoundedRect(box, 9, 9);

    const int m = static_cast<int>(m_margin);
    const QRect content = box.adjusted(m, m, -m, -m);
    int y = content.top();
    const QColor fg(255, 255, 255);
    switch (m_mode) {
        case Mode::Indeterminate: {
            const QPointF c(content.center().x() + 0.5, y + kIndicator / 2.0);
            for (int i = 0; i < 12; ++i) {
                QColor col = fg;
                col.setAlphaF(0.25 + 0.75 * ((i + 12 - m_spin) % 12) / 11.0);
                p.save();
                p.translate(c);
                p.rotate(i * 30.0);
                p.setBrush(col);
                p.drawRoundedRect(QRectF(-1.5, -kIndicator / 2.0, 3, kIndicator / 3.5), 1.5, 1.5);
                p.restore();
            }
            y += kIndicator + 8;
            break;
        }
        case Mode::Determinate: {
            const QRectF r(content.center().x() - kIndicator / 2.0 + 0.5, y, kIndicator, kIndicator);
            p.setPen(QPen(fg, 2));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(r.adjusted(1, 1, -1, -1));
            p.setPen(Qt::NoPen);
            p.setBrush(fg);
            p.drawPie(r.adjusted(4, 4, -4, -4), 90 * 16, -static_cast<int>(m_progress * 360 * 16));
            y += kIndicator + 8;
            break;
        }
        case Mode::Bar: {
            const QRectF r(content.center().x() - kBarWidth / 2.0 + 0.5, y, kBarWidth, kBarHeight);
            p.setPen(QPen(fg, 1));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(r, kBarHeight / 2.0, kBarHeight / 2.0);
            p.setPen(Qt::NoPen);
            p.setBrush(fg);
            QRectF fill = r.adjusted(2, 2, -2, -2);
            fill.setWidth(fill.width() * m_progress);
            if (fill.width() > 0) p.drawRoundedRect(fill, fill.height() / 2, fill.height() / 2);
            y += kBarHeight + 8;
            break;
        }
        case Mode::Text:
            break;
    }
    if (!m_label.isEmpty()) {
        p.setPen(fg);
        const QFontMetrics fm(font());
        p.drawText(QRect(content.left(), y, content.width(), fm.height()), Qt::AlignCenter, m_label);
    }
}

}  // namespace appkit
