#include "tools/QVPrivateTools.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QTranslator>
#include <array>
#include <atomic>
#include <mutex>

#include "platform/Locale.h"
#include "tools/Localizer.h"
#include "tools/NSString_escapeURLString.h"

QString QVPrivateTools::languageForPreferredLanguage(const QString &p) {
    return Localizer::languageForPreferredLanguage(p);
}

QString QVPrivateTools::chosenLanguage() {
    return Localizer::shared().language();
}

std::optional<QString> QVPrivateTools::DPLocalizedString(const QString &key) {
    return Localizer::shared().text(key);
}

QString QVPrivateTools::localizedOrKey(const QString &key) {
    return DPLocalizedString(key).value_or(key);
}

void QVPrivateTools::resetLanguageForTests() {
    Localizer::shared().reset();
}

namespace {

struct TypeRow {
    std::initializer_list<const char *> suffixes;
    int64_t fileType;
    const char *imagePath;
    const char *fileUTI;
    bool keepSuffix;
};

// Tested in this order; the first suffix that ends the lower-cased name decides.
const TypeRow kTypeRows[] = {
    {{".ds_store"}, -1, "unknownfile", "", true},
    {{".jpg", ".png", ".gif", ".jpeg", ".bmp", ".tiff", ".ico", ".tif", ".tga", ".j2k", ".jp2", ".heic"},
     3,
     "picture",
     "public.image",
     true},
    {{".mp3", ".wav", ".mod", ".awf", ".m4a", ".m4r", ".aac", ".ogg", ".dts", ".mp2", ".flac", ".wma",
      ".mmf"},
     2,
     "music",
     "public.audio",
     true},
    {{".avi", ".mov", ".mp4", ".wmv", ".rmvb", ".flv", ".m4v", ".ts", ".mkv", ".swf", ".3gp", ".mpg", ".vob",
      ".asf", ".m2ts"},
     1,
     "video",
     "public.movie",
     true},
    {{".doc", ".docx", ".wps"}, 4, "Word", "com.microsoft.word.doc", true},
    {{".xls", ".xlsx"}, 4, "Excel", "com.microsoft.excel.xls", true},
    {{".ppt", ".pptx"}, 4, "PPT", "com.microsoft.powerpoint.ppt", true},
    {{".pdf"}, 4, "PDF", "com.adobe.pdf", true},
    {{".txt"}, 4, "TXT", "public.text", true},
    {{".rtf"}, 4, "TXT", "public.rtf", true},
    {{".rar", ".zip"}, 5, "zip", "public.archive", true},
    {{".html"}, 4, "unknownfile", "public.html", true},
    {{".apk"}, 4, "Android", "public.apk", true},
    {{".ipa"}, 4, "file_ipa", "", true},
    {{".psd"}, 4, "file_psd", "", true},
    {{".torrent"}, 4, "file_bt", "", true},
    {{".c"}, 4, "file_code", "", false},
    {{".m",    ".cp",  ".cpp", ".c++", ".cc",   ".cxx", ".mm",  ".h",  ".hpp",     ".h++", ".hxx",
      ".java", ".jav", ".s",   ".r",   ".defs", ".mig", ".exp", ".js", ".jscript", ".css", ".sh"},
     4,
     "file_code",
     "",
     true},
    {{".exe", ".dll", ".class", ".jar", ".qtz", ".log", ".bat", ".bin", ".ini", ".pem"},
     4,
     "file_bat",
     "",
     false},
};

QVariantMap typeRecord(int64_t type, const char *image, const char *uti, const QString &suffix) {
    return {{QStringLiteral("FileType"), QVariant::fromValue<qint64>(type)},
            {QStringLiteral("imagePath"), QString::fromLatin1(image)},
            {QStringLiteral("fileUTI"), QString::fromLatin1(uti)},
            {QStringLiteral("fileSuffix"), suffix}};
}

}  // namespace

QVariantMap QVPrivateTools::JudgeReadFileType(const QString &fileName) {
    const QString lower = fileName.toLower();
    for (const TypeRow &row : kTypeRows)
        for (const char *suffix : row.suffixes)
            if (lower.endsWith(QLatin1String(suffix)))
                return typeRecord(row.fileType, row.imagePath, row.fileUTI,
                                  row.keepSuffix ? QString::fromLatin1(suffix) : QString());
    return typeRecord(7, "unknownfile", "", QString());
}

