// Wire mode (root, else skipped saying why): kernel traffic between two namespaces crosses the emulator's
// link: a UDP round trip takes the configured delay both ways, datagrams are lost exactly as the seeded
// decisions say, and a TCP transfer through loss, reordering and duplication arrives byte-exact.
#include "linkemu_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

using linkemu::Profile;
using linkemu::WireNetns;

class WireMode : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        net = WireNetns::make(&why);
        if (!net) GTEST_SKIP() << why;
    }
    std::unique_ptr<linkemu::Wire> splice(uint64_t seed, const Profile &p) {
        std::string why;
        auto w = net->splice(seed, p, p, &why);
        EXPECT_TRUE(w) << why;
        if (w) printf("%s\n", w->banner().c_str());
        return w;
    }
    // A socket of type made in namespace which, bound to addr:port.
    int socketIn(char which, int type, const char *addr, uint16_t port) {
        int fd = -1;
        net->in(which, [&] {
            fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(port);
            inet_pton(AF_INET, addr, &sa.sin_addr);
            if (bind(fd, (sockaddr *)&sa, sizeof sa) != 0) {
                close(fd);
                fd = -1;
            }
        });
        timeval tv{60, 0};
        if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }
    static sockaddr_in addrOf(const char *addr, uint16_t port) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        return sa;
    }

    std::unique_ptr<WireNetns> net;
};

TEST_F(WireMode, UdpRoundTripTakesTheConfiguredDelayBothWays) {
    Profile p;
    p.delayUs = 20000;
    auto w = splice(1, p);
    ASSERT_TRUE(w);
    int srv = socketIn('b', SOCK_DGRAM, WireNetns::kAddrB, 7000);
    int cli = socketIn('a', SOCK_DGRAM, WireNetns::kAddrA, 0);
    ASSERT_GE(srv, 0);
    ASSERT_GE(cli, 0);
    std::thread echo([srv] {
        char b[64];
        for (int i = 0; i < 11; ++i) {
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(srv, b, sizeof b, 0, (sockaddr *)&from, &fl);
            if (n <= 0) return;
            sendto(srv, b, (size_t)n, 0, (sockaddr *)&from, fl);
        }
    });
    const sockaddr_in to = addrOf(WireNetns::kAddrB, 7000);
    std::vector<double> rtt;
    for (int i = 0; i < 11; ++i) {
        char b[8] = "ping";
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(8, sendto(cli, b, 8, 0, (const sockaddr *)&to, sizeof to));
        ASSERT_EQ(8, recv(cli, b, 8, 0));
        rtt.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    echo.join();
    close(srv);
    close(cli);
    std::sort(rtt.begin(), rtt.end());
    printf("UDP round trip at 20 ms one way: min %.2f median %.2f max %.2f ms\n", rtt.front(), rtt[5],
           rtt.back());
    EXPECT_GE(rtt.front(), 39.9);   // the emulator never releases early
    EXPECT_LT(rtt[5], 40 + 200.0);  // generous: a loaded machine
    EXPECT_EQ(11u, w->counters(0).offered);
    EXPECT_EQ(11u, w->counters(1).offered);
}

TEST_F(WireMode, DatagramsAreLostExactlyAsTheSeedDecides) {
    Profile p;
    p.delayUs = 1000;
    p.lossPpm = 50000;  // 5 %
    auto w = splice(2, p);
    ASSERT_TRUE(w);
    int srv = socketIn('b', SOCK_DGRAM, WireNetns::kAddrB, 7000);
    int cli = socketIn('a', SOCK_DGRAM, WireNetns::kAddrA, 0);
    ASSERT_GE(srv, 0);
    ASSERT_GE(cli, 0);
    int big = 4 << 20;  // a slow reader under load must not drop what the link delivered
    setsockopt(srv, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    const sockaddr_in to = addrOf(WireNetns::kAddrB, 7000);
    const int n = 1000;
    std::vector<int> got;
    std::thread reader([&] {  // reads as they come, until 3 s of silence
        timeval tv{3, 0};
        setsockopt(srv, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int v;
        while (recv(srv, &v, 4, 0) == 4) got.push_back(v);
    });
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(4, sendto(cli, &i, 4, 0, (const sockaddr *)&to, sizeof to));
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reader.join();
    close(srv);
    close(cli);
    // Which datagrams were lost follows from the seed alone.
    linkemu::Decider d(2, 0, p);
    std::vector<int> want;
    for (int i = 0; i < n; ++i)
        if (!d.next().lost) want.push_back(i);
    std::sort(got.begin(), got.end());
    auto c = w->counters(0);
    printf("a>b: %s\n", linkemu::describe(c).c_str());
    EXPECT_EQ((uint64_t)n, c.offered);
    EXPECT_EQ(want, got) << want.size() << " wanted, " << got.size() << " got";
    EXPECT_GT(c.lost, 20u);
    EXPECT_LT(c.lost, 90u);
}

TEST_F(WireMode, KernelTcpCrossesLossReorderingAndDuplicationByteExact) {
    Profile p;
    p.delayUs = 10000;
    p.jitterUs = 1000;
    p.lossPpm = 10000;      // 1 %
    p.reorderPpm = 10000;   // 1 %
    p.duplicatePpm = 5000;  // 0.5 %
    auto w = splice(3, p);
    ASSERT_TRUE(w);
    int lis = socketIn('b', SOCK_STREAM, WireNetns::kAddrB, 7001);
    ASSERT_GE(lis, 0);
    ASSERT_EQ(0, listen(lis, 1));
    int cli = socketIn('a', SOCK_STREAM, WireNetns::kAddrA, 0);
    ASSERT_GE(cli, 0);
    std::vector<uint8_t> src(4 << 20);
    std::mt19937 r(3);
    for (auto &b : src) b = (uint8_t)r();
    std::vector<uint8_t> got;
    std::thread sink([&] {
        int s = accept(lis, nullptr, nullptr);
        if (s < 0) return;
        timeval tv{60, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<uint8_t> b(65536);
        ssize_t k;
        while ((k = recv(s, b.data(), b.size(), 0)) > 0) got.insert(got.end(), b.begin(), b.begin() + k);
        close(s);
    });
    const sockaddr_in to = addrOf(WireNetns::kAddrB, 7001);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(0, connect(cli, (const sockaddr *)&to, sizeof to));
    size_t off = 0;
    while (off < src.size()) {
        ssize_t k = send(cli, src.data() + off, src.size() - off, MSG_NOSIGNAL);
        ASSERT_GT(k, 0);
        off += (size_t)k;
    }
    shutdown(cli, SHUT_WR);
    sink.join();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(cli);
    close(lis);
    auto c = w->counters(0);
    printf("4 MiB over TCP in %.2f s; a>b: %s; b>a: %s\n", s, linkemu::describe(c).c_str(),
           linkemu::describe(w->counters(1)).c_str());
    EXPECT_EQ(src.size(), got.size());
    EXPECT_TRUE(src == got);
    EXPECT_GT(c.lost, 0u);
    EXPECT_GT(c.reordered, 0u);
    EXPECT_EQ(0u, w->sendErrors());
}

}  // namespace
