// bench_tunnel (root: it makes its own namespaces): nginx in the device's namespace of the LAN topology, the
// device daemon in tunnel mode beside it, this process the client. One file fetched by curl three ways,
// sides alternating run by run: straight from the device (the baseline: none of our code), through a
// direct-LAN mapping, and through a tunnelled mapping (the device's LAN-test port blocked by its firewall).
// Prints every run, min/median/max MB/s, CPU seconds per GiB of this process (the tunnel), of curl and of
// the daemon, this process's peak RSS during each transfer, the ratios to the baseline; then sequential
// 1 KB requests over one kept-alive connection per path, p50/p99.
//   bench_tunnel [runs (3)] [requests (1000)]   QV_BENCH_MB (1024): file size; QV_BENCH_CAP=1: both veths
//   capped at 1 Gbit/s by tbf (a home LAN).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/netns_util.h"
#include "../tests/p2p/lan_topology.h"
#include "p2p/tnl_api.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kUid = "QVBENCHTNL0000000001";
const uint8_t kAuth[128] = {1};

double cpuSelf() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}
double cpuChildren() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}
double cpuOf(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return 0;
    unsigned long ut = 0, st = 0;
    sscanf(s.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st);
    return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}
long rssKb() {
    std::ifstream f("/proc/self/status");
    for (std::string l; std::getline(f, l);)
        if (l.rfind("VmRSS:", 0) == 0) return atol(l.c_str() + 6);
    return 0;
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[(size_t)(p * (double)(v.size() - 1))];
}

struct Path {
    const char *name;
    std::string host;
    int port;
    std::vector<double> mbps, cpuTunnel, cpuCurl, cpuDaemon, rssMb, lat;
};

// One GET of the whole file by curl; false when curl failed.
bool fetch(Path &p, const std::string &file, double mb, pid_t daemon) {
    const std::string url = "http://" + p.host + ":" + std::to_string(p.port) + "/" + file;
    std::atomic<bool> done{false};
    long peak = rssKb();
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak, rssKb());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const double c0 = cpuSelf(), k0 = cpuChildren(), d0 = cpuOf(daemon);
    const auto t0 = Clock::now();
    const int rc = system(("curl -sf --max-time 600 -o /dev/null " + url).c_str());
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    done = true;
    sampler.join();
    if (rc != 0) return false;
    const double gib = mb / 1024.0;
    p.mbps.push_back(mb / secs);
    p.cpuTunnel.push_back((cpuSelf() - c0) / gib);
    p.cpuCurl.push_back((cpuChildren() - k0) / gib);
    p.cpuDaemon.push_back((cpuOf(daemon) - d0) / gib);
    p.rssMb.push_back((double)peak / 1024.0);
    printf("  %-12s %8.1f MB/s  cpu/GiB tunnel %5.2f s curl %5.2f s daemon %5.2f s  peak RSS %6.1f MB\n",
           p.name, p.mbps.back(), p.cpuTunnel.back(), p.cpuCurl.back(), p.cpuDaemon.back(), p.rssMb.back());
    return true;
}

// Sequential 1 KB GETs over one kept-alive connection: each request's microseconds.
bool requests(Path &p, int n) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)p.port);
    inet_pton(AF_INET, p.host.c_str(), &a.sin_addr);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return false;
    }
    const std::string req = "GET /1k.bin HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::string buf;
    char tmp[8192];
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) break;
        buf.clear();
        size_t need = std::string::npos;
        while (need == std::string::npos || buf.size() < need) {
            const ssize_t r = recv(fd, tmp, sizeof tmp, 0);
            if (r <= 0) {
                close(fd);
                return false;
            }
            buf.append(tmp, (size_t)r);
            const size_t end = buf.find("\r\n\r\n");
            if (need == std::string::npos && end != std::string::npos) {
                const size_t cl = buf.find("Content-Length: ");
                need = end + 4 + (cl == std::string::npos ? 0 : (size_t)atol(buf.c_str() + cl + 16));
            }
        }
        p.lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(fd);
    return (int)p.lat.size() >= n;
}

