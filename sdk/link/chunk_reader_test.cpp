#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/gzip.h"
#include "link/qvcrypt.h"
#include "link/qvhttp.h"
#include "link/qvhttp_exchange.h"

namespace {

std::string hex_chunk(const std::string &data, bool upper = false) {
    char size[16];
    std::snprintf(size, sizeof size, upper ? "%zX" : "%zx", data.size());
    return std::string(size) + "\r\n" + data + "\r\n";
}

std::string gz(const std::string &s) {
    std::string out(s.size() + 128, '\0');
    uint64_t n = out.size();
    EXPECT_EQ(gzcompress(s.data(), s.size(), out.data(), &n), 0);
    out.resize(n);
    return out;
}

std::string enc(const std::string &s) {
    char *o = nullptr;
    int32_t n = 0;
    EXPECT_EQ(qv_crypt_encrypt(s.data(), static_cast<int32_t>(s.size()), &o, &n), 0);
    std::string r(o, static_cast<size_t>(n));
    std::free(o);
    return r;
}

struct Seen {
    std::vector<std::string> chunks;
    int chunk_calls = 0;
    int destroy_calls = 0;
    int refuse_at = -1;  // parser returns 77 at this chunk index
};

int parse(const char *text, client_file_task *t) {
    auto *s = static_cast<Seen *>(t->user_ctx);
    s->chunks.emplace_back(text ? text : "");
    return static_cast<int>(s->chunks.size()) - 1 == s->refuse_at ? 77 : 0;
}
void on_chunk(client_file_task *t) {
    ++static_cast<Seen *>(t->user_ctx)->chunk_calls;
}
void on_destroy(client_file_task *t) {
    ++static_cast<Seen *>(t->user_ctx)->destroy_calls;
}

class ChunkReader : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        ASSERT_EQ(qv_crypt_init(), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        resp_ = qvhttp_resp_new();
        task_ = client_file_task_new();
        task_->user_ctx = &seen_;
        task_->parse_cb = parse;
        task_->chunk_cb = on_chunk;
        task_->destroy_cb = on_destroy;
    }
    void TearDown() override {
        close(sv_[0]);
        if (sv_[1] >= 0) close(sv_[1]);
        qvhttp_resp_free(resp_);
        client_file_task_free(task_);
        qv_crypt_release();
        qv::set_log_enabled(true);
    }
    void headers(const char *block) { ASSERT_EQ(qvhttp_resp_parse_headers(resp_, block), 0); }
    void feed(const std::string &bytes) {
        ASSERT_EQ(write(sv_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Bytes left on the socket after the reader returned.
    std::string rest() {
        close(sv_[1]);
        sv_[1] = -1;
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(sv_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

    int sv_[2] = {-1, -1};
    qvhttp_resp *resp_ = nullptr;
    client_file_task *task_ = nullptr;
    Seen seen_;
};

TEST_F(ChunkReader, SizeLinesShorterAndLongerThanTheFourByteStepAndNothingBeyondTheEnd) {
    headers("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    std::string a(0x1a, 'a'), b(0x100, 'b');
    feed(hex_chunk(a) + hex_chunk(b, true) + hex_chunk("x") + "0\r\n\r\nNEXT");
    EXPECT_EQ(read_chunk(resp_, sv_[0], task_), 0);
    ASSERT_EQ(seen_.chunks.size(), 3u);
    EXPECT_EQ(seen_.chunks[0], a);
    EXPECT_EQ(seen_.chunks[1], b);
    EXPECT_EQ(seen_.chunks[2], "x");
    EXPECT_EQ(seen_.chunk_calls, 3);
    EXPECT_EQ(seen_.destroy_calls, 3);
    EXPECT_EQ(resp_->body, nullptr);  // released after the parser took it
    EXPECT_EQ(rest(), "NEXT");        // the next reply's bytes stay on the connection
}

TEST_F(ChunkReader, GzipThenCipherPerChunkAndABrokenSecondChunk) {
    headers(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\nEncrypt: aes\r\n\r\n");
    feed(hex_chunk(gz(enc("{\"one\":1}"))) + hex_chunk("not gzip at all") + "0\r\n\r\n");
    EXPECT_EQ(read_chunk(resp_, sv_[0], task_), QV_ERR_INFLATE);
    ASSERT_EQ(seen_.chunks.size(), 1u);
    EXPECT_STREQ(seen_.chunks[0].c_str(), "{\"one\":1}");
}

TEST_F(ChunkReader, WithoutParserTheLastChunkStaysInTheBody) {
    headers("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nEncrypt: aes256\r\n\r\n");
    task_->parse_cb = nullptr;
    feed(hex_chunk(enc("first")) + hex_chunk(enc("second")) + "0\r\n\r\n");
    EXPECT_EQ(read_chunk(resp_, sv_[0], task_), 0);
    ASSERT_NE(resp_->body, nullptr);
    EXPECT_STREQ(resp_->body, "second");
    EXPECT_EQ(seen_.chunk_calls, 2);
}

TEST_F(ChunkReader, ParserRefusalEndsWithItsValueAndKeepsTheChunk) {
    headers("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    seen_.refuse_at = 1;
    feed(hex_chunk("a") + hex_chunk("b") + hex_chunk("c") + "0\r\n\r\n");
    EXPECT_EQ(read_chunk(resp_, sv_[0], task_), 77);
    EXPECT_STREQ(resp_->body, "b");
    EXPECT_EQ(seen_.chunk_calls, 1);
}

TEST_F(ChunkReader, MalformedStreamsGive15000) {
    struct Case {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"no digit", "zz\r\n"},
        {"empty line", "\r\n"},
        {"nine digits", "100000000\r\n"},
        {"beyond the frame limit", "A00001\r\n"},
        {"closed in the size line", "1"},
        {"closed inside the data", "10\r\nshort"},
        {"data not followed by CRLF", "2\r\nabXY"},
        {"overlong line", std::string(200, '1')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        seen_ = Seen{};
        SetUp();
        headers("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        feed(c.bytes);
        shutdown(sv_[1], SHUT_WR);
        EXPECT_EQ(read_chunk(resp_, sv_[0], task_), QV_ERR_NET);
    }
}

TEST_F(ChunkReader, NoNextChunkWithinTheTaskTimeOut) {
    headers("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    task_->timeout = 150;
    feed(hex_chunk("a"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_chunk(resp_, sv_[0], task_), QV_ERR_RECV);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 2000);
}

TEST_F(ChunkReader, CancelWhileWaitingEndsPromptly) {
    headers("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    feed(hex_chunk("a"));
    std::thread canceller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        task_->cancel_status = -1;
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_chunk(resp_, sv_[0], task_), QV_ERR_CANCELLED);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    canceller.join();
    EXPECT_LT(ms, 100 + 500);  // about 50 ms after the flag, generous for loaded machines
    EXPECT_EQ(seen_.chunks.size(), 1u);
}

TEST(TimeoutRule, TunnelAddressRaisesButNeverLowers) {
    struct Case {
        const char *host;
        int32_t in, out;
    } cases[] = {
        {"127.0.0.1", 20000, 60000},  {"127.0.0.1", 19999, 19999},   {"127.0.0.1", 200, 200},
        {"127.0.0.1", 90000, 90000},  {"127.0.0.1", 600000, 600000}, {"127.0.0.2", 20000, 20000},
        {"127.0.0.10", 30000, 30000}, {nullptr, 20000, 20000},
    };
    for (const auto &c : cases) EXPECT_EQ(qvhttp_local_timeout(c.host, c.in), c.out) << c.host << " " << c.in;
}

TEST(TimeoutRule, RequestHeaderAndTask) {
    qvhttp_request *r = qvhttp_request_new();
    client_file_task *task = client_file_task_new();
    ASSERT_EQ(qvhttp_set_uri(r, "http://127.0.0.1:13111"), 0);
    qvhttp_set_file_task(r, task);
    EXPECT_EQ(qvhttp_request_timeout(r), 60000);  // no header: 20000, raised
    EXPECT_EQ(task->timeout, 60000);
    task->timeout = 0;
    qvhttp_set_header(r, "Timeout", "200");
    EXPECT_EQ(qvhttp_request_timeout(r), 200);
    EXPECT_EQ(task->timeout, 0);
    qvhttp_set_header(r, "Timeout", "garbage");
    EXPECT_EQ(qvhttp_request_timeout(r), 60000);
    client_file_task_free(task);
    qvhttp_request_destroy(r);
}

}  // namespace
