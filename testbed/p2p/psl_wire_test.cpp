#include "psl_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace qvbed::psl {
namespace {

Bytes seeded(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

Bytes packet(uint16_t type, size_t payload, uint8_t flags = kFlagScrambled) {
    Header h;
    h.type = type;
    h.flags = flags;
    return plain_packet(h, seeded(payload, type));
}

TEST(PslScrambler, RoundTripsEveryLengthWithFullAndHead64Limits) {
    const Bytes src = seeded(1500, 7);
    for (size_t len = 0; len <= 1500; ++len) {
        for (size_t limit : {len, size_t{64}}) {
            Bytes s(len), d(len);
            scramble(src.data(), s.data(), len, limit);
            descramble(s.data(), d.data(), len, limit);
            const auto want = src.begin() + static_cast<std::ptrdiff_t>(len);
            ASSERT_TRUE(std::equal(d.begin(), d.end(), src.begin(), want))
                << "length " << len << " limit " << limit;
            if (len > limit) {
                ASSERT_TRUE(std::equal(s.begin() + 64, s.end(), src.begin() + 64, want));
            }
        }
    }
}

TEST(PslScrambler, BlocksAreIndependentOfPosition) {
    Bytes src(48);
    for (size_t i = 0; i < 16; ++i) src[i] = src[32 + i] = static_cast<uint8_t>(0xA0 + i);
    Bytes s(48);
    scramble(src.data(), s.data(), 48, 48);
    EXPECT_EQ(0, std::memcmp(s.data(), s.data() + 32, 16));
    EXPECT_NE(0, std::memcmp(s.data(), src.data(), 16));
}

// Tails are XORed with key bytes 0.. and then permuted for 2, 4 and 8 bytes only.
TEST(PslScrambler, TailRule) {
    const std::string key = "Yumbo knows all ";
    struct Case {
        size_t t;
        std::vector<size_t> perm;
    };
    const Case cases[] = {{1, {0}},
                          {2, {1, 0}},
                          {4, {2, 3, 0, 1}},
                          {6, {0, 1, 2, 3, 4, 5}},
                          {8, {7, 4, 3, 2, 1, 6, 5, 0}},
                          {15, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}}};
    for (const Case &c : cases) {
        const Bytes src = seeded(16 + c.t, static_cast<uint32_t>(c.t));
        Bytes s(src.size());
        scramble(src.data(), s.data(), src.size(), src.size());
        for (size_t i = 0; i < c.t; ++i) {
            const size_t p = c.perm[i];
            EXPECT_EQ(s[16 + i], src[16 + p] ^ static_cast<uint8_t>(key[p]))
                << "tail " << c.t << " byte " << i;
        }
    }
}

TEST(PslScrambler, SealWithHead64LeavesTheRestPlain) {
    Bytes p = packet(0x0407, 84, kFlagHead64);  // 100 bytes
    const Bytes sealed = seal(p);
    EXPECT_EQ(sealed.size(), 100u);
    EXPECT_EQ(0, std::memcmp(sealed.data() + 64, p.data() + 64, 36));
    EXPECT_NE(0, std::memcmp(sealed.data(), p.data(), 64));
    auto back = open_datagram(sealed);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->header.flags, kFlagHead64 | kFlagScrambled);
    EXPECT_EQ(0, std::memcmp(back->payload.data(), p.data() + 16, 84));

    Bytes short_one = packet(0x0407, 24, kFlagHead64);  // 40 bytes: scrambled whole
    const Bytes s2 = seal(short_one);
    Bytes whole(40);
    short_one[3] |= kFlagScrambled;
    scramble(short_one.data(), whole.data(), 40, 40);
    EXPECT_EQ(s2, whole);
}

TEST(PslHeader, FieldsAtTheirOffsets) {
    Header h;
    h.flags = 0x0B;
    h.length = 0x1234;
    h.seq = 0x5678;
    h.type = 0x9ABC;
    h.route = 0x21;
    h.routeFlags = 0x02;
    h.sessionTag = 0xDEF0;
    h.channel = 31;
    h.extra = 7;
    uint8_t b[16];
    put_header(h, b);
    const uint8_t want[16] = {0x04, 0x02, 20,   0x0B, 0x34, 0x12, 0x78, 0x56,
                              0xBC, 0x9A, 0x21, 0x02, 0xF0, 0xDE, 31,   7};
    EXPECT_EQ(0, std::memcmp(b, want, 16));
    const Header r = get_header(b);
    EXPECT_EQ(r.sessionTag, h.sessionTag);
    EXPECT_EQ(r.type, h.type);
    EXPECT_EQ(r.extra, h.extra);
}

