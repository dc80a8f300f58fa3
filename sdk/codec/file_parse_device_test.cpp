#include "codec/file_parse_device.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

// A zeroed record with the caller's records hung on it.
struct Rec : parse_harness::Record {
    soft_version_info svi;
    ota_info ota;
    p2p_client_info p2p;
    Rec() {
        std::memset(&svi, 0, sizeof svi);
        std::memset(&ota, 0, sizeof ota);
        std::memset(&p2p, 0, sizeof p2p);
        ci.svi = &svi;
        ci.otaInfo = &ota;
        ci.p2pInfo = &p2p;
    }
    int parse(int cmd, const std::string &text) {
        ci.cmd = cmd;
        receive(text.c_str());
        return file_parse_process(&ci);
    }
};

std::string reply(int cmd, const std::string &data, int error = 0) {
    std::string s =
        "{\"header\":{\"cmd\":" + std::to_string(cmd) + ",\"error\":" + std::to_string(error) + "}";
    if (!data.empty()) s += ",\"data\":" + data;
    return s + "}";
}

using TaskPtr = std::unique_ptr<client_file_task, decltype(&client_file_task_free)>;
TaskPtr new_task() {
    return TaskPtr(client_file_task_new(), &client_file_task_free);
}

using DeviceReplies = parse_harness::Quiet;

}  // namespace

