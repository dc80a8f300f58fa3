// The application's general toolbox: the chosen language and localised texts, file types by suffix,
// size and duration texts, MD5 digests and the user-facing text of every response code.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class QObject;

// What draws the shared progress box: the windows install one (a widget over the key or main window);
// without one the box methods do nothing. Called on the main thread only.
struct QVProgressBoxHost {
    virtual ~QVProgressBoxHost() = default;
    enum Mode { ModeIndeterminate, ModeText };
    // Hides and detaches the box in the slot, if any.
    virtual void removeBox() = 0;
    // A new box in the slot, on `view` (null: the key window for a prompt, else the main window), with the
    // label and mode, shown; hidden after `hideAfterMs` unless it is negative.
    virtual void showBox(QObject *view, bool onKeyWindow, const QString &text, Mode mode,
                         int hideAfterMs) = 0;
    // The box in the slot (if any) takes the label and hides after `hideAfterMs`.
    virtual void finishBox(const QString &text, int hideAfterMs) = 0;
};

// The file type number and the image name of a file name (JudgeReadFileType's two fields, without the map).
struct QVFileTypeInfo {
    int64_t fileType = 7;
    QString imagePath;
};

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
    static QVFileTypeInfo fileTypeForName(const QString &fileName);
    // {"fileNameWithOutSuffix", "fileSuffix"}: split at the last ".", the suffix keeps its dot.
    static QVariantMap checkReadFileType(const QString &fileName);

    static QString formattedFileSize(uint64_t size);
    static uint64_t antiFormatFileSize(const QString &text);
    static QString getTimeWithBootTime(int64_t bootTime);
    static QString md5ForString(const QString &text);

    static QString getErrorMessage(int64_t code);

    // The first two letters of the first preferred language ("zh", "en").
    static QString getCurrentLanguage();
    // The type record of a local item: {"FileType": 6, "imagePath": "file_folder"} for a folder (looked up
    // under `folderPath`, Documents when null), else JudgeReadFileType of the lower-cased name.
    static QVariantMap JudgeFileType(const QString &name, const QString &folderPath);
    static QString getFolderTimes();  // now, "yyyy-MM-dd"
    static QString getTimes();        // now, "yyyy-MM-dd HH:mm:ss"
    static QString getTimeWithDate(const QDateTime &date, bool isShowHour);
    static QString getTimeNow();  // now, "hh:mm:ss:SSS" (12-hour)
    // "刚刚", "n分钟前", "今天 HH:mm", "昨天 HH:mm", "MM-dd HH:mm" or "yyyy-MM-dd HH:mm".
    static QString distanceTimeWithBeforeTime(double beforeTime);
    // Chinese weekday names for exactly "zh", else "Sun." ... "Sat." (time zone Asia/Shanghai).
    static QString weekdayStringFromDate(const QDateTime &date, const QString &language);
    // Reachable now; true when the platform has no reachability backend (nothing refused for want of one).
    static bool isNetworkEnabled();
    // Parsed JSON (top-level fragments allowed); null on any error.
    static QVariant jsonDataToDictionary(const QByteArray &data);
    // JSON text without line breaks; "" when the value cannot be written.
    static QString convertToJSONData(const QVariant &object);
    static double getAvailableMemory();  // MiB free on the machine
    static double getUsedMemory();       // MiB resident in this process
    // The connected device's module support, through the locator's device-user service.
    static bool getDeviceModuleIsSupportByType(int64_t type);
    // True when the path holds one of "HTTP://", "http://", "https://", "HTTPS://", "rtmp://", "rtsp://",
    // "mms://" (case-sensitive).
    static bool isStream(const QString &path);

    // The one shared progress box of the process (see QVProgressBoxHost).
    static void setProgressBoxHost(QVProgressBoxHost *host);
    static void removeShowHUD();
    // A prompt that vanishes after 1.0 s; an empty text only removes the box.
    static void showPromptBox(const QString &text);
    // A waiting box on `view` (null: the main window) that stays until it is replaced or hidden.
    static void showLoadBoxWithShowText(const QString &text, QObject *view);
    // As above, hidden after 1.0 s; the spinning indicator only `withLoading`.
    static void showLoadBoxAutoDisappearWithShowText(const QString &text, QObject *view, bool withLoading);
    // A non-empty text becomes the box's closing label for 1.0 s; an empty one removes the box.
    static void hideLoadBoxWithShowText(const QString &text);
};
