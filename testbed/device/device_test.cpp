#include "device.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "emu_test_util.h"
#include "raw_test_client.h"

namespace {

using rawtest::BlockSpec;
using rawtest::RawClient;
using rawtest::RawReply;

using emutest::Json;
using emutest::key;
using emutest::member;

// Polls `cond` for up to five seconds.
bool eventually(const std::function<bool()> &cond) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// A started device on its own loopback address and an ephemeral port.
struct Bed {
    explicit Bed(const std::string &addr) : addr(addr), dev("/tmp", addr, 0) {
        dev.set_users({{"admin", 1, false}, {"ann/é", 7, true}});
        started = dev.start();
    }
    std::string addr;
    qvemu::Device dev;
    bool started = false;

    // An ordinary enciphered command, as the client sends it.
    std::optional<RawReply> command(RawClient &c, const std::string &text, BlockSpec spec = {}) {
        if (spec.host.empty()) spec.host = addr;
        std::string body = spec.encrypt ? rawtest::client_encipher(text, key()) : text;
        if (!c.send_request(rawtest::request_block(spec, body.size()), body)) return std::nullopt;
        return c.read_reply();
    }
};

// Undoes the reply encodings the headers announce: inflate, then decipher block 0.
std::string decode_body(const RawReply &r, std::string body) {
    if (r.get("Content-Encoding") == "gzip") {
        auto inflated = rawtest::gunzip(body);
        EXPECT_TRUE(inflated) << "reply body does not inflate";
        body = inflated.value_or("");
    }
    if (r.get("Encrypt") == "aes") {
        EXPECT_EQ(body.size() % 16, 0u);
        EXPECT_TRUE(rawtest::aes_block0(body, key(), false));
        body = body.substr(0, body.find('\0'));
    }
    return body;
}

Json parse(const std::string &text) {
    Json j(json_tokener_parse(text.c_str()));
    EXPECT_TRUE(j) << text;
    return j;
}

int header_int(json_object *env, const char *k) {
    return json_object_get_int(member(member(env, "header"), k));
}

TEST(Device, PoolOpenCommandAndCloseOnOneConnection) {
    Bed bed("127.0.0.2");
    ASSERT_TRUE(bed.started) << bed.dev.last_error();
    {
        RawClient c(bed.addr, bed.dev.port());
        ASSERT_TRUE(c.connected());
        BlockSpec open;
        open.keep_alive = true;
        auto r = bed.command(c, rawtest::header_only(175, 0, 0), open);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status_line, "HTTP/1.1 200 OK");
        Json env = parse(decode_body(*r, r->body));
        EXPECT_EQ(header_int(env.get(), "cmd"), 175);
        EXPECT_EQ(header_int(env.get(), "error"), 0);

        auto users = bed.command(c, rawtest::header_only(150, 123456789012LL, 4));
        ASSERT_TRUE(users);

        BlockSpec close;  // the pool's close: no Connection, no Host
        close.timeout = 200;
        std::string body = rawtest::client_encipher(rawtest::header_only(175, 0, 0), key());
        ASSERT_TRUE(c.send_request(rawtest::request_block(close, body.size()), body));
        auto closed = c.read_reply();
        ASSERT_TRUE(closed);
        EXPECT_EQ(header_int(parse(decode_body(*closed, closed->body)).get(), "cmd"), 175);
    }
    ASSERT_TRUE(eventually([&] { return bed.dev.counters().connections_open == 0; }));
    auto k = bed.dev.counters();
    EXPECT_EQ(k.connections_accepted, 1u);
    EXPECT_EQ(k.pool_opens, 1u);
    EXPECT_EQ(k.pool_closes, 1u);
    EXPECT_EQ(k.requests_by_cmd[175], 2u);
    EXPECT_EQ(k.requests_by_cmd[150], 1u);
    EXPECT_EQ(k.commands_answered, 3u);
    EXPECT_EQ(k.max_requests_per_connection, 3u);
    EXPECT_EQ(k.requests_per_connection[3], 1u);
    EXPECT_EQ(k.closed_without_request, 0u);
    for (const auto &v : bed.dev.violations()) ADD_FAILURE() << v.what;  // a well-behaved client
}

