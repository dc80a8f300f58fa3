// A decoded copy put back into a new request gives exactly what a new parse of the same reply gives, for
// every cacheable listing; a request the copy does not fit is left alone.
#include "codec/reply_copy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/file_list.h"
#include "codec/file_parse_admin.h"
#include "codec/file_parse_list.h"
#include "codec/file_process.h"

namespace {

struct Case {
    const char *name;
    int cmd;
    int32_t file_type;
    const char *data;  // the reply's "data"
};

const Case kCases[] = {
    {"folder page", 101, 0,
     R"({"count": 3, "totalCount": 9, "filelist": [
        {"name": "a'b", "path": "/x/a'b", "size": 10, "data": 1700000000, "isFolder": 0, "bucket_id": 2,
         "isStore": 16, "type": 1},
        {"name": "dir", "path": "/x/dir", "isFolder": 16, "size": 99},
        {"name": "\u00e9t\u00e9", "path": "/x/\u00e9t\u00e9", "size": 4294967296}]})"},
    {"empty folder page", 101, 0, R"({"count": 0, "totalCount": 0, "filelist": []})"},
    {"type list", 120, 1,
     R"({"count": 2, "totalCount": 7, "filelist": [
        {"name": "p.jpg", "path": "/p.jpg", "size": 5, "data": 3000000000, "isFolder": 0, "isStore": 1,
         "userId": 3},
        {"name": "q.jpg", "path": "/d/q.jpg", "size": 6, "bucket_id": 4}]})"},
    {"multi-type list", 158, 0,
     R"({"count": 1, "totalCount": 1, "filelist": [{"name": "v.mp4", "path": "/v.mp4", "size": 1}]})"},
    {"albums", 123, 0,
     R"({"count": 2, "totalCount": 2, "albumList": [
        {"path": "/photos/2024", "date": 11, "bucket_id": 1, "count": 2, "totalCount": 40,
         "fileList": [{"path": "/photos/2024/a.jpg", "date": 12, "bucket_id": 1},
                      {"path": "/photos/2024/b.jpg", "date": 13}]},
        {"path": "/empty", "fileList": []}]})"},
    {"type list under a path", 124, 2,
     R"({"count": 2, "totalCount": 2, "totalSize": 8589934592, "filelist": [
        {"name": "a.mp3", "path": "/m/a.mp3", "size": 3, "data": 4, "isFolder": 0, "isStore": 1},
        {"name": "b.mp3", "path": "/m/b.mp3", "size": 5, "data": 6, "isFolder": 0, "userId": 9}]})"},
    {"recent records", 151, 0,
     R"({"count": 2, "totalCount": 12, "recordsList": [
        {"path": "/a.jpg", "name": "a.jpg", "size": 1, "time": 100, "isDir": 0, "bucketId": 1, "type": 0,
         "cmd": 107, "userId": 2, "nickName": "ann", "logId": 3, "enableHide": 1},
        {"path": "/b", "name": "b", "time": 200, "type": 1, "cmd": 107, "nickName": "bo",
         "aggregateId": 7, "count": 2, "totalCount": 5, "picture_count": 1, "vedeo_count": 1,
         "aggregateList": [{"path": "/b/1.jpg", "name": "1.jpg", "size": 9},
                           {"path": "/b/2.mp4", "name": "2.mp4", "size": 8}]}]})"},
    {"recent records without counts", 151, 0, R"({"recordsList": []})"},
    {"aggregation", 161, 0,
     R"({"count": 2, "totalCount": 2, "recordsList": [
        {"path": "/b/1.jpg", "name": "1.jpg", "size": 9, "cmd": 107, "nickName": "bo"},
        {"path": "/b/2.mp4", "name": "2.mp4", "size": 8, "time": 4, "isDir": 0}]})"},
    {"user list", 323, 0,
     R"({"userList": [{"userId": 1, "nickName": "alice", "imagePath": "/i/a.png"},
                      {"userId": 2, "nickName": "bob", "imagePath": ""}]})"},
    {"empty user list", 323, 0, R"({"userList": []})"},
};

