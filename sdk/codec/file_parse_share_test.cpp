// Edge cases of the share-link and shared-file reply parsers beyond the fixture table.
#include <gtest/gtest.h>

#include <string>

#include "codec/parse_harness_test.h"

using parse_harness::Harness;

namespace {

std::string rep(char c, size_t n) {
    return std::string(n, c);
}

std::string share(const std::string &name, const std::string &extra = R"("hasPw": 0)") {
    return R"({"shareId": 1, "fileCount": 1, "name": ")" + name + R"(", "url": "u", "createTime": 1, )" +
           extra + R"(, "expect": 0, "status": 1})";
}

std::string file_names(share_file_list *l) {
    return parse_harness::walk<share_file_info>(
        l, share_file_info_of, [](share_file_info *f) { return std::string(f->displayName); });
}

std::string file(const std::string &name) {
    return R"({"displayName": ")" + name + R"(", "realName": "r", "size": 1, "modifyTime": 2, "isDir": 0})";
}

}  // namespace

TEST(ShareReplies, CreatePasswordOnlyWhenSet) {
    Harness h;
    EXPECT_EQ(h.reply(187, R"([{"name": "n", "url": "u", "createTime": 1, "hasPw": 0, "expect": 0}])"), 0);
    ASSERT_NE(h.create.result, nullptr);
    EXPECT_STREQ(h.create.result->sharePw, "");
    EXPECT_EQ(h.create.result->shareHasPw, 0);
    h.release();
    // hasPw is read at 64 bits: a value whose low 32 bits are 0 still sets it.
    EXPECT_EQ(
        h.reply(187, R"([{"name": "n", "url": "u", "createTime": 1, "hasPw": 4294967296, "expect": 0}])"),
        10002);
    EXPECT_EQ(h.create.result, nullptr);
}

TEST(ShareReplies, CreateDataNotAnArray) {
    Harness h;
    EXPECT_EQ(h.reply(187, R"({"name": "n", "url": "u", "createTime": 1, "hasPw": 0, "expect": 0})"), 10002);
    EXPECT_EQ(h.reply(188, R"({"count": 0, "total": 0})"), 10002);
    EXPECT_EQ(h.reply(204, "[]"), 10002);
    EXPECT_EQ(h.reply(205, "[null]"), 10002);
    EXPECT_FALSE(h.holds_result());
}

TEST(ShareReplies, ListCounts) {
    struct Case {
        std::string data;
        int rc;
        std::string ring;
    } cases[] = {
        {R"([{"count": 0, "total": 0}])", 0, ""},
        {R"([{"count": 0, "total": 4, "shareList": 7}])", 0, ""},
        {R"([{"count": -1, "total": 0}])", 10002, ""},
        {R"([{"count": -1, "total": 0, "shareList": [)" + share("A") + "]}]", 0, "A"},
        {R"([{"count": 3, "total": 3, "shareList": []}])", 0, ""},
        {R"([{"count": 3, "total": 3, "shareList": [)" + share("A") + "," + share("B") + "," + share("C") +
             "]}]",
         0, "C,B,A"},
    };
    for (const Case &c : cases) {
        Harness h;
        EXPECT_EQ(h.reply(188, c.data.c_str()), c.rc) << c.data;
        if (c.rc == 0) {
            ASSERT_NE(h.shareList.result, nullptr);
            EXPECT_EQ(parse_harness::share_names(h.shareList.result), c.ring) << c.data;
        } else {
            EXPECT_EQ(h.shareList.result, nullptr);
        }
    }
}

TEST(ShareReplies, TextsAreCut) {
    Harness h;
    const std::string data =
        R"([{"count": 1, "total": 1, "shareList": [{"shareId": 4294967297, "fileCount": 1,
        "name": ")" +
        rep('n', 600) + R"(", "url": ")" + rep('u', 1100) + R"(", "createTime": 1, "hasPw": 1,
        "password": ")" +
        rep('p', 40) + R"(", "expect": 0, "status": -1}]}])";
    ASSERT_EQ(h.reply(188, data.c_str()), 0);
    share_info *s = share_info_of(h.shareList.result->link.next);
    EXPECT_EQ(std::string(s->shareName), rep('n', 512));
    EXPECT_EQ(std::string(s->shareUrl), rep('u', 1024));
    EXPECT_EQ(std::string(s->sharePw), rep('p', 32));
    EXPECT_EQ(s->shareId, 4294967297u);
    EXPECT_EQ(s->shareStatus, -1);

    const std::string folder = R"([{"count": 1, "total": 1, "displayDir": ")" + rep('d', 1100) +
                               R"(", "shareFileList": [{"displayName": ")" + rep('x', 600) +
                               R"(", "realName": ")" + rep('r', 1200) +
                               R"(", "size": 1, "modifyTime": 2, "isDir": 0}]}])";
    ASSERT_EQ(h.reply(204, folder.c_str()), 0);
    share_file_list *l = h.fileList.result;
    EXPECT_EQ(std::string(l->displayDir), rep('d', 1024));
    share_file_info *f = share_file_info_of(l->link.next);
    EXPECT_EQ(std::string(f->displayName), rep('x', 512));
    EXPECT_EQ(std::string(f->realName), rep('r', 1087));
}

TEST(ShareReplies, FolderCounts) {
    struct Case {
        std::string data;
        int rc;
        std::string ring;
    } cases[] = {
        {R"([{"count": 0, "total": 0, "displayDir": "/a"}])", 0, ""},
        {R"([{"count": 0, "total": 0}])", 10002, ""},
        {R"([{"count": -4, "total": 0, "displayDir": "/a"}])", 0, ""},
        {R"([{"count": 2, "total": 0, "displayDir": "/a"}])", 10002, ""},
        {R"([{"count": 3, "total": 3, "displayDir": "/a", "shareFileList": [)" + file("X") + "," + file("Y") +
             "," + file("Z") + "]}]",
         0, "Z,Y,X"},
        {R"([{"count": 3, "total": 3, "displayDir": "/a", "shareFileList": [)" + file("X") + ", null]}]",
         10002, ""},
    };
    for (const Case &c : cases) {
        Harness h;
        EXPECT_EQ(h.reply(204, c.data.c_str()), c.rc) << c.data;
        if (c.rc == 0) {
            ASSERT_NE(h.fileList.result, nullptr);
            EXPECT_STREQ(h.fileList.result->displayDir, "/a");
            EXPECT_EQ(file_names(h.fileList.result), c.ring) << c.data;
        } else {
            EXPECT_EQ(h.fileList.result, nullptr);
        }
    }
}
