#include "platform/Log.h"

#include <QDateTime>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

std::mutex g_mu;
std::function<void(const QString &)> g_sink;
std::function<void(const QString &)> g_fileSink;
std::atomic<bool> g_enabled{true};

const char *levelText(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Info:
            return "INFO";
        case LogLevel::Error:
            return "ERROR";
    }
    return "DEBUG";
}

const char *baseName(const char *file) {
    const char *slash = std::strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

}  // namespace

void Log::write(LogLevel level, const char *tag, const char *file, int line, const char *func,
                const QString &message) {
    if (!g_enabled.load(std::memory_order_relaxed)) return;
    // UTC+8, as the SDK's lines: fixed arithmetic, so no thread touches the C library's time-zone state.
    const QString stamp =
        QDateTime::currentDateTimeUtc().addSecs(8 * 3600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    const QString text = QStringLiteral("[%1][%2][%3:%4][%5][%6] %7")
                             .arg(QLatin1String(tag), stamp, QLatin1String(baseName(file)))
                             .arg(line)
                             .arg(QLatin1String(func), QLatin1String(levelText(level)), message);
    std::function<void(const QString &)> sink;
    std::function<void(const QString &)> fileSink;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        sink = g_sink;
        fileSink = g_fileSink;
    }
    if (fileSink) fileSink(text);
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (!sink) {
            const QByteArray bytes = text.toUtf8() + '\n';
            std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
            std::fflush(stdout);
            return;
        }
    }
    sink(text);
}

void Log::setSink(std::function<void(const QString &)> sink) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_sink = std::move(sink);
}

void Log::setFileSink(std::function<void(const QString &)> sink) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_fileSink = std::move(sink);
}

void Log::setEnabled(bool on) {
    g_enabled.store(on);
}

LogCapture::LogCapture() : m_state(std::make_shared<State>()) {
    Log::setSink([state = m_state](const QString &line) {
        std::lock_guard<std::mutex> lock(state->mu);
        state->lines.append(line);
    });
}

LogCapture::~LogCapture() {
    Log::setSink({});
}

QStringList LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_state->mu);
    return m_state->lines;
}

bool LogCapture::contains(const QString &text) const {
    std::lock_guard<std::mutex> lock(m_state->mu);
    for (const QString &l : m_state->lines)
        if (l.contains(text)) return true;
    return false;
}

}  // namespace plat
