// The framework's session road against the SDK underneath it, in a network namespace of the process's own
// (root; discovery binds fixed ports), against the device emulator in process. Every run is printed, then
// min/median/max:
//  a. Round trips of the firmware version (18), device status (20), nick name (151) and user space (117):
//     through the broker (sent on main, answered on main) beside the same ppc_ call on a plain thread and a
//     bare client (its own socket, framing and cipher from the emulator's wire helpers, nothing of the SDK)
//     sending the same envelope on one kept-alive socket; the three sides take turns in blocks of 100.
//     Target: broker p50 at most 1.3x and p99 at most 1.5x the direct call.
//  b. Service start to the first device added: through the broker (start sent on main, the device-added
//     notification delivered on main) beside ppc_start_Service on a plain thread to its callback, with 1
//     and with 50 devices on the LAN, sides alternating. Target: at most 1.1x.
//  c. The longest main-thread block (a 1 ms watchdog timer on main) over 50 cycles of start, register,
//     login, status, logout, stop through the entry object, with the file secret store and, when run under
//     `dbus-run-session -- scripts/keyring-session`, the keyring store. Target: at most 16 ms.
//
// Usage: bench_fw_session [requests per command (1000)] [start runs (10)] [cycles (50)]
#include <arpa/inet.h>
#include <json-c/json.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "broker/QVNotifications.h"
#include "device.h"
#include "discovery.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_push.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "platform/WorkPool.h"
#include "runtime/ppc_forward.h"
#include "runtime/ppc_service.h"
#include "service/QVNasClientMacFramework.h"
#include "wire.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kAuth[] = "auth-bench-session";
constexpr char kDevice[] = "127.0.0.2";

double usSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void spinUntil(const std::function<bool()> &cond, int limitMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > limitMs) {
            std::fprintf(stderr, "bench_fw_session: a wait ran out\n");
            std::exit(1);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void printSpread(const char *what, std::vector<double> v, const char *unit) {
    std::sort(v.begin(), v.end());
    std::printf("%s: min %.2f median %.2f max %.2f %s\n", what, v.front(), v[v.size() / 2], v.back(), unit);
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

class BenchFramework final : public QVNasClientMacFramework {
  public:
    BenchFramework() { initService(); }
};

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

// ---- the bare client ----

// Its own socket, framing and cipher; one kept connection; the reply deciphered and its JSON header read.
class BareClient {
  public:
    BareClient(const char *addr, int cmd, int64_t token) : addr_(addr) {
        const std::string json = "{ \"header\": { \"cmd\": " + std::to_string(cmd) +
                                 ", \"token\": " + std::to_string(token) + ", \"seq\": 0, \"error\": 0 } }";
        const std::string body = qvemu::encipher(json, key_);
        const std::string block =
            "POST / HTTP/1.1\r\nContent-Type: application/json\r\nTimeout: 20000\r\nEncrypt: aes\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\nHost: " + addr_ + "\r\nUser-Agent: qvhttp/1.0\r\n\r\n";
        request_ = qvemu::frame(block) + body;
    }
    ~BareClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool exchange() {
        if (fd_ < 0 && !connect()) return false;
        if (!qvemu::send_all(fd_, request_)) return false;
        uint32_t len = 0;
        if (qvemu::recv_exact(fd_, &len, sizeof len) != sizeof len || len == 0 || len > 65536) return false;
        std::string head(len, '\0');
        if (qvemu::recv_exact(fd_, head.data(), len) != len) return false;
        const char *cl = strcasestr(head.c_str(), "Content-Length:");
        if (cl == nullptr) return false;
        std::string body(static_cast<size_t>(std::strtol(cl + 15, nullptr, 10)), '\0');
        if (qvemu::recv_exact(fd_, body.data(), body.size()) != body.size()) return false;
        if (!qvemu::decipher(body, key_)) return false;
        json_object *root = json_tokener_parse(body.c_str());
        json_object *header = nullptr, *error = nullptr;
        const bool ok = root && json_object_object_get_ex(root, "header", &header) &&
                        json_object_object_get_ex(header, "error", &error) && json_object_get_int(error) == 0;
        if (root) json_object_put(root);
        return ok;
    }

  private:
    bool connect() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(13111);
        ::inet_pton(AF_INET, addr_.c_str(), &a.sin_addr);
        return ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    std::string addr_;
    qvemu::CipherKey key_ = qvemu::build_cipher_key();
    std::string request_;
    int fd_ = -1;
};

// ---- a. round trips ----

struct Command {
    const char *name;
    int deviceCmd;
    std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)> viaBroker;
    std::function<int(int64_t token)> direct;
};

void roundTrips(int perCommand) {
    const int64_t token = QVNasSDKManagerImplement::shareManagerImplement().srcToken();
    const std::vector<Command> commands = {
        {"18 firmware version", 52, [](auto d) { return broker().qvNasGetDeviceVersionWithCompletion(d); },
         [](int64_t t) {
             char v[32] = {};
             return ppc_RouterGetFWVersion(v, t);
         }},
        {"20 device status", 20, [](auto d) { return broker().qvNasGetDeviceStatus(kDevice, d); },
         [](int64_t t) {
             qv_dev_status s{};
             return ppc_DGetDeviceStatus(&s, kDevice, t);
         }},
        {"151 nick name", 171, [](auto d) { return broker().qvNasGetDeviceNickNameWithCompletion(d); },
         [](int64_t t) {
             char n[64] = {};
             return ppc_GetDeviceNickName(n, t);
         }},
        {"117 user space", 148, [](auto d) { return broker().qvNasGetUserSpaceWithCompletion(d); },
         [](int64_t t) {
             user_space_dnode s{};
             return ppc_FileGetUserSpace(&s, t);
         }},
    };
    constexpr int kBlock = 100;
    for (const Command &c : commands) {
        std::printf("\n== a. %s: %d requests a side, blocks of %d, order rotating (microseconds)\n", c.name,
                    perCommand, kBlock);
        BareClient bare(kDevice, c.deviceCmd, token);
        std::vector<double> viaBroker, direct, viaBare, r50, r99;
        for (int block = 0; block * kBlock < perCommand; ++block) {
            std::vector<double> b, d, w;
            for (int turn = 0; turn < 3; ++turn) {
                const int side = (block + turn) % 3;
                if (side == 0) {
                    for (int i = 0; i < kBlock; ++i) {
                        const auto t0 = Clock::now();
                        if (roundTrip(c.viaBroker) != 0) std::exit(2);
                        b.push_back(usSince(t0));
                    }
                } else if (side == 1) {
                    std::thread plain([&] {
                        for (int i = 0; i < kBlock; ++i) {
                            const auto t0 = Clock::now();
                            if (c.direct(token) != 0) std::exit(3);
                            d.push_back(usSince(t0));
                        }
                    });
                    plain.join();
                } else {
                    for (int i = 0; i < kBlock; ++i) {
                        const auto t0 = Clock::now();
                        if (!bare.exchange()) std::exit(4);
                        w.push_back(usSince(t0));
                    }
                }
            }
            std::printf(
                "run %2d: broker p50 %7.1f p99 %7.1f | direct p50 %7.1f p99 %7.1f | bare p50 %7.1f p99 %7.1f "
                "| "
                "broker/direct p50 %.2f p99 %.2f\n",
                block + 1, pct(b, 0.5), pct(b, 0.99), pct(d, 0.5), pct(d, 0.99), pct(w, 0.5), pct(w, 0.99),
                pct(b, 0.5) / pct(d, 0.5), pct(b, 0.99) / pct(d, 0.99));
            r50.push_back(pct(b, 0.5) / pct(d, 0.5));
            r99.push_back(pct(b, 0.99) / pct(d, 0.99));
            viaBroker.insert(viaBroker.end(), b.begin(), b.end());
            direct.insert(direct.end(), d.begin(), d.end());
            viaBare.insert(viaBare.end(), w.begin(), w.end());
        }
        printSpread("broker/direct p50 over runs", r50, "");
        printSpread("broker/direct p99 over runs", r99, "");
        const double p50 = pct(viaBroker, 0.5) / pct(direct, 0.5),
                     p99 = pct(viaBroker, 0.99) / pct(direct, 0.99);
        std::printf(
            "all %zu: broker p50 %.1f p99 %.1f | direct p50 %.1f p99 %.1f | bare p50 %.1f p99 %.1f us\n"
            "broker/direct p50 %.2f (target 1.3: %s), p99 %.2f (target 1.5: %s); direct/bare p50 %.2f\n",
            viaBroker.size(), pct(viaBroker, 0.5), pct(viaBroker, 0.99), pct(direct, 0.5), pct(direct, 0.99),
            pct(viaBare, 0.5), pct(viaBare, 0.99), p50, p50 <= 1.3 ? "met" : "MISSED", p99,
            p99 <= 1.5 ? "met" : "MISSED", pct(direct, 0.5) / pct(viaBare, 0.5));
    }
}

// ---- b. start to the first device added ----

std::atomic<bool> g_added{false};
Clock::time_point g_addedAt;
void onAdded(const qv_dev_detail *) {
    if (!g_added.exchange(true)) g_addedAt = Clock::now();
}

double directStart(const std::string &cache) {
    double ms = -1;
    std::thread plain([&] {
        g_added = false;
        int32_t err = 0;
        const auto t0 = Clock::now();
        ppc_router_task *ctx = ppc_start_Service(cache.c_str(), onAdded, nullptr, nullptr, "127.0.0.1", &err);
        if (ctx == nullptr) std::exit(5);
        while (!g_added.load() && usSince(t0) < 10e6)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (g_added.load()) ms = std::chrono::duration<double, std::milli>(g_addedAt - t0).count();
        ppc_stop_Service(ctx);
    });
    plain.join();
    return ms;
}

double brokerStart() {
    std::atomic<bool> added{false};
    Clock::time_point at;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        QLatin1String(kNotif_QVAutoPushDeviceAddNotification), nullptr,
        [&](const plat::Notification &) {
            if (!added.exchange(true)) at = Clock::now();
        },
        plat::Delivery::Main);
    const auto t0 = Clock::now();
    if (roundTrip([](auto d) { return broker().qvNasStartServiceWithGatewayIp("127.0.0.1", d); }) != 0)
        std::exit(6);
    spinUntil([&] { return added.load(); }, 10000);
    const double ms = std::chrono::duration<double, std::milli>(at - t0).count();
    token.reset();
    if (roundTrip([](auto d) { return broker().qvNasStopServiceWithCompletion(d); }) != 0) std::exit(7);
    return ms;
}

