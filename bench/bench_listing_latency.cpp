// Latency of the folder listing (500 entries, reply gzipped and enciphered) through the whole SDK path (call,
// processor, pooled exchange, decode, parse) next to a bare client of its own: a plain TCP socket with Nagle
// off (as curl sets it), its own framing and cipher (the emulator's wire helpers; nothing of the SDK), which
// sends the same request and decodes the reply as any client must: inflate (zlib), decipher (OpenSSL), parse
// (json-c) and count the 500 entries. The two take turns exchange by exchange, the order flipping every pair.
// Modes:
//   device       the emulator walks the folder for every request;
//   fast device  the emulator answers from a reply recorded once (no directory walk, no gzip or cipher), so
//                the SDK's own cost is not hidden behind the device's.
// Back to back (the SDK on its pooled connection, the bare client on one kept socket), then spaced 150 ms
// apart in fast-device mode: the pool's 100 ms idle window closes the SDK's connection between commands, so
// each command pays a reconnect (connect and 175 open); the bare client then connects afresh for each
// exchange too. Prints p50/p99 for each side, the ratio of the p50s and the SDK's own cost (p50 of the
// per-pair SDK-minus-bare differences) in microseconds.
//
// Usage: bench_listing_latency [back-to-back count per mode (1000)] [spaced count (50)]
#include <arpa/inet.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "command/qv_net_connect.h"
#include "device.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "wire.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char *kAddr = "127.0.0.70";

struct Stats {
    double p50 = 0, p99 = 0, mean = 0;
};

Stats stats(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
    };
    return {at(0.50), at(0.99), sum / static_cast<double>(v.size())};
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The bare client: its own socket, framing and cipher.
class BareClient {
  public:
    BareClient(uint16_t port, int64_t token) : port_(port) {
        const std::string json =
            "{ \"data\": [ { \"path\": \"\\/photos\", \"srcUserId\": 2, \"srcBucketId\": 2, \"offset\": 0, "
            "\"length\": 500 } ], \"header\": { \"cmd\": 101, \"token\": " +
            std::to_string(token) + ", \"seq\": 0, \"error\": 0 } }";
        const std::string body = qvemu::encipher(json, qvemu::build_cipher_key());
        const std::string block =
            "POST / HTTP/1.1\r\nContent-Type: application/json\r\nTimeout: 20000\r\n"
            "Encrypt: aes\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n";
        request_ = qvemu::frame(block) + body;  // one write, as curl sends a small request
    }
    ~BareClient() { disconnect(); }

    bool connect() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        ::inet_pton(AF_INET, kAddr, &a.sin_addr);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            disconnect();
            return false;
        }
        return true;
    }
    void disconnect() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // One exchange on the kept socket (connected on first use); the reply's wire bytes in *wire when asked.
    bool exchange(std::string *wire = nullptr) {
        if (fd_ < 0 && !connect()) return false;
        if (!qvemu::send_all(fd_, request_)) return false;
        uint32_t len = 0;
        if (qvemu::recv_exact(fd_, &len, sizeof len) != sizeof len || len == 0 || len > (1u << 20))
            return false;
        std::string head(len, '\0');
        if (qvemu::recv_exact(fd_, head.data(), len) != len) return false;
        const char *cl = strcasestr(head.c_str(), "Content-Length:");
        const long n = cl ? std::strtol(cl + 15, nullptr, 10) : 0;
        body_.resize(static_cast<size_t>(n));
        if (qvemu::recv_exact(fd_, body_.data(), body_.size()) != body_.size()) return false;
        if (wire) *wire = qvemu::frame(head) + body_;
        return decode_counts_500();
    }

  private:
    // gzip member -> deciphered envelope -> parsed JSON with 500 entries in "data" "filelist".
    bool decode_counts_500() {
        z_stream z{};
        if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
        plain_.resize(std::max<size_t>(plain_.size(), body_.size() * 8 + 4096));
        z.next_in = reinterpret_cast<Bytef *>(body_.data());
        z.avail_in = static_cast<uInt>(body_.size());
        int rc = Z_OK;
        size_t out = 0;
        while (rc == Z_OK) {
            if (out == plain_.size()) plain_.resize(plain_.size() * 2);
            z.next_out = reinterpret_cast<Bytef *>(plain_.data() + out);
            z.avail_out = static_cast<uInt>(plain_.size() - out);
            rc = inflate(&z, Z_NO_FLUSH);
            out = plain_.size() - z.avail_out;
        }
        inflateEnd(&z);
        if (rc != Z_STREAM_END) return false;
        std::string text(plain_.data(), out);
        if (!qvemu::decipher(text, key_)) return false;
        json_object *root = json_tokener_parse(text.c_str());
        json_object *data = nullptr, *list = nullptr;
        const bool ok = root && json_object_object_get_ex(root, "data", &data) &&
                        json_object_object_get_ex(data, "filelist", &list) &&
                        json_object_array_length(list) == 500;
        if (root) json_object_put(root);
        return ok;
    }

    qvemu::CipherKey key_ = qvemu::build_cipher_key();
    std::string plain_;
    uint16_t port_;
    int fd_ = -1;
    std::string request_, body_;
};

