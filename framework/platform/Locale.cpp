#include "platform/Locale.h"

#include <QLocale>
#include <mutex>
#include <optional>

namespace plat {

namespace {
std::mutex g_mu;
std::optional<QStringList> g_languages;
std::optional<QTimeZone> g_zone;
}  // namespace

QStringList Locale::preferredLanguages() {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_languages) return *g_languages;
    }
    return QLocale::system().uiLanguages();
}

QTimeZone Locale::systemTimeZone() {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_zone) return *g_zone;
    }
    return QTimeZone::systemTimeZone();
}

void Locale::setPreferredLanguages(const QStringList &languages) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_languages = languages;
}

void Locale::setSystemTimeZone(const QTimeZone &zone) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_zone = zone;
}

void Locale::reset() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_languages.reset();
    g_zone.reset();
}

}  // namespace plat
