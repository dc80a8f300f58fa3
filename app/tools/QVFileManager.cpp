#include "tools/QVFileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>
#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/WorkPool.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "tools/PhoneCheck.h"
#include "tools/QVPrivateTools.h"
#include "tools/QVSingletonDateManage.h"

namespace {

// Creates the folder and each missing parent with mode 0700 (nothing that exists is changed); logs a
// failure and returns the path anyway.
QString ensureFolder(const QString &path) {
    if (QFileInfo(path).isDir()) return path;
    const QString clean = QDir::cleanPath(path);
    qsizetype from = clean.startsWith('/') ? 1 : 0;
    bool ok = true;
    while (ok) {
        const qsizetype slash = clean.indexOf('/', from);
        const QString step = slash < 0 ? clean : clean.left(slash);
        if (::mkdir(QFile::encodeName(step).constData(), 0700) != 0 && errno != EEXIST) ok = false;
        if (slash < 0) break;
        from = slash + 1;
    }
    if (!ok || !QFileInfo(path).isDir()) qWarning("not create a new cache directory");
    return path;
}

QString cacheSub(const char *name) {
    return ensureFolder(QVFileManager::getCachesPath() + QLatin1String(name));
}
QString imageSub(const char *name) {
    return ensureFolder(QVFileManager::getImageCachesPath() + QLatin1String(name));
}
QString docSub(const char *name) {
    return ensureFolder(QVFileManager::getDocumentsPath() + QLatin1String(name));
}

}  // namespace

QString QVFileManager::getCachesPath() {
    return ensureFolder(plat::Paths::cacheLocation() + "/QVFileCaches");
}
QString QVFileManager::getLibraryPath() {
    return ensureFolder(plat::Paths::appDataLocation() + "/QVLibraryData");
}
QString QVFileManager::getDocumentsPath() {
    return plat::Paths::documents();
}
QString QVFileManager::getDocumentsFolderPath() {
    return plat::Paths::documents();
}
QString QVFileManager::getDropBoxPath() {
    return docSub("/QVDropBox");
}
QString QVFileManager::getInboxPath() {
    return docSub("/Inbox");
}
QString QVFileManager::getOperateFolderPath() {
    return docSub("/UDiskDocument");
}
QString QVFileManager::getImageCachesPath() {
    return cacheSub("/QVImageCache");
}
QString QVFileManager::getCachesPathDown() {
    return imageSub("/QVDownCaches");
}
QString QVFileManager::getCachesPathMiddle() {
    return imageSub("/QVMiddleCaches");
}
QString QVFileManager::getCachesPathThumbnail() {
    return imageSub("/QVThumbnailCaches");
}
QString QVFileManager::getSubtitlesCachePath() {
    return cacheSub("/QVSubtitlesCaches");
}
QString QVFileManager::getCachesPathMoivePath() {
    return cacheSub("/QVMovieCaches");
}
QString QVFileManager::getCachesPathMusic() {
    return cacheSub("/QVMusicCaches");
}
QString QVFileManager::getCacheOpenInPath() {
    return cacheSub("/QVOpenInCaches");
}
QString QVFileManager::getTemporaryPath() {
    return cacheSub("/QVTemporary");
}
QString QVFileManager::getAssetBackupDatabaseFolderPath() {
    return ensureFolder(plat::Paths::cacheLocation() + "/QVBackupdataDatabaseCache");
}
QString QVFileManager::getAssetBackupDatabasePath() {
    return getAssetBackupDatabaseFolderPath() + "/QVBackupAssetDatabase.db";
}
QString QVFileManager::getUserHeaderImageCachePath(const QString &address) {
    return imageSub("/QVHeaderImageCaches") + '/' + urlFormatAndMD5WithPath(address);
}
QString QVFileManager::getImageCachesThumbnail(const QString &path) {
    return getCachesPathThumbnail() + '/' + urlFormatAndMD5WithPath(path);
}
QString QVFileManager::getDatabaseCachePath(const QString &name) {
    return childPath(cacheSub("/QVDatabaseCache"), name);
}
QString QVFileManager::getCachesFilePath(const QString &name) {
    return childPath(getCachesPath(), name);
}
QString QVFileManager::getDocumentsFilePath(const QString &name) {
    return childPath(getDocumentsPath(), name);
}
QString QVFileManager::getSystemDownloadPath() {
    return plat::Paths::downloads();
}