TEST(Device, ConnectionCounters) {
    Bed bed("127.0.0.3");
    ASSERT_TRUE(bed.started);
    {
        RawClient a(bed.addr, bed.dev.port()), b(bed.addr, bed.dev.port()), c(bed.addr, bed.dev.port());
        ASSERT_TRUE(eventually([&] { return bed.dev.counters().connections_open == 3; }));
    }
    ASSERT_TRUE(eventually([&] { return bed.dev.counters().connections_open == 0; }));
    auto k = bed.dev.counters();
    EXPECT_EQ(k.connections_accepted, 3u);
    EXPECT_EQ(k.connections_peak, 3u);
    EXPECT_EQ(k.closed_without_request, 3u);
    EXPECT_EQ(k.requests_per_connection[0], 3u);
}

// Every reply mode of a header-only command, decoded on the client side with zlib and OpenSSL.
TEST(Device, UserListInEveryReplyMode) {
    Bed bed("127.0.0.4");
    ASSERT_TRUE(bed.started);
    RawClient c(bed.addr, bed.dev.port());
    ASSERT_TRUE(c.connected());
    const struct {
        const char *name;
        qvemu::ReplyOptions opt;
    } modes[] = {
        {"plain", {false, false, false}},  {"gzip", {false, true, false}},
        {"cipher", {false, false, true}},  {"gzip+cipher", {false, true, true}},
        {"chunked", {true, false, false}}, {"chunked+gzip+cipher", {true, true, true}},
    };
    int seq = 0;
    for (const auto &m : modes) {
        SCOPED_TRACE(m.name);
        bed.dev.set_reply_options(m.opt);
        auto r = bed.command(c, rawtest::header_only(150, 42, ++seq));
        ASSERT_TRUE(r);
        ASSERT_FALSE(r->ended_early);
        EXPECT_EQ(r->has("Transfer-Encoding"), m.opt.chunked);
        EXPECT_EQ(r->has("Content-Length"), !m.opt.chunked);
        EXPECT_EQ(r->get("Content-Encoding"), m.opt.gzip ? "gzip" : "");
        EXPECT_EQ(r->get("Encrypt"), m.opt.cipher ? "aes" : "");
        EXPECT_FALSE(r->has("Content-Type"));
        std::string text;
        if (m.opt.chunked) {
            ASSERT_EQ(r->chunks.size(), 1u);
            text = decode_body(*r, r->chunks[0]);
        } else {
            text = decode_body(*r, r->body);
        }
        Json env = parse(text);
        ASSERT_TRUE(env);
        EXPECT_EQ(header_int(env.get(), "cmd"), 150);
        EXPECT_EQ(header_int(env.get(), "error"), 0);
        EXPECT_EQ(json_object_get_int64(member(member(env.get(), "header"), "token")), 42);
        EXPECT_EQ(header_int(env.get(), "seq"), seq);
        json_object *data = member(env.get(), "data");
        ASSERT_TRUE(json_object_is_type(data, json_type_array));
        ASSERT_EQ(json_object_array_length(data), 2u);
        json_object *second = json_object_array_get_idx(data, 1);
        EXPECT_STREQ(json_object_get_string(member(second, "nick_name")), "ann/é");
        EXPECT_EQ(json_object_get_int(member(second, "user_id")), 7);
        EXPECT_TRUE(json_object_get_boolean(member(second, "isPublic")));
    }
    // Counted once the last byte is written, which may land just after the client has read it.
    EXPECT_TRUE(eventually([&] { return bed.dev.counters().chunks_by_cmd[150] == 2u; }));
}