QVariantMap QVPrivateTools::checkReadFileType(const QString &fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return {{QStringLiteral("fileNameWithOutSuffix"), fileName},
                {QStringLiteral("fileSuffix"), QString()}};
    return {{QStringLiteral("fileNameWithOutSuffix"), fileName.left(dot)},
            {QStringLiteral("fileSuffix"), fileName.mid(dot)}};
}

namespace {
// The "0 KB" text, looked up in the application's own language.
QString zeroKB() {
    const QString t = QCoreApplication::translate("QV", "0 KB");
    return t.isEmpty() ? QStringLiteral("0 KB") : t;
}
}  // namespace

QString QVPrivateTools::formattedFileSize(uint64_t size) {
    if (size == 0) return zeroKB();
    if (size < 1024) return QString::asprintf("%llubytes", static_cast<unsigned long long>(size));
    double value;
    const char *unit;
    if (size <= 1048575ULL) {
        value = static_cast<double>(size) / 1024.0;
        unit = "KB";
    } else if (size <= 1073741823ULL) {
        value = static_cast<double>(size) / 1048576.0;
        unit = "MB";
    } else {
        value = static_cast<double>(size) / 1073741824.0;
        unit = "GB";
    }
    const char *format = value < 10 ? "%.2f%s" : value < 100 ? "%.1f%s" : "%.0f%s";
    return QString::asprintf(format, value, unit);
}

uint64_t QVPrivateTools::antiFormatFileSize(const QString &text) {
    if (text == zeroKB()) return 0;
    auto number = [&](qsizetype unitLength) { return text.left(text.size() - unitLength); };
    if (text.endsWith(QLatin1String("bytes"))) return number(5).toULongLong();
    auto scaled = [](double v, double f) { return v > 0 ? static_cast<uint64_t>(v * f) : 0; };
    if (text.endsWith(QLatin1String("KB"))) return scaled(number(2).toFloat(), 1024.0);
    if (text.endsWith(QLatin1String("MB"))) return scaled(number(2).toDouble(), 1048576.0);
    if (text.endsWith(QLatin1String("GB"))) return scaled(number(2).toDouble(), 1073741824.0);
    return 0;
}

QString QVPrivateTools::getTimeWithBootTime(int64_t s) {
    const int64_t days = s / 86400, hours = (s / 3600) % 24, minutes = (s / 60) % 60, seconds = s % 60;
    auto two = [](int64_t v) { return QString::asprintf("%02lld", static_cast<long long>(v)); };
    if (days > 0)
        return internationalizationCopywriterProcessing(
            localizedOrKey(QStringLiteral("QV_Admin_HDD_FileSystem_Time")),
            {two(days), two(hours), two(minutes), two(seconds)});
    return two(hours) + QLatin1Char(':') + two(minutes) + QLatin1Char(':') + two(seconds);
}

QString QVPrivateTools::md5ForString(const QString &text) {
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

namespace {
std::atomic<QVProgressBoxHost *> g_boxHost{nullptr};
constexpr int kBoxHideMs = 1000;
}  // namespace

void QVPrivateTools::setProgressBoxHost(QVProgressBoxHost *host) {
    g_boxHost.store(host);
}
void QVPrivateTools::removeShowHUD() {
    if (auto *h = g_boxHost.load()) h->removeBox();
}
void QVPrivateTools::showPromptBox(const QString &text) {
    removeShowHUD();
    if (text.isEmpty()) return;
    if (auto *h = g_boxHost.load())
        h->showBox(nullptr, true, text, QVProgressBoxHost::ModeIndeterminate, kBoxHideMs);
}
void QVPrivateTools::showLoadBoxWithShowText(const QString &text, QObject *view) {
    removeShowHUD();
    if (auto *h = g_boxHost.load()) h->showBox(view, false, text, QVProgressBoxHost::ModeIndeterminate, -1);
}
void QVPrivateTools::showLoadBoxAutoDisappearWithShowText(const QString &text, QObject *view,
                                                          bool withLoading) {
    removeShowHUD();
    if (auto *h = g_boxHost.load())
        h->showBox(view, false, text,
                   withLoading ? QVProgressBoxHost::ModeIndeterminate : QVProgressBoxHost::ModeText,
                   kBoxHideMs);
}
void QVPrivateTools::hideLoadBoxWithShowText(const QString &text) {
    if (text.isEmpty()) {
        removeShowHUD();
        return;
    }
    if (auto *h = g_boxHost.load()) h->finishBox(text, kBoxHideMs);
}
