#include "codec/file_parse_space.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

std::string envelope(int cmd, const std::string &data, int error = 0) {
    return R"({"header":{"cmd":)" + std::to_string(cmd) + R"(,"error":)" + std::to_string(error) + "}" +
           (data.empty() ? "" : R"(,"data":)" + data) + "}";
}

int apply(client_info &ci, int cmd, const std::string &data, int error = 0) {
    ci.cmd = cmd;
    ci.recv_buf = strdup(envelope(cmd, data, error).c_str());
    int r = file_parse_process(&ci);
    std::free(ci.recv_buf);
    ci.recv_buf = nullptr;
    return r;
}

using parse_harness::free_holder;
using parse_harness::names;

std::string gps_entry(const char *name, const char *skip = "") {
    std::string e = "{";
    auto add = [&](const char *k, const std::string &v) {
        if (std::strcmp(k, skip) != 0) e += std::string(e.size() > 1 ? "," : "") + "\"" + k + "\":" + v;
    };
    add("filePath", std::string("\"/g/") + name + "\"");
    add("fileName", std::string("\"") + name + "\"");
    add("GPSLongtitude", "113.25");
    add("GPSLatitude", "\"22.5\"");
    add("bucketId", "6");
    return e + "}";
}

}  // namespace

TEST(UserSpace, FieldsAndRequiredKeys) {
    const std::string full =
        R"([{"userName":"alice","usedSpace":5000000000,"allocateSpace":7,"diskTotalSize":8000000000,
            "diskFreeSize":3000000000,"systemSpaceSize":11,"limitSet":1}])";
    user_space_dnode us{};
    client_info ci{};
    ci.p_user_space_info = &us;
    ASSERT_EQ(apply(ci, 148, full), 0);
    EXPECT_STREQ(us.userName, "alice");
    EXPECT_EQ(us.usedSpace, 5000000000LL);
    EXPECT_EQ(us.allocateSpace, 7);
    EXPECT_EQ(us.diskTotalSize, 8000000000LL);
    EXPECT_EQ(us.diskFreeSize, 3000000000LL);
    EXPECT_EQ(us.sysSpaceSize, 11);
    EXPECT_EQ(us.limitSet, 1);

    struct Case {
        const char *data;
        int64_t sys;
    } fails[] = {
        {R"([{"userName":"a","usedSpace":1,"allocateSpace":1,"diskTotalSize":1,"systemSpaceSize":9}])", 9},
        {R"([{"usedSpace":1,"allocateSpace":1,"diskTotalSize":1,"diskFreeSize":1}])", 0},
        {R"([])", 0},
        {"", 0},
    };
    for (const auto &c : fails) {
        user_space_dnode u{};
        client_info c2{};
        c2.p_user_space_info = &u;
        EXPECT_EQ(apply(c2, 148, c.data), -1) << c.data;
        EXPECT_EQ(u.sysSpaceSize, c.sys) << c.data;
    }
    // A name longer than the inline array is cut and stays terminated.
    user_space_dnode u{};
    client_info c3{};
    c3.p_user_space_info = &u;
    std::string long_name(100, 'n');
    EXPECT_EQ(apply(c3, 148,
                    R"([{"userName":")" + long_name +
                        R"(","usedSpace":1,"allocateSpace":1,"diskTotalSize":1,"diskFreeSize":1}])"),
              0);
    EXPECT_EQ(std::strlen(u.userName), sizeof u.userName - 1);
    EXPECT_EQ(apply(c3, 148, full, 77), 77);
}

// The streamed parser fed chunk by chunk, as the chunked reply reader does: parse, deliver, release.
TEST(GpsStream, ChunksDeliveredOneByOne) {
    struct Seen {
        int64_t id;
        int32_t status;
        int32_t count;
        std::vector<std::string> names;
        double lat, lon;
    };
    static std::vector<Seen> seen;
    seen.clear();
    client_file_task *task = client_file_task_new();
    ASSERT_NE(task, nullptr);
    task->parse_cb = parser_FileTaskGPS;
    task->destroy_cb = destroy_FileTaskGPS;
    task->chunk_cb = [](client_file_task *t) {
        Seen s{t->id.load(), t->status.load(), t->file_list ? t->file_list->count : -1, {}, 0, 0};
        if (t->file_list) {
            s.names = names(t->file_list->list);
            if (t->file_list->list) {
                s.lat = t->file_list->list->latitude;
                s.lon = t->file_list->list->longtitude;
                EXPECT_EQ(t->file_list->list->size, 0);
                EXPECT_EQ(t->file_list->list->bucketId, 6);
                EXPECT_STREQ(t->file_list->list->path, "/g/p1");
            }
        }
        seen.push_back(s);
    };
    const std::string chunks[] = {
        envelope(157, R"([{"seq":7,"status":2}])"),
        envelope(157, R"([{"seq":7,"status":1,"curCount":2,"GPSFileList":[)" + gps_entry("p1") + "," +
                          gps_entry("p2") + "]}]"),
        envelope(157, R"([{"seq":-3,"status":1,"curCount":0,"GPSFileList":[]}])"),
    };
    for (const auto &c : chunks) {
        ASSERT_EQ(task->parse_cb(c.c_str(), task), 0);
        task->chunk_cb(task);
        task->destroy_cb(task);
        EXPECT_EQ(task->file_list, nullptr);
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].id, 7);
    EXPECT_EQ(seen[0].status, 2);
    EXPECT_TRUE(seen[0].names.empty());
    EXPECT_EQ(seen[1].count, 2);
    EXPECT_EQ(seen[1].names, (std::vector<std::string>{"p1", "p2"}));
    EXPECT_DOUBLE_EQ(seen[1].lat, 22.5);
    EXPECT_DOUBLE_EQ(seen[1].lon, 113.25);
    EXPECT_EQ(seen[2].id, -3);
    client_file_task_free(task);
}

