#include "appkit/LoadingBubbles.h"

#include <QPainter>
#include <QtMath>

#include "appkit/Animations.h"

namespace appkit {

LoadingBubbles::LoadingBubbles(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    QWidget::hide();
}

void LoadingBubbles::startAnimating() {
    if (m_running) return;
    m_running = true;
    ++m_starts;
    m_fade.cancel();
    m_opacity = 1.0;
    QWidget::show();
    raise();
    m_frames = plat::Scheduler::current().every(1000 / 30, this, [this] {
        m_phase += 1.0 / 30.0;  // one turn a second
        if (m_phase >= 1.0) m_phase -= 1.0;
        update();
    });
}

void LoadingBubbles::stopAnimating() {
    if (!m_running) return;
    m_running = false;
    m_frames.cancel();
    if (!Animations::enabled()) {
        QWidget::hide();
        return;
    }
    m_fade = plat::Scheduler::current().every(16, this, [this] {
        m_opacity -= 0.1;
        if (m_opacity <= 0) {
            m_fade.cancel();
            m_opacity = 1.0;
            QWidget::hide();
        }
        update();
    });
}

void LoadingBubbles::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), m_background);
    p.setOpacity(m_opacity);
    const double d = std::min(width(), height());
    const QPointF c(width() / 2.0, height() / 2.0);
    const double radius = d * 0.32;
    const double bubble = d * 0.09;
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 5; ++i) {
        // The bubbles trail the lead one, smaller and lighter.
        const double a = 2 * M_PI * (m_phase - i * 0.06) - M_PI / 2;
        QColor col = m_tint;
        col.setAlphaF(col.alphaF() * (1.0 - i * 0.15));
        p.setBrush(col);
        const double r = bubble * (1.0 - i * 0.12);
        p.drawEllipse(QPointF(c.x() + radius * std::cos(a), c.y() + radius * std::sin(a)), r, r);
    }
}

}  // namespace appkit
