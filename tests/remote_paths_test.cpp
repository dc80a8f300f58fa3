// The runtime's remote file-system calls against the emulator: path calls resolved against a session's work
// directory, device files as handles, and the token registry with the device's user lists.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codec/file_parse_list.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers.h"
#include "link/connect_pool.h"
#include "runtime/ppc_paths.h"
#include "runtime/ppc_token_list.h"
#include "runtime/ppc_vfile.h"
#include "runtime/token_list.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kToken = 77;

class RemoteFs : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(cross_test::client_up());
        root_ = testing::TempDir() + "remote_paths_" + std::to_string(::getpid());
        fs::remove_all(root_);
        fs::create_directories(root_ + "/d/sub");
        fs::create_directories(root_ + "/d/other");
        cross_test::write_all(root_ + "/d/file.txt", "text");
        cross_test::write_all(root_ + "/song.bin", content_);
        dev_ = std::make_unique<qvemu::Device>(root_, addr_, 0);
        qvemu::install_open_stream_handler(*dev_);
        ASSERT_NO_FATAL_FAILURE(cross_test::use_device(*dev_, addr_.c_str()));
        qv_connect_pool_set_port(dev_->port());
        ASSERT_EQ(ppc_initialise(), 0);
        auto *n = static_cast<token_dnode *>(std::calloc(1, sizeof(token_dnode)));
        n->token = kToken;
        n->work_dir = strdup("/d");
        ASSERT_EQ(add_info_for_ppc_token_list(n), 0);
    }
    void TearDown() override {
        ppc_uninitialise();
        qv_connect_pool_set_port(QV_DEVICE_PORT);
        cross_test::device_and_client_down(*dev_);
        fs::remove_all(root_);
    }
    std::string wd() {
        char buf[256];
        const char *got = ppc_getwd(buf, sizeof buf, kToken);
        return got ? got : "<none>";
    }
    uint64_t requests(int cmd) { return dev_->counters().requests_by_cmd[cmd]; }

    const std::string addr_ = cross_test::device_addr();
    const std::string content_ = cross_test::bytes_of(300000, 5);
    std::string root_;
    std::unique_ptr<qvemu::Device> dev_;
};

// Each step starts from the work directory the previous one left.
TEST_F(RemoteFs, ChdirFollowsTheDeviceAndResolvesAgainstTheWorkDirectory) {
    struct Step {
        const char *path;
        int rc;
        const char *wd_after;
    };
    const Step steps[] = {
        {"sub", 0, "/d/sub"},               // a real folder: its mode carries permission bits
        {"..", 0, "/d"},                    //
        {"./other/", 0, "/d/other"},        //
        {"../file.txt", -1, "/d/other"},    // a file
        {"../missing", -1, "/d/other"},     // not on the device
        {"/x/../d/../d/sub", 0, "/d/sub"},  // ".." after the first component and after later ones
        {"../../../..", 0, "/"},
        {".", 0, "/"},
        {"d", 0, "/d"},
    };
    for (const Step &s : steps) {
        path_info p{s.path, 1, 0};
        EXPECT_EQ(ppc_chdir(&p, kToken), s.rc) << s.path;
        EXPECT_EQ(wd(), s.wd_after) << s.path;
    }
    EXPECT_TRUE(dev_->violations().empty());
    EXPECT_EQ(ppc_chdir(nullptr, kToken), -1);
}

// The directory test is on the file-type bits of the reply's mode.
TEST_F(RemoteFs, ChdirTakesEveryDirectoryModeAndNothingElse) {
    struct Case {
        int mode;
        int rc;
    };
    const Case cases[] = {{0x4000, 0},  {0x41ED, 0},  {0x41FF, 0},  {0x8000, -1},
                          {0x81A4, -1}, {0xA1FF, -1}, {0x6000, -1}, {0, -1}};
    for (const Case &c : cases) {
        dev_->set_handler(105, [c](qvemu::Device &, const qvemu::Request &) {
            qvemu::Reply r;
            r.data = "[{\"fileSize\": 0, \"mode\": " + std::to_string(c.mode) + "}]";
            return r;
        });
        ASSERT_EQ(update_work_dir_for_ppc_token_list("/d", kToken), 0);
        path_info p{"sub", 1, 0};
        EXPECT_EQ(ppc_chdir(&p, kToken), c.rc) << std::hex << c.mode;
        EXPECT_EQ(wd(), c.rc == 0 ? "/d/sub" : "/d") << std::hex << c.mode;
    }
}

