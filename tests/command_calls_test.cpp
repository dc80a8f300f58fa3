// The device command API end to end: the calls, the processors, the pooled HTTP exchange and the codec
// against the device emulator over real loopback sockets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_parse_attr.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "command/qv_net_connect.h"
#include "cross_test_util.h"
#include "device.h"
#include "emulator_session.h"
#include "handlers_device_user.h"
#include "handlers_fileops.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "wire.h"

namespace fs = std::filesystem;

namespace {

constexpr char kAuth[] = "auth-e2e";

class CommandCalls : public EmulatorSession {
  protected:
    CommandCalls() : EmulatorSession("command_calls", kAuth, false) {}

    void make_folder(const std::string &dev_path, int files) {
        fs::create_directories(root_ + dev_path);
        char name[32];
        for (int i = 0; i < files; ++i) {
            std::snprintf(name, sizeof name, "/f%05d.jpg", i);
            std::ofstream(root_ + dev_path + name) << i;
        }
    }

    std::vector<std::string> page_names(file_list_page *page) {
        std::vector<std::string> names;
        for (file_dnode *n = page->list; n != nullptr; n = n->next) names.emplace_back(n->name);
        return names;
    }

    static void free_page(file_list_page *page) {
        ppc_destory_file_list(page->list);
        std::free(page);
    }
};

TEST_F(CommandCalls, FolderPageOf500GzippedAndEnciphered) {
    make_folder("/photos", 500);
    qvemu::ReplyOptions opts;
    opts.gzip = true;
    opts.cipher = true;
    dev_->set_reply_options(101, opts);
    path_info p{"/photos", 2, 0};
    file_list_page *page = nullptr;
    ASSERT_EQ(QV_FileGetList(&p, 0, 500, 0, &page, token_), 0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->count, 500);
    EXPECT_EQ(page->totalCount, 500);
    const auto names = page_names(page);
    ASSERT_EQ(names.size(), 500u);
    EXPECT_EQ(names.front(), "f00000.jpg");
    EXPECT_EQ(names.back(), "f00499.jpg");
    EXPECT_EQ(page->list->bucketId, 2);
    free_page(page);
    EXPECT_EQ(dev_->counters().requests_by_cmd[101], 1u);
}

TEST_F(CommandCalls, FolderOf1200PagedInThreeCalls) {
    make_folder("/big", 1200);
    path_info p{"/big", 0, 0};
    std::vector<std::string> all;
    for (int offset : {0, 500, 1000}) {
        file_list_page *page = nullptr;
        ASSERT_EQ(QV_FileGetList(&p, offset, 500, 0, &page, token_), 0);
        EXPECT_EQ(page->totalCount, 1200);
        EXPECT_EQ(page->count, offset == 1000 ? 200 : 500);
        for (auto &n : page_names(page)) all.push_back(n);
        free_page(page);
    }
    ASSERT_EQ(all.size(), 1200u);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 1200u);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
}

TEST_F(CommandCalls, MissingFolderFailsWithTheDeviceError) {
    path_info p{"/nope", 0, 0};
    file_list_page *page = nullptr;
    EXPECT_EQ(QV_FileGetList(&p, 0, 500, 0, &page, token_), 10202);
    EXPECT_EQ(page, nullptr);
}

TEST_F(CommandCalls, DeviceUserCalls) {
    const auto state = users_->get();
    ASSERT_EQ(state.sessions.count(token_), 1u);  // the token the device issued
    char ver[32] = {}, bind[33] = {}, id[65] = {};
    ASSERT_EQ(QV_GetDeviceVersion(ver, token_), 0);
    EXPECT_EQ(state.version, ver);
    ASSERT_EQ(QV_GetBindCode(addr_, bind), 0);
    EXPECT_EQ(state.bind_code, bind);
    ASSERT_EQ(QV_GetDeviceID(id), 0);
    EXPECT_EQ(state.device_id, id);

    int64_t other = 5;
    EXPECT_EQ(QV_LoginVantor(addr_, "wrong", &other), state.login_error);
    EXPECT_EQ(other, 5);

    users_->update([](qvemu::DeviceUserState &s) { s.login_sends_token = false; });
    EXPECT_EQ(QV_LoginVantor(addr_, kAuth, &other), -1);
    EXPECT_EQ(other, 5);
}

