// The application's texts in the user's language, on Qt Linguist: one catalogue per language
// (app/i18n/qvnas_<language>.ts, compiled to ":/i18n/qvnas_<language>.qm"), context "QV". The language is
// chosen from plat::Locale's first preferred language at the first lookup and fixed for the process.
#pragma once

#include <QString>
#include <QTranslator>
#include <memory>
#include <mutex>
#include <optional>

class Localizer final {
  public:
    static Localizer &shared() {
        static auto *const s = new Localizer;  // never destroyed
        return *s;
    }
    Localizer(const Localizer &) = delete;
    Localizer &operator=(const Localizer &) = delete;

    // "zh-Hans", "zh-Hant", "zh", "ja" or "en" for a preferred language such as "zh-HK".
    static QString languageForPreferredLanguage(const QString &preferred);
    // The chosen language (chosen now if not yet).
    QString language();
    // The text of the key in the chosen language; the key itself when the catalogue lacks it; null when
    // the language has no catalogue.
    std::optional<QString> text(const QString &key);
    // Tests: forget the choice so that the next lookup chooses again.
    void reset();

  private:
    Localizer() = default;
    QTranslator *ensure();  // under m_mu
    std::mutex m_mu;
    QString m_language;
    std::unique_ptr<QTranslator> m_translator;
};
