// Transfer throughput of the SDK against plain tools, side by side in one run:
//   download  QV_FileDownload from the emulator      vs  curl GET from nginx  vs  raw loopback copy
//   upload    QV_FileUpload to the emulator          vs  curl PUT to nginx (DAV, written to disk)  vs  raw
//   copy check     QV_GetRelaxUploadAuthValue             vs  md5sum
// Every measured side is a process of its own timed from its start to its exit by the parent: a fork for the
// SDK (which starts its cipher and pool there, as curl starts its own), the tool itself for the baselines,
// and a sendfile() sender with a 1 MiB recv()+write() receiver for the raw loopback copy, the physical
// anchor. The emulator serves downloads by sendfile() like nginx; the servers' CPU per run is shown next to
// each row. Sizes: QV_BENCH_MB, a comma list (default "64,1024"; a size without room in the scratch directory
// is skipped). Scratch: /dev/shm, else TMPDIR. Runs: QV_BENCH_RUNS a side (default 7), the sides taking turns
// and the order flipping every pair. Every run is printed, then min/median/max and the per-pair ratios.
// Without nginx the baseline server is `python3 -m http.server` (downloads only). Not run by ctest.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <utility>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "bench_proc.h"
#include "command/download_process.h"
#include "command/file_upload.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "command/relax_upload.h"
#include "device.h"
#include "handlers.h"
#include "handlers_download.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"

namespace fs = std::filesystem;
using namespace benchproc;

namespace {
constexpr const char *kDevAddr = "127.0.0.93";
constexpr const char *kWebAddr = "127.0.0.94";
constexpr const char *kRawAddr = "127.0.0.95";

// Runs `fn` in a forked child, timed from the fork to the child's exit; the child's own CPU time and peak RSS
// come from wait4().
template <class Fn>
Sample in_child(Fn fn) {
    const double t0 = now();
    pid_t pid = ::fork();
    if (pid == 0) {
        qv::set_log_enabled(false);
        qv_crypt_init();
        qv_net_connect_install();
        init_connect_pool();
        const int rc = fn();
        _exit(rc == 0 ? 0 : (rc & 0x7f) | 0x80);
    }
    return finish(pid, t0);
}

bool same_file(const fs::path &a, const fs::path &b) {
    return std::system(("cmp -s '" + a.string() + "' '" + b.string() + "'").c_str()) == 0;
}

// The raw loopback copy: a sendfile() sender and a receiver that reads 1 MiB at a time and writes it to
// `dst`, each a process, timed from the first fork to the last exit.
Sample raw_copy(const fs::path &src, const fs::path &dst, const char *addr) {
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr, &sa.sin_addr);
    socklen_t len = sizeof sa;
    if (::bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(lfd, 1) != 0 ||
        ::getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        ::close(lfd);
        return {};
    }
    const double t0 = now();
    pid_t sender = ::fork();
    if (sender == 0) {
        int c = ::accept(lfd, nullptr, nullptr);
        int f = ::open(src.c_str(), O_RDONLY);
        struct stat st {};
        if (c < 0 || f < 0 || ::fstat(f, &st) != 0) _exit(1);
        off_t off = 0;
        while (off < st.st_size)
            if (::sendfile(c, f, &off, static_cast<size_t>(st.st_size - off)) <= 0) _exit(1);
        _exit(0);
    }
    pid_t receiver = ::fork();
    if (receiver == 0) {
        int c = ::socket(AF_INET, SOCK_STREAM, 0);
        int f = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (c < 0 || f < 0 || ::connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) _exit(1);
        std::vector<char> buf(1 << 20);
        for (;;) {
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n == 0) break;
            if (n < 0 || ::write(f, buf.data(), static_cast<size_t>(n)) != n) _exit(1);
        }
        _exit(0);
    }
    ::close(lfd);
    Sample s;
    s.rc = 0;
    for (pid_t pid : {sender, receiver}) {
        int st = 0;
        rusage ru{};
        ::wait4(pid, &st, 0, &ru);
        s.cpu += cpu_of(ru);
        s.rss_kb = std::max(s.rss_kb, ru.ru_maxrss);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) s.rc = 1;
    }
    s.wall = now() - t0;
    return s;
}

// One side of a comparison: how to run it once, and its runs.
// Runs every side `n` times, taking turns, the order flipping every round; prints every run.
void series(const char *what, double mib, std::vector<Side *> sides, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        std::vector<Side *> order = sides;
        if (i % 2 == 1) std::reverse(order.begin(), order.end());
        for (Side *side : order) {
            Sample r = side->run();
            side->runs.push_back(r);
            std::printf(
                "  %-8s run %u  %-24s %8.1f MB/s %7.3f s  CPU %6.3f s  server CPU %6.3f s  RSS %6.1f MiB  "
                "rc %d\n",
                what, i + 1, side->name.c_str(), mbps(mib, r.wall), r.wall, r.cpu, r.srv_cpu,
                static_cast<double>(r.rss_kb) / 1024.0, r.rc);
        }
    }
}