QString QVFileManager::getDateFolderPath() {
    return ensureFolder(getOperateFolderPath() + '/' +
                        plat::Clock::now().toLocalTime().toString("yyyy-MM-dd"));
}
QString QVFileManager::getSortFolderPath(int64_t type) {
    const char *key = type == 1   ? "QV_File_Manager_Video"
                      : type == 2 ? "QV_File_Manager_Music"
                      : type == 3 ? "QV_File_Manager_Image"
                                  : "QV_File_Manager_Document";
    const QString folder = childPath(getDocumentsPath(), QVPrivateTools::localizedOrKey(QLatin1String(key)));
    return folder.isEmpty() ? folder : ensureFolder(folder);
}
QString QVFileManager::getCacheOpenInPath(const QVFileInfoPtr &file) {
    if (!file) return {};
    const QVNasDeviceInfoPtr device = QVSingletonData::sharedManager().currentDeviceInfo();
    const QString text = QStringLiteral("%1+%2+%3")
                             .arg(qvAnitFormatResultPath(file->path))
                             .arg(file->size)
                             .arg(device ? device->mac : QString());
    return ensureFolder(getCacheOpenInPath() + '/' + urlFormatAndMD5WithPath(text));
}
QString QVFileManager::getCacheOpenInFilePath(const QVFileInfoPtr &file) {
    if (!file) return {};
    return childPath(getCacheOpenInPath(file), file->name);
}
QString QVFileManager::getCachesIamge(const QString &name) {
    const QString folder = childPath(getCachesPath(), name);
    return folder.isEmpty() ? folder : ensureFolder(folder);
}
QString QVFileManager::getImage(const QString &name, const QString &path) {
    const QString folder = getCachesIamge(path);
    return folder.isEmpty() ? folder : childPath(folder, name);
}
QString QVFileManager::getFilePath(const QString &folder, const QString &name) {
    if (name.isEmpty()) return folder;
    QString f = folder;
    while (f.size() > 1 && f.endsWith('/')) f.chop(1);
    QString n = name;
    while (n.startsWith('/')) n.remove(0, 1);
    return f.isEmpty() ? n : (f == "/" ? f + n : f + '/' + n);
}

bool QVFileManager::isPlainName(const QString &name) {
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains(QChar(0));
}

QString QVFileManager::childPath(const QString &folder, const QString &name) {
    if (!isPlainName(name)) return {};
    const QString folderClean = QDir::cleanPath(folder);
    const QString result = QDir::cleanPath(folderClean + '/' + name);
    if (!result.startsWith(folderClean + '/')) return {};
    return result;
}

QString QVFileManager::createFile(const QString &path) {
    if (!QFileInfo::exists(path)) ensureFolder(path);
    return path;
}