// A request of `cmd` as its call prepares it.
void prepare(client_info *ci, int cmd, int32_t file_type) {
    std::memset(ci, 0, sizeof *ci);
    ci->cmd = cmd;
    ci->fileType = file_type;
    if (cmd == 101) ci->file_list = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    if (cmd == 151 || cmd == 161) {
        ci->rList = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
        recent_ring_init(ci->rList);
    }
}

void release(client_info *ci) {
    if (ci->file_list != nullptr) {
        ppc_destory_file_list(ci->file_list->list);
        std::free(ci->file_list);
    }
    if (ci->rList != nullptr) ppc_free_recent_list(ci->rList);
    qv_user_list_free(ci->userList);
    std::memset(ci, 0, sizeof *ci);
}

std::string text(const char *s) {
    return s == nullptr ? "<null>" : "'" + std::string(s) + "'";
}

std::string files(const file_dnode *n) {
    std::string s;
    for (; n != nullptr; n = n->next) {
        s += "{" + text(n->name) + " " + text(n->path) + " " + text(n->file_uuid) + " size " +
             std::to_string(n->size) + " date " + std::to_string(n->date) + " folder " +
             std::to_string(n->isFolder) + " parent " + std::to_string(n->parent_id) + " count " +
             std::to_string(n->count) + "/" + std::to_string(n->totalCount) + " type " +
             std::to_string(n->type) + " bucket " + std::to_string(n->bucketId) + " store " +
             std::to_string(n->isStore) + " geo " + std::to_string(n->latitude) + "," +
             std::to_string(n->longtitude) + " tags " + (n->tag_list ? "some" : "none") + " items " +
             std::to_string(n->type_count) + "[";
        if (n->type_list != nullptr)
            for (file_type_item **it = n->type_list; *it != nullptr; ++it)
                s += text((*it)->name) + " " + text((*it)->path) + " " + std::to_string((*it)->date) + " " +
                     std::to_string((*it)->bucketId) + ";";
        s += "]}\n";
    }
    return s;
}

std::string records(recent_list *head) {
    std::string s = "count " + std::to_string(head->count) + "/" + std::to_string(head->totalCount) + " " +
                    std::to_string(head->picture_count) + "/" + std::to_string(head->vedeo_count) + "(";
    for (recent_dnode *n = head->next; n != recent_ring_end(head); n = n->next) {
        EXPECT_EQ(n->next->prev, n);
        s += "{agg " + std::to_string(n->aggregateId) + " log " + std::to_string(n->logId) + " hide " +
             std::to_string(n->enableHide) + " type " + std::to_string(n->type) + " time " +
             std::to_string(n->time) + " cmd " + std::to_string(n->cmd) + " user " +
             std::to_string(n->userId) + " bucket " + std::to_string(n->bucketId) + " " + text(n->nickName);
        const recent_file_info *f = n->fInfo;
        s += " file " + std::to_string(f->bucketId) + " " + std::to_string(f->time) + " " +
             std::to_string(f->size) + " " + std::to_string(f->isDir) + " " + text(f->name) + " " +
             text(f->path);
        if (n->rList != nullptr) s += " sub " + records(n->rList);
        s += "}\n";
    }
    EXPECT_EQ(head->prev->next, recent_ring_end(head));
    return s + ")";
}

// Everything the parse of a cacheable listing leaves in the request.
std::string results(const client_info &ci) {
    std::string s = "count " + std::to_string(ci.count) + "\n";
    if (ci.file_list != nullptr)
        s += "holder " + std::to_string(ci.file_list->count) + "/" +
             std::to_string(ci.file_list->totalCount) + " size " + std::to_string(ci.file_list->totalSize) +
             "\n" + files(ci.file_list->list);
    if (ci.rList != nullptr) s += records(ci.rList);
    if (ci.userList != nullptr)
        for (user_list_info **u = ci.userList; *u != nullptr; ++u)
            s += "user " + std::to_string((*u)->userId) + " " + text((*u)->nickName) + " " +
                 text((*u)->imagePath) + "\n";
    return s;
}

int parse(client_info *ci, const Case &c) {
    const std::string reply = R"({"header": {"cmd": )" + std::to_string(c.cmd) +
                              R"(, "error": 0, "seq": 3, "token": 4}, "data": )" + c.data + "}";
    ci->recv_buf = strdup(reply.c_str());
    const int rc = file_parse_process(ci);
    std::free(ci->recv_buf);
    ci->recv_buf = nullptr;
    std::free(ci->retstr);
    ci->retstr = nullptr;
    return rc;
}