void line(const char *what, const std::vector<double> &v, const char *unit) {
    printf("    %-22s min/median/max %9.2f %9.2f %9.2f %s\n", what, pct(v, 0), pct(v, 0.5), pct(v, 1), unit);
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? atoi(argv[1]) : 3;
    const int nreq = argc > 2 ? atoi(argv[2]) : 1000;
    const double mb = getenv("QV_BENCH_MB") ? atof(getenv("QV_BENCH_MB")) : 1024;
    const bool cap = getenv("QV_BENCH_CAP") && atoi(getenv("QV_BENCH_CAP")) != 0;
    const std::string why = qvtest::enter_private_netns();
    if (!why.empty()) {
        fprintf(stderr, "bench_tunnel: needs root for its namespaces: %s\n", why.c_str());
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    setenv("QV_NETNS", "1", 1);
    qvtest::LanTopology net;
    const std::string down = net.up();
    if (!down.empty()) {
        fprintf(stderr, "bench_tunnel: %s\n", down.c_str());
        return 1;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    const std::string build = std::string(self).substr(0, std::string(self).rfind("/bench/"));
    char tmpl[] = "/dev/shm/qv-bench-tunnel-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    struct Cleanup {
        std::string d;
        ~Cleanup() { fs::remove_all(d); }
    } cleanup{dir};
    fs::create_directories(dir + "/www");
    {
        std::ofstream big(dir + "/www/big.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = (char)(i * 2654435761u >> 24);
        for (int i = 0; i < (int)mb; ++i) big.write(block.data(), (std::streamsize)block.size());
        std::ofstream(dir + "/www/1k.bin", std::ios::binary).write(block.data(), 1024);
    }
    std::ofstream(dir + "/nginx.conf")
        << "user root;\ndaemon off;\nworker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
        << "/error.log;\nevents { worker_connections 256; }\nhttp { access_log off; "
           "keepalive_requests 100000; client_body_temp_path "
        << dir << "/tmp; server { listen 127.0.0.1:80; listen 192.168.30.3:80; root " << dir << "/www; } }\n";
    qvtest::Child servers, daemon, nginx;
    if (!servers.start(net.ns_argv({build + "/testbed/p2p/p2p-servers"}), 10000) ||
        !nginx.start(
            net.ns_argv({"sh", "-c", "echo up; exec nginx -p " + dir + " -c " + dir + "/nginx.conf"}),
            5000) ||
        !daemon.start(net.ns_argv({build + "/tests/p2p-device-daemon", "--uid", kUid, "--tunnel", "1"}),
                      30000)) {
        fprintf(stderr, "bench_tunnel: the servers, nginx or the daemon did not start\n");
        return 1;
    }
    usleep(300000);
    if (cap) {
        const std::string c = "qvc" + std::to_string(getpid()), d = "qvd" + std::to_string(getpid());
        qvtest::run("tc qdisc add dev " + c + " root tbf rate 1gbit burst 256kb latency 20ms");
        qvtest::run(net.in_ns("tc qdisc add dev " + d + " root tbf rate 1gbit burst 256kb latency 20ms"));
    }
    if (PeerTunnelAgent_Initialize(4) != 0) return 1;
    const int direct = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, nullptr);
    // The second session stays tunnelled: the device's firewall drops the client's LAN test.
    qvtest::run(net.in_ns("nft add table ip qvbench"));
    qvtest::run(net.in_ns("nft 'add chain ip qvbench input { type filter hook input priority 0; }'"));
    qvtest::run(
        net.in_ns("nft add rule ip qvbench input ip saddr 192.168.30.2 ct state new tcp dport "
                  "32768-60999 drop"));
    const int tunnelled = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, nullptr);
    if (direct < 0 || tunnelled < 0) {
        fprintf(stderr, "bench_tunnel: connect failed: %d %d\n", direct, tunnelled);
        return 1;
    }
    const int m1 = PeerTunnelAgent_PortMapping(direct, 8080, 80);
    const int m2 = PeerTunnelAgent_PortMapping(tunnelled, 8081, 80);
    if (m1 < TNL_LAN_MAPPING_BASE || m2 < 0 || m2 >= 256) {
        fprintf(stderr, "bench_tunnel: mappings %d %d are not one direct-LAN and one tunnelled\n", m1, m2);
        return 1;
    }
    Path paths[3] = {{"device", "192.168.30.3", 80, {}, {}, {}, {}, {}, {}},
                     {"direct-LAN", "127.0.0.1", 8080, {}, {}, {}, {}, {}, {}},
                     {"tunnelled", "127.0.0.1", 8081, {}, {}, {}, {}, {}, {}}};
    printf("bench_tunnel: %.0f MB file, %d runs per path, paths rotating; veths %s\n", mb, runs,
           cap ? "capped at 1 Gbit/s (tbf)" : "uncapped");
    for (int r = 0; r < runs; ++r) {
        printf("run %d\n", r + 1);
        for (int k = 0; k < 3; ++k) {
            Path &p = paths[(r + k) % 3];
            if (!fetch(p, "big.bin", mb, daemon.pid)) fprintf(stderr, "  %s: curl failed\n", p.name);
        }
    }
    printf(
        "%d sequential 1 KB requests per path over one kept-alive connection, in blocks of 100, rotating\n",
        nreq);
    for (int done = 0; done < nreq; done += 100)
        for (int k = 0; k < 3; ++k) requests(paths[(done / 100 + k) % 3], std::min(100, nreq - done));
    printf("summary\n");
    for (Path &p : paths) {
        printf("  %s\n", p.name);
        line("MB/s", p.mbps, "");
        line("cpu s/GiB, tunnel", p.cpuTunnel, "s");
        line("cpu s/GiB, curl", p.cpuCurl, "s");
        line("cpu s/GiB, daemon", p.cpuDaemon, "s");
        line("peak RSS", p.rssMb, "MB");
        printf("    %-22s p50 %8.1f us  p99 %8.1f us\n", "1 KB request", pct(p.lat, 0.5), pct(p.lat, 0.99));
    }
    const double base = pct(paths[0].mbps, 0.5);
    printf(
        "ratios to the device (median MB/s): direct-LAN %.2fx, tunnelled %.2fx; 1 KB p50 added: direct-LAN "
        "%+.1f us, tunnelled %+.1f us\n",
        pct(paths[1].mbps, 0.5) / base, pct(paths[2].mbps, 0.5) / base,
        pct(paths[1].lat, 0.5) - pct(paths[0].lat, 0.5), pct(paths[2].lat, 0.5) - pct(paths[0].lat, 0.5));
    PeerTunnelAgent_StopPortMapping(m1);
    PeerTunnelAgent_StopPortMapping(m2);
    PeerTunnelAgent_Abort(direct);
    PeerTunnelAgent_Abort(tunnelled);
    PeerTunnelAgent_DeInitialize();
    return 0;
}
