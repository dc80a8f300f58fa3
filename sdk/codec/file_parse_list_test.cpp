#include "codec/file_parse_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

using Rec = parse_harness::Record;
using ListingReply = parse_harness::Quiet;
using parse_harness::names;

std::vector<std::string> recent_names(recent_list *head) {
    std::vector<std::string> out;
    for (recent_dnode *p = head->next; p != recent_ring_end(head); p = p->next) out.push_back(p->fInfo->name);
    return out;
}

}  // namespace

// ---- folder listing (101, 185) ----

struct ListCase {
    const char *what;
    int cmd;
    bool holder;
    const char *data;
    int result;
    std::vector<std::string> list;
    int walked;
    int count, total;
};

void PrintTo(const ListCase &c, std::ostream *os) {
    *os << c.what;
}

class FolderListing : public ListingReply, public ::testing::WithParamInterface<ListCase> {};

TEST_P(FolderListing, ResultListAndCounters) {
    const ListCase &c = GetParam();
    Rec r;
    if (c.holder) r.ci.file_list = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    EXPECT_EQ(r.parse(c.cmd, c.data), c.result) << c.what;
    EXPECT_EQ(r.ci.count, c.walked) << c.what;
    if (c.holder) {
        EXPECT_EQ(names(r.ci.file_list->list), c.list) << c.what;
        EXPECT_EQ(r.ci.file_list->count, c.count) << c.what;
        EXPECT_EQ(r.ci.file_list->totalCount, c.total) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderListing,
    ::testing::Values(
        ListCase{
            "reply order",
            101,
            true,
            R"({"count": 2, "totalCount": 40, "filelist": [{"name": "A"}, {"name": "B"}, {"name": "C"}]})",
            0,
            {"A", "B", "C"},
            3,
            2,
            40},
        ListCase{"hidden space, same parser",
                 185,
                 true,
                 R"({"count": 1, "totalCount": 1, "filelist": [{"name": "H"}]})",
                 0,
                 {"H"},
                 1,
                 1,
                 1},
        ListCase{"empty", 101, true, R"({"count": 0, "totalCount": 7, "filelist": []})", 0, {}, 0, 0, 7},
        ListCase{"no totalCount with holder",
                 101,
                 true,
                 R"({"count": 1, "filelist": [{"name": "A"}]})",
                 -1,
                 {},
                 0,
                 0,
                 0},
        ListCase{"no totalCount without holder",
                 101,
                 false,
                 R"({"count": 1, "filelist": [{"name": "A"}, {"name": "B"}]})",
                 0,
                 {},
                 2,
                 0,
                 0},
        ListCase{"no filelist", 101, true, R"({"count": 1, "totalCount": 1})", -1, {}, 0, 1, 1},
        ListCase{"no data", 101, true, nullptr, -1, {}, 0, 0, 0},
        ListCase{"null element: later ones stay",
                 101,
                 true,
                 R"({"count": 3, "totalCount": 3, "filelist": [{"name": "A"}, null, {"name": "C"}]})",
                 -1,
                 {"C"},
                 1,
                 3,
                 3},
        ListCase{"filelist of the wrong kind",
                 101,
                 true,
                 R"({"count": 1, "totalCount": 1, "filelist": {"name": "A"}})",
                 -1,
                 {},
                 0,
                 1,
                 1}),
    [](const ::testing::TestParamInfo<ListCase> &info) { return "case" + std::to_string(info.index); });

TEST_F(ListingReply, FolderListingEntryFields) {
    Rec r;
    r.ci.file_list = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    ASSERT_EQ(r.parse(101, R"({"count": 5, "totalCount": 5, "filelist": [
        {"name": "a", "isFolder": 16, "isStore": 16, "size": 9, "path": "/a", "data": -1, "bucket_id": 3, "type": 4},
        {"name": "b", "isFolder": 2, "size": -1},
        {"name": "c", "isFolder": 0, "size": 5000000000, "data": 86400},
        {"name": "d", "isFolder": 1, "size": 77},
        {"name": "e", "isStore": 2}]})"),
              0);
    const file_dnode *a = r.ci.file_list->list;
    const file_dnode *b = a->next, *c = b->next, *d = c->next, *e = d->next;
    EXPECT_EQ(a->isFolder, 1);
    EXPECT_EQ(a->isStore, 1);
    EXPECT_EQ(a->size, 0);  // a folder has no size
    EXPECT_EQ(a->date, 4294967295LL);
    EXPECT_STREQ(a->path, "/a");
    EXPECT_EQ(a->bucketId, 3);
    EXPECT_EQ(a->type, 4);
    EXPECT_EQ(b->isFolder, 2);
    EXPECT_EQ(b->size, 4294967295LL);
    EXPECT_EQ(b->path, nullptr);  // never borrowed from the entry before
    EXPECT_EQ(c->size, 5000000000LL);
    EXPECT_EQ(c->date, 86400);
    EXPECT_EQ(d->size, 0);
    EXPECT_EQ(e->isStore, 2);
    EXPECT_EQ(e->next, nullptr);
}