TEST_F(RemoteFs, GetwdNeedsRoomForTheWholeDirectory) {
    ASSERT_EQ(update_work_dir_for_ppc_token_list("/d/sub", kToken), 0);
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(ppc_getwd(buf, 6, kToken), nullptr);  // 6 characters and the zero need 7
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(ppc_getwd(buf, 7, kToken), buf);
    EXPECT_STREQ(buf, "/d/sub");
    EXPECT_EQ(ppc_getwd(nullptr, 7, kToken), nullptr);
    EXPECT_EQ(ppc_getwd(buf, sizeof buf, kToken + 1), nullptr);
}

TEST_F(RemoteFs, RemovalResolvesMakeAndRenameSendThePathAsItIs) {
    path_info file{"/x/../sub/../file.txt", 1, 0};
    EXPECT_EQ(ppc_unlink(&file, kToken), 10202);  // resolves to /file.txt, not on the device
    file.path = "sub/../file.txt";
    EXPECT_EQ(ppc_unlink(&file, kToken), 0);
    EXPECT_FALSE(fs::exists(root_ + "/d/file.txt"));
    path_info folder{"./sub", 1, 0};
    EXPECT_EQ(ppc_rmdir(&folder, kToken), 0);
    EXPECT_FALSE(fs::exists(root_ + "/d/sub"));

    path_info made{"made", 1, 0};  // relative: the device takes it from its root, the work directory aside
    EXPECT_EQ(ppc_mkdir(&made, 0755, kToken), 0);
    EXPECT_TRUE(fs::is_directory(root_ + "/made"));
    EXPECT_FALSE(fs::exists(root_ + "/d/made"));
    path_info to{"made2", 1, 0};
    EXPECT_EQ(ppc_rename(&made, &to, kToken), 0);
    EXPECT_TRUE(fs::is_directory(root_ + "/made2"));

    path_info none{nullptr, 1, 0};
    const uint64_t sent = requests(102) + requests(103) + requests(109);
    EXPECT_EQ(ppc_mkdir(&none, 0, kToken), -1);
    EXPECT_EQ(ppc_rename(&made, &none, kToken), -1);
    EXPECT_EQ(ppc_rmdir(&none, kToken), -1);
    EXPECT_EQ(ppc_unlink(nullptr, kToken), -1);
    path_info rel{"x", 1, 0};
    EXPECT_EQ(ppc_unlink(&rel, kToken + 1), -1);  // no work directory for that session
    EXPECT_EQ(requests(102) + requests(103) + requests(109), sent);
    EXPECT_TRUE(dev_->violations().empty());
}

TEST_F(RemoteFs, WithoutSetUpOnlyAbsolutePathsWork) {
    ASSERT_EQ(ppc_uninitialise(), 0);
    EXPECT_EQ(ppc_uninitialise(), -1);
    path_info rel{"file.txt", 1, 0};
    EXPECT_EQ(ppc_unlink(&rel, kToken), -1);
    path_info dir{"/d/sub", 1, 0};
    const uint64_t stats = requests(105);
    EXPECT_EQ(ppc_chdir(&dir, kToken), -1);  // checked on the device, then no list to keep it in
    EXPECT_EQ(requests(105), stats + 1);
    EXPECT_EQ(wd(), "<none>");
    path_info abs{"/d/file.txt", 1, 0};
    EXPECT_EQ(ppc_unlink(&abs, kToken), 0);
    ASSERT_EQ(ppc_initialise(), 0);
    ASSERT_EQ(ppc_initialise(), 0);
    ppc_version_info v;
    std::memset(&v, 'q', sizeof v);
    ASSERT_EQ(ppc_get_version(&v), 0);
    EXPECT_STREQ(v.name, "libppc");
    EXPECT_STREQ(v.version, "1.10.03");
    EXPECT_EQ(ppc_get_version(nullptr), -1);
}

std::string read_n(ppc_vfile *fp, size_t n) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
        const int r = ppc_fread_v(buf, 1, std::min(sizeof buf, n - got.size()), fp);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

TEST_F(RemoteFs, StatFillsTheKnownFieldsOnly) {
    path_info p{"/song.bin", 1, 0};
    struct stat st;
    std::memset(&st, 0x5a, sizeof st);
    const struct stat before = st;
    ASSERT_EQ(ppc_stat_v(&p, &st, kToken), 0);
    struct stat local {};
    ASSERT_EQ(::stat((root_ + "/song.bin").c_str(), &local), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(content_.size()));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode, local.st_mode);
    EXPECT_EQ(st.st_mtime, local.st_mtime);
    EXPECT_EQ(st.st_nlink, local.st_nlink);
    EXPECT_EQ(st.st_mtim.tv_nsec, before.st_mtim.tv_nsec);  // the nanoseconds keep the caller's value

    path_info missing{"/missing.bin", 1, 0};
    std::memset(&st, 0x5a, sizeof st);
    EXPECT_EQ(ppc_stat_v(&missing, &st, kToken), -1);
    EXPECT_EQ(std::memcmp(&st, &before, sizeof st), 0);
}

