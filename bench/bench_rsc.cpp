// The reliable stream beside kernel TCP on the same emulated link (20 ms round trip; loss 0, 1 and 5 %,
// seeded). The stream runs over the link emulator's in-process session pair (both ends in this process);
// TCP (the kernel's default congestion control and buffers) runs between two namespaces through the
// emulator's wire mode, which needs root (without it only the stream is measured). Until the P2P sessions
// land, the stream does not cross wire mode itself: the two sides share the emulator's core and profile,
// not the path. Per side and loss: goodput of a one-way transfer, round trips of 1 KB and 64 KB requests
// (p50/p99), retransmitted share of data packets and acknowledgements per data packet (stream), CPU
// seconds and the process's peak RSS. The sides alternate, every run is printed, then min/median/max and
// the stream/TCP ratios of the medians. Last, the stream again after 20 reconnects, and the emulator's own
// ceiling (wire mode with impairment off).
//
// Environment: QV_BENCH_MB (16 per transfer), QV_BENCH_RUNS (3 per side), QV_BENCH_RR (200 1 KB and 20
// 64 KB round trips), QV_BENCH_SEED (1).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "linkemu_wire.h"
#include "p2p/rsc_api.h"
#include "p2p/rsc_packet.h"
#include "p2p/rsc_session.h"
#include "session_pair.h"

using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + (double)u.ru_stime.tv_sec +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
long peakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}
double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}
int envInt(const char *name, int dflt) {
    const char *v = getenv(name);
    return v && atoi(v) > 0 ? atoi(v) : dflt;
}

struct Run {
    double mbps = 0;                                          // goodput, MB/s
    double p50_1k = 0, p99_1k = 0, p50_64k = 0, p99_64k = 0;  // ms
    double retransmitted = 0;                                 // share of data packets
    double acksPerData = 0;
    double cpu = 0;
    long rssKb = 0;
};

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))];
}

// The stream's session layer: the emulator's session pair.
class PairSession : public RscSession {
  public:
    explicit PairSession(linkemu::SessionPair &p) : p_(p) {}
    void lock() override { p_.lock(); }
    void unlock() override { p_.unlock(); }
    int write(int sid, const uint8_t *buf, int len, uint8_t ch) override {
        return p_.write(sid, buf, len, ch);
    }
    int check(int sid) override { return p_.check(sid); }
    int peerProtocol(int sid) override { return p_.peerProtocol(sid); }
    void channelOn(int sid, uint8_t ch) override { p_.channelOn(sid, ch); }
    void channelOff(int sid, uint8_t ch) override { p_.channelOff(sid, ch); }
    void setRecvCallback(int sid, uint8_t ch, RscRecvFn fn) override { p_.setRecvCallback(sid, ch, fn); }
    void setIdleCallback(int sid, uint8_t ch, RscIdleFn fn) override { p_.setIdleCallback(sid, ch, fn); }

  private:
    linkemu::SessionPair &p_;
};

// A byte stream end: the stream's channel or a TCP socket.
struct End {
    virtual ~End() = default;
    virtual bool writeAll(const uint8_t *p, size_t n) = 0;  // and flush
    virtual bool readExact(uint8_t *p, size_t n) = 0;
};

struct RscEnd : End {
    int id;
    explicit RscEnd(int i) : id(i) {}
    bool writeAll(const uint8_t *p, size_t n) override {
        while (n > 0) {
            int k = (int)std::min<size_t>(n, 65536);
            if (RSC_Write(id, p, k) != k) return false;
            p += k;
            n -= (size_t)k;
        }
        return RSC_Flush(id) == 0;
    }
    bool readExact(uint8_t *p, size_t n) override {
        while (n > 0) {
            int r = RSC_Read(id, p, (int)std::min<size_t>(n, 1 << 20), 1000);
            if (r == RSC_ERR_TIMEOUT) continue;
            if (r <= 0) return false;
            p += r;
            n -= (size_t)r;
        }
        return true;
    }
};

struct TcpEnd : End {
    int fd;
    explicit TcpEnd(int f) : fd(f) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TcpEnd() override { close(fd); }
    bool writeAll(const uint8_t *p, size_t n) override {
        while (n > 0) {
            ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
            if (k <= 0) return false;
            p += k;
            n -= (size_t)k;
        }
        return true;
    }
    bool readExact(uint8_t *p, size_t n) override {
        while (n > 0) {
            ssize_t k = recv(fd, p, n, 0);
            if (k <= 0) return false;
            p += k;
            n -= (size_t)k;
        }
        return true;
    }
};

