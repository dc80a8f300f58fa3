// The command cache on the real command path: listing calls against the device emulator, with the cache
// in a temporary folder and a fake push channel that says which sign each session's device pushed.
#include "runtime/command_cache.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "codec/file_list.h"
#include "codec/file_parse_admin.h"
#include "codec/file_parse_list.h"
#include "codec/file_process.h"
#include "command/file_upload.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "command/task_process.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "runtime/cache_test_util.h"
#include "runtime/decoded_cache.h"
#include "runtime/fake_peer_test.h"
#include "runtime/ppc_qv_command_cache.h"

namespace fs = std::filesystem;

namespace {

using cache_test::FakePeers;
using cache_test::FakeSession;

constexpr char kAuth[] = "auth-cache";

// One listing call, its result flattened to text so that two results can be compared.
struct Listing {
    const char *name;
    int cmd;
    std::function<int(int64_t token, std::string *out)> call;
};

std::string names_of(file_dnode *n) {
    std::string s;
    for (; n != nullptr; n = n->next) s += std::string(n->name) + "|" + std::string(n->path) + ";";
    return s;
}

std::string of_info(int ret, file_list_info *fl) {
    if (ret != 0 || fl == nullptr) return "error " + std::to_string(ret);
    std::string s =
        std::to_string(fl->count) + "/" + std::to_string(fl->totalCount) + ":" + names_of(fl->list);
    ppc_destory_file_list(fl->list);
    std::free(fl);
    return s;
}

std::string of_recent(int ret, recent_list *rl) {
    if (ret != 0 || rl == nullptr) return "error " + std::to_string(ret);
    std::string s = std::to_string(rl->count) + "/" + std::to_string(rl->totalCount) + ":";
    for (recent_dnode *n = rl->next; n != recent_ring_end(rl); n = n->next)
        s += std::string(n->fInfo->path) + ";";
    ppc_free_recent_list(rl);
    return s;
}

path_info kDocs{"/docs", 0, 0};
const int32_t kTypes[] = {1, 4};

const Listing kListings[] = {
    {"folder page", 101,
     [](int64_t t, std::string *out) {
         file_list_page *page = nullptr;
         const int ret = QV_FileGetList(&kDocs, 0, 50, 0, &page, t);
         if (ret != 0) return ret;
         *out = std::to_string(page->count) + ":" + names_of(page->list);
         ppc_destory_file_list(page->list);
         std::free(page);
         return 0;
     }},
    {"type list", 120,
     [](int64_t t, std::string *out) {
         file_list_info *fl = nullptr;
         const int ret = QV_FileGetTypeList(1, 0, &fl, 0, 50, t);
         *out = of_info(ret, fl);
         return ret;
     }},
    {"multi-type list", 158,
     [](int64_t t, std::string *out) {
         file_list_info *fl = nullptr;
         const int ret = QV_FileGetMutilTypeList(kTypes, 2, 0, &fl, 0, 50, t);
         *out = of_info(ret, fl);
         return ret;
     }},
    {"albums", 123,
     [](int64_t t, std::string *out) {
         file_list_info *fl = nullptr;
         const int ret = QV_DirGetTypeList(1, 0, 3, 0, 50, &fl, t);
         *out = of_info(ret, fl);
         return ret;
     }},
    {"type list under a path", 124,
     [](int64_t t, std::string *out) {
         file_list_info *fl = nullptr;
         const int ret = QV_FileGetTypeListByPath(1, 0, &kDocs, &fl, 0, 50, t);
         *out = of_info(ret, fl);
         return ret;
     }},
    {"recent records", 151,
     [](int64_t t, std::string *out) {
         recent_list *rl = nullptr;
         const int ret = QV_FileGetRecordsList(0, 50, 0, t, &rl);
         *out = of_recent(ret, rl);
         return ret;
     }},
    {"aggregation", 161,
     [](int64_t t, std::string *out) {
         recent_list *rl = nullptr;
         // Aggregations are numbered as the album folders: 1 is "/", 2 is "/docs".
         const int ret = QV_FileGetAggregationList(0, 50, 2, t, &rl);
         *out = of_recent(ret, rl);
         return ret;
     }},
};

class CommandCache : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        root_ = testing::TempDir() + "command_cache_" + std::to_string(::getpid());
        fs::remove_all(root_);
        fs::create_directories(root_ + "/docs/sub");
        for (const char *f : {"/docs/a.jpg", "/docs/b.txt", "/docs/sub/c.jpg", "/top.jpg"})
            std::ofstream(root_ + f) << f;
        dev_ = std::make_unique<qvemu::Device>(root_, addr_, 0);
        model_ = qvemu::install_device_user_handlers(*dev_);
        model_->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
        ASSERT_TRUE(dev_->start()) << dev_->last_error();
        ASSERT_EQ(qv_crypt_init(), 0);
        qv_connect_pool_set_port(dev_->port());
        qv_set_device_port(dev_->port());
        ASSERT_EQ(init_connect_pool(), 0);
        qv_frame_reset();
        ASSERT_EQ(QV_LoginVantor(addr_, kAuth, &token_), 0);
        FakePeers::get().clear();
        FakePeers::get().set(token_, FakeSession{});
        qv_set_command_cache_provider(FakePeers::provide);
        ASSERT_EQ(init_command_cache(cache_.path.c_str()), 0);
    }
    void TearDown() override {
        destroy_command_cache(cache_.path.c_str());
        qv_set_command_cache_provider(nullptr);
        FakePeers::get().clear();
        destory_connect_pool();
        qv_connect_pool_set_port(QV_DEVICE_PORT);
        qv_set_device_port(0);
        dev_->stop();
        for (const auto &v : dev_->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
        qv_crypt_release();
        qv_frame_reset();
        fs::remove_all(root_);
        qv::set_log_enabled(true);
    }
    uint64_t sent(int cmd) { return dev_->counters().requests_by_cmd[cmd]; }
    // The rows of a file once the writer has written every store taken.
    size_t rows(const char *file) {
        QVDataCacheFlush();
        return cache_test::column(cache_ / file, "SELECT KEY FROM cache_table").size();
    }

    std::string root_;
    const std::string addr_text_ = cross_test::device_addr();
    const char *addr_ = addr_text_.c_str();
    cache_test::TempDir cache_;
    std::unique_ptr<qvemu::Device> dev_;
    std::shared_ptr<qvemu::DeviceUserModel> model_;
    int64_t token_ = 0;
};

