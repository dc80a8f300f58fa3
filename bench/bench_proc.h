// Timing of whole processes for the transfer benchmarks: a side's run is a child process timed from its fork
// to its exit, with its CPU time and peak RSS from wait4(); helpers for the local servers they run against.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace benchproc {

struct Sample {
    double wall = 0;     // seconds, process start to exit
    double cpu = 0;      // user + system seconds of the side's processes
    double srv_cpu = 0;  // user + system seconds of the server meanwhile (emulator or nginx)
    long rss_kb = 0;     // peak RSS
    int rc = -1;
};

inline double cpu_of(const rusage &ru) {
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits for `pid`, started at `t0`: wall time, its CPU time and peak RSS, its exit code.
inline Sample finish(pid_t pid, double t0) {
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

// Runs a program with its standard output on /dev/null.
inline Sample run_tool(std::vector<std::string> argv) {
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
    return finish(pid, t0);
}

inline int free_port(const char *addr) {
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

inline bool port_open(const char *addr, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, addr, &sa.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

inline bool have_program(const char *name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A file of `bytes` pseudo-random bytes (xorshift), written 1 MiB at a time.
inline void make_file(const std::filesystem::path &p, uint64_t bytes) {
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

// CPU seconds a process has used so far, from /proc (the nginx server).
inline double proc_cpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long ut = 0, st = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) ut = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) st = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(ut + st) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process (the emulator's threads; the children are not counted).
inline double self_cpu() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return cpu_of(ru);
}

struct Side {
    std::string name;
    std::function<Sample()> run;
    std::vector<Sample> runs;
};

inline double mbps(double mib, double wall) {
    return mib * 1.048576 / wall;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t k = v.size();
    return k == 0 ? 0 : (k % 2 ? v[k / 2] : (v[k / 2 - 1] + v[k / 2]) / 2);
}

}  // namespace benchproc