bool QVFileManager::isExistsFile(const QString &path) {
    struct stat st;
    return !path.isEmpty() && lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool QVFileManager::removeItemAtPath(const QString &path) {
    const QFileInfo fi(path);
    bool ok;
    if (fi.isSymLink() || !fi.isDir()) {
        ok = ::unlink(QFile::encodeName(path).constData()) == 0;  // a link itself, never its target
    } else {
        ok = QDir(path).removeRecursively();  // does not descend into linked folders
    }
    if (!ok) qWarning("%s", qUtf8Printable(QStringLiteral("本地删除失败 : %1").arg(path)));
    return ok;
}

bool QVFileManager::movePath(const QString &from, const QString &to) {
    const bool ok = QFile::rename(from, to);
    if (!ok) qWarning("%s", qUtf8Printable(QStringLiteral("Unable to move file: %1 -> %2").arg(from, to)));
    return ok;
}

int64_t QVFileManager::fileSizeAtPath(const QString &path) {
    struct stat st;
    if (path.isEmpty() || lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

int64_t QVFileManager::folderSizeWithPath(const QString &path) {
    if (!QFileInfo(path).isDir()) return 0;
    int64_t total = 0;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) total += fileSizeAtPath(it.next());
    return total;
}

bool QVFileManager::writeToFile(const QByteArray &data, const QString &name) {
    const QString folder = childPath(getCachesPath(), name);
    if (folder.isEmpty()) {
        qWarning("%s", qUtf8Printable(QStringLiteral("fail to write file : %1").arg(name)));
        return false;
    }
    ensureFolder(folder);
    QSaveFile f(folder + '/' + name + ".xml");
    const bool ok =
        f.open(QIODevice::WriteOnly) && f.write(QString::fromUtf8(data).toUtf8()) >= 0 && f.commit();
    if (!ok) qWarning("%s", qUtf8Printable(QStringLiteral("fail to write file : %1").arg(name)));
    return ok;
}

namespace {
// Creates an empty file only when nothing is at the path.
bool claim(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
}  // namespace

QString QVFileManager::isExistsFileAndCreate(const QString &path) {
    if (claim(path)) return path;
    // The extension is what follows the last "." of the name; a name without one has none.
    const qsizetype slash = path.lastIndexOf('/');
    const qsizetype dot = path.lastIndexOf('.');
    const bool hasExt = dot > slash + 1;
    const QString stem = hasExt ? path.left(dot) : path;
    const QString ext = hasExt ? path.mid(dot) : QString();
    QString name = stem + QStringLiteral(" 副本");
    for (int n = 1; n < 10000; ++n) {
        const QString candidate = name + ext;
        if (claim(candidate)) return candidate;
        if (errno != EEXIST) return {};
        name += QString::number(n);
    }
    return {};
}

QString QVFileManager::returnFileName(const QString &path) {
    if (path.isEmpty()) return QCoreApplication::translate("QV", "QV_File_Manager_Unknown");
    return path.mid(path.lastIndexOf('/') + 1);
}

QString QVFileManager::returnFileParentDirectoryWithPath(const QString &path) {
    const QStringList parts = path.split('/');
    if (parts.size() < 2) return QStringLiteral("Documents");
    return parts.at(parts.size() - 2);
}

QString QVFileManager::returnFileParentPathWithPath(const QString &path, const QString &rootUrl) {
    QStringList parts = path.split('/', Qt::SkipEmptyParts);
    if (!parts.isEmpty()) parts.removeLast();
    QString out = rootUrl;
    for (const QString &p : parts) out += '/' + p;
    return out + '/';
}

std::optional<QString> QVFileManager::getFile(const QString &path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (path.size() <= 1 || slash < 1) return std::nullopt;
    return path.mid(slash + 1);
}

QString QVFileManager::getTime(const QString &text) {
    return text.left(10);
}

bool QVFileManager::judgePathIsFolder(const QString &name, const QString &folderPath) {
    const QString folder = folderPath.isNull() ? getDocumentsPath() : folderPath;
    const QString full = name.startsWith('/') ? folder + name : folder + '/' + name;
    return QFileInfo(full).isDir();
}

QString QVFileManager::urlFormatAndMD5WithPath(const QString &text) {
    static const QString encoded = QStringLiteral("?!@#$^&%*+,:;='\"`<>()[]{}/\\| ");
    QString out;
    for (const QChar c : text) {
        if (encoded.contains(c))
            out += QString::asprintf("%%%02X", c.unicode());
        else
            out += c;
    }
    return QVPrivateTools::md5ForString(out);
}

QVFileInfoPtr QVFileManager::returnFileInfoBySourcePath(const QString &path) {
    auto f = std::make_shared<QVFileInfo>();
    const QFileInfo fi(path);
    QDateTime created = fi.birthTime();
    if (!created.isValid()) created = fi.metadataChangeTime();
    f->name = returnFileName(path);
    f->date = created.isValid() ? static_cast<uint64_t>(std::max<qint64>(0, created.toSecsSinceEpoch())) : 0;
    const QVariantMap t = QVPrivateTools::JudgeReadFileType(f->name);
    f->type = t.value(QStringLiteral("FileType")).toLongLong();
    f->setDefault_imageName(t.value(QStringLiteral("imagePath")).toString());
    f->setCreate_time(QVSingletonDateManage::getCreateDateFormatter().stringFromDate(created));
    f->setModify_time(QVSingletonDateManage::getModifyDateFormatter().stringFromDate(fi.lastModified()));
    f->path = path;
    f->size = static_cast<uint64_t>(fileSizeAtPath(path));
    return f;
}

bool QVFileManager::isMobileNumber(const QString &number, int64_t areaCode) {
    return PhoneCheck::isMobileNumber(number, areaCode);
}

bool QVFileManager::checkFileName(const QString &name) {
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral("[^\\\\/<>*?:\"|]+")));
    return re.match(name).hasMatch();
}

bool QVFileManager::checkPassword(const QString &password) {
    static const QRegularExpression re(QRegularExpression::anchoredPattern(
        QStringLiteral("[a-zA-Z0-9_=\\[\\];\u2019,./~!@#$%^&*()+{}|:\u201D<>?]{7,31}")));
    return re.match(password).hasMatch();
}

QString QVFileManager::qvFormatResultPath(const QString &path, int64_t userId) {
    const QString uri =
        QVSingletonInterfaceManage::sharedManager().qVNasStorageService()->qvNasGetFileUriByToken(
            QVNasPathInfo::sharePath(path, userId));
    const QVNasDeviceInfoPtr device = QVSingletonData::sharedManager().currentDeviceInfo();
    return streamAddress(device ? device->ip : QString(), uri);
}

QString QVFileManager::streamAddress(const QString &deviceAddress, const QString &uri) {
    if (uri.startsWith(QLatin1String("http://"))) return uri;
    QString host = deviceAddress;
    if (host == QLatin1String("127.0.0.1")) host += QStringLiteral(":8080");
    return QStringLiteral("http://") + host + (uri.startsWith('/') ? QString() : QStringLiteral("/")) + uri;
}

QString QVFileManager::qvAnitFormatResultPath(const QString &text) {
    if (!text.startsWith(QLatin1String("http://"))) return text;
    // Drop "http://host[:port]", whichever host built it.
    const qsizetype pathStart = text.indexOf('/', 7);
    if (pathStart < 0) return QStringLiteral("/");
    QString rest = text.mid(pathStart);
    const qsizetype query = rest.indexOf('?');
    if (query >= 0) rest = rest.left(query);
    // "/<space id>/<path>": drop the space id.
    const qsizetype second = rest.indexOf('/', 1);
    rest = second < 0 ? QStringLiteral("/") : rest.mid(second);
    return QUrl::fromPercentEncoding(rest.toUtf8());
}

void QVFileManager::removeCachesFileWithCompletion(std::function<void()> completion) {
    // The paths are taken here, on the caller's thread; the removal runs on a work-pool thread.
    const QStringList folders = {getImageCachesPath(), getCacheOpenInPath(),
                                 getAssetBackupDatabaseFolderPath(), getTemporaryPath()};
    QVPrivateTools::showLoadBoxWithShowText(QVPrivateTools::localizedOrKey("QV_Remind_Clear_Wait"), nullptr);
    plat::WorkPool::global().async([folders, completion = std::move(completion)] {
        for (const QString &f : folders) removeItemAtPath(f);
        plat::MainQueue::post([completion] {
            QVPrivateTools::hideLoadBoxWithShowText(
                QVPrivateTools::localizedOrKey("QV_SetUI_Success_Operation"));
            if (completion) completion();
        });
    });
}

uint64_t QVFileManager::freeSpaceOfCacheVolume() {
    struct statvfs st {};
    if (statvfs(QFile::encodeName(getCachesPath()).constData(), &st) != 0) return UINT64_MAX;
    return static_cast<uint64_t>(st.f_frsize) * static_cast<uint64_t>(st.f_bavail);
}

QString QVFileManager::folderCachesSize() {
    const uint64_t used = static_cast<uint64_t>(folderSizeWithPath(getImageCachesPath())) +
                          static_cast<uint64_t>(folderSizeWithPath(getCacheOpenInPath()));
    return QVPrivateTools::formattedFileSize(used);
}

void QVFileManager::autoClearCache() {
    const uint64_t used = static_cast<uint64_t>(folderSizeWithPath(getImageCachesPath())) +
                          static_cast<uint64_t>(folderSizeWithPath(getCacheOpenInPath()));
    if (used > 524288000ULL || used >= freeSpaceOfCacheVolume()) {
        removeItemAtPath(getCachesPathDown());
        removeItemAtPath(getCachesPathMiddle());
        removeItemAtPath(getCacheOpenInPath());
    }
    removeItemAtPath(getTemporaryPath());
}
