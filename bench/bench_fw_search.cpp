// 10,000 search results in streamed replies of 500 (each result with 5 tags, the search with 5 keys)
// through the broker, the bridge and the real runtime to the last batch on the main thread, beside the
// SDK's own ppc_file_SearchMultiFunc with a callback that only counts. The sides alternate run by run;
// every run is printed, then min/median/max per side, the per-run ratios and the ratio of the medians
// (target: at most 1.2). While the framework side runs, a 1 ms timer on the main thread measures the
// longest gap between its ticks: the longest main-thread block (limit 16 ms).
//
// Runs in a private network namespace (needs root: the service's discovery ports are fixed).
// Usage: bench_fw_search [results (10000)]; QV_BENCH_RUNS runs per side (default 7).
#include <net/if.h>
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
#include <string>
#include <vector>

#include "../tests/netns_util.h"
#include "base/qv_log.h"
#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "command/ppc_qv_client.h"
#include "device.h"
#include "handlers_device_user.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "runtime/ppc_service.h"
#include "runtime/ppc_tracked.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAddr[] = "127.0.0.2";
constexpr char kAuth[] = "auth-bench";
constexpr int kBatch = 500;
constexpr int kKeys = 5;

// The entries of one reply (the same for every reply), each with a tag per key.
std::string entries(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        if (i) out += ',';
        out += "{\"fileName\":\"photo-" + std::to_string(i) + ".jpg\",\"filePath\":\"/pics/photo-" +
               std::to_string(i) +
               ".jpg\",\"isFolder\":0,\"fileSize\":123456,\"fileData\":1556975220,\"bucket_id\":1,"
               "\"isStore\":0,\"type\":1,\"tagList\":[";
        for (int k = 0; k < kKeys; ++k)
            out += std::string(k ? "," : "") + "{\"tagName\":\"tag-key" + std::to_string(k) + "\"}";
        out += "]}";
    }
    return out;
}

// The device's answer to 117: `total` results in replies of kBatch, then the end (status 2).
qvemu::Handler results(int total) {
    auto body = std::make_shared<std::string>(entries(kBatch));
    return [total, body](qvemu::Device &, const qvemu::Request &req) {
        auto at = std::make_shared<int>(0);
        const std::string seq = std::to_string(req.seq);
        qvemu::Reply r;
        r.next_chunk = [at, total, body, seq]() -> std::optional<std::string> {
            const int i = (*at)++;
            const int batches = (total + kBatch - 1) / kBatch;
            if (i > batches) return std::nullopt;
            if (i == batches) return "[{\"seq\":" + seq + ",\"status\":2,\"curCount\":0,\"fileList\":[]}]";
            return "[{\"seq\":" + seq + ",\"status\":1,\"curCount\":" + std::to_string(kBatch) +
                   ",\"fileList\":[" + *body + "]}]";
        };
        return r;
    };
}

std::atomic<long> g_results{0};
void count_results(client_file_task *t) {
    for (const file_dnode *n = t->file_list != nullptr ? t->file_list->list : nullptr; n != nullptr;
         n = n->next)
        ++g_results;
}

