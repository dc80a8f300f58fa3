// Tracked calls on a running service against an emulated device, each test in a network namespace of its
// own (the service's discovery ports are fixed): the task list after success, failure and cancel, cancels
// arriving mid-stream from another thread, the search helpers at their limits, the GPS rectangle, the
// check value without a callback, recycle-bin operations under their own type, and the stop of a service
// with a call running.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "command/relax_upload.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_download.h"
#include "handlers_fileops.h"
#include "handlers_gps.h"
#include "netns_util.h"
#include "runtime/cache_test_util.h"
#include "runtime/ppc_service.h"
#include "runtime/ppc_tracked.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAuth[] = "auth-tracked";
constexpr int kStreamPauseMs = 20;  // between the emulator's chunks while a stream is to be cut

// The progress callbacks are plain functions of the task: what the current test wants done in them.
struct Hooks {
    std::mutex mu;
    std::function<void(client_file_task *)> on_progress;
    std::atomic<int> calls{0};
    std::atomic<int> listed_max{0};  // the largest task_count seen from inside a callback
    ppc_router_task *ctx = nullptr;
    void reset(ppc_router_task *c) {
        std::lock_guard lk(mu);
        on_progress = nullptr;
        calls = 0;
        listed_max = 0;
        ctx = c;
    }
};
Hooks g_hooks;

int task_count(ppc_router_task *ctx) {
    pthread_mutex_lock(&ctx->mutex);
    const int n = ctx->task_count;
    pthread_mutex_unlock(&ctx->mutex);
    return n;
}

void progress_cb(client_file_task *t) {
    ++g_hooks.calls;
    if (g_hooks.ctx != nullptr) {
        const int n = task_count(g_hooks.ctx);
        if (n > g_hooks.listed_max) g_hooks.listed_max = n;
    }
    std::function<void(client_file_task *)> f;
    {
        std::lock_guard lk(g_hooks.mu);
        f = g_hooks.on_progress;
    }
    if (f) f(t);
}

// Progress chunks of a copy, move, delete or recycle operation.
std::string op_chunk(int status, int64_t cur, int64_t total) {
    return "[{\"status\":" + std::to_string(status) + ",\"curCount\":" + std::to_string(cur) +
           ",\"totalCount\":" + std::to_string(total) + "}]";
}

// A device stream of `n` progress chunks (status 1) paced `pause_ms` apart, then status 2; made as it goes.
qvemu::Handler paced_progress(int n, int pause_ms) {
    return [n, pause_ms](qvemu::Device &, const qvemu::Request &) {
        auto at = std::make_shared<int>(0);
        qvemu::Reply r;
        r.chunk_interval_ms = pause_ms;
        r.next_chunk = [at, n]() -> std::optional<std::string> {
            const int i = (*at)++;
            if (i < n) return op_chunk(1, i + 1, n);
            if (i == n) return op_chunk(2, n, n);
            return std::nullopt;
        };
        return r;
    };
}

// A search stream: `n` batches of one hit each, paced, then the closing batch.
qvemu::Handler paced_search(int n, int pause_ms) {
    return [n, pause_ms](qvemu::Device &, const qvemu::Request &req) {
        auto at = std::make_shared<int>(0);
        qvemu::Reply r;
        r.chunk_interval_ms = pause_ms;
        r.next_chunk = [at, n, seq = req.seq]() -> std::optional<std::string> {
            const int i = (*at)++;
            if (i > n) return std::nullopt;
            std::string hit;
            if (i < n)
                hit = "{\"fileName\":\"h" + std::to_string(i) + ".jpg\",\"filePath\":\"/h" +
                      std::to_string(i) +
                      ".jpg\",\"isFolder\":0,\"fileSize\":1,\"fileData\":0,\"bucket_id\":0,\"isStore\":0,"
                      "\"type\":0,\"tagList\":[]}";
            return "[{\"seq\":" + std::to_string(seq) + ",\"status\":" + (i < n ? "1" : "2") +
                   ",\"curCount\":" + (i < n ? "1" : "0") + ",\"fileList\":[" + hit + "]}]";
        };
        return r;
    };
}

