#include "command/task_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/file_list.h"
#include "command/fake_post_test.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"

namespace {

const char kPage[] =
    R"({"header":{"cmd":101,"error":0,"token":7,"seq":0},"data":{"count":2,"totalCount":9,"filelist":[)"
    R"({"name":"a","size":1,"path":"/a","isFolder":0,"data":5},{"name":"b","size":2,"path":"/b","isFolder":1,"data":6}]}})";

TEST(NetPrcsTask, DefaultTimeoutGoesToRecordTaskAndExchange) {
    FakePostScope scope;
    fake_post().reply = R"({"header":{"cmd":102,"error":0}})";
    client_file_task task{};
    path_info p{"/x", 3, 0};
    client_info ci;
    qv_frame_init(&ci, 102, 5, QV_ADDR_CURRENT);
    ci.srcPathInfo = &p;
    ci.rClientFileTask = &task;
    EXPECT_EQ(_qv_net_prcs_task(&ci), 0);
    EXPECT_EQ(ci.timeout, 20000);
    EXPECT_EQ(task.timeout, 20000);
    EXPECT_EQ(fake_post().timeout, 20000);
    EXPECT_EQ(ci.retstr, nullptr);
    EXPECT_EQ(ci.recv_buf, nullptr);
}

// A command that is not streamed must bring an envelope; streamed commands may leave none.
TEST(NetPrcsTask, NoReplyTextIsAFailureOnlyForWholeReplyCommands) {
    struct Case {
        int cmd;
        int want;
    } cases[] = {{102, 10003}, {109, 10003}, {159, 0}, {167, 0}};
    for (const auto &c : cases) {
        FakePostScope scope;
        fake_post().whole = false;
        client_file_task task{};
        path_info p{"/x", 0, 0};
        path_info *list[] = {&p, nullptr};
        delete_list_req del{};
        del.pathList = list;
        client_info ci;
        qv_frame_init(&ci, c.cmd, 1, QV_ADDR_CURRENT);
        ci.srcPathInfo = ci.desPathInfo = &p;
        ci.pathList = list;
        ci.req.deleteList = &del;
        ci.rClientFileTask = &task;
        EXPECT_EQ(_qv_net_prcs_task(&ci), c.want) << c.cmd;
    }
}

TEST(NetPrcsTask, HeaderErrorAndExchangeFailureAreReturned) {
    FakePostScope scope;
    path_info p{"/x", 0, 0};
    fake_post().reply = R"({"header":{"cmd":102,"error":10204}})";
    EXPECT_EQ(handle_mkdir_task(&p, 0755, 1), 10204);
    fake_post().result = 10103;
    EXPECT_EQ(handle_mkdir_task(&p, 0755, 1), 10103);
}

TEST(NetPrcsTask, UnknownCommandSendsNothing) {
    FakePostScope scope;
    client_info ci;
    qv_frame_init(&ci, 9999, 1, QV_ADDR_CURRENT);
    EXPECT_EQ(_qv_net_prcs_task(&ci), 10001);
    EXPECT_EQ(fake_post().calls, 0);
}

struct CacheLog {
    std::string inserted_key, inserted_reply;
    int inserted_db = -1, queries = 0;
    const char *hit = nullptr;
};
CacheLog g_cache;

int cache_query(const char *, char **reply, int64_t, int) {
    ++g_cache.queries;
    if (g_cache.hit == nullptr) return -1;
    *reply = strdup(g_cache.hit);
    return 0;
}

int cache_insert(const char *key, const char *reply, int64_t, int db) {
    g_cache.inserted_key = key;
    g_cache.inserted_reply = reply;
    g_cache.inserted_db = db;
    return 0;
}

TEST(NetPrcsTask, CacheHitIsParsedWithoutExchangeAndMissIsStored) {
    FakePostScope scope;
    qv_set_command_cache_hooks(cache_query, cache_insert);
    path_info p{"/photos", 2, 0};

    g_cache = {};
    fake_post().reply = kPage;
    file_list_page *page = nullptr;
    ASSERT_EQ(QV_FileGetList(&p, 0, 500, 1, &page, 7), 0);
    EXPECT_EQ(fake_post().calls, 1);
    EXPECT_EQ(g_cache.inserted_reply, kPage);
    EXPECT_EQ(g_cache.inserted_db, 0);
    EXPECT_NE(g_cache.inserted_key.find("cmd: 101"), std::string::npos);
    ppc_destory_file_list(page->list);
    free(page);

    g_cache = {};
    g_cache.hit = kPage;
    page = nullptr;
    ASSERT_EQ(QV_FileGetList(&p, 0, 500, 1, &page, 7), 0);
    EXPECT_EQ(fake_post().calls, 1);            // no new exchange
    EXPECT_TRUE(g_cache.inserted_key.empty());  // not written back
    EXPECT_EQ(page->totalCount, 9);
    ppc_destory_file_list(page->list);
    free(page);

    qv_set_command_cache_hooks(nullptr, nullptr);
}

TEST(NetPrcsTask, WorksWithoutCacheHooks) {
    FakePostScope scope;
    qv_set_command_cache_hooks(nullptr, nullptr);
    fake_post().reply = kPage;
    path_info p{"/photos", 2, 0};
    file_list_page *page = nullptr;
    ASSERT_EQ(QV_FileGetList(&p, 0, 500, 1, &page, 7), 0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->count, 2);
    ASSERT_NE(page->list, nullptr);
    EXPECT_STREQ(page->list->name, "a");
    EXPECT_STREQ(page->list->next->name, "b");
    ppc_destory_file_list(page->list);
    free(page);
}

TEST(NetPrcsTask, FailedListingHandsOutNothing) {
    FakePostScope scope;
    fake_post().reply = R"({"header":{"cmd":101,"error":0},"data":{"count":1,"filelist":[{"name":"a"}]}})";
    path_info p{"/photos", 2, 0};
    file_list_page *page = reinterpret_cast<file_list_page *>(0x1);
    EXPECT_EQ(QV_FileGetList(&p, 0, 500, 1, &page, 7), -1);
    EXPECT_EQ(page, reinterpret_cast<file_list_page *>(0x1));
}

// The search chunks carry the device's seq; the task keeps the caller's id so a cancel still finds it.
TEST(NetPrcsTask, StreamedSearchKeepsTheTaskId) {
    FakePostScope scope;
    fake_post().whole = false;
    fake_post().chunks = {
        R"({"header":{"cmd":117,"error":0},"data":[{"seq":99,"status":1,"curCount":1,"fileList":[{"fileName":"a","filePath":"/a","isFolder":0,"fileSize":1,"fileData":2}]}]})",
        R"({"header":{"cmd":117,"error":0},"data":[{"seq":99,"status":2,"curCount":0,"fileList":[]}]})"};
    client_file_task task{};
    task.id = 41;
    task.token = 7;
    static int batches;
    batches = 0;
    task.chunk_cb = [](client_file_task *t) {
        if (t->file_list != nullptr) ++batches;
    };
    search_condition cond{};
    cond.key_count = 1;
    std::strcpy(cond.search_key[0], "a");
    cond.search_specify_type = -1;
    EXPECT_EQ(QV_FileSearchMultiFunc(&cond, 0, &task), 0);
    EXPECT_NE(fake_post().request.find("\"seq\": 41"), std::string::npos) << fake_post().request;
    ASSERT_EQ(fake_post().ids_after_chunk.size(), 2u);
    EXPECT_EQ(fake_post().ids_after_chunk[0], 41);
    EXPECT_EQ(task.id.load(), 41);
    EXPECT_EQ(batches, 2);
    EXPECT_EQ(task.file_list, nullptr);  // each batch released after the callback
}

TEST(NetPrcsTask, WholeCopyReplyStatusReachesTheTask) {
    FakePostScope scope;
    fake_post().reply = R"({"header":{"cmd":159,"error":0},"data":{"status":2}})";
    client_file_task task{};
    task.id = 5;
    path_info a{"/a", 0, 0}, b{"/b", 0, 0};
    EXPECT_EQ(QV_FileCopyCb(777, &a, &b, &task), 0);
    EXPECT_EQ(task.status.load(), 2);
    EXPECT_NE(fake_post().request.find("\"seq\": 5"), std::string::npos);
}

TEST(NetPrcsTask, ExistsHandsOutTheDeviceStatus) {
    FakePostScope scope;
    fake_post().reply = R"({"header":{"cmd":104,"error":0},"data":[{"status":0}]})";
    path_info a{"/a", 0, 0};
    int32_t status = -5;
    EXPECT_EQ(QV_FileIsExist(&a, 1, &status), 0);
    EXPECT_EQ(status, 0);
    fake_post().reply = R"({"header":{"cmd":104,"error":10202}})";
    status = -5;
    EXPECT_EQ(QV_FileIsExist(&a, 1, &status), 10202);
    EXPECT_EQ(status, -5);
}

// A whole reply to the recycle-bin empty (213) carries progress but the record has no delete list.
TEST(NetPrcsTask, WholeRecycleReplyWithoutRequestRecordIsHarmless) {
    FakePostScope scope;
    fake_post().reply =
        R"({"header":{"cmd":213,"error":0},"data":[{"status":2,"curCount":3,"totalCount":3}]})";
    client_file_task task{};
    client_info ci;
    qv_frame_init(&ci, 213, 1, QV_ADDR_CURRENT);
    ci.rClientFileTask = &task;
    EXPECT_EQ(_qv_net_prcs_task(&ci), 0);
}

TEST(NetPrcsTask, PlainCommandsRefuseMissingPaths) {
    FakePostScope scope;
    path_info none{nullptr, 0, 0};
    file_list_page *page = nullptr;
    EXPECT_EQ(QV_FileGetList(&none, 0, 1, 0, &page, 1), -1);
    EXPECT_EQ(handle_rmdir_task(&none, 1), -1);
    EXPECT_EQ(handle_rename_task(&none, &none, 1), -1);
    EXPECT_EQ(handle_mkdir_task(&none, 0, 1), 10003);  // the builder refuses it
    EXPECT_EQ(fake_post().calls, 0);
}

}  // namespace

TEST(RedactedReply, MasksEveryCopyOfTheTokenAndKeepsTheHead) {
    const std::string twice =
        R"({"header":{"cmd":12,"token":1424967069597697},"data":{"t":"1424967069597697x"}})";
    const std::string masked = qv_redacted_reply(twice.c_str(), 1424967069597697);
    EXPECT_EQ(masked, R"({"header":{"cmd":12,"token":***},"data":{"t":"***x"}})");
    EXPECT_EQ(qv_redacted_reply(twice.c_str(), 0), twice);  // no session: nothing to hide
    EXPECT_EQ(qv_redacted_reply(nullptr, 7), "(null)");
    EXPECT_EQ(qv_redacted_reply(std::string(5000, 'a').c_str(), 7).size(), 2000u);
}
