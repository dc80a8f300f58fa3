// Reading a device file through a runtime file handle against curl reading the same file from nginx:
//   ppc_fopen_v + ppc_fread_v in 64 KiB reads from the emulator   vs   curl GET from nginx to /dev/null
// Both sides discard the bytes. Every run is a process of its own timed from its start to its exit by the
// parent: a fork for the SDK (which starts its cipher and pool there, as curl starts its own), curl itself
// for the baseline. The emulator sends the file by sendfile() as nginx does; the servers' CPU per run is
// shown beside each row. Before the runs, one untimed read through the handle is compared with the file byte
// for byte. Size: QV_BENCH_MB (default 1024, or the largest power of two that fits the scratch directory, at
// least 16). Scratch: /dev/shm, else TMPDIR. Runs: QV_BENCH_RUNS a side (default 7), the sides taking turns
// and the order flipping every pair. Every run is printed, then min/median/max and the per-pair ratios. Not
// run by ctest.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "bench_proc.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "device.h"
#include "handlers.h"
#include "handlers_download.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "runtime/ppc_vfile.h"

namespace fs = std::filesystem;
using namespace benchproc;

namespace {
constexpr const char *kDevAddr = "127.0.0.96";
constexpr const char *kWebAddr = "127.0.0.97";
constexpr size_t kReadSize = 64 * 1024;

template <class Fn>
Sample in_child(Fn fn) {
    const double t0 = now();
    pid_t pid = ::fork();
    if (pid == 0) {
        qv::set_log_enabled(false);
        qv_crypt_init();
        qv_net_connect_install();
        init_connect_pool();
        _exit(fn() == 0 ? 0 : 1);
    }
    return finish(pid, t0);
}

// Reads `bytes` of the device file through a handle in kReadSize reads; with `check`, compares each read
// with the local file. 0, or 1 on a short file, a failed read or a difference.
int read_through_handle(uint64_t bytes, const fs::path *check) {
    path_info p{"/big.bin", 1, 0};
    ppc_vfile *fp = ppc_fopen_v(&p, "rb", 5);
    if (fp == nullptr) return 1;
    std::vector<char> buf(kReadSize), want(kReadSize);
    const int local = check ? ::open(check->c_str(), O_RDONLY) : -1;
    uint64_t got = 0;
    int rc = 0;
    while (got < bytes) {
        const int n = ppc_fread_v(buf.data(), 1, std::min<uint64_t>(kReadSize, bytes - got), fp);
        if (n <= 0) {
            rc = 1;
            break;
        }
        if (check && (::pread(local, want.data(), static_cast<size_t>(n), static_cast<off_t>(got)) != n ||
                      std::memcmp(buf.data(), want.data(), static_cast<size_t>(n)) != 0)) {
            rc = 1;
            break;
        }
        got += static_cast<uint64_t>(n);
    }
    if (local >= 0) ::close(local);
    ppc_fclose_v(fp);
    return rc;
}

void summary(double mib, const Side &side) {
    std::vector<double> speed, cpu, srv;
    long rss = 0;
    int failed = 0;
    for (const Sample &r : side.runs) {
        speed.push_back(mbps(mib, r.wall));
        cpu.push_back(r.cpu);
        srv.push_back(r.srv_cpu);
        rss = std::max(rss, r.rss_kb);
        if (r.rc != 0) ++failed;
    }
    std::sort(speed.begin(), speed.end());
    std::printf(
        "%-26s MB/s min %8.1f  median %8.1f  max %8.1f | CPU s/GiB %6.3f  server CPU s/GiB %6.3f | peak RSS "
        "%6.1f MiB%s\n",
        side.name.c_str(), speed.front(), median(speed), speed.back(), median(cpu) / (mib / 1024.0),
        median(srv) / (mib / 1024.0), static_cast<double>(rss) / 1024.0, failed ? "  (FAILED RUNS)" : "");
}

uint64_t size_mib(const fs::path &scratch) {
    if (const char *e = std::getenv("QV_BENCH_MB"))
        if (uint64_t v = std::strtoull(e, nullptr, 10)) return v;
    struct statvfs vs {};
    ::statvfs(scratch.c_str(), &vs);
    const uint64_t avail = static_cast<uint64_t>(vs.f_bavail) * vs.f_frsize >> 20;
    uint64_t mib = 1024;
    while (mib > 16 && mib + 64 > avail) mib /= 2;
    return mib;
}
}  // namespace

