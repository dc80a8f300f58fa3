// The framework's transfer road against the bare SDK call and a baseline that shares none of our code:
//   1. a download of QV_BENCH_MB (default 1024) MiB on tmpfs through the broker (progress counted on the
//      worker, answer on main) beside ppc_file_download with a bare callback, alternating, and curl from
//      nginx (when installed): MB/s, CPU seconds, progress calls per second;
//   2. the cancel of one of 8 running downloads by its number, from the cancel request to the cancelled
//      download's answer on main, beside ppc_cancel_task to that download's own 20008: p50/p99.
// Root: the service runs in a network namespace of its own (its discovery binds fixed ports). Every run is
// printed, then min/median/max and the ratios of the medians. Not run by ctest.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "../tests/netns_util.h"
#include "base/qv_log.h"
#include "bench_proc.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "device.h"
#include "handlers_device_user.h"
#include "handlers_download.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "runtime/ppc_service.h"
#include "runtime/ppc_tracked.h"

namespace fs = std::filesystem;
using benchproc::now;
using benchproc::self_cpu;

namespace {

constexpr char kDevAddr[] = "127.0.0.2";
constexpr char kWebAddr[] = "127.0.0.3";
constexpr char kAuth[] = "auth-bench-fw";

struct Stats {
    double min, median, max;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}
double pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

std::atomic<long> g_bareCalls{0};
void bare_progress(client_file_task *) {
    ++g_bareCalls;
}

// ppc_file_download's own answer, per number, for the direct cancel.
std::mutex g_doneMu;
std::map<uint32_t, double> g_doneAt;

int64_t g_token = 0;

QVNasPathInfoPtr onDevice(const std::string &p) {
    return QVNasPathInfo::sharePath(QString::fromStdString(p), 0);
}

// Runs the event loop until `done` holds: asleep until a posted job or the 10 ms tick (for conditions that
// workers set), never spinning.
void loopUntil(const std::function<bool()> &done) {
    QEventLoop loop;
    QTimer tick;
    tick.start(10);
    while (!done()) loop.processEvents(QEventLoop::WaitForMoreEvents);
}

struct Run {
    double wall, cpu, calls;
};

Run brokerDownload(const std::string &folder, const std::string &file) {
    std::atomic<long> calls{0};
    std::atomic<bool> done{false};
    int64_t code = -1;
    const double c0 = self_cpu(), t0 = now();
    QVNasPrivateInterfaceProtocol::defaultProtocolManager().qvNasDownloadFileToLocalPath(
        QString::fromStdString(folder), onDevice(file),
        [&](const auto &, int32_t, int64_t, int64_t) { ++calls; },
        [&](const QVNasResponseInfoPtr &r) {
            code = r->responseCode;
            done = true;
        });
    loopUntil([&] { return done.load(); });
    const Run r{now() - t0, self_cpu() - c0, static_cast<double>(calls.load())};
    if (code != 0) std::printf("  broker download answered %lld\n", static_cast<long long>(code));
    return r;
}

Run directDownload(const std::string &folder, const std::string &file, uint32_t seq) {
    g_bareCalls = 0;
    const double c0 = self_cpu(), t0 = now();
    path_info src{file.c_str(), 0, 0};
    const int rc =
        ppc_file_download(seq, folder.c_str(), &src, g_token, bare_progress, ppc_current_context());
    const Run r{now() - t0, self_cpu() - c0, static_cast<double>(g_bareCalls.load())};
    if (rc != 0) std::printf("  direct download answered %d\n", rc);
    return r;
}

void printRuns(const char *name, const std::vector<Run> &runs, double mib) {
    std::vector<double> rate, cpu, cps;
    std::printf("%s\n", name);
    for (size_t i = 0; i < runs.size(); ++i) {
        rate.push_back(mib / runs[i].wall);
        cpu.push_back(runs[i].cpu);
        cps.push_back(runs[i].calls / runs[i].wall);
        std::printf("  run %zu: %8.1f MB/s  cpu %6.3f s  progress %6.0f calls (%.2f/s)\n", i + 1, rate.back(),
                    cpu.back(), runs[i].calls, cps.back());
    }
    const Stats r = stats(rate), c = stats(cpu), p = stats(cps);
    std::printf(
        "  MB/s min %.1f median %.1f max %.1f; cpu min %.3f median %.3f max %.3f; calls/s median %.2f\n",
        r.min, r.median, r.max, c.min, c.median, c.max, p.median);
}

}  // namespace

