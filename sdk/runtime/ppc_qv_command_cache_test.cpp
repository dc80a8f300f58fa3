#include "runtime/ppc_qv_command_cache.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "runtime/cache_test_util.h"
#include "runtime/fake_peer_test.h"

namespace {

using cache_test::column;
using cache_test::FakePeers;
using cache_test::FakeSession;
using cache_test::TempDir;

constexpr int64_t kTok = 7001;

struct Front : ::testing::Test {
    TempDir dir;
    std::string folder = dir / "cache";
    void SetUp() override {
        qv::set_log_enabled(false);
        FakePeers::get().clear();
        FakePeers::get().set(kTok, FakeSession{});
        qv_set_command_cache_provider(FakePeers::provide);
        ASSERT_EQ(init_command_cache(folder.c_str()), 0);
    }
    void TearDown() override {
        destroy_command_cache(folder.c_str());
        qv_set_command_cache_provider(nullptr);
        FakePeers::get().clear();
    }
    // The command path in short: look up, and on a miss store `reply` as the device's answer.
    static std::string get(const std::string &key, int64_t token, int sel, const std::string &reply) {
        char *out = nullptr;
        const int rc = query_command_cache(key.c_str(), &out, token, sel);
        if (out != nullptr) {
            std::string hit = out;
            std::free(out);
            return "hit:" + hit;
        }
        // The writer is waited for: a lookup of the cache that finds it writing is a miss.
        if (rc == 0 && insert_command_cache(key.c_str(), reply.c_str(), token, sel) == 0) QVDataCacheFlush();
        return "miss";
    }
    // The rows of a file once the writer has written every store taken.
    std::vector<std::string> keys(const char *file) {
        QVDataCacheFlush();
        return column(dir / ("cache/" + std::string(file)), "SELECT KEY FROM cache_table ORDER BY 1");
    }
};

TEST_F(Front, EmptyFolderGetsBothPrivateFilesAndARestartReusesRows) {
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const char *f : {"cache.db", "recent_cache.db"}) {
        ASSERT_EQ(::stat((folder + "/" + f).c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "page"), "miss");
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "page"), "hit:page");
    for (const char *f : {"cache.db-wal", "cache.db-shm"}) {  // the log beside the file is as private
        ASSERT_EQ(::stat((folder + "/" + f).c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    ASSERT_EQ(destroy_command_cache(folder.c_str()), 0);
    ASSERT_EQ(init_command_cache(folder.c_str()), 0);
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "other"), "hit:page");
}

TEST_F(Front, LongFolderPathOpens) {
    ASSERT_EQ(destroy_command_cache(folder.c_str()), 0);
    std::string deep = dir.path;
    while (deep.size() < 300) deep += "/abcdefghijklmnopqrstuvwxyz";
    deep.resize(300);
    ASSERT_EQ(::system(("mkdir -p '" + deep.substr(0, deep.rfind('/')) + "'").c_str()), 0);
    ASSERT_EQ(init_command_cache(deep.c_str()), 0);
    EXPECT_EQ(get("k", kTok, CACHE_DB_RECENT, "page"), "miss");
    EXPECT_EQ(get("k", kTok, CACHE_DB_RECENT, "page"), "hit:page");
    QVDataCacheFlush();
    EXPECT_EQ(column(deep + "/recent_cache.db", "SELECT VALUE FROM cache_table"),
              std::vector<std::string>{"page"});
    ASSERT_EQ(destroy_command_cache(deep.c_str()), 0);
    ASSERT_EQ(init_command_cache(folder.c_str()), 0);
}

TEST_F(Front, EachSelectorUsesItsOwnFile) {
    get("recent", kTok, CACHE_DB_RECENT, "r");
    get("user", kTok, CACHE_DB_USER, "u");
    EXPECT_EQ(keys("recent_cache.db"), std::vector<std::string>{"recent"});
    EXPECT_EQ(keys("cache.db"), std::vector<std::string>{"user"});
}

TEST_F(Front, EqualSignServesADifferentOneRebuildsThatFileAlone) {
    get("u", kTok, CACHE_DB_USER, "old-u");
    get("r", kTok, CACHE_DB_RECENT, "old-r");
    ASSERT_EQ(get("u", kTok, CACHE_DB_USER, "x"), "hit:old-u");
    FakePeers::get().edit(kTok, [](FakeSession &s) { s.user_sign = "u2"; });
    EXPECT_EQ(get("u", kTok, CACHE_DB_USER, "new-u"), "miss");  // rebuilt; the device's reply stored
    EXPECT_EQ(get("u", kTok, CACHE_DB_USER, "x"), "hit:new-u");
    EXPECT_EQ(get("r", kTok, CACHE_DB_RECENT, "x"), "hit:old-r");
    const auto ident = column(folder + "/cache.db", "SELECT IDENTIFIER FROM identify_table");
    ASSERT_EQ(ident.size(), 1u);
    EXPECT_EQ(ident[0], QVDataCacheGetIdentifier(CACHE_DB_USER));
    EXPECT_NE(ident[0].find("u2"), std::string::npos);
}

