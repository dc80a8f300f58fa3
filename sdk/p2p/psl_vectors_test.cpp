// The test bed's independently written vector file against the SDK: every vector built from its fields with
// the SDK's builders equals the vector byte for byte, before and after scrambling; what _PSL_SendPacket puts
// on a loopback socket equals the vector; every vector reads back field by field through the SDK's readers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "p2p/psl_messages.h"
#include "p2p/tconn_manager.h"

namespace {

struct Vector {
    std::string name, msg, form;
    json_object *fields = nullptr;  // owned by the document
    std::vector<uint8_t> wire, plain;
};

// Lower-case hex to bytes; false (and no bytes) for odd length or a character that is not a hex digit.
bool unhex(const char *s, std::vector<uint8_t> *out) {
    out->clear();
    if (!s) return false;
    auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    size_t n = strlen(s);
    if (n % 2) return false;
    for (size_t i = 0; i < n; i += 2) {
        int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) {
            out->clear();
            return false;
        }
        out->push_back((uint8_t)(hi << 4 | lo));
    }
    return true;
}

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// "a.b.c.d:port" to an address block; false for any other text.
bool addrBlock(const char *text, std::vector<uint8_t> *out) {
    out->assign(16, 0);
    if (!text) return false;
    std::string t(text);
    size_t colon = t.rfind(':');
    in_addr a{};
    if (colon == std::string::npos || inet_pton(AF_INET, t.substr(0, colon).c_str(), &a) != 1) return false;
    char *end = nullptr;
    std::string portText = t.substr(colon + 1);
    unsigned long port = strtoul(portText.c_str(), &end, 10);
    if (portText.empty() || *end || port > 0xffff) return false;
    psl_AddrBlock(out->data(), a.s_addr, htons((uint16_t)port));
    return true;
}

std::string addrText(const uint8_t *b) {
    char ip[32];
    inet_ntop(AF_INET, b + 4, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string((b[2] << 8) | b[3]);
}

// The SDK's form for a vector's variant: header-only variations, the largest packet of a form and a form
// with its optional blocks zero share their base layout.
std::string sdkForm(const std::string &msg, std::string form) {
    for (const char *suffix : {"_full", "_lan", "_head64", "_max", "_nolocal"}) {
        size_t at = form.find(suffix);
        if (at != std::string::npos && at + strlen(suffix) == form.size()) form.resize(at);
    }
    if (form == "known" || form == "uid_short" || form == "plain_search") return "std";
    if (msg == "MSG_QUERY_GROUP_R") return "records";
    return form;
}

class Vectors : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::ifstream in(QV_SOURCE_DIR "/testbed/p2p/psl_vectors.jsonl");
        std::string line;
        bool first = true;
        while (std::getline(in, line)) {
            json_object *o = json_tokener_parse(line.c_str());
            if (!o) {
                problems.push_back("not JSON: " + line.substr(0, 80));
                continue;
            }
            docs.push_back(o);
            if (first) {  // the format note
                first = false;
                continue;
            }
            Vector v;
            const char *name = json_object_get_string(json_object_object_get(o, "name"));
            const char *msg = json_object_get_string(json_object_object_get(o, "msg"));
            const char *form = json_object_get_string(json_object_object_get(o, "form"));
            v.fields = json_object_object_get(o, "fields");
            v.name = name ? name : "line " + std::to_string(docs.size());
            if (!msg || !form || !json_object_is_type(v.fields, json_type_object)) {
                problems.push_back(v.name + ": msg, form or fields missing");
                continue;
            }
            v.msg = msg;
            v.form = form;
            if (!unhex(json_object_get_string(json_object_object_get(o, "hex")), &v.wire) ||
                !unhex(json_object_get_string(json_object_object_get(o, "plain_hex")), &v.plain) ||
                v.wire.empty()) {
                problems.push_back(v.name + ": hex or plain_hex missing or not hex");
                continue;
            }
            vectors.push_back(v);
        }
    }
    static void TearDownTestSuite() {
        for (json_object *o : docs) json_object_put(o);
        docs.clear();
        vectors.clear();
        problems.clear();
    }
    static std::vector<json_object *> docs;
    static std::vector<Vector> vectors;
    static std::vector<std::string> problems;  // lines that could not be read
};
std::vector<json_object *> Vectors::docs;
std::vector<Vector> Vectors::vectors;
std::vector<std::string> Vectors::problems;

// Inputs of one vector as the SDK builder's named values; storage lives in the holder. A value that cannot be
// read as its field's kind is named in error.
struct Inputs {
    std::vector<PslValue> values;
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<std::vector<uint32_t>> words;
    std::string error;
};

