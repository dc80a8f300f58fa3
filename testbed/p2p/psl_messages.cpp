#include "psl_messages.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

namespace qvbed::psl {
namespace {

using K = Kind;

Field uid(uint16_t off = 0) {
    return {"UID", off, K::kText, 20};
}
Field u8(const char *n, uint16_t off) {
    return {n, off, K::kU8};
}
Field u16(const char *n, uint16_t off) {
    return {n, off, K::kU16};
}
Field u32(const char *n, uint16_t off) {
    return {n, off, K::kU32};
}
Field i32(const char *n, uint16_t off) {
    return {n, off, K::kI32};
}
Field text(const char *n, uint16_t off, uint16_t w) {
    return {n, off, K::kText, w};
}
Field bytes(const char *n, uint16_t off, uint16_t w = 0) {
    return {n, off, K::kBytes, w};
}
Field addr(const char *n, uint16_t off) {
    return {n, off, K::kAddr};
}
Field addrs(const char *n, uint16_t off, uint16_t count = 0) {
    return {n, off, K::kAddrs, count};
}
Field u32s(const char *n, uint16_t off, uint16_t count) {
    return {n, off, K::kU32s, count};
}
Field fixed(uint16_t off, uint16_t w, int64_t v) {
    return {"", off, K::kConst, w, v};
}
Field words(uint16_t off) {
    return {"randomID", off, K::kU32};
}
Field mac(uint16_t off) {
    return {"mac", off, K::kU32};
}

constexpr uint8_t kS = kFlagScrambled;
constexpr uint8_t kData = kHSeq | kHTag | kHChannel;

std::vector<Layout> make_layouts() {
    std::vector<Layout> t;
    auto add = [&t](const char *msg, const char *form, uint16_t type, uint8_t route, uint16_t len,
                    std::vector<Field> f, uint8_t header = 0, uint8_t flags = kS) {
        t.push_back(Layout{msg, form, type, route, flags, len, header, std::move(f)});
    };

    // Master.
    add("MSG_QUERY_GROUP", "std", 0x1007, 0x18, 38, {uid(), fixed(36, 1, 6), u8("value", 37)});
    add("MSG_QUERY_GROUP_V1", "std", 0x000B, 0x18, 24, {uid(), u8("value", 20)});
    for (auto [name, type] : {std::pair{"MSG_UID_REFUSED", 0x0008},
                              {"MSG_UID_NOTICE", 0x000A},
                              {"MSG_DEVICE_WAKE", 0x0109},
                              {"MSG_DEVICE_SLEEP", 0x010A},
                              {"MSG_DEVICE_ASLEEP", 0x0227}})
        add(name, "std", static_cast<uint16_t>(type), 0, 20, {uid()});
    for (auto [name, type] : {std::pair{"MSG_SERVER_ACK_0D", 0x000D},
                              {"MSG_SERVER_ACK_108", 0x0108},
                              {"MSG_SERVER_ACK_1006", 0x1006},
                              {"MSG_QUERY_DEVICE6", 0x1009},
                              {"MSG_QUERY_DEVICE6_R", 0x100A},
                              {"MSG_PROBE_DONE", 0x0A03},
                              {"MSG_PROBE_EX_DONE", 0x8005}})
        add(name, "any", static_cast<uint16_t>(type), 0, 0, {bytes("data", 0)});
    add("MSG_QUERY_GROUP_R", "blob", 0x1008, 0, 56,
        {uid(),
         addr("addr", 36),
         u16("recordCount", 54),
         {"groupIds", 56, K::kGroupIds},
         {"servers", 56, K::kServers},
         {"blob", 56, K::kBlob}});
    add("MSG_QUERY_GROUP_R", "records", 0x1008, 0, 56,
        {uid(),
         addr("addr", 36),
         u16("recordCount", 54),
         {"groupIds", 56, K::kGroupIds},
         {"servers", 56, K::kServers}});
    add("MSG_QUERY_GROUP_V1_R", "std", 0x000C, 0, 92,
        {uid(), u16("groupId1", 68), u16("groupId2", 70), u16("groupId3", 72), u16("serverCount", 74),
         addr("addr", 76), addrs("servers", 92)});
    add("MSG_GROUP_INFO", "std", 0x1005, 0, 60,
        {uid(), u16("groupId1", 20), u16("groupId2", 22), u16("groupId3", 24), u16("serverCount", 26),
         addr("addr", 28), bytes("info", 44, 7), u32("word", 56), addrs("servers", 60)});

    // Servers: probes, device login, device queries.
    add("MSG_PROBE", "std", 0x0A01, 0x3f, 8, {u32("counter", 0), u16("instance", 4), u8("byte", 6)});
    add("MSG_PROBE_EX", "std", 0x8003, 0x3f, 8, {u32("counter", 0), u16("instance", 4), u8("byte", 6)});
    add("MSG_PROBE_R", "std", 0x0A02, 0, 16, {addr("addr", 0)});
    add("MSG_PROBE_EX_R", "std", 0x8004, 0, 16, {addr("addr", 0)});
    add("MSG_LOGIN", "std", 0x0105, 0x14, 272,
        {uid(), addr("localAddr", 20), u32("natType", 36), u32("libraryVersion", 40),
         addrs("observed", 44, 8), u32s("observedFlags", 172, 8), u32("counter", 220), u16("instance", 224),
         u16("loginInterval", 226), u16("localListKnown", 228), u32("localListAddr", 230),
         u16("localListPort", 234)});
    add("MSG_LOGIN_OK", "std", 0x0102, 0, 36, {uid(), addr("addr", 20)});
    add("MSG_LOGIN_R", "short36", 0x0106, 0, 36, {uid(), addr("addr", 20)});
    add("MSG_LOGIN_R", "long272", 0x0106, 0, 272,
        {uid(), addr("addr", 20), u8("redirect", 204), u8("stop", 268)});
    add("MSG_WAKE_QUERY", "std", 0x0114, 0x14, 24, {uid(), u32("check", 20)});
    add("MSG_WAKEUP", "std", 0x0228, 0x24, 32, {uid(), {"", 20, K::kConstText, 12, 0, "WakeUpMsg!!!"}});
    add("MSG_DEVICE_WAKING", "uid20", 0x0229, 0, 20, {uid()});
    add("MSG_DEVICE_WAKING", "seconds24", 0x0229, 0, 24, {uid(), u32("wakeSeconds", 20)});
    add("MSG_QUERY_DEVICE", "std", 0x0211, 0x24, 20, {uid()});
    add("MSG_QUERY_DEVICE2", "std", 0x0214, 0x24, 24, {uid()});
    for (auto [name, type] : {std::pair{"MSG_QUERY_DEVICE_R", 0x0212}, {"MSG_QUERY_DEVICE2_R", 0x0215}})
        add(name, "std", static_cast<uint16_t>(type), 0, 44,
            {uid(), u32("wakeSeconds", 20), u8("natType", 36), u32("libraryVersion", 40)});
    add("MSG_QUERY_DEVICE_FAIL", "std", 0x0213, 0, 24, {uid(), i32("code", 20)});
    add("MSG_TIME_PING", "std", 0x0A07, 0, 28, {uid(), u32("word1", 20), u32("word2", 24)});
    add("MSG_TIME_PING_R", "std", 0x0A08, 0x14, 40,
        {uid(), fixed(20, 1, 20), u32("word1", 24), u32("word2", 28), u32("time1", 32), u32("time2", 36)});

    // Hole punching and peer addresses.
    add("MSG_PUNCH", "punch36", 0x0203, 0x34, 36, {uid()});
    add("MSG_PUNCH", "punch96", 0x0203, 0x34, 96,
        {uid(), addrs("localAddrs", 20, 4), words(84), mac(88), u32("natType", 92)});
    add("MSG_PUNCH", "punch272", 0x0203, 0x34, 272,
        {uid(), addrs("localAddrs", 20, 4), words(84), mac(88), u32("natType", 92), addrs("observed", 96, 8),
         u32s("observedFlags", 224, 8)});
    add("MSG_PEER_ADDRESS", "short36", 0x0301, 0x21, 36, {uid(), addr("addr", 20)});
    add("MSG_PEER_ADDRESS", "server36", 0x0301, 0, 36, {uid(), addr("addr", 20)});
    add("MSG_PEER_ADDRESS", "server116", 0x0301, 0, 116,
        {uid(), addr("addr", 20), addrs("localAddrs", 36, 4), words(100), mac(104), u32("natType", 108)});
    add("MSG_PEER_ADDRESS", "server292", 0x0301, 0, 292,
        {uid(), addr("addr", 20), addrs("localAddrs", 36, 4), words(100), mac(104), u32("natType", 108),
         addrs("observed", 116, 8), u32s("observedFlags", 244, 8)});

    // The hello family between peers; a full session table sets routeFlags 0x02.
    for (auto [name, type, hdr] : {std::tuple{"MSG_P2P_HELLO", 0x0401, kHExtra | kHRouteFlags},
                                   {"MSG_P2P_HELLO_R", 0x0402, kHRouteFlags},
                                   {"MSG_P2P_HELLO_ACK", 0x0404, kHSeq | kHRouteFlags}}) {
        add(name, "long28", static_cast<uint16_t>(type), 0x33, 28, {uid(), words(20), mac(24)},
            static_cast<uint8_t>(hdr));
        add(name, "short24", static_cast<uint16_t>(type), 0x33, 24, {uid(), words(20)},
            static_cast<uint8_t>(hdr));
    }
    add("MSG_P2P_DECOY", "decoy24", 0xFFFF, 0x33, 24, {uid(), words(20)}, kHExtra | kHRouteFlags);

    // Relay.
    add("MSG_SESSION_HELLO", "server28", 0x0103, 0, 28, {uid(), words(20), mac(24)});
    add("MSG_SESSION_HELLO", "answer24", 0x0103, 0x14, 24, {uid(), i32("result", 20)});
    add("MSG_SESSION_HELLO", "answer32", 0x0103, 0x14, 32, {uid(), i32("result", 20), words(24), mac(28)});
    add("MSG_RELAY_REQUEST", "short20", 0x0205, 0x24, 20, {uid()});
    add("MSG_RELAY_REQUEST", "long32", 0x0205, 0x24, 32, {uid(), words(20), mac(24), fixed(28, 4, 60000)});
    add("MSG_RELAY_REQUEST2", "std", 0x0207, 0x24, 36,
        {uid(), words(20), mac(24), fixed(28, 4, 60), fixed(32, 4, 5)});
    add("MSG_RELAY_REQUEST_R", "short24", 0x0206, 0, 24, {uid(), i32("status", 20)});
    add("MSG_RELAY_REQUEST_R", "long32", 0x0206, 0, 32, {uid(), i32("status", 20), words(24), mac(28)});
    add("MSG_RELAY_REQUEST2_R", "long32", 0x0208, 0, 32, {uid(), i32("status", 20), words(24), mac(28)});
    add("MSG_RELAY_JOIN", "short20", 0x0209, 0x24, 20, {uid()});
    add("MSG_RELAY_JOIN", "long44", 0x0209, 0x24, 44,
        {uid(), words(20), mac(24), u32("status", 28), u32("libraryVersion", 32), fixed(36, 4, 20),
         u32("natType", 40)});
    const std::vector<Field> attach = {uid(), u16("relaySession", 20), addr("deviceAddr", 24),
                                       addr("clientAddr", 40)};
    std::vector<Field> attach80 = attach;
    for (Field f : {words(56), mac(60), u32("deviceVersion", 64), u32("clientVersion", 68),
                    u8("deviceProtocol", 72), u8("clientProtocol", 76)})
        attach80.push_back(f);
    std::vector<Field> attach88 = attach80;
    attach88.push_back(u8("deviceNatType", 80));
    attach88.push_back(u8("clientNatType", 84));
    add("MSG_RELAY_ATTACH", "short56", 0x0303, 0, 56, attach, kHTag);
    add("MSG_RELAY_ATTACH", "long80", 0x0303, 0, 80, attach80, kHTag);
    add("MSG_RELAY_ATTACH", "long88", 0x0303, 0, 88, attach88, kHTag);
    add("MSG_RELAY_ATTACH_R", "device", 0x030C, 0x14, 28, {uid(), words(20), mac(24)}, kHTag);
    add("MSG_RELAY_ATTACH_R", "client", 0x030C, 0x24, 28, {uid(), words(20), mac(24)}, kHTag);

    // Session data: direct, relayed, and as the relay delivers it (every header field kept).
    const std::vector<Field> plain = {bytes("data", 0)};
    const std::vector<Field> ext = {fixed(0, 4, 12), words(4), mac(8), bytes("data", 12)};
    const std::vector<Field> block12 = {u32("msgSeq", 0), words(4), u8("kind", 9), bytes("text", 12)};
    const std::vector<Field> block16 = {u32("msgSeq", 0), words(4), u8("kind", 9), mac(12),
                                        bytes("text", 16)};
    const std::vector<Field> ack12 = {u32("msgSeq", 0), words(4), u8("kind", 9)};
    const std::vector<Field> ack16 = {u32("msgSeq", 0), words(4), u8("kind", 9), mac(12)};
    constexpr uint8_t kDataF = kData | kHFlags;
    for (auto [name, type, route, sent] : {std::tuple{"MSG_P2P_DATA_C", 0x0407, 0x21, true},
                                           {"MSG_P2P_DATA_D", 0x0408, 0x12, true},
                                           {"MSG_RELAY_DATA_C", 0x0504, 0x24, true},
                                           {"MSG_RELAY_DATA_D", 0x0502, 0x14, true},
                                           {"MSG_RELAY_DATA_IN1", 0x0501, 0x24, false},
                                           {"MSG_RELAY_DATA_IN3", 0x0503, 0x14, false}}) {
        const auto ty = static_cast<uint16_t>(type);
        const auto ro = static_cast<uint8_t>(route);
        add(name, "noext", ty, ro, 0, plain, kData);
        add(name, "ext", ty, ro, 12, ext, kDataF, kS | kFlagSessionExt);
        add(name, "blocks12", ty, ro, 12, block12, kDataF, kS | kFlagForward);
        add(name, "blocks16", ty, ro, 16, block16, kDataF, kS | kFlagForward | kFlagSessionExt);
        add(name, "ack12", ty, ro, 12, ack12, kDataF, kS | kFlagForward);
        add(name, "ack16", ty, ro, 16, ack16, kDataF, kS | kFlagForward | kFlagSessionExt);
        if (!sent) continue;
        add(name, "noext_head64", ty, ro, 0, plain, kDataF, kS | kFlagHead64);
        add(name, "ext_head64", ty, ro, 12, ext, kDataF, kS | kFlagSessionExt | kFlagHead64);
        add(name, "blocks12_head64", ty, ro, 12, block12, kDataF, kS | kFlagForward | kFlagHead64);
        add(name, "blocks16_head64", ty, ro, 16, block16, kDataF,
            kS | kFlagForward | kFlagSessionExt | kFlagHead64);
    }
    for (auto [name, type, route] : {std::tuple{"MSG_P2P_CLOSE_C", 0x0417, 0x21},
                                     {"MSG_P2P_CLOSE_D", 0x0418, 0x12},
                                     {"MSG_P2P_ALIVE_C", 0x0427, 0x21},
                                     {"MSG_P2P_ALIVE_D", 0x0428, 0x12},
                                     {"MSG_RELAY_CLOSE_C", 0x0514, 0x24},
                                     {"MSG_RELAY_CLOSE_D", 0x0512, 0x14},
                                     {"MSG_RELAY_ALIVE_C", 0x0524, 0x24},
                                     {"MSG_RELAY_ALIVE_D", 0x0522, 0x14},
                                     {"MSG_RELAY_CLOSE_IN1", 0x0511, 0x24},
                                     {"MSG_RELAY_CLOSE_IN3", 0x0513, 0x14},
                                     {"MSG_RELAY_ALIVE_IN1", 0x0521, 0x24},
                                     {"MSG_RELAY_ALIVE_IN3", 0x0523, 0x14}}) {
        const auto ty = static_cast<uint16_t>(type);
        const auto ro = static_cast<uint8_t>(route);
        add(name, "noext", ty, ro, 0, {}, kHTag);
        add(name, "ext", ty, ro, 8, {words(0), mac(4)}, kHTag | kHFlags, kS | kFlagSessionExt);
    }

    // LAN search.
    add("MSG_LAN_SEARCH", "std", 0x0601, 0x21, 52,
        {uid(), u32("libraryVersion", 36), words(40), mac(44), u32("mode", 48)}, kHExtra);
    add("MSG_LAN_SEARCH_R", "full184", 0x0602, 0x12, 184,
        {uid(), text("description", 36, 129), u32("libraryVersion", 168), words(172), mac(176),
         u32("mode", 180)});
    add("MSG_LAN_SEARCH_R", "old168", 0x0602, 0x12, 168, {uid(), text("description", 36, 129)});
    add("MSG_LAN_SEARCH_R", "old36", 0x0602, 0x12, 36, {uid()});
    add("MSG_LAN_CONNECT", "std", 0x0603, 0x21, 72,
        {uid(), u32("libraryVersion", 36), words(40), mac(44), u32("token", 52)});

    // Versions and reports.
    add("MSG_VERSION_QUERY", "std", 0x0802, 0x21, 28, {text("UID", 0, 28)});
    add("MSG_VERSION_QUERY_R", "std", 0x0803, 0x12, 48,
        {uid(), bytes("uidExtra", 20, 8), i32("result", 28), bytes("groupInfo", 32, 7)});
    add("MSG_SESSION_INFO", "std", 0x0801, 0x24, 40,
        {uid(), addr("addr", 20), u8("peerNatType", 36), u8("natType", 37), u8("routeKind", 38)});
    add("MSG_SESSION_REPORT", "std", 0x0804, 0x24, 528,
        {text("remoteUID", 0, 20), addr("addr", 20), u8("peerNatType", 36), u8("natType", 37),
         u8("routeByte", 38), u32("value", 40), u32("peerVersion", 44), u32("libraryVersion", 48), words(52),
         mac(56), addrs("localAddrs", 60, 4), addrs("observed", 124, 8), bytes("stats2", 252, 64),
         bytes("stats1", 316, 128), u32s("observedFlags", 444, 8), bytes("stats3", 476, 32),
         addr("peerAddr", 508), u32("uptimeMs", 524)});
    for (auto [form, route] : {std::pair{"client", 0x24}, {"device", 0x14}})
        add("MSG_SESSION_REPORT2", form, 0x0805, static_cast<uint8_t>(route), 152,
            {uid(), i32("result", 20), text("text", 24, 128), bytes("data", 152)});
    return t;
}

bool is_record(Kind k) {
    return k == K::kGroupIds || k == K::kServers || k == K::kBlob;
}

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put_le(uint8_t *p, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int num_width(Kind k) {
    switch (k) {
        case K::kU8:
            return 1;
        case K::kU16:
            return 2;
        default:
            return 4;
    }
}

bool fail(std::string *error, std::string msg) {
    if (error) *error = std::move(msg);
    return false;
}

// Writes one record field at the cursor; the payload grows as needed.
bool put_record(const Field &f, const Value &v, Bytes &pl, size_t &cursor, std::string *error) {
    Bytes value;
    uint8_t kind = 0;
    if (f.kind == K::kGroupIds) {
        auto *ids = std::get_if<std::vector<int64_t>>(&v);
        if (!ids || ids->size() != 3) return fail(error, std::string(f.name) + ": three numbers");
        kind = 1;
        value.resize(6);
        for (size_t i = 0; i < 3; ++i) {
            if ((*ids)[i] < 0 || (*ids)[i] > 0xFFFF) return fail(error, std::string(f.name) + ": range");
            put_le(value.data() + 2 * i, static_cast<uint64_t>((*ids)[i]), 2);
        }
    } else if (f.kind == K::kServers) {
        auto *list = std::get_if<std::vector<Addr>>(&v);
        if (!list) return fail(error, std::string(f.name) + ": address list");
        kind = 2;
        value.resize(16 * list->size());
        for (size_t i = 0; i < list->size(); ++i) put_addr((*list)[i], value.data() + 16 * i);
    } else {
        auto *b = std::get_if<Bytes>(&v);
        if (!b) return fail(error, std::string(f.name) + ": bytes");
        kind = 3;
        value = *b;
    }
    if (value.size() > 0xFFFF) return fail(error, std::string(f.name) + ": too long");
    pl.resize(std::max(pl.size(), cursor + 4 + value.size()));
    pl[cursor] = kind;
    pl[cursor + 1] = 0;
    put_le(&pl[cursor + 2], value.size(), 2);
    std::copy(value.begin(), value.end(), pl.begin() + static_cast<std::ptrdiff_t>(cursor + 4));
    cursor += 4 + value.size();
    return true;
}

bool put_field(const Field &f, const Value *v, Bytes &pl, std::string *error) {
    const std::string name = f.name;
    auto need = [&](size_t end) {
        if (pl.size() < end) pl.resize(end);
    };
    switch (f.kind) {
        case K::kConst:
            need(f.offset + f.width);
            put_le(&pl[f.offset], static_cast<uint64_t>(f.constant), f.width);
            return true;
        case K::kConstText:
            need(f.offset + f.width);
            std::memcpy(&pl[f.offset], f.text, f.width);
            return true;
        default:
            break;
    }
    if (!v) return fail(error, "missing field " + name);
    switch (f.kind) {
        case K::kU8:
        case K::kU16:
        case K::kU32:
        case K::kI32: {
            auto *n = std::get_if<int64_t>(v);
            if (!n) return fail(error, name + ": number");
            const int w = num_width(f.kind);
            const int64_t lo = f.kind == K::kI32 ? std::numeric_limits<int32_t>::min() : 0;
            const int64_t hi = f.kind == K::kI32 ? std::numeric_limits<int32_t>::max()
                                                 : static_cast<int64_t>((uint64_t{1} << (8 * w)) - 1);
            if (*n < lo || *n > hi) return fail(error, name + ": out of range");
            need(f.offset + static_cast<size_t>(w));
            put_le(&pl[f.offset], static_cast<uint64_t>(*n), w);
            return true;
        }
        case K::kText: {
            auto *s = std::get_if<std::string>(v);
            if (!s || s->size() > f.width) return fail(error, name + ": text of at most the field's width");
            need(f.offset + f.width);
            std::memcpy(&pl[f.offset], s->data(), s->size());
            return true;
        }
        case K::kBytes: {
            auto *b = std::get_if<Bytes>(v);
            if (!b || (f.width && b->size() != f.width))
                return fail(error, name + ": bytes of the field's width");
            need(f.offset + (f.width ? f.width : b->size()));
            std::copy(b->begin(), b->end(), pl.begin() + f.offset);
            return true;
        }
        case K::kAddr: {
            auto *a = std::get_if<Addr>(v);
            if (!a) return fail(error, name + ": address");
            need(f.offset + 16u);
            put_addr(*a, &pl[f.offset]);
            return true;
        }
        case K::kAddrs: {
            auto *list = std::get_if<std::vector<Addr>>(v);
            if (!list || (f.width && list->size() > f.width)) return fail(error, name + ": address list");
            need(f.offset + 16 * (f.width ? f.width : list->size()));
            for (size_t i = 0; i < list->size(); ++i) put_addr((*list)[i], &pl[f.offset + 16 * i]);
            return true;
        }
        case K::kU32s: {
            auto *list = std::get_if<std::vector<int64_t>>(v);
            if (!list || list->size() > f.width) return fail(error, name + ": list of numbers");
            need(f.offset + 4u * f.width);
            for (size_t i = 0; i < list->size(); ++i) {
                if ((*list)[i] < 0 || (*list)[i] > 0xFFFFFFFFLL) return fail(error, name + ": out of range");
                put_le(&pl[f.offset + 4 * i], static_cast<uint64_t>((*list)[i]), 4);
            }
            return true;
        }
        default:
            return fail(error, name + ": unexpected kind");
    }
}

// Bytes a field occupies at its offset whatever the payload holds (0 for what runs to the end).
size_t fixed_width(const Field &f) {
    switch (f.kind) {
        case K::kU8:
        case K::kU16:
        case K::kU32:
        case K::kI32:
            return static_cast<size_t>(num_width(f.kind));
        case K::kAddr:
            return 16;
        case K::kAddrs:
            return 16u * f.width;
        case K::kU32s:
            return 4u * f.width;
        case K::kText:
        case K::kBytes:
        case K::kConst:
        case K::kConstText:
            return f.width;
        default:
            return 0;
    }
}

struct HeaderName {
    uint8_t bit;
    const char *name;
};
constexpr HeaderName kHeaderNames[] = {
    {kHSeq, "seq"},     {kHTag, "sessionTag"},        {kHChannel, "channel"},
    {kHExtra, "extra"}, {kHRouteFlags, "routeFlags"}, {kHFlags, "flags"}};

int64_t header_value(const Header &h, uint8_t bit) {
    switch (bit) {
        case kHSeq:
            return h.seq;
        case kHTag:
            return h.sessionTag;
        case kHChannel:
            return h.channel;
        case kHExtra:
            return h.extra;
        case kHRouteFlags:
            return h.routeFlags;
        default:
            return h.flags;
    }
}

void set_header(Header &h, uint8_t bit, int64_t v) {
    switch (bit) {
        case kHSeq:
            h.seq = static_cast<uint16_t>(v);
            break;
        case kHTag:
            h.sessionTag = static_cast<uint16_t>(v);
            break;
        case kHChannel:
            h.channel = static_cast<uint8_t>(v);
            break;
        case kHExtra:
            h.extra = static_cast<uint8_t>(v);
            break;
        case kHRouteFlags:
            h.routeFlags = static_cast<uint8_t>(v);
            break;
        default:
            h.flags = static_cast<uint8_t>(v);
            break;
    }
}

}  // namespace

bool Layout::variable() const {
    return std::any_of(fields.begin(), fields.end(), [](const Field &f) {
        return (f.kind == K::kBytes && f.width == 0) || (f.kind == K::kAddrs && f.width == 0) ||
               is_record(f.kind);
    });
}

const Value *find_field(const Fields &f, std::string_view name) {
    for (const auto &[n, v] : f)
        if (n == name) return &v;
    return nullptr;
}

const std::vector<Layout> &layouts() {
    static const std::vector<Layout> table = make_layouts();
    return table;
}

const Layout *find_layout(std::string_view msg, std::string_view form) {
    for (const Layout &l : layouts())
        if (msg == l.msg && form == l.form) return &l;
    return nullptr;
}

std::optional<Bytes> build_plain(const Layout &l, const Fields &f, std::string *error) {
    Header h;
    h.type = l.type;
    h.route = l.route;
    h.flags = l.flags;
    for (const HeaderName &hn : kHeaderNames) {
        const Value *v = find_field(f, hn.name);
        if (!v) continue;
        const auto *n = std::get_if<int64_t>(v);
        const int64_t max = (hn.bit == kHSeq || hn.bit == kHTag) ? 0xFFFF : 0xFF;
        if (!(l.header & hn.bit) || !n || *n < 0 || *n > max) {
            fail(error, std::string("header field ") + hn.name + " not taken or out of range");
            return std::nullopt;
        }
        set_header(h, hn.bit, *n);
    }
    Bytes pl(l.length);
    size_t cursor = 0;
    bool cursor_set = false;
    for (const Field &fd : l.fields) {
        const Value *v = fd.kind == K::kConst || fd.kind == K::kConstText ? nullptr : find_field(f, fd.name);
        if (is_record(fd.kind)) {
            if (!cursor_set) cursor = fd.offset, cursor_set = true;
            if (!v) {
                fail(error, std::string("missing field ") + fd.name);
                return std::nullopt;
            }
            if (!put_record(fd, *v, pl, cursor, error)) return std::nullopt;
            continue;
        }
        if (!put_field(fd, v, pl, error)) return std::nullopt;
    }
    if (kHeaderSize + pl.size() > kMaxPacket) {
        fail(error, "packet longer than 1500 bytes");
        return std::nullopt;
    }
    return plain_packet(h, pl);
}

std::optional<Bytes> build(const Layout &l, const Fields &f, std::string *error) {
    auto plain = build_plain(l, f, error);
    if (!plain) return std::nullopt;
    return seal(std::move(*plain));
}

std::optional<Fields> read(const Layout &l, const Packet &p) {
    const Bytes &pl = p.payload;
    if (p.header.type != l.type || pl.size() < l.length || pl.size() != p.header.length) return std::nullopt;
    for (const Field &f : l.fields)
        if (f.offset + fixed_width(f) > pl.size()) return std::nullopt;
    Fields out;
    for (const HeaderName &hn : kHeaderNames)
        if (l.header & hn.bit) out.emplace_back(hn.name, header_value(p.header, hn.bit));

    // Records: parsed once, within the payload and the record count.
    std::optional<std::vector<int64_t>> ids;
    std::optional<std::vector<Addr>> servers;
    std::optional<Bytes> blob;
    auto first_record =
        std::find_if(l.fields.begin(), l.fields.end(), [](const Field &f) { return is_record(f.kind); });
    if (first_record != l.fields.end()) {
        size_t n = 0;
        for (const Field &f : l.fields)
            if (std::string_view(f.name) == "recordCount") n = le16(&pl[f.offset]);
        size_t cur = first_record->offset;
        for (size_t i = 0; i < n && cur + 4 <= pl.size(); ++i) {
            const uint8_t kind = pl[cur];
            const size_t len = le16(&pl[cur + 2]);
            if (cur + 4 + len > pl.size()) return std::nullopt;
            const uint8_t *val = &pl[cur + 4];
            if (kind == 1 && len >= 6) {
                ids = std::vector<int64_t>{le16(val), le16(val + 2), le16(val + 4)};
            } else if (kind == 2) {
                std::vector<Addr> list;
                for (size_t j = 0; j + 16 <= len; j += 16) list.push_back(get_addr(val + j));
                servers = std::move(list);
            } else if (kind == 3) {
                blob = Bytes(val, val + len);
            }
            cur += 4 + len;
        }
    }

    for (const Field &f : l.fields) {
        const uint8_t *at = pl.data() + f.offset;
        switch (f.kind) {
            case K::kConst:
            case K::kConstText:
                break;
            case K::kU8:
                out.emplace_back(f.name, int64_t{at[0]});
                break;
            case K::kU16:
                out.emplace_back(f.name, int64_t{le16(at)});
                break;
            case K::kU32:
                out.emplace_back(f.name, int64_t{le32(at)});
                break;
            case K::kI32:
                out.emplace_back(f.name, int64_t{static_cast<int32_t>(le32(at))});
                break;
            case K::kText: {
                const auto *end = std::find(at, at + f.width, uint8_t{0});
                out.emplace_back(f.name, std::string(at, end));
                break;
            }
            case K::kBytes:
                out.emplace_back(f.name, Bytes(at, f.width ? at + f.width : pl.data() + pl.size()));
                break;
            case K::kAddr:
                out.emplace_back(f.name, get_addr(at));
                break;
            case K::kAddrs: {
                const size_t n = f.width ? f.width : (pl.size() - f.offset) / 16;
                std::vector<Addr> list;
                for (size_t i = 0; i < n; ++i) list.push_back(get_addr(at + 16 * i));
                out.emplace_back(f.name, std::move(list));
                break;
            }
            case K::kU32s: {
                std::vector<int64_t> list;
                for (size_t i = 0; i < f.width; ++i) list.push_back(le32(at + 4 * i));
                out.emplace_back(f.name, std::move(list));
                break;
            }
            case K::kGroupIds:
                if (!ids) return std::nullopt;
                out.emplace_back(f.name, *ids);
                break;
            case K::kServers:
                if (!servers) return std::nullopt;
                out.emplace_back(f.name, *servers);
                break;
            case K::kBlob:
                if (!blob) return std::nullopt;
                out.emplace_back(f.name, *blob);
                break;
        }
    }
    return out;
}

const Layout *classify(const Packet &p) {
    constexpr uint8_t kFormFlags = kFlagHead64 | kFlagForward | kFlagSessionExt;
    std::vector<const Layout *> cand;
    for (const Layout &l : layouts())
        if (l.type == p.header.type && l.length <= p.payload.size() &&
            (l.flags & kFormFlags) == (p.header.flags & kFormFlags))
            cand.push_back(&l);
    // A route match first, then the longest form, then the one with the most fields.
    std::stable_sort(cand.begin(), cand.end(), [&](const Layout *a, const Layout *b) {
        const bool ra = a->route == p.header.route, rb = b->route == p.header.route;
        if (ra != rb) return ra;
        if (a->length != b->length) return a->length > b->length;
        return a->fields.size() > b->fields.size();
    });
    for (const Layout *l : cand)
        if (read(*l, p)) return l;
    return nullptr;
}

}  // namespace qvbed::psl
