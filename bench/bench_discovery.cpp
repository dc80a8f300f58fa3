// LAN discovery in a private network namespace (needs root): time from the start to the first device-added
// callback beside a bare UDP client doing the same search and detail exchange, runs alternating; then 50
// devices: the time until all are added. Prints every run with min/median/max.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "discovery.h"
#include "runtime/dev_manage.h"
#include "runtime/qvad_client.h"

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<int> g_added{0};
void on_added(const qv_dev_detail *) {
    ++g_added;
}

bool private_netns() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

double sdk_run(int devices) {
    qv_init_dev_list();
    g_added = 0;
    ppc_router_task *ctx = ppc_router_task_new();
    std::snprintf(ctx->gateway, sizeof ctx->gateway, "127.0.0.1");
    ctx->dev_add_cb = on_added;
    auto t0 = Clock::now();
    if (qvadc_service_start(ctx) != 0) return -1;
    while (g_added.load() < devices && Clock::now() - t0 < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    qvadc_service_stop(ctx);
    qv_free_dev_list();
    ppc_router_task_free(ctx);
    return g_added.load() == devices ? ms : -1;
}

std::string frame_req(int cmd) {
    std::string j = "{ \"data\": [ { \"type\": 3 } ], \"header\": { \"cmd\": " + std::to_string(cmd) +
                    ", \"seq\": 0, \"error\": 0 } }";
    return emu::DiscoveryLan::frame(j);
}

// The same exchange with bare sockets: bind 27213, search the gateway, ask the first answerer for details.
double bare_run() {
    auto t0 = Clock::now();
    int l = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(27213);
    bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(27212);
    inet_pton(AF_INET, "127.0.0.1", &g.sin_addr);
    std::string q = frame_req(1024);
    sendto(s, q.data(), q.size(), 0, reinterpret_cast<sockaddr *>(&g), sizeof g);
    char buf[8200];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    pollfd p{l, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return -1;
    recvfrom(l, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
    int d = socket(AF_INET, SOCK_DGRAM, 0);
    from.sin_port = htons(27212);
    q = frame_req(1025);
    sendto(d, q.data(), q.size(), 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
    if (poll(&p, 1, 2000) <= 0) return -1;
    recv(l, buf, sizeof buf, 0);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    close(d);
    close(s);
    close(l);
    return ms;
}

void print(const char *name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-22s min %8.3f  median %8.3f  max %8.3f ms\n", name, v.front(), v[v.size() / 2], v.back());
}

}  // namespace

int main(int argc, char **argv) {
    if (!private_netns()) {
        std::printf("bench_discovery: needs a private network namespace (root); skipped\n");
        return 0;
    }
    qv::set_log_enabled(false);
    int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    std::vector<double> sdk, bare;
    {
        emu::DiscoveryLan lan;
        emu::DiscoveryDevice dev;
        dev.ip = "127.0.0.2";
        dev.device_id = "uuid-2";
        lan.add(dev);
        if (!lan.start()) return 1;
        for (int i = 0; i < runs; ++i) {
            double a = sdk_run(1), b = bare_run();
            std::printf("run %2d  first device: sdk %8.3f ms  bare %8.3f ms\n", i, a, b);
            sdk.push_back(a);
            bare.push_back(b);
        }
    }
    print("first device, sdk", sdk);
    print("first device, bare", bare);
    std::sort(sdk.begin(), sdk.end());
    std::sort(bare.begin(), bare.end());
    std::printf("median ratio sdk/bare: %.2f\n", sdk[sdk.size() / 2] / bare[bare.size() / 2]);

    emu::DiscoveryLan lan;
    for (int n = 2; n < 52; ++n) {
        emu::DiscoveryDevice dev;
        dev.ip = "127.0.0." + std::to_string(n);
        dev.device_id = "uuid-" + std::to_string(n);
        lan.add(dev);
    }
    if (!lan.start()) return 1;
    std::vector<double> all;
    for (int i = 0; i < std::max(1, runs / 2); ++i) {
        double a = sdk_run(50);
        std::printf("run %2d  50 devices all added: %8.3f ms\n", i, a);
        all.push_back(a);
    }
    print("50 devices, sdk", all);
    return 0;
}
