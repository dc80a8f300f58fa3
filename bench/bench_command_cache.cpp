// The command cache on disk. 1: folder listing latency for pages of 50, 500 and 5000 entries through the
// whole SDK path, (a) answered from the cache, (b) missed and stored, (c) with the cache off, next to a
// bare client that sends the same request bytes over one plain kept-alive socket (shares none of the
// cache's code). The sides alternate within every run; each run prints its p50 and p99, then min/median/
// max of the run p50s and the ratios to (c). 2: 1, 4 and 16 threads listing the same or distinct keys:
// throughput and the lookups that missed because the cache mutex was busy. 3: 10^3 to 10^5 keys: lookup
// and store p50, file size, rebuild time.
//
// Usage: bench_command_cache [runs (5)] [calls per side per run (200)] [cache folder (under /var/tmp)]
//        [page sizes ("50,500,5000")] [parts ("latency,threads,scale")]
// The cache folder must be on disk (not tmpfs): the store cost includes the file system.
// Freed memory stays in the process, as in bench_listing_decode: with glibc's default a 500-entry page's
// JSON tree (about 1 MiB, allocated and freed by every call) is handed back to the kernel and faulted in
// again on each call, which costs more than the parse itself on every side, the in-process emulator
// included. QV_BENCH_DEFAULT_HEAP=1 keeps glibc's default to show that cost.
#include <json-c/json.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "codec/file_process.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "device.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/msg.h"
#include "link/qvcrypt.h"
#include "runtime/command_cache.h"
#include "runtime/ppc_qv_command_cache.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char *kAddr = "127.0.0.72";
std::atomic<bool> g_alive{true};

