#include "shell/SingleInstanceGuard.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <cstring>

#include "platform/Log.h"
#include "platform/Scheduler.h"

namespace {

QString runtimeDir() {
    const QByteArray env = qgetenv("XDG_RUNTIME_DIR");
    if (!env.isEmpty() && QDir(QString::fromLocal8Bit(env)).exists()) return QString::fromLocal8Bit(env);
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

}  // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &name, QObject *parent) : QObject(parent) {
    m_path = QStringLiteral("%1/%2-%3.sock").arg(runtimeDir(), name).arg(::getuid());
}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_server != nullptr) m_server->close();
}

bool SingleInstanceGuard::sendReopen(const QString &socketPath, int timeoutMs) {
    QLocalSocket s;
    s.connectToServer(socketPath);
    if (!s.waitForConnected(timeoutMs)) return false;
    s.write(kReopenMessage, static_cast<qint64>(std::strlen(kReopenMessage)));
    if (!s.waitForBytesWritten(timeoutMs)) return false;
    s.disconnectFromServer();
    return true;
}

bool SingleInstanceGuard::claim() {
    if (m_server != nullptr) return true;
    // Another instance answering: ask it to reopen and leave.
    if (sendReopen(m_path, 1000)) return false;
    // Nobody answers: a socket left by a crashed run, or none.
    QLocalServer::removeServer(m_path);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(4);
    if (!server->listen(m_path)) {
        QVF_LOG_ERROR(QStringLiteral("single instance: cannot listen: %1").arg(server->errorString()));
        delete server;
        return true;  // go on without a guard
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceGuard::onNewConnection);
    return true;
}

void SingleInstanceGuard::onNewConnection() {
    while (QLocalSocket *s = m_server->nextPendingConnection()) {
        QPointer<QLocalSocket> sock(s);
        auto buffer = std::make_shared<QByteArray>();
        const qsizetype want = static_cast<qsizetype>(std::strlen(kReopenMessage));
        connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        // A client that says nothing is dropped after a while.
        plat::Scheduler::current()
            .after(3000, s,
                   [sock] {
                       if (sock) sock->abort();
                   })
            .detach();
        connect(s, &QLocalSocket::readyRead, this, [this, sock, buffer, want] {
            if (!sock) return;
            buffer->append(sock->read(want + 1 - buffer->size()));
            if (!QByteArray(kReopenMessage).startsWith(*buffer) || buffer->size() > want) {
                QVF_LOG_ERROR(QStringLiteral("single instance: unexpected message dropped"));
                sock->abort();
                return;
            }
            if (buffer->size() == want) {
                sock->disconnectFromServer();
                if (m_onReopen) m_onReopen();
            }
        });
    }
}
