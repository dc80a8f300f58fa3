// The emulator's file attribute, type list and user space replies, read with the raw test client.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

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
