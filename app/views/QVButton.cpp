#include "views/QVButton.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <cmath>

#include "appkit/QVColors.h"

#define QV_LOCKED std::lock_guard<std::mutex> lock(m_mu)

double QVButtonCell::cornerRadius() const {
    QV_LOCKED;
    return m_cornerRadius;
}
void QVButtonCell::setCornerRadius(double r) {
    QV_LOCKED;
    m_cornerRadius = r;
}
QColor QVButtonCell::background() const {
    QV_LOCKED;
    return m_background;
}
void QVButtonCell::setBackground(const QColor &c) {
    QV_LOCKED;
    m_background = c;
}
QColor QVButtonCell::highlightColor() const {
    QV_LOCKED;
    return m_highlightColor;
}
void QVButtonCell::setHighlightColor(const QColor &c) {
    QV_LOCKED;
    m_highlightColor = c;
}
QColor QVButtonCell::textColor() const {
    QV_LOCKED;
    return m_textColor;
}
void QVButtonCell::setTextColor(const QColor &c) {
    QV_LOCKED;
    m_textColor = c;
}
QColor QVButtonCell::highlightTextColor() const {
    QV_LOCKED;
    return m_highlightTextColor;
}
void QVButtonCell::setHighlightTextColor(const QColor &c) {
    QV_LOCKED;
    m_highlightTextColor = c;
}
QMarginsF QVButtonCell::padding() const {
    QV_LOCKED;
    return m_padding;
}
void QVButtonCell::setPadding(const QMarginsF &m) {
    QV_LOCKED;
    m_padding = m;
}
QColor QVButtonCell::backgroundColor() const {
    QV_LOCKED;
    return m_backgroundColor;
}
void QVButtonCell::setBackgroundColor(const QColor &c) {
    QV_LOCKED;
    m_backgroundColor = c;
}

QRectF QVButtonCell::titleRectForBounds(const QRectF &bounds) const {
    const QMarginsF m = padding();
    return QRectF(bounds.x() + m.left(), bounds.y() + m.top(), bounds.width() - (m.left() + m.right()),
                  bounds.height() - (m.top() + m.bottom()));
}

QSizeF QVButtonCell::cellSizeForBounds(const QSizeF &titleSize) const {
    const QMarginsF m = padding();
    return QSizeF(titleSize.width() + m.left() + m.right(), titleSize.height() + m.top() + m.bottom());
}

void QVButtonCell::drawBezelWithFrame(QPainter &p, const QRectF &frame) const {
    const QColor bg = background();
    if (!bg.isValid()) return;
    const double r = cornerRadius();
    p.save();
    QPainterPath clip;
    clip.addRoundedRect(frame, r, r);
    p.setClipPath(clip);
    p.fillRect(frame, bg);
    p.restore();
}

void QVButtonCell::drawTitleWithColor(QPainter &p, const QString &title, const QFont &font,
                                      const QRectF &rect, const QColor &color) {
    if (title.isEmpty() || !color.isValid()) return;
    p.save();
    p.setFont(font);
    p.setPen(color);
    p.drawText(rect, Qt::AlignCenter, title);
    p.restore();
}

void QVButtonCell::drawInteriorWithFrame(QPainter &p, const QRectF &frame, const QString &title,
                                         const QFont &font, bool highlighted) const {
    drawTitle(p, title, font, titleRectForBounds(frame), highlighted);
    if (!highlighted) return;
    const double r = cornerRadius();
    p.save();
    QPainterPath clip;
    clip.addRoundedRect(frame, r, r);
    p.setClipPath(clip);
    const QColor hl = highlightColor();
    if (hl.isValid()) p.fillRect(frame, hl);
    p.restore();
    drawTitleWithColor(p, title, font, titleRectForBounds(frame), highlightTextColor());
}

QRectF QVButtonCell::drawTitle(QPainter &p, const QString &title, const QFont &font, const QRectF &frame,
                               bool highlighted) const {
    const QColor tc = textColor();
    if (tc.isValid() && !highlighted) drawTitleWithColor(p, title, font, frame, tc);
    return frame;
}

