#include "runtime/ppc_push.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/qv_log.h"
#include "runtime/ppc_qv_command_cache.h"

namespace {

// No connection pool exists in this test program: a push thread's exchanges fail at once and it pauses, so
// nothing leaves the process.
constexpr char kAddr[] = "127.0.0.1";

TEST(PushList, WithoutAListEveryOperationFails) {
    qv::set_log_enabled(false);
    reverse_task_destroy();
    EXPECT_EQ(reverse_task_add(1, kAddr, nullptr), -1);
    EXPECT_EQ(reverse_task_del(1), -1);
    EXPECT_EQ(reverse_task_destroy(), -1);
    EXPECT_EQ(reverse_device_ip_change(kAddr), -1);
    EXPECT_EQ(reverse_task_count(), 0);
    qv_cache_peer p;
    EXPECT_FALSE(reverse_cache_peer(1, 0, &p));
    qv::set_log_enabled(true);
}

TEST(PushList, ValueOperationsByOpCode) {
    qv::set_log_enabled(false);
    ASSERT_EQ(reverse_task_init(), 0);
    constexpr int64_t kToken = 42;
    ASSERT_EQ(reverse_task_add(kToken, kAddr, nullptr), 0);
    EXPECT_EQ(reverse_task_add(7, "", nullptr), -1);
    EXPECT_EQ(reverse_task_add(7, "127.000.000.000.000.000.000.0001", nullptr), -1);  // 32 characters
    EXPECT_EQ(reverse_device_ip_change(nullptr), -1);
    EXPECT_EQ(reverse_device_ip_change("127.255.255.255"), 0);

    auto query = [](int64_t token, int32_t op) {
        reverse_task q{};
        q.token = token;
        q.op = op;
        EXPECT_EQ(reverse_task_query(&q), 0);
        std::string out = "-";
        for (char *v : {q.usb_value, q.db_value, q.recent_value}) {
            if (v != nullptr) out = v;
            std::free(v);
        }
        return out;
    };
    auto write = [](int (*fn)(const reverse_task *), int64_t token, int32_t op, char *usb, char *db,
                    char *recent) {
        reverse_task r{};
        r.token = token;
        r.op = op;
        r.usb_value = usb;
        r.db_value = db;
        r.recent_value = recent;
        EXPECT_EQ(fn(&r), 0);
    };
    char u1[] = "u1", u2[] = "u2", d1[] = "d1", d2[] = "d2", r1[] = "r1", r2[] = "r2";
    struct Step {
        const char *what;
        int (*fn)(const reverse_task *);
        int32_t op;
        int64_t token;
        char *usb, *db, *recent;
        std::string usb_after, db_after, recent_after;
    };
    const std::vector<Step> steps = {
        {"insert usb", reverse_task_insert, REVERSE_INSERT_USB, kToken, u1, d1, r1, "u1", "-", "-"},
        {"insert db", reverse_task_insert, REVERSE_INSERT_DB, kToken, u2, d1, r1, "u1", "d1", "-"},
        {"insert recent", reverse_task_insert, REVERSE_INSERT_RECENT, kToken, u2, d2, r1, "u1", "d1", "r1"},
        {"update usb", reverse_task_update, REVERSE_UPDATE_USB, kToken, u2, d2, r2, "u2", "d1", "r1"},
        {"update db", reverse_task_update, REVERSE_UPDATE_DB, kToken, u1, d2, r2, "u2", "d2", "r1"},
        {"update recent", reverse_task_update, REVERSE_UPDATE_RECENT, kToken, u1, d1, r2, "u2", "d2", "r2"},
        {"an update without a value", reverse_task_update, REVERSE_UPDATE_DB, kToken, u1, nullptr, r1, "u2",
         "d2", "r2"},
        {"an insert op given to update", reverse_task_update, REVERSE_INSERT_DB, kToken, u1, d1, r1, "u2",
         "d2", "r2"},
        {"a query op given to insert", reverse_task_insert, REVERSE_QUERY_USB, kToken, u1, d1, r1, "u2", "d2",
         "r2"},
        {"another token", reverse_task_update, REVERSE_UPDATE_USB, kToken + 1, u1, d1, r1, "u2", "d2", "r2"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        write(s.fn, s.token, s.op, s.usb, s.db, s.recent);
        EXPECT_EQ(query(kToken, REVERSE_QUERY_USB), s.usb_after);
        EXPECT_EQ(query(kToken, REVERSE_QUERY_DB), s.db_after);
        EXPECT_EQ(query(kToken, REVERSE_QUERY_RECENT), s.recent_after);
    }
    EXPECT_EQ(query(kToken + 1, REVERSE_QUERY_USB), "-");
    EXPECT_EQ(query(kToken, REVERSE_INSERT_USB), "-");  // not a query op
    EXPECT_EQ(reverse_task_query(nullptr), -1);

    // The cache's view: the signs by selector, the channel down (nothing was ever pushed).
    qv_cache_peer p;
    ASSERT_TRUE(reverse_cache_peer(kToken, 0, &p));
    EXPECT_EQ(p.sign, "d2");
    EXPECT_FALSE(p.alive);
    ASSERT_TRUE(reverse_cache_peer(kToken, 1, &p));
    EXPECT_EQ(p.sign, "r2");

    EXPECT_EQ(reverse_task_del(kToken), 0);
    EXPECT_EQ(reverse_task_count(), 0);
    EXPECT_EQ(reverse_task_del(kToken), 0);  // nothing listed: still 0
    EXPECT_EQ(reverse_task_destroy(), 0);
    qv::set_log_enabled(true);
}

}  // namespace
