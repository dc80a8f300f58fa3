#include "runtime/sql_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

#include "base/qv_log.h"
#include "runtime/cache_test_util.h"
#include "runtime/db_task.h"

namespace {

using cache_test::column;
using cache_test::TempDir;

// What SQLite keeps in sqlite_master for one of our CREATE statements.
std::string stored_ddl(const char *ddl) {
    std::string s(ddl);
    s.replace(0, std::strlen("CREATE TABLE IF NOT EXISTS "), "CREATE TABLE ");
    if (!s.empty() && s.back() == ';') s.pop_back();
    return s;
}

mode_t mode_of(const std::string &p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

TEST(SqlDb, NewFileHasBothTablesAsDeclaredAndIsPrivate) {
    TempDir dir;
    const std::string file = dir / "cache.db";
    db_task *task = db_module_init(file.c_str());
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(column(file,
                     "SELECT sql FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
                     "ORDER BY rowid"),
              (std::vector<std::string>{stored_ddl(kIdentifyTableDdl), stored_ddl(kCacheTableDdl)}));
    EXPECT_EQ(mode_of(file), 0600u);
    EXPECT_EQ(destroy_db_task(task), 0);
}

TEST(SqlDb, ExistingFileWithoutTablesIsRepairedAndGarbageReplaced) {
    TempDir dir;
    struct Case {
        const char *name;
        std::string content;
    } cases[] = {{"zero length", ""}, {"not a database", std::string(4096, 'x')}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir / "cache.db";
        std::ofstream(file, std::ios::binary) << c.content;
        ::chmod(file.c_str(), 0644);
        db_task *task = db_module_init(file.c_str());
        ASSERT_NE(task, nullptr);
        cache_info req{const_cast<char *>("k"), const_cast<char *>("v"), 1};
        EXPECT_EQ(_handle_cache_table_insert(&req, task), 0);
        EXPECT_EQ(column(file, "SELECT VALUE FROM cache_table"), std::vector<std::string>{"v"});
        EXPECT_EQ(mode_of(file), 0600u);
        EXPECT_EQ(destroy_db_task(task), 0);
        db_remove_files(file.c_str());
    }
}

TEST(SqlDb, CreateFileReportsANonDatabase) {
    TempDir dir;
    const std::string file = dir / "junk.db";
    std::ofstream(file, std::ios::binary) << std::string(4096, 'x');
    EXPECT_EQ(create_db_file(file.c_str()), SQLITE_NOTADB);
    EXPECT_EQ(create_db_file(nullptr), -1);
    EXPECT_NE(create_db_file((dir / "no/such/dir/x.db").c_str()), 0);
}

TEST(SqlDb, EscapeDoublesEveryApostrophe) {
    struct Case {
        const char *src;
        size_t size;
        const char *want;
    } cases[] = {
        {"it's", 9, "it''s"}, {"''''", 9, "''''''''"},
        {"", 1, ""},          {"plain", 11, "plain"},
        {"a'b'c", 4, "a''"},  {"'); DROP TABLE x; --", 41, "''); DROP TABLE x; --"},
    };
    for (const Case &c : cases) {
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(db_str_escape(c.src, buf, c.size), buf);
        EXPECT_STREQ(buf, c.want) << c.src;
    }
    char buf[8] = "junk";
    EXPECT_EQ(db_str_escape(nullptr, buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "");
}

TEST(SqlDb, UnescapeUndoesDoubledQuotesAndSlashBeforeSpecials) {
    struct Case {
        const char *src;
        const char *want;
    } cases[] = {
        {"it''s", "it's"}, {"say \"\"hi\"\"", "say \"hi\""},
        {"/%", "%"},       {"/&/(/)/[/]", "&()[]"},
        {"//", "//"},      {"a/b", "a/b"},
        {"end/", "end/"},  {"'''", "''"},
    };
    for (const Case &c : cases) {
        char buf[64];
        EXPECT_EQ(db_str_unescape(c.src, buf), buf);
        EXPECT_STREQ(buf, c.want) << c.src;
    }
    char buf[8] = "junk";
    EXPECT_EQ(db_str_unescape(nullptr, buf), nullptr);
    EXPECT_STREQ(buf, "");
}

TEST(SqlDb, HashIsElfOverSignedBytes) {
    EXPECT_EQ(db_str_hash("abc", 0), 0u);
    EXPECT_EQ(db_str_hash("a", 1), 0x61u);
    EXPECT_EQ(db_str_hash("ab", 2), (0x61u << 4) + 0x62u);
    // A high byte counts as negative: its sign bits reach bits 28 to 31, which fold into the low byte.
    const char hi[] = {static_cast<char>(0x80)};
    EXPECT_EQ(db_str_hash(hi, 1), 0xFFFFFFFF0FFFFF70ULL);
    // Long input keeps the top nibble of the low 32 bits folded away.
    const std::string text(100, 'z');
    EXPECT_EQ(db_str_hash(text.data(), text.size()) & 0xF0000000u, 0u);
}

TEST(SqlDb, ConnectionRefusesMissingArguments) {
    sqlite3 *db = nullptr;
    EXPECT_EQ(create_db_connection(nullptr, "x", 1), -1);
    EXPECT_EQ(create_db_connection(&db, nullptr, 1), -1);
    EXPECT_EQ(createTable(nullptr, "x"), -1);
    EXPECT_EQ(db_create(nullptr), -1);
    EXPECT_EQ(sqlite3_exec_busy_wait(nullptr, "select 1", nullptr, nullptr), -1);
}

}  // namespace
