#include "views/QVCircularIndicator.h"

#include <QConicalGradient>
#include <QPainter>
#include <algorithm>

#include "appkit/QVColors.h"

QVCircularIndicator::QVCircularIndicator(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void QVCircularIndicator::startAnimation() {
    if (m_updateTimer.isActive()) return;
    setupUpdateTimer();
    updateIndeterminate();  // fired once at once
}

void QVCircularIndicator::setupUpdateTimer() {
    const float interval = 1.0f / 30.0f;  // seconds, single precision as the ring's period
    const auto ms = static_cast<int64_t>(interval * 1000.0f);
    m_updateTimer = plat::Scheduler::current().every(ms, this, [this] { updateIndeterminate(); });
}

void QVCircularIndicator::stopAnimation() {
    m_updateTimer.cancel();
}

void QVCircularIndicator::updateIndeterminate() {
    m_deltaAngle += static_cast<double>(0.04f);
    if (m_deltaAngle > 1) m_deltaAngle = 0;
    update();
}

QRectF QVCircularIndicator::ringSquare(const QSizeF &size) {
    const double d = std::min(size.width(), size.height());
    return QRectF((size.width() - d) / 2, (size.height() - d) / 2, d, d);
}

QPainterPath QVCircularIndicator::clipPartOfCircular(const QRectF &rect, double percentBegin,
                                                     double percentage) {
    QPainterPath path;
    const QPointF c = rect.center();
    const double startDeg = 90 - percentBegin * 360;
    // Qt's angles run counter-clockwise on screen like the design's y-up angles; a clockwise sweep is
    // negative.
    path.moveTo(c);
    path.arcTo(rect, startDeg, -percentage * 360);
    path.closeSubpath();
    return path;
}

void QVCircularIndicator::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF square = ringSquare(size());
    QPainterPath ring;
    ring.setFillRule(Qt::OddEvenFill);
    ring.addEllipse(square);
    ring.addEllipse(square.adjusted(5, 5, -5, -5));
    p.setClipPath(clipPartOfCircular(square, m_deltaAngle, 0.8));
    // Both ends of the gradient are the accent: the ring is one colour at any angle.
    QConicalGradient g(square.center(), 270 - m_deltaAngle * 360);
    g.setColorAt(0, QVColors::accent());
    g.setColorAt(1, QVColors::accent());
    p.fillPath(ring, g);
}
