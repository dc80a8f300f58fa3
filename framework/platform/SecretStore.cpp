#include "platform/SecretStore.h"

#include <qt6keychain/keychain.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <future>

#include "platform/Log.h"

namespace plat {

namespace {
std::mutex g_sharedMutex;
std::shared_ptr<SecretStore> g_shared;
}  // namespace

SecretStore &SecretStore::shared() {
    std::lock_guard lock(g_sharedMutex);
    if (!g_shared) g_shared = std::make_shared<KeychainSecretStore>(QStringLiteral("qvnas"));
    return *g_shared;
}

void SecretStore::setShared(std::shared_ptr<SecretStore> store) {
    std::lock_guard lock(g_sharedMutex);
    g_shared = std::move(store);
}

// --- memory ---

bool InMemorySecretStore::save(const QString &key, const QByteArray &value) {
    std::lock_guard lock(m_mutex);
    m_items.insert(key, value);
    return true;
}

std::optional<QByteArray> InMemorySecretStore::load(const QString &key) {
    std::lock_guard lock(m_mutex);
    const auto it = m_items.constFind(key);
    if (it == m_items.constEnd()) return std::nullopt;
    return *it;
}

bool InMemorySecretStore::remove(const QString &key) {
    std::lock_guard lock(m_mutex);
    m_items.remove(key);
    return true;
}

// --- files ---

FileSecretStore::FileSecretStore(QString folder) : m_folder(std::move(folder)) {}

QString FileSecretStore::pathForKey(const QString &key) const {
    const QString folder =
        m_folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/secrets"
                           : m_folder;
    return folder + QLatin1Char('/') + QString::fromLatin1(key.toUtf8().toHex());
}

bool FileSecretStore::ensureFolder() const {
    const QString folder = QFileInfo(pathForKey(QStringLiteral("x"))).path();
    if (!QDir().mkpath(folder)) return false;
    return ::chmod(QFile::encodeName(folder).constData(), 0700) == 0;
}

bool FileSecretStore::save(const QString &key, const QByteArray &value) {
    std::lock_guard lock(m_mutex);
    if (!ensureFolder()) return false;
    QSaveFile f(pathForKey(key));
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);  // before anything is written out
    f.write(value);
    return f.commit();
}

std::optional<QByteArray> FileSecretStore::load(const QString &key) {
    std::lock_guard lock(m_mutex);
    QFile f(pathForKey(key));
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return f.readAll();
}

bool FileSecretStore::remove(const QString &key) {
    std::lock_guard lock(m_mutex);
    const QString p = pathForKey(key);
    return !QFile::exists(p) || QFile::remove(p);
}

// --- keyring ---

// One thread with its own event loop runs every keychain job of the process; callers wait on a future. One
// for all stores: the keyring library keeps process-wide state that jobs on two threads trip over. It
// lives until the process ends.
struct KeychainSecretStore::Worker {
    QThread thread;
    QObject context;
    Worker() {
        thread.setObjectName(QStringLiteral("qv-keychain"));
        context.moveToThread(&thread);
        thread.start();
    }
    static Worker &shared() {
        static auto *const w = new Worker;  // never destroyed
        return *w;
    }
};

namespace {

struct JobResult {
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
};

enum class Op { Write, Read, Delete };

}  // namespace

KeychainSecretStore::KeychainSecretStore(QString service, int timeoutMs, QString fileFolder)
    : m_service(std::move(service)),
      m_timeoutMs(timeoutMs),
      m_worker(&Worker::shared()),
      m_files(std::move(fileFolder)) {}

KeychainSecretStore::~KeychainSecretStore() = default;

namespace {

// Runs one job on the worker; nullopt when it did not finish in time.
std::optional<JobResult> runJob(QObject *context, const QString &service, Op op, const QString &key,
                                const QByteArray &value, int timeoutMs) {
    auto promise = std::make_shared<std::promise<JobResult>>();
    std::future<JobResult> done = promise->get_future();
    QMetaObject::invokeMethod(
        context,
        [promise, service, op, key, value] {
            QKeychain::Job *job = nullptr;
            if (op == Op::Write) {
                auto *w = new QKeychain::WritePasswordJob(service);
                w->setBinaryData(value);
                job = w;
            } else if (op == Op::Read) {
                job = new QKeychain::ReadPasswordJob(service);
            } else {
                job = new QKeychain::DeletePasswordJob(service);
            }
            job->setKey(key);
            job->setAutoDelete(true);
            QObject::connect(job, &QKeychain::Job::finished, [promise, op](QKeychain::Job *j) {
                JobResult r;
                r.error = j->error();
                if (op == Op::Read && r.error == QKeychain::NoError)
                    r.data = static_cast<QKeychain::ReadPasswordJob *>(j)->binaryData();
                promise->set_value(r);
            });
            job->start();
        },
        Qt::QueuedConnection);
    if (done.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) return std::nullopt;
    return done.get();
}

bool unusable(const std::optional<JobResult> &r) {
    return !r || r->error == QKeychain::NoBackendAvailable || r->error == QKeychain::OtherError;
}

}  // namespace

bool KeychainSecretStore::save(const QString &key, const QByteArray &value) {
    if (!m_fallback.load()) {
        const auto r = runJob(&m_worker->context, m_service, Op::Write, key, value, m_timeoutMs);
        if (!unusable(r)) return r->error == QKeychain::NoError;
        Log::write(LogLevel::Error, "QV_APP", __FILE__, __LINE__, __func__,
                   QStringLiteral("keyring unusable, secrets go to files from now on"));
        m_fallback = true;
    }
    return m_files.save(key, value);
}

std::optional<QByteArray> KeychainSecretStore::load(const QString &key) {
    if (!m_fallback.load()) {
        const auto r = runJob(&m_worker->context, m_service, Op::Read, key, {}, m_timeoutMs);
        if (!unusable(r)) {
            if (r->error == QKeychain::NoError) return r->data;
            // Saved while the keyring was unusable (an earlier session): the file still holds it.
            return r->error == QKeychain::EntryNotFound ? m_files.load(key) : std::nullopt;
        }
        Log::write(LogLevel::Error, "QV_APP", __FILE__, __LINE__, __func__,
                   QStringLiteral("keyring unusable, secrets go to files from now on"));
        m_fallback = true;
    }
    return m_files.load(key);
}

bool KeychainSecretStore::remove(const QString &key) {
    if (!m_fallback.load()) {
        const auto r = runJob(&m_worker->context, m_service, Op::Delete, key, {}, m_timeoutMs);
        if (!unusable(r)) {
            const bool removed = r->error == QKeychain::NoError || r->error == QKeychain::EntryNotFound;
            return m_files.remove(key) && removed;  // a copy from a fallback session goes too
        }
        m_fallback = true;
    }
    return m_files.remove(key);
}

}  // namespace plat
