// The open-file table (descriptors, positions, copies) and the Base64 encoder against OpenSSL's.
#include "runtime/ppc_fd_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"

namespace {

fd_dnode *entry(int32_t type, const char *path = "/p") {
    auto *e = static_cast<fd_dnode *>(std::calloc(1, sizeof(fd_dnode)));
    e->type = type;
    e->path = strdup(path);
    return e;
}

fd_dnode *list_entry(int32_t count) {
    fd_dnode *e = entry(PPC_FD_LIST);
    e->entries = static_cast<void **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(void *)));
    for (int32_t i = 0; i < count; ++i) e->entries[i] = strdup("item");
    e->entry_count = count;
    return e;
}

class FdTable : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        ASSERT_EQ(init_ppc_fd_list(), 0);
    }
    void TearDown() override {
        free_ppc_fd_list();
        qv::set_log_enabled(true);
    }
    static int32_t add(fd_dnode *e) {
        if (add_info_for_ppc_fd_list(e) != 0) {
            std::free(e->path);
            std::free(e);
            return -1;
        }
        return e->v_fd;
    }
};

TEST_F(FdTable, SmallestFreeDescriptorAndFullAt65535) {
    EXPECT_EQ(get_free_v_fd(), 1);
    EXPECT_EQ(add(entry(PPC_FD_LOCAL)), 1);
    EXPECT_EQ(add(entry(PPC_FD_PEER)), 2);
    EXPECT_EQ(add(entry(PPC_FD_LOCAL)), 3);
    ASSERT_EQ(del_info_from_ppc_fd_list(1), 0);
    EXPECT_EQ(del_info_from_ppc_fd_list(1), -1);
    EXPECT_EQ(get_free_v_fd(), 1);
    EXPECT_EQ(add(entry(PPC_FD_LOCAL)), 1);
    EXPECT_EQ(add(entry(PPC_FD_LOCAL)), 4);

    for (int32_t want = 5; want <= PPC_V_FD_MAX; ++want) ASSERT_EQ(add(entry(PPC_FD_LOCAL)), want);
    EXPECT_EQ(get_free_v_fd(), -1);
    EXPECT_EQ(add(entry(PPC_FD_LOCAL)), -1);  // "invalid fd", the entry stays the caller's
    ASSERT_EQ(del_info_from_ppc_fd_list(40000), 0);
    EXPECT_EQ(add(entry(PPC_FD_LOCAL)), 40000);
    EXPECT_EQ(add_info_for_ppc_fd_list(nullptr), -1);
}

TEST_F(FdTable, PositionBoundsByType) {
    constexpr int64_t kKeep = INT64_MIN;  // start where the previous case left off
    const int32_t list = add(list_entry(5));
    const int32_t file = add(entry(PPC_FD_LOCAL));
    struct Case {
        const char *what;
        int32_t v_fd;
        bool absolute;
        int64_t start, arg;
        int rc;
        int64_t after;
    };
    const Case cases[] = {
        {"list: set to the count", list, true, 0, 5, 0, 5},
        {"list: set past the count", list, true, 0, 6, -1, 0},
        {"list: set below 0", list, true, 2, -1, -1, 2},
        {"list: move from the count by one", list, false, 5, 1, 0, 6},
        {"list: move one past that (6, reached by the move)", list, false, kKeep, 1, -1, 6},
        {"list: move below 0", list, false, 1, -2, -1, 1},
        {"file: any position", file, true, 0, -7, 0, -7},
        {"file: far move", file, false, 1, INT64_C(1) << 40, 0, (INT64_C(1) << 40) + 1},
        {"file: overflowing move", file, false, INT64_MAX - 1, 5, -1, INT64_MAX - 1},
        {"absent", 777, true, 0, 1, -1, -1},
    };
    for (const Case &c : cases) {
        if (c.v_fd != 777 && c.start != kKeep) {
            ASSERT_EQ(set_offset_for_ppc_fd_list(c.v_fd, c.start), 0) << c.what;
        }
        const int rc = c.absolute ? set_offset_for_ppc_fd_list(c.v_fd, c.arg)
                                  : move_offset_for_ppc_fd_list(c.v_fd, c.arg);
        EXPECT_EQ(rc, c.rc) << c.what;
        EXPECT_EQ(get_offset_from_ppc_fd_list(c.v_fd), c.after) << c.what;
    }
}

