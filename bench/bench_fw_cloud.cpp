// The cloud client's request road beside curl, against the loopback cloud stub over verified TLS.
//
// Each round sends 1,000 signed POSTs (the access token of a refresh token) and 1,000 GETs (the user's
// profile with "ak") one after another, first through QVInterfaceManage (call to completion on the main
// thread), then through one curl invocation sending the same requests on kept-alive connections with
// --cacert (its per-transfer time_total). Sides alternate over the rounds; every round prints p50/p99 of
// each side and the TLS handshakes the stub logged meanwhile; then min/median/max of the p50s and the
// ratio of the medians. A bare QNetworkAccessManager sending the GETs is timed too, as the floor of Qt's
// own network stack.
//
// Usage: bench_fw_cloud [requests per kind, default 1000] [rounds, default 3]
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cloud/CloudSecrets.h"
#include "cloud/CloudSignature.h"
#include "cloud/QVInterfaceManage.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

namespace {

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

struct Stub {
    QTemporaryDir dir;
    QProcess proc;
    int port = 0;
    QString log() const { return dir.filePath(QStringLiteral("stub.jsonl")); }
    bool start() {
        proc.setProgram(QStringLiteral("python3"));
        proc.setArguments({QStringLiteral(QV_CLOUD_STUB), QStringLiteral("--seed"),
                           QStringLiteral(QV_CLOUD_SEED), QStringLiteral("--certs"),
                           QStringLiteral(QV_TEST_CERT_DIR), QStringLiteral("--port"), QStringLiteral("0"),
                           QStringLiteral("--log"), log(), QStringLiteral("--exit-with-parent")});
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start();
        QByteArray banner;
        while (proc.waitForReadyRead(20000)) {
            banner += proc.readAll();
            if (banner.contains('\n')) break;
        }
        const QList<QByteArray> words = banner.trimmed().split(' ');
        if (words.size() == 3 && words[0] == "listening") port = words[2].toInt();
        return port > 0;
    }
    int handshakes() const {
        QFile f(log());
        if (!f.open(QIODevice::ReadOnly)) return 0;
        int n = 0;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (QJsonDocument::fromJson(line).object().value(QStringLiteral("event")).toString() ==
                QLatin1String("handshake"))
                ++n;
        return n;
    }
    ~Stub() {
        proc.kill();
        proc.waitForFinished(10000);
    }
};

struct Side {
    std::vector<double> post, get;  // milliseconds per request
    int handshakes = 0;
    int failures = 0;
};

// One request through the client, waited for on the main thread's loop.
double timed(const std::function<void(QVInterfaceManage::Completion)> &op, int &failures) {
    QEventLoop loop;
    bool done = false;
    const double t0 = nowMs();
    double t1 = 0;
    op([&](const QVNasResponseInfoPtr &r) {
        t1 = nowMs();
        if (!r || r->responseCode != 0) ++failures;
        done = true;
        loop.quit();
    });
    if (!done) loop.exec();
    return t1 - t0;
}

Side clientSide(QVInterfaceManage &client, Stub &stub, const QString &refresh, const QString &ak, int n) {
    Side s;
    const int before = stub.handshakes();
    for (int i = 0; i < n; ++i)
        s.post.push_back(timed([&](auto c) { client.qvOAuth2GetAccessToken(refresh, c); }, s.failures));
    for (int i = 0; i < n; ++i)
        s.get.push_back(
            timed([&](auto c) { client.qvOAuth2ServiceGetUserInfoWithAkToken(ak, c); }, s.failures));
    s.handshakes = stub.handshakes() - before;
    return s;
}

// Bare Qt: the GETs on one QNetworkAccessManager, the reply's finished signal ending the wait.
std::vector<double> bareQt(QNetworkAccessManager &nam, const QSslConfiguration &tls, const QString &url,
                           int n) {
    std::vector<double> out;
    for (int i = 0; i < n; ++i) {
        QNetworkRequest req{QUrl(url)};
        req.setSslConfiguration(tls);
        QEventLoop loop;
        const double t0 = nowMs();
        QNetworkReply *reply = nam.get(req);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        out.push_back(nowMs() - t0);
        reply->readAll();
        reply->deleteLater();
    }
    return out;
}

// The same requests in one curl invocation: one config block per transfer, "next" between them.
Side curlSide(const QString &base, Stub &stub, const QString &refresh, const QString &ak, int n,
              const QString &config) {
    Side s;
    const QString signedBase = base + QStringLiteral("/OAuth/getAccessToken");
    const QString ssig = cloud::requestSsig(QStringLiteral("POST"), signedBase,
                                            QStringLiteral("application/json"), base, base);
    const QString postUrl =
        QStringLiteral("%1?AppId=%2&ssig=%3").arg(signedBase, QString::fromLatin1(cloud::appId()), ssig);
    const QString getUrl =
        base + QStringLiteral("/api/v1/getUserInfo?ak=") + QString::fromLatin1(QUrl::toPercentEncoding(ak));
    const QString common = QStringLiteral(
                               "cacert = \"%1\"\noutput = \"/dev/null\"\nsilent\n"
                               "write-out = \"%{time_total} %{http_code}\\n\"\n")
                               .arg(QStringLiteral(QV_TEST_CERT_DIR "/root.pem"));
    QString text;
    for (int i = 0; i < n; ++i) {
        text += QStringLiteral("url = \"%1\"\n").arg(postUrl) + common +
                QStringLiteral("header = \"Content-Type: application/json\"\n") +
                QStringLiteral("data = \"{\\\"refreshToken\\\": \\\"%1\\\"}\"\nnext\n").arg(refresh);
    }
    for (int i = 0; i < n; ++i) {
        text += QStringLiteral("url = \"%1\"\n").arg(getUrl) + common;
        if (i + 1 < n) text += QStringLiteral("next\n");
    }
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    f.write(text.toUtf8());
    f.close();
    const int before = stub.handshakes();
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-K"), config});
    curl.waitForFinished(600000);
    const QList<QByteArray> lines = curl.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> w = line.split(' ');
        if (w.size() != 2) continue;
        if (w[1] != "200") ++s.failures;
        auto &into = s.post.size() < static_cast<size_t>(n) ? s.post : s.get;
        into.push_back(w[0].toDouble() * 1000.0);
    }
    s.handshakes = stub.handshakes() - before;
    return s;
}

