// One running program per user: the first launch listens on a local socket in XDG_RUNTIME_DIR (owner-only);
// a second launch sends it the reopen message and leaves. The socket takes that one message and nothing
// else: any other bytes, or more of them, close the connection.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <functional>

class SingleInstanceGuard : public QObject {
    Q_OBJECT
  public:
    static constexpr char kReopenMessage[] = "reopen\n";

    explicit SingleInstanceGuard(const QString &name = QStringLiteral("tessera"), QObject *parent = nullptr);
    ~SingleInstanceGuard() override;

    // True when this process is the first: it now listens. False when another instance answered (and has
    // been asked to reopen), or when no socket could be made at all (then the caller goes on alone).
    bool claim();
    bool isPrimary() const { return m_server != nullptr; }
    QString socketPath() const { return m_path; }
    // Runs on the main thread for each well-formed reopen message.
    void setReopenHandler(std::function<void()> handler) { m_onReopen = std::move(handler); }
    // Tests: sends the message as a second launch would; true when the first instance took it.
    static bool sendReopen(const QString &socketPath, int timeoutMs = 3000);

  private:
    void onNewConnection();
    QString m_path;
    QLocalServer *m_server = nullptr;
    std::function<void()> m_onReopen;
};
