// The application's local folders (all under the XDG roots of plat::Paths, created on demand with mode
// 0700), a few local file operations, name and password checks, the cache key of a path and the
// stream addresses of device files.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "model/QVFileInfo.h"

class QVFileManager final {
  public:
    QVFileManager() = delete;

    // Folders (created when missing).
    static QString getCachesPath();  // the cache root
    static QString getLibraryPath();
    static QString getDocumentsPath();  // not created
    static QString getDocumentsFolderPath();
    static QString getDropBoxPath();
    static QString getInboxPath();
    static QString getOperateFolderPath();
    static QString getImageCachesPath();
    static QString getCachesPathDown();
    static QString getCachesPathMiddle();
    static QString getCachesPathThumbnail();
    static QString getSubtitlesCachePath();
    static QString getCachesPathMoivePath();
    static QString getCachesPathMusic();
    static QString getCacheOpenInPath();
    static QString getAssetBackupDatabaseFolderPath();
    static QString getAssetBackupDatabasePath();
    static QString getTemporaryPath();  // the app's own temporary folder under the cache root
    // A file below a folder, from a name that may come from a peer: empty when the name is "", ".",
    // "..", holds "/" or NUL, or the result would leave the folder. The folder is created.
    static QString getUserHeaderImageCachePath(const QString &address);
    static QString getImageCachesThumbnail(const QString &path);
    static QString getDatabaseCachePath(const QString &name);
    static QString getCachesFilePath(const QString &name);
    static QString getDocumentsFilePath(const QString &name);
    static QString getSystemDownloadPath();
    static QString getDateFolderPath();  // the operate folder + "/" + today ("yyyy-MM-dd"), created
    // Documents + "/" + the localised folder name of the type (1 video, 2 music, 3 picture, else document).
    static QString getSortFolderPath(int64_t type);
    // The open-in cache folder of an entry: the cache key of "<device path>+<size>+<device MAC>"; created.
    static QString getCacheOpenInPath(const QVFileInfoPtr &file);
    // That folder + "/" + the entry's name; empty when the name is not a plain name.
    static QString getCacheOpenInFilePath(const QVFileInfoPtr &file);
    static QString getCachesIamge(const QString &name);                 // cache root + "/" + name, created
    static QString getImage(const QString &name, const QString &path);  // getCachesIamge(path) + "/" + name
    static QString getFilePath(const QString &folder, const QString &name);

    // The path of `name` directly inside `folder`, or empty when the name is not a plain name.
    static QString childPath(const QString &folder, const QString &name);
    static bool isPlainName(const QString &name);

    // Files.
    static QString createFile(const QString &path);  // creates a folder (mode 0700), returns the path
    static bool isExistsFile(const QString &path);
    static bool removeItemAtPath(const QString &path);  // never follows a symbolic link
    static bool movePath(const QString &from, const QString &to);
    static int64_t fileSizeAtPath(const QString &path);
    static int64_t folderSizeWithPath(const QString &path);
    static bool writeToFile(const QByteArray &data, const QString &name);
    // Clearing the caches, on a work-pool thread: the image cache, the open-in cache, the asset-backup
    // database folder and the app's own temporary folder; then `completion` on the main thread.
    static void removeCachesFileWithCompletion(std::function<void()> completion);
    // Clears the full-size images, medium thumbnails and open-in files when the image and open-in caches
    // pass 500 MiB or reach the cache volume's free space; the app's temporary folder every time.
    static void autoClearCache();
    static uint64_t freeSpaceOfCacheVolume();  // UINT64_MAX when unknown
    // The size text of the image and open-in caches together.
    static QString folderCachesSize();
    // A free path for a copy ("a 副本.txt", "a 副本1.txt", ...), claimed by creating it exclusively.
    static QString isExistsFileAndCreate(const QString &path);

    // Names and paths.
    static QString returnFileName(const QString &path);
    static QString returnFileParentDirectoryWithPath(const QString &path);
    static QString returnFileParentPathWithPath(const QString &path, const QString &rootUrl);
    static std::optional<QString> getFile(const QString &path);
    static QString getTime(const QString &text);
    static bool judgePathIsFolder(const QString &name, const QString &folderPath);
    static QString urlFormatAndMD5WithPath(const QString &text);  // the cache key
    // A file entry of a local file: name, creation date, type and image, the two date texts, size.
    static QVFileInfoPtr returnFileInfoBySourcePath(const QString &path);

    // Checks.
    static bool isMobileNumber(const QString &number, int64_t areaCode);
    static bool checkFileName(const QString &name);
    static bool checkPassword(const QString &password);

    // The stream address of a device file: the storage service's signed URI under the current device's
    // address (QVSingletonData); "http://" + host + "/" when the service gives no URI.
    static QString qvFormatResultPath(const QString &path, int64_t userId);
    // Stream addresses: "http://" + host (":8080" added for 127.0.0.1) + separator + URI.
    static QString streamAddress(const QString &deviceAddress, const QString &uri);
    // The device path of a stream address: scheme, host, port and the "/<space id>" step dropped, the
    // signed query cut, percent-decoded, with a leading "/". Any other text comes back unchanged.
    static QString qvAnitFormatResultPath(const QString &text);
};
