#include "tools/QVFileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include "platform/Paths.h"

namespace {

QString u(const char *s) {
    return QString::fromUtf8(s);
}

mode_t modeOf(const QString &path) {
    struct stat st {};
    lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

TEST(LocalFolders, UnderTheXdgRootsWithMode0700) {
    const QString cache = plat::Paths::cacheLocation();
    const QString docs = plat::Paths::documents();
    struct Case {
        QString (*fn)();
        QString want;
    } cases[] = {
        {QVFileManager::getCachesPath, cache + "/QVFileCaches"},
        {QVFileManager::getLibraryPath, plat::Paths::appDataLocation() + "/QVLibraryData"},
        {QVFileManager::getDropBoxPath, docs + "/QVDropBox"},
        {QVFileManager::getInboxPath, docs + "/Inbox"},
        {QVFileManager::getOperateFolderPath, docs + "/UDiskDocument"},
        {QVFileManager::getImageCachesPath, cache + "/QVFileCaches/QVImageCache"},
        {QVFileManager::getCachesPathDown, cache + "/QVFileCaches/QVImageCache/QVDownCaches"},
        {QVFileManager::getCachesPathMiddle, cache + "/QVFileCaches/QVImageCache/QVMiddleCaches"},
        {QVFileManager::getCachesPathThumbnail, cache + "/QVFileCaches/QVImageCache/QVThumbnailCaches"},
        {QVFileManager::getSubtitlesCachePath, cache + "/QVFileCaches/QVSubtitlesCaches"},
        {QVFileManager::getCachesPathMoivePath, cache + "/QVFileCaches/QVMovieCaches"},
        {QVFileManager::getCachesPathMusic, cache + "/QVFileCaches/QVMusicCaches"},
        {QVFileManager::getCacheOpenInPath, cache + "/QVFileCaches/QVOpenInCaches"},
        {QVFileManager::getTemporaryPath, cache + "/QVFileCaches/QVTemporary"},
        {QVFileManager::getAssetBackupDatabaseFolderPath, cache + "/QVBackupdataDatabaseCache"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.fn(), c.want);
        EXPECT_TRUE(QFileInfo(c.want).isDir()) << qPrintable(c.want);
        EXPECT_EQ(modeOf(c.want), 0700u) << qPrintable(c.want);
    }
    EXPECT_EQ(QVFileManager::getDocumentsPath(), docs);
    EXPECT_EQ(QVFileManager::getSystemDownloadPath(), plat::Paths::downloads());
}

TEST(LocalFolders, UntrustedNamesStayInsideTheirFolder) {
    const QString root = QVFileManager::getCachesPath();
    for (const char *bad : {"", ".", "..", "/", "a/b", "../x", "/etc/passwd"}) {
        EXPECT_TRUE(QVFileManager::getCachesFilePath(u(bad)).isEmpty()) << bad;
        EXPECT_TRUE(QVFileManager::getDatabaseCachePath(u(bad)).isEmpty()) << bad;
        EXPECT_FALSE(QVFileManager::writeToFile("x", u(bad))) << bad;
    }
    EXPECT_TRUE(QVFileManager::getCachesFilePath(QString("a") + QChar(0) + "b").isEmpty());
    EXPECT_EQ(QVFileManager::getCachesFilePath("..a"), root + "/..a");
    EXPECT_EQ(QVFileManager::getDatabaseCachePath("tasks.db"), root + "/QVDatabaseCache/tasks.db");
    ASSERT_TRUE(QVFileManager::writeToFile("<x/>", "conf"));
    QFile f(root + "/conf/conf.xml");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "<x/>");
}

TEST(LocalFiles, SizesRemovalAndLinks) {
    QTemporaryDir tmp;
    const QString d = tmp.path();
    EXPECT_EQ(QVFileManager::fileSizeAtPath(d + "/missing"), 0);
    EXPECT_EQ(QVFileManager::folderSizeWithPath(d + "/missing"), 0);
    QDir().mkpath(d + "/f/sub");
    QFile a(d + "/f/a");
    a.open(QIODevice::WriteOnly);
    a.write(QByteArray(100, 'x'));
    a.close();
    QFile b(d + "/f/sub/b");
    b.open(QIODevice::WriteOnly);
    b.write(QByteArray(50, 'y'));
    b.close();
    EXPECT_EQ(QVFileManager::folderSizeWithPath(d + "/f"), 150 + QVFileManager::fileSizeAtPath(d + "/f/sub"));
    // A link to an outside folder: removing the link leaves the folder's contents.
    QDir().mkpath(d + "/outside");
    QFile keep(d + "/outside/keep");
    keep.open(QIODevice::WriteOnly);
    keep.close();
    ASSERT_TRUE(QFile::link(d + "/outside", d + "/f/link"));
    EXPECT_TRUE(QVFileManager::removeItemAtPath(d + "/f"));
    EXPECT_FALSE(QVFileManager::isExistsFile(d + "/f"));
    EXPECT_TRUE(QFileInfo::exists(d + "/outside/keep"));
    ASSERT_TRUE(QFile::link(d + "/outside", d + "/l2"));
    EXPECT_TRUE(QVFileManager::removeItemAtPath(d + "/l2"));
    EXPECT_TRUE(QFileInfo::exists(d + "/outside/keep"));
}

TEST(LocalFiles, CopyNamesAreClaimedExclusively) {
    QTemporaryDir tmp;
    const QString p = tmp.path() + "/a.txt";
    EXPECT_EQ(QVFileManager::isExistsFileAndCreate(p), p);
    EXPECT_EQ(QVFileManager::isExistsFileAndCreate(p), tmp.path() + u("/a 副本.txt"));
    EXPECT_EQ(QVFileManager::isExistsFileAndCreate(p), tmp.path() + u("/a 副本1.txt"));
    EXPECT_EQ(QVFileManager::isExistsFileAndCreate(p), tmp.path() + u("/a 副本12.txt"));
    const QString plain = tmp.path() + "/noext";
    QVFileManager::isExistsFileAndCreate(plain);
    EXPECT_EQ(QVFileManager::isExistsFileAndCreate(plain), tmp.path() + u("/noext 副本"));
}

TEST(Names, PathPieces) {
    EXPECT_EQ(QVFileManager::returnFileName("/a/b.txt"), "b.txt");
    EXPECT_EQ(QVFileManager::returnFileName("b"), "b");
    EXPECT_EQ(QVFileManager::returnFileName(""), "QV_File_Manager_Unknown");
    EXPECT_EQ(QVFileManager::returnFileParentDirectoryWithPath("/a/b/c"), "b");
    EXPECT_EQ(QVFileManager::returnFileParentDirectoryWithPath("c"), "Documents");
    EXPECT_EQ(QVFileManager::returnFileParentPathWithPath("/a/b/c.txt", "R"), "R/a/b/");
    EXPECT_EQ(QVFileManager::returnFileParentPathWithPath("/a/b/", "R"), "R/a/");
    EXPECT_EQ(QVFileManager::getFile("/a/b"), QString("b"));
    EXPECT_EQ(QVFileManager::getFile("/a/"), QString(""));
    EXPECT_EQ(QVFileManager::getFile("/a"), std::nullopt);
    EXPECT_EQ(QVFileManager::getFile("a"), std::nullopt);
    EXPECT_EQ(QVFileManager::getTime("2024-02-29 10:11:12"), "2024-02-29");
}

TEST(Checks, FileNamesAndPasswords) {
    struct Case {
        const char *text;
        bool name, password;
    } cases[] = {
        {"报告.docx", true, false},
        {"a b", true, false},
        {"..", true, false},
        {"   ", true, false},
        {"", false, false},
        {"a\\b", false, false},
        {"a/b", false, false},
        {"a<b", false, false},
        {"a>b", false, false},
        {"a*b", false, false},
        {"a?b", false, false},
        {"a:b", false, false},
        {"a\"b", false, false},
        {"a|b", false, false},
        {"abc1234", true, true},
        {"abc123", true, false},
        {"abcdefghijabcdefghijabcdefghij1", true, true},
        {"abcdefghijabcdefghijabcdefghij12", true, false},
        {"abc-1234", true, false},
        {"abc 1234", true, false},
        {"abc\u20191234", true, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(QVFileManager::checkFileName(u(c.text)), c.name) << c.text;
        EXPECT_EQ(QVFileManager::checkPassword(u(c.text)), c.password) << c.text;
    }
}

TEST(CacheKey, EncodesTheTwentyNineThenMd5) {
    // Digests computed with `printf %s TEXT | md5sum`.
    struct Case {
        const char *text, *md5;
    } cases[] = {
        {"/a b", "5d74b6cdbcefc15c60bada135005a9f4"},     // md5 of "%2Fa%20b"
        {"/视频 1", "4fc5f434f33cae7bf83c2b5f543bc1c7"},  // letters outside ASCII stay
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    };
    for (const Case &c : cases) EXPECT_EQ(QVFileManager::urlFormatAndMD5WithPath(u(c.text)), c.md5) << c.text;
    EXPECT_NE(QVFileManager::urlFormatAndMD5WithPath("/a"), QVFileManager::urlFormatAndMD5WithPath("1/a"));
}

// The device's URI encoding of a path: "%XX" except letters, digits and "*-./_".
QString deviceUri(int64_t space, const QString &path) {
    const QByteArray enc = path.mid(1).toUtf8().toPercentEncoding("*/", "~");
    return "/" + QString::number(space) + "/" + QString::fromLatin1(enc) + "?KID=123&ssig=abcdefghij";
}

TEST(StreamAddress, HostsSeparatorAndEmptyUri) {
    EXPECT_EQ(QVFileManager::streamAddress("192.168.1.5", "/1/a?KID=1"), "http://192.168.1.5/1/a?KID=1");
    EXPECT_EQ(QVFileManager::streamAddress("127.0.0.1", "/1/a?KID=1"), "http://127.0.0.1:8080/1/a?KID=1");
    EXPECT_EQ(QVFileManager::streamAddress("192.168.1.5", "1/a"), "http://192.168.1.5/1/a");
    EXPECT_EQ(QVFileManager::streamAddress("192.168.1.5", ""), "http://192.168.1.5/");
    EXPECT_EQ(QVFileManager::streamAddress("h", "http://x/y"), "http://x/y");
}

TEST(StreamAddress, InverseGivesTheDevicePathForAnyHost) {
    for (const char *p :
         {"/a b.mp4", "/100%.mkv", "/why?.mp3", "/#1.avi", "/视频/电影 一.mkv", "/a/b/c.ts", "/"}) {
        const QString path = u(p);
        for (const char *host : {"192.168.1.5", "127.0.0.1", "10.0.0.9"}) {
            const QString addr = QVFileManager::streamAddress(host, deviceUri(4294967297LL, path));
            EXPECT_EQ(QVFileManager::qvAnitFormatResultPath(addr), path) << qPrintable(addr);
        }
    }
    EXPECT_EQ(QVFileManager::qvAnitFormatResultPath("/plain/path"), "/plain/path");
    EXPECT_EQ(QVFileManager::qvAnitFormatResultPath("http://h"), "/");
}

}  // namespace

namespace {

TEST(CacheClearing, RemovesOnlyTheAppsFoldersAndNeverFollowsLinks) {
    QTemporaryDir outside;
    QFile keep(outside.path() + "/keep");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.close();
    const QString thumbs = QVFileManager::getCachesPathThumbnail();
    ASSERT_TRUE(QFile::link(outside.path(), thumbs + "/link"));
    QFile t(QVFileManager::getTemporaryPath() + "/t");
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.close();
    const QString sub = QVFileManager::getSubtitlesCachePath();
    bool done = false;
    QVFileManager::removeCachesFileWithCompletion([&] { done = true; });
    for (int i = 0; i < 500 && !done; ++i) {  // at most 5 s
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!done) QThread::msleep(10);
    }
    ASSERT_TRUE(done);
    EXPECT_FALSE(QFileInfo::exists(thumbs));
    EXPECT_FALSE(QFileInfo::exists(QVFileManager::getCachesPath() + "/QVTemporary/t"));
    EXPECT_TRUE(QFileInfo::exists(outside.path() + "/keep"));
    EXPECT_TRUE(QFileInfo(sub).isDir());  // other caches stay
    EXPECT_TRUE(QFileInfo(QDir::tempPath()).isDir());
}

TEST(CacheClearing, AutoClearKeepsSmallCachesAndEmptiesTheTemporaryFolder) {
    QFile small(QVFileManager::getCachesPathDown() + "/img");
    ASSERT_TRUE(small.open(QIODevice::WriteOnly));
    small.write("x");
    small.close();
    QFile t(QVFileManager::getTemporaryPath() + "/t");
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.close();
    EXPECT_GT(QVFileManager::freeSpaceOfCacheVolume(), 0u);
    QVFileManager::autoClearCache();
    EXPECT_TRUE(QFileInfo::exists(QVFileManager::getCachesPath() + "/QVImageCache/QVDownCaches/img"));
    EXPECT_FALSE(QFileInfo::exists(QVFileManager::getCachesPath() + "/QVTemporary/t"));
}

}  // namespace

