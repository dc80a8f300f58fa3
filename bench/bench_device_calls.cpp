// Device management calls through the whole SDK path next to a bare client that sends the same request
// bytes over one plain kept-alive socket and reads the reply: 300 (password status), 176 (hidden space
// flag), 20 (device status) and a 210 recycle page. Then a 10,000-entry recycle restore: chunks per second
// through the SDK against a bare reader of the same streamed reply, and the latency from a cancel to the
// call's return. Sides alternate, every run is printed, then min/median/max.
//
// Usage: bench_device_calls [calls per run (1000)] [runs (3)] [restore entries (10000)]
#include <json-c/json.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/qv_log.h"
#include "codec/file_parse_list.h"
#include "codec/file_process.h"
#include "command/device_calls.h"
#include "command/net_transport.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "device.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/msg.h"
#include "link/qvcrypt.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char *kAddr = "127.0.0.71";

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

// The request bytes the SDK sends for `ci`: header frame and enciphered body.
struct BareRequest {
    std::string block, body;
};

BareRequest build_bare(client_info ci, int timeout_ms) {
    if (file_process(&ci) != 0) std::abort();
    char *enc = nullptr;
    int32_t enc_len = 0;
    qv_crypt_encrypt(ci.retstr, static_cast<int32_t>(std::strlen(ci.retstr)), &enc, &enc_len);
    BareRequest r;
    r.body.assign(enc, static_cast<size_t>(enc_len));
    r.block = "POST / HTTP/1.1\r\nContent-Type: application/json\r\nTimeout: " + std::to_string(timeout_ms) +
              "\r\nEncrypt: aes\r\nContent-Length: " + std::to_string(enc_len) + "\r\nHost: " + kAddr +
              "\r\nUser-Agent: qvhttp/1.0\r\n\r\n";
    std::free(enc);
    std::free(ci.retstr);
    std::free(ci.cacheKey);
    return r;
}

