#include "tools/QVPrivateTools.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QNetworkInformation>
#include <QTimeZone>
#include <QTranslator>
#include <array>
#include <atomic>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Locale.h"
#include "session/QVSingletonInterfaceManage.h"
#include "tools/Localizer.h"
#include "tools/NSString_escapeURLString.h"
#include "tools/QVFileManager.h"

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

namespace {
// The row whose suffix ends the name first (case-insensitive), with the suffix; null for none.
const TypeRow *rowForName(const QString &fileName, const char **matched) {
    for (const TypeRow &row : kTypeRows)
        for (const char *suffix : row.suffixes)
            if (fileName.endsWith(QLatin1String(suffix), Qt::CaseInsensitive)) {
                *matched = suffix;
                return &row;
            }
    return nullptr;
}
}  // namespace

QVariantMap QVPrivateTools::JudgeReadFileType(const QString &fileName) {
    const char *suffix = nullptr;
    if (const TypeRow *row = rowForName(fileName, &suffix))
        return typeRecord(row->fileType, row->imagePath, row->fileUTI,
                          row->keepSuffix ? QString::fromLatin1(suffix) : QString());
    return typeRecord(7, "unknownfile", "", QString());
}

QVFileTypeInfo QVPrivateTools::fileTypeForName(const QString &fileName) {
    // One shared text per image name, so that entries hold no copy of their own.
    static const QHash<QByteArray, QString> images = [] {
        QHash<QByteArray, QString> h;
        for (const TypeRow &row : kTypeRows) h.insert(row.imagePath, QString::fromLatin1(row.imagePath));
        h.insert("unknownfile", QStringLiteral("unknownfile"));
        return h;
    }();
    const char *suffix = nullptr;
    if (const TypeRow *row = rowForName(fileName, &suffix))
        return {row->fileType,
                images.value(QByteArray::fromRawData(row->imagePath, int(qstrlen(row->imagePath))))};
    return {7, images.value("unknownfile")};
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

QString QVPrivateTools::getCurrentLanguage() {
    const QStringList preferred = plat::Locale::preferredLanguages();
    return preferred.isEmpty() ? QString() : preferred.first().left(2);
}

QVariantMap QVPrivateTools::JudgeFileType(const QString &name, const QString &folderPath) {
    if (QVFileManager::judgePathIsFolder(name, folderPath))
        return {{QStringLiteral("FileType"), QVariant::fromValue<qint64>(6)},
                {QStringLiteral("imagePath"), QStringLiteral("file_folder")}};
    return JudgeReadFileType(name.toLower());
}

QString QVPrivateTools::getFolderTimes() {
    return QLocale::c().toString(plat::Clock::now().toLocalTime(), QStringLiteral("yyyy-MM-dd"));
}
QString QVPrivateTools::getTimes() {
    return QLocale::c().toString(plat::Clock::now().toLocalTime(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}
QString QVPrivateTools::getTimeWithDate(const QDateTime &date, bool isShowHour) {
    return QLocale::c().toString(date.toLocalTime(), isShowHour ? QStringLiteral("yyyy-MM-dd HH:mm:ss")
                                                                : QStringLiteral("yyyy-MM-dd"));
}
QString QVPrivateTools::getTimeNow() {
    const QTime t = plat::Clock::now().toLocalTime().time();
    const int h12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
    return QString::asprintf("%02d:%02d:%02d:%03d", h12, t.minute(), t.second(), t.msec());
}

QString QVPrivateTools::distanceTimeWithBeforeTime(double beforeTime) {
    const QTimeZone zone = plat::Locale::systemTimeZone();
    const QDateTime now = plat::Clock::now().toTimeZone(zone);
    const QDateTime before =
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(beforeTime * 1000.0), QTimeZone::utc())
            .toTimeZone(zone);
    const double d = static_cast<double>(now.toMSecsSinceEpoch() - before.toMSecsSinceEpoch()) / 1000.0;
    const QLocale c = QLocale::c();
    const int nowDay = now.date().day(), beforeDay = before.date().day();
    if (d < 60) return QString::fromUtf8("刚刚");
    if (d < 3600) return QString::fromUtf8("%1分钟前").arg(static_cast<long>(d / 60));
    if (d < 86400 && nowDay == beforeDay) return QString::fromUtf8("今天 ") + c.toString(before, "HH:mm");
    if (d < 172800 && nowDay != beforeDay) {
        if (nowDay - beforeDay == 1 || (beforeDay - nowDay >= 11 && nowDay == 1))
            return QString::fromUtf8("昨天 ") + c.toString(before, "HH:mm");
        return c.toString(before, "MM-dd HH:mm");
    }
    return c.toString(before,
                      d < 31536000 ? QStringLiteral("MM-dd HH:mm") : QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString QVPrivateTools::weekdayStringFromDate(const QDateTime &date, const QString &language) {
    static const char *const zh[] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
    static const char *const en[] = {"Sun.", "Mon.", "Tues.", "Wed.", "Thur.", "Fri.", "Sat."};
    const int weekday = date.toTimeZone(QTimeZone("Asia/Shanghai")).date().dayOfWeek() % 7;  // 0 Sunday
    return QString::fromUtf8(language == QLatin1String("zh") ? zh[weekday] : en[weekday]);
}

bool QVPrivateTools::isNetworkEnabled() {
    if (!QNetworkInformation::instance()) QNetworkInformation::loadDefaultBackend();
    const QNetworkInformation *ni = QNetworkInformation::instance();
    if (ni == nullptr || ni->reachability() == QNetworkInformation::Reachability::Unknown) return true;
    return ni->reachability() != QNetworkInformation::Reachability::Disconnected;
}

QVariant QVPrivateTools::jsonDataToDictionary(const QByteArray &data) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson("[" + data + "]", &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1) return {};
    return doc.array().at(0).toVariant();
}

QString QVPrivateTools::convertToJSONData(const QVariant &object) {
    const QJsonValue v = QJsonValue::fromVariant(object);
    if (v.isUndefined()) {
        qWarning("Got an error: the value cannot be written as JSON");
        return QStringLiteral("");
    }
    QString text;
    if (v.isObject()) {
        text = QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Indented));
    } else if (v.isArray()) {
        text = QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Indented));
    } else {
        const QString wrapped =
            QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact));
        text = wrapped.mid(1, wrapped.size() - 2);  // the fragment alone
    }
    return text.trimmed().remove(QLatin1Char('\n'));
}

double QVPrivateTools::getAvailableMemory() {
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    if (pages < 0 || size < 0) return static_cast<double>(INT64_MAX);
    return static_cast<double>(pages) * static_cast<double>(size) / 1048576.0;
}

double QVPrivateTools::getUsedMemory() {
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly)) return static_cast<double>(INT64_MAX);
    const QList<QByteArray> fields = f.readAll().split(' ');
    bool ok = false;
    const double resident = fields.size() > 1 ? fields.at(1).toDouble(&ok) : 0;
    if (!ok) return static_cast<double>(INT64_MAX);
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

bool QVPrivateTools::getDeviceModuleIsSupportByType(int64_t type) {
    return QVSingletonInterfaceManage::sharedManager().qvNasDeviceUserService()->qvNasGetModuleSupportFlag(
        type);
}

bool QVPrivateTools::isStream(const QString &path) {
    for (const char *scheme : {"HTTP://", "http://", "https://", "HTTPS://", "rtmp://", "rtsp://", "mms://"})
        if (path.contains(QLatin1String(scheme))) return true;
    return false;
}