TEST_F(CommandCache, ARepeatIsAnsweredFromTheCacheWithTheSamePage) {
    size_t user_rows = 0, recent_rows = 0;
    for (const Listing &l : kListings) {
        SCOPED_TRACE(l.name);
        std::string first, second;
        ASSERT_EQ(l.call(token_, &first), 0);
        ASSERT_EQ(sent(l.cmd), 1u);
        ASSERT_EQ(l.call(token_, &second), 0);
        EXPECT_EQ(sent(l.cmd), 1u);  // nothing sent
        EXPECT_EQ(second, first);
        EXPECT_EQ(first.rfind("error", 0), std::string::npos) << first;
        EXPECT_NE(first.find("/docs"), std::string::npos) << first;
        (l.cmd == 151 || l.cmd == 161 ? recent_rows : user_rows) += 1;
        EXPECT_EQ(rows("cache.db"), user_rows);
        EXPECT_EQ(rows("recent_cache.db"), recent_rows);
    }
}

TEST_F(CommandCache, HitIsMarkedAndTheCallersHeaderKept) {
    for (int round = 0; round < 2; ++round) {
        client_info ci;
        qv_frame_init(&ci, 101, token_, QV_ADDR_CURRENT);
        ci.srcPathInfo = &kDocs;
        ci.length = 50;
        ci.seq = 40 + round;
        ci.file_list = static_cast<file_list_page *>(std::calloc(1, sizeof(file_list_page)));
        ASSERT_EQ(_qv_net_prcs_task(&ci), 0);
        EXPECT_EQ(ci.cacheHit, round);
        EXPECT_EQ(ci.token, token_);
        EXPECT_EQ(ci.seq, 40 + round);  // not the cached reply's
        EXPECT_EQ(ci.file_list->count, 3);
        ppc_destory_file_list(ci.file_list->list);
        std::free(ci.file_list);
    }
    EXPECT_EQ(sent(101), 1u);
    // The user list's key is the session's own, and a repeat with the next sequence number hits.
    dev_->set_users({{"alice", 1, false}, {"bob", 2, true}});
    for (int round = 0; round < 2; ++round) {
        client_info ci;
        qv_frame_init(&ci, 323, token_, QV_ADDR_CURRENT);
        ci.seq = 70 + round;
        ASSERT_EQ(_qv_net_prcs_task(&ci), 0);
        EXPECT_EQ(ci.cacheHit, round);
        ASSERT_NE(ci.userList, nullptr);
        qv_user_list_free(ci.userList);
    }
    EXPECT_EQ(sent(323), 1u);
}

