// The link layer's exchanges and the device posts against the emulated device over loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/qv_net.h"
#include "command/qv_net_connect.h"
#include "cross_test_util.h"
#include "device.h"
#include "link/connect_pool.h"
#include "link/msg.h"
#include "link/qvcrypt.h"
#include "link/qvhttp_exchange.h"

namespace {

using Clock = std::chrono::steady_clock;
long long since_ms(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string envelope(int cmd, const std::string &data = "") {
    std::string s = "{\"header\":{\"cmd\":" + std::to_string(cmd) + ",\"token\":0,\"seq\":0,\"error\":0}";
    if (!data.empty()) s += ",\"data\":" + data;
    return s + "}";
}

int nodelay_of(int fd) {
    int v = -1;
    socklen_t len = sizeof v;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len) != 0) return -1;
    return v != 0;
}

class LinkExchange : public testing::Test {
  protected:
    void start() {
        qv::set_log_enabled(false);
        ASSERT_EQ(qv_crypt_init(), 0);
        qv_net_connect_install();
        ASSERT_EQ(init_connect_pool(), 0);
        root_ = testing::TempDir() + "link_exchange_" + addr_ + "_" + std::to_string(::getpid());
        mkdir(root_.c_str(), 0700);
        dev_ = std::make_unique<qvemu::Device>(root_, addr_, 0);
        ASSERT_TRUE(dev_->start()) << dev_->last_error();
        url_ = "http://" + addr_ + ":" + std::to_string(dev_->port());
    }
    void TearDown() override {
        destory_connect_pool();
        if (dev_) dev_->stop();
        qv_crypt_release();
        qv::set_log_enabled(true);
    }
    const std::string addr_ = cross_test::device_addr();
    std::unique_ptr<qvemu::Device> dev_;
    std::string root_, url_;
};

struct Streamed {
    std::vector<std::string> chunks;
    std::atomic<int> seen{0};  // chunks taken, readable from other threads
    int progress = 0;
    client_file_task *task = nullptr;
    int cancel_after = -1;
    Clock::time_point cancelled_at;
};

int take_chunk(const char *text, client_file_task *t) {
    auto *s = static_cast<Streamed *>(t->user_ctx);
    s->chunks.emplace_back(text ? text : "");
    s->seen.fetch_add(1);
    if (static_cast<int>(s->chunks.size()) == s->cancel_after) {
        s->cancelled_at = Clock::now();
        t->cancel_status = -1;
    }
    return 0;
}
void count_progress(client_file_task *t) {
    ++static_cast<Streamed *>(t->user_ctx)->progress;
}

