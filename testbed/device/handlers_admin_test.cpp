// The emulator's administration, settings, hidden-space, timer and share handlers, driven by a raw
// client: state set by one command is what the next command reports.
#include "handlers_admin.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>
#include <string>

#include "device.h"
#include "emu_test_util.h"
#include "raw_test_client.h"

namespace {

using emutest::Json;
using emutest::key;
using emutest::member;

// One reply as the test reads it: the header error and "data" (null when absent).
struct Answer {
    Json env;
    int error = -1;
    json_object *data() const { return member(env.get(), "data"); }
    json_object *first() const {
        json_object *d = data();
        return (d && json_object_is_type(d, json_type_array) && json_object_array_length(d) > 0)
                   ? json_object_array_get_idx(d, 0)
                   : nullptr;
    }
    int i(const char *k) const { return json_object_get_int(member(first(), k)); }
    std::string s(const char *k) const {
        json_object *v = member(first(), k);
        return v ? json_object_get_string(v) : "";
    }
};

struct Bed {
    explicit Bed(const std::string &addr) : addr(addr), dev("/tmp", addr, 0) {
        dev.set_users({{"admin", 1, false}, {"ann", 7, true}});
        state = qvemu::install_admin_handlers(dev);
        started = dev.start();
        client = std::make_unique<rawtest::RawClient>(addr, dev.port());
    }
    std::string addr;
    qvemu::Device dev;
    std::shared_ptr<qvemu::AdminState> state;
    bool started = false;
    std::unique_ptr<rawtest::RawClient> client;

    // Sends one enciphered command with the given "data" text (none when empty).
    Answer call(int cmd, const std::string &data = "") {
        std::string text = "{ ";
        if (!data.empty()) text += "\"data\": " + data + ", ";
        text +=
            "\"header\": { \"cmd\": " + std::to_string(cmd) + ", \"token\": 99, \"seq\": 0, \"error\": 0 } }";
        rawtest::BlockSpec spec;
        spec.host = addr;
        const std::string body = rawtest::client_encipher(text, key());
        Answer a;
        if (!client->send_request(rawtest::request_block(spec, body.size()), body)) return a;
        auto r = client->read_reply();
        if (!r) return a;
        std::string plain = r->body;
        if (r->get("Encrypt") == "aes") {
            rawtest::aes_block0(plain, key(), false);
            plain = plain.substr(0, plain.find('\0'));
        }
        a.env.reset(json_tokener_parse(plain.c_str()));
        a.error = json_object_get_int(member(member(a.env.get(), "header"), "error"));
        return a;
    }
};

}  // namespace

TEST(EmuAdmin, PasswordNameAndFlags) {
    Bed bed("127.0.0.40");
    ASSERT_TRUE(bed.started) << bed.dev.last_error();
    EXPECT_EQ(bed.call(300).i("status"), 1);
    EXPECT_EQ(bed.call(301, R"([{"adminPassword": "first1"}])").error, 0);
    EXPECT_EQ(bed.call(300).i("status"), 0);
    EXPECT_EQ(bed.call(303, R"([{"adminPassword": "wrong"}])").error, 10017);
    EXPECT_EQ(bed.call(302, R"([{"adminPassword": "wrong", "newAdminPassword": "x"}])").error, 10017);
    EXPECT_EQ(bed.call(302, R"([{"adminPassword": "first1", "newAdminPassword": "second2"}])").error, 0);
    EXPECT_EQ(bed.call(303, R"([{"adminPassword": "second2"}])").error, 0);

    EXPECT_EQ(bed.call(172, R"([{"deviceNickName": "Den"}])").error, 0);
    EXPECT_EQ(bed.call(171).s("deviceNickName"), "Den");
    EXPECT_EQ(bed.call(304).s("deviceName"), "Den");

    EXPECT_EQ(bed.call(325, R"([{"bindFlag": 1}])").error, 0);
    EXPECT_EQ(bed.call(324).i("bindFlag"), 1);
    EXPECT_EQ(bed.call(307).i("bindFlag"), 0);
    EXPECT_EQ(bed.call(343).i("bindFlag"), 0);
    EXPECT_EQ(bed.call(318, R"([{"usbBackupMode": 1, "ptpBackupMode": 1}])").error, 0);
    EXPECT_EQ(bed.call(317).i("ptpBackupMode"), 1);
}

