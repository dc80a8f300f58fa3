// One-point border lines along chosen edges of a view, the edges summed as flags: 2 bottom, 4 top, 8 left,
// 16 right. The number comes from the view's identifier (its objectName) or its tag (the "tag" property).
#pragma once

#include <QList>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

enum QVBorderEdge : int { QVBorderBottom = 2, QVBorderTop = 4, QVBorderLeft = 8, QVBorderRight = 16 };

// The line rectangles (y down) for a number and a size. Every even number from 2 to 30 draws the edges it
// sums; any other number draws nothing. Through the identifier, 16 draws all four edges (as 30).
QList<QRectF> borderLineRects(int number, bool fromIdentifier, const QSizeF &size);
// The integer value of an identifier: its leading digits, 0 without any.
int identifierIntegerValue(const QString &identifier);

// Draw the lines into the view's current painting (call from its paintEvent).
void showViewBorder(QWidget *view, QPainter &p);
void showViewBorderByState(QWidget *view, QPainter &p);

// A view whose identifier selects its border lines.
class QVBorderView : public QWidget {
    Q_OBJECT
  public:
    explicit QVBorderView(QWidget *parent = nullptr) : QWidget(parent) {}

  protected:
    void paintEvent(QPaintEvent *) override;
};