TEST_F(LinkExchange, PooledPostsShareOneConnectionAndDecodeTheReply) {
    start();
    dev_->set_reply_options(500, {false, true, true});  // gzip of the enciphered envelope
    dev_->set_handler(500, [](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.data = "{\"answer\":42}";
        return r;
    });
    for (int i = 0; i < 3; ++i) {
        char *reply = nullptr;
        uint64_t len = 0;
        ASSERT_EQ(qvNetPost(url_.c_str(), envelope(500).c_str(), 20000, &reply, &len, nullptr), 0);
        ASSERT_NE(reply, nullptr);
        EXPECT_NE(std::strstr(reply, "\"answer\":42"), nullptr) << reply;
        std::free(reply);
    }
    auto c = dev_->counters();
    EXPECT_EQ(c.connections_accepted, 1u);
    EXPECT_EQ(c.pool_opens, 1u);
    for (const auto &v : dev_->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
}

TEST_F(LinkExchange, ChunkedReplyFeedsEachDecodedChunkToTheTask) {
    start();
    dev_->set_reply_options(117, {true, true, true});  // chunked, gzip, cipher per chunk
    dev_->set_handler(117, [](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.chunks = {"[{\"n\":1}]", "[{\"n\":2}]", "[{\"n\":3}]"};
        return r;
    });
    Streamed s;
    client_file_task *task = client_file_task_new();
    task->user_ctx = &s;
    task->parse_cb = take_chunk;
    task->chunk_cb = count_progress;
    char *reply = nullptr;
    uint64_t len = 0;
    EXPECT_EQ(qvNetPost(url_.c_str(), envelope(117).c_str(), 20000, &reply, &len, task), 0);
    EXPECT_EQ(reply, nullptr);  // the chunks went to the parser
    ASSERT_EQ(s.chunks.size(), 3u);
    EXPECT_NE(s.chunks[2].find("\"n\":3"), std::string::npos) << s.chunks[2];
    EXPECT_EQ(s.progress, 3);
    client_file_task_free(task);
}

TEST_F(LinkExchange, CancelDuringAStreamedReplyEndsPromptlyAndClosesTheConnection) {
    start();
    dev_->set_handler(117, [](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.chunks = {"[1]", "[2]", "[3]", "[4]"};
        r.chunk_interval_ms = 400;
        return r;
    });
    Streamed s;
    client_file_task *task = client_file_task_new();
    task->user_ctx = &s;
    task->parse_cb = take_chunk;
    std::thread canceller([&] {
        // Between chunk 1 and chunk 2 (400 ms apart), however slow the machine is.
        for (int i = 0; i < 1000 && s.seen.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.cancelled_at = Clock::now();
        task->cancel_status = -1;
    });
    EXPECT_EQ(qvNetPost(url_.c_str(), envelope(117).c_str(), 20000, nullptr, nullptr, task),
              QV_ERR_CANCELLED);
    const long long late = since_ms(s.cancelled_at);
    canceller.join();
    EXPECT_LT(late, 300);  // about 50 ms; generous bound
    EXPECT_EQ(s.chunks.size(), 1u);
    int32_t total = -1, idle = -1;
    ASSERT_EQ(qv_connect_pool_counts(&total, &idle), 0);
    EXPECT_EQ(total, 0);  // the half-read connection was not pooled
    client_file_task_free(task);
}

TEST_F(LinkExchange, KeptAliveExchangeKeepsItsConnectionAcrossCalls) {
    start();
    dev_->set_reply_options(174, {true, false, false});
    dev_->set_handler(174, [](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.chunks = {"{}"};
        return r;
    });
    Streamed s;
    client_file_task *task = client_file_task_new();
    task->user_ctx = &s;
    task->parse_cb = take_chunk;
    task->keep_alive = 1;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(qvNetKeepAlivePost(url_.c_str(), envelope(174).c_str(), 20000, nullptr, nullptr, task), 0);
        ASSERT_NE(task->held_conn, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // longer than the pool's idle limit
    }
    auto c = dev_->counters();
    EXPECT_EQ(c.connections_accepted, 1u);
    EXPECT_EQ(c.requests_by_cmd[174], 3u);
    EXPECT_EQ(c.pool_opens, 1u);

    // A chunk that cannot be inflated leaves the rest of the reply unread: the connection goes.
    dev_->set_faults({.truncated_gzip = true});
    EXPECT_EQ(qvNetKeepAlivePost(url_.c_str(), envelope(174).c_str(), 20000, nullptr, nullptr, task),
              QV_ERR_INFLATE);
    EXPECT_EQ(task->held_conn, nullptr);
    dev_->set_faults({});
    EXPECT_EQ(qvNetKeepAlivePost(url_.c_str(), envelope(174).c_str(), 20000, nullptr, nullptr, task), 0);
    EXPECT_EQ(dev_->counters().connections_accepted, 2u);
    if (task->held_conn) {
        static_cast<sock_handle *>(task->held_conn)->ret = QV_ERR_CANCELLED;
        QVClose(static_cast<sock_handle *>(task->held_conn));
    }
    client_file_task_free(task);
}

TEST_F(LinkExchange, OwnSocketExchangeKeepsOrClosesItsSocket) {
    start();
    for (uint8_t keep : {1, 0}) {
        client_file_task *task = client_file_task_new();
        task->keep_alive = keep;
        char *reply = nullptr;
        uint64_t len = 0;
        ASSERT_EQ(qvNetConnectPost(url_.c_str(), envelope(175).c_str(), 20000, &reply, &len, task), 0);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(len, std::strlen(reply) + (16 - std::strlen(reply) % 16) % 16);
        std::free(reply);
        if (keep) {
            ASSERT_GE(task->fd, 0);
            // The same socket carries the close request (no Connection header), then is closed.
            task->keep_alive = 0;
            EXPECT_EQ(qvNetConnectPost(url_.c_str(), envelope(175).c_str(), 200, nullptr, nullptr, task), 0);
        }
        EXPECT_EQ(task->fd, -1);
        client_file_task_free(task);
    }
    auto c = dev_->counters();
    EXPECT_EQ(c.connections_accepted, 2u);
    EXPECT_EQ(c.pool_opens, 1u);   // 175 with "Connection: keep-alive"
    EXPECT_EQ(c.pool_closes, 2u);  // 175 without it
}

TEST_F(LinkExchange, ConnectTimeOutAgainstABlackHoleListener) {
    qv::set_log_enabled(false);
    ASSERT_EQ(qv_crypt_init(), 0);
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    inet_pton(AF_INET, addr_.c_str(), &a.sin_addr);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 0), 0);
    socklen_t al = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &al);
    const uint16_t port = ntohs(a.sin_port);
    std::vector<int> fillers;  // never accepted: the backlog fills and further SYNs are dropped
    for (int i = 0; i < 8; ++i) {
        int fd = QV_InetClientTimeOutInit(AF_INET, port, SOCK_STREAM, addr_.c_str(), 200);
        if (fd < 0) break;
        fillers.push_back(fd);
    }
    client_file_task *task = client_file_task_new();
    std::string url = "http://" + addr_ + ":" + std::to_string(port);
    auto t0 = Clock::now();
    EXPECT_EQ(qvNetConnectPost(url.c_str(), envelope(175).c_str(), 300, nullptr, nullptr, task), QV_ERR_NET);
    auto ms = since_ms(t0);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(task->fd, -1);
    client_file_task_free(task);
    for (int fd : fillers) close(fd);
    close(lfd);
    qv::set_log_enabled(true);
}

