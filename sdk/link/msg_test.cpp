#include "link/msg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"

namespace {
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A listening TCP socket on 127.0.0.2 with an ephemeral port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(int backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr("127.0.0.2");
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
};

// A connected pair over loopback: `client` from the SDK's time-out connect, `server` accepted.
struct TcpPair {
    Listener l;
    int client = -1;
    int server = -1;
    TcpPair() {
        client = QV_InetClientTimeOutInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2", 2000);
        server = ::accept(l.fd, nullptr, nullptr);
    }
    ~TcpPair() {
        if (client >= 0) ::close(client);
        if (server >= 0) ::close(server);
    }
    void close_server() {
        ::close(server);
        server = -1;
    }
};

void write_all(int fd, const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    while (n) {
        ssize_t w = ::send(fd, b, n, MSG_NOSIGNAL);
        ASSERT_GT(w, 0);
        b += w;
        n -= static_cast<size_t>(w);
    }
}

std::string read_n(int fd, size_t n) {
    std::string s(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, s.data() + got, n - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    s.resize(got);
    return s;
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

class MsgTest : public ::testing::Test {
  protected:
    void SetUp() override { qv::set_log_enabled(false); }
    void TearDown() override { qv::set_log_enabled(true); }
};

TEST_F(MsgTest, FrameBytesOnTheWireAndBack) {
    struct Case {
        std::string payload;
        std::string wire;
    } cases[] = {
        {"", std::string("\0\0\0\0", 4)},
        {"hello", std::string("\x05\0\0\0hello", 9)},
    };
    for (const auto &c : cases) {
        TcpPair p;
        ASSERT_EQ(QV_MsgSend(p.client, c.payload.data(), static_cast<uint32_t>(c.payload.size())), 0);
        EXPECT_EQ(read_n(p.server, c.wire.size()), c.wire);

        write_all(p.server, c.wire.data(), c.wire.size());
        char *out = reinterpret_cast<char *>(1);
        uint32_t t = 2000;
        ASSERT_EQ(QV_MsgReceive(p.client, &out, &t), static_cast<int>(c.payload.size()));
        if (c.payload.empty()) {
            EXPECT_EQ(out, nullptr);
        } else {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(std::memcmp(out, c.payload.data(), c.payload.size()), 0);
            EXPECT_EQ(out[c.payload.size()], '\0');
        }
        std::free(out);
    }
}

TEST_F(MsgTest, LengthSplitOverSeveralWritesIsAssembled) {
    TcpPair p;
    const std::string payload = "POST / HTTP/1.1\r\n\r\n";
    const std::string frame = le32(static_cast<uint32_t>(payload.size())) + payload;
    std::thread writer([&] {
        // 1 + 2 + 1 header bytes, then the payload in two pieces, with pauses so each arrives on its own.
        size_t cuts[] = {1, 3, 4, 10, frame.size()};
        size_t from = 0;
        for (size_t to : cuts) {
            write_all(p.server, frame.data() + from, to - from);
            from = to;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    char *out = nullptr;
    uint32_t t = 2000;
    int rc = QV_MsgReceive(p.client, &out, &t);
    writer.join();
    ASSERT_EQ(rc, static_cast<int>(payload.size()));
    EXPECT_EQ(std::string(out), payload);
    std::free(out);
}

TEST_F(MsgTest, ReceiveFailureCodes) {
    struct Case {
        const char *what;
        std::string sent;  // bytes from the peer before it closes (or goes silent)
        bool close_after;
        int expected;
    } cases[] = {
        {"closed before anything", "", true, QV_ERR_SOCK_CLOSED},
        {"closed after 2 header bytes", std::string("\x05\0", 2), true, QV_ERR_SOCK_IO},
        {"closed inside the payload", std::string("\x05\0\0\0he", 6), true, QV_ERR_SOCK_IO},
        {"length 0xA00001", le32(0xA00001) + "xyz", false, QV_ERR_SOCK_ALLOC},
        {"silent after the header", le32(5), false, QV_ERR_SOCK_TIMEOUT},
        {"silent inside the header", std::string("\x05\0", 2), false, QV_ERR_SOCK_TIMEOUT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TcpPair p;
        if (!c.sent.empty()) write_all(p.server, c.sent.data(), c.sent.size());
        if (c.close_after) p.close_server();
        char *out = reinterpret_cast<char *>(1);
        uint32_t t = 50;
        auto t0 = Clock::now();
        EXPECT_EQ(QV_MsgReceive(p.client, &out, &t), c.expected);
        EXPECT_EQ(out, nullptr);
        if (c.expected == QV_ERR_SOCK_TIMEOUT) {
            EXPECT_GE(elapsed_ms(t0), 40);
            EXPECT_LT(elapsed_ms(t0), 3000);
        }
        if (c.expected == QV_ERR_SOCK_ALLOC) {
            // Only the 4 header bytes were consumed.
            EXPECT_EQ(read_n(p.client, 3), "xyz");
        }
    }
}

TEST_F(MsgTest, LargestAcceptedLengthIsRead) {
    TcpPair p;
    std::string payload(QV_MSG_MAX_LEN, 'a');
    payload.back() = 'z';
    std::thread writer([&] { ASSERT_EQ(QV_MsgSend(p.server, payload.data(), QV_MSG_MAX_LEN), 0); });
    char *out = nullptr;
    uint32_t t = 5000;
    int rc = QV_MsgReceive(p.client, &out, &t);
    writer.join();
    ASSERT_EQ(rc, static_cast<int>(QV_MSG_MAX_LEN));
    EXPECT_EQ(out[QV_MSG_MAX_LEN - 1], 'z');
    EXPECT_EQ(out[QV_MSG_MAX_LEN], '\0');
    std::free(out);
}

TEST_F(MsgTest, NullBuffersAndNonBlockingReadWithoutWait) {
    TcpPair p;
    EXPECT_EQ(QV_MsgSend(p.client, nullptr, 3), QV_ERR_SOCK_NULLBUF);
    EXPECT_EQ(QV_FileSend(p.client, nullptr, 3), QV_ERR_SOCK_NULLBUF);
    EXPECT_EQ(QV_MsgSend_Try(p.client, nullptr, 3), QV_ERR_SOCK_NULLBUF);
    uint32_t t = 50;
    EXPECT_EQ(QV_MsgReceive(p.client, nullptr, &t), QV_ERR_SOCK_NULLBUF);
    EXPECT_EQ(QV_UdpReceive(p.client, nullptr, &t, nullptr), QV_ERR_SOCK_NULLBUF);
    // The time-out connect leaves the descriptor non-blocking: with no wait the empty read is an io failure.
    ASSERT_TRUE(::fcntl(p.client, F_GETFL) & O_NONBLOCK);
    char *out = nullptr;
    EXPECT_EQ(QV_MsgReceive(p.client, &out, nullptr), QV_ERR_SOCK_IO);
}

TEST_F(MsgTest, WriteToClosedDirectionIsPeerClosedWithoutSignal) {
    TcpPair p;
    ASSERT_EQ(::shutdown(p.client, SHUT_WR), 0);
    // Without MSG_NOSIGNAL this would raise SIGPIPE and end the test program.
    EXPECT_EQ(QV_MsgSend(p.client, "x", 1), QV_ERR_SOCK_CLOSED);
    EXPECT_EQ(QV_MsgSend_Try(p.client, "x", 1), QV_ERR_SOCK_CLOSED);
}

TEST_F(MsgTest, LargeFrameOnNonBlockingSocketGoesOutWhole) {
    TcpPair p;
    const uint32_t n = 4u << 20;  // far beyond the socket buffers
    std::string payload(n, 'q');
    for (uint32_t i = 0; i < n; i += 4096) payload[i] = static_cast<char>('a' + (i / 4096) % 26);
    char *out = nullptr;
    int rc = 0;
    std::thread reader([&] {
        uint32_t t = 5000;
        rc = QV_MsgReceive(p.server, &out, &t);
    });
    EXPECT_EQ(QV_MsgSend(p.client, payload.data(), n), 0);
    EXPECT_EQ(QV_FileSend(p.client, "tail", 4), 4);
    reader.join();
    ASSERT_EQ(rc, static_cast<int>(n));
    EXPECT_EQ(std::memcmp(out, payload.data(), n), 0);
    std::free(out);
    uint32_t t = 2000;
    EXPECT_EQ(QV_MsgReceive(p.server, &out, &t), 4);
    EXPECT_STREQ(out, "tail");
    std::free(out);
}

TEST_F(MsgTest, WriteToPeerThatNeverReadsTimesOut) {
    TcpPair p;
    int small = 4096;
    ::setsockopt(p.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(p.server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string payload(8u << 20, 'x');
    auto t0 = Clock::now();
    EXPECT_EQ(QV_MsgSendTimeout(p.client, payload.data(), static_cast<uint32_t>(payload.size()), 100),
              QV_ERR_SOCK_TIMEOUT);
    EXPECT_GE(elapsed_ms(t0), 90);
    EXPECT_LT(elapsed_ms(t0), 5000);
}

TEST_F(MsgTest, WaitsInMilliseconds) {
    TcpPair p;
    auto t0 = Clock::now();
    EXPECT_EQ(wait_socket_readable(p.client, 50), QV_ERR_SOCK_TIMEOUT);
    EXPECT_GE(elapsed_ms(t0), 45);
    EXPECT_LT(elapsed_ms(t0), 3000);
    EXPECT_EQ(poll_socket_readable(p.client, 0), 0);
    EXPECT_EQ(wait_socket_writable(p.client, 50), 0);

    // 0 means without limit: returns once data arrives.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        write_all(p.server, "!", 1);
    });
    t0 = Clock::now();
    EXPECT_EQ(wait_socket_readable(p.client, 0), 0);
    EXPECT_GE(elapsed_ms(t0), 40);
    later.join();
    EXPECT_EQ(poll_socket_readable(p.client, 0), 1);
    EXPECT_EQ(wait_socket_readable(p.client, 50), 0);

    // No descriptor: fails at once instead of waiting.
    t0 = Clock::now();
    EXPECT_EQ(wait_socket_readable(-1, 0), QV_ERR_SOCK_TIMEOUT);
    EXPECT_EQ(wait_socket_writable(-1, 0), QV_ERR_SOCK_TIMEOUT);
    EXPECT_EQ(poll_socket_readable(-1, 0), -1);
    EXPECT_LT(elapsed_ms(t0), 1000);
}

TEST_F(MsgTest, DescriptorAbove1024CanBeWaitedOn) {
    struct rlimit rl {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    const rlim_t want = 1600;
    if (rl.rlim_cur < want) {
        if (rl.rlim_max < want) GTEST_SKIP() << "descriptor limit too low";
        struct rlimit raised = rl;
        raised.rlim_cur = want;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    TcpPair p;
    int high = ::dup2(p.client, 1500);
    ASSERT_EQ(high, 1500);
    EXPECT_EQ(wait_socket_readable(high, 30), QV_ERR_SOCK_TIMEOUT);
    ASSERT_EQ(QV_MsgSend(p.server, "abc", 3), 0);
    char *out = nullptr;
    uint32_t t = 2000;
    EXPECT_EQ(QV_MsgReceive(high, &out, &t), 3);
    EXPECT_STREQ(out, "abc");
    std::free(out);
    ::close(high);
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

TEST_F(MsgTest, TimeOutConnectRefusalsAndBadAddresses) {
    uint16_t closed_port;
    {
        Listener gone;  // a port that was just in use and now refuses
        closed_port = gone.port;
    }
    int probe = ::dup(0);
    ::close(probe);
    EXPECT_EQ(QV_InetClientTimeOutInit(AF_INET, closed_port, SOCK_STREAM, "127.0.0.2", 1000), -1);
    EXPECT_EQ(QV_InetClientInit(AF_INET, closed_port, SOCK_STREAM, "127.0.0.2"), -1);
    for (const char *bad : {"not-an-ip", "127.0.0", "300.1.1.1", ""}) {
        EXPECT_EQ(QV_InetClientTimeOutInit(AF_INET, 13111, SOCK_STREAM, bad, 100), -1) << bad;
        EXPECT_EQ(QV_InetClientInit(AF_INET, 13111, SOCK_STREAM, bad), -1) << bad;
    }
    EXPECT_EQ(QV_InetClientTimeOutInit(AF_INET, 13111, SOCK_STREAM, nullptr, 100), -1);
    EXPECT_EQ(QV_InetClientInit(AF_INET, 13111, SOCK_STREAM, nullptr), -1);
    // No descriptor was left open by the failures.
    int next = ::dup(0);
    EXPECT_EQ(next, probe);
    ::close(next);

    Listener l;
    int fd = QV_InetClientInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2");
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(set_non_blocking_mode(fd), 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(set_blocking_mode(fd), 0);
    EXPECT_FALSE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(set_socket_keepalive(fd), 0);
    EXPECT_EQ(QV_SockClose(fd), 0);
}

// A full accept queue drops further SYNs, so the connect never completes and the budget has to end it.
TEST_F(MsgTest, TimeOutConnectToUnansweringListenerEnds) {
    Listener l(0);
    std::vector<int> fillers;
    int fd = -1;
    for (int i = 0; i < 8 && fd < 0; ++i) {
        auto t0 = Clock::now();
        fd = QV_InetClientTimeOutInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2", 150);
        if (fd >= 0) {
            fillers.push_back(fd);
            fd = -1;
            continue;
        }
        EXPECT_GE(elapsed_ms(t0), 100);
        EXPECT_LT(elapsed_ms(t0), 5000);
        break;
    }
    EXPECT_LT(fillers.size(), 8u) << "listener never filled up";
    for (int f : fillers) ::close(f);
}

TEST_F(MsgTest, CloseCalls) {
    EXPECT_EQ(QV_SockClose(-1), 0);
    EXPECT_EQ(QV_UdpClose(0), 0);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);  // descriptor 0 left open
}

TEST_F(MsgTest, AcceptWithAddressAndWithoutBuffer) {
    Listener l;
    int c1 = QV_InetClientInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2");
    char ip[16] = {0};
    int s1 = QV_ServerAcceptGetIp(l.fd, ip);
    ASSERT_GE(s1, 0);
    EXPECT_EQ(std::string(ip).rfind("127.", 0), 0u) << ip;  // the client's loopback source address
    ::close(s1);
    ::close(c1);

    int c2 = QV_InetClientInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2");
    EXPECT_EQ(QV_ServerAcceptGetIp(l.fd, nullptr), -1);
    char *out = nullptr;
    uint32_t t = 2000;
    EXPECT_EQ(QV_MsgReceive(c2, &out, &t), QV_ERR_SOCK_CLOSED);  // the accepted side was closed
    ::close(c2);
}

int nodelay_of(int fd) {
    int v = -1;
    socklen_t len = sizeof v;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len) != 0) return -1;
    return v != 0;
}

// A request leaves as a header frame and a body: Nagle would hold the body back for the peer's delayed ACK.
TEST_F(MsgTest, StreamSocketsToAndFromPeersHaveNagleOff) {
    Listener l;
    int blocking = QV_InetClientInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2");
    int bounded = QV_InetClientTimeOutInit(AF_INET, l.port, SOCK_STREAM, "127.0.0.2", 2000);
    char ip[16] = {0};
    int accepted = QV_ServerAcceptGetIp(l.fd, ip);
    for (int fd : {blocking, bounded, accepted}) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(nodelay_of(fd), 1);
        ::close(fd);
    }
    int other = ::accept(l.fd, nullptr, nullptr);
    if (other >= 0) ::close(other);
}

TEST_F(MsgTest, DomainServerReplacesStaleSocket) {
    std::string name = "qv_msg_test_" + std::to_string(::getpid());
    int a = QV_DomainServerInit(name.c_str());
    ASSERT_GE(a, 0);
    ::close(a);  // leaves the socket file behind
    int b = QV_DomainServerInit(name.c_str());
    EXPECT_GE(b, 0);
    ::close(b);
    ::unlink(("/tmp/app_messaging_server_addr/" + name).c_str());
    EXPECT_EQ(QV_DomainServerInit(nullptr), -1);
}

TEST_F(MsgTest, ServerInitFamilies) {
    EXPECT_EQ(QV_InetServerInit(AF_INET6, 0, SOCK_DGRAM, 0), -1);
    int fd = QV_UdpServerInit(AF_INET6, 0, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    EXPECT_EQ(a.sin6_port, 0);  // not bound
    ::close(fd);
    fd = QV_InetServerInit(AF_INET, 0, SOCK_STREAM, 4);
    EXPECT_GE(fd, 0);
    ::close(fd);
}

// ---- UDP ----

struct UdpReceiver {
    int fd;
    uint16_t port = 0;
    UdpReceiver() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr("127.0.0.3");
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~UdpReceiver() { ::close(fd); }
};

TEST_F(MsgTest, UdpFramesUpToTheLimit) {
    UdpReceiver rx;
    sockaddr_in dst{};
    int tx = QV_UdpClientInit(AF_INET, rx.port, SOCK_DGRAM, "127.0.0.3", &dst);
    ASSERT_GE(tx, 0);
    EXPECT_EQ(dst.sin_port, htons(rx.port));
    EXPECT_EQ(dst.sin_addr.s_addr, inet_addr("127.0.0.3"));

    for (uint32_t n : {3u, 0u, QV_UDP_MAX_LEN}) {
        SCOPED_TRACE(n);
        std::string payload(n, 'p');
        if (n) payload.back() = 'Z';  // the last byte of the largest payload must survive
        ASSERT_EQ(QV_UdpSend(tx, payload.data(), n, &dst), 0);
        char *out = reinterpret_cast<char *>(1);
        uint32_t t = 2000;
        sockaddr_in from{};
        ASSERT_EQ(QV_UdpReceive(rx.fd, &out, &t, &from), static_cast<int>(n + 4));
        EXPECT_EQ(from.sin_family, AF_INET);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out, n), payload);
        EXPECT_EQ(out[n], '\0');
        std::free(out);
    }

    // One byte over the limit is refused.
    std::string over(QV_UDP_MAX_LEN + 1, 'o');
    ASSERT_EQ(QV_UdpSend(tx, over.data(), static_cast<uint32_t>(over.size()), &dst), 0);
    char *out = reinterpret_cast<char *>(1);
    uint32_t t = 2000;
    EXPECT_EQ(QV_UdpReceive(rx.fd, &out, &t, nullptr), QV_ERR_SOCK_ALLOC);
    EXPECT_EQ(out, nullptr);

    // A length beyond the bytes carried reads as zeros.
    std::string short_dgram = le32(10) + "abc";
    ASSERT_EQ(::sendto(tx, short_dgram.data(), short_dgram.size(), 0, reinterpret_cast<sockaddr *>(&dst),
                       sizeof dst),
              7);
    ASSERT_EQ(QV_UdpReceive(rx.fd, &out, &t, nullptr), 7);
    EXPECT_EQ(std::string(out, 11), std::string("abc\0\0\0\0\0\0\0\0", 11));
    std::free(out);

    // Quiet socket: time-out.
    t = 50;
    auto t0 = Clock::now();
    EXPECT_EQ(QV_UdpReceive(rx.fd, &out, &t, nullptr), QV_ERR_SOCK_TIMEOUT);
    EXPECT_GE(elapsed_ms(t0), 40);
    EXPECT_EQ(QV_UdpSend(tx, nullptr, 1, &dst), QV_ERR_SOCK_NULLBUF);
    QV_SockClose(tx);
}

TEST_F(MsgTest, UdpDestinationAddresses) {
    struct Case {
        const char *ip;
        bool broadcast;
        const char *expected;  // null: refused
    } cases[] = {
        {"127.0.0.3", false, "127.0.0.3"},
        {"not-an-ip", false, nullptr},
        {"", false, nullptr},
        {nullptr, false, nullptr},
        {"0.0.0.0", true, "255.255.255.255"},
        {"127.0.0.255", true, "127.0.0.255"},
        {"bogus", true, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ip ? c.ip : "(null)");
        sockaddr_in dst{};
        int fd = c.broadcast ? QV_UdpBroadcastClientInit(AF_INET, 27212, SOCK_DGRAM, c.ip, &dst)
                             : QV_UdpClientInit(AF_INET, 27212, SOCK_DGRAM, c.ip, &dst);
        if (!c.expected) {
            EXPECT_EQ(fd, -1);
            continue;
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(dst.sin_family, AF_INET);
        EXPECT_EQ(dst.sin_port, htons(27212));
        EXPECT_EQ(dst.sin_addr.s_addr, inet_addr(c.expected));
        int on = 0;
        socklen_t len = sizeof on;
        ::getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, &len);
        EXPECT_EQ(on != 0, c.broadcast);
        QV_UdpClose(fd);
    }
}

TEST_F(MsgTest, HexDumpLayout) {
    std::string msg = "ABCDEFGHIJKLMNOP\x01QRS";
    ::testing::internal::CaptureStdout();
    QV_MsgPrintf(msg.data(), "lbl", static_cast<uint32_t>(msg.size()), 2);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string rule(66, '-');
    std::string body = rule + "\n" +
                       "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 ; ABCDEFGHIJKLMNOP\n\r"
                       "01 51 52 53 " +
                       std::string(36, ' ') + "; .QRS\n\r" + rule + "\n\n";
    ASSERT_GE(out.size(), body.size());
    EXPECT_EQ(out.substr(out.size() - body.size()), body);
    EXPECT_NE(out.find("] Tx lbl[len:20] msg:\n"), std::string::npos);
}
}  // namespace