TEST_F(ListingReply, HeaderErrorReplacesTheParsersResult) {
    for (const char *data : {R"({"count": 1, "totalCount": 1, "filelist": [{"name": "A"}]})", "{}"}) {
        Rec r;
        r.ci.file_list = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
        EXPECT_EQ(r.parse(101, data, 10202), 10202) << data;
    }
    Rec s;
    EXPECT_EQ(s.parse(100, nullptr, 7), 7);
    EXPECT_EQ(s.ci.diskList, nullptr);
}

// ---- storage (100) ----

TEST_F(ListingReply, StorageReversesReplyOrder) {
    Rec r;
    ASSERT_EQ(r.parse(100, R"({"diskInfoList": [
        {"displayName": "D1", "path": "/d1", "size": 6000000000, "avSize": 10, "diskType": 2, "fsType": "ext4", "systemSpaceSize": 3},
        {"displayName": "D2", "path": "/d2", "size": 1, "avSize": 0}]})"),
              0);
    const disk_dnode *d2 = r.ci.diskList;
    ASSERT_NE(d2, nullptr);
    ASSERT_NE(d2->next, nullptr);
    const disk_dnode *d1 = d2->next;
    EXPECT_STREQ(d2->name, "D2");
    EXPECT_STREQ(d2->fstype, "UNKNOWN");
    EXPECT_STREQ(d1->name, "D1");
    EXPECT_STREQ(d1->path, "/d1");
    EXPECT_STREQ(d1->fstype, "ext4");
    EXPECT_EQ(d1->size, 6000000000LL);
    EXPECT_EQ(d1->avSize, 10);
    EXPECT_EQ(d1->diskType, 2);
    EXPECT_EQ(d1->next, nullptr);
}

TEST_F(ListingReply, StorageRequiredParts) {
    struct {
        const char *data;
        int kept;
    } cases[] = {
        {nullptr, 0},
        {"{}", 0},
        {R"({"diskInfoList": [{"displayName": "D1", "path": "/", "size": 1, "avSize": 1}, {"displayName": "D2", "path": "/", "size": 1}]})",
         1},
        {R"({"diskInfoList": [{"displayName": "D1", "path": "/", "size": 1, "avSize": 1}, null]})", 1},
        {R"({"diskInfoList": [{"path": "/", "size": 1, "avSize": 1}]})", 0},
    };
    for (const auto &c : cases) {
        Rec r;
        EXPECT_EQ(r.parse(100, c.data), -1) << (c.data ? c.data : "no data");
        int n = 0;
        for (const disk_dnode *d = r.ci.diskList; d; d = d->next) ++n;
        EXPECT_EQ(n, c.kept) << (c.data ? c.data : "no data");
    }
    Rec empty;
    EXPECT_EQ(empty.parse(100, R"({"diskInfoList": []})"), 0);
    EXPECT_EQ(empty.ci.diskList, nullptr);
}

// ---- device users (150) ----

TEST_F(ListingReply, UserListInReplyOrder) {
    Rec r;
    const std::string longName(70, 'n');
    const std::string data = R"([{"nick_name": "ann", "user_id": 4, "bucket_id": 9, "isPublic": true},
        {"bucket_id": 7, "isPublic": false}, {"nick_name": ")" +
                             longName + R"("}])";
    ASSERT_EQ(r.parse(150, data.c_str()), 0);
    user_list_item **u = r.ci.user_list;
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(u[0]->nick_name, "ann");
    EXPECT_EQ(u[0]->user_id, 4);
    EXPECT_EQ(u[0]->isPublic, 1);
    EXPECT_EQ(u[1]->user_id, 7);
    EXPECT_EQ(u[1]->isPublic, 0);
    EXPECT_EQ(std::string(u[2]->nick_name), longName.substr(0, 64));  // cut, terminated
    EXPECT_EQ(u[3], nullptr);

    Rec e;
    ASSERT_EQ(e.parse(150, "[]"), 0);
    ASSERT_NE(e.ci.user_list, nullptr);
    EXPECT_EQ(e.ci.user_list[0], nullptr);

    Rec missing, nul;
    EXPECT_EQ(missing.parse(150, nullptr), -1);
    EXPECT_EQ(missing.ci.user_list, nullptr);
    EXPECT_EQ(nul.parse(150, R"([{"user_id": 1}, null])"), -1);
    ASSERT_NE(nul.ci.user_list, nullptr);
    EXPECT_EQ(nul.ci.user_list[0]->user_id, 1);
}