TEST_F(LinkExchange, ReplyWaitUsesOneBudget) {
    start();
    dev_->set_faults({.reply_delay_ms = 6000});
    client_file_task *task = client_file_task_new();
    auto t0 = Clock::now();
    EXPECT_EQ(qvNetConnectPost(url_.c_str(), envelope(175).c_str(), 1000, nullptr, nullptr, task),
              QV_ERR_RECV);
    auto ms = since_ms(t0);
    EXPECT_GE(ms, 980);
    // Never the wait plus a second receive budget (2 s); a 1 s budget leaves a loaded machine 800 ms of
    // slack.
    EXPECT_LT(ms, 1800);
    EXPECT_EQ(task->fd, -1);
    client_file_task_free(task);
}

TEST_F(LinkExchange, FaultsOnTheWireGiveTheirCodes) {
    start();
    struct Case {
        const char *name;
        qvemu::Faults faults;
        int expect;
    } cases[] = {
        {"split frame length", {.split_frame_length = true}, 0},
        {"no reason phrase", {.no_reason_phrase = true}, 0},
        {"truncated gzip", {.truncated_gzip = true}, QV_ERR_LOCAL_FILE},
        {"short body", {.short_body = true}, QV_ERR_NET},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dev_->set_faults(c.faults);
        char *reply = nullptr;
        uint64_t len = 0;
        client_file_task *task = client_file_task_new();
        EXPECT_EQ(qvNetConnectPost(url_.c_str(), envelope(175).c_str(), 2000, &reply, &len, task), c.expect);
        if (c.expect == 0) {
            EXPECT_NE(reply, nullptr);
        }
        std::free(reply);
        client_file_task_free(task);
        // The pooled path: a short body closes the connection instead of pooling it.
        reply = nullptr;
        EXPECT_EQ(qvNetPost(url_.c_str(), envelope(175).c_str(), 2000, &reply, &len, nullptr), c.expect);
        std::free(reply);
        int32_t total = -1, idle = -1;
        qv_connect_pool_counts(&total, &idle);
        if (c.expect != 0) {
            EXPECT_EQ(total, 0);
        }
        qv_close_all_connection();
    }
}