class Tracked : public testing::Test {
  protected:
    void SetUp() override {
        const std::string why = qvtest::enter_private_netns();
        if (!why.empty()) GTEST_SKIP() << "needs a network namespace of its own (root): " << why;
        qv::set_log_enabled(getenv("QV_TEST_LOG") != nullptr);
        ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging
        local_ = root_.path + ".local";
        fs::create_directories(local_);
        dev_ = std::make_unique<qvemu::Device>(root_.path, addr_);
        users_ = qvemu::install_device_user_handlers(*dev_);
        users_->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
        admin_ = qvemu::install_admin_handlers(*dev_);
        qvemu::FileOpOptions ops;
        ops.chunk_interval_ms = kStreamPauseMs;
        qvemu::install_fileop_handlers(*dev_, ops);  // its paced 167 in place of the recycle bin's
        script_ = std::make_shared<qvemu::DownloadScript>();
        script_->block = 16384;
        script_->pause_us = 2000;
        qvemu::install_download_handler(*dev_, script_);
        gps_ = qvemu::install_gps_handler(*dev_);
        ASSERT_TRUE(dev_->start()) << dev_->last_error();
        int32_t err = 0;
        ctx_ = ppc_start_Service(cache_.path.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
        ASSERT_NE(ctx_, nullptr) << err;
        ASSERT_EQ(QV_LoginVantor(addr_.c_str(), kAuth, &token_), 0);
        g_hooks.reset(ctx_);
    }
    void TearDown() override {
        g_hooks.reset(nullptr);
        if (ctx_ != nullptr) {
            EXPECT_EQ(ppc_stop_Service(ctx_), 0);
        }
        ctx_ = nullptr;
        if (dev_) {
            dev_->stop();
            for (const auto &v : dev_->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
        }
        ppc_set_broker_address(nullptr);
        qv_frame_reset();
        fs::remove_all(local_);
        qv::set_log_enabled(true);
    }

    uint64_t sent(int cmd) const { return dev_->counters().requests_by_cmd[cmd]; }
    void folder(const std::string &dev_path, int files) {
        fs::create_directories(root_.path + dev_path);
        for (int i = 0; i < files; ++i) std::ofstream(root_.path + dev_path + "/f" + std::to_string(i)) << i;
    }

    cache_test::TempDir root_, cache_;
    std::string local_;
    const std::string addr_ = cross_test::device_addr();
    std::unique_ptr<qvemu::Device> dev_;
    std::shared_ptr<qvemu::DeviceUserModel> users_;
    std::shared_ptr<qvemu::AdminState> admin_;
    std::shared_ptr<qvemu::DownloadScript> script_;
    std::shared_ptr<qvemu::GpsModel> gps_;
    ppc_router_task *ctx_ = nullptr;
    int64_t token_ = 0;
};

// One entry point, how it fails, and how it is cancelled.
struct Row {
    using Call = std::function<int(uint32_t seq, ppc_router_task *ctx)>;
    const char *name = "";
    std::function<void()> prepare = {};  // before every run (fresh sources and targets)
    Call run = {};
    // The failure: `run` after `break_it` (undone by `heal`), or `fail_run`.
    std::function<void()> break_it = {}, heal = {};
    Call fail_run = {};
    int failed = 0;
    Call cancel = {};
    int cancelled = QV_ERR_CANCELLED;
    int cmd = 0;          // the device command the call sends first (a call without a context sends none)
    bool has_ctx = true;  // takes the service context as an argument
};

qvemu::Handler failing(int code) {
    return [code](qvemu::Device &, const qvemu::Request &) { return qvemu::error_reply(code); };
}

TEST_F(Tracked, EveryCallLeavesTheTaskListAsItFoundIt) {
    const std::string big(3 << 20, 'b');
    fs::create_directories(root_.path + "/d");
    cross_test::write_all(root_.path + "/d/big.bin", big);
    cross_test::write_all(local_ + "/up.bin", big);
    fs::create_directories(root_.path + "/up");
    exdev_dnode exdev{};
    std::snprintf(exdev.dev_uuid, sizeof exdev.dev_uuid, "pc-uuid-1");
    char tag0[] = "holiday";
    char *tags[] = {tag0};
    char value[QV_AUTH_VALUE_SIZE] = {};
    int backups = 0;
    auto fresh_ops = [this] {
        fs::remove_all(root_.path + "/src");
        fs::remove_all(root_.path + "/dst");
        folder("/src", 12);
        fs::create_directories(root_.path + "/dst");
    };
    gps_->set_photos(
        {{"/p/a.jpg", 22.5, 113.2, 0, 1}, {"/p/b.jpg", 22.6, 113.3, 0, 1}, {"/p/c.jpg", 23.0, 114.0, 0, 1}});
    gps_->set_paging(1, kStreamPauseMs);
    gps_condition every{};
    path_info dl{"/d/big.bin", 0, 0}, dl_missing{"/d/none.bin", 0, 0}, up{"/up/up.bin", 0, 0};
    path_info src{"/src", 0, 0}, dst{"/dst", 0, 0}, missing{"/nothing", 0, 0};
    qvemu::FileOpOptions paced_ops;
    paced_ops.chunk_interval_ms = kStreamPauseMs;
    const std::string up_file = local_ + "/up.bin", gone = local_ + "/gone.bin";

    const std::vector<Row> rows = {
        {.name = "download",
         .prepare = [&] { fs::remove_all(local_ + "/big.bin"); },
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_file_download(s, local_.c_str(), &dl, token_, progress_cb, c);
             },
         .fail_run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_file_download(s, local_.c_str(), &dl_missing, token_, progress_cb, c);
             },
         .failed = 10008,  // the device's answer to 105 for a missing file
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileDownload(s, 0, c); },
         .cmd = 105},
        {.name = "tagged upload",
         .prepare = [&] { fs::remove_all(root_.path + "/up/up.bin"); },
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_upload_FileTag(s, up_file.c_str(), 1, tags, &up, token_, progress_cb, c);
             },
         .fail_run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_upload_FileTag(s, gone.c_str(), 1, tags, &up, token_, progress_cb, c);
             },
         .failed = QV_ERR_LOCAL_MISSING,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileUpload(s, c); },
         .cmd = 108},
        {.name = "backup",
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 const std::string uuid = "file-uuid-" + std::to_string(++backups);
                 backup_result_info where{};
                 const int r = ppc_backup_file(s, uuid.c_str(), "phone", &exdev, up_file.c_str(), token_,
                                               progress_cb, &where, c);
                 std::free(where.path);
                 return r;
             },
         .fail_run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_backup_file(s, "file-uuid-x", "phone", nullptr, up_file.c_str(), token_,
                                        progress_cb, nullptr, c);
             },
         .failed = -1,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileClientFileTask(s, c); },
         .cmd = 134},
        {.name = "check value",
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_get_RelaxUploadAuthValue(s, up_file.c_str(), "md5", value, progress_cb, c);
             },
         .fail_run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_get_RelaxUploadAuthValue(s, gone.c_str(), "md5", value, progress_cb, c);
             },
         .failed = -1,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_GetRelaxUploadAuthValue(s, c); }},
        {.name = "copy",
         .prepare = fresh_ops,
         .run = [&](uint32_t s,
                    ppc_router_task *c) { return ppc_file_CopyCb(s, &src, &dst, token_, progress_cb, c); },
         .fail_run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_file_CopyCb(s, &missing, &dst, token_, progress_cb, c);
             },
         .failed = 10202,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileTask(s, c); },
         .cmd = 159},
        {.name = "move",
         .prepare = fresh_ops,
         .run = [&](uint32_t s,
                    ppc_router_task *c) { return ppc_file_MoveCb(s, &src, &dst, token_, progress_cb, c); },
         .fail_run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_file_MoveCb(s, &missing, &dst, token_, progress_cb, c);
             },
         .failed = 10202,
         .cancel = [](uint32_t, ppc_router_task *c) { return ppc_cancel_FileTaskAll(c); },
         .cmd = 160},
        {.name = "delete list",
         .prepare = fresh_ops,
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 path_info a{"/src/f0", 0, 0}, b{"/src/f1", 0, 0}, d{"/src/f2", 0, 0};
                 path_info *list[] = {&a, &b, &d, nullptr};
                 delete_list_req req{};
                 req.pathList = list;
                 req.totalCount = 3;
                 req.taskId = static_cast<int32_t>(s);
                 req.progressCb = progress_cb;
                 return ppc_delete_FileListCb(&req, token_, c);
             },
         .break_it = [&] { dev_->set_handler(167, failing(10008)); },
         .heal = [&] { qvemu::install_fileop_handlers(*dev_, paced_ops); },
         .failed = 10008,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileClientFileTask(s, c); },
         .cmd = 167},
        {.name = "search",
         .prepare = [&] { dev_->set_handler(117, paced_search(6, kStreamPauseMs)); },
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 const char *words[] = {"h"};
                 return ppc_search_all_bucket(c, token_, s, 0, words, nullptr, 1, progress_cb);
             },
         .break_it = [&] { dev_->set_handler(117, failing(10202)); },
         .failed = -1,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileMultiFuncSearchTask(s, c); },
         .cancelled = -1,
         .cmd = 117},
        {.name = "GPS listing",
         .run =
             [&](uint32_t s, ppc_router_task *c) {
                 return ppc_get_FileGpsList(s, &every, 22.0, 113.0, 23.5, 114.5, token_, progress_cb, c);
             },
         .break_it = [&] { dev_->set_handler(157, failing(10008)); },
         .heal =
             [&] {
                 gps_ = qvemu::install_gps_handler(*dev_);
                 gps_->set_photos({{"/p/a.jpg", 22.5, 113.2, 0, 1}, {"/p/b.jpg", 22.6, 113.3, 0, 1}});
                 gps_->set_paging(1, kStreamPauseMs);
             },
         .failed = 10008,
         .cancel = [](uint32_t s, ppc_router_task *c) { return ppc_cancel_FileGpsListTask(s, c); },
         .cmd = 157},
        {.name = "recycle empty",
         .prepare = [&] { dev_->set_handler(213, paced_progress(6, kStreamPauseMs)); },
         .run =
             [&](uint32_t s, ppc_router_task *) {
                 return ppc_RecycleEmpty(static_cast<int32_t>(s), progress_cb, token_);
             },
         .break_it = [&] { dev_->set_handler(213, failing(10008)); },
         .failed = 10008,
         .cancel = [](uint32_t, ppc_router_task *c) { return ppc_cancel_task(c, 1, PPC_TASK_RECYCLE, 0); },
         .cmd = 213,
         .has_ctx = false},
    };

    uint32_t seq = 500;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        const int before = task_count(ctx_);
        struct Mode {
            const char *what;
            int expect;
        };
        for (const Mode &m : {Mode{"success", 0}, Mode{"failure", r.failed}, Mode{"cancel", r.cancelled},
                              Mode{"no context", -1}}) {
            const std::string mode = m.what;
            if (mode == "no context" && !r.has_ctx) continue;
            SCOPED_TRACE(m.what);
            if (r.prepare) r.prepare();
            g_hooks.reset(ctx_);
            ++seq;
            if (mode == "cancel") {
                const uint32_t mine = seq;
                auto cancel = r.cancel;
                ppc_router_task *ctx = ctx_;
                // Cancel from inside the first callback: the exchange is running and the task is listed.
                std::lock_guard lk(g_hooks.mu);
                g_hooks.on_progress = [mine, cancel, ctx](client_file_task *t) {
                    if (t->cancel_status.load() == 0) {
                        EXPECT_EQ(cancel(mine, ctx), 0);
                    }
                };
            }
            int ret;
            if (mode == "failure" && r.break_it) {
                r.break_it();
                ret = r.run(seq, ctx_);
                if (r.heal) r.heal();
            } else if (mode == "failure") {
                ret = r.fail_run(seq, ctx_);
            } else if (mode == "no context") {
                const uint64_t sent_before = r.cmd != 0 ? sent(r.cmd) : 0;
                ret = r.run(seq, nullptr);
                if (r.cmd != 0) {
                    EXPECT_EQ(sent(r.cmd), sent_before);
                }
                EXPECT_EQ(g_hooks.calls.load(), 0);
            } else {
                ret = r.run(seq, ctx_);
            }
            EXPECT_EQ(ret, m.expect);
            EXPECT_EQ(task_count(ctx_), before);
            if (mode == "success" || mode == "cancel") {
                EXPECT_GT(g_hooks.calls.load(), 0);
                EXPECT_EQ(g_hooks.listed_max.load(), before + 1);  // listed while it ran, and only then
            }
        }
    }
    EXPECT_EQ(task_count(ctx_), 0);
}

}  // namespace
