#include "views/ZRBundleImageHandle.h"

#include <QApplication>
#include <QFile>
#include <QWidget>
#include <cmath>

#include "appkit/ImageNamed.h"

namespace {
QString &resourceDir() {
    static QString dir = QStringLiteral(":/images");
    return dir;
}

QString pathFor(const QString &adjusted, const QString &type, const QString &bundle) {
    if (bundle.isEmpty()) {
        const QString p = QStringLiteral("%1/%2.%3").arg(resourceDir(), adjusted, type);
        return QFile::exists(p) ? p : QString();
    }
    const QString p =
        QStringLiteral("%1/%2/Contents/Resources/%3.%4").arg(resourceDir(), bundle, adjusted, type);
    return QFile::exists(p) ? p : QString();
}
}  // namespace

void ZRBundleImageHandle::setResourceDirectory(const QString &dir) {
    resourceDir() = dir;
}
QString ZRBundleImageHandle::resourceDirectory() {
    return resourceDir();
}

QString ZRBundleImageHandle::adjustedName_x(const QString &name) {
    QString n = name;
    if (n.endsWith(QLatin1String("@3x"))) return n.remove(QStringLiteral("@3x"));
    if (n.endsWith(QLatin1String("@2x"))) return n.remove(QStringLiteral("@2x"));
    return n;
}

QString ZRBundleImageHandle::adjustedName_2x(const QString &name) {
    QString n = name;
    if (n.endsWith(QLatin1String("@3x"))) return n.replace(QStringLiteral("@3x"), QStringLiteral("@2x"));
    if (n.endsWith(QLatin1String("@2x"))) return n;
    return n + QStringLiteral("@2x");
}

QString ZRBundleImageHandle::adjustedName_3x(const QString &name) {
    QString n = name;
    if (n.endsWith(QLatin1String("@3x"))) return n;
    if (n.endsWith(QLatin1String("@2x"))) return n.replace(QStringLiteral("@2x"), QStringLiteral("@3x"));
    return n + QStringLiteral("@3x");
}

QString ZRBundleImageHandle::tempPathForResource_x(const QString &name, const QString &ofType,
                                                   const QString &andBundleName) {
    return pathFor(adjustedName_x(name), ofType, andBundleName);
}

QString ZRBundleImageHandle::tempPathForResource_2x(const QString &name, const QString &ofType,
                                                    const QString &andBundleName) {
    return pathFor(adjustedName_2x(name), ofType, andBundleName);
}

QString ZRBundleImageHandle::tempPathForResource_3x(const QString &name, const QString &ofType,
                                                    const QString &andBundleName) {
    return pathFor(adjustedName_3x(name), ofType, andBundleName);
}

QStringList ZRBundleImageHandle::lookupOrder(const QString &name, const QString &fileType, double scale) {
    const QString x = QStringLiteral("%1/%2.%3").arg(resourceDir(), adjustedName_x(name), fileType);
    const QString x2 = QStringLiteral("%1/%2.%3").arg(resourceDir(), adjustedName_2x(name), fileType);
    const QString x3 = QStringLiteral("%1/%2.%3").arg(resourceDir(), adjustedName_3x(name), fileType);
    if (std::fabs(scale - 3) <= 0.001) return {x3, x2, x};
    if (std::fabs(scale - 2) <= 0.001) return {x2, x3, x};
    return {x, x2, x3};
}

QPixmap ZRBundleImageHandle::bundleImageWithName(const QString &name, const QString &fileType, double scale) {
    appkit::initResources();
    for (const QString &p : lookupOrder(name, fileType, scale)) {
        if (QFile::exists(p)) return QPixmap(p);
    }
    return QPixmap();
}

QPixmap ZRBundleImageHandle::bundleImageWithName(const QString &name, const QString &fileType) {
    QWidget *key = QApplication::activeWindow();
    return bundleImageWithName(name, fileType, key != nullptr ? key->devicePixelRatioF() : 0.0);
}