void summary(const char *what, double mib, const Side &side) {
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
        "%-9s %-24s MB/s min %8.1f  median %8.1f  max %8.1f | CPU s/GiB %6.3f  server CPU s/GiB %6.3f | "
        "peak RSS %6.1f MiB%s\n",
        what, side.name.c_str(), speed.front(), median(speed), speed.back(), median(cpu) / (mib / 1024.0),
        median(srv) / (mib / 1024.0), static_cast<double>(rss) / 1024.0, failed ? "  (FAILED RUNS)" : "");
}

// Per-pair speed ratios of `sdk` over `base` (round i against round i), their median against the target.
void ratios(const char *what, const Side &sdk, const Side &base, double target) {
    std::vector<double> r;
    std::printf("%-9s SDK / %-22s per pair:", what, base.name.c_str());
    for (size_t i = 0; i < sdk.runs.size() && i < base.runs.size(); ++i) {
        if (sdk.runs[i].rc != 0 || base.runs[i].rc != 0) {
            std::printf(" fail");
            continue;
        }
        r.push_back(base.runs[i].wall / sdk.runs[i].wall);
        std::printf(" %.2f", r.back());
    }
    if (r.empty()) {
        std::printf("  -> not compared\n");
        return;
    }
    std::sort(r.begin(), r.end());
    const double m = median(r);
    std::printf("  -> min %.2fx median %.2fx max %.2fx (target >= %.2fx: %s)\n", r.front(), m, r.back(),
                target, m >= target ? "met" : "MISSED");
}

