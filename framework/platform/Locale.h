// The user's preferred languages and the system time zone, both settable in tests.
#pragma once

#include <QStringList>
#include <QTimeZone>

namespace plat {

class Locale final {
  public:
    Locale() = delete;
    // Preferred languages, first one first ("zh-Hans-CN", "en-US", ...).
    static QStringList preferredLanguages();
    static QTimeZone systemTimeZone();
    static void setPreferredLanguages(const QStringList &languages);  // tests
    static void setSystemTimeZone(const QTimeZone &zone);             // tests
    static void reset();
};

}  // namespace plat
