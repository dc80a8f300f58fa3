// Resource images in the variant that matches the screen's scale: "@3x", "@2x" or plain, with fall-backs.
#pragma once

#include <QPixmap>
#include <QString>
#include <QStringList>

class ZRBundleImageHandle final {
  public:
    ZRBundleImageHandle() = delete;

    // The image for the key window's scale (0 without a key window); null when no variant exists.
    static QPixmap bundleImageWithName(const QString &name, const QString &fileType);
    // The same for a given scale.
    static QPixmap bundleImageWithName(const QString &name, const QString &fileType, double scale);
    // The order of lookups for a scale: candidate paths, first found wins.
    static QStringList lookupOrder(const QString &name, const QString &fileType, double scale);

    // Paths (empty when absent) of the plain, "@2x" and "@3x" variants; with a bundle name, inside
    // "<resources>/<bundle>/Contents/Resources/".
    static QString tempPathForResource_x(const QString &name, const QString &ofType,
                                         const QString &andBundleName);
    static QString tempPathForResource_2x(const QString &name, const QString &ofType,
                                          const QString &andBundleName);
    static QString tempPathForResource_3x(const QString &name, const QString &ofType,
                                          const QString &andBundleName);

    // The names each lookup adjusts the given name to.
    static QString adjustedName_x(const QString &name);
    static QString adjustedName_2x(const QString &name);
    static QString adjustedName_3x(const QString &name);

    // Where resources live (":/images" by default; tests point it at a folder).
    static void setResourceDirectory(const QString &dir);
    static QString resourceDirectory();
};