// Goodput one way, then request/response round trips; the peer echoes each request.
void measure(End &cli, End &srv, size_t bytes, int rr1k, int rr64k, Run *out) {
    std::vector<uint8_t> src(bytes, 0x5a), dst(bytes);
    auto t0 = Clock::now();
    auto w = std::async(std::launch::async, [&] { return cli.writeAll(src.data(), src.size()); });
    bool ok = srv.readExact(dst.data(), dst.size());
    double s = since(t0);
    ok = w.get() && ok;
    out->mbps = ok ? bytes / 1048576.0 / s : 0;
    for (size_t size : {(size_t)1024, (size_t)65536}) {
        const int n = size == 1024 ? rr1k : rr64k;
        std::vector<uint8_t> req(size, 1), resp(size);
        auto echo = std::async(std::launch::async, [&] {
            std::vector<uint8_t> b(size);
            for (int i = 0; i < n; ++i)
                if (!srv.readExact(b.data(), size) || !srv.writeAll(b.data(), size)) return false;
            return true;
        });
        std::vector<double> ms;
        for (int i = 0; i < n; ++i) {
            auto r0 = Clock::now();
            if (!cli.writeAll(req.data(), size) || !cli.readExact(resp.data(), size)) break;
            ms.push_back(since(r0) * 1000);
        }
        echo.get();
        (size == 1024 ? out->p50_1k : out->p50_64k) = quantile(ms, 0.5);
        (size == 1024 ? out->p99_1k : out->p99_64k) = quantile(ms, 0.99);
    }
}

linkemu::Profile profile(uint32_t lossPermille) {
    linkemu::Profile p;
    p.delayUs = 10000;  // 20 ms round trip
    p.lossPpm = lossPermille * 1000;
    return p;
}

Run runStream(uint64_t seed, uint32_t lossPermille, size_t bytes, int rr1k, int rr64k, int reconnects = 0) {
    linkemu::SessionOptions o;
    o.keepSent = false;
    linkemu::SessionPair pair(seed, profile(lossPermille), o);
    PairSession s(pair);
    rsc_Session_Install(&s);
    RSC_Initialize();
    Run r;
    const double c0 = cpuSeconds();
    for (int i = 0; i <= reconnects; ++i) {
        auto other = std::async(std::launch::async, [] { return RSC_Create(3, 5000, 0); });
        int a = RSC_Create(2, 5000, 0), b = other.get();
        if (a < 0 || b < 0) {
            fprintf(stderr, "bench_rsc: RSC_Create: %d %d\n", a, b);
            break;
        }
        if (i == reconnects) {
            RscEnd ea(a), eb(b);
            const linkemu::RscTally t0 = pair.tally(2), u0 = pair.tally(3);
            measure(ea, eb, bytes, rr1k, rr64k, &r);
            const linkemu::RscTally t = pair.tally(2), u = pair.tally(3);
            const double data = (double)(t.data - t0.data + u.data - u0.data);
            const double again =
                (double)(t.retransmitted - t0.retransmitted + u.retransmitted - u0.retransmitted);
            const double acks = (double)(t.acks - t0.acks + u.acks - u0.acks);
            r.retransmitted = data > 0 ? again / data : 0;
            r.acksPerData = data > again ? acks / (data - again) : 0;
        }
        RSC_Abort(a);
        RSC_Abort(b);
    }
    r.cpu = cpuSeconds() - c0;
    RSC_DeInitialize();
    rsc_Session_Install(nullptr);
    r.rssKb = peakRssKb();
    return r;
}

