#include "runtime/ppc_tracked.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "base/qv_log.h"

namespace {

struct Listed {
    int64_t id;
    int32_t type;
};

// The tasks every row of the cancel table starts from.
const std::vector<Listed> kList = {
    {7, PPC_TASK_DOWNLOAD},      // 0
    {7, PPC_TASK_DOWNLOAD},      // 1: a second download of the same number
    {7, PPC_TASK_UPLOAD},        // 2
    {8, PPC_TASK_UPLOAD},        // 3
    {7, PPC_TASK_BACKUP},        // 4
    {7, PPC_TASK_RELAX_AUTH},    // 5
    {9, PPC_TASK_COPY},          // 6
    {-1, PPC_TASK_DELETE_LIST},  // 7: a delete request numbered -1 (widened with its sign)
    {7, PPC_TASK_RECYCLE},       // 8
    {10, PPC_TASK_GPS_LIST},     // 9
};

struct Ctx {
    ppc_router_task *ctx = ppc_router_task_new();
    std::vector<client_file_task *> tasks;
    explicit Ctx(const std::vector<Listed> &list) {
        for (const Listed &l : list) {
            client_file_task *t = client_file_task_new();
            t->id = l.id;
            t->task_type = l.type;
            tasks.push_back(t);
            ppc_task_list_add(ctx, t);
        }
    }
    ~Ctx() {
        for (client_file_task *t : tasks) {
            ppc_task_list_remove(ctx, t);
            client_file_task_free(t);
        }
        ppc_router_task_free(ctx);
    }
    std::set<size_t> marked() const {
        std::set<size_t> out;
        for (size_t i = 0; i < tasks.size(); ++i)
            if (tasks[i]->cancel_status.load() == -1) out.insert(i);
        return out;
    }
};

using Cancel = std::function<int(ppc_router_task *)>;

struct Row {
    const char *call;
    Cancel cancel;
    int result;
    std::set<size_t> marked;
};

}  // namespace

// Every cancel call of the transfers and of the file operations over one list: which tasks it marks and
// what it answers; and -1 without a context.
TEST(TrackedCancel, EachCallMarksWhatItSelects) {
    qv::set_log_enabled(false);
    const std::set<size_t> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::set<size_t> seven = {0, 1, 2, 4, 5, 8};
    const std::vector<Row> rows = {
        // Downloads: the first of the type and number only; 0 also when none matched.
        {"download 7", [](ppc_router_task *c) { return ppc_cancel_FileDownload(7, 0, c); }, 0, {0}},
        {"download 99", [](ppc_router_task *c) { return ppc_cancel_FileDownload(99, 0, c); }, 0, {}},
        {"download 8 (an upload's number)",
         [](ppc_router_task *c) { return ppc_cancel_FileDownload(8, 0, c); },
         0,
         {}},
        {"every download", [](ppc_router_task *c) { return ppc_cancel_FileDownloadALL(c); }, 0, {0, 1}},
        // Uploads: the first of the type and number; -1 when none matched.
        {"upload 7", [](ppc_router_task *c) { return ppc_cancel_FileUpload(7, c); }, 0, {2}},
        {"upload 99", [](ppc_router_task *c) { return ppc_cancel_FileUpload(99, c); }, -1, {}},
        {"upload 9 (a copy's number)",
         [](ppc_router_task *c) { return ppc_cancel_FileUpload(9, c); },
         -1,
         {}},
        {"every upload (backups stay)",
         [](ppc_router_task *c) { return ppc_cancel_FileUploadAll(c); },
         0,
         {2, 3}},
        // By number, any type, every match.
        {"check value 7", [](ppc_router_task *c) { return ppc_cancel_GetRelaxUploadAuthValue(7, c); }, 0,
         seven},
        {"file task 9", [](ppc_router_task *c) { return ppc_cancel_FileTask(9, c); }, 0, {6}},
        {"file task 7", [](ppc_router_task *c) { return ppc_cancel_FileTask(7, c); }, 0, seven},
        {"GPS task 10", [](ppc_router_task *c) { return ppc_cancel_FileGpsListTask(10, c); }, 0, {9}},
        {"GPS task 7", [](ppc_router_task *c) { return ppc_cancel_FileGpsListTask(7, c); }, 0, seven},
        {"search task 0xffffffff (the delete numbered -1)",
         [](ppc_router_task *c) { return ppc_cancel_FileMultiFuncSearchTask(0xffffffffu, c); },
         0,
         {7}},
        {"client task 8", [](ppc_router_task *c) { return ppc_cancel_FileClientFileTask(8, c); }, 0, {3}},
        {"client task 99", [](ppc_router_task *c) { return ppc_cancel_FileClientFileTask(99, c); }, 0, {}},
        // Every task, whatever its type.
        {"every file task", [](ppc_router_task *c) { return ppc_cancel_FileTaskAll(c); }, 0, all},
        {"every GPS task", [](ppc_router_task *c) { return ppc_cancel_FileGpsListTaskAll(c); }, 0, all},
        {"every search task", [](ppc_router_task *c) { return ppc_cancel_FileMultiFuncSearchTaskAll(c); }, 0,
         all},
        {"every client task", [](ppc_router_task *c) { return ppc_cancel_FileClientFileTaskAll(c); }, 0, all},
        // The recycle-bin operations have a type of their own.
        {"type cancel of recycle operations",
         [](ppc_router_task *c) { return ppc_cancel_task(c, 1, PPC_TASK_RECYCLE, 0); },
         0,
         {8}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.call);
        Ctx c(kList);
        EXPECT_EQ(r.cancel(c.ctx), r.result);
        EXPECT_EQ(c.marked(), r.marked);
        EXPECT_EQ(c.ctx->task_count, static_cast<int32_t>(kList.size()));  // a cancel never unlinks
        EXPECT_EQ(r.cancel(nullptr), -1);
    }
    // An empty list: nothing to mark, the same answers.
    Ctx empty({});
    EXPECT_EQ(ppc_cancel_FileDownload(7, 0, empty.ctx), 0);
    EXPECT_EQ(ppc_cancel_FileUpload(7, empty.ctx), -1);
    EXPECT_EQ(ppc_cancel_FileTaskAll(empty.ctx), 0);
    qv::set_log_enabled(true);
}

