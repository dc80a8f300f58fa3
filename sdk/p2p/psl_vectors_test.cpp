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

std::vector<uint8_t> unhex(const char *s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; s[i] && s[i + 1]; i += 2)
        out.push_back((uint8_t)std::stoi(std::string(s + i, 2), nullptr, 16));
    return out;
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

// "a.b.c.d:port" to an address block.
std::vector<uint8_t> addrBlock(const char *text) {
    std::string t(text);
    size_t colon = t.rfind(':');
    in_addr a{};
    inet_pton(AF_INET, t.substr(0, colon).c_str(), &a);
    std::vector<uint8_t> b(16);
    psl_AddrBlock(b.data(), a.s_addr, htons((uint16_t)std::stoi(t.substr(colon + 1))));
    return b;
}

std::string addrText(const uint8_t *b) {
    char ip[32];
    inet_ntop(AF_INET, b + 4, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string((b[2] << 8) | b[3]);
}

// The SDK's form for a vector's variant: header-only variations share their base layout.
std::string sdkForm(const std::string &msg, std::string form) {
    for (const char *suffix : {"_full", "_lan", "_head64"}) {
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
            ASSERT_NE(o, nullptr) << line;
            docs.push_back(o);
            if (first) {  // the format note
                first = false;
                continue;
            }
            Vector v;
            v.name = json_object_get_string(json_object_object_get(o, "name"));
            v.msg = json_object_get_string(json_object_object_get(o, "msg"));
            v.form = json_object_get_string(json_object_object_get(o, "form"));
            v.fields = json_object_object_get(o, "fields");
            v.wire = unhex(json_object_get_string(json_object_object_get(o, "hex")));
            v.plain = unhex(json_object_get_string(json_object_object_get(o, "plain_hex")));
            vectors.push_back(v);
        }
    }
    static void TearDownTestSuite() {
        for (json_object *o : docs) json_object_put(o);
        docs.clear();
        vectors.clear();
    }
    static std::vector<json_object *> docs;
    static std::vector<Vector> vectors;
};
std::vector<json_object *> Vectors::docs;
std::vector<Vector> Vectors::vectors;

// Inputs of one vector as the SDK builder's named values; storage lives in the holder.
struct Inputs {
    std::vector<PslValue> values;
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<std::vector<uint32_t>> words;
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
        if (json_object_is_type(val, json_type_int)) {
            pv.num = json_object_get_int64(val);
        } else if (json_object_is_type(val, json_type_array)) {
            if (kind == PSL_U32S) {
                in.words.emplace_back();
                for (size_t i = 0; i < json_object_array_length(val); ++i)
                    in.words.back().push_back(
                        (uint32_t)json_object_get_int64(json_object_array_get_idx(val, i)));
                pv.words = in.words.back().data();
                pv.count = in.words.back().size();
            } else {
                in.bytes.emplace_back();
                for (size_t i = 0; i < json_object_array_length(val); ++i) {
                    std::vector<uint8_t> b =
                        addrBlock(json_object_get_string(json_object_array_get_idx(val, i)));
                    in.bytes.back().insert(in.bytes.back().end(), b.begin(), b.end());
                }
                pv.bytes = in.bytes.back().data();
                pv.len = in.bytes.back().size();
            }
        } else {
            const char *s = json_object_get_string(val);
            if (kind == PSL_ADDR)
                in.bytes.push_back(addrBlock(s));
            else if (kind == PSL_TEXT)
                in.bytes.emplace_back(s, s + strlen(s));
            else
                in.bytes.push_back(unhex(s));
            pv.bytes = in.bytes.back().data();
            pv.len = in.bytes.back().size();
        }
        in.values.push_back(pv);
    }
    return in;
}