struct Pairing {
    std::vector<double> sdk, bare, diff;
    uint64_t connects = 0, pool_opens = 0;
};

// `count` pairs, the sides taking turns and the order flipping every pair; `spacing_ms` before every
// exchange.
template <class S, class B>
Pairing pairs(qvemu::Device &dev, int count, int spacing_ms, S &&sdk_one, B &&bare_one) {
    const auto before = dev.counters();
    Pairing p;
    for (int i = 0; i < count; ++i) {
        double t[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const bool sdk_turn = (k == 0) == (i % 2 == 0);
            if (spacing_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(spacing_ms));
            const auto t0 = Clock::now();
            const bool ok = sdk_turn ? sdk_one() : bare_one();
            if (!ok) {
                std::fprintf(stderr, "%s exchange %d failed\n", sdk_turn ? "SDK" : "bare", i);
                std::exit(1);
            }
            t[sdk_turn ? 0 : 1] = ms_since(t0);
        }
        p.sdk.push_back(t[0]);
        p.bare.push_back(t[1]);
        p.diff.push_back(t[0] - t[1]);
    }
    const auto after = dev.counters();
    p.connects = after.connections_accepted - before.connections_accepted;
    p.pool_opens = after.pool_opens - before.pool_opens;
    return p;
}

void report(const char *title, const Pairing &p, double target) {
    const size_t n = p.sdk.size();
    std::printf("\n%s (n=%zu pairs)\n", title, n);
    if (n == 0) {
        std::printf("  nothing measured\n");
        return;
    }
    const Stats s = stats(p.sdk), b = stats(p.bare), d = stats(p.diff);
    std::printf("  SDK QV_FileGetList   p50 %8.3f ms  p99 %8.3f ms  mean %8.3f ms\n", s.p50, s.p99, s.mean);
    std::printf("  bare client          p50 %8.3f ms  p99 %8.3f ms  mean %8.3f ms\n", b.p50, b.p99, b.mean);
    std::printf(
        "  SDK p50 / bare p50: %.2fx (target <= %.1fx: %s); SDK minus bare per pair: p50 %.0f us, "
        "p99 %.0f us\n",
        s.p50 / b.p50, target, s.p50 / b.p50 <= target ? "met" : "MISSED", d.p50 * 1000, d.p99 * 1000);
    std::printf("  connections accepted %llu, 175 opens per SDK command %.3f\n",
                static_cast<unsigned long long>(p.connects),
                static_cast<double>(p.pool_opens) / static_cast<double>(n));
}

}  // namespace

int main(int argc, char **argv) {
    const int back_to_back = argc > 1 ? std::max(0, std::atoi(argv[1])) : 1000;
    const int spaced = argc > 2 ? std::max(0, std::atoi(argv[2])) : 50;
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
        if (QV_FileGetList(&path, 0, 500, 0, &page, token) != 0 || page == nullptr || page->count != 500)
            return false;
        ppc_destory_file_list(page->list);
        std::free(page);
        return true;
    };
    BareClient bare(dev.port(), token);
    auto bare_kept = [&] { return bare.exchange(); };
    auto bare_fresh = [&] {
        bare.disconnect();
        const bool ok = bare.exchange();
        bare.disconnect();
        return ok;
    };

    for (int i = 0; i < 20; ++i) sdk_one(), bare_kept();  // warm-up
    std::printf("folder page of 500 entries, reply gzip + aes, device %s\n", kAddr);
    report("device walks the folder, back to back", pairs(dev, back_to_back, 0, sdk_one, bare_kept), 1.2);

    // Fast device: the reply recorded once, then sent as it stands for every request.
    auto recorded = std::make_shared<std::string>();
    if (!bare.exchange(recorded.get())) return 1;
    dev.set_handler(101, [recorded](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.raw_writer = [recorded](int fd) { return qvemu::send_all(fd, *recorded); };
        return r;
    });
    for (int i = 0; i < 20; ++i) sdk_one(), bare_kept();
    report("fast device, back to back", pairs(dev, back_to_back, 0, sdk_one, bare_kept), 1.2);
    bare.disconnect();
    report("fast device, 150 ms apart (SDK reconnects through the pool, bare client connects afresh)",
           pairs(dev, spaced, 150, sdk_one, bare_fresh), 1.5);

    destory_connect_pool();
    dev.stop();
    qv_crypt_release();
    fs::remove_all(root);
    return 0;
}
