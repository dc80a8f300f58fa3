#include "psl_vectors.h"

#include <cctype>
#include <cstdio>
#include <set>

namespace qvbed::psl {
namespace {

constexpr char kUid[] = "ABCDEFGHJK0123456789";

// Distinct non-zero bytes in order, so that a field written at the wrong offset or width shows.
class Gen {
  public:
    uint8_t byte() {
        if (++c_ == 0) c_ = 1;
        return c_;
    }
    // Each byte drawn in its own statement: the order must not depend on the compiler.
    int64_t u16() {
        const int64_t lo = byte();
        return lo | int64_t{byte()} << 8;
    }
    int64_t u32() {
        const int64_t lo = u16();
        return lo | u16() << 16;
    }
    Addr addr() {
        Addr a;
        for (auto &b : a.ip) b = byte();
        a.port = static_cast<uint16_t>(u16());
        return a;
    }
    std::vector<Addr> addrs(size_t n) {
        std::vector<Addr> v;
        for (size_t i = 0; i < n; ++i) v.push_back(addr());
        return v;
    }
    std::vector<int64_t> u32s(size_t n) {
        std::vector<int64_t> v;
        for (size_t i = 0; i < n; ++i) v.push_back(u32());
        return v;
    }
    Bytes bytes(size_t n) {
        Bytes b;
        for (size_t i = 0; i < n; ++i) b.push_back(byte());
        return b;
    }

  private:
    uint8_t c_ = 0x10;
};

class Builder {
  public:
    std::vector<Vector> out;

