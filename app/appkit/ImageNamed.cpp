#include "appkit/ImageNamed.h"

#include <QFile>
#include <mutex>

// The resources live in a static library: nothing would pull their registration in by itself.
static void initAppkitResourcesOnce() {
    Q_INIT_RESOURCE(appkit);
}

namespace appkit {

void initResources() {
    static std::once_flag once;
    std::call_once(once, initAppkitResourcesOnce);
}

QPixmap imageNamed(const QString &name) {
    initResources();
    const QString path = QStringLiteral(":/images/%1.png").arg(name);
    if (!QFile::exists(path)) return QPixmap();
    QPixmap p(path);
    const QString twice = QStringLiteral(":/images/%1@2x.png").arg(name);
    if (QFile::exists(twice)) {
        QPixmap hi(twice);
        hi.setDevicePixelRatio(2.0);
        return hi;
    }
    return p;
}

}  // namespace appkit