TEST(ReplyCopy, PutBackEqualsANewParse) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        client_info parsed, first;
        prepare(&parsed, c.cmd, c.file_type);
        ASSERT_EQ(parse(&parsed, c), 0);
        const std::string want = results(parsed);
        auto copy = qv_reply_copy_take(&parsed);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(qv_reply_copy_cmd(*copy), c.cmd);
        release(&parsed);  // the copy owns all it holds
        prepare(&first, c.cmd, c.file_type);
        ASSERT_EQ(qv_reply_copy_apply(*copy, &first), 0);
        copy.reset();  // and what is put back owns itself
        EXPECT_EQ(results(first), want);
        release(&first);
    }
}

TEST(ReplyCopy, TwoApplicationsShareNothing) {
    client_info parsed, a, b;
    prepare(&parsed, 123, 0);
    ASSERT_EQ(parse(&parsed, kCases[4]), 0);
    auto copy = qv_reply_copy_take(&parsed);
    ASSERT_NE(copy, nullptr);
    prepare(&a, 123, 0);
    prepare(&b, 123, 0);
    ASSERT_EQ(qv_reply_copy_apply(*copy, &a), 0);
    ASSERT_EQ(qv_reply_copy_apply(*copy, &b), 0);
    ASSERT_NE(a.file_list->list, b.file_list->list);
    for (file_dnode *n = a.file_list->list; n != nullptr; n = n->next) {
        n->name[0] = 'X';
        if (n->type_list != nullptr) n->type_list[0]->path[0] = 'X';
    }
    EXPECT_EQ(results(b), results(parsed));
    release(&parsed);
    release(&a);
    release(&b);
}

TEST(ReplyCopy, ARequestTheCopyDoesNotFitIsLeftAlone) {
    struct Refusal {
        const char *what;
        int cmd;  // the copy's; the request is prepared for it, then changed
        void (*change)(client_info *);
    };
    const Refusal refusals[] = {
        {"another command", 101, [](client_info *ci) { ci->cmd = 185; }},
        {"page holder already holding records", 101,
         [](client_info *ci) {
             ppc_add_file_to_list(&ci->file_list->list, "old", 1, 1, 0, "/old", 0, 0, nullptr, 0);
         }},
        {"no page holder", 101,
         [](client_info *ci) {
             std::free(ci->file_list);
             ci->file_list = nullptr;
         }},
        {"another file type", 120, [](client_info *ci) { ci->fileType = 4; }},
        {"a holder already there", 120,
         [](client_info *ci) {
             ci->file_list = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
         }},
        {"records holder with counters", 151, [](client_info *ci) { ci->rList->totalCount = 1; }},
        {"no records holder", 161,
         [](client_info *ci) {
             ppc_free_recent_list(ci->rList);
             ci->rList = nullptr;
         }},
        {"a user list already there", 323,
         [](client_info *ci) {
             ci->userList = static_cast<user_list_info **>(std::calloc(1, sizeof(user_list_info *)));
         }},
    };
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.what);
        const Case *c = nullptr;
        for (const Case &k : kCases)
            if (k.cmd == r.cmd && c == nullptr) c = &k;
        ASSERT_NE(c, nullptr);
        client_info parsed, target;
        prepare(&parsed, c->cmd, c->file_type);
        ASSERT_EQ(parse(&parsed, *c), 0);
        auto copy = qv_reply_copy_take(&parsed);
        ASSERT_NE(copy, nullptr);
        prepare(&target, c->cmd, c->file_type);
        r.change(&target);
        const std::string before = results(target);
        EXPECT_EQ(qv_reply_copy_apply(*copy, &target), -1);
        EXPECT_EQ(results(target), before);
        target.cmd = c->cmd;
        release(&parsed);
        release(&target);
    }
    // Commands without a copy form, and a page parsed without its holder, give no copy.
    client_info other;
    prepare(&other, 100, 0);
    EXPECT_EQ(qv_reply_copy_take(&other), nullptr);
    prepare(&other, 101, 0);
    std::free(other.file_list);
    other.file_list = nullptr;
    EXPECT_EQ(qv_reply_copy_take(&other), nullptr);
}

}  // namespace
