#include "codec/file_parse_type.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/qv_errors.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

// A zeroed request record that applies one reply through the dispatcher and frees what the parser built.
struct Reply {
    client_info ci{};
    int result = 0;
    Reply(int cmd, const std::string &data, int error = 0, int32_t fileType = 0) {
        ci.cmd = cmd;
        ci.fileType = fileType;
        std::string text = R"({"header":{"cmd":)" + std::to_string(cmd) + R"(,"error":)" +
                           std::to_string(error) + "}" + (data.empty() ? "" : R"(,"data":)" + data) + "}";
        ci.recv_buf = strdup(text.c_str());
        result = file_parse_process(&ci);
    }
    ~Reply() {
        std::free(ci.recv_buf);
        std::free(ci.retstr);
        parse_harness::free_holder(ci.file_list);
    }
    file_dnode *list() const { return ci.file_list ? ci.file_list->list : nullptr; }
};

using parse_harness::names;

std::vector<std::string> item_paths(const file_dnode *album) {
    std::vector<std::string> v;
    if (album->type_list)
        for (file_type_item **p = album->type_list; *p; ++p) v.push_back((*p)->path ? (*p)->path : "(null)");
    return v;
}

}  // namespace

// Reply order for 120/158, reverse for 124; each element's fields are its own.
TEST(TypeList, OrderAndFields) {
    const std::string two = R"({"count":2,"totalCount":9,"filelist":[
        {"name":"a","path":"/x/a","size":10,"data":100,"isFolder":0,"isStore":1,"userId":3},
        {"name":"b","path":"/x/b","size":20}]})";
    for (int cmd : {120, 158}) {
        Reply r(cmd, two, 0, 7);
        ASSERT_EQ(r.result, 0) << cmd;
        EXPECT_EQ(names(r.list()), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(r.ci.file_list->count, 2);
        EXPECT_EQ(r.ci.file_list->totalCount, 9);
        const file_dnode *a = r.list(), *b = a->next;
        EXPECT_STREQ(a->path, "/x/a");
        EXPECT_EQ(a->size, 10);
        EXPECT_EQ(a->date, 100);
        EXPECT_EQ(a->isStore, 1);
        EXPECT_EQ(a->bucketId, 3);
        EXPECT_EQ(b->size, 20);
        EXPECT_EQ(b->date, 0);
        EXPECT_EQ(b->bucketId, 0);
        EXPECT_EQ(a->type, 7);
        EXPECT_EQ(b->type, 7);
    }
}

// An element that lacks keys does not take them over from the element walked before it.
TEST(TypeList, MissingKeysAreNotCarriedOver) {
    Reply r(120, R"({"count":2,"totalCount":2,"filelist":[
        {"name":"b","path":"/x/b","size":20},
        {"name":"a","path":"/x/a","size":10,"data":100,"isFolder":1,"isStore":1,"bucket_id":3}]})");
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(names(r.list()), (std::vector<std::string>{"b", "a"}));
    const file_dnode *b = r.list(), *a = b->next;
    EXPECT_EQ(b->date, 0);
    EXPECT_EQ(b->isFolder, 0);
    EXPECT_EQ(b->isStore, 0);
    EXPECT_EQ(b->bucketId, 0);
    EXPECT_EQ(a->bucketId, 3);  // "bucket_id" when "userId" is absent
    EXPECT_EQ(a->size, 0);      // a folder has no size
}

TEST(TypeList, NumberReadings) {
    // A negative 64-bit size falls back to the 32-bit value as unsigned; so does a negative "data", and
    // one past 2^31 - 1 (a date after 2038) is kept as it came.
    Reply r(120, R"({"count":1,"totalCount":1,"filelist":[{"name":"n","size":-2,"data":-5}]})");
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.list()->size, 4294967294LL);
    EXPECT_EQ(r.list()->date, 4294967291LL);
    Reply late(120, R"({"count":1,"totalCount":1,"filelist":[{"name":"n","size":1,"data":3000000000}]})");
    ASSERT_EQ(late.result, 0);
    EXPECT_EQ(late.list()->date, 3000000000LL);
}

