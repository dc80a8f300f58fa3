#include "command/download_id.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "command/url_escape.h"

namespace {
TEST(UrlEscape, KeepsTheSafeSetAndEscapesEveryOtherByteUpperCase) {
    const struct {
        std::string in, want;
    } cases[] = {
        {"", ""},
        {"AZaz09*-./_", "AZaz09*-./_"},
        {"a b", "a%20b"},
        {"%+?&=~", "%25%2B%3F%26%3D%7E"},
        {"\xc3\xa9", "%C3%A9"},
        {std::string("x\0y", 3), "x%00y"},
    };
    for (const auto &c : cases) EXPECT_EQ(qv_url_escape(c.in), c.want) << c.in;
}

TEST(DownloadTaskId, Md5OfTheEscapedTextInUpperCase) {
    // Expected digests from md5sum over the escaped texts.
    const struct {
        const char *path;
        int64_t size, mtime;
        const char *want;
    } cases[] = {
        {"/home/u/dl/a b.txt", 1234, 1700000000, "4D8D1C16FB9CF826FA49C0BB2EC3A0BA"},
        {"/d/\xc3\xa9t\xc3\xa9(x)", -1, -2, "76BA83AAC1665259949796E06BF7505E"},
    };
    for (const auto &c : cases) {
        char id[QV_TASK_ID_LEN + 1];
        ASSERT_EQ(download_task_id(c.path, c.size, c.mtime, id), 0);
        EXPECT_STREQ(id, c.want);
    }
    char id[QV_TASK_ID_LEN + 1];
    EXPECT_EQ(download_task_id(nullptr, 0, 0, id), -1);
}

TEST(DownloadTaskId, LongPathsKeepEveryCharacter) {
    // Paths far beyond 1,023 characters that differ only at their end have different ids, and neither
    // has the id of an empty text.
    std::string a(5000, 'a'), b = a;
    a += "/x.bin";
    b += "/y.bin";
    char ia[QV_TASK_ID_LEN + 1], ib[QV_TASK_ID_LEN + 1], ie[QV_TASK_ID_LEN + 1];
    ASSERT_EQ(download_task_id(a.c_str(), 10, 20, ia), 0);
    ASSERT_EQ(download_task_id(b.c_str(), 10, 20, ib), 0);
    ASSERT_EQ(download_task_id("", 0, 0, ie), 0);
    EXPECT_STRNE(ia, ib);
    EXPECT_STRNE(ia, "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_STRNE(ia, ie);
}

struct TempDir {
    std::filesystem::path dir;
    TempDir() {
        char tmpl[] = "/tmp/qv_dlid_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(dir); }
};

TEST(DownloadIdFile, CreatedOnceThenCheckedExactly) {
    TempDir t;
    const std::string path = (t.dir / "f.qvc.uuid").string();
    const char *id = "4D8D1C16FB9CF826FA49C0BB2EC3A0BA";
    ASSERT_EQ(check_download_id_file(path.c_str(), id), 0);
    {
        std::ifstream in(path, std::ios::binary);
        std::string got{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(got, id);  // 32 characters, no terminator, no line end
    }
    EXPECT_EQ(check_download_id_file(path.c_str(), id), 0);

    const struct {
        const char *name;
        std::string content;
        int want;
    } cases[] = {
        {"another id", "76BA83AAC1665259949796E06BF7505E", 10258},
        {"id and a line end", std::string(id) + "\n", 10258},
        {"id and a NUL", std::string(id) + std::string(1, '\0'), 10258},
        {"a prefix of the id", std::string(id).substr(0, 31), 10258},
        {"64 bytes of garbage", std::string(64, 'Z'), 10258},
        {"200 bytes starting with the id", std::string(id) + std::string(168, 'Q'), 10258},
        {"empty", "", 13116},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.content;
        EXPECT_EQ(check_download_id_file(path.c_str(), id), c.want);
    }
    EXPECT_EQ(check_download_id_file((t.dir / "no/dir/x").c_str(), id), 13116);
}
}  // namespace