bool read_exact(int fd, char *p, size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool read_line(int fd, std::string &line) {
    line.clear();
    char c;
    while (read_exact(fd, &c, 1)) {
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
    return false;
}

// One exchange: header frame, body, reply header frame, then the body or the chunks. Counts chunks.
bool bare_exchange(int fd, const BareRequest &req, long *chunks = nullptr) {
    if (QV_MsgSend(fd, req.block.data(), static_cast<uint32_t>(req.block.size())) != 0) return false;
    if (::send(fd, req.body.data(), req.body.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.body.size()))
        return false;
    char *head = nullptr;
    const uint32_t wait = 60000;
    if (QV_MsgReceive(fd, &head, &wait) <= 0) return false;
    const bool chunked = strcasestr(head, "Transfer-Encoding: chunked") != nullptr;
    const char *cl = strcasestr(head, "Content-Length:");
    const long len = cl ? std::strtol(cl + 15, nullptr, 10) : 0;
    std::free(head);
    std::string buf;
    if (!chunked) {
        buf.resize(static_cast<size_t>(len));
        return read_exact(fd, buf.data(), buf.size());
    }
    std::string line;
    while (read_line(fd, line)) {
        const long n = std::strtol(line.c_str(), nullptr, 16);
        if (n == 0) return read_line(fd, line);
        buf.resize(static_cast<size_t>(n) + 2);
        if (!read_exact(fd, buf.data(), buf.size())) return false;
        if (chunks) ++*chunks;
    }
    return false;
}

void fill_bin(qvemu::AdminState &st, const std::string &root, int n) {
    std::lock_guard lk(st.mu);
    st.bin_dir = root + ".recycle";
    fs::create_directories(st.bin_dir);
    st.bin.clear();
    for (int i = 0; i < n; ++i) {
        qvemu::RecycleEntry e;
        e.key = i + 1;
        e.name = "f" + std::to_string(i);
        e.path = "/nowhere/" + e.name;  // restores go nowhere: the work is the bookkeeping
        e.stored = st.bin_dir + "/missing";
        st.bin.push_back(e);
    }
}

void print_runs(const char *name, const std::vector<double> &v, const char *unit) {
    std::printf("  %-28s", name);
    for (double x : v) std::printf(" %9.3f", x);
    std::printf("   min %.3f median %.3f max %.3f %s\n", *std::min_element(v.begin(), v.end()),
                quantile(v, 0.5), *std::max_element(v.begin(), v.end()), unit);
}

// The reply's decode on its own (no exchange): json-c's parse of the text, which is no code of ours, and
// the whole decode into the SDK's records, to show which share of a call's time goes to reading the page.
void decode_share(client_info ci, const char *addr, int port, int calls) {
    if (file_process(&ci) != 0) std::abort();
    const std::string url = "http://" + std::string(addr) + ":" + std::to_string(port);
    char *text = nullptr;
    uint64_t len = 0;
    if (qv_net_post(url.c_str(), ci.retstr, 20000, &text, &len, nullptr) != 0 || text == nullptr)
        std::abort();
    std::vector<double> parse, decode;
    for (int i = 0; i < calls; ++i) {
        auto t0 = Clock::now();
        json_object_put(json_tokener_parse(text));
        parse.push_back(ms_since(t0));
        client_info d = ci;
        d.retstr = nullptr;
        d.cacheKey = nullptr;
        d.recv_buf = text;
        t0 = Clock::now();
        if (file_parse_process(&d) != 0) std::abort();
        decode.push_back(ms_since(t0));
        ppc_free_resyscle_list(d.resyscleList);
    }
    std::printf("  reply of %zu bytes decoded alone: json-c parse p50 %.3f ms, whole decode p50 %.3f ms\n",
                std::strlen(text), quantile(parse, 0.5), quantile(decode, 0.5));
    std::free(text);
    std::free(ci.retstr);
    std::free(ci.cacheKey);
}

}  // namespace

int main(int argc, char **argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const int entries = argc > 3 ? std::atoi(argv[3]) : 10000;
    qv::set_log_enabled(false);

    const std::string root = fs::temp_directory_path() / ("bench_device_calls_" + std::to_string(::getpid()));
    fs::create_directories(root);
    qvemu::Device dev(root, kAddr, 0);
    auto model = qvemu::install_device_user_handlers(dev);
    model->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert("bench"); });
    auto st = qvemu::install_admin_handlers(dev);
    dev.set_strict(false);
    if (!dev.start()) {
        std::fprintf(stderr, "emulator: %s\n", dev.last_error().c_str());
        return 1;
    }
    qv_crypt_init();
    qv_connect_pool_set_port(dev.port());
    qv_set_device_port(dev.port());
    qv_net_connect_install();
    init_connect_pool();
    int64_t token = 0;
    if (QV_LoginVantor(kAddr, "bench", &token) != 0) return 1;
    {
        std::lock_guard lk(st->mu);
        for (int i = 0; i < 50; ++i) st->bin.push_back({i + 1, "n", "/p", "", 1, 0, 1, 1, 1});
    }

    struct Call {
        const char *name;
        int cmd;
        std::function<bool()> sdk;
    };
    const std::vector<Call> table = {
        {"300 password status", 300,
         [&] {
             int s;
             return QV_AdminGetPwdStatus(kAddr, &s, token) == 0;
         }},
        {"176 hidden space flag", 176,
         [&] {
             uint32_t f;
             return QV_HideSpaceIsEnable(&f, token) == 0;
         }},
        {"20 device status", 20,
         [&] {
             qv_dev_status s{};
             return QV_DGetDeviceStatus(&s, kAddr, token) == 0;
         }},
        {"210 recycle page of 50", 210,
         [&] {
             resyscle_list_info *l = nullptr;
             if (QV_ResyscleGetList(&l, 0, 50, token) != 0) return false;
             ppc_free_resyscle_list(l);
             return true;
         }},
    };
    int fd = QV_InetClientInit(AF_INET, dev.port(), SOCK_STREAM, kAddr);
    if (fd < 0) return 1;

    std::printf("device management calls, %d calls a run, %d runs, sides alternating (ms)\n", calls, runs);
    for (const Call &c : table) {
        client_info ci{};
        ci.cmd = c.cmd;
        ci.token = token;
        ci.length = c.cmd == 210 ? 50 : 0;
        const BareRequest bare = build_bare(ci, 20000);
        for (int i = 0; i < 20; ++i) c.sdk(), bare_exchange(fd, bare);  // warm-up
        std::vector<double> sdk50, sdk99, bare50, bare99, ratio;
        for (int r = 0; r < runs; ++r) {
            std::vector<double> a, b;
            for (int i = 0; i < calls; ++i) {
                auto t0 = Clock::now();
                if (!c.sdk()) return 2;
                a.push_back(ms_since(t0));
            }
            for (int i = 0; i < calls; ++i) {
                auto t0 = Clock::now();
                if (!bare_exchange(fd, bare)) return 3;
                b.push_back(ms_since(t0));
            }
            sdk50.push_back(quantile(a, 0.5));
            sdk99.push_back(quantile(a, 0.99));
            bare50.push_back(quantile(b, 0.5));
            bare99.push_back(quantile(b, 0.99));
            ratio.push_back(sdk50.back() / bare50.back());
        }
        std::printf("%s\n", c.name);
        print_runs("SDK p50", sdk50, "ms");
        print_runs("SDK p99", sdk99, "ms");
        print_runs("bare p50", bare50, "ms");
        print_runs("bare p99", bare99, "ms");
        print_runs("SDK/bare p50", ratio, "x (target <= 1.3)");
        if (c.cmd == 210) decode_share(ci, kAddr, dev.port(), calls);
    }

    // Restore throughput: the same 211 reply through the SDK and through the bare reader.
    std::vector<resyscle_dnode> nodes(static_cast<size_t>(entries));
    std::vector<resyscle_dnode *> ptrs;
    for (int i = 0; i < entries; ++i) {
        nodes[static_cast<size_t>(i)].key = i + 1;
        ptrs.push_back(&nodes[static_cast<size_t>(i)]);
    }
    ptrs.push_back(nullptr);
    resyscle_list_info list{};
    list.rDnode = ptrs.data();
    client_info rci{};
    rci.cmd = 211;
    rci.token = token;
    rci.resyscleList = &list;
    const BareRequest bare_restore = build_bare(rci, 60000);
    std::vector<double> sdk_rate, bare_rate, rate_ratio;
    for (int r = 0; r < runs; ++r) {
        fill_bin(*st, root, entries);
        client_file_task task{};
        task.token = token;
        task.fd = -1;
        auto t0 = Clock::now();
        if (QV_ResyscleRestoreList(&list, &task) != 0) return 4;
        sdk_rate.push_back((entries + 2) / (ms_since(t0) / 1000.0));
        fill_bin(*st, root, entries);
        long chunks = 0;
        t0 = Clock::now();
        if (!bare_exchange(fd, bare_restore, &chunks)) return 5;
        bare_rate.push_back(static_cast<double>(chunks) / (ms_since(t0) / 1000.0));
        rate_ratio.push_back(sdk_rate.back() / bare_rate.back());
    }
    std::printf("recycle restore of %d entries (chunks per second)\n", entries);
    print_runs("SDK", sdk_rate, "chunks/s");
    print_runs("bare reader", bare_rate, "chunks/s");
    print_runs("SDK/bare", rate_ratio, "x (target >= 0.8)");

    // Cancel latency: a cancel set from the chunk callback at a varying point; time to the call's return.
    struct Cancel {
        int at = 0, seen = 0;
        Clock::time_point when;
        static void cb(client_file_task *t) {
            auto *c = static_cast<Cancel *>(t->user_ctx);
            if (++c->seen == c->at) {
                c->when = Clock::now();
                t->cancel_status = -1;
            }
        }
    };
    std::vector<double> cancel_ms;
    for (int r = 0; r < 20 * runs; ++r) {
        fill_bin(*st, root, entries);
        Cancel c;
        c.at = 10 + (r * 37) % 500;
        client_file_task task{};
        task.token = token;
        task.fd = -1;
        task.chunk_cb = Cancel::cb;
        task.user_ctx = &c;
        if (QV_ResyscleRestoreList(&list, &task) != 20008) return 6;
        cancel_ms.push_back(ms_since(c.when));
    }
    std::printf(
        "cancel to return over %zu restores: p50 %.3f ms  p99 %.3f ms  max %.3f ms (target p99 <= 60)\n",
        cancel_ms.size(), quantile(cancel_ms, 0.5), quantile(cancel_ms, 0.99),
        *std::max_element(cancel_ms.begin(), cancel_ms.end()));

    ::close(fd);
    destory_connect_pool();
    dev.stop();
    qv_crypt_release();
    fs::remove_all(root);
    return 0;
}
