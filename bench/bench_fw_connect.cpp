// bench_fw_connect (root: it makes its own namespaces): the device connection service in the LAN topology
// (the P2P test servers and the device daemon in tunnel mode in the device's namespace; this process the
// client, its LAN discovery scripted through the fake SDK).
// 1. The main thread's longest stall (a 1 ms watchdog timer) during a LAN connect and during a tunnel
// connect.
// 2. A tunnel connect through the service (qvNasConnect to the connected handler, both ports mapped) beside
//    the bare library calls doing the same (initialise, connect, session check, two mappings) on a plain
//    thread, sides alternating run by run; every run printed, min/median/max and the ratio of the medians.
//    The main thread runs the same watchdog during the bare calls: its stalls there are the machine's, the
//    baseline for the service's.
//   bench_fw_connect [runs (7)]
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../tests/netns_util.h"
#include "../tests/p2p/lan_topology.h"
#include "bridge/FakeDeviceSdk.h"
#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "p2p/psl_session.h"
#include "p2p/tnl_api.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "service/QVNasDeviceConnectService.h"

namespace {

constexpr char kUid[] = "QVBENCHCON0000000001";

bool spin(const std::function<bool()> &cond, int ms) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

class UidCloud final : public CloudDeviceApi {
  public:
    void getDeviceInfoByBC(const QString &, Completion c) override { reply(c, {}); }
    void getDeviceP2PInfo(const QVNasDeviceInfoPtr &, const QString &, Completion c) override {
        reply(c, QVariantMap{{QStringLiteral("dev_id"), QString::fromLatin1(kUid)}});
    }
    void getDeviceAuthCode(const QVNasDeviceInfoPtr &, const QString &, Completion c) override {
        reply(c, {});
    }
    void bindDevice(const QVNasDeviceInfoPtr &, const QString &, Completion c) override { reply(c, {}); }

  private:
    static void reply(const Completion &c, const QVariant &data) {
        auto r = std::make_shared<QVNasResponseInfo>();
        r->responseData = data;
        plat::MainQueue::post([r, c] { c(r); });
    }
};

struct Run {
    double ms = -1;
    qint64 longestStallMs = 0;
};

// One connect through the service and its disconnect; the time to the connected handler and the longest
// gap between the watchdog's ticks meanwhile.
Run serviceConnect(const std::shared_ptr<CloudDeviceApi> &cloud, bool expectLan) {
    auto service =
        std::make_shared<QVNasDeviceConnectService>(nullptr, QVNasDeviceConnectService::Ports{{}, cloud});
    auto d = std::make_shared<QVNasDeviceInfo>();
    d->device_id = QStringLiteral("DEV-BENCH");
    d->online = true;
    service->setDeviceInfo(d);
    bool connected = false, failed = false;
    service->qvNasSetDeviceWithListener([&] { connected = true; },
                                        [&](int64_t, const QString &) { failed = true; }, [] {});
    if (expectLan) spin([&] { return !service->localDeviceList().isEmpty(); }, 5000);
    Run run;
    QElapsedTimer sinceTick, total;
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout,
                     [&] { run.longestStallMs = std::max(run.longestStallMs, sinceTick.restart()); });
    watchdog.start(1);
    sinceTick.start();
    total.start();
    service->qvNasConnect();
    spin([&] { return connected || failed; }, 60000);
    run.ms = total.nsecsElapsed() / 1e6;
    watchdog.stop();
    if (!connected || service->connectType() != (expectLan ? 1 : 2)) run.ms = -1;
    bool done = false;
    service->qvNasDisconectDevice([&](const QVNasResponseInfoPtr &) { done = true; });
    spin([&] { return done; }, 10000);
    return run;
}

// The same tunnel made with the library's calls alone on a plain thread, then taken down; the main thread
// meanwhile only runs the watchdog.
Run bareConnect() {
    Run run;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        uint8_t auth[128] = {};
        std::memcpy(auth, "bench", 5);
        QElapsedTimer t;
        t.start();
        PeerTunnelAgent_Initialize(4);
        int err = 0;
        const int sid = PeerTunnelAgent_Connect(kUid, auth, sizeof auth, &err);
        PSLSessionInfo info{};
        info.size = sizeof info;
        PSL_Session_Check_Ex(sid, &info);
        const int m1 = sid >= 0 ? PeerTunnelAgent_PortMapping(sid, 13111, 13111) : -1;
        const int m2 = sid >= 0 ? PeerTunnelAgent_PortMapping(sid, 8080, 80) : -1;
        run.ms = sid >= 0 && m1 >= 0 && m2 >= 0 ? t.nsecsElapsed() / 1e6 : -1;
        done = true;
        if (m1 >= 0) PeerTunnelAgent_StopPortMapping(m1);
        if (m2 >= 0) PeerTunnelAgent_StopPortMapping(m2);
        if (sid >= 0) PeerTunnelAgent_Abort(sid);
        PeerTunnelAgent_DeInitialize();
    });
    QElapsedTimer sinceTick;
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout,
                     [&] { run.longestStallMs = std::max(run.longestStallMs, sinceTick.restart()); });
    watchdog.start(1);
    sinceTick.start();
    spin([&] { return done.load(); }, 60000);
    watchdog.stop();
    worker.join();
    return run;
}

