#include "runtime/decoded_cache.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "codec/file_parse_admin.h"
#include "codec/file_process.h"
#include "codec/reply_copy.h"

namespace {

// A decoded user list of `users` records, of a known size.
std::shared_ptr<const qv_reply_copy> users_copy(int users) {
    std::string data = R"({"header": {"cmd": 323, "error": 0}, "data": {"userList": [)";
    for (int i = 0; i < users; ++i)
        data += std::string(i ? "," : "") + R"({"userId": )" + std::to_string(i) +
                R"(, "nickName": "n", "imagePath": "/p"})";
    data += "]}}";
    client_info ci;
    std::memset(&ci, 0, sizeof ci);
    ci.cmd = 323;
    ci.recv_buf = strdup(data.c_str());
    EXPECT_EQ(file_parse_process(&ci), 0);
    std::free(ci.recv_buf);
    auto copy = qv_reply_copy_take(&ci);
    qv_user_list_free(ci.userList);
    return copy;
}

struct DecodedCache : ::testing::Test {
    void SetUp() override {
        qv::set_log_enabled(false);
        decoded_cache_clear();
        decoded_cache_set_bound(kDecodedCacheBytesDefault);
    }
    void TearDown() override {
        decoded_cache_clear();
        decoded_cache_set_bound(kDecodedCacheBytesDefault);
        qv::set_log_enabled(true);
    }
};

TEST_F(DecodedCache, ServedOnlyForTheStateItWasTakenIn) {
    const auto copy = users_copy(2);
    ASSERT_NE(copy, nullptr);
    struct Case {
        const char *what;
        int selector;
        const char *key;
        const char *identifier;
        uint64_t generation;
        bool found;
    } cases[] = {
        {"the same state", 0, "k", "5:dev-A|u1", 7, true},
        {"another identifier", 0, "k", "5:dev-B|u1", 7, false},
        {"a later generation", 0, "k", "5:dev-A|u1", 8, false},
        {"the other database", 1, "k", "5:dev-A|u1", 7, false},
        {"another key", 0, "k2", "5:dev-A|u1", 7, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        decoded_cache_clear();
        decoded_cache_keep(0, "k", "5:dev-A|u1", 7, copy);
        EXPECT_EQ(decoded_cache_find(c.selector, c.key, c.identifier, c.generation) != nullptr, c.found);
    }
    // An entry of another state is dropped once seen, so a return to the old state finds nothing either.
    decoded_cache_clear();
    decoded_cache_keep(0, "k", "5:dev-A|u1", 7, copy);
    EXPECT_EQ(decoded_cache_find(0, "k", "5:dev-A|u1", 8), nullptr);
    EXPECT_EQ(decoded_cache_find(0, "k", "5:dev-A|u1", 7), nullptr);
    EXPECT_EQ(decoded_cache_usage().entries, 0u);
    // Dropping a key, or everything of one database.
    decoded_cache_keep(0, "a", "i", 1, copy);
    decoded_cache_keep(1, "a", "i", 1, copy);
    decoded_cache_keep(1, "b", "i", 1, copy);
    decoded_cache_drop(1, "a");
    EXPECT_NE(decoded_cache_find(0, "a", "i", 1), nullptr);
    EXPECT_EQ(decoded_cache_find(1, "a", "i", 1), nullptr);
    decoded_cache_clear(1);
    EXPECT_EQ(decoded_cache_find(1, "b", "i", 1), nullptr);
    EXPECT_NE(decoded_cache_find(0, "a", "i", 1), nullptr);
}

TEST_F(DecodedCache, BytesStayUnderTheBoundLeastRecentlyUsedFirst) {
    const auto copy = users_copy(40);
    ASSERT_NE(copy, nullptr);
    const size_t one = qv_reply_copy_bytes(*copy);
    ASSERT_GT(one, 40 * sizeof(user_list_info));
    decoded_cache_set_bound(one * 4 + one / 2);  // room for four
    for (const char *k : {"a", "b", "c", "d"}) decoded_cache_keep(0, k, "i", 1, copy);
    ASSERT_NE(decoded_cache_find(0, "a", "i", 1), nullptr);  // "a" used last now
    decoded_cache_keep(0, "e", "i", 1, copy);
    EXPECT_EQ(decoded_cache_find(0, "b", "i", 1), nullptr);  // the least recently used went
    for (const char *k : {"a", "c", "d", "e"}) EXPECT_NE(decoded_cache_find(0, k, "i", 1), nullptr) << k;
    const decoded_cache_stats s = decoded_cache_usage();
    EXPECT_EQ(s.entries, 4u);
    EXPECT_LE(s.bytes, s.bound);
    // A copy over a quarter of the bound is never kept, and replacing a key keeps one entry for it.
    decoded_cache_keep(0, "huge", "i", 1, users_copy(400));
    EXPECT_EQ(decoded_cache_find(0, "huge", "i", 1), nullptr);
    decoded_cache_keep(0, "a", "i", 2, copy);
    EXPECT_EQ(decoded_cache_usage().entries, 4u);
    EXPECT_NE(decoded_cache_find(0, "a", "i", 2), nullptr);
    decoded_cache_set_bound(0);
    EXPECT_EQ(decoded_cache_usage().entries, 0u);
    EXPECT_EQ(decoded_cache_usage().bytes, 0u);
}

}  // namespace
