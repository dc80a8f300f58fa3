// Messaging benchmarks against a local mosquitto, next to mosquitto_sub as the baseline that shares none of
// our code.
//
// 1. Dispatch latency: a publisher process sends N QoS-1 messages (default 10,000) carrying their send time;
//    a broadcast listener of a messaging context and mosquitto_sub (lines stamped on arrival) receive the
//    same messages in one run: p50 and p99 of each, their ratios, and any message lost. QV_BENCH_RUNS runs
//    (3).
// 2. Reconnect time over C cuts (default 20): the broker is made unreachable for 1 s through a forwarder in
//    front of each client, then accepted again; the time from then to the first delivery to the re-subscribed
//    listener, beside mosquitto_sub's own reconnect.
//
// Usage: bench_messaging [messages (10000)] [cuts (20)]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "messaging/mqtt_testbed_test.h"
#include "messaging/qvmsgs.h"

using namespace mqtt_tb;

namespace {

const char kTopic[] = "qv_tessera/bench/latency";

int64_t realtime_us() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Arrivals at the listener: (send time, arrival time) in µs, and steady-clock arrival of the latest one.
std::mutex g_mu;
std::vector<std::pair<int64_t, int64_t>> g_listener;
// The first arrival after g_armed_ns (steady clock), for the reconnect measurement.
std::atomic<int64_t> g_armed_ns{0}, g_first_ns{0};

void note_arrival(std::atomic<int64_t> &armed, std::atomic<int64_t> &first) {
    const int64_t now = Clock::now().time_since_epoch().count();
    int64_t zero = 0;
    if (armed != 0 && now > armed) first.compare_exchange_strong(zero, now);
}

void on_message(const char *, const char *services) {
    const int64_t now = realtime_us();
    note_arrival(g_armed_ns, g_first_ns);
    if (!services) return;
    std::lock_guard<std::mutex> lk(g_mu);
    g_listener.emplace_back(std::atoll(services), now);
}

// A child whose standard output is read line by line on a thread, each line stamped on arrival.
class LineReader {
  public:
    explicit LineReader(const std::vector<std::string> &argv) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            close_inherited();
            std::vector<char *> a;
            for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
            a.push_back(nullptr);
            execvp(a[0], a.data());
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
        thread_ = std::thread([this] { loop(); });
    }
    ~LineReader() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    std::vector<std::pair<std::string, int64_t>> lines() {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> lk(mu_);
        lines_.clear();
    }
    void arm(int64_t steady_ns) {
        first_ns_ = 0;
        armed_ns_ = steady_ns;
    }
    int64_t first_ns() const { return first_ns_; }
    size_t count() {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_.size();
    }

  private:
    void loop() {
        std::string part;
        char buf[65536];
        for (;;) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            const int64_t now = realtime_us();
            note_arrival(armed_ns_, first_ns_);
            part.append(buf, static_cast<size_t>(n));
            std::lock_guard<std::mutex> lk(mu_);
            for (size_t p; (p = part.find('\n')) != std::string::npos; part.erase(0, p + 1))
                lines_.emplace_back(part.substr(0, p), now);
        }
    }
    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::pair<std::string, int64_t>> lines_;
    std::atomic<int64_t> armed_ns_{0}, first_ns_{0};
};

std::vector<std::string> sub_argv(int port, const char *topic) {
    return {"stdbuf",
            "-oL",
            "mosquitto_sub",
            "-h",
            "127.0.0.1",
            "-p",
            std::to_string(port),
            "-u",
            "tester",
            "-P",
            "tester",
            "-q",
            "1",
            "-t",
            topic};
}

struct Pct {
    double p50, p99;
};

Pct percentiles(std::vector<double> v) {
    if (v.empty()) return {0, 0};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
    };
    return {at(0.50), at(0.99)};
}

void print_spread(const char *what, std::vector<double> v, const char *unit) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return;
    std::printf("  %-34s min %8.3f  median %8.3f  max %8.3f %s\n", what, v.front(), v[v.size() / 2], v.back(),
                unit);
}