TEST_F(Front, NothingIsServedOrStoredWithoutAChannelAndASign) {
    get("k", kTok, CACHE_DB_USER, "page");
    struct Case {
        const char *what;
        void (*edit)(FakeSession &);
    } cases[] = {
        {"channel down", [](FakeSession &s) { s.alive = false; }},
        {"no sign pushed yet", [](FakeSession &s) { s.user_sign.clear(); }},
        {"sign over 1 KiB", [](FakeSession &s) { s.user_sign = std::string(1025, 's'); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakePeers::get().set(kTok, FakeSession{});
        FakePeers::get().edit(kTok, c.edit);
        char *out = nullptr;
        EXPECT_EQ(query_command_cache("k", &out, kTok, CACHE_DB_USER), -1);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(insert_command_cache("k", "other", kTok, CACHE_DB_USER), -1);
    }
    char *out = nullptr;
    EXPECT_EQ(query_command_cache("k", &out, 999, CACHE_DB_USER), -1);  // no session entry
    FakePeers::get().set(kTok, FakeSession{});
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "x"), "hit:page");
}

TEST_F(Front, LongSignsCompareWhole) {
    const std::string a = std::string(1023, 's') + "a";
    const std::string b = std::string(1023, 's') + "b";
    FakePeers::get().edit(kTok, [&](FakeSession &s) { s.user_sign = a; });
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "page-a"), "miss");
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "x"), "hit:page-a");
    FakePeers::get().edit(kTok, [&](FakeSession &s) { s.user_sign = b; });
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "page-b"), "miss");
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "x"), "hit:page-b");
}

TEST_F(Front, DevicesAndAccountsNeverShareRows) {
    // Same sign everywhere: only the device name tells them apart.
    FakePeers::get().set(2, FakeSession{true, "u1", "r1", "dev-B/alice"});
    FakePeers::get().set(3, FakeSession{true, "u1", "r1", "dev-A/bob"});
    EXPECT_EQ(get("cmd: 101, para: /", kTok, CACHE_DB_USER, "A-alice"), "miss");
    EXPECT_EQ(get("cmd: 101, para: /", 2, CACHE_DB_USER, "B-alice"), "miss");
    EXPECT_EQ(get("cmd: 101, para: /", 3, CACHE_DB_USER, "A-bob"), "miss");
    EXPECT_EQ(get("cmd: 101, para: /", 3, CACHE_DB_USER, "x"), "hit:A-bob");
    EXPECT_EQ(get("cmd: 101, para: /", kTok, CACHE_DB_USER, "A-alice"), "miss");
    EXPECT_EQ(get("cmd: 101, para: /", kTok, CACHE_DB_USER, "x"), "hit:A-alice");
    // Without a device name the session itself is the scope.
    FakePeers::get().set(4, FakeSession{true, "u1", "r1", ""});
    EXPECT_EQ(get("cmd: 101, para: /", 4, CACHE_DB_USER, "s4"), "miss");
}

TEST_F(Front, BusyMutexMissesAndDropsWithoutWaiting) {
    get("k", kTok, CACHE_DB_USER, "page");
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        auto lock = QVDataCacheHold();
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held) std::this_thread::yield();
    const auto t0 = std::chrono::steady_clock::now();
    char *out = nullptr;
    EXPECT_EQ(query_command_cache("k", &out, kTok, CACHE_DB_USER), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(insert_command_cache("k", "new", kTok, CACHE_DB_USER), -1);
    EXPECT_EQ(QVDataCacheReset("other", CACHE_DB_USER), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    release = true;
    holder.join();
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "x"), "hit:page");
}