Inputs inputsOf(const Vector &v, const PslFormDef *form) {
    Inputs in;
    in.bytes.reserve(64);
    in.words.reserve(64);
    json_object_object_foreach(v.fields, key, val) {
        PslValue pv{};
        pv.name = key;
        const PslFieldDef *f = psl_Form_Field(form, key);
        PslFieldKind kind = f ? f->kind : PSL_BYTES;
        if (!f && !strcmp(key, "servers")) kind = PSL_ADDRLIST;
        if (!f && !strcmp(key, "groupIds")) kind = PSL_U32S;
        bool ok = true;
        if (json_object_is_type(val, json_type_int)) {
            pv.num = json_object_get_int64(val);
        } else if (json_object_is_type(val, json_type_array)) {
            if (kind == PSL_U32S) {
                in.words.emplace_back();
                for (size_t i = 0; i < json_object_array_length(val); ++i) {
                    json_object *w = json_object_array_get_idx(val, i);
                    ok = ok && json_object_is_type(w, json_type_int);
                    in.words.back().push_back((uint32_t)json_object_get_int64(w));
                }
                pv.words = in.words.back().data();
                pv.count = in.words.back().size();
            } else {
                in.bytes.emplace_back();
                for (size_t i = 0; i < json_object_array_length(val); ++i) {
                    std::vector<uint8_t> b;
                    ok = ok && addrBlock(json_object_get_string(json_object_array_get_idx(val, i)), &b);
                    in.bytes.back().insert(in.bytes.back().end(), b.begin(), b.end());
                }
                pv.bytes = in.bytes.back().data();
                pv.len = in.bytes.back().size();
            }
        } else if (json_object_is_type(val, json_type_string)) {
            const char *s = json_object_get_string(val);
            in.bytes.emplace_back();
            if (kind == PSL_ADDR)
                ok = addrBlock(s, &in.bytes.back());
            else if (kind == PSL_TEXT)
                in.bytes.back().assign(s, s + strlen(s));
            else
                ok = unhex(s, &in.bytes.back());
            pv.bytes = in.bytes.back().data();
            pv.len = in.bytes.back().size();
        } else {
            ok = false;
        }
        if (!ok && in.error.empty()) in.error = std::string("field ") + key + " cannot be read as its kind";
        in.values.push_back(pv);
    }
    return in;
}

// The SDK's message and form for a vector; a clean failure names what is missing.
::testing::AssertionResult lookUp(const Vector &v, const PslMsgDef **m, const PslFormDef **form) {
    *m = psl_Msg_ByName(v.msg.c_str());
    if (!*m) return ::testing::AssertionFailure() << "no message " << v.msg;
    *form = psl_Msg_Form(*m, sdkForm(v.msg, v.form).c_str());
    if (!*form) return ::testing::AssertionFailure() << v.msg << " has no form " << v.form;
    return ::testing::AssertionSuccess();
}

TEST_F(Vectors, EveryLineOfTheFileReads) {
    for (const std::string &p : problems) ADD_FAILURE() << p;
}

// Builds a vector from its fields into pkt (PSL_SEND_MAX bytes); the packet's size, or 0 after a failure that
// names the vector's problem.
int buildVector(const Vector &v, uint8_t *pkt) {
    const PslMsgDef *m = nullptr;
    const PslFormDef *form = nullptr;
    if (::testing::AssertionResult r = lookUp(v, &m, &form); !r) {
        ADD_FAILURE() << r.message();
        return 0;
    }
    Inputs in = inputsOf(v, form);
    if (!in.error.empty()) {
        ADD_FAILURE() << in.error;
        return 0;
    }
    int n = psl_Msg_Build(m, form, in.values.data(), in.values.size(), pkt, PSL_SEND_MAX);
    if (n <= 0) ADD_FAILURE() << "the builder refused the fields";
    return n > 0 ? n : 0;
}

TEST_F(Vectors, EveryVectorIsBuiltByteForByteAndScrambledAlike) {
    ASSERT_GT(vectors.size(), 150u) << "vector file missing or short";
    for (const Vector &v : vectors) {
        SCOPED_TRACE(v.name);
        uint8_t pkt[PSL_SEND_MAX];
        int n = buildVector(v, pkt);
        if (!n) continue;
        EXPECT_EQ(hex(pkt, (size_t)n), hex(v.plain.data(), v.plain.size()));
        uint8_t wire[PSL_SEND_MAX];
        _PSL_Scramble(pkt, wire, (uint16_t)n, (pkt[3] & PSL_FLAG_HEAD64) ? 64 : (uint16_t)n);
        EXPECT_EQ(hex(wire, (size_t)n), hex(v.wire.data(), v.wire.size()));
    }
}

