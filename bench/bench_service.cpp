// Service start/stop pairs in a private network namespace (needs root: discovery's ports are fixed), with a
// local mosquitto up and with the broker refused, beside a bare messaging pair that shares none of our code:
// a Paho async client created, connected (or refused), disconnected and destroyed. The sides alternate pair
// by pair. Prints every pair, then min/median/max with p50/p99 of each side, and the threads and descriptors
// left after the pairs. Target: the SDK's p99 at most 100 ms above the bare pair's.
//
// Usage: bench_service [pairs (100)]
#include <MQTTAsync.h>
#include <dirent.h>
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
#include <string>
#include <thread>
#include <vector>

#include "../tests/netns_util.h"
#include "base/qv_log.h"
#include "messaging/mqtt_testbed_test.h"
#include "runtime/ppc_service.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

size_t count_dir(const char *path) {
    size_t n = 0;
    DIR *d = opendir(path);
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

std::string g_cache_dir;

// One SDK pair: ms, or -1 when the start failed or (with the broker up) ran without messaging.
double sdk_pair(bool broker_up) {
    int32_t err = 0;
    const auto t0 = Clock::now();
    ppc_router_task *ctx =
        ppc_start_Service(g_cache_dir.c_str(), nullptr, nullptr, nullptr, "127.0.0.1", &err);
    if (ctx == nullptr) return -1;
    const bool messaging = ctx->msgs_context != nullptr;
    if (ppc_stop_Service(ctx) != 0) return -1;
    const double ms = ms_since(t0);
    return messaging == broker_up ? ms : -1;
}

// The bare pair: Paho's async client straight, waiting for each outcome as the SDK does.
struct Outcome {
    std::atomic<int> state{0};  // 1 success, 2 failure
};
void on_ok(void *c, MQTTAsync_successData *) {
    static_cast<Outcome *>(c)->state = 1;
}
void on_fail(void *c, MQTTAsync_failureData *) {
    static_cast<Outcome *>(c)->state = 2;
}
void wait_outcome(const Outcome &o) {
    while (o.state.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

double bare_pair(const std::string &uri, bool broker_up, int i) {
    const auto t0 = Clock::now();
    MQTTAsync client = nullptr;
    const std::string id = "bare_" + std::to_string(getpid()) + "_" + std::to_string(i);
    if (MQTTAsync_create(&client, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS)
        return -1;
    Outcome conn;
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 120;
    o.cleansession = 1;
    o.username = "tester";
    o.password = "tester";
    o.onSuccess = on_ok;
    o.onFailure = on_fail;
    o.context = &conn;
    if (MQTTAsync_connect(client, &o) != MQTTASYNC_SUCCESS) conn.state = 2;
    wait_outcome(conn);
    if (conn.state == 1) {
        Outcome disc;
        MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
        d.onSuccess = on_ok;
        d.onFailure = on_fail;
        d.context = &disc;
        if (MQTTAsync_disconnect(client, &d) != MQTTASYNC_SUCCESS) disc.state = 2;
        wait_outcome(disc);
    }
    MQTTAsync_destroy(&client);
    const double ms = ms_since(t0);
    return (conn.state == 1) == broker_up ? ms : -1;
}

struct Stats {
    double min, p50, p99, max;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {v.front(), v[n / 2], v[std::min(n - 1, (n * 99 + 99) / 100 - 1)], v.back()};
}

void series(const char *title, const std::string &broker_uri, const std::string &bare_uri, bool broker_up,
            int pairs) {
    std::printf("== %s\n", title);
    ppc_set_broker_address(broker_uri.c_str());
    sdk_pair(broker_up);  // first-use allocations (libraries, loggers) out of the counts
    bare_pair(bare_uri, broker_up, -1);
    const size_t tasks0 = count_dir("/proc/self/task"), fds0 = count_dir("/proc/self/fd");
    std::vector<double> sdk, bare;
    int failed = 0;
    for (int i = 0; i < pairs; ++i) {
        double a, b;
        if (i % 2 == 0) {
            a = sdk_pair(broker_up);
            b = bare_pair(bare_uri, broker_up, i);
        } else {
            b = bare_pair(bare_uri, broker_up, i);
            a = sdk_pair(broker_up);
        }
        std::printf("pair %3d (%s first)  sdk %8.3f ms  bare %8.3f ms\n", i, i % 2 == 0 ? "sdk" : "bare", a,
                    b);
        if (a < 0 || b < 0) {
            ++failed;
            continue;
        }
        sdk.push_back(a);
        bare.push_back(b);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // threads on their way out
    const size_t tasks1 = count_dir("/proc/self/task"), fds1 = count_dir("/proc/self/fd");
    if (sdk.empty()) {
        std::printf("no pair succeeded\n");
        return;
    }
    const Stats s = stats(sdk), b = stats(bare);
    std::printf("sdk   min %8.3f  median %8.3f  max %8.3f  p50 %8.3f  p99 %8.3f ms\n", s.min, s.p50, s.max,
                s.p50, s.p99);
    std::printf("bare  min %8.3f  median %8.3f  max %8.3f  p50 %8.3f  p99 %8.3f ms\n", b.min, b.p50, b.max,
                b.p50, b.p99);
    std::printf("p99 sdk - bare: %.3f ms (target at most 100 ms: %s); median ratio %.2f; failed pairs %d\n",
                s.p99 - b.p99, s.p99 - b.p99 <= 100 ? "met" : "MISSED", s.p50 / b.p50, failed);
    std::printf("threads %zu -> %zu, descriptors %zu -> %zu\n", tasks0, tasks1, fds0, fds1);
}

}  // namespace

int main(int argc, char **argv) {
    if (!qvtest::enter_private_netns().empty()) {
        std::printf("bench_service: needs a private network namespace (root); skipped\n");
        return 0;
    }
    qv::set_log_enabled(false);
    MQTTAsync_setTraceLevel(MQTTASYNC_TRACE_FATAL);
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    char tmpl[] = "/tmp/qvbench-svc-XXXXXX";
    g_cache_dir = mkdtemp(tmpl);
    {
        mqtt_tb::Broker broker;
        if (!broker.ready()) {
            std::printf("mosquitto did not start\n");
            return 1;
        }
        const std::string uri = "127.0.0.1:" + std::to_string(broker.plain());
        series("broker up (mosquitto on loopback)", uri, "tcp://" + uri, true, pairs);
    }
    const int refused = mqtt_tb::free_port();
    const std::string uri = "127.0.0.1:" + std::to_string(refused);
    series("broker refused (nothing listens)", uri, "tcp://" + uri, false, pairs);
    ppc_set_broker_address(nullptr);
    std::filesystem::remove_all(g_cache_dir);
    return 0;
}
