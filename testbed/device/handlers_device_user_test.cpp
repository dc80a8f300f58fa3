#include "handlers_device_user.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>
#include <string>

#include "emu_test_util.h"
#include "raw_test_client.h"

namespace {

using rawtest::BlockSpec;
using rawtest::RawClient;
using rawtest::RawReply;

using emutest::Json;
using emutest::key;
using emutest::member;

// Element i of the reply's "data" array.
json_object *at(json_object *env, size_t i) {
    json_object *data = member(env, "data");
    if (!json_object_is_type(data, json_type_array) || i >= json_object_array_length(data)) return nullptr;
    return json_object_array_get_idx(data, i);
}

std::string text_of(json_object *o, const char *k) {
    json_object *v = member(o, k);
    return v ? json_object_get_string(v) : "(missing)";
}

struct Bed {
    explicit Bed(const std::string &addr) : addr(addr), dev("/tmp", addr, 0) {
        model = qvemu::install_device_user_handlers(dev);
        model->update([](qvemu::DeviceUserState &s) { s.auth_codes = {"good-code", "other-code"}; });
        started = dev.start();
        client = std::make_unique<RawClient>(addr, dev.port());
    }
    std::string addr;
    qvemu::Device dev;
    std::shared_ptr<qvemu::DeviceUserModel> model;
    bool started = false;
    std::unique_ptr<RawClient> client;

    // Sends an enciphered request text and gives the parsed reply envelope.
    Json send(const std::string &text, int timeout = 20000) {
        BlockSpec spec;
        spec.host = addr;
        spec.timeout = timeout;
        const std::string body = rawtest::client_encipher(text, key());
        if (!client->send_request(rawtest::request_block(spec, body.size()), body)) return nullptr;
        std::optional<RawReply> r = client->read_reply();
        if (!r || r->ended_early) return nullptr;
        std::string b = r->body;
        if (r->get("Encrypt") == "aes" && !rawtest::aes_block0(b, key(), false)) return nullptr;
        b = b.substr(0, b.find('\0'));
        return Json(json_tokener_parse(b.c_str()));
    }
};

std::string login_text(const char *code) {
    std::string data = code ? std::string("\"authCode\": \"") + code + "\", " : "";
    return "{ \"data\": [ { " + data +
           "\"port\": 13101, \"statusFlag\": 0 } ], \"header\": { \"cmd\": 2, \"seq\": 0, \"error\": 0 } }";
}

std::string head(int cmd, long long token, const char *order = "tse") {
    std::string t = "\"token\": " + std::to_string(token), s = "\"seq\": 0", e = "\"error\": 0";
    std::string keys = std::string(order) == "tse"   ? t + ", " + s + ", " + e
                       : std::string(order) == "set" ? s + ", " + e + ", " + t
                                                     : s + ", " + t + ", " + e;
    return "\"header\": { \"cmd\": " + std::to_string(cmd) + ", " + keys + " }";
}

std::string header_only(int cmd, long long token, const char *order = "tse") {
    return "{ " + head(cmd, token, order) + " }";
}

}  // namespace

TEST(DeviceUserEmulator, LoginHandsOutATokenAndTheLoginBlock) {
    Bed bed("127.0.0.41");
    ASSERT_TRUE(bed.started);
    Json r = bed.send(login_text("good-code"));
    ASSERT_TRUE(r);
    json_object *h = member(r.get(), "header");
    EXPECT_EQ(json_object_get_int(member(h, "cmd")), 2);
    EXPECT_EQ(json_object_get_int(member(h, "error")), 0);
    const int64_t token = json_object_get_int64(member(h, "token"));
    EXPECT_NE(token, 0);
    EXPECT_EQ(text_of(at(r.get(), 0), "ver"), "V1.0.0");
    EXPECT_EQ(json_object_get_int(member(at(r.get(), 1), "funcListFlag")), 1);
    EXPECT_NE(member(at(r.get(), 2), "databaseSign"), nullptr);
    EXPECT_EQ(text_of(at(r.get(), 3), "customCode"), "CC01");
    EXPECT_EQ(text_of(at(r.get(), 3), "versionCode"), "VC01");

    // A second login, with the same code, gets a session of its own.
    Json again = bed.send(login_text("good-code"));
    ASSERT_TRUE(again);
    EXPECT_NE(json_object_get_int64(member(member(again.get(), "header"), "token")), token);

    // The token opens the session commands; logout closes it.
    Json f = bed.send(header_only(15, token, "set"));
    ASSERT_TRUE(f);
    EXPECT_EQ(json_object_get_int(member(at(f.get(), 0), "statusFlag")), 1);
    EXPECT_EQ(bed.model->get().unknown_token_requests, 0u);
    ASSERT_TRUE(bed.send(header_only(3, token, "ste"), 200));
    EXPECT_EQ(bed.model->get().sessions.count(token), 0u);
    ASSERT_TRUE(bed.send(header_only(15, token, "set")));
    EXPECT_EQ(bed.model->get().unknown_token_requests, 1u);
    EXPECT_EQ(bed.model->get().logins, 2u);
    EXPECT_TRUE(bed.dev.violations().empty()) << bed.dev.violations().front().what;
}

