#include "views/NSView_Border.h"

#include <QPainter>

#include "appkit/QVColors.h"

int identifierIntegerValue(const QString &identifier) {
    const QString t = identifier.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+')))
        negative = t[i++] == QLatin1Char('-');
    long long v = 0;
    while (i < t.size() && t[i].isDigit() && v < 1000000000) v = v * 10 + t[i++].digitValue();
    return static_cast<int>(negative ? -v : v);
}

QList<QRectF> borderLineRects(int number, bool fromIdentifier, const QSizeF &size) {
    QList<QRectF> out;
    if (number < 2 || number > 30 || number % 2 != 0) return out;
    if (fromIdentifier && number == 16) number = 30;
    const double w = size.width();
    const double h = size.height();
    // The design measures y upwards: its bottom line (y 0) is our last row, its top line our first.
    if (number & QVBorderBottom) out.append(QRectF(0, h - 1, w, 1));
    if (number & QVBorderTop) out.append(QRectF(0, 0, w, 1));
    if (number & QVBorderLeft) out.append(QRectF(0, 0, 1, h));
    if (number & QVBorderRight) out.append(QRectF(w - 1, 0, 1, h));
    return out;
}

namespace {
void drawLines(const QList<QRectF> &rects, QPainter &p) {
    for (const QRectF &r : rects) p.fillRect(r, QVColors::borderLine());
}
}  // namespace

void showViewBorder(QWidget *view, QPainter &p) {
    if (view == nullptr) return;
    drawLines(borderLineRects(identifierIntegerValue(view->objectName()), true, view->size()), p);
}

void showViewBorderByState(QWidget *view, QPainter &p) {
    if (view == nullptr) return;
    drawLines(borderLineRects(view->property("tag").toInt(), false, view->size()), p);
}

void QVBorderView::paintEvent(QPaintEvent *) {
    QPainter p(this);
    showViewBorder(this, p);
}
