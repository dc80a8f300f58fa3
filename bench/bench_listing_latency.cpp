// Latency of the folder listing (500 entries, reply gzipped and enciphered) through the whole SDK path
// (call, processor, pooled exchange, decode, parse) next to a bare client that sends the same request
// bytes over one plain kept-alive socket and reads the reply body. Back to back and spaced 150 ms apart.
//
// Usage: bench_listing_latency [back-to-back count (1000)] [spaced count (100)]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/file_process.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "device.h"
#include "handlers_device_user.h"
#include "command/qv_net_connect.h"
#include "link/connect_pool.h"
#include "link/msg.h"
#include "base/qv_log.h"
#include "link/qvcrypt.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char *kAddr = "127.0.0.70";

struct Stats {
    double p50, p99, mean;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]; };
    return {at(0.50), at(0.99), sum / static_cast<double>(v.size())};
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The request bytes the SDK sends for the listing: header frame and enciphered body.
struct BareRequest {
    std::string block;
    std::string body;
};

BareRequest build_bare(int64_t token) {
    static path_info p{"/photos", 2, 0};
    client_info ci{};
    ci.cmd = 101;
    ci.token = token;
    ci.srcPathInfo = &p;
    ci.offset = 0;
    ci.length = 500;
    if (file_process(&ci) != 0) std::abort();
    char *enc = nullptr;
    int32_t enc_len = 0;
    qv_crypt_encrypt(ci.retstr, static_cast<int32_t>(std::strlen(ci.retstr)), &enc, &enc_len);
    BareRequest r;
    r.body.assign(enc, static_cast<size_t>(enc_len));
    r.block = "POST / HTTP/1.1\r\nContent-Type: application/json\r\nTimeout: 20000\r\nEncrypt: aes\r\nContent-Length: " +
              std::to_string(enc_len) + "\r\nHost: " + kAddr + "\r\nUser-Agent: qvhttp/1.0\r\n\r\n";
    std::free(enc);
    std::free(ci.retstr);
    std::free(ci.cacheKey);
    return r;
}

// One exchange on the bare socket: the header frame, the body, the reply header frame, the reply body.
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

struct Run {
    Stats s;
    uint64_t connects, pool_opens, requests;
};

template <class F>
Run measure(qvemu::Device &dev, int count, int spacing_ms, F &&one) {
    const auto before = dev.counters();
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (spacing_ms > 0 && i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(spacing_ms));
        const auto t0 = Clock::now();
        if (!one()) {
            std::fprintf(stderr, "exchange %d failed\n", i);
            std::exit(1);
        }
        lat.push_back(ms_since(t0));
    }
    const auto after = dev.counters();
    return {stats(lat), after.connections_accepted - before.connections_accepted,
            after.pool_opens - before.pool_opens, after.requests_http - before.requests_http};
}

void print(const char *name, int count, const Run &r) {
    std::printf("%-34s n=%5d  p50 %7.3f ms  p99 %7.3f ms  mean %7.3f ms  connects %4llu  175/cmd %.3f\n", name,
                count, r.s.p50, r.s.p99, r.s.mean, static_cast<unsigned long long>(r.connects),
                static_cast<double>(r.pool_opens) / count);
}

}  // namespace

int main(int argc, char **argv) {
    const int back_to_back = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int spaced = argc > 2 ? std::atoi(argv[2]) : 100;
    qv::set_log_enabled(false);

    const std::string root = fs::temp_directory_path() / ("bench_listing_" + std::to_string(::getpid()));
    fs::create_directories(root + "/photos");
    for (int i = 0; i < 500; ++i) std::ofstream(root + "/photos/f" + std::to_string(10000 + i) + ".jpg") << i;

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
    qv_net_connect_install();
    init_connect_pool();
    int64_t token = 0;
    if (QV_LoginVantor(kAddr, "bench", &token) != 0) return 1;

    path_info path{"/photos", 2, 0};
    auto sdk_one = [&] {
        file_list_page *page = nullptr;
        if (QV_FileGetList(&path, 0, 500, 0, &page, token) != 0 || page->count != 500) return false;
        ppc_destory_file_list(page->list);
        std::free(page);
        return true;
    };
    const BareRequest bare = build_bare(token);
    int fd = -1;
    auto bare_one = [&] {
        if (fd < 0) fd = QV_InetClientInit(AF_INET, dev.port(), SOCK_STREAM, kAddr);
        return fd >= 0 && bare_exchange(fd, bare);
    };

    for (int i = 0; i < 20; ++i) sdk_one(), bare_one();  // warm-up

    std::printf("folder page of 500 entries, reply gzip + aes, device %s\n", kAddr);
    const Run sdk_b2b = measure(dev, back_to_back, 0, sdk_one);
    const Run bare_b2b = measure(dev, back_to_back, 0, bare_one);
    print("SDK QV_FileGetList, back to back", back_to_back, sdk_b2b);
    print("bare socket exchange, back to back", back_to_back, bare_b2b);
    std::printf("SDK p50 / bare p50 back to back: %.2fx\n", sdk_b2b.s.p50 / bare_b2b.s.p50);

    const Run sdk_sp = measure(dev, spaced, 150, sdk_one);
    const Run bare_sp = measure(dev, spaced, 150, bare_one);
    print("SDK QV_FileGetList, 150 ms apart", spaced, sdk_sp);
    print("bare socket exchange, 150 ms apart", spaced, bare_sp);
    std::printf("SDK p50 / bare p50 spaced: %.2fx\n", sdk_sp.s.p50 / bare_sp.s.p50);

    if (fd >= 0) ::close(fd);
    destory_connect_pool();
    dev.stop();
    qv_crypt_release();
    fs::remove_all(root);
    return 0;
}
