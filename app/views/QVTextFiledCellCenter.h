// A text cell that centres its text vertically: drawing and editing use the frame inset equally at top and
// bottom so that the font's height sits in the middle.
#pragma once

#include <QRectF>
#include <QStyledItemDelegate>

class QVTextFiledCellCenter : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // d = floor((frame height - ceil(font height)) / 2): the frame inset by d at top and bottom.
    static QRectF adjustedFrameToVerticallyCenterText(const QRectF &frame, double fontBoundingHeight);
    QRectF adjustedFrameToVerticallyCenterText(const QRectF &frame, const QFont &font) const;

    double oringeY() const { return m_oringeY; }
    void setOringeY(double y) { m_oringeY = y; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

  private:
    double m_oringeY = 0;
};
