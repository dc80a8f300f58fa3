// Transfer throughput of the SDK against plain tools, side by side in one run:
//   download  QV_FileDownload from the emulator      vs  curl GET from nginx
//   upload    QV_FileUpload to the emulator          vs  curl PUT to nginx (DAV, written to disk)
//   check     QV_GetRelaxUploadAuthValue             vs  md5sum
// Each measured side runs in a child process of its own (a fork for the SDK, the tool itself for the
// baseline), so the CPU time and peak RSS are that side's alone; the emulator and nginx are not counted.
// Size: QV_BENCH_MB (default 1024; 256 when the scratch directory lacks room). Scratch: /dev/shm, else
// TMPDIR. Each side runs QV_BENCH_RUNS times (default 3), the two sides taking turns; the run of median
// time is reported, so one slow run on a busy machine does not decide the ratio. Without nginx the baseline server is `python3 -m http.server` (downloads only).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

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
#include <utility>
#include <vector>

#include "base/client_file_task.h"
#include "command/download_process.h"
#include "command/file_upload.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/relax_upload.h"
#include "device.h"
#include "handlers.h"
#include "handlers_download.h"
#include "command/qv_net_connect.h"
#include "link/connect_pool.h"
#include "base/qv_log.h"
#include "link/qvcrypt.h"

namespace fs = std::filesystem;