Run runTcp(linkemu::WireNetns &net, uint64_t seed, uint32_t lossPermille, size_t bytes, int rr1k, int rr64k,
           bool clean = false) {
    Run r;
    std::string why;
    auto wire = net.splice(seed, clean ? linkemu::Profile{} : profile(lossPermille),
                           clean ? linkemu::Profile{} : profile(lossPermille), &why);
    if (!wire) {
        fprintf(stderr, "bench_rsc: %s\n", why.c_str());
        return r;
    }
    int lis = -1, cli = -1;
    auto bindIn = [&](char ns, const char *addr, uint16_t port) {
        int fd = -1;
        net.in(ns, [&] {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(port);
            inet_pton(AF_INET, addr, &sa.sin_addr);
            bind(fd, (sockaddr *)&sa, sizeof sa);
        });
        return fd;
    };
    lis = bindIn('b', linkemu::WireNetns::kAddrB, 7100);
    listen(lis, 1);
    cli = bindIn('a', linkemu::WireNetns::kAddrA, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(7100);
    inet_pton(AF_INET, linkemu::WireNetns::kAddrB, &to.sin_addr);
    const double c0 = cpuSeconds();
    if (connect(cli, (sockaddr *)&to, sizeof to) != 0) {
        perror("bench_rsc: connect");
        close(cli);
        close(lis);
        return r;
    }
    int srv = accept(lis, nullptr, nullptr);
    close(lis);
    {
        TcpEnd ec(cli), es(srv);
        measure(ec, es, bytes, rr1k, rr64k, &r);
    }
    r.cpu = cpuSeconds() - c0;
    auto c = wire->counters(0);
    r.retransmitted = -1;  // the kernel's own: not counted here
    r.rssKb = peakRssKb();
    if (clean)
        printf("  emulator ceiling (impairment off): %.1f MB/s over TCP, %s\n", r.mbps,
               linkemu::describe(c).c_str());
    return r;
}

void printRun(const char *side, int i, const Run &r) {
    printf("  %-6s run %d: %7.2f MB/s  1KB p50 %7.2f p99 %7.2f ms  64KB p50 %7.2f p99 %7.2f ms", side, i,
           r.mbps, r.p50_1k, r.p99_1k, r.p50_64k, r.p99_64k);
    if (r.retransmitted >= 0) printf("  again %.3f acks/data %.2f", r.retransmitted, r.acksPerData);
    printf("  cpu %.2f s  rss %ld kB\n", r.cpu, r.rssKb);
}

void summary(const char *what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    printf("    %-18s min %9.2f  median %9.2f  max %9.2f\n", what, v.front(), v[v.size() / 2], v.back());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main() {
    const size_t bytes = (size_t)envInt("QV_BENCH_MB", 16) << 20;
    const int runs = envInt("QV_BENCH_RUNS", 3);
    const int rr1k = envInt("QV_BENCH_RR", 200);
    const int rr64k = std::max(1, rr1k / 10);
    const uint64_t seed = (uint64_t)envInt("QV_BENCH_SEED", 1);
    std::string why;
    auto net = linkemu::WireNetns::make(&why);
    printf("bench_rsc: %zu MB one way, %d x 1 KB and %d x 64 KB round trips, %d runs a side, seed %llu\n",
           bytes >> 20, rr1k, rr64k, runs, (unsigned long long)seed);
    if (!net)
        printf("kernel TCP side skipped: %s\n", why.c_str());
    else
        runTcp(*net, seed, 0, bytes, 1, 1, true);
    for (uint32_t loss : {0u, 10u, 50u}) {
        printf("RTT 20 ms, loss %.1f %% (%s)\n", loss / 10.0, profile(loss).describe().c_str());
        std::vector<Run> rs, ts;
        for (int i = 0; i < runs; ++i) {
            // Alternate which side goes first.
            for (int k = 0; k < 2; ++k) {
                if ((i + k) % 2 == 0) {
                    rs.push_back(runStream(seed + (uint64_t)i, loss, bytes, rr1k, rr64k));
                    printRun("stream", i, rs.back());
                } else if (net) {
                    ts.push_back(runTcp(*net, seed + (uint64_t)i, loss, bytes, rr1k, rr64k));
                    printRun("tcp", i, ts.back());
                }
            }
        }
        auto col = [](const std::vector<Run> &v, double Run::*f) {
            std::vector<double> out;
            for (const Run &r : v) out.push_back(r.*f);
            return out;
        };
        for (auto [name, v] : {std::pair{"stream", &rs}, std::pair{"tcp", &ts}}) {
            if (v->empty()) continue;
            printf("  %s:\n", name);
            summary("MB/s", col(*v, &Run::mbps));
            summary("1KB p99 ms", col(*v, &Run::p99_1k));
            summary("64KB p99 ms", col(*v, &Run::p99_64k));
        }
        if (!ts.empty()) {
            printf(
                "  stream/TCP medians: goodput %.2fx (goal >= 1.0 at 1 %%), 1 KB p99 %.2fx (goal <= 0.7), "
                "64 KB p99 %.2fx\n",
                median(col(rs, &Run::mbps)) / std::max(1e-9, median(col(ts, &Run::mbps))),
                median(col(rs, &Run::p99_1k)) / std::max(1e-9, median(col(ts, &Run::p99_1k))),
                median(col(rs, &Run::p99_64k)) / std::max(1e-9, median(col(ts, &Run::p99_64k))));
        }
    }
    printf("stream after 20 reconnects, loss 1 %%:\n");
    printRun("stream", 0, runStream(seed, 10, bytes, rr1k, rr64k, 20));
    return 0;
}
