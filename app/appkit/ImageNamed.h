// Images of the application's resources by name (":/images/<name>.png", "@2x" variants beside them).
#pragma once

#include <QPixmap>
#include <QString>

namespace appkit {

// The picture of that name, or a null pixmap when the resources hold none.
QPixmap imageNamed(const QString &name);

}  // namespace appkit

namespace appkit {
// Registers the widgets' resources (images); called by every lookup, safe to call again.
void initResources();
}  // namespace appkit
