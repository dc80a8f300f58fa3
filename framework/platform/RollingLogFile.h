// Log lines kept in files beside the console: a new file when the current one is older than the rolling
// period (on plat::Clock, so tests move it) or has reached its share of the quota; at most `maxFiles` files
// and `quotaBytes` bytes, the oldest deleted first. Thread-safe.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <mutex>

namespace plat {

class RollingLogFile final {
  public:
    struct Limits {
        int64_t rollingSeconds = 604800;
        int maxFiles = 10;
        int64_t quotaBytes = 10485760;
    };
    explicit RollingLogFile(QString folder, Limits limits);
    explicit RollingLogFile(QString folder) : RollingLogFile(std::move(folder), Limits{}) {}
    ~RollingLogFile();
    RollingLogFile(const RollingLogFile &) = delete;
    RollingLogFile &operator=(const RollingLogFile &) = delete;

    void write(const QString &line);
    // The log files, oldest first.
    QStringList files() const;
    QString currentFile() const;

  private:
    void openNew();
    void prune();
    QString m_folder;
    Limits m_limits;
    mutable std::mutex m_mu;
    QFile m_file;
    int64_t m_openedMs = 0;
    uint64_t m_serial = 0;
};

}  // namespace plat