TEST(PslFraming, DatagramDrops) {
    const Bytes good = seal(packet(0x1007, 38));
    Bytes bad_magic = packet(0x1007, 38);
    bad_magic[0] = 0x05;
    Bytes too_long_claim = packet(0x1007, 38);
    too_long_claim[4] = 39;
    Bytes big = packet(0x0407, kMaxDatagram - 16 + 1);
    struct Case {
        const char *what;
        Bytes data;
        Drop drop;
    };
    const Case cases[] = {
        {"15 bytes", Bytes(good.begin(), good.begin() + 15), Drop::kShort},
        {"empty", {}, Drop::kShort},
        {"ping", {0xCC, 0xAA, 0xAB, 0xAB}, Drop::kPing},
        {"1417 bytes", seal(big), Drop::kLong},
        {"bad magic", seal(bad_magic), Drop::kMagic},
        {"length past the end", seal(too_long_claim), Drop::kLength},
        {"cut short", Bytes(good.begin(), good.end() - 1), Drop::kLength},
        {"whole", good, Drop::kNone},
    };
    for (const Case &c : cases) {
        Drop why = Drop::kNone;
        const auto p = open_datagram(c.data, &why);
        EXPECT_EQ(why, c.drop) << c.what << ": " << drop_name(why);
        EXPECT_EQ(p.has_value(), c.drop == Drop::kNone) << c.what;
    }
}

TEST(PslFraming, TrailingBytesIgnoredAndMaximumAccepted) {
    Bytes d = seal(packet(0x0A01, 8));
    d.push_back(0x99);
    auto p = open_datagram(d);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->payload.size(), 8u);
    EXPECT_TRUE(open_datagram(seal(packet(0x0407, kMaxDatagram - 16))));
}

TEST(PslFraming, StreamSplitAtEveryPositionAndCoalesced) {
    const Bytes a = seal(packet(0x1007, 38)), b = seal(packet(0x0407, 84, kFlagHead64)),
                c = seal(packet(0x0417, 0));
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), c.begin(), c.end());
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        StreamFramer f;
        auto first = f.feed(std::span(stream).first(cut));
        auto rest = f.feed(std::span(stream).subspan(cut));
        first.insert(first.end(), rest.begin(), rest.end());
        ASSERT_EQ(first.size(), 3u) << "cut " << cut;
        EXPECT_EQ(first[0].header.type, 0x1007);
        EXPECT_EQ(first[1].header.type, 0x0407);
        EXPECT_EQ(first[1].payload.size(), 84u);
        EXPECT_EQ(first[2].header.type, 0x0417);
        EXPECT_EQ(f.buffered(), 0u);
    }
    StreamFramer f;
    auto got = f.feed(std::span(stream).first(a.size() + 10));  // one whole packet and the start of the next
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(f.buffered(), 10u);
}

TEST(PslFraming, StreamWithBadMagicBreaks) {
    Bytes bad = packet(0x1007, 38);
    bad[1] = 0x03;
    StreamFramer f;
    EXPECT_TRUE(f.feed(seal(bad)).empty());
    EXPECT_TRUE(f.broken());
    EXPECT_TRUE(f.feed(seal(packet(0x1007, 38))).empty());
}

TEST(PslAddress, BlockBuiltFieldByField) {
    uint8_t b[16];
    put_addr(Addr{{198, 18, 0, 11}, 20001}, b);
    const uint8_t want[16] = {0, 2, 0x4E, 0x21, 198, 18, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(b, want, 16));
    EXPECT_EQ(get_addr(b), (Addr{{198, 18, 0, 11}, 20001}));
    put_addr(Addr{}, b);
    EXPECT_EQ(0, std::memcmp(b, Bytes(16).data(), 16));
    // A record-style block (family byte 0, no socket family) reads the same.
    const uint8_t record[16] = {0, 0, 0x27, 0x10, 127, 0, 0, 1};
    EXPECT_EQ(addr_text(get_addr(record)), "127.0.0.1:10000");
}

TEST(PslAddress, FromAndToSocketAddress) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(10240);
    ASSERT_EQ(inet_pton(AF_INET, "198.18.0.10", &sa.sin_addr), 1);
    const Addr a = addr_from(sa);
    EXPECT_EQ(addr_text(a), "198.18.0.10:10240");
    sockaddr_in back;
    addr_to(a, back);
    EXPECT_EQ(back.sin_family, AF_INET);
    EXPECT_EQ(back.sin_port, sa.sin_port);
    EXPECT_EQ(back.sin_addr.s_addr, sa.sin_addr.s_addr);
}

TEST(PslAddress, TextForms) {
    const std::pair<const char *, bool> cases[] = {
        {"127.0.0.1:10240", true}, {"0.0.0.0:0", true},      {"255.255.255.255:65535", true},
        {"256.0.0.1:1", false},    {"1.2.3.4:65536", false}, {"1.2.3:4", false},
        {"1.2.3.4", false},        {"1.2.3.4:5x", false},    {"", false},
    };
    for (auto [text, ok] : cases) {
        const auto a = parse_addr(text);
        EXPECT_EQ(a.has_value(), ok) << text;
        if (a) {
            EXPECT_EQ(addr_text(*a), text);
        }
    }
}

TEST(PslHex, RoundTripAndRejects) {
    EXPECT_EQ(to_hex(Bytes{0x00, 0xAB, 0x7F}), "00ab7f");
    EXPECT_EQ(from_hex("00AB7f"), (Bytes{0x00, 0xAB, 0x7F}));
    EXPECT_FALSE(from_hex("abc"));
    EXPECT_FALSE(from_hex("zz"));
}

}  // namespace
}  // namespace qvbed::psl
