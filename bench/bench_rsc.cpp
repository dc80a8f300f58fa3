// The reliable stream beside kernel TCP on the same emulated link (20 ms round trip; loss 0, 1 and 5 %,
// seeded). With root, both cross the link emulator's wire mode between two namespaces: the stream over a
// real LAN session to the device daemon's stream mode (the one-way transfer to its sink, timed until every
// byte is acknowledged; round trips through its echo), TCP (CUBIC, set on the sockets since a machine's
// default may be another; default buffers) between sockets in the same namespaces. Without root the stream
// runs alone on the emulator's in-process session pair. Per side and loss: goodput of a one-way transfer,
// round trips of 1 KB and 64 KB requests (p50/p99), the share of data packets sent again, packets the other
// way per data packet (as the wire saw them), CPU seconds (the stream's include the daemon's) and peak RSS
// (the device daemon's beside the stream's). The sides alternate, every run is printed, then min/median/max
// and the stream/TCP ratios of the medians. First the emulator's own ceiling (wire mode, impairment off);
// last the stream on the in-process pair after 20 reconnects.
//
// Environment: QV_BENCH_MB (100 per transfer), QV_BENCH_RUNS (3 per side), QV_BENCH_RR (2,000 1 KB and a
// tenth as many 64 KB round trips), QV_BENCH_SEED (1), QV_BENCH_TCP_CC (cubic), QV_BENCH_NO_TCP (the
// stream alone), QV_BENCH_FAKE (the in-process pair even with root).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/p2p/lan_topology.h"
#include "linkemu_wire.h"
#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_connect.h"
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
// The process's peak resident set since the last resetPeakRss (VmHWM), in kB.
long peakRssKb() {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &kb) == 1) break;
    fclose(f);
    return kb;
}
void resetPeakRss() {
    if (FILE *f = fopen("/proc/self/clear_refs", "w")) {
        fputs("5", f);
        fclose(f);
    }
}
double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return (double)u.ru_utime.tv_sec + (double)u.ru_stime.tv_sec +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
    long peerRssKb = 0;  // the device daemon's (real sessions)
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

// The kernel's congestion control for the TCP side: CUBIC (the machine's default may be another).
const char *g_tcpCc = "cubic";

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

// Writes bytes in 64 KB pieces from one buffer (no copy of the whole transfer is held).
bool writeBytes(End &e, size_t bytes) {
    std::vector<uint8_t> b(65536, 0x5a);
    for (size_t off = 0; off < bytes;) {
        const size_t n = std::min(b.size(), bytes - off);
        if (!e.writeAll(b.data(), n)) return false;
        off += n;
    }
    return true;
}
bool readBytes(End &e, size_t bytes) {
    std::vector<uint8_t> b(1 << 18);
    for (size_t off = 0; off < bytes;) {
        const size_t n = std::min(b.size(), bytes - off);
        if (!e.readExact(b.data(), n)) return false;
        off += n;
    }
    return true;
}

// Goodput of a one-way transfer, timed at the reader.
void measureOneWay(End &cli, End &srv, size_t bytes, Run *out) {
    auto t0 = Clock::now();
    auto w = std::async(std::launch::async, [&] { return writeBytes(cli, bytes); });
    bool ok = readBytes(srv, bytes);
    double s = since(t0);
    ok = w.get() && ok;
    out->mbps = ok ? bytes / 1048576.0 / s : 0;
}

// Request/response round trips of 1 KB and 64 KB; the peer echoes each request (srv null: it already does).
void measureRoundTrips(End &cli, End *srv, int rr1k, int rr64k, Run *out) {
    for (size_t size : {(size_t)1024, (size_t)65536}) {
        const int n = size == 1024 ? rr1k : rr64k;
        std::vector<uint8_t> req(size, 1), resp(size);
        std::future<bool> echo;
        if (srv)
            echo = std::async(std::launch::async, [&, srv] {
                std::vector<uint8_t> b(size);
                for (int i = 0; i < n; ++i)
                    if (!srv->readExact(b.data(), size) || !srv->writeAll(b.data(), size)) return false;
                return true;
            });
        std::vector<double> ms;
        for (int i = 0; i < n; ++i) {
            auto r0 = Clock::now();
            if (!cli.writeAll(req.data(), size) || !cli.readExact(resp.data(), size)) break;
            ms.push_back(since(r0) * 1000);
        }
        if (srv) echo.get();
        if ((int)ms.size() < n)
            fprintf(stderr, "bench_rsc: %zu of %d round trips of %zu bytes\n", ms.size(), n, size);
        (size == 1024 ? out->p50_1k : out->p50_64k) = quantile(ms, 0.5);
        (size == 1024 ? out->p99_1k : out->p99_64k) = quantile(ms, 0.99);
    }
}