void latency(int n, int runs) {
    Broker broker;
    if (!broker.ready()) {
        std::printf("broker did not start\n");
        return;
    }
    TempDir dir;
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(broker.plain()).c_str(), nullptr, 0, dir.path().c_str());
    if (!ctx || qvmsgs_add_broadcast_listener(ctx, kTopic, on_message) != 0) {
        std::printf("listener not set up\n");
        return;
    }
    LineReader sub(sub_argv(broker.plain(), kTopic));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // mosquitto_sub subscribed
    std::printf("dispatch latency, %d QoS-1 messages a run (ms)\n", n);
    std::vector<double> r50, r99;
    for (int run = 1; run <= runs; ++run) {
        {
            std::lock_guard<std::mutex> lk(g_mu);
            g_listener.clear();
        }
        sub.clear();
        // The publisher stamps each line as it writes it; mosquitto_pub -l publishes each line at once.
        const std::string gen =
            "import sys,time\nfor i in range(" + std::to_string(n) +
            "):\n    t=time.time_ns()//1000\n    sys.stdout.write('{\"services\":\"%d\"}\\n' % t)\n"
            "    sys.stdout.flush()\n    time.sleep(0.0002)\n";
        write_file(dir.file("gen.py"), gen);
        Proc pub({"sh", "-c",
                  "/usr/bin/python3 " + dir.file("gen.py") + " | mosquitto_pub -h 127.0.0.1 -p " +
                      std::to_string(broker.plain()) + " -u tester -P tester -q 1 -t " + kTopic + " -l"},
                 dir.file("pub.log"));
        pub.wait_exit(300000);
        wait_for(
            [&] {
                std::lock_guard<std::mutex> lk(g_mu);
                return static_cast<int>(g_listener.size()) >= n && static_cast<int>(sub.count()) >= n;
            },
            10000);
        std::vector<double> ours, base;
        {
            std::lock_guard<std::mutex> lk(g_mu);
            for (auto &[sent, got] : g_listener) ours.push_back(static_cast<double>(got - sent) / 1000.0);
        }
        for (auto &[line, got] : sub.lines()) {
            const size_t p = line.find("\"services\":\"");
            if (p != std::string::npos)
                base.push_back(static_cast<double>(got - std::atoll(line.c_str() + p + 12)) / 1000.0);
        }
        const Pct a = percentiles(ours), b = percentiles(base);
        std::printf(
            "  run %d: listener p50 %.3f p99 %.3f (%zu/%d) | mosquitto_sub p50 %.3f p99 %.3f (%zu/%d) | "
            "ratio p50 %.2f p99 %.2f\n",
            run, a.p50, a.p99, ours.size(), n, b.p50, b.p99, base.size(), n, b.p50 > 0 ? a.p50 / b.p50 : 0,
            b.p99 > 0 ? a.p99 / b.p99 : 0);
        r50.push_back(b.p50 > 0 ? a.p50 / b.p50 : 0);
        r99.push_back(b.p99 > 0 ? a.p99 / b.p99 : 0);
    }
    print_spread("p50 ratio listener/mosquitto_sub", r50, "(target <= 1.5)");
    print_spread("p99 ratio listener/mosquitto_sub", r99, "(target <= 2)");
    qvmsgs_destroy(ctx);
}

void reconnect(int cuts) {
    Broker broker;
    if (!broker.ready()) return;
    TempDir dir;
    Forwarder ours_fwd(broker.plain()), sub_fwd(broker.plain());
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(ours_fwd.port()).c_str(), nullptr, 0, dir.path().c_str());
    if (!ctx || qvmsgs_add_broadcast_listener(ctx, kTopic, on_message) != 0) return;
    LineReader sub(sub_argv(sub_fwd.port(), kTopic));
    Proc pub({"sh", "-c",
              "/usr/bin/python3 -u -c 'import time\nwhile True:\n    print(\"{}\");time.sleep(0.005)' | "
              "mosquitto_pub -h 127.0.0.1 -p " +
                  std::to_string(broker.plain()) + " -u tester -P tester -q 1 -t " + kTopic + " -l"},
             dir.file("pub.log"));
    // mosquitto_sub gives up when its first connect fails: let both hear the publisher first.
    wait_for([&] { return sub.count() > 0; }, 10000);
    std::printf("reconnect time over %d cuts: broker unreachable 1 s, then accepted again (s)\n", cuts);
    std::vector<double> ours_s, base_s;
    for (int i = 1; i <= cuts; ++i) {
        ours_fwd.refuse();
        sub_fwd.refuse();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto t0 = Clock::now();
        const int64_t t0_ns = t0.time_since_epoch().count();
        g_first_ns = 0;
        g_armed_ns = t0_ns;
        sub.arm(t0_ns);
        ours_fwd.accept_again();
        sub_fwd.accept_again();
        const bool a = wait_for([&] { return g_first_ns != 0; }, 20000);
        const bool b = wait_for([&] { return sub.first_ns() != 0; }, 20000);
        const double ta = static_cast<double>(g_first_ns - t0_ns) / 1e9;
        const double tb = static_cast<double>(sub.first_ns() - t0_ns) / 1e9;
        std::printf("  cut %2d: listener %s%.3f | mosquitto_sub %s%.3f\n", i, a ? "" : "(none) ", ta,
                    b ? "" : "(none) ", tb);
        if (a) ours_s.push_back(ta);
        if (b) base_s.push_back(tb);
    }
    print_spread("listener (target <= 2 s)", ours_s, "s");
    print_spread("mosquitto_sub", base_s, "s");
    qvmsgs_destroy(ctx);
}

}  // namespace

int main(int argc, char **argv) {
    qv::set_log_enabled(std::getenv("QV_BENCH_LOG") != nullptr);
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int cuts = argc > 2 ? std::atoi(argv[2]) : 20;
    const int runs = std::getenv("QV_BENCH_RUNS") ? std::atoi(std::getenv("QV_BENCH_RUNS")) : 3;
    if (n > 0) latency(n, runs);
    reconnect(cuts);
    return 0;
}