TEST(GpsStream, FailingChunks) {
    struct Case {
        std::string text;
        size_t linked;  // entries left in the task's holder
        bool holder;
    } cases[] = {
        {envelope(157, R"([{"seq":1,"status":1,"curCount":2,"GPSFileList":[)" +
                           gps_entry("p1", "GPSLatitude") + "," + gps_entry("p2") + "]}]"),
         1, true},
        // The longitude key is spelled "GPSLongtitude"; the usual spelling counts as missing.
        {envelope(157, R"([{"seq":1,"status":1,"curCount":1,"GPSFileList":[{"filePath":"/a","fileName":"a",
            "GPSLongitude":1,"GPSLatitude":2,"bucketId":1}]}])"),
         0, true},
        {envelope(157, R"([{"seq":1,"status":1,"GPSFileList":[]}])"), 0, true},
        {envelope(157, R"([{"seq":1,"status":1,"curCount":1}])"), 0, true},
        {envelope(157, R"([{"seq":1}])"), 0, true},
        {envelope(157, R"([{"status":1}])"), 0, false},
        {envelope(157, R"({"seq":1})"), 0, false},
        {"not json", 0, false},
        {"", 0, false},
    };
    for (const auto &c : cases) {
        client_file_task *task = client_file_task_new();
        EXPECT_EQ(parser_FileTaskGPS(c.text.c_str(), task), -1) << c.text;
        EXPECT_EQ(task->file_list != nullptr, c.holder) << c.text;
        if (task->file_list) {
            EXPECT_EQ(names(task->file_list->list).size(), c.linked) << c.text;
        }
        destroy_FileTaskGPS(task);  // the owner frees a failed chunk's holder
        client_file_task_free(task);
    }
    EXPECT_EQ(parser_FileTaskGPS(nullptr, nullptr), -1);
    destroy_FileTaskGPS(nullptr);
}

TEST(GpsWhole, RunningCountAndOrder) {
    client_info ci{};
    ci.count = 4;
    const std::string three = R"([{"seq":9,"status":1,"curCount":3,"GPSFileList":[)" + gps_entry("a") + "," +
                              gps_entry("b") + "," + gps_entry("c") + "]}]";
    ASSERT_EQ(apply(ci, 157, three), 0);
    EXPECT_EQ(ci.seq, 9);
    EXPECT_EQ(ci.status, 1);
    EXPECT_EQ(ci.count, 7);
    ASSERT_NE(ci.file_list, nullptr);
    EXPECT_EQ(ci.file_list->count, 3);
    EXPECT_EQ(ci.file_list->totalCount, 7);
    EXPECT_EQ(names(ci.file_list->list), (std::vector<std::string>{"a", "b", "c"}));
    free_holder(ci.file_list);

    ASSERT_EQ(apply(ci, 157, R"([{"seq":9,"status":1,"curCount":0,"GPSFileList":[]}])"), 0);
    EXPECT_EQ(ci.count, 7);
    EXPECT_EQ(ci.file_list->totalCount, 7);
    free_holder(ci.file_list);

    ASSERT_EQ(apply(ci, 157, R"([{"seq":9,"status":0}])"), 0);
    ASSERT_NE(ci.file_list, nullptr);
    EXPECT_EQ(ci.file_list->list, nullptr);
    free_holder(ci.file_list);

    // Failing after the holder exists frees it.
    for (const std::string &data : {std::string(R"([{"seq":9,"status":1,"curCount":1,"GPSFileList":[)") +
                                        gps_entry("a", "bucketId") + "]}]",
                                    std::string(R"([{"seq":9,"status":1,"curCount":1}])"),
                                    std::string(R"([{"seq":9}])"), std::string(R"([{"status":1}])")}) {
        EXPECT_EQ(apply(ci, 157, data), -1) << data;
        EXPECT_EQ(ci.file_list, nullptr) << data;
    }
    EXPECT_EQ(apply(ci, 157, three, 5), 5);
    free_holder(ci.file_list);
}