// A context that is not the running service's takes no tracked call: -1, nothing listed, no callback.
TEST(TrackedCancel, CallsOnAContextThatIsNotRunningAreRefused) {
    qv::set_log_enabled(false);
    Ctx c({});
    static std::atomic<int> calls{0};
    auto cb = [](client_file_task *) { ++calls; };
    path_info p{"/a", 0, 0};
    search_condition cond{};
    char value[64] = "untouched";
    EXPECT_EQ(ppc_file_CopyCb(1, &p, &p, 5, cb, c.ctx), -1);
    EXPECT_EQ(ppc_file_SearchMultiFunc(1, 0, &cond, 5, cb, 0, c.ctx), -1);
    EXPECT_EQ(ppc_get_RelaxUploadAuthValue(1, "/etc/hostname", "md5", value, cb, c.ctx), -1);
    EXPECT_STREQ(value, "untouched");
    EXPECT_EQ(c.ctx->task_count, 0);
    EXPECT_EQ(calls.load(), 0);
    qv::set_log_enabled(true);
}

// Cancel walks of every kind from several threads while tasks enter and leave the list (for the thread
// sanitizer build: a walk never meets a task that is being unlinked or freed).
TEST(TrackedCancel, WalksRaceWithEntryAndRemoval) {
    qv::set_log_enabled(false);
    ppc_router_task *ctx = ppc_router_task_new();
    std::atomic<bool> stop{false};
    std::vector<std::thread> cancellers;
    const std::vector<Cancel> walks = {
        [](ppc_router_task *c) { return ppc_cancel_FileDownload(3, 0, c); },
        [](ppc_router_task *c) { return ppc_cancel_FileUpload(4, c); },
        [](ppc_router_task *c) { return ppc_cancel_FileTask(5, c); },
        [](ppc_router_task *c) { return ppc_cancel_GetRelaxUploadAuthValue(6, c); },
        [](ppc_router_task *c) { return ppc_cancel_FileDownloadALL(c); },
        [](ppc_router_task *c) { return ppc_cancel_task(c, 1, PPC_TASK_RECYCLE, 0); },
    };
    std::atomic<long> rounds{0};
    for (const Cancel &w : walks)
        cancellers.emplace_back([&, w] {
            while (!stop.load()) {
                w(ctx);
                ++rounds;
            }
        });
    std::vector<std::thread> workers;
    for (int k = 0; k < 4; ++k)
        workers.emplace_back([ctx, k] {
            for (int i = 0; i < 3000; ++i) {
                client_file_task *t = client_file_task_new();
                t->id = i % 8;
                t->task_type = 1 + (i + k) % 13;
                ppc_task_list_add(ctx, t);
                if (i % 3 == 0) std::this_thread::yield();
                ppc_task_list_remove(ctx, t);
                client_file_task_free(t);
            }
        });
    for (auto &w : workers) w.join();
    stop = true;
    for (auto &c : cancellers) c.join();
    EXPECT_EQ(ctx->task_count, 0);
    EXPECT_EQ(ctx->task_list.next, ppc_task_end(&ctx->task_list));
    EXPECT_GT(rounds.load(), 0);
    ppc_router_task_free(ctx);
    qv::set_log_enabled(true);
}
