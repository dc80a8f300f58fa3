// Session packets over loopback: 1,416-byte data packets sent with _PSL_SendPacket (scrambling), carried by
// the connection manager and read by the datagram framing (descrambling), next to a bare sendto/recvfrom pair
// moving the same bytes. The two sides alternate; every run is printed, then min/median/max and the ratio of
// the medians. Last, the scrambler alone in MB/s.
//
// Environment: QV_BENCH_PACKETS (100000 per run), QV_BENCH_RUNS (5 per side).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "p2p/psl_messages.h"
#include "p2p/psl_packet.h"
#include "p2p/tconn_manager.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWindow = 200;  // packets in flight at most, so neither side loses datagrams to a full buffer

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + (double)u.ru_stime.tv_sec +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double pps;
    double cpuUs;  // CPU per packet, both threads together
};

struct SdkSide {
    std::atomic<long> received{0};
    static void onRecv(LinuxConn *, const char *, uint16_t, uint8_t *buf, int64_t len, void *arg) {
        uint8_t plain[PSL_UDP_RECV_MAX];
        PSLPacketHeader h{};
        if (psl_ReadDatagram(buf, (size_t)len, plain, &h) == PSL_UDP_RECV_MAX)
            static_cast<SdkSide *>(arg)->received.fetch_add(1, std::memory_order_release);
    }
};

Run runSdk(long packets) {
    LinuxConnMgr *mgr = nullptr;
    LinuxConnMgr_getInstance(&mgr);
    SdkSide side;
    LinuxConn *rx = nullptr, *tx = nullptr;
    LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &rx);
    LinuxConnMgr_createConnection(mgr, LINUXCONN_UDP, LINUXCONN_SERVER, 0, &tx);
    LinuxConn_setRecvCallback(rx, SdkSide::onRecv, &side);
    uint16_t rxPort = 0, txPort = 0;
    LinuxConn_open(rx, nullptr, &rxPort, 0, nullptr, nullptr, nullptr, nullptr);
    LinuxConn_open(tx, nullptr, &txPort, 0, nullptr, nullptr, nullptr, nullptr);
    std::vector<uint8_t> data(1388, 0x42);
    uint8_t pkt[PSL_SEND_MAX];
    int n = psl_Build_Data(pkt, sizeof pkt, 0x0407, 1, 7, 0, 0, 1, 0x11111111, 0x22222222, data.data(),
                           data.size());
    double c0 = cpuSeconds();
    auto t0 = Clock::now();
    for (long i = 0; i < packets; ++i) {
        while (i - side.received.load(std::memory_order_acquire) >= kWindow) std::this_thread::yield();
        if (_PSL_SendPacket(tx, pkt, (uint16_t)n, "127.0.0.1", rxPort) != n) --i;
    }
    while (side.received.load(std::memory_order_acquire) < packets &&
           Clock::now() - t0 < std::chrono::seconds(30))
        std::this_thread::yield();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = cpuSeconds() - c0;
    LinuxConnMgr_destroyConnection(mgr, rx);
    LinuxConnMgr_destroyConnection(mgr, tx);
    LinuxConnMgr_release(mgr);
    return {packets / secs, cpu / packets * 1e6};
}

Run runBare(long packets) {
    int rx = socket(AF_INET6, SOCK_DGRAM, 0), tx = socket(AF_INET6, SOCK_DGRAM, 0);
    int off = 0, buf = 1024000;
    setsockopt(rx, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    bind(rx, (sockaddr *)&a, sizeof a);
    socklen_t al = sizeof a;
    getsockname(rx, (sockaddr *)&a, &al);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = a.sin6_port;
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &to.sin6_addr);
    timeval tv{1, 0};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::atomic<long> received{0};
    std::thread reader([&] {
        uint8_t b[2048];
        sockaddr_storage from{};
        while (received.load() < packets) {
            socklen_t fl = sizeof from;
            if (recvfrom(rx, b, sizeof b, 0, (sockaddr *)&from, &fl) != PSL_UDP_RECV_MAX) break;
            received.fetch_add(1, std::memory_order_release);
        }
    });
    std::vector<uint8_t> pkt(PSL_UDP_RECV_MAX, 0x42);
    double c0 = cpuSeconds();
    auto t0 = Clock::now();
    for (long i = 0; i < packets; ++i) {
        while (i - received.load(std::memory_order_acquire) >= kWindow) std::this_thread::yield();
        if (sendto(tx, pkt.data(), pkt.size(), 0, (sockaddr *)&to, sizeof to) != (ssize_t)pkt.size()) --i;
    }
    reader.join();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = cpuSeconds() - c0;
    close(rx);
    close(tx);
    return {packets / secs, cpu / packets * 1e6};
}

void summary(const char *name, std::vector<Run> runs, double *medianPps) {
    std::vector<double> pps, cpu;
    for (const Run &r : runs) {
        pps.push_back(r.pps);
        cpu.push_back(r.cpuUs);
    }
    std::sort(pps.begin(), pps.end());
    std::sort(cpu.begin(), cpu.end());
    *medianPps = pps[pps.size() / 2];
    printf("%-6s packets/s min %.0f median %.0f max %.0f | CPU us/packet min %.2f median %.2f max %.2f\n",
           name, pps.front(), pps[pps.size() / 2], pps.back(), cpu.front(), cpu[cpu.size() / 2], cpu.back());
}

}  // namespace

int main() {
    long packets = getenv("QV_BENCH_PACKETS") ? atol(getenv("QV_BENCH_PACKETS")) : 100000;
    int runs = getenv("QV_BENCH_RUNS") ? atoi(getenv("QV_BENCH_RUNS")) : 5;
    printf("1,416-byte packets over loopback, %ld per run, %d runs a side, alternating\n", packets, runs);
    std::vector<Run> sdk, bare;
    for (int r = 0; r < runs; ++r) {
        sdk.push_back(runSdk(packets));
        printf("run %d sdk  %.0f packets/s  %.2f us CPU/packet\n", r + 1, sdk.back().pps, sdk.back().cpuUs);
        bare.push_back(runBare(packets));
        printf("run %d bare %.0f packets/s  %.2f us CPU/packet\n", r + 1, bare.back().pps, bare.back().cpuUs);
    }
    double sdkMed = 0, bareMed = 0;
    summary("sdk", sdk, &sdkMed);
    summary("bare", bare, &bareMed);
    printf("ratio sdk/bare (median packets/s): %.2f\n", sdkMed / bareMed);

    std::vector<uint8_t> src(PSL_UDP_RECV_MAX, 0x5a), dst(PSL_UDP_RECV_MAX);
    std::vector<double> mbs;
    for (int r = 0; r < runs; ++r) {
        const int reps = 200000;
        auto t0 = Clock::now();
        for (int i = 0; i < reps; ++i) {
            _PSL_Scramble(src.data(), dst.data(), (uint16_t)src.size(), (uint16_t)src.size());
            src[i % src.size()] ^= dst[(i * 7) % dst.size()];  // keep the work observable
        }
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        mbs.push_back((double)reps * src.size() / secs / 1e6);
        printf("run %d scrambler %.0f MB/s\n", r + 1, mbs.back());
    }
    std::sort(mbs.begin(), mbs.end());
    printf("scrambler MB/s min %.0f median %.0f max %.0f\n", mbs.front(), mbs[mbs.size() / 2], mbs.back());
    return 0;
}