TEST_F(RemoteFs, HandlesReadSeekAndRefuseWhatTheyCannotDo) {
    path_info p{"/song.bin", 1, 0};
    const uint64_t opens = requests(106);
    for (const char *mode : {"w", "r+", "a", "rbxxxxxxx"})
        EXPECT_EQ(ppc_fopen_v(&p, mode, kToken), nullptr) << mode;
    EXPECT_EQ(requests(106), opens);

    ppc_vfile *fp = ppc_fopen_v(&p, "rb", kToken);
    ASSERT_NE(fp, nullptr);
    char buf[64];
    ASSERT_EQ(ppc_fread_v(buf, 4, 3, fp), 12);  // a count of bytes, not of items
    EXPECT_EQ(std::string(buf, 12), content_.substr(0, 12));

    // Each case seeks and reads: where it lands, against the file itself.
    struct Case {
        int64_t offset;
        int origin;
        int64_t rc;
        int64_t read_from;  // where the next bytes come from
    };
    const Case cases[] = {
        {1000, SEEK_SET, 1000, 1000},       {5, SEEK_SET, 5, 5},
        {100, SEEK_END, -1, 12 + 5},  // refused: the stream reads on where it was
        {100, SEEK_CUR, -1, 12 + 12 + 5},   {-3, SEEK_SET, -1, 12 + 12 + 12 + 5},
        {299990, SEEK_SET, 299990, 299990}, {0, SEEK_SET, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ppc_fseek_v(fp, c.offset, c.origin, kToken), c.rc) << c.offset << "/" << c.origin;
        const std::string want = content_.substr(static_cast<size_t>(c.read_from), 12);
        EXPECT_EQ(read_n(fp, want.size()), want) << c.offset << "/" << c.origin;
    }
    EXPECT_EQ(ppc_fseek_v(fp, 299990, SEEK_SET, kToken), 299990);
    EXPECT_EQ(read_n(fp, 100), content_.substr(299990));
    EXPECT_EQ(ppc_fread_v(buf, 1, sizeof buf, fp), 0);  // the end

    // The file gone from the device: the reposition fails and leaves the handle without a stream.
    fs::remove(root_ + "/song.bin");
    EXPECT_EQ(ppc_fseek_v(fp, 10, SEEK_SET, kToken), -1);
    EXPECT_EQ(ppc_fread_v(buf, 1, 8, fp), -1);
    EXPECT_EQ(ppc_fclose_v(fp), 0);

    EXPECT_EQ(ppc_fread_v(buf, 1, 8, nullptr), -1);
    EXPECT_EQ(ppc_fwrite_v(buf, 1, 8, nullptr), -1);
    EXPECT_EQ(ppc_fseek_v(nullptr, 0, SEEK_SET, kToken), -1);
    EXPECT_EQ(ppc_fclose_v(nullptr), -1);
    EXPECT_EQ(ppc_fopen_v(&p, "rb", kToken), nullptr);  // missing now
}

// ---- token registry ----

class TokenRegistry : public RemoteFs {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RemoteFs::SetUp());
        console_ = root_ + "/console.txt";
        token_list_set_console(console_.c_str());
        dev_->set_users({{"alice", 1001, false}, {"public", 1002, true}});
    }
    void TearDown() override {
        token_list_set_console(nullptr);
        RemoteFs::TearDown();
    }
    static int add(const char *str, int64_t token, uintptr_t key) {
        LinkNode n{};
        std::snprintf(n.str, sizeof n.str, "%s", str);
        n.token = token;
        n.value = key;
        return AddLinkNode(&n);
    }
    // The token and the users' ids a lookup hands out.
    static std::string find(uintptr_t key) {
        int64_t token = -1;
        user_list_item **users = FindTokenByValue(key, &token);
        std::string s = std::to_string(token) + ":";
        for (user_list_item **u = users; u && *u; ++u) s += " " + std::to_string((*u)->user_id);
        ppc_free_user_list(users);
        return s;
    }
    std::string console() {
        std::ifstream in(console_);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string console_;
};