TEST_F(LinkExchange, OpenStreamReadsTheFileUntilTheDeviceCloses) {
    start();
    qvemu::install_open_stream_handler(*dev_);
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>(i * 7));
    std::ofstream(root_ + "/f.bin", std::ios::binary) << bytes;
    const std::string req = envelope(106,
                                     "[{\"path\":\"f.bin\",\"srcUserId\":0,\"srcBucketId\":0,\"offset\":100,"
                                     "\"length\":0,\"recordsFlags\":1}]");
    qvhttp_request *s = qvNetOpen(url_.c_str(), req.c_str(), 20000, nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->resp->content_length, static_cast<int64_t>(bytes.size() - 100));
    std::string got;
    char buf[4096];
    int n;
    while ((n = qvNetRead(s, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, bytes.substr(100));
    qvNetClose(s);
    EXPECT_EQ(dev_->counters().pool_opens, 0u);

    qv_crypt_release();  // the cipher not started: nothing is sent
    EXPECT_EQ(qvNetOpen(url_.c_str(), req.c_str(), 20000, nullptr, nullptr), nullptr);
    ASSERT_EQ(qv_crypt_init(), 0);
}

// Every socket the exchanges use to reach a device has Nagle off, so the body written after the header frame
// (or a chunk after the last one) never waits for the device's delayed ACK. Downloads and uploads borrow from
// the pool; the framed-socket commands connect with QV_InetClientInit, checked in the link tests.
TEST_F(LinkExchange, EveryDeviceSocketHasNagleOff) {
    start();
    qvemu::install_open_stream_handler(*dev_);
    std::ofstream(root_ + "/f.bin", std::ios::binary) << std::string(5000, 'x');

    sock_handle *h = nullptr;  // pooled (also what downloads and uploads borrow)
    ASSERT_EQ(QVConnectPort(addr_.c_str(), dev_->port(), &h, 2000), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(nodelay_of(h->fd), 1) << "pooled";
    QVClose(h);

    client_file_task *kept = client_file_task_new();  // kept alive by its task
    kept->keep_alive = 1;
    EXPECT_EQ(qvNetKeepAlivePost(url_.c_str(), envelope(175).c_str(), 2000, nullptr, nullptr, kept), 0);
    ASSERT_NE(kept->held_conn, nullptr);
    EXPECT_EQ(nodelay_of(static_cast<sock_handle *>(kept->held_conn)->fd), 1) << "kept alive";
    static_cast<sock_handle *>(kept->held_conn)->ret = QV_ERR_CANCELLED;
    QVClose(static_cast<sock_handle *>(kept->held_conn));
    client_file_task_free(kept);

    client_file_task *own = client_file_task_new();  // the task's own socket
    own->keep_alive = 1;
    EXPECT_EQ(qvNetConnectPost(url_.c_str(), envelope(175).c_str(), 2000, nullptr, nullptr, own), 0);
    ASSERT_GE(own->fd, 0);
    EXPECT_EQ(nodelay_of(own->fd), 1) << "own socket";
    QV_SockClose(own->fd);
    own->fd = -1;
    client_file_task_free(own);

    const std::string req = envelope(106,
                                     "[{\"path\":\"f.bin\",\"srcUserId\":0,\"srcBucketId\":0,\"offset\":0,"
                                     "\"length\":0,\"recordsFlags\":1}]");
    qvhttp_request *s = qvNetOpen(url_.c_str(), req.c_str(), 2000, nullptr, nullptr);  // open stream
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(nodelay_of(s->sock), 1) << "open stream";
    qvNetClose(s);
}

}  // namespace
