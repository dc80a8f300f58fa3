// Path resolution: the normaliser and the resolution against a session's work directory, as one table.
#include "runtime/ppc_deal_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "runtime/ppc_token_list.h"

namespace {

std::string normalised(const char *path) {
    char *out = check_return_dot_path(path);
    std::string s = out ? out : "<none>";
    std::free(out);
    return s;
}

TEST(PathNormaliser, Table) {
    qv::set_log_enabled(false);
    struct Case {
        const char *path, *want;
    };
    const Case cases[] = {
        {"/a/b/../c", "/a/c"},
        {"/a/b/..", "/a"},
        {"/a/..", "/"},
        {"/..", "/"},
        {"/../x", "/x"},
        {"/a/.", "/a"},
        {"/.", "/"},
        {"/a/./b", "/a/./b"},  // no ".." component: left as it is
        {"/a/..b", "/a/..b"},
        {"/a/b/../c/", "/a/c"},
        {"/a//", "/a/"},  // one trailing '/' goes
        {"/", "/"},
        {"", "<none>"},
        // Every ".." goes, also after the first component and after earlier ones.
        {"/b/../c", "/c"},
        {"/a/../b/../c", "/c"},
        {"/a/b/c/../../d", "/a/d"},
        {"/a/../../../x", "/x"},
        {"/a/b/../../..", "/"},
        {"/a/./..", "/"},  // "." and empty components are no folder of their own
        {"/a//../b", "/b"},
        {"/a/./b/../c", "/a/./c"},
        {"/a/..b/../c", "/a/c"},  // a ".." after another name that merely starts with ".."
        {"/..b/../../etc", "/etc"},
        {"/a/.../b", "/a/.../b"},
        {"a/../b", "/b"},
        {"../x", "../x"},
        {"/a/b/..//", "/a/"},
    };
    for (const Case &c : cases) EXPECT_EQ(normalised(c.path), c.want) << c.path;
    EXPECT_EQ(check_return_dot_path(nullptr), nullptr);
}

class PathResolution : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        ASSERT_EQ(init_ppc_token_list(), 0);
        add(1, "/d");
        add(2, "/d/");
        add(3, "");
    }
    void TearDown() override {
        free_ppc_token_list();
        qv::set_log_enabled(true);
    }
    static void add(int64_t token, const char *dir) {
        auto *n = static_cast<token_dnode *>(std::calloc(1, sizeof(token_dnode)));
        n->token = token;
        n->work_dir = strdup(dir);
        ASSERT_EQ(add_info_for_ppc_token_list(n), 0);
    }
    static std::string resolved(const char *path, int64_t token) {
        char *out = nullptr;
        if (create_new_full_path(path, &out, token) != 0) return "<fail>";
        std::string s = out;
        std::free(out);
        return s;
    }
};

TEST_F(PathResolution, Table) {
    struct Case {
        const char *path;
        int64_t token;
        const char *want;
    };
    const Case cases[] = {
        {"x", 1, "/d/x"},    {"./x", 1, "/d/x"},   {".", 1, "/d"},       {"./", 1, "/d"},
        {"../x", 1, "/x"},   {"..", 1, "/"},       {"../../..", 1, "/"}, {"y/../x", 1, "/d/x"},
        {".x", 1, "/d/.x"},  {"x", 2, "/d/x"},     {"", 1, "/d"},        {"/a/b/../c/", 1, "/a/c"},
        {"/a//", 1, "/a/"},  {"/abs", 99, "/abs"},  // absolute paths need no work directory
        {"x", 99, "<fail>"},                        // no work directory for the token
        {".", 3, "<fail>"},                         // an empty work directory gives an empty text
        {"x", 3, "/x"},
    };
    for (const Case &c : cases) EXPECT_EQ(resolved(c.path, c.token), c.want) << c.path << " @" << c.token;
    char *out = nullptr;
    EXPECT_EQ(create_new_full_path(nullptr, &out, 1), -1);
}

TEST_F(PathResolution, RelativePathsNeedTheListSetUp) {
    ASSERT_EQ(free_ppc_token_list(), 0);
    EXPECT_EQ(resolved("x", 1), "<fail>");
    EXPECT_EQ(resolved("/a/../b", 1), "/b");
    EXPECT_EQ(free_ppc_token_list(), -1);  // "no need free"
    ASSERT_EQ(init_ppc_token_list(), 0);
}

TEST_F(PathResolution, WorkDirectoryListOperations) {
    EXPECT_EQ(is_ppc_token_list_init(), 1);
    EXPECT_EQ(init_ppc_token_list(), 0);  // a second set-up keeps the nodes
    add(1, "/second");                    // found only once the first node of token 1 is gone
    token_dnode *info = nullptr;
    ASSERT_EQ(get_info_from_ppc_token_list(&info, 1), 0);
    EXPECT_STREQ(info->work_dir, "/d");
    std::free(info->work_dir);
    std::free(info);
    EXPECT_EQ(get_info_from_ppc_token_list(nullptr, 1), -1);
    EXPECT_EQ(get_info_from_ppc_token_list(&info, 42), -1);

    EXPECT_EQ(update_work_dir_for_ppc_token_list("/e", 1), 0);
    EXPECT_EQ(update_work_dir_for_ppc_token_list(nullptr, 1), -1);
    EXPECT_EQ(update_work_dir_for_ppc_token_list("/e", 42), -1);
    char *wd = get_work_dir_from_ppc_token_list(1);
    EXPECT_STREQ(wd, "/e");
    std::free(wd);

    EXPECT_EQ(del_info_from_ppc_token_list(1), 0);
    wd = get_work_dir_from_ppc_token_list(1);
    EXPECT_STREQ(wd, "/second");
    std::free(wd);
    EXPECT_EQ(del_info_from_ppc_token_list(1), 0);
    EXPECT_EQ(del_info_from_ppc_token_list(1), -1);
    EXPECT_EQ(get_work_dir_from_ppc_token_list(1), nullptr);
    EXPECT_EQ(add_info_for_ppc_token_list(nullptr), -1);
}

}  // namespace