    void add(const std::string &msg, const std::string &form, Fields f, std::string layout_form = "") {
        const Layout *l = find_layout(msg, layout_form.empty() ? form : layout_form);
        std::string name = msg.substr(4) + "." + form;
        for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.push_back({name, msg, form, l, std::move(f)});
    }
};

void add_vectors(Builder &b) {
    const Value uid = std::string(kUid);
    constexpr int64_t kLib = 0x03010523;

    // Known answers computed elsewhere; the test checks their hex.
    b.add("MSG_QUERY_GROUP", "known", {{"UID", uid}, {"value", int64_t{0}}}, "std");
    b.add("MSG_PROBE_EX", "known",
          {{"counter", int64_t{0}}, {"instance", int64_t{0x1234}}, {"byte", int64_t{0}}}, "std");

    Gen g;
    b.add("MSG_QUERY_GROUP", "std", {{"UID", uid}, {"value", int64_t{0x5A}}});
    b.add("MSG_QUERY_GROUP_V1", "std", {{"UID", uid}, {"value", int64_t{0x3C}}});
    for (const char *m :
         {"MSG_UID_REFUSED", "MSG_UID_NOTICE", "MSG_DEVICE_WAKE", "MSG_DEVICE_SLEEP", "MSG_DEVICE_ASLEEP"})
        b.add(m, "std", {{"UID", uid}});
    for (const char *m : {"MSG_SERVER_ACK_0D", "MSG_SERVER_ACK_108", "MSG_SERVER_ACK_1006",
                          "MSG_QUERY_DEVICE6", "MSG_QUERY_DEVICE6_R", "MSG_PROBE_DONE", "MSG_PROBE_EX_DONE"})
        b.add(m, "any", {{"data", g.bytes(3)}});
    b.add("MSG_QUERY_GROUP_R", "records",
          {{"UID", uid},
           {"addr", g.addr()},
           {"recordCount", int64_t{2}},
           {"groupIds", std::vector<int64_t>{g.u16(), g.u16(), g.u16()}},
           {"servers", g.addrs(2)}});
    b.add("MSG_QUERY_GROUP_R", "blob",
          {{"UID", uid},
           {"addr", g.addr()},
           {"recordCount", int64_t{3}},
           {"groupIds", std::vector<int64_t>{g.u16(), g.u16(), g.u16()}},
           {"servers", g.addrs(3)},
           {"blob", g.bytes(5)}});
    b.add("MSG_QUERY_GROUP_V1_R", "std",
          {{"UID", uid},
           {"groupId1", g.u16()},
           {"groupId2", g.u16()},
           {"groupId3", g.u16()},
           {"serverCount", int64_t{2}},
           {"addr", g.addr()},
           {"servers", g.addrs(2)}});
    b.add("MSG_GROUP_INFO", "std",
          {{"UID", uid},
           {"groupId1", g.u16()},
           {"groupId2", g.u16()},
           {"groupId3", g.u16()},
           {"serverCount", int64_t{2}},
           {"addr", g.addr()},
           {"info", g.bytes(7)},
           {"word", g.u32()},
           {"servers", g.addrs(2)}});

    b.add("MSG_PROBE", "std", {{"counter", g.u32()}, {"instance", g.u16()}, {"byte", int64_t{g.byte()}}});
    b.add("MSG_PROBE_EX", "std", {{"counter", g.u32()}, {"instance", g.u16()}, {"byte", int64_t{g.byte()}}});
    b.add("MSG_PROBE_R", "std", {{"addr", g.addr()}});
    b.add("MSG_PROBE_EX_R", "std", {{"addr", g.addr()}});
    b.add("MSG_LOGIN", "std",
          {{"UID", uid},
           {"localAddr", g.addr()},
           {"natType", int64_t{2}},
           {"libraryVersion", kLib},
           {"observed", g.addrs(8)},
           {"observedFlags", g.u32s(8)},
           {"counter", g.u32()},
           {"instance", g.u16()},
           {"loginInterval", int64_t{25}},
           {"localListKnown", int64_t{1}},
           {"localListAddr", g.u32()},
           {"localListPort", g.u16()}});
    b.add("MSG_LOGIN_OK", "std", {{"UID", uid}, {"addr", g.addr()}});
    b.add("MSG_LOGIN_R", "short36", {{"UID", uid}, {"addr", g.addr()}});
    b.add("MSG_LOGIN_R", "long272",
          {{"UID", uid}, {"addr", g.addr()}, {"redirect", int64_t{0x03}}, {"stop", int64_t{0x05}}});
    b.add("MSG_WAKE_QUERY", "std", {{"UID", uid}, {"check", g.u32()}});
    b.add("MSG_WAKEUP", "std", {{"UID", uid}});
    b.add("MSG_DEVICE_WAKING", "uid20", {{"UID", uid}});
    b.add("MSG_DEVICE_WAKING", "seconds24", {{"UID", uid}, {"wakeSeconds", g.u32()}});
    b.add("MSG_QUERY_DEVICE", "std", {{"UID", uid}});
    b.add("MSG_QUERY_DEVICE", "uid_short", {{"UID", std::string("QVTEST01")}}, "std");
    b.add("MSG_QUERY_DEVICE2", "std", {{"UID", uid}});
    for (const char *m : {"MSG_QUERY_DEVICE_R", "MSG_QUERY_DEVICE2_R"})
        b.add(m, "std",
              {{"UID", uid}, {"wakeSeconds", g.u32()}, {"natType", int64_t{3}}, {"libraryVersion", kLib}});
    b.add("MSG_QUERY_DEVICE_FAIL", "std", {{"UID", uid}, {"code", int64_t{-7}}});
    b.add("MSG_TIME_PING", "std", {{"UID", uid}, {"word1", g.u32()}, {"word2", g.u32()}});
    b.add("MSG_TIME_PING_R", "std",
          {{"UID", uid}, {"word1", g.u32()}, {"word2", g.u32()}, {"time1", g.u32()}, {"time2", g.u32()}});

    b.add("MSG_PUNCH", "punch36", {{"UID", uid}});
    b.add("MSG_PUNCH", "punch96",
          {{"UID", uid},
           {"localAddrs", g.addrs(4)},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"natType", int64_t{2}}});
    b.add("MSG_PUNCH", "punch272",
          {{"UID", uid},
           {"localAddrs", g.addrs(4)},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"natType", int64_t{3}},
           {"observed", g.addrs(8)},
           {"observedFlags", g.u32s(8)}});
    b.add("MSG_PEER_ADDRESS", "short36", {{"UID", uid}, {"addr", g.addr()}});
    b.add("MSG_PEER_ADDRESS", "server36", {{"UID", uid}, {"addr", g.addr()}});
    b.add("MSG_PEER_ADDRESS", "server116",
          {{"UID", uid},
           {"addr", g.addr()},
           {"localAddrs", g.addrs(4)},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"natType", int64_t{2}}});
    b.add("MSG_PEER_ADDRESS", "server292",
          {{"UID", uid},
           {"addr", g.addr()},
           {"localAddrs", g.addrs(4)},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"natType", int64_t{3}},
           {"observed", g.addrs(8)},
           {"observedFlags", g.u32s(8)}});

    for (const char *m : {"MSG_P2P_HELLO", "MSG_P2P_HELLO_R", "MSG_P2P_HELLO_ACK"}) {
        const bool hello = std::string(m) == "MSG_P2P_HELLO", ack = std::string(m) == "MSG_P2P_HELLO_ACK";
        for (int full = 0; full < 2; ++full) {
            const std::string suffix = full ? "_full" : "";
            Fields lf = {{"UID", uid}, {"randomID", g.u32()}, {"mac", g.u32()}};
            Fields sf = {{"UID", uid}, {"randomID", g.u32()}};
            for (Fields *f : {&lf, &sf}) {
                if (full) f->emplace_back("routeFlags", int64_t{0x02});
                if (ack) f->emplace_back("seq", g.u16());
            }
            b.add(m, "long28" + suffix, lf, "long28");
            b.add(m, "short24" + suffix, sf, "short24");
        }
        if (hello)
            b.add(m, "long28_lan",
                  {{"UID", uid}, {"randomID", g.u32()}, {"mac", g.u32()}, {"extra", int64_t{1}}}, "long28");
    }
    b.add("MSG_P2P_DECOY", "decoy24", {{"UID", uid}, {"randomID", g.u32()}});
    b.add("MSG_P2P_DECOY", "decoy24_full",
          {{"UID", uid}, {"randomID", g.u32()}, {"routeFlags", int64_t{0x02}}}, "decoy24");

    b.add("MSG_SESSION_HELLO", "server28", {{"UID", uid}, {"randomID", g.u32()}, {"mac", g.u32()}});
    b.add("MSG_SESSION_HELLO", "answer24", {{"UID", uid}, {"result", int64_t{-1}}});
    b.add("MSG_SESSION_HELLO", "answer32",
          {{"UID", uid}, {"result", int64_t{0}}, {"randomID", g.u32()}, {"mac", g.u32()}});
    b.add("MSG_RELAY_REQUEST", "short20", {{"UID", uid}});
    b.add("MSG_RELAY_REQUEST", "long32", {{"UID", uid}, {"randomID", g.u32()}, {"mac", g.u32()}});
    b.add("MSG_RELAY_REQUEST2", "std", {{"UID", uid}, {"randomID", g.u32()}, {"mac", g.u32()}});
    b.add("MSG_RELAY_REQUEST_R", "short24", {{"UID", uid}, {"status", int64_t{-5}}});
    b.add("MSG_RELAY_REQUEST_R", "long32",
          {{"UID", uid}, {"status", int64_t{-6}}, {"randomID", g.u32()}, {"mac", g.u32()}});
    b.add("MSG_RELAY_REQUEST2_R", "long32",
          {{"UID", uid}, {"status", int64_t{-1}}, {"randomID", g.u32()}, {"mac", g.u32()}});
    b.add("MSG_RELAY_JOIN", "short20", {{"UID", uid}});
    b.add("MSG_RELAY_JOIN", "long44",
          {{"UID", uid},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"status", int64_t{0x81}},
           {"libraryVersion", kLib},
           {"natType", int64_t{2}}});
    Fields attach = {{"sessionTag", g.u16()},
                     {"UID", uid},
                     {"relaySession", g.u16()},
                     {"deviceAddr", g.addr()},
                     {"clientAddr", g.addr()}};
    b.add("MSG_RELAY_ATTACH", "short56", attach);
    Fields attach80 = {{"sessionTag", g.u16()},
                       {"UID", uid},
                       {"relaySession", g.u16()},
                       {"deviceAddr", g.addr()},
                       {"clientAddr", g.addr()},
                       {"randomID", g.u32()},
                       {"mac", g.u32()},
                       {"deviceVersion", kLib},
                       {"clientVersion", g.u32()},
                       {"deviceProtocol", int64_t{20}},
                       {"clientProtocol", int64_t{11}}};
    b.add("MSG_RELAY_ATTACH", "long80", attach80);
    attach80.emplace_back("deviceNatType", int64_t{2});
    attach80.emplace_back("clientNatType", int64_t{3});
    attach80[0].second = g.u16();
    b.add("MSG_RELAY_ATTACH", "long88", attach80);
    for (const char *form : {"device", "client"})
        b.add("MSG_RELAY_ATTACH_R", form,
              {{"sessionTag", g.u16()}, {"UID", uid}, {"randomID", g.u32()}, {"mac", g.u32()}});

    // Data lengths chosen so that the scrambled tails are 2, 4, 8, 5, 12 and 0 bytes.
    for (const char *m : {"MSG_P2P_DATA_C", "MSG_P2P_DATA_D", "MSG_RELAY_DATA_C", "MSG_RELAY_DATA_D",
                          "MSG_RELAY_DATA_IN1", "MSG_RELAY_DATA_IN3"}) {
        const bool sent = std::string(m).find("_IN") == std::string::npos;
        const bool direct = std::string(m).starts_with("MSG_P2P_");
        // The header fields are drawn before the payload's.
        auto data = [&](const char *form, int64_t flags, auto payload) {
            Fields f = {{"seq", g.u16()}, {"sessionTag", g.u16()}, {"channel", int64_t{g.byte() % 32}}};
            if (flags != kFlagScrambled) f.emplace_back("flags", flags);
            for (auto &kv : payload()) f.push_back(std::move(kv));
            // An acknowledged message on a direct route is tagged with the low half of its randomID.
            const Value *id = find_field(f, "randomID");
            if (direct && find_field(f, "msgSeq") && id) f[1].second = std::get<int64_t>(*id) & 0xFFFF;
            b.add(m, form, std::move(f));
        };
        data("noext", 0x02, [&] { return Fields{{"data", g.bytes(18)}}; });
        data("ext", 0x0A, [&] {
            return Fields{{"randomID", g.u32()}, {"mac", g.u32()}, {"data", g.bytes(8)}};
        });
        data("blocks12", 0x06, [&] {
            return Fields{
                {"msgSeq", g.u32()}, {"randomID", g.u32()}, {"kind", int64_t{0}}, {"text", g.bytes(12)}};
        });
        data("blocks16", 0x0E, [&] {
            return Fields{{"msgSeq", g.u32()},
                          {"randomID", g.u32()},
                          {"kind", int64_t{0}},
                          {"mac", g.u32()},
                          {"text", g.bytes(5)}};
        });
        data("ack12", 0x06, [&] {
            return Fields{{"msgSeq", g.u32()}, {"randomID", g.u32()}, {"kind", int64_t{1}}};
        });
        data("ack16", 0x0E, [&] {
            return Fields{{"msgSeq", g.u32()}, {"randomID", g.u32()}, {"kind", int64_t{1}}, {"mac", g.u32()}};
        });
        if (!sent) continue;
        data("noext_head64", 0x03, [&] { return Fields{{"data", g.bytes(100)}}; });
        data("ext_head64", 0x0B, [&] {
            return Fields{{"randomID", g.u32()}, {"mac", g.u32()}, {"data", g.bytes(90)}};
        });
        data("blocks12_head64", 0x07, [&] {
            return Fields{
                {"msgSeq", g.u32()}, {"randomID", g.u32()}, {"kind", int64_t{0}}, {"text", g.bytes(70)}};
        });
        data("blocks16_head64", 0x0F, [&] {
            return Fields{{"msgSeq", g.u32()},
                          {"randomID", g.u32()},
                          {"kind", int64_t{0}},
                          {"mac", g.u32()},
                          {"text", g.bytes(60)}};
        });
    }
    for (const char *m :
         {"MSG_P2P_CLOSE_C", "MSG_P2P_CLOSE_D", "MSG_P2P_ALIVE_C", "MSG_P2P_ALIVE_D", "MSG_RELAY_CLOSE_C",
          "MSG_RELAY_CLOSE_D", "MSG_RELAY_ALIVE_C", "MSG_RELAY_ALIVE_D", "MSG_RELAY_CLOSE_IN1",
          "MSG_RELAY_CLOSE_IN3", "MSG_RELAY_ALIVE_IN1", "MSG_RELAY_ALIVE_IN3"}) {
        // A direct keep-alive carries no tag: the receiver finds the session by the sender's address.
        if (std::string(m).starts_with("MSG_P2P_ALIVE")) {
            b.add(m, "noext", {});
            b.add(m, "ext", {{"flags", int64_t{0x0A}}, {"randomID", g.u32()}, {"mac", g.u32()}});
            continue;
        }
        b.add(m, "noext", {{"sessionTag", g.u16()}});
        b.add(m, "ext",
              {{"sessionTag", g.u16()}, {"flags", int64_t{0x0A}}, {"randomID", g.u32()}, {"mac", g.u32()}});
    }

    b.add("MSG_LAN_SEARCH", "std",
          {{"extra", int64_t{g.byte()}},
           {"UID", uid},
           {"libraryVersion", kLib},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"mode", int64_t{1}}});
    b.add("MSG_LAN_SEARCH", "plain_search",
          {{"extra", int64_t{1}},
           {"UID", uid},
           {"libraryVersion", kLib},
           {"randomID", int64_t{0}},
           {"mac", int64_t{0}},
           {"mode", int64_t{0}}},
          "std");
    b.add("MSG_LAN_SEARCH_R", "full184",
          {{"UID", uid},
           {"description", std::string("Bench NAS, shelf 2")},
           {"libraryVersion", kLib},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"mode", int64_t{1}}});
    b.add("MSG_LAN_SEARCH_R", "old168", {{"UID", uid}, {"description", std::string("Old NAS")}});
    b.add("MSG_LAN_SEARCH_R", "old36", {{"UID", uid}});
    b.add("MSG_LAN_CONNECT", "std",
          {{"UID", uid},
           {"libraryVersion", kLib},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"token", g.u32()}});
    b.add("MSG_VERSION_QUERY", "std", {{"UID", uid}});
    b.add("MSG_VERSION_QUERY_R", "std",
          {{"UID", uid}, {"uidExtra", g.bytes(8)}, {"result", int64_t{2}}, {"groupInfo", g.bytes(7)}});
    b.add("MSG_SESSION_INFO", "std",
          {{"UID", uid},
           {"addr", g.addr()},
           {"peerNatType", int64_t{3}},
           {"natType", int64_t{2}},
           {"routeKind", int64_t{1}}});
    b.add("MSG_SESSION_REPORT", "std",
          {{"remoteUID", uid},
           {"addr", g.addr()},
           {"peerNatType", int64_t{2}},
           {"natType", int64_t{3}},
           {"routeByte", int64_t{1}},
           {"value", g.u32()},
           {"peerVersion", g.u32()},
           {"libraryVersion", kLib},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"localAddrs", g.addrs(4)},
           {"observed", g.addrs(8)},
           {"stats2", g.bytes(64)},
           {"stats1", g.bytes(128)},
           {"observedFlags", g.u32s(8)},
           {"stats3", g.bytes(32)},
           {"peerAddr", g.addr()},
           {"uptimeMs", g.u32()}});
    b.add("MSG_SESSION_REPORT2", "client",
          {{"UID", uid},
           {"result", int64_t{-42}},
           {"text", std::string("relay task expired")},
           {"data", g.bytes(20)}});
    b.add("MSG_SESSION_REPORT2", "device",
          {{"UID", uid}, {"result", int64_t{-30006}}, {"text", std::string(128, 'x')}, {"data", Bytes{}}});
    // The largest packets either side builds: 1,416 bytes, the receive limit.
    b.add(
        "MSG_SESSION_REPORT2", "client_max",
        {{"UID", uid}, {"result", int64_t{-41}}, {"text", std::string("no route")}, {"data", g.bytes(1248)}},
        "client");
    b.add("MSG_P2P_DATA_C", "ext_max",
          {{"seq", g.u16()},
           {"sessionTag", g.u16()},
           {"channel", int64_t{31}},
           {"flags", int64_t{0x0A}},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"data", g.bytes(1388)}},
          "ext");
    // Local addresses unknown (LAN lookup off): four zero blocks.
    b.add("MSG_PUNCH", "punch96_nolocal",
          {{"UID", uid},
           {"localAddrs", std::vector<Addr>(4)},
           {"randomID", g.u32()},
           {"mac", g.u32()},
           {"natType", int64_t{2}}},
          "punch96");
}