TEST_F(TokenRegistry, Lookups) {
    EXPECT_EQ(find(0x10), "0:");  // before any entry
    ASSERT_EQ(add("first", 5, 0x10), 0);
    EXPECT_EQ(requests(150), 1u);
    struct Step {
        const char *what;
        int add_rc;  // when `add_token`: the add's result
        int64_t add_token;
        uintptr_t add_key;
        uintptr_t key;
        const char *want;
    };
    const Step steps[] = {
        {"found with the device's users", 0, 0, 0, 0x10, "5: 1001 1002"},
        {"a miss gives no token, not the last one found", 0, 0, 0, 0x99, "0:"},
        {"the newest entry of a key wins", 0, 6, 0x10, 0x10, "6: 1001 1002"},
        {"another key", 0, 9, 0x20, 0x20, "9: 1001 1002"},
        {"the first still answers for its key", 0, 0, 0, 0x10, "6: 1001 1002"},
    };
    for (const Step &s : steps) {
        if (s.add_token != 0) {
            EXPECT_EQ(add("more", s.add_token, s.add_key), s.add_rc) << s.what;
        }
        EXPECT_EQ(find(s.key), s.want) << s.what;
    }
    ASSERT_EQ(DeleteNodeByValue(0x10), 0);  // the newest of the key goes first
    EXPECT_EQ(find(0x10), "5: 1001 1002");
    ASSERT_EQ(DeleteNodeByValue(0x10), 0);
    EXPECT_EQ(find(0x10), "0:");
    EXPECT_EQ(DeleteNodeByValue(0x10), -1);
    DeleteHeadNode();
    EXPECT_EQ(find(0x20), "0:");
    EXPECT_EQ(DeleteNodeByValue(0x20), -1);  // empty

    // The device refusing the user list: the entry is kept, without users.
    dev_->set_handler(150, [](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.error = 10001;
        return r;
    });
    ASSERT_EQ(add("no users", 8, 0x30), 0);
    EXPECT_EQ(find(0x30), "8:");
    EXPECT_TRUE(dev_->violations().empty());
}

TEST_F(TokenRegistry, ConsoleMessagesAndTheUninitialisedRegistry) {
    ASSERT_EQ(add("shown", 4242, 0x10), 0);
    ShowLinklist();
    const std::string shown = console();
    EXPECT_NE(shown.find("[TOKEN_LIST][ShowLinklist]"), std::string::npos) << shown;
    EXPECT_NE(shown.find("str = shown\r\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("4242"), std::string::npos) << "session tokens stay off the console";

    EXPECT_EQ(AddLinkNode(nullptr), -1);
    EXPECT_NE(console().find("[TK_ERROR][AddLinkNode]"), std::string::npos);
    EXPECT_NE(console().find("data is NULL\r\n"), std::string::npos);

    DeinitLinklist();
    EXPECT_EQ(CheckLinklist(), -1);
    const uint64_t asked = requests(150);
    EXPECT_EQ(add("late", 1, 0x40), -1);
    EXPECT_NE(console().find("init linklist failed\r\n"), std::string::npos);
    EXPECT_EQ(requests(150), asked);
    EXPECT_EQ(find(0x10), "0:");
    EXPECT_EQ(DeleteNodeByValue(0x10), -1);
    DeleteHeadNode();

    // A console that cannot be opened changes nothing but the messages.
    token_list_set_console((root_ + "/no/such/dir/console").c_str());
    EXPECT_EQ(add("late", 1, 0x40), -1);
    ASSERT_EQ(InitLinklist(), 0);
    ASSERT_EQ(InitLinklist(), 0);
    EXPECT_EQ(CheckLinklist(), 0);
    EXPECT_EQ(add("again", 3, 0x40), 0);
    EXPECT_EQ(find(0x40), "3: 1001 1002");
    EXPECT_EQ(AddLinkNode(nullptr), -1);
    EXPECT_EQ(deinint_lock(), 0);
}

// A slow user-list reply holds up only its own add: lookups, removals and other adds go on meanwhile.
TEST_F(TokenRegistry, AddAsksTheDeviceOutsideTheLock) {
    ASSERT_EQ(add("known", 5, 0x10), 0);
    std::atomic<bool> entered{false}, release{false};
    dev_->set_handler(150, [&](qvemu::Device &d, const qvemu::Request &req) {
        if (req.token == 6) {
            entered = true;
            for (int i = 0; i < 1000 && !release; ++i) d.pause(10);  // at most ~10 s
        }
        qvemu::Reply r;
        r.data = "[{\"nick_name\": \"slow\", \"user_id\": 7, \"isPublic\": false}]";
        return r;
    });
    std::atomic<bool> add_done{false};
    std::thread slow([&] {
        EXPECT_EQ(add("slow", 6, 0x60), 0);
        add_done = true;
    });
    for (int i = 0; i < 2000 && !entered; ++i) ::usleep(5000);
    ASSERT_TRUE(entered.load());

    EXPECT_EQ(find(0x10), "5: 1001 1002");
    EXPECT_EQ(add("beside", 9, 0x90), 0);
    EXPECT_EQ(find(0x90), "9: 7");
    EXPECT_EQ(DeleteNodeByValue(0x90), 0);
    EXPECT_FALSE(add_done.load()) << "the other operations waited for the slow add";
    release = true;
    slow.join();
    EXPECT_EQ(find(0x60), "6: 7");
}

}  // namespace