TEST(EmuAdmin, SpaceLimitsAndUsers) {
    Bed bed("127.0.0.41");
    ASSERT_TRUE(bed.started);
    EXPECT_EQ(bed.call(313, R"([{"limitSet": 1, "limitSpace": 5000000000}])").error, 0);
    Answer def = bed.call(312);
    EXPECT_EQ(json_object_get_int64(member(def.first(), "limitSpace")), 5000000000);
    EXPECT_EQ(def.i("limitSet"), 1);
    EXPECT_EQ(bed.call(315, R"([{"userId": 7, "limitSet": 1, "limitSpace": 1024}])").error, 0);
    Answer list = bed.call(314);
    json_object *arr = member(list.data(), "spaceLimitList");
    ASSERT_EQ(json_object_array_length(arr), 2u);
    json_object *ann = json_object_array_get_idx(arr, 1);
    EXPECT_EQ(json_object_get_int(member(ann, "userId")), 7);
    EXPECT_EQ(json_object_get_int64(member(ann, "limitSpace")), 1024);
    EXPECT_EQ(bed.call(316, R"([{"userId": 7, "clearFlag": 1}])").error, 0);
    EXPECT_EQ(json_object_array_length(member(bed.call(323).data(), "userList")), 1u);
}

// The disk-health reply never lists more than two disks, whatever the state holds.
TEST(EmuAdmin, DiskHealthAtMostTwo) {
    Bed bed("127.0.0.42");
    ASSERT_TRUE(bed.started);
    {
        std::lock_guard lk(bed.state->mu);
        bed.state->disks.assign(3, qvemu::DiskHealth{"M", "S", 0, 30, 1, 0, 1});
    }
    EXPECT_EQ(json_object_array_length(member(bed.call(305).data(), "diskStatusInfoList")), 2u);
}

// The knobs: a device that lists three disks, and a space-limit list that fails.
TEST(EmuAdmin, ThreeDisksAndAFailingSpaceLimitList) {
    Bed bed("127.0.0.47");
    ASSERT_TRUE(bed.started);
    {
        std::lock_guard lk(bed.state->mu);
        bed.state->disks.assign(3, qvemu::DiskHealth{"M", "S", 0, 30, 1, 0, 1});
        bed.state->disks_listed_max = 3;
        bed.state->space_limit_list_error = 10201;
    }
    EXPECT_EQ(json_object_array_length(member(bed.call(305).data(), "diskStatusInfoList")), 3u);
    EXPECT_EQ(bed.call(314).error, 10201);
}

TEST(EmuSettings, SleepZoneSambaSmart) {
    Bed bed("127.0.0.43");
    ASSERT_TRUE(bed.started);
    EXPECT_EQ(bed.call(334, R"([{"time": 90}])").error, 0);
    EXPECT_EQ(bed.call(335).i("time"), 90);
    EXPECT_EQ(bed.call(338, R"([{"timeZone": "Europe/London"}])").error, 0);
    EXPECT_EQ(bed.call(339).s("timeZone"), "Europe/London");
    EXPECT_EQ(bed.call(320, R"([{"enabled": 5}])").error, 0);
    EXPECT_EQ(bed.call(319).i("enabled"), 5);
    EXPECT_EQ(json_object_array_length(member(bed.call(340).data(), "zone_list")), 2u);
    EXPECT_NE(json_object_get_string(member(bed.call(341).data(), "smart_info")), nullptr);
    EXPECT_EQ(json_object_get_int(member(member(bed.call(186).first(), "shareModule"), "status")), 1);
}