TEST_F(CommandCache, ErrorsAndUncacheableCommandsAreNeverStored) {
    path_info missing{"/nope", 0, 0};
    for (int i = 0; i < 2; ++i) {
        file_list_page *page = nullptr;
        EXPECT_EQ(QV_FileGetList(&missing, 0, 50, 0, &page, token_), 10202);
        user_space_dnode space{};
        EXPECT_EQ(QV_FileGetUserSpace(&space, token_), 0);
    }
    EXPECT_EQ(sent(101), 2u);
    EXPECT_EQ(sent(148), 2u);
    EXPECT_EQ(rows("cache.db"), 0u);
    EXPECT_EQ(rows("recent_cache.db"), 0u);
}

TEST_F(CommandCache, ANewSignIsAskedOfTheDeviceAndStoredAnew) {
    std::string page;
    const Listing &folder = kListings[0];
    ASSERT_EQ(folder.call(token_, &page), 0);
    ASSERT_EQ(kListings[5].call(token_, &page), 0);  // recent records
    FakePeers::get().edit(token_, [](FakeSession &s) { s.user_sign = "u2"; });
    ASSERT_EQ(folder.call(token_, &page), 0);
    EXPECT_EQ(sent(101), 2u);
    ASSERT_EQ(folder.call(token_, &page), 0);
    EXPECT_EQ(sent(101), 2u);
    ASSERT_EQ(kListings[5].call(token_, &page), 0);
    EXPECT_EQ(sent(151), 1u);  // the other file kept its rows
}

TEST_F(CommandCache, NoChannelNoCache) {
    FakePeers::get().edit(token_, [](FakeSession &s) { s.alive = false; });
    std::string page;
    for (int i = 0; i < 2; ++i) ASSERT_EQ(kListings[0].call(token_, &page), 0);
    EXPECT_EQ(sent(101), 2u);
    EXPECT_EQ(rows("cache.db"), 0u);
}

TEST_F(CommandCache, TheClientsOwnChangesAreSeenAtOnce) {
    std::string before, after;
    ASSERT_EQ(kListings[0].call(token_, &before), 0);
    path_info made{"/docs/new", 0, 0};
    ASSERT_EQ(handle_mkdir_task(&made, 0755, token_), 0);
    ASSERT_EQ(kListings[0].call(token_, &after), 0);
    EXPECT_EQ(sent(101), 2u);
    EXPECT_NE(after.find("new"), std::string::npos) << after;
    EXPECT_EQ(before.find("new"), std::string::npos);
    // An upload goes through a processor of its own.
    ASSERT_EQ(kListings[0].call(token_, &before), 0);
    EXPECT_EQ(sent(101), 2u);
    const std::string local = cache_ / "up.jpg";
    std::ofstream(local) << "uploaded bytes";
    client_file_task *task = client_file_task_new();
    task->token = token_;
    path_info target{"/docs/up.jpg", 0, 0};
    ASSERT_EQ(QV_FileUpload(local.c_str(), &target, task), 0);
    client_file_task_free(task);
    ASSERT_EQ(kListings[0].call(token_, &after), 0);
    EXPECT_EQ(sent(101), 3u);
    EXPECT_NE(after.find("up.jpg"), std::string::npos) << after;
}

