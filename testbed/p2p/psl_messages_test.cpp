#include "psl_messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "psl_vectors.h"

namespace qvbed::psl {
namespace {

std::string hex_of(const Vector &v) {
    auto d = build(*v.layout, v.fields);
    return d ? to_hex(*d) : "";
}

const Vector &vector_named(const std::string &name) {
    static const std::vector<Vector> all = golden_vectors();
    for (const Vector &v : all)
        if (v.name == name) return v;
    throw std::runtime_error("no vector " + name);
}

// Computed outside this codec.
TEST(PslMessages, KnownAnswers) {
    EXPECT_EQ(
        hex_of(vector_named("query_group.known")),
        "64ef0c64e6c3d8d80e64eb8cbcc6d6dcf05d29b7d780fb8b5a238f89888053bae4ee0d04e6c2d8d80d4438dedcfcd6de5975"
        "6d626920");
    EXPECT_EQ(hex_of(vector_named("probe_ex.known")), "04ed1524e6c3d8d80e64eb8c5cc6d6de6e5b626d756b3259");
}

// Fixed fields lie inside the payload and do not overlap; lists of the same message keep their order.
TEST(PslMessages, LayoutTableIsSound) {
    std::set<std::pair<std::string, std::string>> seen;
    for (const Layout &l : layouts()) {
        EXPECT_TRUE(seen.insert({l.msg, l.form}).second) << l.msg << " " << l.form;
        std::vector<std::pair<size_t, size_t>> spans;
        for (const Field &f : l.fields) {
            size_t w = 0;
            switch (f.kind) {
                case Kind::kU8:
                    w = 1;
                    break;
                case Kind::kU16:
                    w = 2;
                    break;
                case Kind::kU32:
                case Kind::kI32:
                    w = 4;
                    break;
                case Kind::kAddr:
                    w = 16;
                    break;
                case Kind::kAddrs:
                    w = 16u * f.width;
                    break;
                case Kind::kU32s:
                    w = 4u * f.width;
                    break;
                case Kind::kGroupIds:
                case Kind::kServers:
                case Kind::kBlob:
                    continue;
                default:
                    w = f.width;
                    break;
            }
            EXPECT_LE(f.offset + w, l.length) << l.msg << " " << l.form << " " << f.name;
            spans.emplace_back(f.offset, f.offset + w);
        }
        std::sort(spans.begin(), spans.end());
        for (size_t i = 1; i < spans.size(); ++i)
            EXPECT_LE(spans[i - 1].second, spans[i].first)
                << l.msg << " " << l.form << " overlap at " << spans[i].first;
    }
}

TEST(PslMessages, EveryFormHasAVectorAndNamesAreUnique) {
    std::set<const Layout *> used;
    std::set<std::string> names;
    for (const Vector &v : golden_vectors()) {
        ASSERT_NE(v.layout, nullptr) << v.name;
        used.insert(v.layout);
        EXPECT_TRUE(names.insert(v.name).second) << v.name;
        EXPECT_EQ(v.msg, v.layout->msg);
    }
    for (const Layout &l : layouts()) EXPECT_TRUE(used.count(&l)) << l.msg << " " << l.form;
}

// What the builder writes, the reader gives back: every field of the vector, header inputs it does not name
// at 0.
TEST(PslMessages, EveryVectorReadsBackThroughTheDatagramPath) {
    for (const Vector &v : golden_vectors()) {
        SCOPED_TRACE(v.name);
        std::string error;
        auto wire = build(*v.layout, v.fields, &error);
        ASSERT_TRUE(wire) << error;
        auto p = open_datagram(*wire);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->header.type, v.layout->type);
        EXPECT_EQ(p->header.route, v.layout->route);
        auto f = read(*v.layout, *p);
        ASSERT_TRUE(f);
        for (const auto &[name, value] : v.fields) {
            const Value *got = find_field(*f, name);
            ASSERT_NE(got, nullptr) << name;
            EXPECT_EQ(json_value(*got), json_value(value)) << name;
        }
        for (const auto &[name, value] : *f) {
            if (find_field(v.fields, name)) continue;
            const std::string want = name == "flags" ? std::to_string(v.layout->flags) : "0";
            EXPECT_EQ(json_value(value), want) << name;
        }
    }
}

// A receiver that knows only the type picks a form that reads and rebuilds the same packet.
TEST(PslMessages, ClassifyFindsAFormThatRebuildsTheSameBytes) {
    for (const Vector &v : golden_vectors()) {
        SCOPED_TRACE(v.name);
        auto plain = build_plain(*v.layout, v.fields);
        ASSERT_TRUE(plain);
        auto p = open_datagram(seal(*plain));
        ASSERT_TRUE(p);
        const Layout *l = classify(*p);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(std::string(l->msg), v.msg);
        auto f = read(*l, *p);
        ASSERT_TRUE(f);
        auto again = build_plain(*l, *f);
        ASSERT_TRUE(again);
        Bytes want = *plain;
        want[3] |= kFlagScrambled;
        EXPECT_EQ(to_hex(*again), to_hex(want));
    }
}

// Readers stay inside the payload: a fixed form cut short is refused; every cut is read without overrun
// (the sanitizer build checks the "without").
TEST(PslMessages, ReadersAreBoundedByTheLength) {
    for (const Vector &v : golden_vectors()) {
        auto plain = build_plain(*v.layout, v.fields);
        ASSERT_TRUE(plain);
        Packet full{get_header(plain->data()), Bytes(plain->begin() + 16, plain->end())};
        for (size_t k = 0; k < full.payload.size(); ++k) {
            Packet cut = full;
            cut.payload.resize(k);
            cut.header.length = static_cast<uint16_t>(k);
            const auto f = read(*v.layout, cut);
            if (k < v.layout->length) {
                EXPECT_FALSE(f) << v.name << " cut to " << k;
            }
            (void)classify(cut);
        }
    }
}

TEST(PslMessages, GroupRecordsAreCheckedAgainstThePayload) {
    const Vector &v = vector_named("query_group_r.blob");
    auto plain = build_plain(*v.layout, v.fields);
    ASSERT_TRUE(plain);
    Packet p{get_header(plain->data()), Bytes(plain->begin() + 16, plain->end())};

    Packet lying = p;  // the first record claims more than the payload holds
    lying.payload[56 + 2] = 0xFF;
    EXPECT_FALSE(read(*v.layout, lying));
    EXPECT_EQ(classify(lying), nullptr);

    Packet fewer = p;  // a count of 2 reads two records; the blob form then does not apply
    fewer.payload[54] = 2;
    EXPECT_FALSE(read(*v.layout, fewer));
    const Layout *l = classify(fewer);
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->form, "records");

