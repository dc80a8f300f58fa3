// The device SDK's log line: "[QV_CLIENT][time][file:line][function][LEVEL] message" on standard output,
// time stamped in UTC+8.
#pragma once

#include <cstdarg>

namespace qv {
enum class LogLevel { Debug, Message, Error };

// Writes one line; thread-safe (one write per line). Printf-style format.
void log_line(LogLevel level, const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Formats the UTC+8 time stamp "%04d-%02d-%02d %02d:%02d:%02d.%06d" of a realtime instant.
void format_log_time(long long epoch_sec, long usec, char *out, unsigned out_size);

// Where lines go instead of standard output: `sink` gets each whole line (newline included) and must not
// log itself; null restores standard output.
using LogSink = void (*)(const char *line, unsigned long len, void *ctx);
void set_log_sink(LogSink sink, void *ctx);

// Mutes the log (tests that drive thousands of commands); the default is on.
void set_log_enabled(bool on);
}  // namespace qv

#define QV_LOG_DEBUG(...) ::qv::log_line(::qv::LogLevel::Debug, __FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_MSG(...) ::qv::log_line(::qv::LogLevel::Message, __FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_ERROR(...) ::qv::log_line(::qv::LogLevel::Error, __FILE__, __LINE__, __func__, __VA_ARGS__)