bool provider(int64_t, int, qv_cache_peer *out) {
    out->alive = g_alive.load();
    out->sign = "bench-sign";
    out->device = "bench-device";
    return true;
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double pct(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

struct BareRequest {
    std::string block;
    std::string body;
};

BareRequest build_bare(int64_t token, path_info *p, int length) {
    client_info ci{};
    ci.cmd = 101;
    ci.token = token;
    ci.srcPathInfo = p;
    ci.length = length;
    if (file_process(&ci) != 0) std::abort();
    char *enc = nullptr;
    int32_t enc_len = 0;
    qv_crypt_encrypt(ci.retstr, static_cast<int32_t>(std::strlen(ci.retstr)), &enc, &enc_len);
    BareRequest r;
    r.body.assign(enc, static_cast<size_t>(enc_len));
    r.block =
        "POST / HTTP/1.1\r\nContent-Type: application/json\r\nTimeout: 20000\r\nEncrypt: "
        "aes\r\nContent-Length: " +
        std::to_string(enc_len) + "\r\nHost: " + kAddr + "\r\nUser-Agent: qvhttp/1.0\r\n\r\n";
    std::free(enc);
    std::free(ci.retstr);
    std::free(ci.cacheKey);
    return r;
}

bool bare_exchange(int fd, const BareRequest &req) {
    if (QV_MsgSend(fd, req.block.data(), static_cast<uint32_t>(req.block.size())) != 0) return false;
    if (::send(fd, req.body.data(), req.body.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.body.size()))
        return false;
    char *head = nullptr;
    const uint32_t wait = 20000;
    if (QV_MsgReceive(fd, &head, &wait) <= 0) return false;
    const char *cl = strcasestr(head, "Content-Length:");
    const long len = cl ? std::strtol(cl + 15, nullptr, 10) : 0;
    std::free(head);
    std::string body(static_cast<size_t>(len), '\0');
    size_t got = 0;
    while (got < body.size()) {
        const ssize_t n = ::recv(fd, body.data() + got, body.size() - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool list(path_info *p, int expect, int64_t token) {
    file_list_page *page = nullptr;
    if (QV_FileGetList(p, 0, expect, 0, &page, token) != 0) return false;
    const bool ok = page->count == expect;
    ppc_destory_file_list(page->list);
    std::free(page);
    return ok;
}

void fail(const char *what) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
}

struct Series {
    const char *name;
    std::vector<double> run_p50, run_p99;
};

void summary(const Series &s, const Series *base) {
    std::vector<double> v = s.run_p50;
    std::sort(v.begin(), v.end());
    std::printf("  %-22s p50 over runs: min %8.3f  median %8.3f  max %8.3f ms", s.name, v.front(),
                v[v.size() / 2], v.back());
    if (base != nullptr) {
        std::vector<double> b = base->run_p50;
        std::sort(b.begin(), b.end());
        std::printf("   vs cache off: %.3fx", v[v.size() / 2] / b[b.size() / 2]);
    }
    std::printf("\n");
}

void latency(qvemu::Device &dev, const std::string &cache_dir, int64_t token, int entries, int runs,
             int calls) {
    static int serial = 0;
    const std::string folder = "/page" + std::to_string(entries) + "_" + std::to_string(serial++);
    fs::create_directories(dev.root() + folder);
    for (int i = 0; i < entries; ++i)
        std::ofstream(dev.root() + folder + "/f" + std::to_string(100000 + i) + ".jpg") << i;
    path_info p{folder.c_str(), 2, 0};
    const BareRequest bare = build_bare(token, &p, entries);
    int fd = QV_InetClientInit(AF_INET, dev.port(), SOCK_STREAM, kAddr);
    if (fd < 0) fail("bare connect");
    Series hit{"(a) hit", {}, {}}, miss{"(b) miss and store", {}, {}}, off{"(c) cache off", {}, {}},
        raw{"bare exchange", {}, {}};
    for (int i = 0; i < 10; ++i) list(&p, entries, token), bare_exchange(fd, bare);
    std::printf("\nlisting of %d entries, %d runs of %d calls a side\n", entries, runs, calls);
    for (int r = 0; r < runs; ++r) {
        std::vector<double> a, b, c, d, hit_cpu, miss_cpu, off_cpu;
        uint64_t hit_sent = 0;
        for (int i = 0; i < calls; ++i) {
            // (a): the row is there from the call before.
            g_alive = true;
            list(&p, entries, token);
            const uint64_t sent_before = dev.counters().requests_by_cmd[101];
            timespec c0{}, c1{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
            auto t0 = Clock::now();
            if (!list(&p, entries, token)) fail("hit");
            a.push_back(ms_since(t0));
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
            hit_cpu.push_back((c1.tv_sec - c0.tv_sec) * 1e3 + (c1.tv_nsec - c0.tv_nsec) / 1e6);
            hit_sent += dev.counters().requests_by_cmd[101] - sent_before;
            // (b) and (c) take turns at going first, so neither always follows the other's leftovers
            // (the writer's write of (b)'s reply runs on after (b) returns).
            auto miss = [&] {
                // (b): the rows dropped first (as after a change on the device), untimed.
                forget_command_cache(nullptr, token, 102);
                const double cpu0 = thread_cpu_ms();
                auto t = Clock::now();
                if (!list(&p, entries, token)) fail("miss");
                b.push_back(ms_since(t));
                miss_cpu.push_back(thread_cpu_ms() - cpu0);
            };
            auto off = [&] {
                g_alive = false;
                const double cpu0 = thread_cpu_ms();
                auto t = Clock::now();
                if (!list(&p, entries, token)) fail("off");
                c.push_back(ms_since(t));
                off_cpu.push_back(thread_cpu_ms() - cpu0);
                g_alive = true;
            };
            if (i % 2 == 0) {
                miss();
                off();
            } else {
                off();
                miss();
            }
            t0 = Clock::now();
            if (!bare_exchange(fd, bare)) fail("bare");
            d.push_back(ms_since(t0));
        }
        std::printf(
            "  run %d: hit p50 %.3f p99 %.3f | miss+store p50 %.3f p99 %.3f | off p50 %.3f p99 %.3f | bare "
            "p50 %.3f p99 %.3f ms; hits sent %llu\n",
            r + 1, pct(a, .5), pct(a, .99), pct(b, .5), pct(b, .99), pct(c, .5), pct(c, .99), pct(d, .5),
            pct(d, .99), static_cast<unsigned long long>(hit_sent));
        // CPU time of the calling thread: a hit waits for nothing, so wall time well above it is the
        // machine's load.
        std::printf("         caller's CPU time p50: hit %.3f | miss+store %.3f | off %.3f ms\n",
                    pct(hit_cpu, .5), pct(miss_cpu, .5), pct(off_cpu, .5));
        for (auto [s, v] : {std::pair{&hit, &a}, {&miss, &b}, {&off, &c}, {&raw, &d}}) {
            s->run_p50.push_back(pct(*v, .5));
            s->run_p99.push_back(pct(*v, .99));
        }
    }
    {
        // The hit's parts, each alone: the request and its key, the lookup, json-c's parse of the text
        // (no code of ours), the whole decode into the page, and the page's release.
        std::vector<double> build, put_back, lookup, parse, decode, release;
        size_t size = 0;
        // A row, then a repeat that keeps its decoded copy.
        g_alive = true;
        list(&p, entries, token);
        list(&p, entries, token);
        for (int i = 0; i < 50; ++i) {
            client_info ci{};
            ci.cmd = 101;
            ci.token = token;
            ci.srcPathInfo = &p;
            ci.length = entries;
            auto t0 = Clock::now();
            if (file_process(&ci) != 0) fail("build");
            build.push_back(ms_since(t0));
            {
                // The decoded copy put back into a request as QV_FileGetList prepares it.
                client_info held = ci;
                file_list_page kept{};
                held.file_list = &kept;
                t0 = Clock::now();
                if (apply_command_cache(ci.cacheKey, &held, token, 0) != 0 || kept.count != entries)
                    fail("put back");
                put_back.push_back(ms_since(t0));
                ppc_destory_file_list(kept.list);
            }
            char *out = nullptr;
            t0 = Clock::now();
            query_command_cache(ci.cacheKey, &out, token, 0);
            lookup.push_back(ms_since(t0));
            if (out == nullptr) fail("lookup");
            size = std::strlen(out);
            t0 = Clock::now();
            json_object_put(json_tokener_parse(out));
            parse.push_back(ms_since(t0));
            file_list_page page{};
            ci.file_list = &page;
            ci.recv_buf = out;
            t0 = Clock::now();
            if (file_parse_process(&ci) != 0 || page.count != entries) fail("decode");
            decode.push_back(ms_since(t0));
            t0 = Clock::now();
            ppc_destory_file_list(page.list);
            release.push_back(ms_since(t0));
            std::free(ci.recv_buf);
            std::free(ci.retstr);
            std::free(ci.cacheKey);
        }
        std::printf(
            "  the hit's parts (p50, text of %zu bytes): request and key %.3f | decoded copy put back %.3f "
            "|| "
            "the text path: lookup %.3f | json-c parse alone %.3f | parse and decode %.3f | page release "
            "%.3f "
            "ms\n",
            size, pct(build, .5), pct(put_back, .5), pct(lookup, .5), pct(parse, .5), pct(decode, .5),
            pct(release, .5));
    }
    {
        // The miss's own parts on the caller's thread: the lookup that finds nothing and the store of the
        // device's reply (the rows dropped before each, untimed). The decoded copy is kept by the first
        // repeat, which reads the row's text, not by the miss; its cost is shown apart.
        client_info ci{};
        ci.cmd = 101;
        ci.token = token;
        ci.srcPathInfo = &p;
        ci.length = entries;
        if (file_process(&ci) != 0) fail("build");
        char *text = nullptr;
        query_command_cache(ci.cacheKey, &text, token, 0);
        if (text == nullptr) fail("lookup");
        file_list_page decoded{};
        ci.file_list = &decoded;
        ci.recv_buf = strdup(text);
        if (file_parse_process(&ci) != 0) fail("decode");
        std::free(ci.recv_buf);
        ci.recv_buf = nullptr;
        std::vector<double> lookup, store, keep, written;
        for (int i = 0; i < 50; ++i) {
            forget_command_cache(nullptr, token, 102);
            QVDataCacheFlush();
            char *out = nullptr;
            auto t0 = Clock::now();
            query_command_cache(ci.cacheKey, &out, token, 0);
            lookup.push_back(ms_since(t0));
            if (out != nullptr) fail("miss");
            t0 = Clock::now();
            insert_command_cache(ci.cacheKey, text, token, 0);
            store.push_back(ms_since(t0));
            const auto stored = Clock::now();
            // Off the caller's path: until the writer has written the row.
            QVDataCacheFlush();
            written.push_back(ms_since(stored));
            t0 = Clock::now();
            keep_command_cache(ci.cacheKey, &ci, token, 0);
            keep.push_back(ms_since(t0));
        }
        ppc_destory_file_list(decoded.list);
        std::printf(
            "  the miss's parts on the caller (p50/p90/max): lookup %.3f/%.3f/%.3f | store taken "
            "%.3f/%.3f/%.3f | "
            "the writer's write after it %.3f/%.3f/%.3f ms; (the first repeat's) decoded copy kept "
            "%.3f/%.3f/%.3f "
            "ms\n",
            pct(lookup, .5), pct(lookup, .9), pct(lookup, 1), pct(store, .5), pct(store, .9), pct(store, 1),
            pct(written, .5), pct(written, .9), pct(written, 1), pct(keep, .5), pct(keep, .9), pct(keep, 1));
        std::free(text);
        std::free(ci.retstr);
        std::free(ci.cacheKey);
    }
    summary(hit, &off);
    summary(miss, &off);
    summary(off, nullptr);
    summary(raw, &off);
    ::close(fd);
    (void)cache_dir;
}

void threads(qvemu::Device &dev, int64_t token) {
    std::printf("\nthreads listing folders of 50 entries for 1 s\n");
    std::vector<std::string> folders;
    for (int k = 0; k < 16; ++k) {
        folders.push_back("/t" + std::to_string(k));
        fs::create_directories(dev.root() + folders.back());
        for (int i = 0; i < 50; ++i)
            std::ofstream(dev.root() + folders.back() + "/f" + std::to_string(i)) << i;
    }
    std::vector<path_info> paths;
    for (auto &f : folders) paths.push_back({f.c_str(), 2, 0});
    g_alive = true;
    for (auto &p : paths) list(&p, 50, token), list(&p, 50, token);  // every key cached
    for (bool distinct : {false, true}) {
        for (int n : {1, 4, 16}) {
            const uint64_t before = dev.counters().requests_by_cmd[101];
            std::atomic<bool> stop{false};
            std::atomic<uint64_t> done{0};
            std::vector<std::thread> ts;
            for (int t = 0; t < n; ++t) {
                ts.emplace_back([&, t] {
                    path_info *p = &paths[distinct ? static_cast<size_t>(t) : 0];
                    while (!stop) {
                        if (!list(p, 50, token)) fail("thread list");
                        done.fetch_add(1);
                    }
                });
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            stop = true;
            for (auto &t : ts) t.join();
            const uint64_t sent = dev.counters().requests_by_cmd[101] - before;
            std::printf(
                "  %-8s keys, %2d threads: %8llu listings/s, %6.2f%% missed for a busy cache (sent to the "
                "device)\n",
                distinct ? "distinct" : "same", n, static_cast<unsigned long long>(done.load()),
                100.0 * static_cast<double>(sent) / static_cast<double>(std::max<uint64_t>(1, done.load())));
        }
    }
}

void scale(const std::string &dir) {
    std::printf("\nstore scale (the cache calls alone; replies of 2 KiB)\n");
    const std::string value(2048, 'v');
    for (int keys : {1000, 10000, 100000}) {
        destroy_command_cache(dir.c_str());
        fs::remove_all(dir);
        if (init_command_cache(dir.c_str()) != 0) fail("init");
        std::vector<double> store, lookup;
        char *out = nullptr;
        for (int k = 0; k < keys; ++k) {
            const std::string key = "cmd: 101, para: {\"path\":\"/folder" + std::to_string(k) + "\"}";
            auto t0 = Clock::now();
            query_command_cache(key.c_str(), &out, 1, 0);
            std::free(out);
            out = nullptr;
            if (insert_command_cache(key.c_str(), value.c_str(), 1, 0) != 0) fail("store");
            QVDataCacheFlush();  // the writer's write included
            store.push_back(ms_since(t0));
        }
        for (int k = 0; k < 2000; ++k) {
            const std::string key =
                "cmd: 101, para: {\"path\":\"/folder" + std::to_string((k * 7919) % keys) + "\"}";
            auto t0 = Clock::now();
            query_command_cache(key.c_str(), &out, 1, 0);
            lookup.push_back(ms_since(t0));
            if (out == nullptr) fail("lookup");
            std::free(out);
            out = nullptr;
        }
        struct stat st {};
        ::stat((dir + "/cache.db").c_str(), &st);
        off_t wal = 0;
        struct stat sw {};
        if (::stat((dir + "/cache.db-wal").c_str(), &sw) == 0) wal = sw.st_size;
        auto t0 = Clock::now();
        if (QVDataCacheReset("another sign", CACHE_DB_USER) != 0) fail("rebuild");
        const double rebuild = ms_since(t0);
        std::printf(
            "  %6d keys: lookup p50 %.4f ms p99 %.4f ms | lookup+store (written) p50 %.4f ms p99 %.4f ms | "
            "file %.1f "
            "MiB "
            "(+ log %.1f MiB) | rebuild %.2f ms\n",
            keys, pct(lookup, .5), pct(lookup, .99), pct(store, .5), pct(store, .99),
            static_cast<double>(st.st_size) / 1048576.0, static_cast<double>(wal) / 1048576.0, rebuild);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int calls = argc > 2 ? std::atoi(argv[2]) : 200;
    const std::string cache_dir =
        argc > 3 ? argv[3] : "/var/tmp/bench_command_cache_" + std::to_string(::getpid());
    qv::set_log_enabled(false);
    const bool default_heap = std::getenv("QV_BENCH_DEFAULT_HEAP") != nullptr;
    if (!default_heap) {
        mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
        mallopt(M_TOP_PAD, 64 * 1024 * 1024);
        mallopt(M_MMAP_THRESHOLD, 512 * 1024 * 1024);
    }

    const std::string root = fs::temp_directory_path() / ("bench_cache_root_" + std::to_string(::getpid()));
    fs::create_directories(root);
    qvemu::Device dev(root, kAddr, 0);
    auto model = qvemu::install_device_user_handlers(dev);
    model->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert("bench"); });
    qvemu::ReplyOptions opts;
    opts.gzip = true;
    opts.cipher = true;
    dev.set_reply_options(101, opts);
    dev.set_strict(false);
    if (!dev.start()) {
        std::fprintf(stderr, "emulator: %s\n", dev.last_error().c_str());
        return 1;
    }
    qv_crypt_init();
    qv_connect_pool_set_port(dev.port());
    qv_set_device_port(dev.port());
    init_connect_pool();
    int64_t token = 0;
    if (QV_LoginVantor(kAddr, "bench", &token) != 0) fail("login");
    qv_set_command_cache_provider(provider);
    if (init_command_cache(cache_dir.c_str()) != 0) fail("cache init");
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    std::printf("cache folder %s, reply gzip + aes, device %s, heap %s, load average %s\n", cache_dir.c_str(),
                kAddr, default_heap ? "glibc default (trimmed)" : "kept", load.c_str());

    const std::string sizes = argc > 4 ? argv[4] : "50,500,5000";
    const std::string parts = argc > 5 ? argv[5] : "latency,threads,scale";
    if (parts.find("latency") != std::string::npos) {
        for (size_t at = 0; at < sizes.size();) {
            const int entries = std::atoi(sizes.c_str() + at);
            if (entries > 0)
                latency(dev, cache_dir, token, entries, runs, entries >= 5000 ? calls / 4 : calls);
            const size_t comma = sizes.find(',', at);
            at = comma == std::string::npos ? sizes.size() : comma + 1;
        }
    }
    if (parts.find("threads") != std::string::npos) threads(dev, token);
    if (parts.find("scale") != std::string::npos) scale(cache_dir);

    destroy_command_cache(cache_dir.c_str());
    fs::remove_all(cache_dir);
    destory_connect_pool();
    dev.stop();
    qv_crypt_release();
    fs::remove_all(root);
    return 0;
}