    Packet more = p;  // a count past the records present reads what is there
    more.payload[54] = 200;
    EXPECT_TRUE(read(*v.layout, more));
}

TEST(PslMessages, BuilderRefusesBadInput) {
    const Layout *probe = find_layout("MSG_PROBE", "std");
    const Layout *punch = find_layout("MSG_PUNCH", "punch96");
    const Layout *hello = find_layout("MSG_P2P_HELLO", "long28");
    ASSERT_TRUE(probe && punch && hello);
    const Fields ok = {{"counter", int64_t{1}}, {"instance", int64_t{2}}, {"byte", int64_t{3}}};
    EXPECT_TRUE(build(*probe, ok));
    struct Case {
        const char *what;
        const Layout *l;
        Fields f;
    };
    const Case cases[] = {
        {"missing field", probe, {{"counter", int64_t{1}}, {"instance", int64_t{2}}}},
        {"u16 too big", probe, {{"counter", int64_t{1}}, {"instance", int64_t{65536}}, {"byte", int64_t{3}}}},
        {"negative u32", probe, {{"counter", int64_t{-1}}, {"instance", int64_t{2}}, {"byte", int64_t{3}}}},
        {"text for a number",
         probe,
         {{"counter", std::string("1")}, {"instance", int64_t{2}}, {"byte", int64_t{3}}}},
        {"header field not taken",
         probe,
         {{"counter", int64_t{1}}, {"instance", int64_t{2}}, {"byte", int64_t{3}}, {"seq", int64_t{1}}}},
        {"UID of 21",
         punch,
         {{"UID", std::string(21, 'A')},
          {"localAddrs", std::vector<Addr>{}},
          {"randomID", int64_t{1}},
          {"mac", int64_t{2}},
          {"natType", int64_t{2}}}},
        {"five local addresses",
         punch,
         {{"UID", std::string("A")},
          {"localAddrs", std::vector<Addr>(5)},
          {"randomID", int64_t{1}},
          {"mac", int64_t{2}},
          {"natType", int64_t{2}}}},
        {"routeFlags over a byte",
         hello,
         {{"UID", std::string("A")},
          {"randomID", int64_t{1}},
          {"mac", int64_t{2}},
          {"routeFlags", int64_t{256}}}},
    };
    for (const Case &c : cases) {
        std::string error;
        EXPECT_FALSE(build(*c.l, c.f, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(PslMessages, ShortUidIsPaddedAndFullUidHasNoTerminator) {
    const Vector &v = vector_named("query_device.uid_short");
    auto plain = build_plain(*v.layout, v.fields);
    ASSERT_TRUE(plain);
    EXPECT_EQ(to_hex(Bytes(plain->begin() + 16, plain->end())), "5156544553543031" + std::string(24, '0'));
    const Vector &full = vector_named("query_device.std");
    auto p2 = build_plain(*full.layout, full.fields);
    ASSERT_TRUE(p2);
    EXPECT_EQ(std::string(p2->begin() + 16, p2->end()), "ABCDEFGHJK0123456789");
}

TEST(PslMessages, VectorFileStartsWithItsComment) {
    std::string error;
    const std::string text = vector_file(&error);
    ASSERT_FALSE(text.empty()) << error;
    EXPECT_EQ(text.rfind("{\"comment\":", 0), 0u);
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), golden_vectors().size() + 1);
}

}  // namespace
}  // namespace qvbed::psl
