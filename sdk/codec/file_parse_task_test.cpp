#include "codec/file_parse_task.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

using Rec = parse_harness::Record;
using TaskReply = parse_harness::Quiet;
using parse_harness::free_holder;
using parse_harness::names;
using parse_harness::tags;

const char *kEntries = R"([
    {"fileName": "A", "filePath": "/a", "isFolder": 16, "fileSize": -1, "fileData": -1, "userId": 5, "bucket_id": 9,
     "isStore": 1, "type": 3, "tagList": [{"tagName": "x"}, {"other": 1}, {"tagName": "y"}]},
    {"fileName": "B", "filePath": "/b", "isFolder": 0, "fileSize": 5000000000, "fileData": 100, "bucket_id": 9,
     "tagList": []},
    {"fileName": "C", "filePath": "/c", "isFolder": 1, "fileSize": 10, "fileData": 1}])";

std::string search_data(const char *status, const char *cur, const char *list, const char *seq = "42") {
    std::vector<std::string> parts;
    if (seq) parts.push_back(std::string("\"seq\": ") + seq);
    if (status) parts.push_back(std::string("\"status\": ") + status);
    if (cur) parts.push_back(std::string("\"curCount\": ") + cur);
    if (list) parts.push_back(std::string("\"fileList\": ") + list);
    std::string s = "[{";
    for (size_t i = 0; i < parts.size(); ++i) s += (i ? ", " : "") + parts[i];
    return s + "}, {\"ignored\": 1}]";
}

void expect_entries(const file_list_info *fl) {
    ASSERT_NE(fl, nullptr);
    EXPECT_EQ(names(fl->list), (std::vector<std::string>{"A", "B", "C"}));
    const file_dnode *a = fl->list, *b = a->next, *c = b->next;
    EXPECT_STREQ(a->path, "/a");
    EXPECT_EQ(a->isFolder, 16);  // stored as sent
    EXPECT_EQ(a->size, -1);      // stored as sent
    EXPECT_EQ(a->date, -1);
    EXPECT_EQ(a->bucketId, 5);
    EXPECT_EQ(a->isStore, 1);
    EXPECT_EQ(a->type, 3);
    EXPECT_EQ(tags(a->tag_list), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(b->bucketId, 9);
    EXPECT_EQ(b->size, 5000000000LL);
    ASSERT_NE(b->tag_list, nullptr);  // an empty tag array gives an empty ring
    EXPECT_TRUE(tags(b->tag_list).empty());
    EXPECT_EQ(c->tag_list, nullptr);
    EXPECT_EQ(c->size, 0);  // a folder
    EXPECT_EQ(c->bucketId, 0);
}

}  // namespace

// ---- search replies in one body (113, 117) ----

TEST_F(TaskReply, SearchReplyEntriesInReplyOrder) {
    for (int cmd : {113, 117}) {
        Rec r;
        ASSERT_EQ(r.parse(cmd, search_data("1", "3", kEntries).c_str()), 0) << cmd;
        EXPECT_EQ(r.ci.seq, 42);
        EXPECT_EQ(r.ci.status, 1);
        EXPECT_EQ(r.ci.file_list->count, 3);
        expect_entries(r.ci.file_list);
    }
}

TEST_F(TaskReply, SearchReplyFailuresLeaveNoList) {
    const std::string noDate =
        R"([{"fileName": "A", "filePath": "/a", "isFolder": 0, "fileSize": 1, "fileData": 1},
        {"fileName": "B", "filePath": "/b", "isFolder": 0, "fileSize": 1}])";
    const std::string cases[] = {
        search_data("1", "1", noDate.c_str()),
        search_data("1", "1", "[null]"),
        search_data("1", "1", nullptr),
        search_data("1", nullptr, "[]"),
        search_data(nullptr, "1", "[]"),
        search_data("1", "1", "[]", nullptr),
        "{}",
        R"({"seq": 1, "status": 1, "curCount": 0, "fileList": []})",  // an object where the array belongs
    };
    for (int cmd : {113, 117}) {
        for (const auto &c : cases) {
            Rec r;
            EXPECT_EQ(r.parse(cmd, c.c_str()), -1) << cmd << " " << c;
            EXPECT_EQ(r.ci.file_list, nullptr) << cmd << " " << c;
        }
    }
}

TEST_F(TaskReply, SearchReplyStatusOtherThanOneGivesAnEmptyList) {
    Rec r;
    ASSERT_EQ(r.parse(113, search_data("0", nullptr, nullptr).c_str()), 0);
    EXPECT_EQ(r.ci.status, 0);
    ASSERT_NE(r.ci.file_list, nullptr);
    EXPECT_EQ(r.ci.file_list->list, nullptr);
}

