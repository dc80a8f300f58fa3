// The cloud stub as a test peer: one process per object with its own log and fault script, and a client
// configured for it (the build's test root injected).
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "cloud/QVInterfaceManage.h"
#include "platform/MainQueue.h"
#include "test_util.h"

namespace fwtest {

// One stub process with its own log and fault script; killed and reaped on destruction.
class CloudStub {
  public:
    explicit CloudStub(const char *leaf = "good", const QStringList &extra = {}) {
        m_proc.setProgram(QStringLiteral("python3"));
        m_proc.setArguments(QStringList{QStringLiteral(QV_CLOUD_STUB), QStringLiteral("--seed"),
                                        QStringLiteral(QV_CLOUD_SEED), QStringLiteral("--certs"),
                                        QStringLiteral(QV_TEST_CERT_DIR), QStringLiteral("--leaf"),
                                        QString::fromLatin1(leaf), QStringLiteral("--port"),
                                        QStringLiteral("0"), QStringLiteral("--script"), scriptPath(),
                                        QStringLiteral("--log"), logPath(),
                                        QStringLiteral("--exit-with-parent")} +
                            extra);
        m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_proc.start();
        while (m_proc.waitForReadyRead(20000)) {
            m_banner += m_proc.readAll();
            if (m_banner.contains('\n')) break;
        }
        const QList<QByteArray> words = m_banner.trimmed().split(' ');
        if (words.size() == 3 && words[0] == "listening") m_port = words[2].toInt();
    }
    ~CloudStub() {
        m_proc.kill();
        m_proc.waitForFinished(10000);
    }
    int port() const { return m_port; }
    QString base() const { return QStringLiteral("https://127.0.0.1:%1").arg(m_port); }
    QString scriptPath() const { return m_dir.filePath(QStringLiteral("script.json")); }
    QString logPath() const { return m_dir.filePath(QStringLiteral("stub.jsonl")); }

    void script(const QJsonObject &faults) {
        QFile f(scriptPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(faults).toJson());
    }
    // The logged events of one kind ("request", "handshake").
    QList<QJsonObject> events(const char *kind) const {
        QList<QJsonObject> out;
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly)) return out;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value(QStringLiteral("event")).toString() == QLatin1String(kind)) out.append(o);
        }
        return out;
    }
    QJsonObject lastRequest() const {
        const auto all = events("request");
        return all.isEmpty() ? QJsonObject() : all.last();
    }

  private:
    QTemporaryDir m_dir;
    QProcess m_proc;
    QByteArray m_banner;
    int m_port = 0;
};

inline QVInterfaceManage::Config configFor(const QString &base, int timeoutMs = 0) {
    QVInterfaceManage::Config c;
    c.oauthBase = base;
    c.accountBase = base;
    c.tls = QSslConfiguration::defaultConfiguration();
    c.tls.addCaCertificates(QSslCertificate::fromPath(QStringLiteral(QV_TEST_CERT_DIR "/root.pem")));
    c.timeoutOverrideMs = timeoutMs;
    return c;
}

// Runs one operation and waits for its completion; counts completions and checks they run on main.
struct Call {
    QVNasResponseInfoPtr info;
    int completions = 0;
    bool onMain = true;
};
inline Call run(const std::function<void(QVInterfaceManage::Completion)> &op, int waitMs = 20000) {
    auto call = std::make_shared<Call>();
    op([call](const QVNasResponseInfoPtr &info) {
        call->info = info;
        ++call->completions;
        call->onMain = call->onMain && plat::isMainThread();
    });
    EXPECT_TRUE(fwtest::spinUntil([&] { return call->completions > 0; }, waitMs));
    fwtest::spinUntil([] { return false; }, 100);  // a second completion would land here
    return *call;
}

}  // namespace fwtest