namespace {

void applyDefaultLook(QVButton *b) {
    b->setCornerRadius(4);
    b->setBackgroundColor(QColor::fromRgbF(0, 0, 0, 0.3));
    b->setHighlightColor(QColor::fromRgbF(0, 0, 0, 0.3));
    b->setTextColor(QColor::fromRgbF(0.2f, 0.2f, 0.2f, 0.9f));
    b->setHighlightTextColor(QColor::fromRgbF(0.2f, 0.2f, 0.2f, 0.5f));
    b->setPadding(QMarginsF(13, 2, 13, 2));
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(13);
    b->setFont(f);
    b->setSubpixelAntialiasing(true);
}

}  // namespace

QVButton::QVButton(QWidget *parent) : QAbstractButton(parent) {
    applyDefaultLook(this);
}

QVButton::QVButton(const QColor &highlightColor, QWidget *parent) : QAbstractButton(parent) {
    applyDefaultLook(this);
    setHighlightColor(highlightColor);
    setHighlightTextColor(highlightColor);
}

QVButton::QVButton(FromNib, QWidget *parent) : QAbstractButton(parent) {}

void QVButton::setCornerRadius(double r) {
    m_cell.setCornerRadius(r);
    update();
}

void QVButton::setBackgroundColor(const QColor &c) {
    m_cell.setBackground(c);
    m_cell.setBackgroundColor(c);
    update();
}

void QVButton::setHighlightColor(const QColor &c) {
    m_cell.setHighlightColor(c);
    update();
}

void QVButton::setTextColor(const QColor &c) {
    m_cell.setTextColor(c);
    update();
}

void QVButton::setHighlightTextColor(const QColor &c) {
    m_cell.setHighlightTextColor(c);
    update();
}

void QVButton::setPadding(const QMarginsF &m) {
    m_cell.setPadding(m);
    updateGeometry();
    update();
}

void QVButton::setSubpixelAntialiasing(bool on) {
    m_subpixelAntialiasing = on;
    update();
}

void QVButton::setShowHelpButtonCss() {
    setHighlightColor(Qt::transparent);
    setBackgroundColor(Qt::transparent);
    setTextColor(QColor::fromRgbF(0.4f, 0.4f, 0.4f, 1.0f));
    setHighlightTextColor(QColor(170, 170, 170));  // the system's light grey (white level 2/3)
}

QSize QVButton::sizeHint() const {
    const QFontMetricsF fm(font());
    const QSizeF title(std::ceil(fm.horizontalAdvance(text())), std::ceil(fm.height()));
    const QSizeF s = m_cell.cellSizeForBounds(title);
    return QSize(static_cast<int>(std::ceil(s.width())), static_cast<int>(std::ceil(s.height())));
}

void QVButton::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing, m_subpixelAntialiasing);
    const QRectF frame = rect();
    m_cell.drawBezelWithFrame(p, frame);
    m_cell.drawInteriorWithFrame(p, frame, text(), font(), isDown());
}

QVBlueButton::QVBlueButton(QWidget *parent) : QAbstractButton(parent) {}

QSize QVBlueButton::sizeHint() const {
    QFont f(QStringLiteral("Verdana"));
    f.setPixelSize(14);
    const QFontMetrics fm(f);
    return QSize(fm.horizontalAdvance(text()) + 40, std::max(25, fm.height() + 8));
}

void QVBlueButton::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), QVColors::accent());  // over anything a bezel would have drawn
    if (!text().isEmpty()) {
        QFont f(QStringLiteral("Verdana"));  // any sans-serif where Verdana is missing
        f.setStyleHint(QFont::SansSerif);
        f.setPixelSize(14);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(20, 0, width() - 20, height()), Qt::AlignCenter, text());
    }
    if (!icon().isNull()) {
        // (10, 5, 15, 15) measured from the bottom edge, as the design's y axis points up.
        const QRect r(10, height() - 5 - 15, 15, 15);
        icon().paint(&p, r);
    }
}

void setButtonTitleColor(QAbstractButton *button, const QColor &color) {
    if (button == nullptr) return;
    if (auto *qv = qobject_cast<QVButton *>(button)) {
        qv->setTextColor(color);
        return;
    }
    QPalette pal = button->palette();
    pal.setColor(QPalette::ButtonText, color);
    button->setPalette(pal);
}