TEST_F(TaskReply, MultiSearchKeepsARunningTotal) {
    Rec r;
    ASSERT_EQ(r.parse(117, search_data("1", "3", "[]").c_str()), 0);
    EXPECT_EQ(r.ci.file_list->count, 3);
    EXPECT_EQ(r.ci.file_list->totalCount, 3);
    EXPECT_EQ(r.ci.count, 3);
    free_holder(r.ci.file_list);
    ASSERT_EQ(r.parse(117, search_data("1", "2", "[]").c_str()), 0);
    EXPECT_EQ(r.ci.file_list->totalCount, 5);
    EXPECT_EQ(r.ci.count, 5);

    Rec n;
    ASSERT_EQ(n.parse(117, search_data("1", "-1", "[]").c_str()), 0);
    EXPECT_EQ(n.ci.file_list->count, -1);
    EXPECT_EQ(n.ci.file_list->totalCount, 0);
    EXPECT_EQ(n.ci.count, 0);
}

TEST_F(TaskReply, SearchHeaderErrorWins) {
    Rec r;
    EXPECT_EQ(r.parse(113, search_data("1", "3", kEntries).c_str(), 13001), 13001);
    Rec s;
    EXPECT_EQ(s.parse(117, "{}", 13002), 13002);
    EXPECT_EQ(s.ci.file_list, nullptr);
}

// ---- streamed search: chunks through the task's callbacks ----

namespace {

struct Batch {
    int64_t id;
    int32_t status;
    int32_t count;
    std::vector<std::string> names;
};

struct Sink {
    std::vector<Batch> batches;
    int destroyed = 0;
};

void on_chunk(client_file_task *task) {
    auto *sink = static_cast<Sink *>(task->user_ctx);
    Batch b{task->id.load(), task->status.load(), task->file_list ? task->file_list->count : -99,
            task->file_list ? names(task->file_list->list) : std::vector<std::string>{}};
    sink->batches.push_back(b);
}

void on_destroy(client_file_task *task) {
    static_cast<Sink *>(task->user_ctx)->destroyed++;
    destroy_FileTaskSearch(task);
}

// A streamed search task that hands each batch to `sink`.
client_file_task *search_task(Sink &sink) {
    client_file_task *task = client_file_task_new();
    task->user_ctx = &sink;
    task->parse_cb = parser_FileTaskSearch;
    task->chunk_cb = on_chunk;
    task->destroy_cb = on_destroy;
    return task;
}

// What the chunked reply reader does with each decoded chunk: parse; on 0 hand the batch up and release
// it; any other result ends the reply.
int feed(client_file_task *task, const std::vector<std::string> &chunks) {
    for (const auto &c : chunks) {
        const int r = task->parse_cb(c.c_str(), task);
        if (r != 0) return task->cancel_status.load() != 0 ? QV_ERR_CANCELLED : r;
        if (task->chunk_cb) task->chunk_cb(task);
        if (task->destroy_cb) task->destroy_cb(task);
    }
    return 0;
}

std::string chunk(int seq, const char *status, const char *cur, const char *list) {
    return "{\"header\": {\"cmd\": 117, \"error\": 0}, \"data\": " +
           search_data(status, cur, list, std::to_string(seq).c_str()) + "}";
}

}  // namespace