void measure(End &cli, End &srv, size_t bytes, int rr1k, int rr64k, Run *out) {
    measureOneWay(cli, srv, bytes, out);
    measureRoundTrips(cli, &srv, rr1k, rr64k, out);
}

linkemu::Profile profile(uint32_t lossPermille) {
    linkemu::Profile p;
    p.delayUs = 10000;  // 20 ms round trip
    p.lossPpm = lossPermille * 1000;
    return p;
}

Run runFake(uint64_t seed, uint32_t lossPermille, size_t bytes, int rr1k, int rr64k, int reconnects = 0) {
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

// Packets the other way per packet of the transfer's direction, as the wire saw them.
double reversePerForward(const linkemu::Counters &ab0, const linkemu::Counters &ab1,
                         const linkemu::Counters &ba0, const linkemu::Counters &ba1) {
    const double fwd = (double)(ab1.offered - ab0.offered);
    return fwd > 0 ? (double)(ba1.offered - ba0.offered) / fwd : 0;
}

// Moves the calling thread into a named namespace until destroyed; the threads it starts are born there.
class InNamespace {
  public:
    explicit InNamespace(const std::string &name) {
        self_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        ok_ = self_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
    }
    ~InNamespace() {
        if (ok_) setns(self_, CLONE_NEWNET);
        if (self_ >= 0) close(self_);
    }
    bool ok() const { return ok_; }

  private:
    int self_ = -1;
    bool ok_ = false;
};

constexpr const char *kUid = "QVBENCHRSC0000000001";
std::string g_daemon;  // the device daemon's path

// The client's end of a real session: this thread in namespace a, the daemon in b in the given stream mode,
// a LAN session and the stream on channel 0. Closed and stopped with the object.
struct RealStream {
    qvtest::Child daemon;
    std::unique_ptr<InNamespace> inA;
    int sid = -1, id = -1;
    bool psl = false, rsc = false;
    double childCpu0 = 0;

    bool open(linkemu::WireNetns &net, const char *mode) {
        childCpu0 = childCpuSeconds();
        if (!daemon.start({"ip", "netns", "exec", net.name('b'), g_daemon, "--uid", kUid, "--stream", mode},
                          10000)) {
            fprintf(stderr, "bench_rsc: the device daemon (%s) did not start\n", g_daemon.c_str());
            return false;
        }
        inA = std::make_unique<InNamespace>(net.name('a'));
        if (!inA->ok() || PSL_Initialize(0) != 0) return false;
        psl = true;
        if (RSC_Initialize() <= 0) return false;
        rsc = true;
        for (int attempt = 0; attempt < 5 && sid < 0; ++attempt) {
            std::atomic<bool> done{false};
            std::thread watchdog([&] {
                for (int i = 0; i < 200 && !done; ++i) usleep(50000);
                if (!done) PSL_Connect_Abort_All();
            });
            sid = PSL_Connect_ByUID(kUid);
            done = true;
            watchdog.join();
        }
        if (sid < 0) {
            fprintf(stderr, "bench_rsc: no session to the daemon: %d\n", sid);
            return false;
        }
        id = RSC_Create(sid, 30000, 0);
        if (id < 0) fprintf(stderr, "bench_rsc: RSC_Create: %d\n", id);
        return id >= 0;
    }
    // Closes everything; the daemon's CPU seconds and peak RSS.
    void close(double *cpu, long *rssKb) {
        if (id >= 0) RSC_Destroy(id);
        if (sid >= 0) PSL_Session_Close(sid);
        if (rsc) RSC_DeInitialize();
        if (psl) PSL_DeInitialize();
        inA.reset();
        daemon.reap();
        if (cpu) *cpu = childCpuSeconds() - childCpu0;
        rusage u{};
        getrusage(RUSAGE_CHILDREN, &u);
        if (rssKb) *rssKb = u.ru_maxrss;
        id = sid = -1;
        psl = rsc = false;
    }
    ~RealStream() { close(nullptr, nullptr); }
};

// The stream over a real LAN session through wire mode: a one-way transfer to the daemon's sink (timed until
// every byte is acknowledged), then round trips through its echo.
Run runReal(linkemu::WireNetns &net, uint64_t seed, uint32_t lossPermille, size_t bytes, int rr1k,
            int rr64k) {
    Run r;
    std::string why;
    auto wire = net.splice(seed, profile(lossPermille), profile(lossPermille), &why);
    if (!wire) {
        fprintf(stderr, "bench_rsc: %s\n", why.c_str());
        return r;
    }
    double cpu = 0, peerCpu = 0;
    {
        RealStream s;
        if (!s.open(net, "sink")) return r;
        resetPeakRss();
        const linkemu::Counters ab0 = wire->counters(0), ba0 = wire->counters(1);
        const double c0 = cpuSeconds();
        const auto t0 = Clock::now();
        RscEnd e(s.id);
        bool ok = writeBytes(e, bytes);
        RSCStatus st{};
        while (ok && RSC_Status_Check(s.id, &st) == 0 && st.sendQBytes > 0) usleep(1000);
        const double secs = since(t0);
        cpu += cpuSeconds() - c0;
        r.mbps = ok ? bytes / 1048576.0 / secs : 0;
        RSCTestCounters k{};
        rsc_Test_Counters(s.id, &k);
        r.retransmitted = k.dataSent ? (double)k.retransmitted / (double)k.dataSent : 0;
        r.acksPerData = reversePerForward(ab0, wire->counters(0), ba0, wire->counters(1));
        r.rssKb = peakRssKb();
        s.close(&peerCpu, &r.peerRssKb);
    }
    {
        RealStream s;
        if (!s.open(net, "echo")) return r;
        double c0 = cpuSeconds();
        RscEnd e(s.id);
        measureRoundTrips(e, nullptr, rr1k, rr64k, &r);
        cpu += cpuSeconds() - c0;
        r.rssKb = std::max(r.rssKb, peakRssKb());
        double echoCpu = 0;
        long echoRss = 0;
        s.close(&echoCpu, &echoRss);
        peerCpu += echoCpu;
        r.peerRssKb = std::max(r.peerRssKb, echoRss);
    }
    r.cpu = cpu + peerCpu;
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
            if (setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, g_tcpCc, (socklen_t)strlen(g_tcpCc)) != 0)
                fprintf(stderr, "bench_rsc: TCP_CONGESTION %s: %s\n", g_tcpCc, strerror(errno));
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
    resetPeakRss();
    {
        TcpEnd ec(cli), es(srv);
        const linkemu::Counters ab0 = wire->counters(0), ba0 = wire->counters(1);
        tcp_info i0{}, i1{};
        socklen_t len = sizeof i0;
        getsockopt(cli, IPPROTO_TCP, TCP_INFO, &i0, &len);
        measureOneWay(ec, es, bytes, &r);
        len = sizeof i1;
        getsockopt(cli, IPPROTO_TCP, TCP_INFO, &i1, &len);
        const double segs = (double)bytes / (i1.tcpi_snd_mss ? i1.tcpi_snd_mss : 1448);
        r.retransmitted = (double)(i1.tcpi_total_retrans - i0.tcpi_total_retrans) / segs;
        r.acksPerData = reversePerForward(ab0, wire->counters(0), ba0, wire->counters(1));
        measureRoundTrips(ec, &es, rr1k, rr64k, &r);
    }
    r.cpu = cpuSeconds() - c0;
    auto c = wire->counters(0);
    r.rssKb = peakRssKb();
    if (clean)
        printf("  emulator ceiling (impairment off): %.1f MB/s over TCP, %s\n", r.mbps,
               linkemu::describe(c).c_str());
    return r;
}

