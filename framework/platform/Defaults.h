// User defaults: "standard" and named suites, each an INI file under <AppConfigLocation>. A fresh QSettings
// per use (QSettings shares one cache per file), so any thread may read and write.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace plat {

class Defaults final {
  public:
    Defaults() = delete;
    static std::unique_ptr<QSettings> standard();                  // <AppConfigLocation>/standard.ini
    static std::unique_ptr<QSettings> suite(const QString &name);  // <AppConfigLocation>/<name>.ini
    static QString suitePath(const QString &name);
};

}  // namespace plat