TEST(Device, StorageReportsTheServedFileSystem) {
    Bed bed("127.0.0.5");
    ASSERT_TRUE(bed.started);
    RawClient c(bed.addr, bed.dev.port());
    auto r = bed.command(c, rawtest::header_only(100, 1, 0));
    ASSERT_TRUE(r);
    Json env = parse(decode_body(*r, r->body));
    json_object *disks = member(member(env.get(), "data"), "diskInfoList");
    ASSERT_TRUE(json_object_is_type(disks, json_type_array));
    ASSERT_EQ(json_object_array_length(disks), 1u);
    json_object *d = json_object_array_get_idx(disks, 0);
    EXPECT_GT(json_object_get_int64(member(d, "size")), 0);
    EXPECT_LE(json_object_get_int64(member(d, "avSize")), json_object_get_int64(member(d, "size")));
    EXPECT_TRUE(member(d, "displayName") && member(d, "path"));
}

// Each fault switch, seen on the wire.
TEST(Device, FaultSwitchesOnTheWire) {
    Bed bed("127.0.0.6");
    ASSERT_TRUE(bed.started);
    qvemu::Faults split;
    split.split_frame_length = true;
    split.split_pause_ms = 300;
    qvemu::Faults no_reason;
    no_reason.no_reason_phrase = true;
    qvemu::Faults cut_gzip;
    cut_gzip.truncated_gzip = true;
    qvemu::Faults short_body;
    short_body.short_body = true;
    short_body.short_body_missing = 16;

    {
        SCOPED_TRACE("split frame length");
        bed.dev.set_faults(split);
        RawClient c(bed.addr, bed.dev.port());
        std::string body = rawtest::client_encipher(rawtest::header_only(150, 1, 0), key());
        ASSERT_TRUE(c.send_request(rawtest::request_block({.host = bed.addr}, body.size()), body));
        char first[256];
        ssize_t n = ::recv(c.fd(), first, sizeof first, 0);
        ASSERT_EQ(n, 4);  // the length alone; the block follows after the pause
        uint32_t len;
        std::memcpy(&len, first, 4);
        std::string block(first + 4, static_cast<size_t>(n - 4));
        block += c.read_n(len - block.size());
        ASSERT_EQ(block.size(), len);
        RawReply r = c.read_reply_after(block);
        EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
        EXPECT_EQ(header_int(parse(decode_body(r, r.body)).get(), "cmd"), 150);
    }
    {
        SCOPED_TRACE("no reason phrase");
        bed.dev.set_faults(no_reason);
        RawClient c(bed.addr, bed.dev.port());
        auto r = bed.command(c, rawtest::header_only(150, 1, 0));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status_line, "HTTP/1.1 200");
        EXPECT_EQ(header_int(parse(decode_body(*r, r->body)).get(), "cmd"), 150);
    }
    {
        SCOPED_TRACE("truncated gzip");
        bed.dev.set_faults(cut_gzip);
        RawClient c(bed.addr, bed.dev.port());
        auto r = bed.command(c, rawtest::header_only(150, 1, 0));
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ended_early);  // Content-Length matches the cut member
        EXPECT_EQ(r->get("Content-Encoding"), "gzip");
        ASSERT_GE(r->body.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(r->body[0]), 0x1f);
        EXPECT_FALSE(rawtest::gunzip(r->body));
    }
    {
        SCOPED_TRACE("short body");
        bed.dev.set_faults(short_body);
        RawClient c(bed.addr, bed.dev.port());
        auto r = bed.command(c, rawtest::header_only(150, 1, 0));
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->ended_early);
        EXPECT_EQ(std::stoul(r->get("Content-Length")), r->body.size() + 16);
        EXPECT_EQ(r->body.size() % 16, 0u);  // the whole enciphered envelope came, then the close
    }
    bed.dev.set_faults({});
    RawClient c(bed.addr, bed.dev.port());
    auto r = bed.command(c, rawtest::header_only(150, 1, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status_line, "HTTP/1.1 200 OK");
    EXPECT_FALSE(r->ended_early);
}