TEST_F(DeviceReplies, RowParsers) {
    const std::string v40(40, 'v'), d100(100, 'd'), t40(40, 't'), ip20 = "123.123.123.123.1234";
    struct Case {
        const char *what;
        int cmd;
        std::string text;
        int result;
        std::function<void(const Rec &)> check;
    };
    const std::vector<Case> cases = {
        // 104 path exists
        {"exists", 104, reply(104, R"([{"status":1}])"), 0, [](const Rec &r) { EXPECT_EQ(r.ci.status, 1); }},
        {"exists without data", 104, reply(104, ""), 0, [](const Rec &r) { EXPECT_EQ(r.ci.status, -7); }},
        {"exists, empty data", 104, reply(104, "[]"), -1, [](const Rec &r) { EXPECT_EQ(r.ci.status, -7); }},
        {"exists without status", 104, reply(104, "[{}]"), -1, nullptr},
        {"exists, device error", 104, reply(104, R"([{"status":1}])", 13), 13, nullptr},
        // 163 firmware update, whole reply
        {"update offered", 163,
         reply(163, R"({"status":1,"delay":30,"verinfo":{"version":"2.0"},"force":1})"), 0,
         [](const Rec &r) {
             EXPECT_EQ(r.ci.status, 1);
             EXPECT_EQ(r.ci.delay, 30);
             EXPECT_STREQ(r.ci.ver, "2.0");
             EXPECT_EQ(r.ci.force, 1);
         }},
        {"update, version cut", 163,
         reply(163, "{\"status\":1,\"delay\":1,\"verinfo\":{\"version\":\"" + v40 + "\"}}"), 0,
         [&](const Rec &r) { EXPECT_EQ(std::string(r.ci.ver), v40.substr(0, 31)); }},
        {"update status 2", 163,
         reply(163, R"({"status":2,"delay":30,"verinfo":{"version":"2.0"},"force":1})"), 0,
         [](const Rec &r) {
             EXPECT_EQ(r.ci.status, 2);
             EXPECT_EQ(r.ci.delay, -7);
             EXPECT_STREQ(r.ci.ver, "old");
             EXPECT_EQ(r.ci.force, 1);
         }},
        {"update without delay", 163, reply(163, R"({"status":1})"), -1,
         [](const Rec &r) { EXPECT_EQ(r.ci.status, 1); }},
        {"update without verinfo", 163, reply(163, R"({"status":1,"delay":2})"), 0,
         [](const Rec &r) {
             EXPECT_STREQ(r.ci.ver, "old");
             EXPECT_EQ(r.ci.force, 0);
         }},
        {"update without status", 163, reply(163, R"({"delay":2})"), -1, nullptr},
        {"update without data", 163, reply(163, ""), -1, nullptr},
        // 164 version check
        {"newer firmware", 164,
         reply(
             164,
             R"({"status":1,"verinfo":{"productId":"P","version":"V","description":"D","size":5000000000},"force":0})"),
         0,
         [](const Rec &r) {
             EXPECT_STREQ(r.svi.product, "P");
             EXPECT_STREQ(r.svi.version, "V");
             EXPECT_STREQ(r.svi.description, "D");
             EXPECT_EQ(r.svi.size, 5000000000LL);
         }},
        {"newer firmware without size", 164,
         reply(164, R"({"status":1,"verinfo":{"productId":"P","version":"V","description":"D"}})"), -1,
         [](const Rec &r) {
             EXPECT_STREQ(r.svi.product, "P");
             EXPECT_STREQ(r.svi.description, "D");
             EXPECT_EQ(r.svi.size, 0);
         }},
        {"newer firmware without description", 164,
         reply(164, R"({"status":1,"verinfo":{"productId":"P","version":"V","size":1}})"), -1,
         [](const Rec &r) { EXPECT_EQ(r.svi.size, 0); }},
        {"newer firmware without version", 164,
         reply(164, R"({"status":1,"verinfo":{"productId":"P","description":"D","size":1}})"), -1,
         [](const Rec &r) { EXPECT_STREQ(r.svi.description, ""); }},
        {"newer firmware without productId", 164,
         reply(164, R"({"status":1,"verinfo":{"version":"V","description":"D","size":1}})"), -1,
         [](const Rec &r) { EXPECT_STREQ(r.svi.version, ""); }},
        {"newer firmware without verinfo", 164, reply(164, R"({"status":1})"), -1, nullptr},
        {"newer firmware, texts cut", 164,
         reply(164, "{\"status\":1,\"verinfo\":{\"productId\":\"" + v40 + "\",\"version\":\"" + v40 +
                        "\",\"description\":\"" + std::string(2000, 'x') + "\",\"size\":1}}"),
         0,
         [&](const Rec &r) {
             EXPECT_EQ(std::string(r.svi.product), v40.substr(0, 31));
             EXPECT_EQ(std::string(r.svi.description), std::string(1023, 'x'));
         }},
        {"no newer firmware", 164, reply(164, R"({"status":0,"force":1,"verinfo":{"productId":"P"}})"), 0,
         [](const Rec &r) {
             EXPECT_EQ(r.ci.status, 0);
             EXPECT_EQ(r.ci.force, 1);
             EXPECT_STREQ(r.svi.product, "");
         }},
        // 165 update status
        {"status, current version only", 165, reply(165, R"({"current_ver":"1.0"})"), 0,
         [](const Rec &r) {
             EXPECT_STREQ(r.ota.current_ver, "1.0");
             EXPECT_EQ(r.ota.status, 0);
             EXPECT_STREQ(r.ota.deviceId, "");
         }},
        {"status, everything", 165,
         reply(165,
               R"({"status":3,"process":40,"total":100,"deviceId":"D","target_ver":"2","current_ver":"1"})"),
         0,
         [](const Rec &r) {
             EXPECT_EQ(r.ota.status, 3);
             EXPECT_EQ(r.ota.process, 40);
             EXPECT_EQ(r.ota.total, 100);
             EXPECT_STREQ(r.ota.deviceId, "D");
             EXPECT_STREQ(r.ota.target_ver, "2");
         }},
        {"status, texts cut", 165,
         reply(165, "{\"deviceId\":\"" + d100 + "\",\"target_ver\":\"" + t40 + "\"}"), 0,
         [&](const Rec &r) {
             EXPECT_EQ(std::string(r.ota.deviceId), d100.substr(0, 64));
             EXPECT_EQ(std::string(r.ota.target_ver), t40.substr(0, 32));
         }},
        {"status without data", 165, reply(165, ""), 0, nullptr},
        // 170 P2P client information
        {"p2p", 170, reply(170, R"([{"p2p_mode":258,"nat_type":3,"ip_addr":"10.0.0.1"}])"), 0,
         [](const Rec &r) {
             EXPECT_EQ(r.p2p.mode, 2);  // the low byte
             EXPECT_EQ(r.p2p.nat_type, 3);
             EXPECT_STREQ(r.p2p.remote_ip, "10.0.0.1");
             EXPECT_EQ(r.p2p.remote_port, 0);
         }},
        {"p2p, address cut", 170,
         reply(170, "[{\"p2p_mode\":1,\"nat_type\":1,\"ip_addr\":\"" + ip20 + "\"}]"), 0,
         [&](const Rec &r) { EXPECT_EQ(std::string(r.p2p.remote_ip), ip20.substr(0, 15)); }},
        {"p2p without mode", 170, reply(170, R"([{"nat_type":3,"ip_addr":"1"}])"), -1,
         [](const Rec &r) { EXPECT_EQ(r.p2p.nat_type, 0); }},
        {"p2p without nat", 170, reply(170, R"([{"p2p_mode":3,"ip_addr":"1"}])"), -1,
         [](const Rec &r) { EXPECT_EQ(r.p2p.mode, 0); }},
        {"p2p without address", 170, reply(170, R"([{"p2p_mode":3,"nat_type":3}])"), -1,
         [](const Rec &r) { EXPECT_EQ(r.p2p.mode, 0); }},
        {"p2p, empty data", 170, reply(170, "[]"), -1, nullptr},
        {"p2p without data", 170, reply(170, ""), 0, nullptr},
        // 173 device operation, whole reply
        {"operation", 173, reply(173, R"({"status":4})"), 0, [](const Rec &r) { EXPECT_EQ(r.ci.status, 4); }},
        {"operation without data", 173, reply(173, ""), 0, [](const Rec &r) { EXPECT_EQ(r.ci.status, -7); }},
        {"operation without status", 173, reply(173, "{}"), 0,
         [](const Rec &r) { EXPECT_EQ(r.ci.status, -7); }},
        // 174 reverse push, whole reply
        {"push", 174, reply(174, R"([{"sequenceId":42}])"), 0,
         [](const Rec &r) { EXPECT_EQ(r.ci.status, -7); }},
        {"push, empty data", 174, reply(174, "[]"), -1, nullptr},
        {"push without sequenceId", 174, reply(174, "[{}]"), -1, nullptr},
        {"push without data", 174, reply(174, ""), -1, nullptr},
        {"push, device error", 174, reply(174, "[]", 21), 21, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Rec r;
        r.ci.status = -7;
        r.ci.delay = -7;
        std::strcpy(r.ci.ver, "old");
        EXPECT_EQ(r.parse(c.cmd, c.text), c.result);
        EXPECT_EQ(r.ci.r_json, nullptr);
        if (c.check) c.check(r);
    }
}

// Without the caller's record the parsers that need it refuse instead of writing through null.
TEST_F(DeviceReplies, MissingCallerRecords) {
    Rec r;
    r.ci.svi = nullptr;
    r.ci.otaInfo = nullptr;
    r.ci.p2pInfo = nullptr;
    EXPECT_EQ(
        r.parse(
            164,
            reply(164,
                  R"({"status":1,"verinfo":{"productId":"P","version":"V","description":"D","size":1}})")),
        -1);
    EXPECT_EQ(r.parse(164, reply(164, R"({"status":0})")), 0);
    EXPECT_EQ(r.parse(165, reply(165, R"({"status":1})")), -1);
    EXPECT_EQ(r.parse(170, reply(170, R"([{"p2p_mode":1,"nat_type":1,"ip_addr":"1"}])")), -1);
}

// ---- streamed replies ----

namespace {

// Feeds chunks to the task's parser as the chunk reader does: parser, then the progress callback;
// a nonzero parser result ends the exchange. Returns that result (0 when every chunk was taken) and
// the number of progress callbacks.
struct Progress {
    int32_t status;
    int64_t cur, total;
};
std::vector<Progress> *g_seen = nullptr;
void record_progress(client_file_task *t) {
    g_seen->push_back({t->status.load(), t->cur_progress.load(), t->total_progress.load()});
}

int feed(client_file_task *task, const std::vector<std::string> &chunks, std::vector<Progress> *seen) {
    g_seen = seen;
    task->chunk_cb = record_progress;
    for (const std::string &c : chunks) {
        const int rc = task->parse_cb(c.c_str(), task);
        if (rc != 0) return rc;
        task->chunk_cb(task);
    }
    return 0;
}

std::string opt_chunk(const std::string &data, const std::string &header = R"({"error":0})") {
    std::string s = "{\"header\":" + header;
    if (!data.empty()) s += ",\"data\":" + data;
    return s + "}";
}

}  // namespace

TEST_F(DeviceReplies, OperationProgressChunkByChunk) {
    auto task = new_task();
    task->parse_cb = parser_FileTaskOpt;
    std::vector<Progress> seen;
    EXPECT_EQ(feed(task.get(),
                   {opt_chunk(R"([{"status":0,"curCount":3,"totalCount":9}])"),  // counting: counts ignored
                    opt_chunk(R"([{"status":1,"curCount":3,"totalCount":9}])"),
                    opt_chunk(R"([{"curCount":4}])"),                   // status stays 1
                    opt_chunk(""),                                      // no data: taken
                    opt_chunk(R"([{"status":1,"curCount":9}])", "{}"),  // no "error": 0
                    opt_chunk(R"([{"status":2,"curCount":100,"totalCount":100}])")},
                   &seen),
              0);
    ASSERT_EQ(seen.size(), 6u);
    const std::vector<std::vector<int64_t>> want = {{0, 0, 0}, {1, 3, 9}, {1, 4, 9},
                                                    {1, 4, 9}, {1, 9, 9}, {2, 9, 9}};
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(seen[i].status, want[i][0]) << i;
        EXPECT_EQ(seen[i].cur, want[i][1]) << i;
        EXPECT_EQ(seen[i].total, want[i][2]) << i;
    }
}