int main(int argc, char **argv) {
    if (!qvtest::enter_private_netns().empty()) {
        std::printf("bench_fw_transfers: needs a private network namespace (root); skipped\n");
        return 0;
    }
    ::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    qv::set_log_enabled(false);
    unsigned runs = 5;
    if (const char *e = std::getenv("QV_BENCH_RUNS"))
        runs = std::max(1u, static_cast<unsigned>(std::atoi(e)));
    uint64_t mib = 1024;
    if (const char *e = std::getenv("QV_BENCH_MB"))
        mib = std::max<uint64_t>(1, std::strtoull(e, nullptr, 10));
    fs::path scratch = "/dev/shm";
    if (::access(scratch.c_str(), W_OK) != 0) scratch = fs::temp_directory_path();
    struct statvfs vs {};
    ::statvfs(scratch.c_str(), &vs);
    const uint64_t avail = static_cast<uint64_t>(vs.f_bavail) * vs.f_frsize >> 20;
    if (avail < mib * 3 + 256) {
        mib = std::max<uint64_t>(16, (avail - 256) / 3);
        std::printf("%s has %llu MiB free: %llu MiB transfers\n", scratch.c_str(),
                    static_cast<unsigned long long>(avail), static_cast<unsigned long long>(mib));
    }
    const fs::path base = scratch / ("qv_bench_fw_transfers_" + std::to_string(::getpid()));
    const fs::path devRoot = base / "device", local = base / "local", www = base / "www";
    for (const auto &d : {devRoot, local, www, base / "nginx", base / "cache"}) fs::create_directories(d);
    benchproc::make_file(devRoot / "big.bin", mib << 20);
    fs::create_hard_link(devRoot / "big.bin", www / "big.bin");

    qvemu::Device dev(devRoot.string(), kDevAddr);
    auto users = qvemu::install_device_user_handlers(dev);
    users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    auto script = std::make_shared<qvemu::DownloadScript>();
    script->use_sendfile = true;  // served as nginx serves it: the emulator must not be the bottleneck
    qvemu::install_download_handler(dev, script);
    dev.set_strict(false);
    if (!dev.start()) {
        std::printf("emulator: %s\n", dev.last_error().c_str());
        return 1;
    }
    ppc_set_broker_address("127.0.0.1:1");  // no broker: the service runs without messaging
    auto &broker = QVNasPrivateInterfaceProtocol::defaultProtocolManager();
    int64_t code = -1;
    bool answered = false;
    broker.qvNasStartServiceWithGatewayIp("127.0.0.1", [&](const QVNasResponseInfoPtr &r) {
        code = r->responseCode;
        answered = true;
    });
    loopUntil([&] { return answered; });
    answered = false;
    broker.qvNasLoginDeviceWithAuthCode(kAuth, kDevAddr, [&](const QVNasResponseInfoPtr &r) {
        code = r->responseCode;
        g_token = r->responseData.toLongLong();
        answered = true;
    });
    loopUntil([&] { return answered; });
    if (code != 0 || g_token == 0) {
        std::printf("service or login failed: %lld\n", static_cast<long long>(code));
        return 1;
    }

    // The baseline: curl from nginx serving the same file by sendfile.
    const bool nginx = benchproc::have_program("nginx") && benchproc::have_program("curl");
    pid_t web = -1;
    const int webPort = benchproc::free_port(kWebAddr);
    if (nginx) {
        web = ::fork();
        if (web == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            const fs::path conf = base / "nginx" / "nginx.conf";
            std::ofstream(conf)
                << "daemon off;\nmaster_process off;\nworker_processes 1;\npid "
                << (base / "nginx/pid").string() << ";\nerror_log " << (base / "nginx/error.log").string()
                << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  sendfile on;\n"
                << "  server {\n    listen " << kWebAddr << ":" << webPort << ";\n    root " << www.string()
                << ";\n  }\n}\n";
            ::execlp("nginx", "nginx", "-p", (base / "nginx").c_str(), "-c", conf.c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100 && !benchproc::port_open(kWebAddr, webPort); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("download of %llu MiB on %s, %u runs a side, sides alternating%s\n",
                static_cast<unsigned long long>(mib), scratch.c_str(), runs,
                nginx ? "; curl from nginx (sendfile)" : "; no nginx or curl: no baseline");

    std::vector<Run> viaBroker, direct, curl;
    uint32_t seq = 900000;
    const std::string folder = local.string(), out = (local / "big.bin").string();
    for (unsigned i = 0; i < runs; ++i) {
        const auto one = [&](int side) {
            fs::remove(out);
            if (side == 0) viaBroker.push_back(brokerDownload(folder, "/big.bin"));
            if (side == 1) direct.push_back(directDownload(folder, "/big.bin", ++seq));
            if (side == 2 && nginx) {
                const double w0 = benchproc::proc_cpu(web);
                const benchproc::Sample s = benchproc::run_tool(
                    {"curl", "-s", "-o", out,
                     "http://" + std::string(kWebAddr) + ":" + std::to_string(webPort) + "/big.bin"});
                curl.push_back({s.wall, s.cpu + benchproc::proc_cpu(web) - w0, 0});
            }
        };
        // The order flips every run.
        for (int side : i % 2 == 0 ? std::vector<int>{0, 1, 2} : std::vector<int>{2, 1, 0}) one(side);
    }
    const double m = static_cast<double>(mib) * 1.048576;  // MB
    printRuns("through the broker (progress to the caller, answer on main)", viaBroker, m);
    printRuns("ppc_file_download with a bare callback", direct, m);
    if (nginx) printRuns("curl from nginx (client and server CPU)", curl, m);
    const auto med = [&](const std::vector<Run> &v, auto f) {
        std::vector<double> x;
        for (const Run &r : v) x.push_back(f(r));
        return stats(x).median;
    };
    const auto rate = [&](const Run &r) { return m / r.wall; };
    const auto cpu = [](const Run &r) { return r.cpu; };
    std::printf("ratio broker/direct: MB/s %.3f (target >= 0.98), CPU %.3f (target <= 1.05)\n",
                med(viaBroker, rate) / med(direct, rate), med(viaBroker, cpu) / med(direct, cpu));
    if (nginx)
        std::printf("ratio broker/curl: MB/s %.3f, CPU %.3f\n", med(viaBroker, rate) / med(curl, rate),
                    med(viaBroker, cpu) / med(curl, cpu));

    // ---- cancel by number among 8 running downloads ----
    script->use_sendfile = false;
    script->pause_us = 2000;  // 64 KiB every 2 ms each: they run until cancelled
    int rounds = 100;
    if (const char *e = std::getenv("QV_BENCH_ROUNDS")) rounds = std::max(1, std::atoi(e));
    std::vector<double> brokerLat, directLat;
    for (int round = 0; round < rounds; ++round) {
        const int pick = round % 8;
        // Through the broker: 8 requests, the cancel request, the picked one's answer on main.
        {
            std::vector<QVNasRequestInfoPtr> handles(8);
            std::vector<std::atomic<bool>> started(8), done(8);
            double answeredAt = 0;
            for (int k = 0; k < 8; ++k) {
                const fs::path dir = local / ("b" + std::to_string(k));
                fs::remove_all(dir);  // no resume state of an earlier round
                fs::create_directories(dir);
                handles[static_cast<size_t>(k)] = broker.qvNasDownloadFileToLocalPath(
                    QString::fromStdString(dir.string()), onDevice("/big.bin"),
                    [&, k](const auto &, int32_t, int64_t, int64_t) {
                        started[static_cast<size_t>(k)] = true;
                    },
                    [&, k](const QVNasResponseInfoPtr &) {
                        if (k == pick) answeredAt = now();
                        done[static_cast<size_t>(k)] = true;
                    });
            }
            loopUntil([&] {
                return std::all_of(started.begin(), started.end(), [](auto &s) { return s.load(); });
            });
            const double t0 = now();
            broker.qvNasCancelDownloadFileWithRequest(handles[static_cast<size_t>(pick)], {});
            loopUntil([&] { return done[static_cast<size_t>(pick)].load(); });
            brokerLat.push_back((answeredAt - t0) * 1000);
            for (int k = 0; k < 8; ++k)
                if (k != pick) broker.qvNasCancelDownloadFileWithRequest(handles[static_cast<size_t>(k)], {});
            loopUntil(
                [&] { return std::all_of(done.begin(), done.end(), [](auto &d) { return d.load(); }); });
        }
        // Direct: 8 calls on threads of their own, ppc_cancel_task, the picked call's own return.
        {
            std::vector<std::thread> threads;
            std::vector<uint32_t> seqs;
            for (int k = 0; k < 8; ++k) {
                seqs.push_back(++seq);
                fs::remove_all(local / ("d" + std::to_string(k)));  // no resume state of an earlier round
                fs::create_directories(local / ("d" + std::to_string(k)));
            }
            for (int k = 0; k < 8; ++k)
                threads.emplace_back([&, k] {
                    const fs::path dir = local / ("d" + std::to_string(k));
                    path_info src{"/big.bin", 0, 0};
                    ppc_file_download(seqs[static_cast<size_t>(k)], dir.c_str(), &src, g_token, bare_progress,
                                      ppc_current_context());
                    std::lock_guard<std::mutex> l(g_doneMu);
                    g_doneAt[seqs[static_cast<size_t>(k)]] = now();
                });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all of them streaming
            const double t0 = now();
            ppc_cancel_task(ppc_current_context(), 0, PPC_TASK_DOWNLOAD, seqs[static_cast<size_t>(pick)]);
            for (;;) {
                {
                    std::lock_guard<std::mutex> l(g_doneMu);
                    if (g_doneAt.count(seqs[static_cast<size_t>(pick)]) != 0) break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            directLat.push_back((g_doneAt[seqs[static_cast<size_t>(pick)]] - t0) * 1000);
            ppc_cancel_task(ppc_current_context(), 1, PPC_TASK_DOWNLOAD, 0);
            for (auto &t : threads) t.join();
        }
    }
    std::printf("cancel by number among 8 downloads, %d rounds a side (ms):\n", rounds);
    for (int i = 0; i < rounds; ++i)
        std::printf("  round %2d: broker %7.2f  direct %7.2f\n", i + 1, brokerLat[static_cast<size_t>(i)],
                    directLat[static_cast<size_t>(i)]);
    const Stats bs = stats(brokerLat), ds = stats(directLat);
    std::printf("  broker: min %.2f median %.2f p99 %.2f max %.2f\n", bs.min, bs.median, pct(brokerLat, 0.99),
                bs.max);
    std::printf("  direct: min %.2f median %.2f p99 %.2f max %.2f\n", ds.min, ds.median, pct(directLat, 0.99),
                ds.max);
    std::printf("  ratio of p99 broker/direct: %.3f (target <= 1.2)\n",
                pct(brokerLat, 0.99) / pct(directLat, 0.99));

    if (web > 0) {
        ::kill(web, SIGTERM);
        ::waitpid(web, nullptr, 0);
    }
    answered = false;
    broker.qvNasStopServiceWithCompletion([&](const QVNasResponseInfoPtr &) { answered = true; });
    loopUntil([&] { return answered; });
    plat::WorkPool::global().waitForDone(10000);
    dev.stop();
    fs::remove_all(base);
    return 0;
}
