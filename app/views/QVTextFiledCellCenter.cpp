#include "views/QVTextFiledCellCenter.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

QRectF QVTextFiledCellCenter::adjustedFrameToVerticallyCenterText(const QRectF &frame,
                                                                  double fontBoundingHeight) {
    const double f = std::ceil(static_cast<float>(fontBoundingHeight));
    const int d = static_cast<int>(std::floor((frame.height() - f) * 0.5));
    return QRectF(frame.x(), frame.y() + d, frame.width(), frame.height() - 2 * d);
}

QRectF QVTextFiledCellCenter::adjustedFrameToVerticallyCenterText(const QRectF &frame,
                                                                  const QFont &font) const {
    return adjustedFrameToVerticallyCenterText(frame, QFontMetricsF(font).height());
}

void QVTextFiledCellCenter::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const {
    QStyleOptionViewItem o = option;
    o.rect = adjustedFrameToVerticallyCenterText(QRectF(option.rect), option.font).toRect();
    QStyledItemDelegate::paint(painter, o, index);
}

void QVTextFiledCellCenter::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                                 const QModelIndex &) const {
    editor->setGeometry(adjustedFrameToVerticallyCenterText(QRectF(option.rect), option.font).toRect());
}
