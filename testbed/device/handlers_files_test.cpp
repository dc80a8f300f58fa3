// The emulator's file attribute, type list and user space replies, read with the raw test client.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "device.h"
#include "emu_test_util.h"
#include "raw_test_client.h"

namespace {

namespace fs = std::filesystem;

using emutest::Json;
using emutest::key;
using emutest::member;

// A device serving a fresh folder with a few files.
struct FilesBed {
    std::string root;
    std::unique_ptr<qvemu::Device> dev;
    bool started = false;

    FilesBed() {
        char tmpl[] = "/tmp/qvemu-files-XXXXXX";
        root = ::mkdtemp(tmpl);
        fs::create_directories(root + "/photos/2024");
        write("/photos/2024/a.jpg", 100);
        write("/photos/b.png", 20);
        write("/music/c.mp3", 7);
        write("/docs/d.txt", 3);
        dev = std::make_unique<qvemu::Device>(root, "127.0.0.5", 0);
        started = dev->start();
    }
    ~FilesBed() {
        for (const auto &v : dev->violations()) ADD_FAILURE() << v.what << ": " << v.request;
        dev->stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void write(const std::string &rel, size_t n) {
        fs::create_directories(fs::path(root + rel).parent_path());
        std::ofstream(root + rel) << std::string(n, 'x');
    }

    // Sends one enciphered command and returns the parsed reply envelope.
    Json command(int cmd, const std::string &data) {
        rawtest::RawClient c(dev->address(), dev->port());
        EXPECT_TRUE(c.connected());
        std::string text = R"({ "data": )" + data + R"(, "header": { "cmd": )" + std::to_string(cmd) +
                           R"(, "token": 5, "seq": 3, "error": 0 } })";
        if (data.empty()) text = rawtest::header_only(cmd, 5, 3);
        rawtest::BlockSpec spec;
        spec.host = dev->address();
        std::string body = rawtest::client_encipher(text, key());
        if (!c.send_request(rawtest::request_block(spec, body.size()), body)) return nullptr;
        auto r = c.read_reply();
        if (!r) return nullptr;
        std::string b = r->body;
        if (r->get("Content-Encoding") == "gzip") b = rawtest::gunzip(b).value_or("");
        if (r->get("Encrypt") == "aes") {
            rawtest::aes_block0(b, key(), false);
            b = b.substr(0, b.find('\0'));
        }
        return Json(json_tokener_parse(b.c_str()));
    }
};

int header_error(json_object *env) {
    return json_object_get_int(member(member(env, "header"), "error"));
}

}  // namespace

TEST(DeviceFiles, AttributesOfFileAndFolder) {
    FilesBed bed;
    ASSERT_TRUE(bed.started) << bed.dev->last_error();
    Json env = bed.command(
        105, R"([ { "path": "\/photos\/b.png", "srcBucketId": 1, "thumbnailType": 0, "attrFlag": 1 } ])");
    ASSERT_TRUE(env);
    EXPECT_EQ(header_error(env.get()), 0);
    json_object *a = json_object_array_get_idx(member(env.get(), "data"), 0);
    ASSERT_NE(a, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat((bed.root + "/photos/b.png").c_str(), &st), 0);
    EXPECT_EQ(json_object_get_int64(member(a, "fileSize")), 20);
    EXPECT_EQ(json_object_get_int64(member(a, "data")), st.st_mtime);
    EXPECT_EQ(json_object_get_int(member(a, "mode")) & 0xffff, static_cast<int>(st.st_mode & 0xffff));
    EXPECT_TRUE(json_object_is_type(member(a, "tagList"), json_type_array));

    Json dir = bed.command(
        105, R"([ { "path": "\/photos", "srcBucketId": 1, "thumbnailType": 0, "attrFlag": 1 } ])");
    json_object *d = json_object_array_get_idx(member(dir.get(), "data"), 0);
    EXPECT_EQ(json_object_get_int(member(d, "totalFolderCount")), 1);
    EXPECT_EQ(json_object_get_int(member(d, "totalFileCount")), 1);

    Json missing =
        bed.command(105, R"([ { "path": "\/nope", "srcBucketId": 1, "thumbnailType": 0, "attrFlag": 1 } ])");
    EXPECT_NE(header_error(missing.get()), 0);
    Json escape = bed.command(
        105, R"([ { "path": "\/..\/etc", "srcBucketId": 1, "thumbnailType": 0, "attrFlag": 1 } ])");
    EXPECT_NE(header_error(escape.get()), 0);
}

TEST(DeviceFiles, TypeListsPageAndFilter) {
    FilesBed bed;
    ASSERT_TRUE(bed.started) << bed.dev->last_error();
    Json images = bed.command(
        120, R"([ { "fileType": 1, "sortType": 0, "offset": 0, "length": 1, "childCount": 0 } ])");
    ASSERT_TRUE(images);
    json_object *data = member(images.get(), "data");
    EXPECT_EQ(json_object_get_int(member(data, "count")), 1);
    EXPECT_EQ(json_object_get_int(member(data, "totalCount")), 2);
    json_object *e = json_object_array_get_idx(member(data, "filelist"), 0);
    EXPECT_STREQ(json_object_get_string(member(e, "path")), "/photos/2024/a.jpg");
    EXPECT_STREQ(json_object_get_string(member(e, "name")), "a.jpg");
    EXPECT_EQ(json_object_get_int64(member(e, "size")), 100);

    Json multi = bed.command(
        158,
        R"([ { "typeList": [ 1, 3 ], "sortType": 0, "offset": 1, "length": 10, "childCount": 2, "filterFlag": 1 } ])");
    data = member(multi.get(), "data");
    EXPECT_EQ(json_object_get_int(member(data, "totalCount")), 3);
    EXPECT_EQ(json_object_array_length(member(data, "filelist")), 2u);

    Json totals = bed.command(121, R"([ { "fileType": 1 } ])");
    data = member(totals.get(), "data");
    EXPECT_EQ(json_object_get_int(member(data, "totalCount")), 2);
    EXPECT_EQ(json_object_get_int64(member(data, "totalSize")), 120);
}

TEST(DeviceFiles, UserSpace) {
    FilesBed bed;
    ASSERT_TRUE(bed.started) << bed.dev->last_error();
    Json env = bed.command(148, "");
    ASSERT_TRUE(env);
    json_object *u = json_object_array_get_idx(member(env.get(), "data"), 0);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(json_object_get_int64(member(u, "usedSpace")), 130);
    for (const char *k : {"userName", "allocateSpace", "diskTotalSize", "diskFreeSize"})
        EXPECT_NE(member(u, k), nullptr) << k;
    EXPECT_GT(json_object_get_int64(member(u, "diskTotalSize")), 0);
}

// Recent records, newest first: a folder of several files is one aggregation (its entries up to
// "childCount", its counts of pictures and videos), read back whole by 161 under its id; a folder of one
// file is a single-file record.
TEST(DeviceFiles, RecentRecordsAggregateAFoldersFiles) {
    FilesBed bed;
    ASSERT_TRUE(bed.started) << bed.dev->last_error();
    bed.write("/photos/e.jpg", 5);
    bed.write("/photos/v.mp4", 9);
    const auto at = [&](const char *rel, int64_t t) {
        fs::last_write_time(bed.root + rel, fs::file_time_type::clock::now() - std::chrono::hours(t));
    };
    at("/docs/d.txt", 1);  // newest
    at("/photos/b.png", 2);
    at("/photos/e.jpg", 3);
    at("/photos/v.mp4", 4);
    at("/photos/2024/a.jpg", 5);
    at("/music/c.mp3", 6);
    Json env = bed.command(151, R"([ { "offset": 0, "length": 10, "childCount": 2 } ])");
    ASSERT_TRUE(env);
    ASSERT_EQ(header_error(env.get()), 0);
    json_object *data = member(env.get(), "data");
    EXPECT_EQ(json_object_get_int(member(data, "totalCount")), 4);
    json_object *list = member(data, "recordsList");
    ASSERT_EQ(json_object_array_length(list), 4u);
    const auto rec = [&](size_t i) { return json_object_array_get_idx(list, i); };
    const auto text = [](json_object *o, const char *k) {
        return std::string(json_object_get_string(member(o, k)));
    };
    EXPECT_EQ(text(rec(0), "path"), "/docs/d.txt");
    EXPECT_EQ(json_object_get_int(member(rec(0), "type")), 0);
    EXPECT_EQ(member(rec(0), "aggregateList"), nullptr);
    json_object *agg = rec(1);
    EXPECT_EQ(json_object_get_int(member(agg, "type")), 1);
    EXPECT_EQ(text(agg, "path"), "/photos/b.png");  // the newest file stands for the aggregation
    EXPECT_EQ(json_object_get_int(member(agg, "count")), 2);
    EXPECT_EQ(json_object_get_int(member(agg, "totalCount")), 3);
    EXPECT_EQ(json_object_get_int(member(agg, "picture_count")), 2);
    EXPECT_EQ(json_object_get_int(member(agg, "vedeo_count")), 1);
    json_object *entries = member(agg, "aggregateList");
    ASSERT_EQ(json_object_array_length(entries), 2u);
    EXPECT_EQ(text(json_object_array_get_idx(entries, 0), "name"), "b.png");
    EXPECT_EQ(text(json_object_array_get_idx(entries, 1), "name"), "e.jpg");
    EXPECT_EQ(text(rec(2), "path"), "/photos/2024/a.jpg");
    EXPECT_EQ(text(rec(3), "path"), "/music/c.mp3");
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(json_object_get_int(member(rec(i), "logId")), static_cast<int>(i + 1));

    Json all = bed.command(161, "[ { \"offset\": 0, \"length\": 10, \"aggregationId\": " +
                                    std::to_string(json_object_get_int(member(agg, "aggregateId"))) + " } ]");
    data = member(all.get(), "data");
    EXPECT_EQ(json_object_get_int(member(data, "totalCount")), 3);
    EXPECT_EQ(json_object_array_length(member(data, "recordsList")), 3u);
    Json none = bed.command(161, R"([ { "offset": 0, "length": 10, "aggregationId": 99 } ])");
    EXPECT_NE(header_error(none.get()), 0);

    // A later page keeps the numbering.
    Json page = bed.command(151, R"([ { "offset": 2, "length": 1, "childCount": 0 } ])");
    json_object *third = json_object_array_get_idx(member(member(page.get(), "data"), "recordsList"), 0);
    EXPECT_EQ(json_object_get_int(member(third, "logId")), 3);
}

// 125 takes the files of one type under a folder out of the type listings; the files and other types stay.
TEST(DeviceFiles, RemovedTypeListLeavesTheListingsNotTheFolder) {
    FilesBed bed;
    ASSERT_TRUE(bed.started) << bed.dev->last_error();
    bed.write("/photos/2024/f.mp3", 4);
    Json removed = bed.command(
        125, R"([ { "fileType": 1, "path": "\/photos\/2024\/", "srcUserId": 1, "srcBucketId": 1 } ])");
    ASSERT_TRUE(removed);
    EXPECT_EQ(header_error(removed.get()), 0);
    EXPECT_EQ(member(removed.get(), "data"), nullptr);
    const auto total = [&](int cmd, const std::string &data) {
        Json env = bed.command(cmd, data);
        return json_object_get_int(member(member(env.get(), "data"), "totalCount"));
    };
    EXPECT_EQ(
        total(120, R"([ { "fileType": 1, "sortType": 0, "offset": 0, "length": 0, "childCount": 0 } ])"), 1);
    EXPECT_EQ(
        total(
            124,
            R"([ { "fileType": 1, "sortType": 0, "path": "\/photos", "offset": 0, "length": 0, "srcUserId": 1, "srcBucketId": 1 } ])"),
        1);
    EXPECT_EQ(
        total(123, R"([ { "fileType": 1, "sortType": 0, "offset": 0, "length": 0, "childCount": 1 } ])"), 1);
    EXPECT_EQ(
        total(120, R"([ { "fileType": 3, "sortType": 0, "offset": 0, "length": 0, "childCount": 0 } ])"), 2);
    EXPECT_TRUE(fs::exists(bed.root + "/photos/2024/a.jpg"));
    EXPECT_EQ(total(151, R"([ { "offset": 0, "length": 10, "childCount": 0 } ])"), 4);

    for (const char *bad :
         {R"([ { "fileType": 1, "path": "\/none", "srcUserId": 1, "srcBucketId": 1 } ])",
          R"([ { "fileType": 1, "path": "\/docs\/d.txt", "srcUserId": 1, "srcBucketId": 1 } ])",
          R"([ { "fileType": 1, "path": "\/..\/etc", "srcUserId": 1, "srcBucketId": 1 } ])",
          R"([ { "fileType": 1 } ])"}) {
        Json env = bed.command(125, bad);
        EXPECT_NE(header_error(env.get()), 0) << bad;
    }
}