void startToFirstDevice(int runs, const std::string &cache) {
    for (int devices : {1, 50}) {
        std::printf("\n== b. start to the first device added, %d device(s) on the LAN (ms)\n", devices);
        emu::DiscoveryLan lan("127.0.0.1");
        for (int n = 0; n < devices; ++n) {
            emu::DiscoveryDevice dev;
            dev.ip = "127.0.0." + std::to_string(10 + n);
            dev.device_id = "DEV-" + std::to_string(10 + n);
            lan.add(dev);
        }
        if (!lan.start()) std::exit(8);
        std::vector<double> viaBroker, direct, ratio;
        for (int i = 0; i < runs; ++i) {
            double b = 0, d = 0;
            if (i % 2 == 0) {
                b = brokerStart();
                d = directStart(cache);
            } else {
                d = directStart(cache);
                b = brokerStart();
            }
            std::printf("run %2d (%s first): broker %.3f ms | direct %.3f ms | ratio %.2f\n", i + 1,
                        i % 2 == 0 ? "broker" : "direct", b, d, b / d);
            viaBroker.push_back(b);
            direct.push_back(d);
            ratio.push_back(b / d);
        }
        printSpread("broker", viaBroker, "ms");
        printSpread("direct", direct, "ms");
        printSpread("ratio", ratio, "");
        std::sort(viaBroker.begin(), viaBroker.end());
        std::sort(direct.begin(), direct.end());
        const double r = viaBroker[viaBroker.size() / 2] / direct[direct.size() / 2];
        std::printf("ratio of the medians %.2f (target 1.1: %s)\n", r, r <= 1.1 ? "met" : "MISSED");
        lan.stop();
    }
}

// ---- c. the longest main-thread block over session cycles ----

// The longest gap between the ticks of a 1 ms timer on main while the loop only spins for `ms`: what the
// machine itself gives (the baseline of the blocks below).
qint64 idleGap(int ms) {
    QElapsedTimer since;
    since.start();
    qint64 last = 0, worst = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worst = std::max(worst, since.elapsed() - last);
        last = since.elapsed();
    });
    tick.start(1);
    spinUntil([&] { return since.elapsed() > ms; });
    return worst;
}