// ---- recent records (151) and one aggregation (161) ----

TEST_F(ListingReply, RecentRecordsKeepReplyOrderAggregationsReverse) {
    Rec r;
    r.ci.rList = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
    const std::string longName(1100, 'x');
    const std::string data = R"({"count": 3, "totalCount": 30, "recordsList": [
        {"name": "R1", "path": "/p/R1", "size": -2, "time": -1, "isDir": 0, "bucketId": 6, "type": 0, "cmd": 107,
         "userId": 2, "nickName": "bob", "logId": 11, "enableHide": 1},
        {"name": "AG", "type": 1, "aggregateId": 77, "count": 2, "totalCount": 9, "picture_count": 5, "vedeo_count": 4,
         "aggregateList": [{"name": "A1"}, {"name": "A2", "size": 3}]},
        {"name": ")" + longName +
                             R"("}]})";
    ASSERT_EQ(r.parse(151, data.c_str()), 0);
    recent_list *head = r.ci.rList;
    EXPECT_EQ(head->count, 3);
    EXPECT_EQ(head->totalCount, 30);
    ASSERT_EQ(recent_ring_size(head), 3);
    EXPECT_EQ(recent_names(head)[0], "R1");
    EXPECT_EQ(recent_names(head)[1], "AG");
    EXPECT_EQ(recent_names(head)[2], longName.substr(0, 1023));
    recent_dnode *r1 = head->next;
    EXPECT_EQ(head->prev->prev->prev, r1);  // backward links agree
    EXPECT_EQ(r1->fInfo->size, 4294967294LL);
    EXPECT_EQ(r1->time, -1);
    EXPECT_EQ(r1->fInfo->time, -1);
    EXPECT_STREQ(r1->fInfo->path, "/p/R1");
    EXPECT_EQ(r1->bucketId, 6);
    EXPECT_EQ(r1->cmd, 107);
    EXPECT_EQ(r1->userId, 2);
    EXPECT_STREQ(r1->nickName, "bob");
    EXPECT_EQ(r1->logId, 11);
    EXPECT_EQ(r1->enableHide, 1);
    EXPECT_EQ(r1->rList, nullptr);
    recent_dnode *ag = r1->next;
    ASSERT_NE(ag->rList, nullptr);
    EXPECT_EQ(ag->aggregateId, 77);
    EXPECT_EQ(ag->rList->count, 2);
    EXPECT_EQ(ag->rList->totalCount, 9);
    EXPECT_EQ(ag->rList->picture_count, 5);
    EXPECT_EQ(ag->rList->vedeo_count, 4);
    EXPECT_EQ(recent_names(ag->rList), (std::vector<std::string>{"A2", "A1"}));
}

TEST_F(ListingReply, RecentRecordsRequiredParts) {
    struct {
        const char *data;
        int kept;
    } cases[] = {
        {nullptr, 0},
        {R"({"count": 1})", 0},
        {R"({"recordsList": [{"name": "R1"}, {"name": "AG", "type": 1, "aggregateId": 1}]})", 1},
        {R"({"recordsList": [{"name": "AG", "type": 1, "aggregateList": []}]})", 0},
        {R"({"recordsList": [{"name": "R1"}, {"name": "AG", "type": 1, "aggregateId": 1, "aggregateList": [{}, null]}]})",
         1},
        {R"({"recordsList": [{"name": "R1"}, null]})", 1},
    };
    for (const auto &c : cases) {
        Rec r;
        r.ci.rList = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
        EXPECT_EQ(r.parse(151, c.data), -1) << (c.data ? c.data : "no data");
        EXPECT_EQ(recent_ring_size(r.ci.rList), c.kept) << (c.data ? c.data : "no data");
    }
}

