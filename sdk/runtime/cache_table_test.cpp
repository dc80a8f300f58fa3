#include "runtime/cache_table.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>

#include "base/qv_log.h"
#include "runtime/afvfs.h"
#include "runtime/cache_test_util.h"
#include "runtime/db_task.h"

namespace {

using cache_test::column;
using cache_test::TempDir;

struct Db : ::testing::Test {
    TempDir dir;
    std::string file = dir / "cache.db";
    db_task *task = nullptr;
    void SetUp() override {
        qv::set_log_enabled(false);
        task = db_module_init(file.c_str());
        ASSERT_NE(task, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(destroy_db_task(task), 0);
        qv::set_log_enabled(true);
    }
    std::string read(const std::string &key) {
        char *out = nullptr;
        EXPECT_EQ(afvfs_query_cache_value(key.c_str(), &out, task), 0);
        std::string s = out ? out : "<none>";
        std::free(out);
        return s;
    }
    size_t rows() { return column(file, "SELECT KEY FROM cache_table").size(); }
};

TEST_F(Db, KeysValuesAndSignsComeBackByteForByte) {
    const std::string texts[] = {
        "it's",
        "'",
        "''''''",
        "'); DROP TABLE cache_table; --",
        "100% of a/b/c and /%/&/(",
        "caf\xc3\xa9 \xe6\x96\x87\xe4\xbb\xb6 \xf0\x9f\x93\x81",
        std::string(2 * 1024 * 1024, 'v') + "'tail",
    };
    for (const std::string &t : texts) {
        SCOPED_TRACE(t.substr(0, 40));
        const std::string key = "cmd: 101, para: {\"path\":\"" + t.substr(0, 4096) + "\"}";
        ASSERT_EQ(afvfs_insert_cache_value(key.c_str(), t.c_str(), task), 0);
        EXPECT_EQ(read(key), t);
        ASSERT_EQ(afvfs_insert_identifier(t.c_str(), task), 0);
        char *ident = nullptr;
        ASSERT_EQ(afvfs_query_identifier(&ident, task), 0);
        EXPECT_EQ(std::string(ident), t);
        std::free(ident);
        ASSERT_EQ(sqlite3_exec(task->db, "DELETE FROM identify_table", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    EXPECT_EQ(column(file, "SELECT name FROM sqlite_master WHERE name='cache_table'").size(), 1u);
    EXPECT_EQ(rows(), std::size(texts));
}

TEST_F(Db, RepeatedKeyKeepsOneRowWithTheLaterValue) {
    ASSERT_EQ(afvfs_insert_cache_value("k", "first", task), 0);
    ASSERT_EQ(afvfs_insert_cache_value("k", "second", task), 0);
    EXPECT_EQ(read("k"), "second");
    EXPECT_EQ(rows(), 1u);
    ASSERT_EQ(afvfs_update_cache_info("k", "third", task), 0);
    EXPECT_EQ(read("k"), "third");
    // An update of a key without a row adds nothing.
    ASSERT_EQ(afvfs_update_cache_info("other", "x", task), 0);
    EXPECT_EQ(rows(), 1u);
}

TEST_F(Db, MissingKeyAndEmptyIdentifierTable) {
    char *out = nullptr;
    EXPECT_EQ(afvfs_query_cache_value("nothing", &out, task), 0);
    EXPECT_EQ(out, nullptr);
    identify_info q{nullptr, 1};
    EXPECT_EQ(identify_table_query(task->db, &q), kIdentifyEmpty);
    EXPECT_EQ(afvfs_query_identifier(&out, task), -1);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Db, OnlyCommandOneIsCarriedOut) {
    for (int cmd : {0, 2}) {
        cache_info c{const_cast<char *>("k"), const_cast<char *>("v"), cmd};
        identify_info i{const_cast<char *>("s"), cmd};
        EXPECT_EQ(cache_table_insert(task->db, &c), -1);
        EXPECT_EQ(cache_table_update(task->db, &c), -1);
        EXPECT_EQ(cache_table_query(task->db, &c), -1);
        EXPECT_EQ(identify_table_insert(task->db, &i), -1);
        EXPECT_EQ(identify_table_update(task->db, &i), -1);
        EXPECT_EQ(identify_table_query(task->db, &i), -1);
    }
    EXPECT_EQ(rows(), 0u);
    EXPECT_TRUE(column(file, "SELECT IDENTIFIER FROM identify_table").empty());
}

TEST_F(Db, FailedWriteRollsBackEverything) {
    // A trigger that writes a second table and then fails: without the transaction the first half stays.
    ASSERT_EQ(
        sqlite3_exec(task->db,
                     "CREATE TRIGGER boom AFTER INSERT ON cache_table WHEN NEW.KEY='bad' BEGIN "
                     "INSERT INTO identify_table(IDENTIFIER) VALUES('half'); SELECT RAISE(FAIL, 'no'); END;",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    ASSERT_EQ(afvfs_insert_cache_value("good", "v", task), 0);
    cache_info bad{const_cast<char *>("bad"), const_cast<char *>("v"), 1};
    EXPECT_EQ(_handle_cache_table_insert(&bad, task), SQLITE_CONSTRAINT);
    EXPECT_EQ(column(file, "SELECT KEY FROM cache_table"), std::vector<std::string>{"good"});
    EXPECT_TRUE(column(file, "SELECT IDENTIFIER FROM identify_table").empty());
    // Two signs cannot all become one.
    sqlite3_exec(task->db, "INSERT INTO identify_table(IDENTIFIER) VALUES('a'),('b')", nullptr, nullptr,
                 nullptr);
    identify_info same{const_cast<char *>("c"), 1};
    EXPECT_EQ(_handle_identify_table_update(&same, task), SQLITE_CONSTRAINT);
    EXPECT_EQ(column(file, "SELECT IDENTIFIER FROM identify_table ORDER BY 1"),
              (std::vector<std::string>{"a", "b"}));
}

TEST_F(Db, KindsGoOnlyToTheirCallback) {
    db_msg msg{};
    cache_info c{const_cast<char *>("k"), nullptr, 1};
    msg.cache_query = &c;
    msg.m_type = DB_MSG_CACHE_QUERY;
    EXPECT_EQ(db_write_task_msg_cb(task, &msg), -1);  // a read sent as a write, rolled back
    msg.m_type = DB_MSG_CACHE_INSERT;
    EXPECT_EQ(db_query_task_msg_cb(task, &msg), -1);
    msg.m_type = 775;
    EXPECT_EQ(db_write_task_msg_cb(task, &msg), -1);
    db_msg *none = nullptr;
    EXPECT_EQ(free_sync_message(&none), -1);
    EXPECT_EQ(free_sync_message(nullptr), -1);
    EXPECT_EQ(destroy_db_task(nullptr), -1);
}

TEST_F(Db, UpdateAndDeleteKindsAreCarriedOut) {
    ASSERT_EQ(afvfs_insert_cache_value("a", "1", task), 0);
    ASSERT_EQ(afvfs_insert_cache_value("b", "2", task), 0);
    cache_info upd{const_cast<char *>("a"), const_cast<char *>("11"), 1};
    EXPECT_EQ(_handle_cache_table_update(&upd, task), 0);
    EXPECT_EQ(read("a"), "11");
    EXPECT_EQ(afvfs_delete_cache_value("a", task), 0);
    EXPECT_EQ(read("a"), "<none>");
    EXPECT_EQ(read("b"), "2");
    EXPECT_EQ(afvfs_delete_cache_value(nullptr, task), 0);
    EXPECT_EQ(rows(), 0u);
}

TEST_F(Db, BusyWriteLockIsNotWaitedFor) {
    std::unique_lock<std::mutex> hold(task->mutex);
    EXPECT_EQ(afvfs_insert_cache_value("k", "v", task), -1);
    hold.unlock();
    EXPECT_EQ(rows(), 0u);
}

TEST_F(Db, AbsentArgumentsSendNothing) {
    char *out = nullptr;
    EXPECT_EQ(afvfs_query_cache_value(nullptr, &out, task), -1);
    EXPECT_EQ(afvfs_query_cache_value("k", nullptr, task), -1);
    EXPECT_EQ(afvfs_query_cache_value("k", &out, nullptr), -1);
    EXPECT_EQ(afvfs_insert_cache_value(nullptr, "v", task), -1);
    EXPECT_EQ(afvfs_insert_cache_value("k", nullptr, task), -1);
    EXPECT_EQ(afvfs_insert_identifier(nullptr, task), -1);
    EXPECT_EQ(afvfs_query_identifier(nullptr, task), -1);
    EXPECT_EQ(rows(), 0u);
}

TEST_F(Db, RebuildStartsFromNothing) {
    ASSERT_EQ(afvfs_insert_cache_value("k", "v", task), 0);
    ASSERT_EQ(db_module_rebuild(file.c_str(), &task), 0);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(rows(), 0u);
    db_task *none = nullptr;
    EXPECT_EQ(db_module_rebuild(file.c_str(), &none), -1);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
