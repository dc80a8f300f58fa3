// Throttling a control's actions to one per interval. The two values live on the control as properties
// "NSControl_acceptEventInterval" (seconds, 0 when never set) and "NSControl_ignoreEvent" (false).
#pragma once

#include <QObject>
#include <functional>

double yb_acceptEventInterval(const QObject *control);
void setYb_acceptEventInterval(QObject *control, double seconds);
bool yb_ignoreEvent(const QObject *control);
void setYb_ignoreEvent(QObject *control, bool on);
// Delivers the action unless the control is closed; with an interval, closes it for that long first.
// With the interval at 0 this is plain delivery.
void yb_sendAction(QObject *control, const std::function<void()> &deliver);
