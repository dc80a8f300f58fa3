// The account picture: fetched off the main thread from http(s) only, at most 2 MiB, stored atomically only
// when it decodes as an image.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTcpServer>
#include <QTcpSocket>

#include "session/QVSingletonData.h"
#include "testing/app_test_util.h"
#include "tools/QVFileManager.h"

namespace {

// Answers every GET with `body` (HTTP/1.0, then closes).
class OneBodyServer {
  public:
    explicit OneBodyServer(QByteArray body) : m_body(std::move(body)) {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    m_request += s->readAll();
                    if (!m_request.contains("\r\n\r\n")) return;
                    ++hits;
                    s->write("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             QByteArray::number(m_body.size()) + "\r\n\r\n");
                    s->write(m_body);
                    s->disconnectFromHost();
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/u.png").arg(m_server.serverPort()); }
    int hits = 0;

  private:
    QTcpServer m_server;
    QByteArray m_body;
    QByteArray m_request;
};

QByteArray png() {
    QImage img(8, 8, QImage::Format_ARGB32);
    img.fill(Qt::blue);
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    img.save(&b, "PNG");
    return out;
}

struct ImageRow {
    QByteArray body;
    bool stored;
};

TEST(UserImage, StoredOnlyWhenSmallAndAnImage) {
    QVSingletonData &data = QVSingletonData::sharedManager();
    data.resetForTests();
    data.userInfo = std::make_shared<QVUserInfo>();
    data.userInfo->userName = QStringLiteral("13800000000");
    const QString target = QVFileManager::getUserHeaderImageCachePath(data.userInfo->userName);
    ASSERT_FALSE(target.isEmpty());
    const QList<ImageRow> rows = {{QByteArray("not a picture"), false},
                                  {png() + QByteArray(3 * 1024 * 1024, 'x'), false},
                                  {png(), true}};
    for (const ImageRow &r : rows) {
        QFile::remove(target);
        OneBodyServer server(r.body);
        data.processUserImage(server.url());  // returns at once: the main thread is not held
        ASSERT_TRUE(apptest::spinUntil([&] { return server.hits == 1; }));
        apptest::spinUntil([&] { return QFile::exists(target); }, r.stored ? 5000 : 300);
        EXPECT_EQ(QFile::exists(target), r.stored) << r.body.size();
    }
    QFile::remove(target);
    for (const char *url : {"file:///etc/passwd", "ftp://127.0.0.1/x.png", "", "not a url"}) {
        data.processUserImage(QString::fromLatin1(url));
        apptest::drain();
        EXPECT_FALSE(QFile::exists(target)) << url;
    }
    data.resetForTests();
}

}  // namespace