// Client deviations are recorded (with the request) and still answered.
TEST(Device, StrictModeRecordsDeviations) {
    Bed bed("127.0.0.7");
    ASSERT_TRUE(bed.started);
    const std::string ok150 = rawtest::header_only(150, 1, 0);
    const std::string data101 =
        R"({ "data": [ { "path": "\/photos", "srcUserId": 2 } ], "header": { "cmd": 101, "token": 1, "seq": 0, "error": 0 } })";
    struct Case {
        const char *name;
        std::string text;
        std::function<void(BlockSpec &)> spec;
        const char *expect;  // substring of the single violation; null: none
    };
    const Case cases[] = {
        {"well formed", ok150, [](BlockSpec &) {}, nullptr},
        {"well formed with data", data101, [](BlockSpec &) {}, nullptr},
        {"user agent", ok150, [](BlockSpec &s) { s.user_agent = "curl/8"; }, "User-Agent"},
        {"timeout", ok150, [](BlockSpec &s) { s.timeout = 5000; }, "Timeout 5000"},
        {"plain body", ok150, [](BlockSpec &s) { s.encrypt = false; }, "Encrypt: aes missing"},
        {"host", ok150, [](BlockSpec &s) { s.host = "127.0.0.99"; }, "Host is 127.0.0.99"},
        {"bare slash",
         R"({ "data": [ { "path": "/photos", "srcUserId": 2 } ], "header": { "cmd": 101, "token": 1, "seq": 0, "error": 0 } })",
         [](BlockSpec &) {}, "not escaped"},
        {"data object",
         R"({ "data": { "path": "\/p" }, "header": { "cmd": 101, "token": 1, "seq": 0, "error": 0 } })",
         [](BlockSpec &) {}, "is not an array"},
        {"header order", R"({ "header": { "token": 1, "cmd": 150, "seq": 0, "error": 0 } })",
         [](BlockSpec &) {}, "header members"},
        {"envelope order",
         R"({ "header": { "cmd": 101, "token": 1, "seq": 0, "error": 0 }, "data": [ { } ] })",
         [](BlockSpec &) {}, "envelope members"},
    };
    RawClient c(bed.addr, bed.dev.port());
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        bed.dev.clear_violations();
        BlockSpec spec;
        spec.host = bed.addr;
        k.spec(spec);
        auto r = bed.command(c, k.text, spec);
        ASSERT_TRUE(r);  // answered all the same
        auto v = bed.dev.violations();
        if (!k.expect) {
            for (const auto &x : v) ADD_FAILURE() << x.what;
            continue;
        }
        ASSERT_EQ(v.size(), 1u) << (v.empty() ? "" : v[0].what);
        EXPECT_NE(v[0].what.find(k.expect), std::string::npos) << v[0].what;
        EXPECT_NE(v[0].request.find("POST / HTTP/1.1"), std::string::npos);
    }

    // A frame longer than its header block (surplus bytes inside the frame).
    bed.dev.clear_violations();
    std::string body = rawtest::client_encipher(ok150, key());
    ASSERT_TRUE(c.send_request(rawtest::request_block({.host = bed.addr}, body.size()) + "xy", body));
    ASSERT_TRUE(c.read_reply());
    auto v = bed.dev.violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].what.find("exceeds the header block by 2"), std::string::npos) << v[0].what;

    // Strict mode off: nothing recorded.
    bed.dev.set_strict(false);
    bed.dev.clear_violations();
    BlockSpec bad;
    bad.user_agent = "";
    ASSERT_TRUE(bed.command(c, ok150, bad));
    EXPECT_TRUE(bed.dev.violations().empty());
}

