#include "handlers_push.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <string>
#include <thread>

#include "emu_test_util.h"
#include "raw_test_client.h"

namespace {

using emutest::Json;
using emutest::member;
using rawtest::BlockSpec;
using rawtest::RawClient;

constexpr int64_t kToken = 77;

// A 174 request as the client sends it: plain JSON, keep-alive.
bool send_push(RawClient &c, const std::string &addr, int64_t token) {
    BlockSpec spec;
    spec.keep_alive = true;
    spec.encrypt = false;
    spec.host = addr;
    const std::string body = rawtest::header_only(174, token, 0);
    return c.send_request(rawtest::request_block(spec, body.size()), body);
}

json_object *path(json_object *o, std::initializer_list<const char *> keys) {
    for (const char *k : keys) o = member(o, k);
    return o;
}

struct PushBed : testing::Test {
    void SetUp() override {
        ASSERT_TRUE(dev.start()) << dev.last_error();
        model = qvemu::install_push_handler(dev);
    }
    void TearDown() override {
        dev.stop();
        for (const auto &v : dev.violations()) ADD_FAILURE() << v.what << "\n" << v.request;
    }
    const std::string addr = "127.0.0.41";
    qvemu::Device dev{"/tmp", addr, 0};
    std::shared_ptr<qvemu::PushModel> model;
};

TEST_F(PushBed, ScriptedChunksThenTheRoundEndsAndTheNextFollowsOnTheSameConnection) {
    model->set_keepalive_ms(0);
    model->push(kToken, qvemu::PushStep::chunk(1, R"({"status":0,"device_name":"u/1"})", "sign-1"));
    model->push(kToken, qvemu::PushStep::raw("not json"));
    model->push(kToken, qvemu::PushStep::end_round());
    RawClient c(addr, dev.port());
    ASSERT_TRUE(send_push(c, addr, kToken));
    auto r = c.read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get("Transfer-Encoding"), "chunked");
    EXPECT_FALSE(r->has("Encrypt"));
    ASSERT_EQ(r->chunks.size(), 2u);
    Json env(json_tokener_parse(r->chunks[0].c_str()));
    ASSERT_TRUE(env) << r->chunks[0];
    EXPECT_EQ(json_object_get_int(path(env.get(), {"header", "cmd"})), 174);
    EXPECT_EQ(json_object_get_int64(path(env.get(), {"header", "token"})), kToken);
    EXPECT_EQ(json_object_get_int(path(env.get(), {"data", "status"})), 1);
    // The USB status travels as a text holding JSON.
    EXPECT_STREQ(json_object_get_string(path(env.get(), {"data", "usbInfo", "usbValue"})),
                 R"({"status":0,"device_name":"u/1"})");
    EXPECT_STREQ(json_object_get_string(path(env.get(), {"data", "userdbInfo", "userdbValue"})), "sign-1");
    EXPECT_EQ(path(env.get(), {"data", "recentdbInfo"}), nullptr);
    EXPECT_EQ(r->chunks[1], "not json");

    // The next round: a keep-alive after the silence, then the device closes mid-round.
    model->set_keepalive_ms(50);
    ASSERT_TRUE(send_push(c, addr, kToken));
    auto head = c.read_frame();
    ASSERT_TRUE(head);
    EXPECT_NE(head->find("Transfer-Encoding: chunked"), std::string::npos);
    std::string line;
    while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) line += c.read_n(1);
    const size_t n = std::stoul(line, nullptr, 16);
    const std::string keepalive = c.read_n(n + 2).substr(0, n);
    Json k(json_tokener_parse(keepalive.c_str()));
    ASSERT_TRUE(k) << keepalive;
    EXPECT_EQ(json_object_object_length(member(k.get(), "data")), 0);
    model->push(kToken, qvemu::PushStep::close());
    std::string rest;
    while (true) {
        std::string b = c.read_n(1);
        if (b.empty()) break;
        rest += b;
    }
    const qvemu::PushCounts counts = model->counts(kToken);
    EXPECT_EQ(counts.exchanges, 2u);
    EXPECT_EQ(counts.chunks, 2u);
    EXPECT_EQ(counts.rounds_ended, 1u);
    EXPECT_EQ(counts.closed, 1u);
    EXPECT_GE(counts.keepalives, 1u);
    EXPECT_EQ(dev.counters().requests_by_cmd[174], 2u);
}

TEST_F(PushBed, AClientThatLeavesEndsItsRound) {
    model->set_keepalive_ms(0);
    {
        RawClient c(addr, dev.port());
        ASSERT_TRUE(send_push(c, addr, kToken));
        ASSERT_TRUE(c.read_frame());
    }
    for (int i = 0; i < 500 && model->open_rounds() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(model->open_rounds(), 0);
    EXPECT_EQ(model->counts(kToken).client_left, 1u);
}

}  // namespace