// The largest packet of a form is the largest a receiver reads; one byte more is refused by the builder.
TEST_F(Vectors, OneByteOverTheLargestFormIsRefused) {
    size_t seen = 0;
    for (const Vector &v : vectors) {
        if (v.form.size() < 4 || v.form.compare(v.form.size() - 4, 4, "_max") != 0) continue;
        SCOPED_TRACE(v.name);
        ++seen;
        EXPECT_EQ(v.plain.size(), (size_t)PSL_UDP_RECV_MAX);
        const PslMsgDef *m = nullptr;
        const PslFormDef *form = nullptr;
        ASSERT_TRUE(lookUp(v, &m, &form));
        Inputs in = inputsOf(v, form);
        ASSERT_EQ(in.error, "");
        uint8_t pkt[PSL_SEND_MAX];
        ASSERT_EQ(psl_Msg_Build(m, form, in.values.data(), in.values.size(), pkt, sizeof pkt),
                  PSL_UDP_RECV_MAX);
        for (PslValue &pv : in.values) {
            if (strcmp(pv.name, "data") != 0) continue;
            std::vector<uint8_t> longer(pv.bytes, pv.bytes + pv.len);
            longer.push_back(0x5a);
            pv.bytes = longer.data();
            pv.len = longer.size();
            EXPECT_EQ(psl_Msg_Build(m, form, in.values.data(), in.values.size(), pkt, sizeof pkt), -1);
        }
    }
    EXPECT_GT(seen, 0u) << "no largest-packet vectors in the file";
}

TEST_F(Vectors, WhatTheSendRoutinePutsOnALoopbackSocketEqualsEachVector) {
    LinuxConnMgr *mgr = nullptr;
    ASSERT_EQ(LinuxConnMgr_getInstance(&mgr), 0);
    LinuxConn *conn = nullptr;
    ASSERT_EQ(LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &conn), 0);
    uint16_t port = 0;
    ASSERT_EQ(LinuxConn_open(conn, nullptr, &port, 0, nullptr, nullptr, nullptr, nullptr), 0);
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sink, (sockaddr *)&a, sizeof a), 0);
    socklen_t al = sizeof a;
    getsockname(sink, (sockaddr *)&a, &al);
    timeval tv{2, 0};
    setsockopt(sink, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (const Vector &v : vectors) {
        SCOPED_TRACE(v.name);
        uint8_t pkt[PSL_SEND_MAX];
        int n = buildVector(v, pkt);
        if (!n) continue;
        pkt[3] &= (uint8_t)~PSL_FLAG_SCRAMBLED;  // the send routine sets it
        ASSERT_EQ(_PSL_SendPacket(conn, pkt, (uint16_t)n, "127.0.0.1", a.sin_port), n);
        EXPECT_EQ(hex(pkt, (size_t)n), hex(v.plain.data(), v.plain.size()));
        uint8_t got[2048];
        ssize_t r = recv(sink, got, sizeof got, 0);
        ASSERT_EQ(r, n);
        EXPECT_EQ(hex(got, (size_t)r), hex(v.wire.data(), v.wire.size()));
    }
    close(sink);
    LinuxConnMgr_destroyConnection(mgr, conn);
    LinuxConnMgr_release(mgr);
}

// A JSON value as text; "" for a missing one.
std::string text(json_object *o) {
    const char *s = o ? json_object_get_string(o) : nullptr;
    return s ? s : "";
}