TEST_F(DeviceReplies, OperationProgressEndings) {
    struct Case {
        const char *chunk;
        int result;
    };
    const Case cases[] = {
        {R"({"header":{"error":13},"data":[{"status":2}]})", 13},
        {R"({"header":{"error":0},"data":[]})", -1},
        {R"({"header":{"error":0},"data":{"status":2}})", -1},  // data not an array
        {R"({"data":[{"status":2}]})", -1},
        {"not json", -1},
        {"", -1},
    };
    for (const Case &c : cases) {
        auto task = new_task();
        task->status = 1;
        task->cur_progress = 5;
        EXPECT_EQ(parser_FileTaskOpt(c.chunk, task.get()), c.result) << c.chunk;
        EXPECT_EQ(task->status, 1) << c.chunk;  // the task keeps what the previous chunk left
        EXPECT_EQ(task->cur_progress, 5) << c.chunk;
    }
    auto task = new_task();
    EXPECT_EQ(parser_FileTaskOpt(nullptr, task.get()), -1);
    std::vector<Progress> seen;
    task->parse_cb = parser_FileTaskOpt;
    EXPECT_EQ(
        feed(task.get(),
             {opt_chunk(R"([{"status":1,"curCount":1,"totalCount":2}])"), opt_chunk("[]", R"({"error":7})")},
             &seen),
        7);
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(DeviceReplies, FirmwareUpdateChunks) {
    auto task = new_task();
    task->parse_cb = parser_FileTaskOta;
    std::vector<Progress> seen;
    // "W3sidGFzayI6MX1d" is the Base64 of [{"task":1}]; "e30=" of {}.
    EXPECT_EQ(
        feed(task.get(),
             {R"({"header":{"cmd":163},"data":{"status":1,"delay":30,"verinfo":{"version":"3.1"}}})",
              R"({"header":{"cmd":163},"data":{"process":10,"total":100,"reserved":"W3sidGFzayI6MX1d"}})",
              R"({"header":{"cmd":163},"data":{"process":20,"total":100}})",
              R"({"header":{"cmd":163},"data":{"process":30}})",  // no total: counts half written
              R"({"header":{"cmd":163},"data":{"status":4,"process":99,"total":99}})",  // status branch only
              R"({"header":{"cmd":163}})", "not json", R"({"data":{"other":1}})"},
             &seen),
        0);
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[0].status, 1);
    EXPECT_EQ(seen[1].cur, 10);
    EXPECT_EQ(seen[1].total, 100);
    EXPECT_EQ(seen[3].cur, 30);
    EXPECT_EQ(seen[3].total, 100);
    EXPECT_EQ(seen[4].status, 4);
    EXPECT_EQ(seen[4].cur, 30);
    EXPECT_EQ(task->delay, 30);
    EXPECT_STREQ(task->version, "3.1");
    ASSERT_NE(task->reserved, nullptr);
    EXPECT_STREQ(task->reserved, "[{\"task\":1}]");

    // A later chunk's text replaces the earlier one; an undecodable one leaves none.
    EXPECT_EQ(parser_FileTaskOta(R"({"data":{"process":1,"total":2,"reserved":"e30="}})", task.get()), 0);
    EXPECT_STREQ(task->reserved, "{}");
    EXPECT_EQ(parser_FileTaskOta(R"({"data":{"process":1,"total":2,"reserved":"e30"}})", task.get()), 0);
    EXPECT_EQ(task->reserved, nullptr);
    EXPECT_EQ(parser_FileTaskOta(nullptr, task.get()), 0);
}