void mainThreadBlocks(BenchFramework &fw, int cycles, const char *storeName) {
    std::printf("\n== c. longest main-thread block over %d cycles, %s store (ms)\n", cycles, storeName);
    QElapsedTimer since;
    since.start();
    qint64 last = 0, worst = 0, cycleWorst = 0;
    const char *step = "start";  // the step whose answer main waits for (main thread only)
    const char *worstStep = "";
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = since.elapsed();
        if (now - last > worst) worstStep = step;
        worst = std::max(worst, now - last);
        cycleWorst = std::max(cycleWorst, now - last);
        last = now;
    });
    tick.start(1);
    const auto cyclesStart = Clock::now();
    std::vector<double> perCycle;
    for (int i = 0; i < cycles; ++i) {
        cycleWorst = 0;
        // Each step sent from the previous one's completion on main, as an application does.
        std::atomic<int> failed{0};
        std::atomic<bool> done{false};
        auto check = [&](const char *what, const QVNasResponseInfoPtr &r) {
            if (r && r->responseCode == 0) return true;
            std::fprintf(stderr, "cycle %d: %s answered %lld\n", i, what,
                         r ? static_cast<long long>(r->responseCode) : -1LL);
            failed = 1;
            done = true;
            return false;
        };
        step = "start";
        fw.qvSdkStartService([&](const QVNasResponseInfoPtr &r) {
            if (!check("start", r)) return;
            step = "register";
            broker().qvNasRegisterDeviceWithCompletion([&](const QVNasResponseInfoPtr &r) {
                (void)r;  // sent before the login, as the cycle goes: its answer is not the point here
                step = "login";
                broker().qvNasLoginDeviceWithAuthCode(kAuth, kDevice, [&](const QVNasResponseInfoPtr &r) {
                    if (!check("login", r)) return;
                    step = "status";
                    broker().qvNasGetDeviceStatus(kDevice, [&](const QVNasResponseInfoPtr &r) {
                        if (!check("status", r)) return;
                        step = "logout";
                        broker().qvNasLogoutDeviceWithCompletion([&](const QVNasResponseInfoPtr &r) {
                            if (!check("logout", r)) return;
                            step = "stop";
                            fw.qvSdkStopService([&](const QVNasResponseInfoPtr &r) {
                                check("stop", r);
                                done = true;
                            });
                        });
                    });
                });
            });
        });
        spinUntil([&] { return done.load(); });
        if (failed.load()) std::exit(9);
        perCycle.push_back(static_cast<double>(cycleWorst));
        std::printf("cycle %2d: longest gap between 1 ms ticks %lld ms\n", i + 1,
                    static_cast<long long>(cycleWorst));
    }
    tick.stop();
    const int spent = static_cast<int>(usSince(cyclesStart) / 1000);
    printSpread("longest gap per cycle", perCycle, "ms");
    std::printf("longest main-thread block %lld ms, while waiting for the %s answer (target 16: %s)\n",
                static_cast<long long>(worst), worstStep, worst <= 16 ? "met" : "MISSED");
    std::printf("baseline: longest gap of the same timer on an idle loop for as long (%d ms): %lld ms\n",
                spent, static_cast<long long>(idleGap(spent)));
}

}  // namespace

int main(int argc, char **argv) {
    const int perCommand = argc > 1 ? std::max(100, std::atoi(argv[1])) : 1000;
    const int startRuns = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int cycles = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    // The keyring store reaches the session bus before the namespace changes (its socket stays usable).
    std::shared_ptr<plat::KeychainSecretStore> keyring;
    if (qEnvironmentVariable("QV_KEYRING_SESSION") == QLatin1String("1")) {
        keyring = std::make_shared<plat::KeychainSecretStore>(QStringLiteral("tessera-bench"));
        keyring->load(QStringLiteral("bench-probe"));
    }
    if (!privateNetns()) {
        std::printf("bench_fw_session: needs a private network namespace (root); skipped\n");
        return 0;
    }
    qv::set_log_enabled(false);
    plat::Log::setEnabled(false);
    ppc_set_broker_address("127.0.0.1:1");  // refused at once: the service runs without messaging
    char tmpl[] = "/tmp/qvbench-fws-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    fs::create_directories(root + "/cache");

    qvemu::Device dev(root, kDevice);
    auto users = qvemu::install_device_user_handlers(dev);
    users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    qvemu::install_device_handlers(dev);
    qvemu::install_file_type_handlers(dev);
    qvemu::install_admin_handlers(dev);
    qvemu::install_push_handler(dev)->set_keepalive_ms(0);
    if (!dev.start()) {
        std::fprintf(stderr, "device: %s\n", dev.last_error().c_str());
        return 1;
    }
    QVNasSDKManagerImplement::shareManagerImplement().setDeviceSdk(nullptr);  // the real SDK
    BenchFramework fw;
    // A namespace with only lo counts as no network to a reachability backend; the device is on it.
    plat::NetworkMonitor::shared().setStatusForTests(plat::NetworkMonitor::Status::Local);

    // a: one session for all four commands.
    if (roundTrip([](auto d) { return broker().qvNasStartServiceWithGatewayIp("127.0.0.1", d); }) != 0)
        return 1;
    if (roundTrip([](auto d) { return broker().qvNasLoginDeviceWithAuthCode(kAuth, kDevice, d); }) != 0)
        return 1;
    roundTrips(perCommand);
    roundTrip([](auto d) { return broker().qvNasLogoutDeviceWithCompletion(d); });
    roundTrip([](auto d) { return broker().qvNasStopServiceWithCompletion(d); });

    startToFirstDevice(startRuns, root + "/cache");

    plat::SecretStore::setShared(
        std::make_shared<plat::FileSecretStore>(QString::fromStdString(root + "/secrets")));
    mainThreadBlocks(fw, cycles, "file");
    if (keyring) {
        plat::SecretStore::setShared(keyring);
        mainThreadBlocks(fw, cycles,
                         keyring->usingFileFallback() ? "keyring (fell back to files)" : "keyring");
    } else {
        std::printf(
            "\n(keyring store: run under `dbus-run-session -- scripts/keyring-session` to measure it)\n");
    }
    plat::SecretStore::setShared(nullptr);
    dev.stop();
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(10000);
    fs::remove_all(root);
    return 0;
}
