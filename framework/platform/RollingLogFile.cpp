#include "platform/RollingLogFile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

#include "platform/Clock.h"

namespace plat {

RollingLogFile::RollingLogFile(QString folder, Limits limits)
    : m_folder(std::move(folder)), m_limits(limits) {}

RollingLogFile::~RollingLogFile() = default;

QStringList RollingLogFile::files() const {
    // Names sort by opening time: stamp, then serial.
    const QStringList names =
        QDir(m_folder).entryList({QStringLiteral("qvnas-*.log")}, QDir::Files, QDir::Name);
    QStringList out;
    for (const QString &n : names) out.append(m_folder + QLatin1Char('/') + n);
    return out;
}

QString RollingLogFile::currentFile() const {
    std::lock_guard lock(m_mu);
    return m_file.fileName();
}

void RollingLogFile::openNew() {
    m_file.close();
    QDir().mkpath(m_folder);
    m_openedMs = Clock::nowMs();
    const QString stamp =
        QDateTime::fromMSecsSinceEpoch(m_openedMs, Qt::UTC).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name;
    do {
        name = QStringLiteral("%1/qvnas-%2-%3.log")
                   .arg(m_folder, stamp)
                   .arg(++m_serial, 6, 10, QLatin1Char('0'));
    } while (QFileInfo::exists(name));
    m_file.setFileName(name);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        std::fprintf(stderr, "log file %s cannot be opened\n", qPrintable(name));
    prune();
}

void RollingLogFile::prune() {
    QStringList all = files();
    int64_t total = 0;
    for (const QString &f : all) total += QFileInfo(f).size();
    const QString current = m_file.fileName();
    while (!all.isEmpty() && (all.size() > m_limits.maxFiles || total > m_limits.quotaBytes)) {
        const QString oldest = all.takeFirst();
        if (oldest == current) break;  // the file being written stays
        total -= QFileInfo(oldest).size();
        QFile::remove(oldest);
    }
}

void RollingLogFile::write(const QString &line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::lock_guard lock(m_mu);
    const int64_t perFile = m_limits.quotaBytes / std::max(1, m_limits.maxFiles);
    const bool aged = Clock::nowMs() - m_openedMs >= m_limits.rollingSeconds * 1000;
    // Each file keeps to its share of the quota, so the files kept stay within it.
    if (!m_file.isOpen() || aged || m_file.size() + bytes.size() > perFile) openNew();
    m_file.write(bytes);
    m_file.flush();
}

}  // namespace plat
