// The whole road from the cloud account to a folder on the device, in the LAN topology (p2p/lan_topology.h):
// this process is the client on 192.168.30.2 with the cloud stub on its own loopback; the device namespace
// holds the emulator on every address (with LAN discovery when the road is the LAN), the P2P test servers
// and the device daemon in tunnel mode. Sign in, the bound devices, the connection, the device's auth code,
// the device login (13, then 11), a listing and the device log, then the disconnect: logout answered, the
// tunnel's ports free and none of its threads left. Nothing secret reaches any log. Runs as the ctests
// framework_road_e2e_* (root; else skips saying why).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <filesystem>
#include <fstream>

#include "base/qv_log.h"
#include "broker/QVNotifications.h"
#include "cloud/cloud_test_util.h"
#include "model/QVClientSDKTools.h"
#include "model/QVNasFileListInfo.h"
#include "model/QVNasPathInfo.h"
#include "p2p/lan_topology.h"
#include "platform/Log.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "runtime/ppc_service.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;
using namespace fwe2e;

namespace {

constexpr char kUid[] = "QVTESTROAD0000000001";
constexpr char kDeviceId[] = "DEV-ROAD-1";
constexpr char kDeviceName[] = "Home NAS";
constexpr char kBindCode[] = "BIND-ROAD-1";
constexpr char kAuthCode[] = "AUTH-ROAD-7f3c";
constexpr char kPassword[] = "lantern-42";
constexpr char kDeviceLan[] = "192.168.30.3";
constexpr char kLog[] = "boot ok\nroad log line\n";

enum class Road { Lan, Tunnel, TunnelNoLanTest };

std::string roadName(const testing::TestParamInfo<Road> &p) {
    switch (p.param) {
        case Road::Lan:
            return "Lan";
        case Road::Tunnel:
            return "Tunnel";
        case Road::TunnelNoLanTest:
            return "TunnelNoLanTest";
    }
    return "?";
}

// True when a listening TCP socket could take the port on every address (the port is free).
bool portFree(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// Threads of this process named like the P2P library's.
std::vector<std::string> libraryThreads() {
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator("/proc/self/task")) {
        std::ifstream f(e.path() / "comm");
        std::string name;
        std::getline(f, name);
        if (name.rfind("tnl_", 0) == 0 || name.rfind("psl_", 0) == 0) out.push_back(name);
    }
    return out;
}

// Stops a child with SIGTERM and returns what it printed until it exited.
std::string stopAndRead(qvtest::Child &c) {
    std::string text;
    if (c.pid <= 0) return text;
    c.kill_now(SIGTERM);
    for (int waited = 0; waited < 10000;) {
        pollfd pf{c.out, POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) {
            waited += 100;
            continue;
        }
        char buf[4096];
        const ssize_t n = read(c.out, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    c.reap();
    return text;
}

class SignInRoad : public testing::TestWithParam<Road> {
  protected:
    void SetUp() override {
        const std::string why = net.up();
        if (!why.empty()) GTEST_SKIP() << why;
        const std::string pid = std::to_string(getpid());
        // Broadcast addresses on both ends: discovery searches on the client's.
        for (const auto &[addr, dev] :
             {std::pair{"192.168.30.2/24", "qvc"}, std::pair{"192.168.30.3/24", "qvd"}}) {
            const std::string d = std::string(dev) + pid, a = addr;
            const auto here = [&](const std::string &cmd) { return dev[2] == 'c' ? cmd : net.in_ns(cmd); };
            ASSERT_EQ(0, qvtest::run(here("ip addr del " + a + " dev " + d)));
            ASSERT_EQ(0, qvtest::run(here("ip addr add " + a + " brd + dev " + d)));
        }

        char tmpl[] = "/tmp/qv-road-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        fs::create_directories(dir + "/dev/docs");
        for (const char *name : {"notes.txt", "photo 1.jpg", "报告.pdf"})
            std::ofstream(dir + "/dev/docs/" + name) << name;
        std::ofstream(dir + "/device.log") << kLog;
        writeSeed(dir + "/seed.json");

        ASSERT_TRUE(servers.start(net.ns_argv({QV_P2P_SERVERS}), 10000)) << "p2p-servers did not start";
        ASSERT_TRUE(daemon.start(net.ns_argv({QV_P2P_DAEMON, "--uid", kUid, "--tunnel", "1"}), 30000))
            << "daemon did not start: " << daemon.line;
        std::vector<std::string> emu = {QV_DEVICE_EMU,
                                        "--root",
                                        dir + "/dev",
                                        "--addr",
                                        "0.0.0.0",
                                        "--device-id",
                                        kDeviceId,
                                        "--bind-code",
                                        kBindCode,
                                        "--auth-code",
                                        kAuthCode,
                                        "--log",
                                        "0=" + dir + "/device.log"};
        if (GetParam() == Road::Lan) {
            for (const char *a : {"--discovery", "192.168.30.255", "--lan-ip", kDeviceLan, "--name",
                                  kDeviceName, "--p2p-uid", kUid})
                emu.push_back(a);
        }
        ASSERT_TRUE(emulator.start(net.ns_argv(emu), 10000)) << "emulator did not start: " << emulator.line;
        if (GetParam() == Road::TunnelNoLanTest) {
            // New TCP connections from the client to the device's ephemeral ports: the LAN-test listener.
            if (qvtest::run("command -v nft") != 0) GTEST_SKIP() << "nft is not installed (nftables)";
            ASSERT_EQ(0, qvtest::run(net.in_ns("nft add table ip qvroad")));
            ASSERT_EQ(0, qvtest::run(net.in_ns(
                             "nft 'add chain ip qvroad input { type filter hook input priority 0; }'")));
            ASSERT_EQ(0, qvtest::run(net.in_ns("nft add rule ip qvroad input ip saddr 192.168.30.2 ct state "
                                               "new tcp dport 32768-60999 drop")));
        }
        stub = std::make_unique<CloudStub>(
            "good", QStringList{QStringLiteral("--seed"), QString::fromStdString(dir + "/seed.json")});
        ASSERT_GT(stub->port(), 0) << "the cloud stub did not start";
    }
    void TearDown() override {
        stub.reset();
        daemon.reap();
        emulator.reap();
        servers.reap();
        if (!dir.empty()) fs::remove_all(dir);
    }

    static void writeSeed(const std::string &path) {
        const QJsonObject device{{"deviceId", kDeviceId},
                                 {"deviceType", "tessera"},
                                 {"deviceName", kDeviceName},
                                 {"bindCode", kBindCode},
                                 {"authCode", kAuthCode},
                                 {"p2pUid", kUid},
                                 {"online", 1},
                                 {"bound", true}};
        const QJsonObject seed{{"account", QJsonObject{{"area", "86"},
                                                       {"phone", "13800000000"},
                                                       {"password", kPassword},
                                                       {"userId", "user-1"},
                                                       {"nickName", "Tester"},
                                                       {"userImage", ""}}},
                               {"devices", QJsonArray{device}},
                               {"share", QJsonObject{{"curUseFlow", 1}, {"maxUseFlow", 2}}}};
        std::ofstream(path) << QJsonDocument(seed).toJson().toStdString();
    }
    // Requests the stub received for one path.
    int stubRequests(const char *path) const {
        int n = 0;
        for (const QJsonObject &r : stub->events("request"))
            if (r.value(QStringLiteral("path")).toString() == QLatin1String(path)) ++n;
        return n;
    }

    qvtest::LanTopology net;
    qvtest::Child servers, daemon, emulator;
    std::string dir;
    std::unique_ptr<CloudStub> stub;
};

QVNasResponseInfoPtr callOnMain(const std::function<void(QVNasCompletionBlock)> &op, int waitMs = 30000) {
    QVNasResponseInfoPtr got;
    op([&](const QVNasResponseInfoPtr &r) { got = r ? r : std::make_shared<QVNasResponseInfo>(); });
    spinUntil([&] { return got != nullptr; }, waitMs);
    return got;
}

TEST_P(SignInRoad, SignInConnectLoginListDisconnect) {
    const Road road = GetParam();
    plat::LogCapture log;
    SdkLogCapture sdkLog;
    ppc_set_broker_address("127.0.0.1:1");  // refused: the road runs without messaging
    plat::SecretStore::setShared(std::make_shared<plat::FileSecretStore>());
    bridge().setDeviceSdk(nullptr);  // the real SDK

    std::mutex mu;
    QStringList announced;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        QLatin1String(kNotif_QVAutoPushDeviceAddNotification), nullptr, [&](const plat::Notification &n) {
            std::lock_guard l(mu);
            announced << n.object.value<QVNasDeviceInfoPtr>()->device_id;
        });
    auto &monitor = plat::NetworkMonitor::shared();
    const auto monitorBefore = monitor.status();
    TestFramework fw;
    // A LAN without a default route counts as no network to a reachability backend; the device is on it.
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Local);
    ASSERT_EQ(callOnMain([&](auto done) { fw.qvSdkStartService(done); })->responseCode, 0);
    EXPECT_EQ(fw.nowGatewayIp(), QStringLiteral("192.168.30.255"));

    // Sign in: phone and password to a refresh token, that to an access token.
    QVInterfaceManage cloud(configFor(stub->base()));
    QVNasAccountService account(&cloud);
    auto user = std::make_shared<QVNasServiceUserInfo>();
    user->areaCode = QStringLiteral("+86");
    user->userName = QStringLiteral("13800000000");
    user->password = QLatin1String(kPassword);
    const auto refresh = callOnMain([&](auto d) { account.qvNasGetRefreshTokenByServiceUserInfo(user, d); });
    ASSERT_EQ(refresh->responseCode, 0);
    const QString refreshToken =
        refresh->responseData.toMap().value(QStringLiteral("refreshToken")).toString();
    const auto access =
        callOnMain([&](auto d) { account.qvNasGetAccessTokenByRefreshToken(refreshToken, d); });
    ASSERT_EQ(access->responseCode, 0);
    const QString ak = access->responseData.toMap().value(QStringLiteral("accessToken")).toString();
    ASSERT_FALSE(ak.isEmpty());
    auto users = std::make_shared<QVNasUserService>(ak, &cloud);

    // The bound devices: ours, online.
    const auto bound = callOnMain([&](auto d) { users->qvNasGetBindDeviceInfoList(d); });
    ASSERT_EQ(bound->responseCode, 0);
    const QVariantList list = bound->responseData.toList();
    ASSERT_EQ(list.size(), 1);
    auto device = std::make_shared<QVNasDeviceInfo>();
    const QVariantMap rec = list[0].toMap();
    device->device_id = rec.value(QStringLiteral("deviceId")).toString();
    device->dev_name = rec.value(QStringLiteral("deviceName")).toString();
    device->device_type = rec.value(QStringLiteral("deviceType")).toString();
    device->online = rec.value(QStringLiteral("online")).toBool();
    ASSERT_EQ(device->device_id, QLatin1String(kDeviceId));
    ASSERT_TRUE(device->online);

    // Discovery announces the device on the LAN road; on the tunnel roads it stays silent.
    if (road == Road::Lan) {
        ASSERT_TRUE(spinUntil(
            [&] {
                std::lock_guard l(mu);
                return announced.contains(QLatin1String(kDeviceId));
            },
            20000))
            << "discovery never announced the device";
    }

    // Connect (on the LAN road once the service's own scan has listed the device, as after a device choice).
    auto service = fw.createDeviceConnectServiceByUserService(users, device);
    if (road == Road::Lan) {
        ASSERT_TRUE(spinUntil([&] { return !service->localDeviceList().isEmpty(); }, 10000));
    }
    int connected = 0;
    QStringList errors;
    service->qvNasSetDeviceWithListener(
        [&] { ++connected; },
        [&](int64_t type, const QString &m) { errors << QString::number(type) + QLatin1Char(' ') + m; },
        [] {});
    service->qvNasConnect();
    ASSERT_TRUE(spinUntil([&] { return connected + errors.size() > 0; }, 60000)) << "no connect answer";
    ASSERT_EQ(connected, 1) << errors.join(QStringLiteral("; ")).toStdString();
    if (road == Road::Lan) {
        EXPECT_EQ(service->connectType(), 1);
        EXPECT_EQ(service->deviceInfo()->ip, QLatin1String(kDeviceLan));
        EXPECT_EQ(stubRequests("/api/v1/getDeviceP2PInfo"), 0);
    } else {
        EXPECT_EQ(service->connectType(), 2);
        EXPECT_EQ(service->deviceInfo()->ip, QStringLiteral("127.0.0.1"));
        EXPECT_EQ(QVNasDeviceConnectService::qvP2PGetMappedPort(), 13111);
        EXPECT_EQ(QVNasDeviceConnectService::remoteConnectMode(), 2);  // a private peer: LAN mode
        EXPECT_EQ(stubRequests("/api/v1/getDeviceP2PInfo"), 1);
        EXPECT_FALSE(portFree(13111));
        EXPECT_FALSE(portFree(8080));
    }

    // The device's auth code from the cloud, then the device login (13, then 11).
    const auto auth = callOnMain([&](auto d) { service->qvNasGetDeviceAuthCode(d); });
    ASSERT_EQ(auth->responseCode, 0);
    const QString authCode = auth->responseData.toMap().value(QStringLiteral("auth_code")).toString();
    ASSERT_EQ(authCode, QLatin1String(kAuthCode));
    const auto deviceUser = service->getDeviceUserService();
    int64_t sessionToken = 0;
    QList<int64_t> loginErrors;
    deviceUser->qvNasSetLoginDeviceListener([&](int64_t t) { sessionToken = t; },
                                            [&](int64_t type) { loginErrors << type; });
    deviceUser->qvNasLoginDeviceWithIp(service->deviceInfo()->ip, authCode);
    ASSERT_TRUE(spinUntil([&] { return sessionToken != 0 || !loginErrors.isEmpty(); }, 30000));
    ASSERT_NE(sessionToken, 0) << "login failed, type " << (loginErrors.isEmpty() ? 0 : loginErrors[0]);
    EXPECT_TRUE(deviceUser->isLoginDevice());

    // A folder, listed as the emulator has it.
    const auto listing = callOnMain([&](auto d) {
        broker().qvNasGetFileListWithStartIndex(
            0, 100, QVNasPathInfo::sharePath(QStringLiteral("/docs"), 0), 0,
            [d](const QVNasResponseInfoPtr &r) { plat::MainQueue::post([d, r] { d(r); }); });
    });
    ASSERT_EQ(listing->responseCode, 0);
    QSet<QString> names;
    for (const auto &f : listing->responseData.value<QVNasFileListInfoPtr>()->fileList) names.insert(f->name);
    EXPECT_EQ(names, (QSet<QString>{QStringLiteral("notes.txt"), QStringLiteral("photo 1.jpg"),
                                    QStringLiteral("报告.pdf")}));

    // The device's log through the device user service (320), byte for byte as the device keeps it.
    int64_t lastDone = -1, lastTotal = -1;
    const auto logAnswer = callOnMain([&](auto d) {
        deviceUser->qvNasDownloadDeviceLogWithLogType(
            0, QLatin1String(kDeviceName),
            [&](const QVNasRequestInfoPtr &, int32_t, int64_t done, int64_t total) {
                plat::MainQueue::post([&, done, total] {
                    lastDone = done;
                    lastTotal = total;
                });
            },
            d);
    });
    ASSERT_EQ(logAnswer->responseCode, 0);
    EXPECT_EQ(logAnswer->clientCommand, 320);
    QFile saved(QVNasPrivateInterfaceProtocol::logFilePath(QVClientSDKTools::getCachesPath(),
                                                           QLatin1String(kDeviceName),
                                                           QCoreApplication::applicationVersion()));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly)) << saved.fileName().toStdString();
    EXPECT_EQ(saved.readAll(), QByteArray(kLog));
    saved.close();
    saved.remove();
    spinUntil([&] { return lastDone == static_cast<int64_t>(sizeof kLog - 1); }, 2000);
    EXPECT_EQ(lastDone, static_cast<int64_t>(sizeof kLog - 1));
    EXPECT_EQ(lastTotal, static_cast<int64_t>(sizeof kLog - 1));

    // Disconnect: the logout goes out, the tunnel's ports are free and its threads gone.
    const auto bye = callOnMain([&](auto d) { service->qvNasDisconectDevice(d); });
    EXPECT_EQ(bye->clientCommand, 14);
    EXPECT_EQ(bye->responseCode, 0);
    EXPECT_FALSE(deviceUser->isLoginDevice());
    EXPECT_EQ(service->connectType(), 0);
    EXPECT_TRUE(portFree(13111));
    EXPECT_TRUE(portFree(8080));
    EXPECT_TRUE(spinUntil([] { return libraryThreads().empty(); }, 3000))
        << "left: " << testing::PrintToString(libraryThreads());

    ASSERT_EQ(callOnMain([&](auto done) { fw.qvSdkStopService(done); }, 15000)->responseCode, 0);
    token.reset();
    monitor.setStatusForTests(monitorBefore);

    // The device saw one login (2) and one registration (12), and nothing it objects to.
    const std::string summary = stopAndRead(emulator);
    const auto count = [&](int cmd) {
        const std::string key = " " + std::to_string(cmd) + "=";
        const size_t at = summary.find(key);
        return at == std::string::npos ? 0 : std::atoi(summary.c_str() + at + key.size());
    };
    EXPECT_EQ(count(2), 1) << summary;
    EXPECT_EQ(count(12), 1) << summary;
    EXPECT_EQ(summary.find("violation:"), std::string::npos) << summary;

    // Nothing secret in any log line: password, tokens, auth code, signatures, tunnel password.
    QStringList secrets{QLatin1String(kPassword),
                        refreshToken,
                        ak,
                        QLatin1String(kAuthCode),
                        QStringLiteral("K7M Lanterns"),
                        QString::number(sessionToken)};
    for (const QJsonObject &r : stub->events("request")) {
        const QJsonObject q = r.value(QStringLiteral("query")).toObject();
        for (const char *k : {"ssig", "ak"})
            if (!q.value(QLatin1String(k)).toString().isEmpty())
                secrets << q.value(QLatin1String(k)).toString();
    }
    const QStringList all = log.lines() + sdkLog.qlines();
    EXPECT_GT(all.size(), 10);
    for (const QString &line : all)
        for (const QString &s : secrets)
            EXPECT_FALSE(line.contains(s)) << s.toStdString() << " in " << line.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Roads, SignInRoad, testing::Values(Road::Lan, Road::Tunnel, Road::TunnelNoLanTest),
                         roadName);

}  // namespace
