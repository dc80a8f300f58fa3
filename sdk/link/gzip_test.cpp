#include "link/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base/qv_log.h"

namespace {
// One gzip member as the device sends it (zlib's gzip mode).
std::string make_gzip(const std::string &plain, int level = Z_DEFAULT_COMPRESSION,
                      int window_bits = 15 + 16) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&zs, plain.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.data()));
    zs.avail_in = static_cast<uInt>(plain.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// A gzip member of n zero bytes, built without holding them all.
std::string make_gzip_zeros(uint64_t n) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    static const std::string zeros(1 << 20, '\0');
    std::string out;
    char buf[1 << 16];
    uint64_t left = n;
    int flush = Z_NO_FLUSH;
    do {
        if (zs.avail_in == 0 && left > 0) {
            uint64_t take = std::min<uint64_t>(left, zeros.size());
            zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.data()));
            zs.avail_in = static_cast<uInt>(take);
            left -= take;
        }
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        zs.next_out = reinterpret_cast<Bytef *>(buf);
        zs.avail_out = sizeof buf;
        deflate(&zs, flush);
        out.append(buf, sizeof buf - zs.avail_out);
    } while (!(flush == Z_FINISH && zs.avail_out != 0));
    deflateEnd(&zs);
    return out;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(rng());
    return s;
}

struct Inflated {
    int rc;
    char *data;
    uint64_t len;
    ~Inflated() { std::free(data); }
};

Inflated inflate_body(const std::string &z, uint64_t cap = QV_GZ_MAX_OUTPUT) {
    Inflated r{0, reinterpret_cast<char *>(1), 12345};  // sentinels: a result must overwrite both
    r.rc = gzdecompress_limit(z.data(), z.size(), &r.data, &r.len, cap);
    return r;
}

class Gzip : public testing::Test {
  protected:
    void SetUp() override { qv::set_log_enabled(false); }
    void TearDown() override { qv::set_log_enabled(true); }
};

TEST_F(Gzip, RoundTripsAndTerminates) {
    struct Case {
        const char *name;
        std::string plain;
    } cases[] = {
        {"empty text", ""},
        {"short reply", R"({"header":{"error":0}})"},
        {"incompressible 2000 bytes", random_bytes(2000, 1)},
        {"grows many chunks", std::string(3 << 20, 'x') + "tail"},
        {"binary with zeros", std::string("a\0b\0c", 5)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string z = make_gzip(c.plain);
        Inflated r{0, nullptr, 0};
        r.rc = gzdecompress(z.data(), z.size(), &r.data, &r.len);
        ASSERT_EQ(r.rc, 0);
        ASSERT_NE(r.data, nullptr);
        ASSERT_EQ(r.len, c.plain.size());
        EXPECT_EQ(std::memcmp(r.data, c.plain.data(), c.plain.size()), 0);
        EXPECT_EQ(r.data[r.len], '\0');
    }
    EXPECT_EQ(make_gzip("").size(), 20u);  // the smallest member: header, empty block, trailer
}

TEST_F(Gzip, IgnoresBytesAfterTheMember) {
    std::string z = make_gzip("content") + "unrelated trailing bytes";
    Inflated r = inflate_body(z);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(std::string(r.data, r.len), "content");
}

TEST_F(Gzip, RefusesWhatIsNotOneCompleteMember) {
    const std::string plain = random_bytes(5000, 2) + std::string(5000, 'q');
    const std::string z = make_gzip(plain);
    std::string bad_crc = z;
    bad_crc[bad_crc.size() - 6] ^= 0x01;
    struct Case {
        const char *name;
        std::string body;
    } cases[] = {
        {"zlib wrapped (78 9C)", make_gzip(plain, Z_DEFAULT_COMPRESSION, 15)},
        {"raw deflate", make_gzip(plain, Z_DEFAULT_COMPRESSION, -15)},
        {"cut in the middle", z.substr(0, z.size() / 2)},
        {"cut after the header", z.substr(0, 10)},
        {"trailer missing", z.substr(0, z.size() - 8)},
        {"last trailer byte missing", z.substr(0, z.size() - 1)},
        {"checksum wrong", bad_crc},
        {"plain text", "not gzip at all"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Inflated r = inflate_body(c.body);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.data, nullptr);
        EXPECT_EQ(r.len, 0u);
    }
}

TEST_F(Gzip, CapsTheInflatedSize) {
    const std::string z = make_gzip(std::string(1000, 'a'));
    {
        Inflated r = inflate_body(z, 1000);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.len, 1000u);
    }
    {
        Inflated r = inflate_body(z, 999);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.data, nullptr);
        EXPECT_EQ(r.len, 0u);
    }
    // The default cap: a small body that would inflate one byte past it is refused.
    const std::string bomb = make_gzip_zeros(QV_GZ_MAX_OUTPUT + 1);
    ASSERT_LT(bomb.size(), QV_GZ_MAX_OUTPUT / 200);
    Inflated r{0, reinterpret_cast<char *>(1), 1};
    r.rc = gzdecompress(bomb.data(), bomb.size(), &r.data, &r.len);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.data, nullptr);
}

TEST_F(Gzip, MissingArgumentsStoreNothing) {
    const std::string z = make_gzip("x");
    char sentinel = 0;
    char *out = &sentinel;
    uint64_t len = 77;
    EXPECT_EQ(gzdecompress(nullptr, 5, &out, &len), -1);
    EXPECT_EQ(gzdecompress(z.data(), 0, &out, &len), -1);
    EXPECT_EQ(gzdecompress(z.data(), z.size(), nullptr, &len), -1);
    EXPECT_EQ(gzdecompress(z.data(), z.size(), &out, nullptr), -1);
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(len, 77u);
}

TEST_F(Gzip, CompressesIntoOneMember) {
    const std::string plain = std::string(10000, 'z') + random_bytes(3000, 3);
    std::string buf(20000, '\0');
    uint64_t size = buf.size();
    ASSERT_EQ(gzcompress(plain.data(), plain.size(), buf.data(), &size), 0);
    Inflated r = inflate_body(buf.substr(0, size));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(std::string(r.data, r.len), plain);

    // Too little room: the count of input bytes left over.
    const std::string noise = random_bytes(200000, 4);
    uint64_t small = 1024;
    int left = gzcompress(noise.data(), noise.size(), buf.data(), &small);
    EXPECT_GT(left, 0);
    EXPECT_LT(left, static_cast<int>(noise.size()));

    EXPECT_EQ(gzcompress(nullptr, 10, buf.data(), &size), -1);
    EXPECT_EQ(gzcompress(plain.data(), 0, buf.data(), &size), -1);
}
}  // namespace
