#include "views/NSControl_yb.h"

#include <QPointer>
#include <QVariant>
#include <cmath>

#include "platform/Scheduler.h"

namespace {
constexpr char kInterval[] = "NSControl_acceptEventInterval";
constexpr char kIgnore[] = "NSControl_ignoreEvent";
}  // namespace

double yb_acceptEventInterval(const QObject *control) {
    return control != nullptr ? control->property(kInterval).toDouble() : 0.0;
}

void setYb_acceptEventInterval(QObject *control, double seconds) {
    if (control != nullptr) control->setProperty(kInterval, seconds);
}

bool yb_ignoreEvent(const QObject *control) {
    return control != nullptr && control->property(kIgnore).toBool();
}

void setYb_ignoreEvent(QObject *control, bool on) {
    if (control != nullptr) control->setProperty(kIgnore, on);
}

void yb_sendAction(QObject *control, const std::function<void()> &deliver) {
    if (yb_ignoreEvent(control)) return;
    const double interval = yb_acceptEventInterval(control);
    if (interval > 0) {
        setYb_ignoreEvent(control, true);
        QPointer<QObject> guard(control);
        plat::Scheduler::current()
            .after(static_cast<int64_t>(std::llround(interval * 1000)), control,
                   [guard] {
                       if (guard) setYb_ignoreEvent(guard, false);
                   })
            .detach();
    }
    if (deliver) deliver();
}
