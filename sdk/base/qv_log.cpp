#include "base/qv_log.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace qv {
namespace {
std::atomic<bool> g_enabled{true};
std::atomic<bool> g_has_sink{false};
std::mutex g_sink_mu;
LogSink g_sink = nullptr;
void *g_sink_ctx = nullptr;

const char *level_name(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Message:
            return "MESSAGE";
        case LogLevel::Error:
            return "ERROR";
    }
    return "DEBUG";
}

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}
}  // namespace

void set_log_enabled(bool on) {
    g_enabled.store(on, std::memory_order_relaxed);
}

void set_log_sink(LogSink sink, void *ctx) {
    std::lock_guard lk(g_sink_mu);
    g_sink = sink;
    g_sink_ctx = ctx;
    g_has_sink.store(sink != nullptr);
}

void format_log_time(long long epoch_sec, long usec, char *out, unsigned out_size) {
    time_t shifted = static_cast<time_t>(epoch_sec + 8 * 3600);
    struct tm tmv;
    gmtime_r(&shifted, &tmv);
    std::snprintf(out, out_size, "%04d-%02d-%02d %02d:%02d:%02d.%06d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(usec));
}

void log_line(LogLevel level, const char *file, int line, const char *func, const char *fmt, ...) {
    if (!g_enabled.load(std::memory_order_relaxed)) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    char stamp[96];  // room for any year the compiler can imagine
    format_log_time(tv.tv_sec, tv.tv_usec, stamp, sizeof stamp);

    char buf[2048];
    int n = std::snprintf(buf, sizeof buf, "[%s][%s][%s:%d][%s][%s] ", "QV_CLIENT", stamp, base_name(file),
                          line, func, level_name(level));
    if (n < 0) return;
    size_t used = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(buf + used, sizeof buf - used, fmt, ap);
    va_end(ap);
    if (m > 0)
        used += static_cast<size_t>(m) < sizeof buf - used ? static_cast<size_t>(m) : sizeof buf - used - 1;
    if (used == 0 || buf[used - 1] != '\n') {
        if (used >= sizeof buf - 1) used = sizeof buf - 2;
        buf[used++] = '\n';
    }
    if (g_has_sink.load()) {
        std::lock_guard lk(g_sink_mu);
        if (g_sink != nullptr) {
            g_sink(buf, used, g_sink_ctx);
            return;
        }
    }
    // One write per line so that lines of different threads never interleave.
    ssize_t w = ::write(STDOUT_FILENO, buf, used);
    (void)w;
}
}  // namespace qv