void json_string(std::string &out, const std::string &s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

}  // namespace

std::vector<Vector> golden_vectors() {
    Builder b;
    add_vectors(b);
    return std::move(b.out);
}

std::string json_value(const Value &v) {
    std::string out;
    if (auto *n = std::get_if<int64_t>(&v)) {
        out = std::to_string(*n);
    } else if (auto *s = std::get_if<std::string>(&v)) {
        json_string(out, *s);
    } else if (auto *b = std::get_if<Bytes>(&v)) {
        json_string(out, to_hex(*b));
    } else if (auto *a = std::get_if<Addr>(&v)) {
        json_string(out, addr_text(*a));
    } else if (auto *ns = std::get_if<std::vector<int64_t>>(&v)) {
        out = "[";
        for (size_t i = 0; i < ns->size(); ++i) out += (i ? "," : "") + std::to_string((*ns)[i]);
        out += "]";
    } else if (auto *as = std::get_if<std::vector<Addr>>(&v)) {
        out = "[";
        for (size_t i = 0; i < as->size(); ++i) {
            if (i) out += ",";
            json_string(out, addr_text((*as)[i]));
        }
        out += "]";
    }
    return out;
}

std::string vector_file(std::string *error) {
    std::string out =
        "{\"comment\":\"One session packet per line. name: unique; msg: message name; form: its variant; "
        "fields: "
        "the builder's inputs by the message's field names; hex: the datagram as sent (scrambled); "
        "plain_hex: "
        "the same packet before scrambling. Numbers are decimal (signed fields negative where so). Byte "
        "strings "
        "are lower-case hex. UIDs and other texts are JSON strings, NUL-padded on the wire to the field's "
        "width. "
        "Addresses are \\\"a.b.c.d:port\\\" and travel as 16-byte blocks 00 02 <port, network order> <a b c "
        "d> "
        "and eight zero bytes; \\\"0.0.0.0:0\\\" is sixteen zero bytes. Lists are arrays (fixed-size lists "
        "are "
        "zero-filled on the wire). Header: magic 0x0204, version 20, flags 0x02, route = the message's own "
        "code (0 from servers, masters and relays; relayed data keeps the sender's), and seq, sessionTag, "
        "channel, extra, routeFlags 0 unless the fields name them; a flags field gives the whole flags byte. "
        "Fixed values (QUERY_GROUP byte 36 = 6, RELAY_REQUEST 60000, RELAY_REQUEST2 60 and 5, RELAY_JOIN 20, "
        "TIME_PING_R 20, WAKEUP text, the 12 of the session-word block) are not fields.\"}\n";
    std::set<std::string> names;
    for (const Vector &v : golden_vectors()) {
        std::string why;
        std::optional<Bytes> plain = v.layout ? build_plain(*v.layout, v.fields, &why) : std::nullopt;
        if (!v.layout) why = "no such form";
        if (!plain || !names.insert(v.name).second) {
            if (error) *error = v.name + ": " + (plain ? "duplicate name" : why);
            return {};
        }
        out += "{\"name\":";
        json_string(out, v.name);
        out += ",\"msg\":";
        json_string(out, v.msg);
        out += ",\"form\":";
        json_string(out, v.form);
        out += ",\"fields\":{";
        for (size_t i = 0; i < v.fields.size(); ++i) {
            if (i) out += ",";
            json_string(out, v.fields[i].first);
            out += ":" + json_value(v.fields[i].second);
        }
        out += "},\"hex\":";
        json_string(out, to_hex(seal(*plain)));
        out += ",\"plain_hex\":";
        json_string(out, to_hex(*plain));
        out += "}\n";
    }
    return out;
}

}  // namespace qvbed::psl