TEST_F(DeviceReplies, ReservedTextMustBeStrictBase64) {
    struct Case {
        const char *b64;
        const char *decoded;  // null: refused
    };
    const Case cases[] = {
        {"", ""},          {"QQ==", "A"},     {"QUI=", "AB"},      {"QUJD", "ABC"},       {"e30=", "{}"},
        {"QUJ", nullptr},  {"QR==", nullptr}, {"QUJ=", nullptr},   {"QQ=A", nullptr},     {"=QQQ", nullptr},
        {"Q===", nullptr}, {"QU!D", nullptr}, {"QUJD\n", nullptr}, {"QQ==QUJD", nullptr}, {"-_-_", nullptr},
    };
    for (const Case &c : cases) {
        auto task = new_task();
        task->reserved = strdup("earlier");
        const std::string chunk =
            std::string(R"({"data":{"process":1,"total":2,"reserved":")") + c.b64 + "\"}}";
        EXPECT_EQ(parser_FileTaskOta(chunk.c_str(), task.get()), 0);
        if (c.decoded == nullptr) {
            EXPECT_EQ(task->reserved, nullptr) << c.b64;
        } else {
            ASSERT_NE(task->reserved, nullptr) << c.b64;
            EXPECT_STREQ(task->reserved, c.decoded) << c.b64;
        }
    }
}