TEST_F(TaskReply, StreamedSearchDeliversOneBatchPerChunk) {
    Sink sink;
    client_file_task *task = search_task(sink);
    const std::vector<std::string> chunks = {
        chunk(7, "1", "3", kEntries),
        chunk(7, "1", "1",
              R"([{"fileName": "D", "filePath": "/d", "isFolder": 0, "fileSize": 1, "fileData": 1}])"),
        chunk(-3, "2", nullptr, nullptr),
        chunk(7, "1", "0", "[]"),
    };
    EXPECT_EQ(feed(task, chunks), 0);
    ASSERT_EQ(sink.batches.size(), 4u);
    EXPECT_EQ(sink.batches[0].names, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(sink.batches[0].count, 3);
    EXPECT_EQ(sink.batches[0].id, 7);
    EXPECT_EQ(sink.batches[1].names, (std::vector<std::string>{"D"}));
    EXPECT_EQ(sink.batches[2].status, 2);  // handed upward as an empty batch
    EXPECT_EQ(sink.batches[2].id, -3);     // seq widened with its sign
    EXPECT_TRUE(sink.batches[2].names.empty());
    EXPECT_EQ(sink.batches[3].count, 0);
    EXPECT_EQ(sink.destroyed, 4);
    EXPECT_EQ(task->file_list, nullptr);  // released after every chunk
    client_file_task_free(task);
}

TEST_F(TaskReply, StreamedSearchFailureEndsTheReply) {
    struct {
        std::string bad;
        int64_t id;  // the task id after the failing chunk
    } cases[] = {
        {R"({"header": {"cmd": 117}, "data": [{"status": 1, "curCount": 0, "fileList": []}]})", 7},  // no seq
        {"not json", 7},
        {chunk(9, "1", nullptr, "[]"), 9},
        {chunk(9, "1", "1", R"([{"fileName": "E"}])"), 9},
    };
    for (const auto &c : cases) {
        Sink sink;
        client_file_task *task = search_task(sink);
        EXPECT_EQ(feed(task, {chunk(7, "1", "0", "[]"), c.bad, chunk(8, "1", "0", "[]")}), -1) << c.bad;
        EXPECT_EQ(sink.batches.size(), 1u) << c.bad;  // nothing after the failing chunk
        EXPECT_EQ(task->id.load(), c.id) << c.bad;
        destroy_FileTaskSearch(task);  // the task keeps the failed chunk's holder; its owner frees it
        client_file_task_free(task);
    }
    EXPECT_EQ(parser_FileTaskSearch(nullptr, nullptr), -1);
}

TEST_F(TaskReply, StreamedSearchCancelEndsWith20008) {
    client_file_task *task = client_file_task_new();
    task->parse_cb = parser_FileTaskSearch;
    task->cancel_status = -1;
    EXPECT_EQ(feed(task, {"{}"}), QV_ERR_CANCELLED);
    destroy_FileTaskSearch(task);
    client_file_task_free(task);
}

// ---- copy, move, tag, delete progress ----

TEST_F(TaskReply, CopyAndMoveStatus) {
    struct {
        int cmd;
        const char *data;
        int status;
    } cases[] = {
        {159, R"({"status": 3})", 3},
        {160, R"({"status": 1})", 1},
        {159, R"([{"status": 3}])", -5},
        {160, nullptr, -5},
        {159, "{}", -5},
    };
    for (const auto &c : cases) {
        Rec r;
        r.ci.status = -5;
        EXPECT_EQ(r.parse(c.cmd, c.data), 0);
        EXPECT_EQ(r.ci.status, c.status) << (c.data ? c.data : "no data");
    }
    Rec t;
    EXPECT_EQ(t.parse(156, R"({"x": 1})"), 0);
    Rec e;
    EXPECT_EQ(e.parse(159, R"({"status": 3})", 10202), 10202);
}

TEST_F(TaskReply, DeleteProgressSuccessiveReplies) {
    for (int cmd : {167, 211, 212, 213}) {
        delete_list_req req{};
        req.totalCount = 3;
        req.status = 9;
        Rec r;
        r.ci.req.deleteList = &req;
        // A run of progress replies, each applied as it arrives.
        struct {
            const char *data;
            int result;
            int status;
            int64_t count, total;
        } steps[] = {
            {R"([{"status": 1, "curCount": 1, "totalCount": 3}])", 0, 1, 1, 3},
            {R"([{"status": 1, "curCount": 2, "totalCount": 3}])", 0, 1, 2, 3},
            {R"([{"status": 1, "curCount": -1}])", QV_ERR_BAD_DATA, 1, -1, 3},  // stored values stay
            {R"([{"status": 2, "curCount": 3, "totalCount": 3}])", 0, 2, 3, 3},
            {nullptr, 0, 2, 3, 3},  // no data: nothing written
            {"[]", QV_ERR_BAD_DATA, 2, 3, 3},
            {R"([{"curCount": 9, "totalCount": 9}])", QV_ERR_BAD_DATA, 2, 3, 3},
            {R"([{"status": 258, "curCount": 4, "totalCount": 4}])", 0, 2, 4, 4},  // the low byte
        };
        for (const auto &s : steps) {
            EXPECT_EQ(r.parse(cmd, s.data), s.result) << cmd << " " << (s.data ? s.data : "no data");
            EXPECT_EQ(req.status, s.status) << cmd;
            EXPECT_EQ(req.count, s.count) << cmd;
            EXPECT_EQ(req.totalCount, s.total) << cmd;
        }
        EXPECT_EQ(r.parse(cmd, R"([{"status": 1}])", 10006), 10006);
    }
}

// A search reply without "seq" fails before the parser makes its holder: a holder already in the record
// belongs to the caller and stays.
TEST_F(TaskReply, SearchWithoutSeqKeepsCallersHolder) {
    for (int cmd : {113, 117}) {
        Rec r;
        auto *mine = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
        mine->count = 42;
        r.ci.file_list = mine;
        EXPECT_EQ(r.parse(cmd, R"([{"status": 1}])"), -1) << cmd;
        ASSERT_EQ(r.ci.file_list, mine) << cmd;
        EXPECT_EQ(mine->count, 42);
    }
}