void printRun(const char *side, int i, const Run &r) {
    printf("  %-6s run %d: %7.2f MB/s  1KB p50 %7.2f p99 %7.2f ms  64KB p50 %7.2f p99 %7.2f ms", side, i,
           r.mbps, r.p50_1k, r.p99_1k, r.p50_64k, r.p99_64k);
    printf("  again %.3f acks/data %.2f  cpu %.2f s  rss %ld kB", r.retransmitted, r.acksPerData, r.cpu,
           r.rssKb);
    if (r.peerRssKb) printf(" (device %ld kB)", r.peerRssKb);
    printf("\n");
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

int main(int, char **argv) {
    const size_t bytes = (size_t)envInt("QV_BENCH_MB", 100) << 20;
    const int runs = envInt("QV_BENCH_RUNS", 3);
    const int rr1k = envInt("QV_BENCH_RR", 2000);
    const int rr64k = std::max(1, rr1k / 10);
    const uint64_t seed = (uint64_t)envInt("QV_BENCH_SEED", 1);
    const bool fakeOnly = getenv("QV_BENCH_FAKE") != nullptr;
    const bool noTcp = getenv("QV_BENCH_NO_TCP") != nullptr;  // the stream alone (comparing its versions)
    if (const char *cc = getenv("QV_BENCH_TCP_CC")) g_tcpCc = cc;
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) > 0)
        g_daemon =
            std::string(self).substr(0, std::string(self).rfind("/bench/")) + "/tests/p2p-device-daemon";
    else
        g_daemon = argv[0];
    std::string why;
    auto net = fakeOnly ? nullptr : linkemu::WireNetns::make(&why);
    if (fakeOnly) why = "QV_BENCH_FAKE is set";
    printf(
        "bench_rsc: %zu MB one way, %d x 1 KB and %d x 64 KB round trips, %d runs a side, seed %llu, TCP "
        "with "
        "%s\n",
        bytes >> 20, rr1k, rr64k, runs, (unsigned long long)seed, g_tcpCc);
    if (!net)
        printf("real sessions and kernel TCP skipped (%s): the stream alone on the in-process session pair\n",
               why.c_str());
    else if (!noTcp)
        runTcp(*net, seed, 0, bytes, 1, 1, true);
    for (uint32_t loss : {0u, 10u, 50u}) {
        printf("RTT 20 ms, loss %.1f %% (%s)\n", loss / 10.0, profile(loss).describe().c_str());
        std::vector<Run> rs, ts;
        for (int i = 0; i < runs; ++i) {
            // Alternate which side goes first.
            for (int k = 0; k < 2; ++k) {
                if ((i + k) % 2 == 0) {
                    rs.push_back(net ? runReal(*net, seed + (uint64_t)i, loss, bytes, rr1k, rr64k)
                                     : runFake(seed + (uint64_t)i, loss, bytes, rr1k, rr64k));
                    printRun("stream", i, rs.back());
                } else if (net && !noTcp) {
                    ts.push_back(runTcp(*net, seed + (uint64_t)i, loss, bytes, rr1k, rr64k));
                    printRun("tcp", i, ts.back());
                }
                fflush(stdout);
            }
        }
        auto col = [](const std::vector<Run> &v, auto Run::*f) {
            std::vector<double> out;
            for (const Run &r : v) out.push_back((double)(r.*f));
            return out;
        };
        for (auto [name, v] : {std::pair{"stream", &rs}, std::pair{"tcp", &ts}}) {
            if (v->empty()) continue;
            printf("  %s:\n", name);
            summary("MB/s", col(*v, &Run::mbps));
            summary("1KB p50 ms", col(*v, &Run::p50_1k));
            summary("1KB p99 ms", col(*v, &Run::p99_1k));
            summary("64KB p50 ms", col(*v, &Run::p50_64k));
            summary("64KB p99 ms", col(*v, &Run::p99_64k));
            summary("sent again", col(*v, &Run::retransmitted));
            summary("acks/data", col(*v, &Run::acksPerData));
            summary("cpu s", col(*v, &Run::cpu));
            summary("rss kB", col(*v, &Run::rssKb));
        }
        if (!ts.empty()) {
            printf(
                "  stream/TCP medians: goodput %.2fx (goal >= 1.0 at 1 %%), 1 KB p99 %.2fx (goal <= 0.7), "
                "64 KB p99 %.2fx, cpu %.2fx\n",
                median(col(rs, &Run::mbps)) / std::max(1e-9, median(col(ts, &Run::mbps))),
                median(col(rs, &Run::p99_1k)) / std::max(1e-9, median(col(ts, &Run::p99_1k))),
                median(col(rs, &Run::p99_64k)) / std::max(1e-9, median(col(ts, &Run::p99_64k))),
                median(col(rs, &Run::cpu)) / std::max(1e-9, median(col(ts, &Run::cpu))));
        }
        fflush(stdout);
    }
    printf("stream alone on the in-process session pair after 20 reconnects, loss 1 %%:\n");
    printRun(
        "stream", 0,
        runFake(seed, 10, std::min<size_t>(bytes, 16u << 20), std::min(rr1k, 200), std::min(rr64k, 20), 20));
    return 0;
}