TEST_F(FdTable, DescriptorsAndCopies) {
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    fd_dnode *e = entry(PPC_FD_LOCAL, "/local/a");
    e->fd = pipefd[0];
    e->word1 = 11, e->word2 = 12, e->word3 = 13, e->word4 = 14, e->wide = 15, e->short1 = 16;
    std::memcpy(e->text, "peerid", 7);
    const int32_t v = add(e);
    EXPECT_EQ(get_fd_from_ppc_fd_list(v), pipefd[0]);
    ASSERT_EQ(update_fd_for_ppc_fd_list(v, pipefd[1]), 0);
    EXPECT_EQ(::fcntl(pipefd[0], F_GETFD), -1);  // the replaced descriptor was closed
    EXPECT_EQ(get_fd_from_ppc_fd_list(v), pipefd[1]);

    fd_dnode *c = nullptr;
    ASSERT_EQ(get_info_from_ppc_fd_list(v, &c), 0);
    EXPECT_EQ(c->v_fd, v);
    EXPECT_STREQ(c->path, "/local/a");
    EXPECT_NE(c->path, e->path);
    EXPECT_EQ(c->fd, pipefd[1]);
    EXPECT_EQ(c->word1 + c->word2 + c->word3 + c->wide + c->short1, 11 + 12 + 13 + 15 + 16);
    EXPECT_EQ(c->word4, 0);  // not a field of type 1
    EXPECT_EQ(c->text[0], '\0');
    std::free(c->path);
    std::free(c);

    // A zero descriptor is never closed: stdin survives.
    fd_dnode *peer = entry(PPC_FD_PEER);
    const int32_t pv = add(peer);
    ASSERT_EQ(update_fd_for_ppc_fd_list(pv, 0), 0);
    ASSERT_EQ(update_fd_for_ppc_fd_list(pv, -1), 0);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);

    const int32_t lv = add(list_entry(2));
    ASSERT_EQ(get_info_from_ppc_fd_list(lv, &c), 0);
    EXPECT_EQ(c->entry_count, 2);
    EXPECT_STREQ(static_cast<char *>(c->entries[1]), "item");  // the table's own list
    EXPECT_EQ(c->fd, 0);
    std::free(c->path);
    std::free(c);
    EXPECT_EQ(get_info_from_ppc_fd_list(lv, nullptr), -1);
    EXPECT_EQ(get_info_from_ppc_fd_list(999, &c), -1);
    EXPECT_EQ(update_fd_for_ppc_fd_list(999, 3), -1);
    EXPECT_EQ(get_fd_from_ppc_fd_list(999), -1);
    ::close(pipefd[1]);
    ASSERT_EQ(update_fd_for_ppc_fd_list(v, 0), 0);
}

// Adds from many threads at once never share a descriptor, and together take exactly the lowest ones.
TEST_F(FdTable, ConcurrentAddsTakeDistinctDescriptors) {
    constexpr int kThreads = 8, kEach = 500;
    std::vector<std::vector<int32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                got[t].push_back(add(entry(PPC_FD_LOCAL)));
                if (i % 5 == 4) {  // give one back now and then: it is taken again by someone
                    ASSERT_EQ(del_info_from_ppc_fd_list(got[t].back()), 0);
                    got[t].back() = add(entry(PPC_FD_LOCAL));
                }
            }
        });
    for (auto &th : threads) th.join();
    std::set<int32_t> all;
    for (const auto &v : got) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), kThreads * kEach);
}

TEST(FdTableSetUp, UninitialisedTableRefusesEverything) {
    qv::set_log_enabled(false);
    ASSERT_EQ(is_ppc_fd_list_init(), 0);
    EXPECT_EQ(free_ppc_fd_list(), -1);
    fd_dnode *e = entry(PPC_FD_LOCAL);
    EXPECT_EQ(add_info_for_ppc_fd_list(e), -1);
    EXPECT_EQ(get_free_v_fd(), -1);
    EXPECT_EQ(set_offset_for_ppc_fd_list(1, 0), -1);
    EXPECT_EQ(get_offset_from_ppc_fd_list(1), -1);
    ASSERT_EQ(init_ppc_fd_list(), 0);
    ASSERT_EQ(init_ppc_fd_list(), 0);
    EXPECT_EQ(add_info_for_ppc_fd_list(e), 0);
    ASSERT_EQ(free_ppc_fd_list(), 0);  // frees the entry
    EXPECT_EQ(is_ppc_fd_list_init(), 0);
    qv::set_log_enabled(true);
}

std::string openssl_base64(const std::string &in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                        reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

TEST(PpcBase64, MatchesOpenSsl) {
    std::vector<std::string> inputs = {"", "a", "ab", "abc", "abcd", "/dev/sda1?x=1&y=2", "\xff\xfe\x80\x7f"};
    std::mt19937 gen(7);
    for (size_t len = 1; len < 300; len += 7) {
        std::string s(len, '\0');
        for (auto &ch : s) ch = static_cast<char>(1 + gen() % 255);  // no zero byte: the input is a text
        inputs.push_back(s);
    }
    for (const std::string &in : inputs) {
        char *got = ppc_base64_encode(in.c_str());
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got, openssl_base64(in)) << in.size();
        EXPECT_EQ(std::strlen(got), 4 * ((in.size() + 2) / 3));
        std::free(got);
    }
    struct Case {
        const char *in, *want;
    };
    for (const Case &c : {Case{"M", "TQ=="}, Case{"Ma", "TWE="}, Case{"Man", "TWFu"}}) {
        char *got = ppc_base64_encode(c.in);
        EXPECT_STREQ(got, c.want);
        std::free(got);
    }
    EXPECT_EQ(ppc_base64_encode(nullptr), nullptr);
}

// The decoder hands back every encoded text whole, and nothing (length 0) for a text that is not strict
// Base64 or that the length bound cuts into one that is not.
TEST(PpcBase64, DecodeIsTheEncodersInverseAndRefusesEverythingElse) {
    for (const std::string in : {"", "M", "Ma", "Man", "ABCD", "\xc3\xa9"}) {
        char *text = ppc_base64_encode(in.c_str());
        size_t n = 99;
        unsigned char *back = ppc_base64_decode(&n, 1024, text);
        ASSERT_NE(back, nullptr) << text;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), n), in);
        std::free(back);
        std::free(text);
    }
    for (const char *bad : {"QUJDRA", "QU=DRA==", "QUJDRB==", "QUJD RA=", "QUJD\nRA=="}) {
        size_t n = 99;
        EXPECT_EQ(ppc_base64_decode(&n, 1024, bad), nullptr) << bad;
        EXPECT_EQ(n, 0u);
    }
    size_t n = 99;
    EXPECT_EQ(ppc_base64_decode(&n, 6, "QUJDRA=="), nullptr) << "cut to 6 characters";
    EXPECT_EQ(ppc_base64_decode(&n, 1024, nullptr), nullptr);
    EXPECT_EQ(n, 0u);
}

}  // namespace