TEST_F(DeviceReplies, DeviceOperationChunks) {
    auto task = new_task();
    task->parse_cb = parser_DeviceTaskExec;
    std::vector<Progress> seen;
    EXPECT_EQ(feed(task.get(),
                   {R"({"data":[{"devStatus":2,"status":1,"curProcess":5,"totalProcess":50}]})",
                    R"({"data":[{"curProcess":6,"totalProcess":50}]})",
                    R"({"data":[{"status":3,"curProcess":7}]})",  // no total: the rest stays written
                    R"({"data":[]})", R"({"header":{}})", "nope", R"({"data":[{"totalProcess":9}]})"},
                   &seen),
              0);
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[0].cur, 5);
    EXPECT_EQ(seen[0].total, 50);
    EXPECT_EQ(seen[1].status, 1);
    EXPECT_EQ(seen[2].status, 3);
    EXPECT_EQ(seen[2].cur, 7);
    EXPECT_EQ(seen[2].total, 50);
    EXPECT_EQ(seen[6].total, 50);  // curProcess missing: totalProcess is not read
    EXPECT_EQ(task->dev_status, 2);
    EXPECT_EQ(parser_DeviceTaskExec(nullptr, task.get()), 0);
}

TEST_F(DeviceReplies, ReversePushChunks) {
    auto task = new_task();
    EXPECT_EQ(parser_FileTaskConnectDevice(R"({"data":{"status":1}})", task.get()), 0);
    EXPECT_EQ(task->status, 1);
    EXPECT_EQ(task->usb_value, nullptr);

    EXPECT_EQ(
        parser_FileTaskConnectDevice(
            R"({"data":{"status":0,"usbInfo":{"usbValue":"{\"status\":0}"},"userdbInfo":{"userdbValue":"u1"},)"
            R"("recentdbInfo":{"recentdbValue":"r1"}}})",
            task.get()),
        0);
    ASSERT_NE(task->usb_value, nullptr);
    EXPECT_STREQ(task->usb_value, "{\"status\":0}");
    EXPECT_STREQ(task->userdb_value, "u1");
    EXPECT_STREQ(task->recentdb_value, "r1");

    // Texts left in their slots are replaced (the old copies freed), missing ones stay.
    EXPECT_EQ(parser_FileTaskConnectDevice(R"({"data":{"usbInfo":{},"userdbInfo":{"userdbValue":"u2"}}})",
                                           task.get()),
              0);
    EXPECT_STREQ(task->usb_value, "{\"status\":0}");
    EXPECT_STREQ(task->userdb_value, "u2");
    EXPECT_STREQ(task->recentdb_value, "r1");

    for (const char *bad : {"not json", R"({"header":{}})", ""})
        EXPECT_EQ(parser_FileTaskConnectDevice(bad, task.get()), -1) << bad;
    EXPECT_EQ(parser_FileTaskConnectDevice(nullptr, task.get()), -1);
    EXPECT_EQ(parser_FileTaskConnectDevice(R"({"data":{}})", task.get()), 0);
    EXPECT_STREQ(task->userdb_value, "u2");
}