struct Stats {
    double min, median, max;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

// Waits in the event loop (not spinning: the main thread takes no core from the search's threads).
void spinUntil(const std::function<bool()> &cond) {
    while (!cond()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace

int main(int argc, char **argv) {
    if (!qvtest::enter_private_netns().empty()) {
        std::printf("bench_fw_search: needs a private network namespace (root); skipped\n");
        return 0;
    }
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    plat::Log::setEnabled(false);
    qv::set_log_enabled(false);
    const int total = argc > 1 ? std::max(kBatch, std::atoi(argv[1])) : 10000;
    const char *runs_env = std::getenv("QV_BENCH_RUNS");
    const int runs = runs_env != nullptr ? std::max(1, std::atoi(runs_env)) : 7;

    char root_tmpl[] = "/tmp/qvbench-search-XXXXXX";
    const std::string root = mkdtemp(root_tmpl);
    qvemu::Device dev(root, kAddr);
    auto users = qvemu::install_device_user_handlers(dev);
    users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    dev.set_handler(117, results(total));
    dev.set_strict(false);
    if (!dev.start()) {
        std::printf("device did not start: %s\n", dev.last_error().c_str());
        return 1;
    }
    ppc_set_broker_address("127.0.0.1:1");  // no broker: the service runs without messaging
    auto &broker = QVNasPrivateInterfaceProtocol::defaultProtocolManager();
    auto &bridge = QVNasSDKManagerImplement::shareManagerImplement();
    std::atomic<int64_t> startCode{-99};
    broker.qvNasStartServiceWithGatewayIp(
        QStringLiteral("127.0.0.1"), [&](const QVNasResponseInfoPtr &r) { startCode = r->responseCode; });
    spinUntil([&] { return startCode.load() != -99; });
    ppc_router_task *ctx = ppc_current_context();
    int64_t token = 0;
    if (startCode.load() != 0 || ctx == nullptr || QV_LoginVantor(kAddr, kAuth, &token) != 0) {
        std::printf("service start (%lld) or login failed\n", static_cast<long long>(startCode.load()));
        return 1;
    }
    bridge.setSrcToken(token);

    QStringList titles;
    search_condition cond{};
    for (int k = 0; k < kKeys; ++k) {
        titles << QStringLiteral("key%1").arg(k);
        std::snprintf(cond.search_key[k], sizeof cond.search_key[k], "key%d", k);
    }
    cond.key_count = kKeys;
    cond.search_specify_type = -1;

    std::vector<double> worstBlocks;
    auto framework = [&]() -> double {
        long got = 0, tags = 0;
        bool last = false;
        QElapsedTimer since;
        since.start();
        qint64 prev = 0, worst = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            worst = std::max(worst, since.elapsed() - prev);
            prev = since.elapsed();
        });
        tick.start(1);
        const auto t0 = Clock::now();
        broker.qvNasSearchForMultiWithSearchTitle(
            titles, -1, 0,
            [&](const QVNasRequestInfoPtr &, const QList<QVNasFileInfoPtr> &files, int32_t status) {
                got += files.size();
                for (const auto &f : files) tags += f->fileTagList.size();
                if (status == 2) last = true;
            },
            {});
        spinUntil([&] { return last; });
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        tick.stop();
        worstBlocks.push_back(static_cast<double>(worst));
        std::printf(
            "  framework run: %ld results (%ld tags) to the last batch on main in %7.1f ms = %9.0f/s; "
            "longest main block %lld ms\n",
            got, tags, s * 1e3, got / s, static_cast<long long>(worst));
        return got == total ? got / s : 0.0;
    };
    uint32_t seq = 1;
    auto direct = [&]() -> double {
        g_results = 0;
        const auto t0 = Clock::now();
        const int r = ppc_file_SearchMultiFunc(++seq, 0, &cond, token, count_results, 0, ctx);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("  direct    run: %ld results in %7.1f ms = %9.0f/s%s\n", g_results.load(), s * 1e3,
                    g_results.load() / s, r == 0 ? "" : "  (FAILED)");
        return r == 0 ? g_results.load() / s : 0.0;
    };

    std::printf(
        "bench_fw_search: %d results in replies of %d, %d keys and %d tags a result, %d runs per side\n",
        total, kBatch, kKeys, kKeys, runs);
    direct();  // warm-up
    std::vector<double> f_rates, d_rates;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            f_rates.push_back(framework());
            d_rates.push_back(direct());
        } else {
            d_rates.push_back(direct());
            f_rates.push_back(framework());
        }
    }
    std::vector<double> ratios;  // time ratio framework / direct, per run
    for (size_t i = 0; i < f_rates.size(); ++i)
        if (f_rates[i] > 0) ratios.push_back(d_rates[i] / f_rates[i]);
    const Stats f = stats(f_rates), d = stats(d_rates), w = stats(worstBlocks);
    if (!ratios.empty()) {
        const Stats p = stats(ratios);
        std::printf("per-run time ratio framework / direct  min %.3f  median %.3f  max %.3f\n", p.min,
                    p.median, p.max);
    }
    std::printf("framework  min %9.0f  median %9.0f  max %9.0f results/s\n", f.min, f.median, f.max);
    std::printf("direct     min %9.0f  median %9.0f  max %9.0f results/s\n", d.min, d.median, d.max);
    const double ratio = f.median > 0 ? d.median / f.median : 0.0;
    std::printf("time framework / direct (medians): %.3f (target at most 1.2: %s)\n", ratio,
                ratio <= 1.2 ? "met" : "NOT met");
    std::printf("longest main block  min %.0f  median %.0f  max %.0f ms (limit 16: %s)\n", w.min, w.median,
                w.max, w.max <= 16 ? "met" : "NOT met");

    std::atomic<bool> stopped{false};
    broker.qvNasStopServiceWithCompletion([&](const QVNasResponseInfoPtr &) { stopped = true; });
    spinUntil([&] { return stopped.load(); });
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(10000);
    dev.stop();
    std::filesystem::remove_all(root);
    return 0;
}
