// The application's colours, each named once.
#pragma once

#include <QColor>

namespace QVColors {

inline QColor accent() {
    return QColor(57, 148, 239);
}  // blue buttons, badges, busy ring
inline QColor selectedRow() {
    return QColor(234, 245, 255);
}  // selected table rows
inline QColor focusFrame() {
    return QColor(46, 126, 253);
}  // focused input box, 3 points
inline QColor restingFrame() {
    return QColor(200, 200, 200);
}  // input box at rest, 1 point
inline QColor borderLine() {
    return QColor(197, 197, 197);
}  // one-point border lines
inline QColor loadingTint() {
    return QColor(75, 138, 247);
}  // loading bubbles

}  // namespace QVColors