#include "platform/Locale.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "testing/FakeFramework.h"
#include "testing/app_test_util.h"
#include "tools/QVPrivateTools.h"

namespace {

class StreamAddresses : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.setStarted(true);
        fake.setSessionToken(123);
        QVSingletonInterfaceManage::sharedManager().setFramework(&fake);
        setHost("192.168.1.5");
    }
    void TearDown() override {
        QVSingletonData::sharedManager().setCurrentDeviceInfo(nullptr);
        QVSingletonInterfaceManage::sharedManager().setFramework(nullptr);
    }
    static void setHost(const QString &ip, const QString &mac = "AA:BB") {
        auto d = std::make_shared<QVNasDeviceInfo>();
        d->ip = ip;
        d->mac = mac;
        QVSingletonData::sharedManager().setCurrentDeviceInfo(d);
    }
    FakeFramework fake;
};

TEST_F(StreamAddresses, BuiltFromTheServiceUriAndTheCurrentDevice) {
    EXPECT_EQ(QVFileManager::qvFormatResultPath("/a b.mp4", 7),
              "http://192.168.1.5/7/a%20b.mp4?KID=123&ssig=abcdefghij");
    setHost("127.0.0.1");
    EXPECT_EQ(QVFileManager::qvFormatResultPath("/a", 7),
              "http://127.0.0.1:8080/7/a?KID=123&ssig=abcdefghij");
    fake.setSessionToken(0);  // no URI: the host alone
    EXPECT_EQ(QVFileManager::qvFormatResultPath("/a", 7), "http://127.0.0.1:8080/");
}