TEST(TypeListByPath, ReverseOrderAndSkipsIncompleteElements) {
    Reply r(124, R"({"count":3,"totalCount":3,"totalSize":5000000000,"filelist":[
        {"name":"f1","size":1,"data":1,"isFolder":0,"path":"/d/f1"},
        {"size":2,"data":2,"isFolder":0,"path":"/d/f2"},
        {"name":"f3","size":3,"data":3,"isFolder":0,"userId":4}]})",
            0, 2);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(names(r.list()), (std::vector<std::string>{"f3", "f1"}));
    EXPECT_EQ(r.ci.file_list->totalSize, 5000000000LL);
    EXPECT_EQ(r.list()->bucketId, 4);
    EXPECT_EQ(r.list()->path, nullptr);
    EXPECT_EQ(r.list()->type, 2);
}

// Albums in reverse reply order, items in reply order; the preview array is sized from the entries.
TEST(DirList, AlbumsAndItems) {
    Reply r(123, R"({"count":3,"totalCount":3,"albumList":[
        {"path":"/p/A","count":3,"date":-1,"bucket_id":2,"totalCount":8,
         "fileList":[{"path":"/p/A/1.jpg","date":5,"bucket_id":2},{"path":"/p/A/2.jpg"}]},
        {"path":"/p/B","count":0,"fileList":[{"path":"/p/B/x.jpg"},{"path":"/p/B/y.jpg"},{"path":"/p/B/z.jpg"}]},
        {"path":"/p/C","count":9,"fileList":[]}]})");
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(names(r.list()), (std::vector<std::string>{"C", "B", "A"}));
    const file_dnode *c = r.list(), *b = c->next, *a = b->next;
    EXPECT_EQ(a->date, -1);  // sign-extended
    EXPECT_EQ(a->bucketId, 2);
    EXPECT_EQ(a->count, 3);
    EXPECT_EQ(a->totalCount, 8);
    EXPECT_EQ(a->type_count, 2u);
    EXPECT_EQ(item_paths(a), (std::vector<std::string>{"/p/A/1.jpg", "/p/A/2.jpg"}));
    EXPECT_STREQ(a->type_list[0]->name, "1.jpg");
    EXPECT_EQ(a->type_list[0]->date, 5);
    // "count" 0 with three entries: every entry kept, still null-terminated.
    EXPECT_EQ(b->type_count, 3u);
    EXPECT_EQ(item_paths(b).size(), 3u);
    EXPECT_EQ(c->type_list, nullptr);
    EXPECT_EQ(c->type_count, 0u);
}

TEST(DirList, FailuresKeepWhatWasLinked) {
    struct Case {
        const char *data;
        int result;
        size_t albums;
    } cases[] = {
        {R"({"count":1,"totalCount":1,"albumList":[{"path":"/a","count":1}]})", -1, 1},    // no "fileList"
        {R"({"count":1,"totalCount":1,"albumList":[{"count":1,"fileList":[]}]})", -1, 0},  // no "path"
        {R"({"count":1,"totalCount":1,"albumList":[{"path":"/a","fileList":[{"date":1}]}]})", -1, 1},
        {R"({"count":1,"totalCount":1,"albumList":[null]})", -1, 0},
        {R"({"count":1,"totalCount":1})", -1, 0},
        {R"({"count":1,"totalCount":1,"albumList":[]})", 0, 0},
    };
    for (const auto &c : cases) {
        Reply r(123, c.data);
        EXPECT_EQ(r.result, c.result) << c.data;
        ASSERT_NE(r.ci.file_list, nullptr) << c.data;
        EXPECT_EQ(names(r.list()).size(), c.albums) << c.data;
    }
}

TEST(BackupList, UuidsInReverseOrderSkippingElementsWithoutOne) {
    Reply r(155, R"({"count":3,"totalCount":3,"filelist":[{"file_uuid":"u1"},{"x":1},{"file_uuid":"u2"}]})");
    ASSERT_EQ(r.result, 0);
    std::vector<std::string> got;
    for (uuid_dnode *u = r.ci.file_list->uuid_list; u; u = u->next) got.push_back(u->file_uuid);
    EXPECT_EQ(got, (std::vector<std::string>{"u2", "u1"}));
    EXPECT_EQ(r.list(), nullptr);
}

TEST(ClassInfo, TotalsReadFull64Bits) {
    Reply r(121, R"({"totalCount":5,"totalSize":3000000000})");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.ci.totalCount, 5);
    EXPECT_EQ(r.ci.totalSize, 3000000000LL);
    Reply partial(121, R"({"totalCount":5})");
    EXPECT_EQ(partial.result, -1);
    EXPECT_EQ(partial.ci.totalCount, 5);
}