int main() {
    ::signal(SIGPIPE, SIG_IGN);
    fs::path scratch = "/dev/shm";
    {
        std::error_code ec;
        if (!fs::is_directory(scratch, ec) || ::access(scratch.c_str(), W_OK) != 0)
            scratch = fs::temp_directory_path();
    }
    unsigned runs = 7;
    if (const char *e = std::getenv("QV_BENCH_RUNS"))
        runs = static_cast<unsigned>(std::strtoul(e, nullptr, 10));
    if (runs == 0) runs = 1;
    if (!have_program("nginx") || !have_program("curl")) {
        std::fprintf(stderr, "bench_remote_read needs nginx and curl (scripts/install-deps)\n");
        return 1;
    }
    const uint64_t mib = size_mib(scratch);
    const uint64_t bytes = mib << 20;
    const fs::path base = scratch / ("qv_bench_remote_read_" + std::to_string(::getpid()));
    fs::remove_all(base);
    const fs::path dev_root = base / "device", www = base / "www";
    for (auto &d : {dev_root, www, base / "nginx"}) fs::create_directories(d);
    const fs::path src = dev_root / "big.bin";
    make_file(src, bytes);
    fs::create_hard_link(src, www / "big.bin");

    qv::set_log_enabled(false);
    qvemu::Device dev(dev_root.string(), kDevAddr, 0);
    auto script = std::make_shared<qvemu::DownloadScript>();
    script->use_sendfile = true;  // served as nginx serves it: the emulator must not be the bottleneck
    qvemu::install_download_handler(dev, script);
    if (!dev.start()) {
        std::fprintf(stderr, "emulator: %s\n", dev.last_error().c_str());
        return 1;
    }
    qv_set_device_port(dev.port());
    qv_connect_pool_set_port(dev.port());
    qv_frame_set_current_device(kDevAddr);

    const int web_port = free_port(kWebAddr);
    pid_t web = ::fork();
    if (web == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const fs::path conf = base / "nginx" / "nginx.conf";
        std::ofstream(conf)
            << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << (base / "nginx/pid").string()
            << ";\nerror_log " << (base / "nginx/error.log").string()
            << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  sendfile on;\n"
            << "  server {\n    listen " << kWebAddr << ":" << web_port << ";\n    root " << www.string()
            << ";\n  }\n}\n";
        ::execlp("nginx", "nginx", "-p", (base / "nginx").c_str(), "-c", conf.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 100 && !port_open(kWebAddr, web_port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string url = "http://" + std::string(kWebAddr) + ":" + std::to_string(web_port) + "/big.bin";
    std::printf(
        "%llu MiB in %s; reads of %zu KiB; baseline nginx (master_process off, sendfile on) on %s; %u "
        "runs a side\n",
        static_cast<unsigned long long>(mib), base.c_str(), kReadSize / 1024, url.c_str(), runs);

    const Sample check = in_child([&] { return read_through_handle(bytes, &src); });
    std::printf("content through the handle identical to the file: %s\n\n", check.rc == 0 ? "yes" : "NO");

    Side sdk{"ppc_fread_v 64 KiB",
             [&] {
                 const double c0 = self_cpu();
                 Sample s = in_child([&] { return read_through_handle(bytes, nullptr); });
                 s.srv_cpu = self_cpu() - c0;
                 return s;
             },
             {}};
    Side curl{"curl GET (nginx)",
              [&] {
                  const double c0 = proc_cpu(web);
                  Sample s = run_tool({"curl", "-sf", "-o", "/dev/null", url});
                  s.srv_cpu = proc_cpu(web) - c0;
                  return s;
              },
              {}};
    const double m = static_cast<double>(mib);
    for (unsigned i = 0; i < runs; ++i) {
        std::vector<Side *> order = {&sdk, &curl};
        if (i % 2 == 1) std::reverse(order.begin(), order.end());
        for (Side *side : order) {
            Sample r = side->run();
            side->runs.push_back(r);
            std::printf(
                "  run %u  %-22s %8.1f MB/s %7.3f s  CPU %6.3f s  server CPU %6.3f s  RSS %6.1f MiB  rc %d\n",
                i + 1, side->name.c_str(), mbps(m, r.wall), r.wall, r.cpu, r.srv_cpu,
                static_cast<double>(r.rss_kb) / 1024.0, r.rc);
        }
    }
    summary(m, sdk);
    summary(m, curl);
    std::vector<double> ratio;
    std::printf("SDK / curl per pair:");
    for (size_t i = 0; i < sdk.runs.size(); ++i) {
        if (sdk.runs[i].rc != 0 || curl.runs[i].rc != 0) {
            std::printf(" fail");
            continue;
        }
        ratio.push_back(curl.runs[i].wall / sdk.runs[i].wall);
        std::printf(" %.2f", ratio.back());
    }
    if (ratio.empty()) {
        std::printf("  -> not compared\n");
    } else {
        std::sort(ratio.begin(), ratio.end());
        const double med = median(ratio);
        std::printf("  -> min %.2fx median %.2fx max %.2fx (target >= 0.90x MB/s: %s)\n", ratio.front(), med,
                    ratio.back(), med >= 0.9 ? "met" : "MISSED");
    }

    ::kill(web, SIGTERM);
    ::waitpid(web, nullptr, 0);
    dev.stop();
    fs::remove_all(base);
    return check.rc == 0 ? 0 : 1;
}