TEST_F(Front, AnotherProcessHoldingTheFileIsNotWaitedFor) {
    if (::system("command -v sqlite3 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the sqlite3 shell is not installed";
    get("k", kTok, CACHE_DB_USER, "page");
    const std::string file = folder + "/cache.db";
    FILE *shell = ::popen(("sqlite3 '" + file + "' >/dev/null 2>&1").c_str(), "w");
    ASSERT_NE(shell, nullptr);
    std::fputs("BEGIN EXCLUSIVE;\nINSERT INTO cache_table(KEY, VALUE) VALUES('x','y');\n", shell);
    std::fflush(shell);
    // Wait until the other process holds the write lock.
    bool locked = false;
    for (int i = 0; i < 500 && !locked; ++i) {
        sqlite3 *db = nullptr;
        sqlite3_open(file.c_str(), &db);
        locked = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_BUSY;
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(locked) << "sqlite3 shell did not take the lock";
    const auto t0 = std::chrono::steady_clock::now();
    char *out = nullptr;
    EXPECT_EQ(query_command_cache("new", &out, kTok, CACHE_DB_USER), 0);
    EXPECT_EQ(out, nullptr);
    // The store is taken off the caller's path; the writer finds the file busy and drops it.
    EXPECT_EQ(insert_command_cache("new", "v", kTok, CACHE_DB_USER), 0);
    QVDataCacheFlush();
    EXPECT_EQ(get("k", kTok, CACHE_DB_USER, "x"), "hit:page");  // readers are not blocked
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    std::fputs("ROLLBACK;\n.quit\n", shell);
    ::pclose(shell);
    EXPECT_EQ(get("new", kTok, CACHE_DB_USER, "v"), "miss");
    EXPECT_EQ(get("new", kTok, CACHE_DB_USER, "x"), "hit:v");
}

TEST_F(Front, ChangesOnTheDeviceAndUnparsableTextsDropRows) {
    get("a", kTok, CACHE_DB_USER, "A");
    get("b", kTok, CACHE_DB_USER, "B");
    get("r", kTok, CACHE_DB_RECENT, "R");
    forget_command_cache("a", kTok, 101);
    EXPECT_EQ(keys("cache.db"), std::vector<std::string>{"b"});
    forget_command_cache(nullptr, kTok, 105);  // reads change nothing
    EXPECT_EQ(keys("cache.db"), std::vector<std::string>{"b"});
    forget_command_cache(nullptr, kTok, 102);  // a new folder
    EXPECT_TRUE(keys("cache.db").empty());
    EXPECT_TRUE(keys("recent_cache.db").empty());
}

TEST_F(Front, AReplyReadBeforeADropIsNotStored) {
    char *out = nullptr;
    ASSERT_EQ(query_command_cache("k", &out, kTok, CACHE_DB_USER), 0);
    ASSERT_EQ(out, nullptr);
    forget_command_cache(nullptr, kTok, 109);  // another thread deleted a file meanwhile
    EXPECT_EQ(insert_command_cache("k", "stale", kTok, CACHE_DB_USER), -1);
    // Nor a reply whose lookup saw another sign.
    ASSERT_EQ(query_command_cache("k", &out, kTok, CACHE_DB_USER), 0);
    FakePeers::get().edit(kTok, [](FakeSession &s) { s.user_sign = "u9"; });
    EXPECT_EQ(insert_command_cache("k", "stale", kTok, CACHE_DB_USER), -1);
    EXPECT_TRUE(keys("cache.db").empty());
}

TEST(FrontOpen, CacheThatCannotOpenLeavesNothingBehind) {
    qv::set_log_enabled(false);
    TempDir dir;
    std::ofstream(dir / "file") << "x";
    EXPECT_EQ(init_command_cache((dir / "file/cache").c_str()), -1);
    EXPECT_FALSE(QVDataCacheIsOpen());
    EXPECT_EQ(init_command_cache(nullptr), -1);
    EXPECT_EQ(destroy_command_cache(nullptr), -1);
    // A folder in which the second file cannot be made: the first is closed again.
    ASSERT_EQ(::mkdir((dir / "half").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "half/recent_cache.db").c_str(), 0700), 0);
    EXPECT_EQ(init_command_cache((dir / "half").c_str()), -1);
    EXPECT_FALSE(QVDataCacheIsOpen());
    ASSERT_EQ(::rmdir((dir / "half/recent_cache.db").c_str()), 0);
    EXPECT_EQ(init_command_cache((dir / "half").c_str()), 0);
    EXPECT_EQ(destroy_command_cache((dir / "half").c_str()), 0);
}

TEST_F(Front, ManyThreadsListWhileOneResetsAndOneCloses) {
    constexpr int kThreads = 16;
    for (int64_t t = 1; t <= 2; ++t)
        FakePeers::get().set(t, FakeSession{true, "s", "s", "dev-" + std::to_string(t)});
    ASSERT_EQ(get("warm", 2, CACHE_DB_RECENT, "w"), "miss");
    ASSERT_EQ(get("warm", 2, CACHE_DB_RECENT, "x"), "hit:w");
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, hits{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; !stop; ++n) {
                // Session 1 lists folders (user file), session 2 the recent records (recent file).
                const int64_t tok = 1 + (i + n) % 2;
                const std::string key = "cmd: 101, para: " + std::to_string(n % 7);
                const std::string page = "dev-" + std::to_string(tok) + "|" + key;
                const std::string r = get(key, tok, tok == 1 ? CACHE_DB_USER : CACHE_DB_RECENT, page);
                if (r != "miss") {
                    ++hits;
                    if (r != "hit:" + page) ++wrong;
                }
            }
        });
    }
    std::thread resetter([&] {
        for (int n = 0; n < 200 && !stop; ++n) {
            FakePeers::get().edit(1, [&](FakeSession &s) { s.user_sign = "s" + std::to_string(n / 10); });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread closer([&] { EXPECT_EQ(destroy_command_cache(folder.c_str()), 0); });
    closer.join();
    resetter.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    (void)hits;  // how many survive the trylock depends on the machine; the benchmark counts them
    char *out = nullptr;
    EXPECT_EQ(query_command_cache("cmd: 101, para: 1", &out, 1, CACHE_DB_USER), 0);
    EXPECT_EQ(out, nullptr);  // closed: every lookup misses
}

}  // namespace