std::vector<uint64_t> sizes_mib() {
    std::vector<uint64_t> out;
    std::string list = "64,1024";
    if (const char *e = std::getenv("QV_BENCH_MB")) list = e;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        if (uint64_t v = std::strtoull(item.c_str(), nullptr, 10)) out.push_back(v);
    if (out.empty()) out.push_back(64);
    return out;
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
    const fs::path base = scratch / ("qv_bench_transfer_" + std::to_string(::getpid()));
    fs::remove_all(base);
    const fs::path dev_root = base / "device", local = base / "local", www = base / "www";
    for (auto &d : {dev_root, local, www / "up", base / "nginx"}) fs::create_directories(d);
    const fs::path src = dev_root / "big.bin";
    const fs::path up_src = local / "up.bin";

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
    qv_frame_set_current_device(kDevAddr);

    // The baseline server.
    const bool nginx = have_program("nginx");
    const int web_port = free_port(kWebAddr);
    pid_t web = ::fork();
    if (web == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (nginx) {
            const fs::path conf = base / "nginx" / "nginx.conf";
            std::ofstream(conf)
                << "daemon off;\nmaster_process off;\nworker_processes 1;\npid "
                << (base / "nginx/pid").string() << ";\nerror_log " << (base / "nginx/error.log").string()
                << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  sendfile on;\n"
                << "  client_body_temp_path " << (base / "nginx").string() << ";\n"
                << "  client_max_body_size 0;\n  client_body_buffer_size 1m;\n"
                << "  server {\n    listen " << kWebAddr << ":" << web_port << ";\n    root " << www.string()
                << ";\n    location /up/ { dav_methods PUT; create_full_put_path on; }\n  }\n}\n";
            ::execlp("nginx", "nginx", "-p", (base / "nginx").c_str(), "-c", conf.c_str(), nullptr);
        } else {
            ::execlp("python3", "python3", "-m", "http.server", "-b", kWebAddr, "-d", www.c_str(),
                     std::to_string(web_port).c_str(), nullptr);
        }
        _exit(127);
    }
    for (int i = 0; i < 100 && !port_open(kWebAddr, web_port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string url = "http://" + std::string(kWebAddr) + ":" + std::to_string(web_port);
    std::printf("baseline server: %s on %s; the emulator serves downloads by sendfile; %u runs a side\n",
                nginx ? "nginx (master_process off, sendfile on)" : "python3 -m http.server", url.c_str(),
                runs);

    // Server CPU of one run: the emulator's is this process's own, nginx's comes from /proc.
    auto emu_side = [](std::function<Sample()> fn) {
        return [fn] {
            const double c0 = self_cpu();
            Sample s = fn();
            s.srv_cpu = self_cpu() - c0;
            return s;
        };
    };
    auto web_side = [web](std::function<Sample()> fn) {
        return [fn, web] {
            const double c0 = proc_cpu(web);
            Sample s = fn();
            s.srv_cpu = proc_cpu(web) - c0;
            return s;
        };
    };

    for (const uint64_t mib : sizes_mib()) {
        struct statvfs vs {};
        ::statvfs(scratch.c_str(), &vs);
        const uint64_t avail_mib = static_cast<uint64_t>(vs.f_bavail) * vs.f_frsize >> 20;
        if (avail_mib < mib * 3 + 64) {  // source, a copy, a nginx temp body
            std::printf("\n%llu MiB: skipped, %s has %llu MiB free\n", static_cast<unsigned long long>(mib),
                        scratch.c_str(), static_cast<unsigned long long>(avail_mib));
            continue;
        }
        fs::remove(src);
        fs::remove(www / "big.bin");
        fs::remove(up_src);
        make_file(src, mib << 20);
        fs::create_hard_link(src, www / "big.bin");
        fs::create_hard_link(src, up_src);
        const double m = static_cast<double>(mib);
        std::printf("\n==== %llu MiB in %s\n", static_cast<unsigned long long>(mib), base.c_str());

        auto clean_local = [&] {
            for (const auto &e : fs::directory_iterator(local))
                if (e.path() != up_src) fs::remove_all(e.path());
        };
        bool dl_ok = true, curl_dl_ok = true, raw_ok = true;
        Side sdk_dl{"QV_FileDownload",
                    emu_side([&] {
                        Sample r = in_child([&] {
                            client_file_task *t = client_file_task_new();
                            t->token = 5;
                            path_info p{"/big.bin", 1, 0};
                            int rc = QV_FileDownload(local.c_str(), &p, t);
                            client_file_task_free(t);
                            return rc;
                        });
                        dl_ok = dl_ok && same_file(src, local / "big.bin");
                        clean_local();
                        return r;
                    }),
                    {}};
        Side curl_dl{
            "curl GET (nginx)",
            web_side([&] {
                Sample r = run_tool({"curl", "-sf", "-o", (local / "curl.bin").string(), url + "/big.bin"});
                curl_dl_ok = curl_dl_ok && same_file(src, local / "curl.bin");
                clean_local();
                return r;
            }),
            {}};
        Side raw{"raw loopback copy",
                 [&] {
                     Sample r = raw_copy(src, local / "raw.bin", kRawAddr);
                     raw_ok = raw_ok && same_file(src, local / "raw.bin");
                     clean_local();
                     return r;
                 },
                 {}};
        series("download", m, {&sdk_dl, &curl_dl, &raw}, runs);
        summary("download", m, sdk_dl);
        summary("download", m, curl_dl);
        summary("download", m, raw);
        ratios("download", sdk_dl, curl_dl, mib >= 1024 ? 1.0 : 0.9);
        ratios("download", sdk_dl, raw, 0.7);
        std::printf("          content identical: SDK %s, curl %s, raw %s\n\n", dl_ok ? "yes" : "NO",
                    curl_dl_ok ? "yes" : "NO", raw_ok ? "yes" : "NO");

        bool up_ok = true, curl_up_ok = true;
        Side sdk_up{"QV_FileUpload",
                    emu_side([&] {
                        fs::create_directories(dev_root / "up");
                        Sample r = in_child([&] {
                            client_file_task *t = client_file_task_new();
                            t->token = 5;
                            path_info target{"/up/big.bin", 1, 0};
                            int rc = QV_FileUpload(up_src.c_str(), &target, t);
                            client_file_task_free(t);
                            return rc;
                        });
                        up_ok = up_ok && same_file(src, dev_root / "up" / "big.bin");
                        fs::remove_all(dev_root / "up");
                        return r;
                    }),
                    {}};
        Side curl_up{"curl PUT (nginx DAV)",
                     web_side([&] {
                         Sample r = run_tool({"curl", "-sf", "-T", up_src.string(), url + "/up/big.bin"});
                         curl_up_ok = curl_up_ok && same_file(src, www / "up" / "big.bin");
                         fs::remove_all(www / "up");
                         return r;
                     }),
                     {}};
        Side raw_up{"raw loopback copy", raw.run, {}};
        if (nginx) {
            series("upload", m, {&sdk_up, &curl_up, &raw_up}, runs);
            summary("upload", m, sdk_up);
            summary("upload", m, curl_up);
            summary("upload", m, raw_up);
            ratios("upload", sdk_up, curl_up, mib >= 1024 ? 1.0 : 0.9);
            ratios("upload", sdk_up, raw_up, 0.7);
            std::printf("          content identical: SDK %s, curl %s\n\n", up_ok ? "yes" : "NO",
                        curl_up_ok ? "yes" : "NO");
        } else {
            series("upload", m, {&sdk_up}, runs);
            summary("upload", m, sdk_up);
            std::printf("          content identical: SDK %s (no PUT-capable baseline without nginx)\n\n",
                        up_ok ? "yes" : "NO");
        }

        char value[QV_AUTH_VALUE_SIZE] = {};
        Side sdk_ck{"QV_GetRelaxUploadAuth..",
                    [&] {
                        return in_child([&] {
                            return QV_GetRelaxUploadAuthValue(up_src.c_str(), "md5", value, nullptr);
                        });
                    },
                    {}};
        Side md5{"md5sum", [&] { return run_tool({"md5sum", up_src.string()}); }, {}};
        series("check", m, {&sdk_ck, &md5}, runs);
        summary("check", m, sdk_ck);
        summary("check", m, md5);
        ratios("check", sdk_ck, md5, 0.95);
    }

    ::kill(web, SIGTERM);
    ::waitpid(web, nullptr, 0);
    dev.stop();
    fs::remove_all(base);
    return 0;
}