TEST(DeviceUserEmulator, RefusedLogins) {
    Bed bed("127.0.0.42");
    ASSERT_TRUE(bed.started);
    for (const char *code : {"wrong", static_cast<const char *>(nullptr)}) {
        Json r = bed.send(login_text(code));
        ASSERT_TRUE(r);
        json_object *h = member(r.get(), "header");
        EXPECT_EQ(json_object_get_int(member(h, "error")), 10016);
        EXPECT_EQ(member(h, "token"), nullptr);
    }
    bed.model->update([](qvemu::DeviceUserState &s) { s.login_sends_token = false; });
    Json r = bed.send(login_text("other-code"));
    ASSERT_TRUE(r);
    EXPECT_EQ(json_object_get_int(member(member(r.get(), "header"), "error")), 0);
    EXPECT_EQ(member(member(r.get(), "header"), "token"), nullptr);
    EXPECT_EQ(bed.model->get().logins, 1u);
}

TEST(DeviceUserEmulator, QueriesAnswerFromTheState) {
    Bed bed("127.0.0.43");
    ASSERT_TRUE(bed.started);
    bed.model->update([](qvemu::DeviceUserState &s) {
        s.version = "V7";
        s.bind_code = "B7";
        s.device_id = "D7";
        s.fw_version = "F7";
        s.stm_version = "S7";
    });
    struct Case {
        std::string text;
        const char *key;
        const char *want;
    };
    const Case cases[] = {
        {header_only(1, 5, "set"), "ver", "V7"},
        {header_only(10, 0, "set"), "bindCode", "B7"},
        {header_only(11, 0, "set"), "deviceId", "D7"},
        {header_only(52, 5), "fw_version", "F7"},
        {header_only(54, 5), "customCode", "CC01"},
        {header_only(249, 5), "stmVer", "S7"},
        {header_only(249, 5), "wanWiredMask", "255.255.255.0"},
    };
    for (const Case &c : cases) {
        Json r = bed.send(c.text);
        ASSERT_TRUE(r) << c.text;
        EXPECT_EQ(text_of(at(r.get(), 0), c.key), c.want) << c.text;
    }
    EXPECT_TRUE(bed.dev.violations().empty());
}

TEST(DeviceUserEmulator, SettingsChangeTheState) {
    Bed bed("127.0.0.44");
    ASSERT_TRUE(bed.started);
    auto expect_ok = [&](const std::string &text) {
        Json r = bed.send(text);
        ASSERT_TRUE(r) << text;
        EXPECT_EQ(json_object_get_int(member(member(r.get(), "header"), "error")), 0) << text;
        EXPECT_TRUE(json_object_is_type(member(r.get(), "data"), json_type_array)) << text;
    };
    expect_ok(
        "{ \"data\": [ { \"time_value\": \"2024-05-06 07:08:09\", \"time_zone\": \"Asia\\/Shanghai\" } ], " +
        head(50, 5) + " }");
    expect_ok("{ \"data\": [ { \"sync\": 1, \"clean_cache\": 0 } ], " + head(51, 5) + " }");
    expect_ok("{ \"data\": [ { \"version_flag\": 3 } ], " + head(56, 5) + " }");
    expect_ok("{ \"data\": [ { \"devicename\": \"nas\", \"deviceuuid\": \"u-9\" } ], " + head(12, 5, "ste") +
              " }");
    expect_ok("{ \"data\": [ { } ], \"header\": { \"cmd\": 8, \"seq\": 0, \"error\": 0 } }");
    expect_ok(header_only(48, 5));
    expect_ok(header_only(58, 5));
    Json flag = bed.send(header_only(55, 5));
    ASSERT_TRUE(flag);
    EXPECT_EQ(json_object_get_int(member(at(flag.get(), 0), "version_flag")), 3);

    const qvemu::DeviceUserState s = bed.model->get();
    EXPECT_EQ(s.time_value, "2024-05-06 07:08:09");
    EXPECT_EQ(s.time_zone, "Asia/Shanghai");
    EXPECT_EQ(s.sync, 1);
    EXPECT_EQ(s.clean_cache, 0);
    EXPECT_EQ(s.version_flag, 3);
    EXPECT_EQ(s.registered_name, "nas");
    EXPECT_EQ(s.registered_uuid, "u-9");
    EXPECT_EQ(s.udisk_upgrades, 1u);
    EXPECT_EQ(s.upgrade_fw, 1u);
    EXPECT_TRUE(bed.dev.violations().empty()) << bed.dev.violations().front().what;
}
