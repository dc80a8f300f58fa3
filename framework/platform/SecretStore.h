// Secrets (tokens, codes) kept out of the settings files. The process store tries the desktop keyring
// (QtKeychain) and, once a job ends without a backend, with another error or after 5 s, switches for
// good to files: <AppDataLocation>/secrets/<hex of key>, mode 0600 in a 0700 folder. Synchronous and
// callable from any thread.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace plat {

class SecretStore {
  public:
    virtual ~SecretStore() = default;
    virtual bool save(const QString &key, const QByteArray &value) = 0;
    virtual std::optional<QByteArray> load(const QString &key) = 0;  // nullopt: nothing stored (or lost)
    virtual bool remove(const QString &key) = 0;

    // The process's store (keyring, else files); tests may install another.
    static SecretStore &shared();
    static void setShared(std::shared_ptr<SecretStore> store);  // null: back to the default
};

class InMemorySecretStore final : public SecretStore {
  public:
    bool save(const QString &key, const QByteArray &value) override;
    std::optional<QByteArray> load(const QString &key) override;
    bool remove(const QString &key) override;

  private:
    std::mutex m_mutex;
    QHash<QString, QByteArray> m_items;
};

class FileSecretStore final : public SecretStore {
  public:
    explicit FileSecretStore(QString folder = {});  // default <AppDataLocation>/secrets
    bool save(const QString &key, const QByteArray &value) override;
    std::optional<QByteArray> load(const QString &key) override;
    bool remove(const QString &key) override;
    QString pathForKey(const QString &key) const;

  private:
    bool ensureFolder() const;
    QString m_folder;
    std::mutex m_mutex;
};

// QtKeychain first; the file store after the first job that finds no usable keyring. A key the keyring
// does not hold is looked up in the files, where a session without a keyring may have left it.
class KeychainSecretStore final : public SecretStore {
  public:
    explicit KeychainSecretStore(QString service, int timeoutMs = 5000, QString fileFolder = {});
    ~KeychainSecretStore() override;
    bool save(const QString &key, const QByteArray &value) override;
    std::optional<QByteArray> load(const QString &key) override;
    bool remove(const QString &key) override;
    bool usingFileFallback() const { return m_fallback.load(); }

  private:
    struct Worker;
    QString m_service;
    int m_timeoutMs;
    std::atomic<bool> m_fallback{false};
    Worker *m_worker;  // the process's
    FileSecretStore m_files;
};

}  // namespace plat