TEST_F(StreamAddresses, InverseRoundTripSurvivesAnAddressChange) {
    for (const char *p :
         {"/a b.mp4", "/100%.mkv", "/why?.mp3", "/#1.avi", "/视频/电影 一.mkv", "/%20?KID=x", "/a/"}) {
        const QString path = u(p);
        setHost("192.168.1.5");
        const QString addr = QVFileManager::qvFormatResultPath(path, 4294967297LL);
        EXPECT_EQ(QVFileManager::qvAnitFormatResultPath(addr), path) << qPrintable(addr);
        setHost("127.0.0.1");  // reconnected through the tunnel: the old address still reads back
        EXPECT_EQ(QVFileManager::qvAnitFormatResultPath(addr), path) << qPrintable(addr);
    }
}

TEST_F(StreamAddresses, OpenInCacheFolderByPathSizeAndMac) {
    auto f = std::make_shared<QVFileInfo>();
    f->name = "a b.mp4";
    f->path = "/x/a b.mp4";
    f->size = 10;
    const QString byPath = QVFileManager::getCacheOpenInPath(f);
    EXPECT_TRUE(byPath.startsWith(QVFileManager::getCacheOpenInPath() + "/"));
    EXPECT_EQ(modeOf(byPath), 0700u);
    // Digest of "/x/a b.mp4+10+AA:BB" after the cache-key encoding, computed with md5sum.
    EXPECT_EQ(byPath.section('/', -1), QVPrivateTools::md5ForString("%2Fx%2Fa%20b.mp4%2B10%2BAA%3ABB"));
    f->path = QVFileManager::qvFormatResultPath(f->path, 3);  // a stream address names the same file
    EXPECT_EQ(QVFileManager::getCacheOpenInPath(f), byPath);
    EXPECT_EQ(QVFileManager::getCacheOpenInFilePath(f), byPath + "/a b.mp4");
    setHost("192.168.1.5", "CC:DD");
    EXPECT_NE(QVFileManager::getCacheOpenInPath(f), byPath);
    f->name = "../../x";
    EXPECT_TRUE(QVFileManager::getCacheOpenInFilePath(f).isEmpty());
}