TEST(EmuHiddenSpace, Lifecycle) {
    Bed bed("127.0.0.44");
    ASSERT_TRUE(bed.started);
    EXPECT_EQ(bed.call(176).i("flag"), 0);
    EXPECT_EQ(bed.call(177).error, 0);
    EXPECT_EQ(bed.call(177).error, 10013);
    EXPECT_EQ(bed.call(176).i("flag"), 1);
    EXPECT_EQ(bed.call(178).i("flag"), 0);
    EXPECT_EQ(bed.call(179, R"([{"pwd": "secret1"}])").error, 0);
    EXPECT_EQ(bed.call(179, R"([{"pwd": "secret2"}])").error, 10015);
    Answer locked = bed.call(184);
    EXPECT_EQ(locked.error, 10019);
    EXPECT_EQ(locked.data(), nullptr);
    EXPECT_EQ(bed.call(183).error, 10019);
    EXPECT_EQ(bed.call(182, R"([{"pwd": "nope"}])").error, 10017);
    EXPECT_EQ(bed.call(182, R"([{"pwd": "secret1"}])").error, 0);
    Answer info = bed.call(184);
    EXPECT_EQ(info.s("nick_name"), "private");
    EXPECT_EQ(info.i("bucket_id"), 1001);
    EXPECT_EQ(bed.call(183).error, 0);

    EXPECT_EQ(bed.call(180).error, 0);
    std::string code;
    {
        std::lock_guard lk(bed.state->mu);
        code = bed.state->sms_code;
    }
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(bed.call(181, R"([{"verify_code": "000000", "pwd": "renewed"}])").error, 10016);
    EXPECT_EQ(bed.call(181, R"([{"verify_code": ")" + code + R"(", "pwd": "renewed"}])").error, 0);
    EXPECT_EQ(bed.call(182, R"([{"pwd": "renewed"}])").error, 0);
}

TEST(EmuTimers, FlagAndValues) {
    Bed bed("127.0.0.45");
    ASSERT_TRUE(bed.started);
    EXPECT_EQ(bed.call(337, R"([{"flag": 1}])").error, 0);
    EXPECT_EQ(bed.call(336).i("flag"), 1);
    EXPECT_EQ(bed.call(328, R"([{"switch_type": 0, "time_seconds": 3600, "once": 1}])").error, 0);
    Answer shut = bed.call(327, R"([{"switch_type": 0}])");
    EXPECT_EQ(shut.i("time_seconds"), 3600);
    EXPECT_EQ(shut.i("once"), 1);
    EXPECT_EQ(bed.call(327, R"([{"switch_type": 1}])").i("time_seconds"), 0);
}

TEST(EmuShares, CreateListReadCancel) {
    Bed bed("127.0.0.46");
    ASSERT_TRUE(bed.started);
    Answer made = bed.call(
        187,
        R"([{"fileList": [{"bucketId": 1, "path": "/a/photo.jpg"}], "fileNum": 1, "hasPw": 1, "expect": 604800}])");
    EXPECT_EQ(made.error, 0);
    EXPECT_EQ(made.s("name"), "photo.jpg");
    EXPECT_EQ(made.i("hasPw"), 1);
    EXPECT_FALSE(made.s("password").empty());
    EXPECT_EQ(
        bed.call(187,
                 R"([{"fileList": [{"bucketId": 1, "path": "/b"}], "fileNum": 1, "hasPw": 0, "expect": 0}])")
            .error,
        0);

    Answer list = bed.call(188, R"([{"offset": 0, "len": 0}])");
    EXPECT_EQ(list.i("count"), 2);
    json_object *links = member(list.first(), "shareList");
    ASSERT_EQ(json_object_array_length(links), 2u);
    json_object *first = json_object_array_get_idx(links, 0);
    const int id = json_object_get_int(member(first, "shareId"));
    EXPECT_EQ(json_object_get_int(member(first, "status")), 1);
    EXPECT_EQ(member(json_object_array_get_idx(links, 1), "password"), nullptr);

    Answer folder = bed.call(
        204, R"([{"shareId": )" + std::to_string(id) + R"(, "offset": 0, "len": 0, "fileDir": "/"}])");
    EXPECT_EQ(folder.i("count"), 1);
    EXPECT_EQ(folder.s("displayDir"), "/");

    Answer data = bed.call(
        205,
        R"([{"shareId": )" + std::to_string(id) +
            R"(, "path": "/a/photo.jpg", "type": 0, "start": 0, "end": 10, "uploadUrl": "http://up/x"}])");
    EXPECT_EQ(data.error, 0);
    EXPECT_EQ(data.s("displayName"), "photo.jpg");
    {
        std::lock_guard lk(bed.state->mu);
        ASSERT_EQ(bed.state->upload_urls.size(), 1u);
        EXPECT_EQ(bed.state->upload_urls[0], "http://up/x");
    }

    EXPECT_EQ(bed.call(189, R"([{"shareId": )" + std::to_string(id) + R"(, "url": "u"}])").error, 0);
    EXPECT_EQ(bed.call(189, R"([{"shareId": )" + std::to_string(id) + R"(, "url": "u"}])").error, 14000);
    EXPECT_EQ(bed.call(188, R"([{"offset": 0, "len": 0}])").i("count"), 1);
}