void summary(const char *what, const std::vector<double> &client, const std::vector<double> &curl) {
    auto mmm = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return std::vector<double>{v.front(), v[v.size() / 2], v.back()};
    };
    const auto a = mmm(client), b = mmm(curl);
    std::printf(
        "%s: p50 client min/median/max %.3f/%.3f/%.3f ms, other %.3f/%.3f/%.3f ms, ratio of medians %.2f\n",
        what, a[0], a[1], a[2], b[0], b[1], b[2], a[1] / b[1]);
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    plat::Log::setEnabled(false);
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    Stub stub;
    if (!stub.start()) {
        std::fprintf(stderr, "the cloud stub did not start\n");
        return 1;
    }
    const QString base = QStringLiteral("https://127.0.0.1:%1").arg(stub.port);
    QVInterfaceManage::Config config;
    config.oauthBase = config.accountBase = base;
    config.tls.addCaCertificates(QSslCertificate::fromPath(QStringLiteral(QV_TEST_CERT_DIR "/root.pem")));
    QVInterfaceManage client(config);

    // One sign-in for the tokens both sides use.
    int failures = 0;
    QString refresh, ak;
    auto user = std::make_shared<QVNasServiceUserInfo>();
    user->areaCode = QStringLiteral("86");
    user->userName = QStringLiteral("13800000000");
    user->password = QStringLiteral("lantern-42");
    timed(
        [&](auto c) {
            client.qvOAuth2ServiceLogin(user, [&, c](const QVNasResponseInfoPtr &r) {
                refresh = r->responseData.toMap().value(QStringLiteral("refreshToken")).toString();
                c(r);
            });
        },
        failures);
    timed(
        [&](auto c) {
            client.qvOAuth2GetAccessToken(refresh, [&, c](const QVNasResponseInfoPtr &r) {
                ak = r->responseData.toMap().value(QStringLiteral("accessToken")).toString();
                c(r);
            });
        },
        failures);
    if (failures || refresh.isEmpty() || ak.isEmpty()) {
        std::fprintf(stderr, "sign-in failed\n");
        return 1;
    }
    QNetworkAccessManager nam;
    const QString bareUrl = base + QStringLiteral("/api/v1/getUserInfo?ak=") + ak;
    QTemporaryDir dir;
    const QString curlConfig = dir.filePath(QStringLiteral("curl.cfg"));

    std::printf("cloud requests: %d signed POSTs and %d GETs per side and round, %d rounds\n", n, n, rounds);
    std::vector<double> cPost, cGet, kPost, kGet, qGet;
    for (int r = 0; r < rounds; ++r) {
        Side c, k;
        const auto q = bareQt(nam, config.tls, bareUrl, n);
        // Alternate which side goes first.
        if (r % 2 == 0) {
            c = clientSide(client, stub, refresh, ak, n);
            k = curlSide(base, stub, refresh, ak, n, curlConfig);
        } else {
            k = curlSide(base, stub, refresh, ak, n, curlConfig);
            c = clientSide(client, stub, refresh, ak, n);
        }
        std::printf(
            "round %d: client POST p50 %.3f p99 %.3f, GET p50 %.3f p99 %.3f ms, handshakes %d, failures %d | "
            "curl POST p50 %.3f p99 %.3f, GET p50 %.3f p99 %.3f ms, handshakes %d, failures %d, transfers "
            "%zu\n",
            r + 1, quantile(c.post, 0.5), quantile(c.post, 0.99), quantile(c.get, 0.5), quantile(c.get, 0.99),
            c.handshakes, c.failures, quantile(k.post, 0.5), quantile(k.post, 0.99), quantile(k.get, 0.5),
            quantile(k.get, 0.99), k.handshakes, k.failures, k.post.size() + k.get.size());
        std::fflush(stdout);
        std::printf("round %d: bare Qt GET p50 %.3f p99 %.3f ms\n", r + 1, quantile(q, 0.5),
                    quantile(q, 0.99));
        qGet.push_back(quantile(q, 0.5));
        cPost.push_back(quantile(c.post, 0.5));
        cGet.push_back(quantile(c.get, 0.5));
        kPost.push_back(quantile(k.post, 0.5));
        kGet.push_back(quantile(k.get, 0.5));
    }
    summary("POST", cPost, kPost);
    summary("GET", cGet, kGet);
    summary("GET vs bare Qt", cGet, qGet);
    plat::MainQueue::close();
    return 0;
}