// One vector's fields read back from its payload through the catalogue's readers.
void readBack(const Vector &v, const PSLPacketHeader &h, const PslFormDef *form, const uint8_t *payload) {
    static const char *headerNames[] = {"seq", "sessionTag", "channel", "extra", "routeFlags", "flags"};
    if (v.msg == "MSG_QUERY_GROUP_R") {
        PslGroupRecords g{};
        ASSERT_EQ(psl_ReadQueryGroupR(payload, h.length, &g), 0);
        EXPECT_EQ(std::string(g.uid), text(json_object_object_get(v.fields, "UID")));
        EXPECT_EQ(addrText(g.addr), text(json_object_object_get(v.fields, "addr")));
        json_object *ids = json_object_object_get(v.fields, "groupIds");
        ASSERT_TRUE(json_object_is_type(ids, json_type_array) && json_object_array_length(ids) == 3)
            << "groupIds";
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(g.groupIds[i], json_object_get_int(json_object_array_get_idx(ids, i)));
        json_object *servers = json_object_object_get(v.fields, "servers");
        ASSERT_TRUE(json_object_is_type(servers, json_type_array)) << "servers";
        ASSERT_EQ(g.serverCount, json_object_array_length(servers));
        for (size_t i = 0; i < g.serverCount; ++i)
            EXPECT_EQ(addrText(g.servers + 16 * i), text(json_object_array_get_idx(servers, i)));
        if (json_object *blob = json_object_object_get(v.fields, "blob")) {
            EXPECT_EQ(hex(g.blob, g.blobLen), text(blob));
        }
        return;
    }
    json_object_object_foreach(v.fields, key, val) {
        SCOPED_TRACE(key);
        bool isHeader = false;
        for (const char *hn : headerNames) isHeader |= !strcmp(hn, key);
        if (isHeader) {
            int64_t got = !strcmp(key, "seq")          ? h.seq
                          : !strcmp(key, "sessionTag") ? h.sessionTag
                          : !strcmp(key, "channel")    ? h.channel
                          : !strcmp(key, "extra")      ? h.extra
                          : !strcmp(key, "routeFlags") ? h.routeFlags
                                                       : h.flags;
            EXPECT_EQ(got, json_object_get_int64(val));
            continue;
        }
        PslValue out{};
        if (psl_Msg_Get(form, payload, h.length, key, &out) != 0) {
            ADD_FAILURE() << "the reader has no such field in this payload";
            continue;
        }
        const PslFieldDef *f = psl_Form_Field(form, key);
        bool isList = f->kind == PSL_ADDRS || f->kind == PSL_ADDRLIST || f->kind == PSL_U32S;
        if (isList && !json_object_is_type(val, json_type_array)) {
            ADD_FAILURE() << "a list field that is not an array";
            continue;
        }
        switch (f->kind) {
            case PSL_U8:
            case PSL_U16:
            case PSL_U32:
            case PSL_I32:
                EXPECT_EQ(out.num, json_object_get_int64(val));
                break;
            case PSL_TEXT:
                EXPECT_EQ(std::string((const char *)out.bytes, out.len), text(val));
                break;
            case PSL_ADDR:
                EXPECT_EQ(addrText(out.bytes), text(val));
                break;
            case PSL_ADDRS:
            case PSL_ADDRLIST:
                EXPECT_EQ(out.len / 16, json_object_array_length(val));
                for (size_t i = 0; i < out.len / 16 && i < json_object_array_length(val); ++i)
                    EXPECT_EQ(addrText(out.bytes + 16 * i), text(json_object_array_get_idx(val, i)));
                break;
            case PSL_U32S:
                EXPECT_EQ(out.count, json_object_array_length(val));
                for (size_t i = 0; i < out.count && i < json_object_array_length(val); ++i)
                    EXPECT_EQ(psl_GetU32(out.bytes + 4 * i),
                              (uint32_t)json_object_get_int64(json_object_array_get_idx(val, i)));
                break;
            default:
                EXPECT_EQ(hex(out.bytes, out.len), text(val));
                break;
        }
    }
    // The user data of a data message, with the session-word block skipped.
    if (json_object *data = json_object_object_get(v.fields, "data"); data && !strcmp(form->form, "ext")) {
        const uint8_t *d = nullptr;
        size_t dl = 0;
        uint32_t rid = 0, mac = 0;
        ASSERT_EQ(psl_DataPayload(&h, payload, h.length, &d, &dl, &rid, &mac), 0);
        EXPECT_EQ(hex(d, dl), text(data));
        EXPECT_EQ(rid, (uint32_t)json_object_get_int64(json_object_object_get(v.fields, "randomID")));
        EXPECT_EQ(mac, (uint32_t)json_object_get_int64(json_object_object_get(v.fields, "mac")));
    }
}

TEST_F(Vectors, EveryVectorReadsBackThroughTheSdkReaders) {
    for (const Vector &v : vectors) {
        SCOPED_TRACE(v.name);
        if (v.wire.size() > PSL_UDP_RECV_MAX) {
            ADD_FAILURE() << "longer than any datagram a receiver reads";
            continue;
        }
        uint8_t plain[PSL_UDP_RECV_MAX];
        PSLPacketHeader h{};
        int n = psl_ReadDatagram(v.wire.data(), v.wire.size(), plain, &h);
        if (n != (int)v.wire.size()) {
            ADD_FAILURE() << "the datagram was dropped or cut: " << n;
            continue;
        }
        EXPECT_EQ(hex(plain, (size_t)n), hex(v.plain.data(), v.plain.size()));
        const PslMsgDef *m = psl_Msg_ByType(h.type);
        if (!m) {
            ADD_FAILURE() << "no message of type " << h.type;
            continue;
        }
        EXPECT_EQ(m->name, v.msg);
        const PslFormDef *form = psl_Msg_Form(m, sdkForm(v.msg, v.form).c_str());
        if (!form) {
            ADD_FAILURE() << v.msg << " has no form " << v.form;
            continue;
        }
        readBack(v, h, form, plain + PSL_HEADER_SIZE);
    }
}

}  // namespace