void summary(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return;
    std::printf("%-22s min %8.2f  median %8.2f  max %8.2f ms\n", what, v.front(), v[v.size() / 2], v.back());
}
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const std::string why = qvtest::enter_private_netns();
    if (!why.empty()) {
        std::fprintf(stderr, "bench_fw_connect: needs root for its namespaces: %s\n", why.c_str());
        return 1;
    }
    setenv("QV_NETNS", "1", 1);
    qvtest::LanTopology net;
    if (const std::string down = net.up(); !down.empty()) {
        std::fprintf(stderr, "bench_fw_connect: %s\n", down.c_str());
        return 1;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    const std::string build = std::string(self).substr(0, std::string(self).rfind("/bench/"));
    qvtest::Child servers, daemon;
    const bool ok =
        servers.start(net.ns_argv({build + "/testbed/p2p/p2p-servers"}), 10000) &&
        daemon.start(net.ns_argv({build + "/tests/p2p-device-daemon", "--uid", kUid, "--tunnel", "1"}),
                     30000);
    if (!ok) {
        std::fprintf(stderr, "bench_fw_connect: the P2P servers or the device daemon did not start\n");
        return 1;
    }

    QCoreApplication app(argc, argv);
    auto fake = std::make_shared<FakeDeviceSdk>();
    QVNasSDKManagerImplement::shareManagerImplement().setDeviceSdk(fake);
    bool started = false;
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasStartServiceWithGatewayIp(
        QStringLiteral("192.168.30.1"), [&](const QVNasResponseInfoPtr &) { started = true; });
    spin([&] { return started; }, 5000);
    auto cloud = std::make_shared<UidCloud>();

    std::printf("runs: %d (machine: %ld cores)\n", runs, sysconf(_SC_NPROCESSORS_ONLN));
    // LAN connects: discovery lists the device.
    qv_dev_detail lan{};
    std::strcpy(lan.dev_uuid, "DEV-BENCH");
    std::strcpy(lan.ip, "192.168.30.3");
    fake->editOutputs([&](auto &o) { o.devices = {lan}; });
    std::vector<double> lanStall;
    for (int i = 0; i < runs; ++i) {
        const Run r = serviceConnect(cloud, true);
        std::printf("lan     run %d: %8.2f ms to connected, longest main-thread stall %lld ms\n", i + 1, r.ms,
                    static_cast<long long>(r.longestStallMs));
        lanStall.push_back(static_cast<double>(r.longestStallMs));
    }
    summary("lan stall", lanStall);

    // Tunnel connects beside the bare calls, alternating which goes first.
    fake->editOutputs([](auto &o) { o.devices.clear(); });
    std::vector<double> svc, bare, tunnelStall, bareStall;
    for (int i = 0; i < runs; ++i) {
        for (int side = 0; side < 2; ++side) {
            if ((side + i) % 2 == 0) {
                const Run r = serviceConnect(cloud, false);
                std::printf("service run %d: %8.2f ms to connected, longest main-thread stall %lld ms\n",
                            i + 1, r.ms, static_cast<long long>(r.longestStallMs));
                if (r.ms >= 0) svc.push_back(r.ms);
                tunnelStall.push_back(static_cast<double>(r.longestStallMs));
            } else {
                const Run r = bareConnect();
                std::printf(
                    "bare    run %d: %8.2f ms to mapped, longest main-thread stall %lld ms (baseline)\n",
                    i + 1, r.ms, static_cast<long long>(r.longestStallMs));
                if (r.ms >= 0) bare.push_back(r.ms);
                bareStall.push_back(static_cast<double>(r.longestStallMs));
            }
        }
    }
    summary("tunnel stall", tunnelStall);
    summary("baseline stall", bareStall);
    summary("service connect", svc);
    summary("bare connect", bare);
    if (!svc.empty() && !bare.empty())
        std::printf("ratio service/bare (medians): %.3f\n", median(svc) / median(bare));

    bool stopped = false;
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasStopServiceWithCompletion(
        [&](const QVNasResponseInfoPtr &) { stopped = true; });
    spin([&] { return stopped; }, 5000);
    spin([] { return plat::WorkPool::global().waitForDone(0); }, 10000);
    daemon.reap();
    servers.reap();
    return 0;
}
