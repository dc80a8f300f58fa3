// Folder listing, search and upload check of the emulator, driven by the raw test client.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "emu_test_util.h"
#include "raw_test_client.h"

namespace {

using rawtest::BlockSpec;
using rawtest::RawClient;
using rawtest::RawReply;

using emutest::Json;
using emutest::key;

std::string decode(const RawReply &r, std::string body) {
    if (r.get("Content-Encoding") == "gzip") body = rawtest::gunzip(body).value_or("");
    if (r.get("Encrypt") == "aes") {
        EXPECT_TRUE(rawtest::aes_block0(body, key(), false));
        body = body.substr(0, body.find('\0'));
    }
    return body;
}

json_object *get(json_object *o, const char *k) {
    json_object *v = nullptr;
    json_object_object_get_ex(o, k, &v);
    return v;
}

// A served folder: a.txt (5 bytes), b.bin (3), photos/ with c.jpg and a_pic.jpg.
struct Tree {
    std::string root;
    Tree() {
        char tmpl[] = "/tmp/qvemu_files_XXXXXX";
        root = ::mkdtemp(tmpl);
        write("/a.txt", "hello");
        write("/b.bin", "abc");
        ::mkdir((root + "/photos").c_str(), 0755);
        write("/photos/c.jpg", "jpegdata");
        write("/photos/a_pic.jpg", "x");
    }
    ~Tree() { std::system(("rm -rf '" + root + "'").c_str()); }
    void write(const std::string &p, const std::string &text) { std::ofstream(root + p) << text; }
};

struct Bed {
    Tree tree;
    std::string addr;
    qvemu::Device dev;
    bool started;
    explicit Bed(const std::string &a) : addr(a), dev(tree.root, a, 0) { started = dev.start(); }

    std::optional<RawReply> send(RawClient &c, int cmd, int seq, const std::string &data) {
        const std::string text = "{ \"data\": " + data + ", \"header\": { \"cmd\": " + std::to_string(cmd) +
                                 ", \"token\": 5, \"seq\": " + std::to_string(seq) + ", \"error\": 0 } }";
        BlockSpec spec;
        spec.host = addr;
        const std::string body = rawtest::client_encipher(text, key());
        if (!c.send_request(rawtest::request_block(spec, body.size()), body)) return std::nullopt;
        return c.read_reply();
    }
    // One command on a new connection; the decoded reply envelope.
    Json command(int cmd, const std::string &data, int seq = 1) {
        RawClient c(addr, dev.port());
        auto r = send(c, cmd, seq, data);
        EXPECT_TRUE(r);
        if (!r) return Json();
        return Json(json_tokener_parse(decode(*r, r->body).c_str()));
    }
};

std::vector<std::string> names(json_object *list, const char *k) {
    std::vector<std::string> out;
    for (size_t i = 0; list && i < json_object_array_length(list); ++i)
        out.push_back(json_object_get_string(get(json_object_array_get_idx(list, i), k)));
    return out;
}

}  // namespace

TEST(FileHandlers, FolderListingPages) {
    Bed bed("127.0.0.20");
    ASSERT_TRUE(bed.started) << bed.dev.last_error();
    for (int cmd : {101}) {  // 185 is the hidden space: locked until 182
        Json all = bed.command(cmd, R"([{"path": "/", "srcBucketId": 3, "offset": 0, "length": 500}])");
        ASSERT_TRUE(all);
        json_object *data = get(all.get(), "data");
        EXPECT_EQ(json_object_get_int(get(data, "count")), 3);
        EXPECT_EQ(json_object_get_int(get(data, "totalCount")), 3);
        EXPECT_EQ(names(get(data, "filelist"), "name"),
                  (std::vector<std::string>{"a.txt", "b.bin", "photos"}));
        json_object *a = json_object_array_get_idx(get(data, "filelist"), 0);
        EXPECT_EQ(json_object_get_int64(get(a, "size")), 5);
        EXPECT_STREQ(json_object_get_string(get(a, "path")), "/a.txt");
        EXPECT_EQ(json_object_get_int(get(a, "bucket_id")), 3);
        EXPECT_EQ(json_object_get_int(get(json_object_array_get_idx(get(data, "filelist"), 2), "isFolder")),
                  1);
    }
    Json page = bed.command(101, R"([{"path": "/", "offset": 1, "length": 1}])");
    json_object *data = get(page.get(), "data");
    EXPECT_EQ(json_object_get_int(get(data, "count")), 1);
    EXPECT_EQ(json_object_get_int(get(data, "totalCount")), 3);
    EXPECT_EQ(names(get(data, "filelist"), "name"), (std::vector<std::string>{"b.bin"}));
    Json past = bed.command(101, R"([{"path": "/photos", "offset": 9, "length": 5}])");
    EXPECT_EQ(json_object_get_int(get(get(past.get(), "data"), "count")), 0);
    EXPECT_EQ(json_object_get_int(get(get(past.get(), "data"), "totalCount")), 2);
    for (const char *bad : {R"([{"path": "/nope"}])", R"([{"path": "/../etc"}])"}) {
        Json e = bed.command(101, bad);
        EXPECT_EQ(json_object_get_int(get(get(e.get(), "header"), "error")), 10202) << bad;
    }
}

