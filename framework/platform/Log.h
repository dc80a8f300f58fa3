// The framework's log: one line per call, "[TAG][time][file:line][function][LEVEL] message", on standard
// output (time in UTC+8, as the SDK's lines); a capture seam lets tests read the lines instead.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>

namespace plat {

enum class LogLevel { Debug, Info, Error };

class Log final {
  public:
    Log() = delete;
    // Writes one line; thread-safe. `tag` is the module tag ("QV_CLIENT" for the bridge).
    static void write(LogLevel level, const char *tag, const char *file, int line, const char *func,
                      const QString &message);
    // Lines go to `sink` instead of standard output while it is set (empty function: back to output).
    static void setSink(std::function<void(const QString &)> sink);
    static void setEnabled(bool on);
    // Every line also goes to `sink` (besides the console or the capture) while it is set.
    static void setFileSink(std::function<void(const QString &)> sink);
};

// Collects every log line while it lives (tests).
class LogCapture final {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    QStringList lines() const;
    bool contains(const QString &text) const;

  private:
    struct State {
        std::mutex mu;
        QStringList lines;
    };
    std::shared_ptr<State> m_state;  // shared with the sink, which may still run on another thread
};

}  // namespace plat

#define PLAT_LOG(level, tag, msg) ::plat::Log::write(level, tag, __FILE__, __LINE__, __func__, msg)
#define QVF_LOG_DEBUG(msg) PLAT_LOG(::plat::LogLevel::Debug, "QV_FRAMEWORK", msg)
#define QVF_LOG_INFO(msg) PLAT_LOG(::plat::LogLevel::Info, "QV_FRAMEWORK", msg)
#define QVF_LOG_ERROR(msg) PLAT_LOG(::plat::LogLevel::Error, "QV_FRAMEWORK", msg)
// The bridge's lines, in the SDK's form and tag.
#define QVB_LOG_DEBUG(msg) PLAT_LOG(::plat::LogLevel::Debug, "QV_CLIENT", msg)
#define QVB_LOG_ERROR(msg) PLAT_LOG(::plat::LogLevel::Error, "QV_CLIENT", msg)
