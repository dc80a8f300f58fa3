// bench_p2p_session: the session layer on the LAN topology (root: it makes its own namespaces). The client
// (this process, 192.168.30.2) talks to the device daemon (192.168.30.3) across a veth pair. It measures
// the round trip (write, echo, read) of 64- and 1,388-byte datagrams through a LAN session against a bare
// UDP echo on the same veth that shares none of the library's code, alternating the two sides run by run,
// and the time of 50 connects by UID.
//   bench_p2p_session [round trips per run] [runs per side]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/netns_util.h"
#include "../tests/p2p/lan_topology.h"
#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kUid = "QVBENCHLAN0000000001";
constexpr uint16_t kEchoPort = 40000;

double us_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)(v.size() - 1) + 0.5))];
}

// The baseline's echo: a plain UDP socket in the device's namespace.
int udp_echo_server() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kEchoPort);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return 1;
    printf("ready\n");
    fflush(stdout);
    char buf[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
        if (n > 0) sendto(fd, buf, (size_t)n, 0, reinterpret_cast<sockaddr *>(&from), fl);
    }
}

std::vector<double> bare_run(size_t size, int n) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kEchoPort);
    inet_pton(AF_INET, "192.168.30.3", &to.sin_addr);
    connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    std::vector<char> out(size, 'b'), in(2048);
    std::vector<double> rt;
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        send(fd, out.data(), size, 0);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;  // lost: not counted
        recv(fd, in.data(), in.size(), 0);
        rt.push_back(us_since(t0));
    }
    close(fd);
    return rt;
}

std::vector<double> session_run(int sid, size_t size, int n) {
    std::vector<char> out(size, 's'), in(PSL_DATA_MAX);
    std::vector<double> rt;
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        PSL_Session_Write(sid, out.data(), (uint32_t)size, 0);
        if (PSL_Session_Read(sid, in.data(), (int)in.size(), 1000, 0) != (int)size) continue;
        rt.push_back(us_since(t0));
    }
    return rt;
}

void report(const char *what, const std::vector<double> &p50s, const std::vector<double> &p99s) {
    printf("%-26s p50 min/median/max %8.1f %8.1f %8.1f us   p99 min/median/max %8.1f %8.1f %8.1f us\n", what,
           pct(p50s, 0), pct(p50s, 0.5), pct(p50s, 1), pct(p99s, 0), pct(p99s, 0.5), pct(p99s, 1));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "--udp-echo") return udp_echo_server();
    const int perRun = argc > 1 ? atoi(argv[1]) : 500;
    const int runs = argc > 2 ? atoi(argv[2]) : 5;
    const std::string why = qvtest::enter_private_netns();
    if (!why.empty()) {
        fprintf(stderr, "bench_p2p_session: needs root for its namespaces: %s\n", why.c_str());
        return 1;
    }
    setenv("QV_NETNS", "1", 1);
    qvtest::LanTopology net;
    const std::string down = net.up();
    if (!down.empty()) {
        fprintf(stderr, "bench_p2p_session: %s\n", down.c_str());
        return 1;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    const std::string daemonPath =
        std::string(self).substr(0, std::string(self).rfind("/bench/")) + "/tests/p2p-device-daemon";
    qvtest::Child echo, daemon;
    if (!echo.start(net.ns_argv({self, "--udp-echo"}), 10000) ||
        !daemon.start(net.ns_argv({daemonPath, "--uid", kUid, "--one-channel", "1"}), 10000)) {
        fprintf(stderr, "bench_p2p_session: the echo or the device daemon (%s) did not start\n",
                daemonPath.c_str());
        return 1;
    }
    if (PSL_Initialize(0) != 0) return 1;
    const int sid = PSL_Connect_ByUID(kUid);
    if (sid < 0) {
        fprintf(stderr, "bench_p2p_session: connect failed: %d\n", sid);
        return 1;
    }
    printf("LAN topology over veth; %d round trips per run, %d runs per side, sides alternating\n", perRun,
           runs);
    for (size_t size : {(size_t)64, (size_t)PSL_DATA_MAX}) {
        session_run(sid, size, 50);  // warm-up
        bare_run(size, 50);
        std::vector<double> s50, s99, b50, b99;
        for (int r = 0; r < runs; ++r) {
            for (int side = 0; side < 2; ++side) {
                const bool sessionFirst = r % 2 == 0;
                const bool isSession = (side == 0) == sessionFirst;
                const auto rt = isSession ? session_run(sid, size, perRun) : bare_run(size, perRun);
                const double p50 = pct(rt, 0.5), p99 = pct(rt, 0.99);
                printf("  run %d %-7s %4zu B: %zu/%d answered, p50 %8.1f us, p99 %8.1f us\n", r,
                       isSession ? "session" : "bare", size, rt.size(), perRun, p50, p99);
                (isSession ? s50 : b50).push_back(p50);
                (isSession ? s99 : b99).push_back(p99);
            }
        }
        char what[64];
        snprintf(what, sizeof what, "session %zu B", size);
        report(what, s50, s99);
        snprintf(what, sizeof what, "bare UDP %zu B", size);
        report(what, b50, b99);
        printf("  ratio of medians of p50: %.2f, of p99: %.2f\n", pct(s50, 0.5) / pct(b50, 0.5),
               pct(s99, 0.5) / pct(b99, 0.5));
    }
    PSL_Session_Close(sid);
    std::vector<double> connects;
    int failed = 0;
    for (int i = 0; i < 50; ++i) {
        const auto t0 = Clock::now();
        const int s = PSL_Connect_ByUID(kUid);
        const double ms = us_since(t0) / 1000.0;
        if (s < 0) {
            ++failed;
            continue;
        }
        connects.push_back(ms);
        PSL_Session_Close(s);
    }
    printf("50 connects by UID: %d failed; ms min/p50/p99/max %.1f %.1f %.1f %.1f\n", failed,
           pct(connects, 0), pct(connects, 0.5), pct(connects, 0.99), pct(connects, 1));
    PSL_DeInitialize();
    return 0;
}