// Missing required members give -1 for every list parser; empty arrays give 0 with the counts stored.
TEST(TypeParsers, RequiredMembersAndEmptyArrays) {
    struct Case {
        int cmd;
        const char *data;
        int result;
        bool holder;
    } cases[] = {
        {120, "", -1, false},
        {120, R"([1])", -1, false},
        {120, R"({"totalCount":1,"filelist":[]})", -1, false},
        {120, R"({"count":1,"filelist":[]})", -1, false},
        {120, R"({"count":1,"totalCount":1})", -1, true},
        {120, R"({"count":1,"totalCount":1,"filelist":{}})", -1, true},
        {120, R"({"count":1,"totalCount":1,"filelist":[{"name":"a"},null]})", -1, true},
        {124, R"({"count":1,"totalCount":1,"filelist":[]})", -1, false},  // 124 needs "totalSize"
        {155, R"({"count":1,"totalCount":1,"filelist":[null]})", -1, true},
        {121, "", -1, false},
        {121, R"({"totalSize":1})", -1, false},
        {120, R"({"count":0,"totalCount":4,"filelist":[]})", 0, true},
        {124, R"({"count":0,"totalCount":4,"totalSize":0,"filelist":[]})", 0, true},
        {155, R"({"count":0,"totalCount":4,"filelist":[]})", 0, true},
        {125, R"({"anything":1})", 0, false},
    };
    for (const auto &c : cases) {
        Reply r(c.cmd, c.data);
        EXPECT_EQ(r.result, c.result) << c.cmd << " " << c.data;
        EXPECT_EQ(r.ci.file_list != nullptr, c.holder) << c.cmd << " " << c.data;
        if (c.result == 0 && r.ci.file_list) {
            EXPECT_EQ(r.ci.file_list->totalCount, 4);
        }
    }
}

// A nonzero header "error" is the result whatever the parser did; what it built is still freed.
TEST(TypeParsers, HeaderErrorReplacesResult) {
    for (int cmd : {120, 124, 123, 155, 121, 158}) {
        Reply ok(cmd, R"({"count":0,"totalCount":0,"totalSize":0,"filelist":[],"albumList":[]})", 4001);
        EXPECT_EQ(ok.result, 4001) << cmd;
        Reply bad(cmd, "", 4002);
        EXPECT_EQ(bad.result, 4002) << cmd;
    }
}

// ---- client-side album grouping ----

TEST(AlbumGrouping, GroupsByParentAndBucket) {
    std::string files;
    for (int i = 0; i < 6; ++i)
        files += R"({"parent_id":5,"userId":1,"data":)" + std::to_string(100 + i) + R"(,"path":"/a/b/f)" +
                 std::to_string(i) + R"(.jpg"},)";
    files += R"({"parent_id":5,"userId":2,"path":"c.jpg","isStore":1},{"parent_id":5})";
    client_info ci{};
    std::string data = R"({"data":{"count":8,"totalCount":8,"filelist":[)" + files + "]}}";
    ci.r_json = json_tokener_parse(data.c_str());
    ASSERT_NE(ci.r_json, nullptr);
    EXPECT_EQ(parser_FileGetAlbumList(&ci, 0, 0, nullptr), 0);
    json_object_put(ci.r_json);
    ASSERT_NE(ci.file_list, nullptr);
    file_dnode *second = ci.file_list->list;
    ASSERT_NE(second, nullptr);
    file_dnode *first = second->next;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(first->count, 6);
    EXPECT_EQ(first->type_count, 4u);
    EXPECT_STREQ(first->path, "/a/b");
    EXPECT_STREQ(first->name, "b");
    EXPECT_EQ(first->date, 100);
    EXPECT_EQ(item_paths(first),
              (std::vector<std::string>{"/a/b/f0.jpg", "/a/b/f1.jpg", "/a/b/f2.jpg", "/a/b/f3.jpg"}));
    EXPECT_EQ(first->type_list[4], nullptr);
    EXPECT_EQ(second->bucketId, 2);
    EXPECT_STREQ(second->path, "");
    EXPECT_EQ(second->isStore, 1);
    EXPECT_EQ(item_paths(second), (std::vector<std::string>{"/c.jpg"}));
    ppc_destory_file_list(ci.file_list->list);
    std::free(ci.file_list);
}
