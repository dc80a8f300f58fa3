// The application's general toolbox: the chosen language and localised texts, file types by suffix,
// size and duration texts, MD5 digests and the user-facing text of every response code.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class QVPrivateTools final {
  public:
    QVPrivateTools() = delete;

    // "zh-Hans", "zh-Hant", "zh", "ja" or "en" for a preferred language such as "zh-HK".
    static QString languageForPreferredLanguage(const QString &preferred);
    // The language chosen at the first lookup from plat::Locale, fixed for the process.
    static QString chosenLanguage();
    // The localised text of the key; null when the chosen language has no translation catalogue. A key
    // missing from the catalogue gives the key itself.
    static std::optional<QString> DPLocalizedString(const QString &key);
    // DPLocalizedString, or the key where it answers null.
    static QString localizedOrKey(const QString &key);
    // Tests: forget the chosen language so that the next lookup chooses again.
    static void resetLanguageForTests();

    // {"FileType", "imagePath", "fileUTI", "fileSuffix"} of a name, by its suffix (first match wins).
    static QVariantMap JudgeReadFileType(const QString &fileName);
    // {"fileNameWithOutSuffix", "fileSuffix"}: split at the last ".", the suffix keeps its dot.
    static QVariantMap checkReadFileType(const QString &fileName);

    static QString formattedFileSize(uint64_t size);
    static uint64_t antiFormatFileSize(const QString &text);
    static QString getTimeWithBootTime(int64_t bootTime);
    static QString md5ForString(const QString &text);

    static QString getErrorMessage(int64_t code);
};