TEST_F(Vectors, EveryVectorIsBuiltByteForByteAndScrambledAlike) {
    ASSERT_GT(vectors.size(), 150u) << "vector file missing or short";
    for (const Vector &v : vectors) {
        SCOPED_TRACE(v.name);
        const PslMsgDef *m = psl_Msg_ByName(v.msg.c_str());
        ASSERT_NE(m, nullptr) << v.msg;
        const PslFormDef *form = psl_Msg_Form(m, sdkForm(v.msg, v.form).c_str());
        ASSERT_NE(form, nullptr) << v.form;
        Inputs in = inputsOf(v, form);
        uint8_t pkt[PSL_SEND_MAX];
        int n = psl_Msg_Build(m, form, in.values.data(), in.values.size(), pkt, sizeof pkt);
        ASSERT_GT(n, 0);
        EXPECT_EQ(hex(pkt, (size_t)n), hex(v.plain.data(), v.plain.size()));
        uint8_t wire[PSL_SEND_MAX];
        _PSL_Scramble(pkt, wire, (uint16_t)n, (pkt[3] & PSL_FLAG_HEAD64) ? 64 : (uint16_t)n);
        EXPECT_EQ(hex(wire, (size_t)n), hex(v.wire.data(), v.wire.size()));
    }
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
        const PslMsgDef *m = psl_Msg_ByName(v.msg.c_str());
        const PslFormDef *form = psl_Msg_Form(m, sdkForm(v.msg, v.form).c_str());
        Inputs in = inputsOf(v, form);
        uint8_t pkt[PSL_SEND_MAX];
        int n = psl_Msg_Build(m, form, in.values.data(), in.values.size(), pkt, sizeof pkt);
        ASSERT_GT(n, 0);
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

TEST_F(Vectors, EveryVectorReadsBackThroughTheSdkReaders) {
    static const char *headerNames[] = {"seq", "sessionTag", "channel", "extra", "routeFlags", "flags"};
    for (const Vector &v : vectors) {
        SCOPED_TRACE(v.name);
        if (v.wire.size() > PSL_UDP_RECV_MAX) continue;  // too long for a datagram the SDK accepts
        uint8_t plain[PSL_UDP_RECV_MAX];
        PSLPacketHeader h{};
        int n = psl_ReadDatagram(v.wire.data(), v.wire.size(), plain, &h);
        ASSERT_EQ(n, (int)v.wire.size());
        EXPECT_EQ(hex(plain, (size_t)n), hex(v.plain.data(), v.plain.size()));
        const PslMsgDef *m = psl_Msg_ByType(h.type);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->name, v.msg);
        const PslFormDef *form = psl_Msg_Form(m, sdkForm(v.msg, v.form).c_str());
        const uint8_t *payload = plain + PSL_HEADER_SIZE;
        if (v.msg == "MSG_QUERY_GROUP_R") {
            PslGroupRecords g{};
            ASSERT_EQ(psl_ReadQueryGroupR(payload, h.length, &g), 0);
            EXPECT_STREQ(g.uid, json_object_get_string(json_object_object_get(v.fields, "UID")));
            EXPECT_EQ(addrText(g.addr), json_object_get_string(json_object_object_get(v.fields, "addr")));
            json_object *ids = json_object_object_get(v.fields, "groupIds");
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(g.groupIds[i], json_object_get_int(json_object_array_get_idx(ids, i)));
            json_object *servers = json_object_object_get(v.fields, "servers");
            ASSERT_EQ(g.serverCount, json_object_array_length(servers));
            for (size_t i = 0; i < g.serverCount; ++i)
                EXPECT_EQ(addrText(g.servers + 16 * i),
                          json_object_get_string(json_object_array_get_idx(servers, i)));
            if (json_object *blob = json_object_object_get(v.fields, "blob")) {
                EXPECT_EQ(hex(g.blob, g.blobLen), json_object_get_string(blob));
            }
            continue;
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
            ASSERT_EQ(psl_Msg_Get(form, payload, h.length, key, &out), 0);
            const PslFieldDef *f = psl_Form_Field(form, key);
            switch (f->kind) {
                case PSL_U8:
                case PSL_U16:
                case PSL_U32:
                case PSL_I32:
                    EXPECT_EQ(out.num, json_object_get_int64(val));
                    break;
                case PSL_TEXT:
                    EXPECT_EQ(std::string((const char *)out.bytes, out.len), json_object_get_string(val));
                    break;
                case PSL_ADDR:
                    EXPECT_EQ(addrText(out.bytes), json_object_get_string(val));
                    break;
                case PSL_ADDRS:
                case PSL_ADDRLIST:
                    ASSERT_EQ(out.len / 16, json_object_array_length(val));
                    for (size_t i = 0; i < out.len / 16; ++i)
                        EXPECT_EQ(addrText(out.bytes + 16 * i),
                                  json_object_get_string(json_object_array_get_idx(val, i)));
                    break;
                case PSL_U32S:
                    ASSERT_EQ(out.count, json_object_array_length(val));
                    for (size_t i = 0; i < out.count; ++i)
                        EXPECT_EQ(psl_GetU32(out.bytes + 4 * i),
                                  (uint32_t)json_object_get_int64(json_object_array_get_idx(val, i)));
                    break;
                default:
                    EXPECT_EQ(hex(out.bytes, out.len), json_object_get_string(val));
                    break;
            }
        }
        // The user data of a data message, with the session-word block skipped.
        if (json_object *data = json_object_object_get(v.fields, "data");
            data && !strcmp(form->form, "ext")) {
            const uint8_t *d = nullptr;
            size_t dl = 0;
            uint32_t rid = 0, mac = 0;
            ASSERT_EQ(psl_DataPayload(&h, payload, h.length, &d, &dl, &rid, &mac), 0);
            EXPECT_EQ(hex(d, dl), json_object_get_string(data));
            EXPECT_EQ(rid, (uint32_t)json_object_get_int64(json_object_object_get(v.fields, "randomID")));
        }
    }
}

}  // namespace