TEST(LocalFolders, DateSortImageAndJoinedPaths) {
    plat::Locale::setPreferredLanguages({"en-US"});
    QVPrivateTools::resetLanguageForTests();
    const QString docs = plat::Paths::documents();
    struct Case {
        QString got, want;
    } cases[] = {
        {QVFileManager::getSortFolderPath(1), docs + "/Videos"},
        {QVFileManager::getSortFolderPath(2), docs + "/Music"},
        {QVFileManager::getSortFolderPath(3), docs + "/Pictures"},
        {QVFileManager::getSortFolderPath(9), docs + "/Documents"},
        {QVFileManager::getDateFolderPath(),
         docs + "/UDiskDocument/" + QDateTime::currentDateTime().toString("yyyy-MM-dd")},
        {QVFileManager::getCachesIamge("thumbs"), QVFileManager::getCachesPath() + "/thumbs"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.got, c.want);
        EXPECT_EQ(modeOf(c.want), 0700u) << qPrintable(c.want);
    }
    EXPECT_EQ(QVFileManager::getImage("p.jpg", "thumbs"), QVFileManager::getCachesPath() + "/thumbs/p.jpg");
    for (const char *bad : {"", "..", "a/b"}) {
        EXPECT_TRUE(QVFileManager::getCachesIamge(u(bad)).isEmpty()) << bad;
        EXPECT_TRUE(QVFileManager::getImage(u(bad), "thumbs").isEmpty()) << bad;
    }
    EXPECT_EQ(QVFileManager::getFilePath("/a/", "b"), "/a/b");
    EXPECT_EQ(QVFileManager::getFilePath("/a", "/b"), "/a/b");
    EXPECT_EQ(QVFileManager::getFilePath("/", "b"), "/b");
    EXPECT_EQ(QVFileManager::getFilePath("/a", ""), "/a");
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

TEST(LocalFiles, EntryOfALocalFile) {
    QTemporaryDir tmp;
    QFile f(tmp.path() + "/clip.mp4");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(10, 'x'));
    f.close();
    const QVFileInfoPtr e = QVFileManager::returnFileInfoBySourcePath(tmp.path() + "/clip.mp4");
    EXPECT_EQ(e->name, "clip.mp4");
    EXPECT_EQ(e->type, 1);  // video
    EXPECT_EQ(e->size, 10u);
    EXPECT_EQ(e->path, tmp.path() + "/clip.mp4");
    EXPECT_EQ(e->create_time().size(), 10);
    EXPECT_EQ(e->modify_time().size(), 19);
    EXPECT_GT(e->date, 0u);
}

