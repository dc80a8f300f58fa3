#include "views/ZRClickedImageView.h"

#include <QMouseEvent>
#include <QPainter>

#include "appkit/ImageNamed.h"

ZRClickedImageView::ZRClickedImageView(QWidget *parent) : QWidget(parent) {}

void ZRClickedImageView::setImage(const QPixmap &image) {
    m_image = image;
    update();
}

void ZRClickedImageView::setImageName(const QString &name) {
    m_imageName = name;
    setImage(appkit::imageNamed(name));
}

void ZRClickedImageView::mousePressEvent(QMouseEvent *event) {
    if (!rect().contains(event->position().toPoint())) return;
    event->accept();
    if (!m_action) return;
    Action action = m_action;  // the action may replace itself
    action(this);
    Q_EMIT clicked(this);
}

void ZRClickedImageView::paintEvent(QPaintEvent *) {
    if (m_image.isNull()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    // Proportionally down: never larger than the image itself, never larger than the view.
    QSizeF s = m_image.deviceIndependentSize();
    if (s.width() > width() || s.height() > height()) s.scale(size(), Qt::KeepAspectRatio);
    const QRectF r((width() - s.width()) / 2, (height() - s.height()) / 2, s.width(), s.height());
    p.drawPixmap(r, m_image, QRectF(m_image.rect()));
}