TEST(FileHandlers, StorageDescribesTheServedFolder) {
    Bed bed("127.0.0.21");
    ASSERT_TRUE(bed.started);
    Json r = bed.command(100, "{}");
    json_object *disk = json_object_array_get_idx(get(get(r.get(), "data"), "diskInfoList"), 0);
    ASSERT_NE(disk, nullptr);
    EXPECT_GT(json_object_get_int64(get(disk, "size")), 0);
    EXPECT_NE(get(disk, "displayName"), nullptr);
}

TEST(FileHandlers, SearchInOneBody) {
    Bed bed("127.0.0.22");
    ASSERT_TRUE(bed.started);
    Json r = bed.command(113, R"([{"searchString": "a", "searchPath": "/"}])", 77);
    json_object *first = json_object_array_get_idx(get(r.get(), "data"), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(json_object_get_int(get(first, "seq")), 77);
    EXPECT_EQ(json_object_get_int(get(first, "status")), 1);
    EXPECT_EQ(json_object_get_int(get(first, "curCount")), 2);
    EXPECT_EQ(names(get(first, "fileList"), "filePath"),
              (std::vector<std::string>{"/a.txt", "/photos/a_pic.jpg"}));
}

TEST(FileHandlers, MultiSearchStreamsBatches) {
    Bed bed("127.0.0.23");
    ASSERT_TRUE(bed.started);
    RawClient c(bed.addr, bed.dev.port());
    auto r = bed.send(
        c, 117, 9, R"([{"condition": 0, "search_key_list": [{"search_key": ".", "search_key_type": 0}]}])");
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->has("Transfer-Encoding"));
    ASSERT_EQ(r->chunks.size(), 3u);  // 2 + 2 entries, then the closing batch
    std::vector<std::string> paths;
    std::vector<int> statuses;
    for (const auto &chunk : r->chunks) {
        Json env(json_tokener_parse(decode(*r, chunk).c_str()));
        ASSERT_TRUE(env);
        json_object *first = json_object_array_get_idx(get(env.get(), "data"), 0);
        EXPECT_EQ(json_object_get_int(get(first, "seq")), 9);
        statuses.push_back(json_object_get_int(get(first, "status")));
        for (const auto &p : names(get(first, "fileList"), "filePath")) paths.push_back(p);
    }
    EXPECT_EQ(statuses, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(paths, (std::vector<std::string>{"/a.txt", "/b.bin", "/photos/a_pic.jpg", "/photos/c.jpg"}));
}

TEST(FileHandlers, UploadCheckReportsWhatIsMissing) {
    Bed bed("127.0.0.24");
    ASSERT_TRUE(bed.started);
    Json unknown = bed.command(108, R"([{"path": "/new.txt", "fileSize": 10}])");
    EXPECT_EQ(json_object_get_int(get(get(unknown.get(), "data"), "status")), 0);
    EXPECT_EQ(get(get(unknown.get(), "data"), "count"), nullptr);

    Json partial = bed.command(108, R"([{"path": "/a.txt", "fileSize": 12}])");
    json_object *data = get(partial.get(), "data");
    EXPECT_EQ(json_object_get_int(get(data, "status")), 1);
    EXPECT_EQ(json_object_get_int(get(data, "count")), 1);
    json_object *range = json_object_array_get_idx(get(data, "incompleteInfo"), 0);
    EXPECT_EQ(json_object_get_int64(get(range, "start")), 5);
    EXPECT_EQ(json_object_get_int64(get(range, "end")), 12);

    Json complete = bed.command(108, R"([{"path": "/a.txt", "fileSize": 5}])");
    EXPECT_EQ(json_object_get_int(get(get(complete.get(), "data"), "count")), 0);
    EXPECT_EQ(json_object_array_length(get(get(complete.get(), "data"), "incompleteInfo")), 0u);
}
