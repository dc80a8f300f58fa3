// The disk status read (305) through the device manager service beside the same ppc_ call, in a network
// namespace of the process's own (root; the service's discovery binds fixed ports), against the device
// emulator in process listing two disks. One run: the service side sends on main and waits for its
// completion on main; the direct side calls ppc_AdminGetDiskStatusInfo from one worker thread. The sides take
// turns in blocks of 100 (order flipping each block); every block is printed, then min/median/max of the
// per-block ratios and the p50/p99 of all requests. Targets: service p50 at most 1.3x, p99 at most 1.6x.
//
// Usage: bench_fw_admin [requests a side (1000)]
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "device.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_push.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "runtime/ppc_forward.h"
#include "runtime/ppc_service.h"
#include "service/QVNasDeviceManagerService.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kAuth[] = "auth-bench-admin";
constexpr char kDevice[] = "127.0.0.2";

double usSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void printSpread(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%s: min %.2f median %.2f max %.2f\n", what, v.front(), v[v.size() / 2], v.back());
}

void spinUntil(const std::function<bool()> &cond, int limitMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > limitMs) {
            std::fprintf(stderr, "bench_fw_admin: a wait ran out\n");
            std::exit(1);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

bool privateNetns() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

// Sends one request from main and spins until its completion ran on main; its code.
int64_t roundTrip(const std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)> &send) {
    std::atomic<bool> done{false};
    int64_t code = -999;
    send([&](const QVNasResponseInfoPtr &r) {
        code = r ? r->responseCode : -998;
        done = true;
    });
    spinUntil([&] { return done.load(); });
    return code;
}

}  // namespace

int main(int argc, char **argv) {
    const int perSide = argc > 1 ? std::max(100, std::atoi(argv[1])) : 1000;
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    if (!privateNetns()) {
        std::printf("bench_fw_admin: needs a private network namespace (root); skipped\n");
        return 0;
    }
    qv::set_log_enabled(false);
    plat::Log::setEnabled(false);
    ppc_set_broker_address("127.0.0.1:1");  // refused at once: the service runs without messaging
    char tmpl[] = "/tmp/qvbench-fwa-XXXXXX";
    const std::string root = mkdtemp(tmpl);

    qvemu::Device dev(root, kDevice);
    auto users = qvemu::install_device_user_handlers(dev);
    users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    qvemu::install_device_handlers(dev);
    auto admin = qvemu::install_admin_handlers(dev);
    {
        std::lock_guard l(admin->mu);
        admin->disks = {{"WDC WD40", "WD-1", 0, 36, 1, 0, 4000787030016LL},
                        {"ST4000", "ST-2", 0, 38, 2, 0, 4000787030016LL}};
    }
    qvemu::install_push_handler(dev)->set_keepalive_ms(0);
    if (!dev.start()) {
        std::fprintf(stderr, "device: %s\n", dev.last_error().c_str());
        return 1;
    }
    auto &bridge = QVNasSDKManagerImplement::shareManagerImplement();
    bridge.setDeviceSdk(nullptr);  // the real SDK
    if (roundTrip([](auto d) { return broker().qvNasStartServiceWithGatewayIp("127.0.0.1", d); }) != 0)
        return 1;
    if (roundTrip([](auto d) { return broker().qvNasLoginDeviceWithAuthCode(kAuth, kDevice, d); }) != 0)
        return 1;
    const int64_t token = bridge.srcToken();
    QVNasDeviceManagerService service;

    constexpr int kBlock = 100;
    std::printf("== 305 disk status: %d requests a side, blocks of %d, order flipping (microseconds)\n",
                perSide, kBlock);
    std::vector<double> viaService, direct, r50, r99;
    for (int block = 0; block * kBlock < perSide; ++block) {
        std::vector<double> s, d;
        for (int turn = 0; turn < 2; ++turn) {
            if ((block + turn) % 2 == 0) {
                for (int i = 0; i < kBlock; ++i) {
                    const auto t0 = Clock::now();
                    if (roundTrip([&](auto c) { return service.qvNasGetDiskStatusInfos(c); }) != 0)
                        std::exit(2);
                    s.push_back(usSince(t0));
                }
            } else {
                std::thread worker([&] {
                    for (int i = 0; i < kBlock; ++i) {
                        disk_status_list list{};
                        const auto t0 = Clock::now();
                        if (ppc_AdminGetDiskStatusInfo(&list, token) != 0 || list.count != 2) std::exit(3);
                        d.push_back(usSince(t0));
                    }
                });
                worker.join();
            }
        }
        std::printf(
            "run %2d: service p50 %7.1f p99 %7.1f | direct p50 %7.1f p99 %7.1f | ratio p50 %.2f p99 %.2f\n",
            block + 1, pct(s, 0.5), pct(s, 0.99), pct(d, 0.5), pct(d, 0.99), pct(s, 0.5) / pct(d, 0.5),
            pct(s, 0.99) / pct(d, 0.99));
        r50.push_back(pct(s, 0.5) / pct(d, 0.5));
        r99.push_back(pct(s, 0.99) / pct(d, 0.99));
        viaService.insert(viaService.end(), s.begin(), s.end());
        direct.insert(direct.end(), d.begin(), d.end());
    }
    printSpread("service/direct p50 over runs", r50);
    printSpread("service/direct p99 over runs", r99);
    std::printf(
        "all requests: service p50 %.1f p99 %.1f | direct p50 %.1f p99 %.1f | ratio p50 %.2f (target "
        "1.3) p99 %.2f (target 1.6)\n",
        pct(viaService, 0.5), pct(viaService, 0.99), pct(direct, 0.5), pct(direct, 0.99),
        pct(viaService, 0.5) / pct(direct, 0.5), pct(viaService, 0.99) / pct(direct, 0.99));

    roundTrip([](auto d) { return broker().qvNasLogoutDeviceWithCompletion(d); });
    roundTrip([](auto d) { return broker().qvNasStopServiceWithCompletion(d); });
    dev.stop();
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(10000);
    fs::remove_all(root);
    return 0;
}