TEST_F(CommandCache, ACachedTextThatDoesNotParseIsReplacedFromTheDevice) {
    std::string good, again;
    ASSERT_EQ(kListings[0].call(token_, &good), 0);
    // The file is spoilt while the cache is closed (a restart forgets the decoded copies).
    ASSERT_EQ(destroy_command_cache(cache_.path.c_str()), 0);
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open((cache_ / "cache.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE cache_table SET VALUE='{\"header\": truncated'", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_EQ(init_command_cache(cache_.path.c_str()), 0);
    ASSERT_EQ(kListings[0].call(token_, &again), 0);
    EXPECT_EQ(again, good);
    EXPECT_EQ(sent(101), 2u);
    ASSERT_EQ(kListings[0].call(token_, &again), 0);
    EXPECT_EQ(again, good);
    EXPECT_EQ(sent(101), 2u);  // the device's text replaced the broken one
}

TEST_F(CommandCache, AfterTheCloseCommandsGoToTheDevice) {
    std::string page;
    ASSERT_EQ(kListings[0].call(token_, &page), 0);
    ASSERT_EQ(destroy_command_cache(cache_.path.c_str()), 0);
    ASSERT_EQ(kListings[0].call(token_, &page), 0);
    EXPECT_EQ(sent(101), 2u);
}

TEST_F(CommandCache, ACacheThatCannotOpenLeavesListingsWorking) {
    ASSERT_EQ(destroy_command_cache(cache_.path.c_str()), 0);
    std::ofstream(cache_ / "plain-file") << "x";
    const size_t fds = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    EXPECT_EQ(init_command_cache((cache_ / "plain-file/cache").c_str()), -1);
    EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()),
              static_cast<std::ptrdiff_t>(fds));
    std::string a, b;
    ASSERT_EQ(kListings[0].call(token_, &a), 0);
    ASSERT_EQ(kListings[0].call(token_, &b), 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(sent(101), 2u);
}

TEST_F(CommandCache, ManyThreadsListWhileOneResetsAndOneCloses) {
    std::string expect_docs, expect_top;
    path_info top{"/", 0, 0};
    auto list = [&](path_info *p, std::string *out) {
        file_list_page *page = nullptr;
        const int ret = QV_FileGetList(p, 0, 50, 0, &page, token_);
        if (ret != 0) return ret;
        *out = names_of(page->list);
        ppc_destory_file_list(page->list);
        std::free(page);
        return 0;
    };
    ASSERT_EQ(list(&kDocs, &expect_docs), 0);
    ASSERT_EQ(list(&top, &expect_top), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; !stop; ++n) {
                const bool docs = (i + n) % 2 == 0;
                std::string got;
                if (list(docs ? &kDocs : &top, &got) != 0) {
                    ++failed;
                } else if (got != (docs ? expect_docs : expect_top)) {
                    ++wrong;
                }
            }
        });
    }
    std::thread resetter([&] {
        for (int n = 0; n < 20; ++n) {
            FakePeers::get().edit(token_, [&](FakeSession &s) { s.user_sign = "u" + std::to_string(n); });
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::thread closer([&] { EXPECT_EQ(destroy_command_cache(cache_.path.c_str()), 0); });
    closer.join();
    resetter.join();
    const uint64_t at_close = sent(101);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GT(sent(101), at_close);  // after the close every listing reached the device
}

// Behind the cache's back: every row of a file emptied by another connection, so that only the decoded
// copies in memory can still answer.
void empty_rows(const std::string &file) {
    QVDataCacheFlush();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM cache_table", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST_F(CommandCache, RepeatsComeFromTheDecodedCopiesWithTheSamePage) {
    for (const Listing &l : kListings) {
        SCOPED_TRACE(l.name);
        std::string first, second;
        const uint64_t before = sent(l.cmd);
        std::string stored;
        ASSERT_EQ(l.call(token_, &first), 0);
        ASSERT_EQ(l.call(token_, &stored), 0);  // read from the row, and its decoded copy kept
        EXPECT_EQ(stored, first);
        empty_rows(cache_ / (l.cmd == 151 || l.cmd == 161 ? "recent_cache.db" : "cache.db"));
        ASSERT_EQ(l.call(token_, &second), 0);
        EXPECT_EQ(sent(l.cmd), before + 1);  // neither the device nor the file was asked
        EXPECT_EQ(second, first);
    }
    EXPECT_EQ(decoded_cache_usage().entries, std::size(kListings));
    // With no room for copies the file answers, as before them.
    decoded_cache_set_bound(0);
    std::string a, b;
    ASSERT_EQ(kListings[1].call(token_, &a), 0);
    EXPECT_EQ(sent(120), 2u);
    ASSERT_EQ(kListings[1].call(token_, &b), 0);
    EXPECT_EQ(sent(120), 2u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(decoded_cache_usage().entries, 0u);
    decoded_cache_set_bound(kDecodedCacheBytesDefault);
}

TEST_F(CommandCache, DecodedCopiesNeverServeAnotherStateOfTheDevice) {
    struct Case {
        const char *what;
        std::function<void(int64_t token)> event;
    };
    const Case cases[] = {
        {"a new sign pushed",
         [](int64_t token) { FakePeers::get().edit(token, [](FakeSession &s) { s.user_sign = "u9"; }); }},
        {"another device on the session",
         [](int64_t token) {
             FakePeers::get().edit(token, [](FakeSession &s) { s.device = "dev-B/alice"; });
         }},
        {"another account on the device",
         [](int64_t token) { FakePeers::get().edit(token, [](FakeSession &s) { s.device = "dev-A/bob"; }); }},
        {"the file rebuilt for another sign", [](int64_t) { QVDataCacheReset("other", CACHE_DB_USER); }},
        {"a change on the device by this client",
         [](int64_t token) { qv_command_cache_changed(token, 109); }},
        {"the row of the key dropped",
         [](int64_t token) {
             client_info ci;
             qv_frame_init(&ci, 101, token, QV_ADDR_CURRENT);
             ci.srcPathInfo = &kDocs;
             ci.length = 50;
             ASSERT_EQ(file_process(&ci), 0);
             forget_command_cache(ci.cacheKey, token, 101);
             std::free(ci.cacheKey);
             std::free(ci.retstr);
         }},
        {"the channel down",
         [](int64_t token) { FakePeers::get().edit(token, [](FakeSession &s) { s.alive = false; }); }},
    };
    int serial = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakePeers::get().set(token_, FakeSession{});
        std::string first, again, after;
        ASSERT_EQ(kListings[0].call(token_, &first), 0);
        ASSERT_EQ(kListings[0].call(token_, &again), 0);
        ASSERT_EQ(again, first);
        const uint64_t asked = sent(101);
        // The device's folder changes; only the event tells the cache.
        const std::string name = "fresh" + std::to_string(serial++) + ".jpg";
        std::ofstream(root_ + "/docs/" + name) << "x";
        c.event(token_);
        ASSERT_EQ(kListings[0].call(token_, &after), 0);
        EXPECT_EQ(sent(101), asked + 1);
        EXPECT_NE(after.find(name), std::string::npos) << after;
    }
}

TEST_F(CommandCache, ARestartKeepsRowsButNoCopies) {
    std::string first, again;
    ASSERT_EQ(kListings[0].call(token_, &first), 0);
    EXPECT_EQ(decoded_cache_usage().entries, 0u);  // a miss keeps no copy; the first repeat does
    ASSERT_EQ(kListings[0].call(token_, &again), 0);
    EXPECT_EQ(decoded_cache_usage().entries, 1u);
    ASSERT_EQ(destroy_command_cache(cache_.path.c_str()), 0);
    EXPECT_EQ(decoded_cache_usage().entries, 0u);
    ASSERT_EQ(init_command_cache(cache_.path.c_str()), 0);
    ASSERT_EQ(kListings[0].call(token_, &again), 0);  // from the file, and kept again
    EXPECT_EQ(again, first);
    EXPECT_EQ(sent(101), 1u);
    EXPECT_EQ(decoded_cache_usage().entries, 1u);
}

TEST_F(CommandCache, ThreadsListWhileTheClientChangesTheFolder) {
    // Sixteen threads list one folder while another makes and removes a folder in it: every page is the
    // folder with or without it, and a listing made after a change always shows the change.
    auto list = [&](std::string *out) {
        file_list_page *page = nullptr;
        const int ret = QV_FileGetList(&kDocs, 0, 50, 0, &page, token_);
        if (ret != 0) return ret;
        *out = names_of(page->list);
        ppc_destory_file_list(page->list);
        std::free(page);
        return 0;
    };
    std::string without, with;
    ASSERT_EQ(list(&without), 0);
    path_info made{"/docs/made", 0, 0};
    ASSERT_EQ(handle_mkdir_task(&made, 0755, token_), 0);
    ASSERT_EQ(list(&with), 0);
    ASSERT_NE(with, without);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, failed{0}, stale{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            while (!stop) {
                std::string got;
                if (list(&got) != 0)
                    ++failed;
                else if (got != with && got != without)
                    ++wrong;
            }
        });
    }
    for (int n = 0; n < 20; ++n) {
        std::string got;
        ASSERT_EQ(handle_rmdir_task(&made, token_), 0);
        ASSERT_EQ(list(&got), 0);
        if (got != without) ++stale;
        ASSERT_EQ(handle_mkdir_task(&made, 0755, token_), 0);
        ASSERT_EQ(list(&got), 0);
        if (got != with) ++stale;
    }
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(stale.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
}

}  // namespace
