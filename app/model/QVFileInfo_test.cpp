#include "model/QVFileInfo.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "platform/KeyedArchiver.h"
#include "tools/QVFileManager.h"

namespace {

QVNasFileInfoPtr entry(const char *name, bool folder, uint64_t size = 0, int64_t userId = 7) {
    auto e = std::make_shared<QVNasFileInfo>();
    e->name = QString::fromUtf8(name);
    e->path = "/d/" + e->name;
    e->isFolder = folder;
    e->size = size;
    e->userId = userId;
    e->date = 1709208000;  // 2024-02-29 12:00:00 UTC
    e->count = 3;
    e->topImagePaths = {"/d/x.jpg"};
    return e;
}

TEST(FileEntry, ShareFileInfoTable) {
    struct Case {
        const char *name;
        bool folder;
        const char *wantName;
        int64_t type;
        const char *image;
        uint32_t count;
    } cases[] = {
        {"", true, "Tessera", 6, "file_folder", 3}, {"Movies", true, "Movies", 6, "file_folder", 3},
        {"A.MP4", false, "A.MP4", 1, "video", 0},   {"README", false, "README", 7, "unknownfile", 0},
        {"x.c", false, "x.c", 4, "file_code", 0},
    };
    for (const Case &c : cases) {
        const QVFileInfoPtr f = QVFileInfo::shareFileInfo(entry(c.name, c.folder));
        EXPECT_EQ(f->name, c.wantName);
        EXPECT_EQ(f->type, c.type) << c.name;
        EXPECT_EQ(f->default_imageName(), c.image) << c.name;
        EXPECT_EQ(f->count, c.count) << c.name;
        EXPECT_EQ(f->topImagePaths.isEmpty(), !c.folder) << c.name;
        EXPECT_FALSE(f->isSelected);
        EXPECT_TRUE(f->fileTagList.isEmpty());
    }
}

TEST(FileEntry, LazyTextsFollowTheKind) {
    const QRegularExpression day(QRegularExpression::anchoredPattern("\\d{4}-\\d\\d-\\d\\d"));
    const QRegularExpression full(
        QRegularExpression::anchoredPattern("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"));
    auto folder = QVFileInfo::shareFileInfo(entry("f", true));
    auto file = QVFileInfo::shareFileInfo(entry("a.txt", false, 1536));
    EXPECT_TRUE(day.match(folder->create_time()).hasMatch());
    EXPECT_TRUE(day.match(folder->modify_time()).hasMatch());
    EXPECT_TRUE(full.match(file->create_time()).hasMatch());
    EXPECT_TRUE(full.match(file->modify_time()).hasMatch());
    EXPECT_EQ(file->sizeStr(), "1.50KB");
    file->setSizeStr("set");
    file->size = 1;
    EXPECT_EQ(file->sizeStr(), "set");
    EXPECT_EQ(file->thumbnail_path(), QVFileManager::getCachesPathThumbnail() + "/" + file->cacheName());
    auto other = QVFileInfo::shareFileInfo(entry("a.txt", false, 1536, 8));
    EXPECT_NE(other->cacheName(), QVFileInfo::shareFileInfo(entry("a.txt", false, 1536, 7))->cacheName());
}

TEST(FileEntry, ArchiveKeysAgainstGoldenJson) {
    auto f = QVFileInfo::shareFileInfo(entry("a.txt", false, 10));
    f->setSizeStr("10bytes");
    const QByteArray data = plat::KeyedArchiver::archivedDataWithRootObject(*f);
    const QJsonObject got = QJsonDocument::fromJson(data).object();
    const QJsonObject want = QJsonDocument::fromJson(R"({"$class":"QVFileInfo","$v":1,"attrState":false,
        "count":0,"date":1709208000,"default_imageName":"TXT","fileTagList":[],"isFolder":false,"name":"a.txt",
        "path":"/d/a.txt","size":10,"sizeStr":"10bytes","type":4,"userId":7})")
                                 .object();
    EXPECT_EQ(got, want) << data.constData();

    auto back = plat::KeyedUnarchiver::unarchiveObjectWithData<QVFileInfo>(data);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->type, 4);
    EXPECT_EQ(back->sizeStr(), "10bytes");
    EXPECT_EQ(back->thumbnail_path(), f->thumbnail_path());  // computed again after reading
    EXPECT_EQ(plat::KeyedUnarchiver::unarchiveObjectWithData<QVFileInfo>("{\"$class\":\"QVNasFileInfo\"}"),
              nullptr);
    EXPECT_EQ(plat::KeyedUnarchiver::unarchiveObjectWithData<QVFileInfo>("{trunc"), nullptr);
}

TEST(FileEntry, CopyKeepsOnlyPathNameUuid) {
    auto f = QVFileInfo::shareFileInfo(entry("a.mp4", false, 99));
    f->uuid = "u1";
    auto c = std::dynamic_pointer_cast<QVFileInfo>(f->clone());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->path, f->path);
    EXPECT_EQ(c->name, f->name);
    EXPECT_EQ(c->uuid, "u1");
    EXPECT_EQ(c->type, 0);
    EXPECT_EQ(c->size, 0u);
}

}  // namespace

namespace {

TEST(FileEntry, CopiesCarryTheirTextsApart) {
    auto a = std::make_shared<QVFileInfo>();
    a->name = "a.mp4";
    a->size = 1536;
    EXPECT_EQ(a->sizeStr(), "1.50KB");
    QVFileInfo b(*a);
    b.setSizeStr("changed");
    EXPECT_EQ(a->sizeStr(), "1.50KB");
    EXPECT_EQ(b.sizeStr(), "changed");
    QVFileInfo c;
    c = b;
    EXPECT_EQ(c.sizeStr(), "changed");
    EXPECT_EQ(c.name, "a.mp4");
}

}  // namespace
