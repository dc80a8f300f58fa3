// A streamed copy of 10,000 progress chunks from the device emulator, run as a tracked call
// (ppc_file_CopyCb on a running service, 1,000 other tasks listed) beside the bare command call
// (QV_FileCopyCb with a task of its own, in no list). During both sides a thread keeps cancelling sequence
// numbers that none of the copies carries, so every walk of the 1,001-task list competes for the list's
// mutex. The sides alternate run by run (the first side flipping each run); every run is printed with its
// chunks per second, then min/median/max per side, of the per-run ratios, and the ratio of the medians
// (target: at least 0.95).
//
// Runs in a private network namespace (needs root: the service's discovery ports are fixed).
// Usage: bench_tracked_copy [chunks (10000)]; QV_BENCH_RUNS runs per side (default 7).
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/netns_util.h"
#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "device.h"
#include "handlers_device_user.h"
#include "runtime/ppc_service.h"
#include "runtime/ppc_tracked.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAddr[] = "127.0.0.2";
constexpr char kAuth[] = "auth-bench";
constexpr int kOtherTasks = 1000;

std::atomic<long> g_chunks{0};
void count_chunk(client_file_task *) {
    ++g_chunks;
}

// The device's answer to 159: `n` progress chunks back to back, then the end.
qvemu::Handler stream_of(int n) {
    return [n](qvemu::Device &, const qvemu::Request &) {
        auto at = std::make_shared<int>(0);
        qvemu::Reply r;
        r.next_chunk = [at, n]() -> std::optional<std::string> {
            const int i = (*at)++;
            if (i > n) return std::nullopt;
            const int status = i < n ? 1 : 2;
            return "[{\"status\":" + std::to_string(status) +
                   ",\"curCount\":" + std::to_string(std::min(i + 1, n)) +
                   ",\"totalCount\":" + std::to_string(n) + "}]";
        };
        return r;
    };
}

struct Stats {
    double min, median, max;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

}  // namespace

int main(int argc, char **argv) {
    if (!qvtest::enter_private_netns().empty()) {
        std::printf("bench_tracked_copy: needs a private network namespace (root); skipped\n");
        return 0;
    }
    qv::set_log_enabled(false);
    const int chunks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    const char *runs_env = std::getenv("QV_BENCH_RUNS");
    const int runs = runs_env != nullptr ? std::max(1, std::atoi(runs_env)) : 7;

    char root_tmpl[] = "/tmp/qvbench-tracked-XXXXXX";
    const std::string root = mkdtemp(root_tmpl);
    const std::string cache = root + ".cache";
    std::filesystem::create_directories(cache);
    qvemu::Device dev(root, kAddr);
    auto users = qvemu::install_device_user_handlers(dev);
    users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    dev.set_handler(159, stream_of(chunks));
    dev.set_strict(false);
    if (!dev.start()) {
        std::printf("device did not start: %s\n", dev.last_error().c_str());
        return 1;
    }
    ppc_set_broker_address("127.0.0.1:1");  // no broker: the service runs without messaging
    int32_t err = 0;
    ppc_router_task *ctx = ppc_start_Service(cache.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
    if (ctx == nullptr) {
        std::printf("service did not start: %d\n", err);
        return 1;
    }
    int64_t token = 0;
    if (QV_LoginVantor(kAddr, kAuth, &token) != 0) {
        std::printf("login failed\n");
        return 1;
    }

    // The other tasks: listed for the whole run, numbered 100000 and up, never running anything.
    std::vector<client_file_task *> others;
    for (int i = 0; i < kOtherTasks; ++i) {
        client_file_task *t = client_file_task_new();
        t->id = 100000 + i;
        t->task_type = PPC_TASK_DOWNLOAD;
        ppc_task_list_add(ctx, t);
        others.push_back(t);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> walks{0};
    std::thread canceller([&] {
        uint32_t s = 200000;
        while (!stop.load()) {
            ppc_cancel_FileTask(s++, ctx);  // numbers nobody carries: every walk covers the whole list
            ++walks;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });

    path_info src{"/a", 0, 0}, dst{"/b", 0, 0};
    auto tracked = [&](uint32_t seq) { return ppc_file_CopyCb(seq, &src, &dst, token, count_chunk, ctx); };
    auto bare = [&](uint32_t seq) {
        client_file_task *t = client_file_task_new();
        t->id = seq;
        t->token = token;
        t->chunk_cb = count_chunk;
        const int r = QV_FileCopyCb(static_cast<int32_t>(seq), &src, &dst, t);
        client_file_task_free(t);
        return r;
    };
    auto one = [&](const char *side, auto &&call, uint32_t seq) -> double {
        g_chunks = 0;
        const auto t0 = Clock::now();
        const int r = call(seq);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        const double rate = static_cast<double>(g_chunks.load()) / s;
        std::printf("  %-8s run: %ld chunks in %7.1f ms = %9.0f chunks/s%s\n", side, g_chunks.load(), s * 1e3,
                    rate, r == 0 ? "" : "  (FAILED)");
        return r == 0 ? rate : 0.0;
    };

    std::printf("bench_tracked_copy: %d chunks per copy, %d other tasks listed, %d runs per side\n", chunks,
                kOtherTasks, runs);
    one("warm-up", bare, 1);
    std::vector<double> t_rates, b_rates;
    uint32_t seq = 10;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            t_rates.push_back(one("tracked", tracked, ++seq));
            b_rates.push_back(one("bare", bare, ++seq));
        } else {
            b_rates.push_back(one("bare", bare, ++seq));
            t_rates.push_back(one("tracked", tracked, ++seq));
        }
    }
    stop = true;
    canceller.join();
    // Each run's two sides ran back to back: their ratio is less exposed to the machine's changing load.
    std::vector<double> pair_ratios;
    for (size_t i = 0; i < t_rates.size(); ++i)
        if (b_rates[i] > 0) pair_ratios.push_back(t_rates[i] / b_rates[i]);
    const Stats t = stats(t_rates), b = stats(b_rates);
    if (!pair_ratios.empty()) {
        const Stats p = stats(pair_ratios);
        std::printf("per-run ratio tracked / bare  min %.3f  median %.3f  max %.3f\n", p.min, p.median,
                    p.max);
    }
    std::printf("tracked  min %9.0f  median %9.0f  max %9.0f chunks/s\n", t.min, t.median, t.max);
    std::printf("bare     min %9.0f  median %9.0f  max %9.0f chunks/s\n", b.min, b.median, b.max);
    const double ratio = b.median > 0 ? t.median / b.median : 0.0;
    std::printf("tracked / bare (medians): %.3f (target at least 0.95: %s); %ld cancel walks of %d tasks\n",
                ratio, ratio >= 0.95 ? "met" : "NOT met", walks.load(), kOtherTasks + 1);

    for (client_file_task *o : others) {
        ppc_task_list_remove(ctx, o);
        client_file_task_free(o);
    }
    ppc_stop_Service(ctx);
    dev.stop();
    ppc_set_broker_address(nullptr);
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(cache);
    return ratio >= 0.95 ? 0 : 2;
}