TEST(Device, HandlerRegistryAndStreamedReplies) {
    Bed bed("127.0.0.8");
    ASSERT_TRUE(bed.started);
    bed.dev.set_handler(159, [](qvemu::Device &, const qvemu::Request &req) {
        qvemu::Reply r;
        EXPECT_TRUE(req.data && json_object_is_type(req.data, json_type_array));
        r.chunks = {R"([{"status":0}])", R"([{"status":1,"curCount":1,"totalCount":2}])",
                    R"([{"status":2}])"};
        r.chunk_interval_ms = 10;
        return r;
    });
    bed.dev.set_reply_options(159, {false, true, true});  // chunked by the handler, gzip and cipher per chunk
    RawClient c(bed.addr, bed.dev.port());
    const std::string copy =
        R"({ "data": [ { "path": "\/a", "srcBucketId": 1, "desPath": "\/b", "desBucketId": 1 } ], "header": { "cmd": 159, "token": 9, "seq": 77, "error": 0 } })";
    auto r = bed.command(c, copy);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get("Transfer-Encoding"), "chunked");
    ASSERT_EQ(r->chunks.size(), 3u);
    int statuses[3];
    for (int i = 0; i < 3; ++i) {
        Json env = parse(decode_body(*r, r->chunks[i]));
        EXPECT_EQ(header_int(env.get(), "cmd"), 159);
        EXPECT_EQ(header_int(env.get(), "seq"), 77);
        statuses[i] =
            json_object_get_int(member(json_object_array_get_idx(member(env.get(), "data"), 0), "status"));
    }
    EXPECT_EQ(statuses[0], 0);
    EXPECT_EQ(statuses[1], 1);
    EXPECT_EQ(statuses[2], 2);
    EXPECT_TRUE(eventually([&] { return bed.dev.counters().chunks_by_cmd[159] == 3u; }));

    // Without a handler the command is answered with the unknown-command error, cmd echoed.
    bed.dev.remove_handler(159);
    bed.dev.set_unknown_command_error(10001);
    auto u = bed.command(c, copy);
    ASSERT_TRUE(u);
    ASSERT_TRUE(u->has("Content-Length"));
    Json env = parse(decode_body(*u, u->body));
    EXPECT_EQ(header_int(env.get(), "cmd"), 159);
    EXPECT_EQ(header_int(env.get(), "error"), 10001);
    EXPECT_EQ(member(env.get(), "data"), nullptr);
    EXPECT_EQ(bed.dev.counters().unknown_commands, 1u);
}

TEST(Device, FramedJsonFallback) {
    Bed bed("127.0.0.9");
    ASSERT_TRUE(bed.started);
    bed.dev.set_handler(164, [](qvemu::Device &, const qvemu::Request &req) {
        qvemu::Reply r;
        EXPECT_EQ(req.protocol, qvemu::Protocol::FramedJson);
        r.data = R"({"status":0})";
        return r;
    });
    RawClient c(bed.addr, bed.dev.port());
    ASSERT_TRUE(c.send_frame(
        R"({ "data": [ { "language": "zh" } ], "header": { "cmd": 164, "token": 3, "seq": 0, "error": 0 } })"));
    auto reply = c.read_frame();
    ASSERT_TRUE(reply);
    Json env = parse(*reply);  // plain JSON, no HTTP head, no cipher
    EXPECT_EQ(header_int(env.get(), "cmd"), 164);
    EXPECT_EQ(json_object_get_int(member(member(env.get(), "data"), "status")), 0);
    auto k = bed.dev.counters();
    EXPECT_EQ(k.requests_framed, 1u);
    EXPECT_EQ(k.requests_http, 0u);
    EXPECT_TRUE(bed.dev.violations().empty());
}

TEST(Device, StopEndsIdleConnectionsAndStalledReplies) {
    Bed bed("127.0.0.10");
    ASSERT_TRUE(bed.started);
    RawClient idle(bed.addr, bed.dev.port());
    RawClient waiting(bed.addr, bed.dev.port());
    qvemu::Faults slow;
    slow.reply_delay_ms = 60000;
    bed.dev.set_faults(slow);
    std::string body = rawtest::client_encipher(rawtest::header_only(150, 1, 0), key());
    ASSERT_TRUE(waiting.send_request(rawtest::request_block({.host = bed.addr}, body.size()), body));
    ASSERT_TRUE(eventually([&] { return bed.dev.counters().requests_http == 1; }));
    auto t0 = std::chrono::steady_clock::now();
    bed.dev.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_TRUE(idle.at_eof());
    EXPECT_TRUE(waiting.at_eof());
    RawClient refused(bed.addr, bed.dev.port());
    EXPECT_FALSE(refused.connected());
}

TEST(Device, BindFailureIsReported) {
    qvemu::Device first("/tmp", "127.0.0.11", 0);
    ASSERT_TRUE(first.start());
    qvemu::Device second("/tmp", "127.0.0.11", first.port());
    EXPECT_FALSE(second.start());
    EXPECT_NE(second.last_error().find("bind"), std::string::npos);
}

}  // namespace
