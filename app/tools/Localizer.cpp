#include "tools/Localizer.h"

#include <QStringList>

#include "platform/Locale.h"

QString Localizer::languageForPreferredLanguage(const QString &p) {
    if (p.startsWith(QLatin1String("zh"))) {
        if (p.startsWith(QLatin1String("zh-Hans"))) return QStringLiteral("zh-Hans");
        if (p.startsWith(QLatin1String("zh-Hant"))) return QStringLiteral("zh-Hant");
        for (const char *region : {"HK", "TW", "MO", "SG"})
            if (p.contains(QLatin1String(region))) return QStringLiteral("zh-Hant");
        return QStringLiteral("zh");
    }
    if (p.startsWith(QLatin1String("ja"))) return QStringLiteral("ja");
    return QStringLiteral("en");
}

QTranslator *Localizer::ensure() {
    if (m_language.isEmpty()) {
        const QStringList preferred = plat::Locale::preferredLanguages();
        m_language = languageForPreferredLanguage(preferred.isEmpty() ? QString() : preferred.first());
        auto t = std::make_unique<QTranslator>();
        if (t->load(QStringLiteral(":/i18n/qvnas_") + m_language + QStringLiteral(".qm")))
            m_translator = std::move(t);
    }
    return m_translator.get();
}

QString Localizer::language() {
    std::lock_guard lock(m_mu);
    ensure();
    return m_language;
}

std::optional<QString> Localizer::text(const QString &key) {
    std::lock_guard lock(m_mu);
    QTranslator *t = ensure();
    if (t == nullptr) return std::nullopt;
    const QString s = t->translate("QV", key.toUtf8().constData());
    return s.isEmpty() ? key : s;
}

void Localizer::reset() {
    std::lock_guard lock(m_mu);
    m_language.clear();
    m_translator.reset();
}