struct RecordingBox final : QVProgressBoxHost {
    QStringList events;
    void removeBox() override { events << "remove"; }
    void showBox(QObject *, bool, const QString &text, Mode, int hideAfterMs) override {
        events << QString("show %1 %2").arg(text).arg(hideAfterMs);
    }
    void finishBox(const QString &text, int hideAfterMs) override {
        events << QString("finish %1 %2").arg(text).arg(hideAfterMs);
    }
};

TEST(CacheClearing, UnderTheSharedBoxAndSizeText) {
    plat::Locale::setPreferredLanguages({"en-US"});
    QVPrivateTools::resetLanguageForTests();
    QFile img(QVFileManager::getCachesPathDown() + "/big");
    ASSERT_TRUE(img.open(QIODevice::WriteOnly));
    img.write(QByteArray(2048, 'x'));
    img.close();
    EXPECT_EQ(QVFileManager::folderCachesSize().right(2), "KB");
    RecordingBox box;
    QVPrivateTools::setProgressBoxHost(&box);
    bool done = false;
    QVFileManager::removeCachesFileWithCompletion([&] { done = true; });
    ASSERT_TRUE(apptest::spinUntil([&] { return done; }));
    QVPrivateTools::setProgressBoxHost(nullptr);
    EXPECT_EQ(box.events, (QStringList{"remove", u("show Clearing the cache… -1"), "finish Done 1000"}));
    EXPECT_EQ(QVFileManager::folderCachesSize(), QVPrivateTools::formattedFileSize(0));
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

}  // namespace