namespace {
constexpr const char *kDevAddr = "127.0.0.93";
constexpr const char *kWebAddr = "127.0.0.94";

struct Sample {
    double wall = 0;   // seconds
    double cpu = 0;    // user + system seconds
    long rss_kb = 0;   // peak RSS
    int rc = -1;
};

// The run of median wall time.
Sample median_of(std::vector<Sample> runs) {
    std::sort(runs.begin(), runs.end(), [](const Sample &a, const Sample &b) { return a.wall < b.wall; });
    Sample m = runs[runs.size() / 2];
    for (const Sample &r : runs)
        if (r.rc != 0) m.rc = r.rc;  // any failed run shows
    return m;
}

// Runs `sdk` and `base` `n` times each, taking turns.
template <class A, class B>
std::pair<Sample, Sample> alternate(unsigned n, A sdk, B base) {
    std::vector<Sample> a, b;
    for (unsigned i = 0; i < n; ++i) {
        a.push_back(sdk());
        b.push_back(base());
    }
    return {median_of(std::move(a)), median_of(std::move(b))};
}

double cpu_of(const rusage &ru) {
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs `fn` in a forked child; its own CPU time and peak RSS come back through a pipe.
template <class Fn>
Sample in_child(Fn fn) {
    int p[2];
    if (::pipe(p) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        qv::set_log_enabled(false);
        qv_crypt_init();
        qv_net_connect_install();
        init_connect_pool();
        Sample s;
        const double t0 = now();
        s.rc = fn();
        s.wall = now() - t0;
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        s.cpu = cpu_of(ru);
        s.rss_kb = ru.ru_maxrss;
        if (::write(p[1], &s, sizeof s) != static_cast<ssize_t>(sizeof s)) _exit(2);
        _exit(0);
    }
    ::close(p[1]);
    Sample s;
    if (::read(p[0], &s, sizeof s) != static_cast<ssize_t>(sizeof s)) s.rc = -2;
    ::close(p[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    return s;
}

// Runs a program; wall time and the child's CPU time and peak RSS.
Sample run_tool(std::vector<std::string> argv) {
    std::vector<char *> av;
    for (auto &a : argv) av.push_back(a.data());
    av.push_back(nullptr);
    const double t0 = now();
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execvp(av[0], av.data());
        _exit(127);
    }
    int st = 0;
    rusage ru{};
    ::wait4(pid, &st, 0, &ru);
    Sample s;
    s.wall = now() - t0;
    s.cpu = cpu_of(ru);
    s.rss_kb = ru.ru_maxrss;
    s.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return s;
}

int free_port(const char *addr) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr, &sa.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

bool port_open(const char *addr, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, addr, &sa.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

bool have_program(const char *name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

void make_file(const fs::path &p, uint64_t bytes) {
    std::ofstream out(p, std::ios::binary);
    std::vector<uint64_t> buf(1 << 17);  // 1 MiB
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (uint64_t done = 0; done < bytes; done += buf.size() * 8) {
        for (auto &w : buf) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            w = x;
        }
        out.write(reinterpret_cast<const char *>(buf.data()),
                  static_cast<std::streamsize>(std::min<uint64_t>(bytes - done, buf.size() * 8)));
    }
}

bool same_file(const fs::path &a, const fs::path &b) {
    return std::system(("cmp -s '" + a.string() + "' '" + b.string() + "'").c_str()) == 0;
}

void row(const char *what, const char *side, const Sample &s, double mib) {
    std::printf("%-9s %-22s %10.1f MB/s %8.3f CPU s/GiB %8.1f MiB peak RSS  (%.3f s, rc %d)\n", what, side,
                mib / s.wall * 1.048576, s.cpu / (mib / 1024.0), static_cast<double>(s.rss_kb) / 1024.0, s.wall,
                s.rc);
}

void ratio(const char *what, const Sample &sdk, const Sample &base, double target) {
    const double r = base.wall / sdk.wall;
    if (sdk.rc != 0 || base.rc != 0) {
        std::printf("%-9s SDK/baseline: not compared, a side failed (SDK rc %d, baseline rc %d)\n", what, sdk.rc,
                    base.rc);
        return;
    }
    std::printf("%-9s SDK/baseline: speed %.2fx (target >= %.2fx: %s), CPU %.2fx, RSS %.2fx\n", what, r, target,
                r >= target ? "met" : "MISSED", sdk.cpu / base.cpu,
                static_cast<double>(sdk.rss_kb) / static_cast<double>(base.rss_kb));
}
}  // namespace

int main() {
    ::signal(SIGPIPE, SIG_IGN);
    fs::path scratch = "/dev/shm";
    {
        std::error_code ec;
        if (!fs::is_directory(scratch, ec) || ::access(scratch.c_str(), W_OK) != 0) scratch = fs::temp_directory_path();
    }
    uint64_t mib = 1024;
    if (const char *e = std::getenv("QV_BENCH_MB")) mib = std::strtoull(e, nullptr, 10);
    if (mib == 0) mib = 1;
    unsigned runs = 3;
    if (const char *e = std::getenv("QV_BENCH_RUNS")) runs = static_cast<unsigned>(std::strtoul(e, nullptr, 10));
    if (runs == 0) runs = 1;
    struct statvfs vs {};
    ::statvfs(scratch.c_str(), &vs);
    const uint64_t avail_mib = static_cast<uint64_t>(vs.f_bavail) * vs.f_frsize >> 20;
    if (avail_mib < mib * 3 + 64) {  // source, a copy, a nginx temp body
        std::printf("note: %s has %llu MiB free; using 256 MiB\n", scratch.c_str(),
                    static_cast<unsigned long long>(avail_mib));
        mib = 256;
    }
    const uint64_t bytes = mib << 20;
    const fs::path base = scratch / ("qv_bench_transfer_" + std::to_string(::getpid()));
    fs::remove_all(base);
    const fs::path dev_root = base / "device", local = base / "local", www = base / "www";
    for (auto &d : {dev_root, local, www / "up", base / "nginx"}) fs::create_directories(d);
    const fs::path src = dev_root / "big.bin";
    make_file(src, bytes);
    fs::create_hard_link(src, www / "big.bin");
    std::printf("file: %llu MiB in %s; %u runs a side, median reported\n", static_cast<unsigned long long>(mib),
                base.c_str(), runs);

    qv::set_log_enabled(false);
    qvemu::Device dev(dev_root.string(), kDevAddr, 0);
    auto script = std::make_shared<qvemu::DownloadScript>();
    script->block = 1 << 20;  // large writes: the emulator must not be the bottleneck
    qvemu::install_download_handler(dev, script);
    if (!dev.start()) {
        std::fprintf(stderr, "emulator: %s\n", dev.last_error().c_str());
        return 1;
    }
    qv_set_device_port(dev.port());
    qv_frame_set_current_device(kDevAddr);
    {
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        std::printf("emulator process RSS before the transfers (not counted in the SDK rows): %.1f MiB\n", ru.ru_maxrss / 1024.0);
    }

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
            std::ofstream(conf) << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << (base / "nginx/pid").string()
                                << ";\nerror_log " << (base / "nginx/error.log").string()
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
    for (int i = 0; i < 100 && !port_open(kWebAddr, web_port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string url = "http://" + std::string(kWebAddr) + ":" + std::to_string(web_port);
    std::printf("baseline server: %s on %s\n\n", nginx ? "nginx (master_process off, sendfile on)" : "python3 -m http.server",
                url.c_str());
    const double m = static_cast<double>(mib);

    // Download.
    bool dl_ok = true, curl_dl_ok = true;
    auto [sdk_dl, curl_dl] = alternate(
        runs,
        [&] {
            Sample r = in_child([&] {
                client_file_task *t = client_file_task_new();
                t->token = 5;
                path_info p{"/big.bin", 1, 0};
                int rc = QV_FileDownload(local.c_str(), &p, t);
                client_file_task_free(t);
                return rc;
            });
            dl_ok = dl_ok && same_file(src, local / "big.bin");
            fs::remove_all(local);
            fs::create_directories(local);
            return r;
        },
        [&] {
            Sample r = run_tool({"curl", "-sf", "-o", (local / "curl.bin").string(), url + "/big.bin"});
            curl_dl_ok = curl_dl_ok && same_file(src, local / "curl.bin");
            fs::remove_all(local);
            fs::create_directories(local);
            return r;
        });
    row("download", "QV_FileDownload", sdk_dl, m);
    row("download", "curl GET", curl_dl, m);
    ratio("download", sdk_dl, curl_dl, 0.9);
    std::printf("          content identical: SDK %s, curl %s\n\n", dl_ok ? "yes" : "NO", curl_dl_ok ? "yes" : "NO");

    // Upload: the source lives outside the device root for the SDK side.
    const fs::path up_src = local / "up.bin";
    fs::create_hard_link(src, up_src);
    bool up_ok = true, curl_up_ok = true;
    auto sdk_upload = [&] {
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
    };
    if (nginx) {
        auto [sdk_up, curl_up] = alternate(runs, sdk_upload, [&] {
            Sample r = run_tool({"curl", "-sf", "-T", up_src.string(), url + "/up/big.bin"});
            curl_up_ok = curl_up_ok && same_file(src, www / "up" / "big.bin");
            fs::remove_all(www / "up");
            return r;
        });
        row("upload", "QV_FileUpload", sdk_up, m);
        row("upload", "curl PUT (nginx DAV)", curl_up, m);
        ratio("upload", sdk_up, curl_up, 0.9);
        std::printf("          content identical: SDK %s, curl %s\n\n", up_ok ? "yes" : "NO", curl_up_ok ? "yes" : "NO");
    } else {
        row("upload", "QV_FileUpload", sdk_upload(), m);
        std::printf("          content identical: SDK %s (no PUT-capable baseline without nginx)\n\n", up_ok ? "yes" : "NO");
    }

    // Check value.
    char value[QV_AUTH_VALUE_SIZE] = {};
    auto [sdk_ck, md5] = alternate(
        runs, [&] { return in_child([&] { return QV_GetRelaxUploadAuthValue(up_src.c_str(), "md5", value, nullptr); }); },
        [&] { return run_tool({"md5sum", up_src.string()}); });
    row("check", "QV_GetRelaxUpload...", sdk_ck, m);
    row("check", "md5sum", md5, m);
    ratio("check", sdk_ck, md5, 0.95);

    ::kill(web, SIGTERM);
    ::waitpid(web, nullptr, 0);
    dev.stop();
    fs::remove_all(base);
    return 0;
}