TEST_F(ListingReply, AggregationEntriesReverseReplyOrder) {
    Rec r;
    r.ci.rList = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
    ASSERT_EQ(r.parse(161, R"({"count": 2, "totalCount": 2, "recordsList": [
        {"name": "R1", "cmd": 5, "nickName": "n1", "type": 1, "userId": 3}, {"name": "R2", "size": 10}]})"),
              0);
    EXPECT_EQ(recent_names(r.ci.rList), (std::vector<std::string>{"R2", "R1"}));
    recent_dnode *r1 = r.ci.rList->prev;
    EXPECT_EQ(r1->cmd, 5);
    EXPECT_STREQ(r1->nickName, "n1");
    EXPECT_EQ(r1->type, 0);  // only the file, cmd and nickName are filled
    EXPECT_EQ(r1->userId, 0);
    EXPECT_EQ(r.ci.rList->next->fInfo->size, 10);

    Rec e;
    e.ci.rList = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
    EXPECT_EQ(e.parse(161, R"({"recordsList": []})"), 0);
    EXPECT_EQ(recent_ring_size(e.ci.rList), 0);
    Rec f;
    f.ci.rList = static_cast<recent_list *>(std::calloc(1, sizeof(recent_list)));
    EXPECT_EQ(f.parse(161, R"({"recordsList": [null]})"), -1);
}

// ---- recycle bin (210, 214) ----

TEST_F(ListingReply, RecycleBinPage) {
    Rec r;
    ASSERT_EQ(r.parse(210, R"({"count": 2, "totalCount": 12, "resyscleList": [
        {"key": 4, "name": "f", "isFolder": 0, "size": 6000000000, "path": "/f", "data": -1, "delete_time": 100,
         "remain_time": -5, "bucketId": 2},
        {"key": 5}]})"),
              0);
    resyscle_list_info *p = r.ci.resyscleList;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start, 0);
    EXPECT_EQ(p->count, 2);
    EXPECT_EQ(p->totalCount, 12);
    resyscle_dnode *a = p->rDnode[0];
    EXPECT_EQ(a->key, 4);
    EXPECT_STREQ(a->name, "f");
    EXPECT_STREQ(a->path, "/f");
    EXPECT_EQ(a->size, 6000000000LL);
    EXPECT_EQ(a->date, -1);
    EXPECT_EQ(a->delete_time, 100);
    EXPECT_EQ(a->remain_time, -5);
    EXPECT_EQ(a->bucketId, 2);
    EXPECT_EQ(p->rDnode[1]->key, 5);
    EXPECT_EQ(p->rDnode[1]->name, nullptr);
    EXPECT_EQ(p->rDnode[2], nullptr);

    Rec noList;
    EXPECT_EQ(noList.parse(210, R"({"count": 1, "totalCount": 3})"), -1);
    ASSERT_NE(noList.ci.resyscleList, nullptr);
    EXPECT_EQ(noList.ci.resyscleList->totalCount, 3);
    EXPECT_EQ(noList.ci.resyscleList->rDnode, nullptr);

    Rec noCount, nul;
    EXPECT_EQ(noCount.parse(210, R"({"totalCount": 3, "resyscleList": []})"), -1);
    EXPECT_EQ(noCount.ci.resyscleList, nullptr);
    EXPECT_EQ(nul.parse(210, R"({"count": 1, "totalCount": 1, "resyscleList": [{"key": 1}, null]})"), -1);
    EXPECT_EQ(nul.ci.resyscleList->rDnode[0]->key, 1);
}

TEST_F(ListingReply, RecycleBinSettings) {
    Rec r;
    ASSERT_EQ(
        r.parse(
            214,
            R"({"survive_time": -2, "bucket_list": [{"bucket_id": 1, "type": 0}, {"bucket_id": 2, "type": 1}]})"),
        0);
    resyscle_info *s = r.ci.resyscleInfo;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->survive_time, -2);
    EXPECT_EQ(s->count, 2);
    EXPECT_EQ(s->spaceDnode[0]->bucket_id, 1);
    EXPECT_EQ(s->spaceDnode[1]->bucket_id, 2);
    EXPECT_EQ(s->spaceDnode[1]->type, 1);
    EXPECT_EQ(s->spaceDnode[2], nullptr);

    Rec noList;
    EXPECT_EQ(noList.parse(214, R"({"survive_time": 30})"), 0);
    EXPECT_EQ(noList.ci.resyscleInfo->survive_time, 30);
    EXPECT_EQ(noList.ci.resyscleInfo->count, 0);
    EXPECT_EQ(noList.ci.resyscleInfo->spaceDnode[0], nullptr);

    Rec noData, nul;
    EXPECT_EQ(noData.parse(214, nullptr), -1);
    EXPECT_EQ(nul.parse(214, R"({"bucket_list": [null]})"), -1);
}

TEST_F(ListingReply, HideAndStoreRepliesAreAccepted) {
    for (int cmd : {152, 153}) {
        Rec r;
        EXPECT_EQ(r.parse(cmd, R"({"anything": [1, 2]})"), 0);
        Rec s;
        EXPECT_EQ(s.parse(cmd, nullptr), 0);
    }
}
