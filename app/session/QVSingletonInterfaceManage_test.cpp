#include "session/QVSingletonInterfaceManage.h"

#include <gtest/gtest.h>

#include "model/QVFileInfo.h"
#include "model/QVNasFileListInfo.h"

namespace {

QVNasFileInfoPtr e(const char *path, uint64_t date = 0) {
    auto f = std::make_shared<QVNasFileInfo>();
    f->path = path;
    f->name = QString(path).section('/', -1);
    f->date = date;
    return f;
}

QVNasResponseInfoPtr listing(int32_t cmd) {
    auto list = std::make_shared<QVNasFileListInfo>();
    list->totalCount = 42;
    list->fileList = {e("a/b.mp4", 1709208000), e("/c.txt")};
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = cmd;
    r->responseData = QVariant::fromValue(list);
    return r;
}

QList<QVNasFileInfoPtr> filesOf(const QVariant &v) {
    QList<QVNasFileInfoPtr> out;
    for (const QVariant &x : v.toList()) out.append(x.value<QVNasFileInfoPtr>());
    return out;
}

TEST(ListingTransform, PerCommand) {
    struct Case {
        int32_t cmd;
        const char *shape;  // "list", "fileListInfo", "page", "same"
        bool fixed;
    } cases[] = {{98, "list", false},         {61, "fileListInfo", true}, {134, "fileListInfo", true},
                 {184, "fileListInfo", true}, {96, "page", true},         {100, "page", true},
                 {70, "same", false}};
    for (const Case &c : cases) {
        auto r = listing(c.cmd);
        const auto before = r->responseData.value<QVNasFileListInfoPtr>();
        const auto beforeFirst = before->fileList.first();
        EXPECT_EQ(QVSingletonInterfaceManage::qvNasTransformResponseData(r), r);
        QList<QVNasFileInfoPtr> files;
        const QString shape = c.shape;
        if (shape == "list" || shape == "same") {
            files = r->responseData.value<QVNasFileListInfoPtr>()->fileList;
        } else if (shape == "fileListInfo") {
            const QVariantMap m = r->responseData.toMap();
            EXPECT_EQ(m.keys(), QStringList{"fileListInfo"});
            files = m.value("fileListInfo").value<QVNasFileListInfoPtr>()->fileList;
        } else {
            const QVariantMap m = r->responseData.toMap();
            EXPECT_TRUE(m.value("folders").toList().isEmpty());
            const QVariantMap page = m.value("pageDict").toMap();
            EXPECT_EQ(page.value("totalCount").toInt(), 42);
            EXPECT_EQ(page.value("totalPage").toInt(), 1);
            EXPECT_EQ(page.value("pageSize").toInt(), 1);
            files = filesOf(m.value("files"));
        }
        ASSERT_EQ(files.size(), 2) << c.cmd;
        if (shape == "same") {
            EXPECT_EQ(files.first(), beforeFirst);
            continue;
        }
        auto f = std::dynamic_pointer_cast<QVFileInfo>(files.first());
        ASSERT_NE(f, nullptr) << c.cmd;
        EXPECT_EQ(f->path, c.fixed ? "/a/b.mp4" : "a/b.mp4") << c.cmd;
        EXPECT_EQ(files.at(1)->path, "/c.txt");
        EXPECT_EQ(f->type, 1);
        EXPECT_EQ(f->create_time().size(), 10);
        EXPECT_EQ(f->modify_time().size(), 19);
    }
}

TEST(ListingTransform, RecordGroupsKeepTheirFirstEntryAndEmptyGroupsAreSkipped) {
    auto full = std::make_shared<QVNasDeviceAggregationInfo>();
    full->fileList = {e("/p/1.jpg"), e("/p/2.jpg")};
    auto empty = std::make_shared<QVNasDeviceAggregationInfo>();
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = 141;
    r->responseData = QVariant::fromValue(QList<QVNasDeviceAggregationInfoPtr>{full, empty, nullptr});
    QVSingletonInterfaceManage::qvNasTransformResponseData(r);
    ASSERT_EQ(full->fileList.size(), 1);
    EXPECT_NE(std::dynamic_pointer_cast<QVFileInfo>(full->fileList.first()), nullptr);
    EXPECT_EQ(full->fileList.first()->path, "/p/1.jpg");
    EXPECT_TRUE(empty->fileList.isEmpty());
}

}  // namespace