TEST_F(CommandCalls, PlainFileCommands) {
    make_folder("/docs", 1);
    path_info dir{"/docs/new", 0, 0};
    ASSERT_EQ(handle_mkdir_task(&dir, 0755, token_), 0);
    EXPECT_TRUE(fs::is_directory(root_ + "/docs/new"));
    path_info renamed{"/docs/renamed", 0, 0};
    ASSERT_EQ(handle_rename_task(&dir, &renamed, token_), 0);
    EXPECT_TRUE(fs::is_directory(root_ + "/docs/renamed"));
    int32_t status = -1;
    EXPECT_EQ(QV_FileIsExist(&renamed, token_, &status), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(QV_FileIsExist(&dir, token_, &status), 10202);

    path_info file{"/docs/f00000.jpg", 0, 0};
    file_stat st{};
    ASSERT_EQ(handle_stat_task(&file, &st, token_), 0);
    EXPECT_EQ(st.st_size, 1);
    file_stat_release(&st);

    ASSERT_EQ(handle_unlink_task(&file, token_), 0);
    EXPECT_FALSE(fs::exists(root_ + "/docs/f00000.jpg"));
    ASSERT_EQ(handle_rmdir_task(&renamed, token_), 0);
    EXPECT_FALSE(fs::exists(root_ + "/docs/renamed"));
}

struct Progress {
    std::atomic<int> chunks{0};
    std::atomic<int> batches{0};
    std::atomic<int> entries{0};
};
Progress *g_progress = nullptr;

void count_chunk(client_file_task *t) {
    ++g_progress->chunks;
    if (t->file_list != nullptr) {
        ++g_progress->batches;
        for (file_dnode *n = t->file_list->list; n; n = n->next) ++g_progress->entries;
    }
}

TEST_F(CommandCalls, SearchDeliversStreamedBatches) {
    make_folder("/s", 5);
    Progress progress;
    g_progress = &progress;
    client_file_task *task = client_file_task_new();
    task->id = 321;
    task->token = token_;
    task->chunk_cb = count_chunk;
    task->search.condition = CONDITION_SINGLE_PATH;
    task->search.key_count = 1;
    std::strcpy(task->search.search_key[0], "f0000");
    task->search.search_specify_type = -1;
    std::strcpy(task->search.search_path, "/s");
    EXPECT_EQ(QV_FileSearchMultiFunc(nullptr, 0, task), 0);
    EXPECT_EQ(progress.entries.load(), 5);
    EXPECT_GE(progress.batches.load(), 3);  // batches of two, then the closing one
    EXPECT_EQ(task->id.load(), 321);
    client_file_task_free(task);
}

TEST_F(CommandCalls, CopyMoveAndDeleteReportStreamedProgress) {
    make_folder("/src", 4);
    fs::create_directories(root_ + "/dst");
    Progress progress;
    g_progress = &progress;
    client_file_task *task = client_file_task_new();
    task->token = token_;
    task->chunk_cb = count_chunk;
    path_info src{"/src", 0, 0}, dst{"/dst", 0, 0};
    ASSERT_EQ(QV_FileCopyCb(0, &src, &dst, task), 0);
    EXPECT_EQ(task->status.load(), 2);
    EXPECT_EQ(task->cur_progress.load(), 5);  // the folder and its four files
    EXPECT_EQ(task->total_progress.load(), 5);
    EXPECT_TRUE(fs::exists(root_ + "/dst/src/f00003.jpg"));
    EXPECT_GE(progress.chunks.load(), 6);

    fs::create_directories(root_ + "/moved");
    path_info copied{"/dst/src", 0, 0}, moved_to{"/moved", 0, 0};
    ASSERT_EQ(QV_FileMoveCb(0, &copied, &moved_to, task), 0);
    EXPECT_TRUE(fs::exists(root_ + "/moved/src/f00000.jpg"));
    EXPECT_FALSE(fs::exists(root_ + "/dst/src"));

    path_info a{"/src/f00000.jpg", 0, 0}, b{"/src/f00001.jpg", 0, 0};
    path_info *list[] = {&a, &b, nullptr};
    delete_list_req del{};
    del.pathList = list;
    del.totalCount = 2;
    ASSERT_EQ(QV_FileDeleteListCb(&del, task), 0);
    EXPECT_EQ(task->status.load(), 2);
    EXPECT_EQ(task->cur_progress.load(), 2);
    EXPECT_FALSE(fs::exists(root_ + "/src/f00000.jpg"));
    EXPECT_TRUE(fs::exists(root_ + "/src/f00002.jpg"));
    client_file_task_free(task);
}

TEST_F(CommandCalls, WholeCopyReplyStatusReachesTheTask) {
    qvemu::FileOpOptions opts;
    opts.stream_copy = false;
    qvemu::install_fileop_handlers(*dev_, opts);
    make_folder("/w", 1);
    client_file_task *task = client_file_task_new();
    task->token = token_;
    path_info src{"/w/f00000.jpg", 0, 0}, dst{"/", 0, 0};
    ASSERT_EQ(QV_FileCopyCb(0, &src, &dst, task), 0);
    EXPECT_EQ(task->status.load(), 2);
    client_file_task_free(task);
}

// A copy or move whose end is a failure status without a header error is not a success.
TEST_F(CommandCalls, CopyEndingOnAFailureStatusIsNotASuccess) {
    make_folder("/e", 1);
    for (bool streamed : {true, false}) {
        SCOPED_TRACE(streamed);
        qvemu::FileOpOptions opts;
        opts.stream_copy = streamed;
        opts.end_status = 3;
        qvemu::install_fileop_handlers(*dev_, opts);
        fs::remove_all(root_ + "/out");
        fs::create_directories(root_ + "/out");
        client_file_task *task = client_file_task_new();
        task->token = token_;
        path_info src{"/e/f00000.jpg", 0, 0}, dst{"/out", 0, 0};
        EXPECT_EQ(QV_FileCopyCb(0, &src, &dst, task), QV_ERR_BAD_DATA);
        path_info copied{"/out/f00000.jpg", 0, 0}, up{"/", 0, 0};
        EXPECT_EQ(QV_FileMoveCb(0, &copied, &up, task), QV_ERR_BAD_DATA);
        fs::remove(root_ + "/f00000.jpg");
        client_file_task_free(task);
    }
}

// A cancel set from another thread ends a streamed copy at the next chunk with 20008.
TEST_F(CommandCalls, CancelStopsAStreamedCopy) {
    qvemu::FileOpOptions opts;
    opts.chunk_interval_ms = 40;
    qvemu::install_fileop_handlers(*dev_, opts);
    make_folder("/c", 30);
    fs::create_directories(root_ + "/out");
    client_file_task *task = client_file_task_new();
    task->id = 88;
    task->token = token_;
    path_info src{"/c", 0, 0}, dst{"/out", 0, 0};
    std::atomic<int64_t> cancelled_at{0};
    std::thread canceller([&] {
        while (task->cur_progress.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        cancelled_at = std::chrono::steady_clock::now().time_since_epoch().count();
        task->cancel_status = -1;
    });
    const int ret = QV_FileCopyCb(0, &src, &dst, task);
    const auto ended = std::chrono::steady_clock::now().time_since_epoch().count();
    canceller.join();
    EXPECT_EQ(ret, 20008);
    const double ms = static_cast<double>(ended - cancelled_at.load()) / 1e6;
    EXPECT_LT(ms, 1000.0);  // generous; the chunk reader checks every 50 ms
    RecordProperty("cancel_to_return_ms", std::to_string(ms));
    EXPECT_LT(task->cur_progress.load(), 31);
    client_file_task_free(task);
}

// Replies the device cannot have meant: a whole body marked enciphered that is no whole cipher block, and a
// streamed chunk whose envelope answers another command. Neither is taken as the copy's result.
TEST_F(CommandCalls, UndecodableAndForeignRepliesAreRefused) {
    struct Case {
        const char *name;
        std::string wire;  // header frame and body as the device writes them
        int expect;
    } cases[] = {
        {"whole body that cannot be deciphered",
         qvemu::frame("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nEncrypt: aes\r\n\r\n") + "abcde", 10105},
        {"chunk answering another command",
         qvemu::frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
             qvemu::chunk("{\"header\":{\"cmd\":160,\"token\":0,\"seq\":0,\"error\":0},"
                          "\"data\":[{\"status\":1,\"curCount\":5,\"totalCount\":9}]}") +
             std::string(qvemu::kLastChunk),
         10001},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wire = c.wire;
        dev_->set_handler(159, [wire](qvemu::Device &, const qvemu::Request &) {
            qvemu::Reply r;
            r.raw_writer = [wire](int fd) { return qvemu::send_all(fd, wire); };
            return r;
        });
        client_file_task *task = client_file_task_new();
        task->token = token_;
        path_info src{"/a", 0, 0}, dst{"/b", 0, 0};
        EXPECT_EQ(QV_FileCopyCb(0, &src, &dst, task), c.expect);
        EXPECT_EQ(task->cur_progress.load(), 0);
        client_file_task_free(task);
    }
}

}  // namespace
