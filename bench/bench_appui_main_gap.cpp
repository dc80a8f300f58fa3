// The main thread's longest gap while a user signs in, connects and logs in to a device, with the account
// picture (2 MiB) trickled from a loopback server meanwhile. A 1 ms heartbeat timer stamps every turn of the
// main loop; a run's figure is the longest time between two stamps (target: at most 16 ms, one frame).
//
//  app:  the shell's own road on the scripted framework (login window, sign-in, device choice, connect with
//        auto-login, main window), every scripted answer 20 ms late, the picture fetched by the session.
//  bare: a plain Qt program of the same shape sharing none of our code: a window, three 20 ms timer hops,
//        QNetworkAccessManager fetching the same picture, QImage decoding it on the main thread and
//        QSaveFile writing it.
// Sides alternate; every run is printed, then min/median/max per side and the ratio of the medians.
//   bench_appui_main_gap [runs per side]   (QV_BENCH_RUNS, default 7; QV_BENCH_TRACE=1 prints every gap
//   over 16 ms)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "session/QVSingletonData.h"
#include "session/QVSingletonInterfaceManage.h"
#include "shell/ShellServices.h"
#include "test_home.h"
#include "testing/FakeFramework.h"
#include "tools/QVAccessData.h"
#include "tools/QVFileManager.h"
#include "tools/QVPrivateTools.h"
#include "views/QVProgressBoxWidget.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAnswerDelayMs = 20;
constexpr int kChunk = 32 * 1024;
constexpr int kChunkPauseUs = 2000;

// A PNG of noise just under 2 MiB: it does not compress, so its size is its pixels.
QByteArray bigPicture() {
    for (int side = 840;; side -= 4) {
        QImage img(side, side, QImage::Format_RGB888);
        auto *rng = QRandomGenerator::global();
        for (int y = 0; y < side; ++y) {
            uchar *line = img.scanLine(y);
            for (int x = 0; x < side * 3; ++x) line[x] = static_cast<uchar>(rng->bounded(256));
        }
        QByteArray out;
        QBuffer b(&out);
        b.open(QIODevice::WriteOnly);
        img.save(&b, "PNG", 0);
        if (out.size() <= 2 * 1024 * 1024) return out;
    }
}

// Serves `body` to every GET in 32 KiB pieces 2 ms apart, on a thread of its own.
class TrickleServer {
  public:
    explicit TrickleServer(QByteArray body) : m_body(std::move(body)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            std::perror("trickle server");
            std::exit(2);
        }
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~TrickleServer() {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/picture.png").arg(m_port); }

  private:
    void serve() {
        while (!m_stop) {
            const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::string req;
            char buf[4096];
            while (req.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                req.append(buf, static_cast<size_t>(n));
            }
            const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                                     std::to_string(m_body.size()) + "\r\n\r\n";
            bool ok = ::send(c, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
            for (qsizetype off = 0; ok && off < m_body.size(); off += kChunk) {
                const qsizetype n = std::min<qsizetype>(kChunk, m_body.size() - off);
                ok = ::send(c, m_body.constData() + off, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
                ::usleep(kChunkPauseUs);
            }
            ::close(c);
        }
    }
    QByteArray m_body;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Stamps every turn of the main loop; the longest distance between two stamps, and what was going on.
class Heartbeat {
  public:
    Heartbeat() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { beat(); });
    }
    void start() {
        m_last = Clock::now();
        m_lastCpu = threadCpuMs();
        m_worst = 0;
        m_worstBusy = 0;
        m_phase = m_lastPhase = m_worstPhase = "-";
        m_timer.start();
    }
    void stop() {
        beat();
        m_timer.stop();
    }
    void setPhase(const char *p) { m_phase = p; }
    double worstMs() const { return m_worst; }
    // The most CPU time the main thread spent between two beats: the gap our own work makes, whatever the
    // scheduler adds on a loaded machine.
    double worstBusyMs() const { return m_worstBusy; }
    // The phase of the loop turns around the longest gap ("a -> b" when it changed in between).
    const char *worstPhase() const { return m_worstPhase.c_str(); }

  private:
    static double threadCpuMs() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    }
    void beat() {
        const auto now = Clock::now();
        const double cpu = threadCpuMs();
        const double gap = std::chrono::duration<double, std::milli>(now - m_last).count();
        const double busy = cpu - m_lastCpu;
        m_lastCpu = cpu;
        if (m_trace && gap > 16.0)
            std::printf("  gap %.2f ms (main thread on the CPU %.2f ms): %s -> %s\n", gap, busy,
                        m_lastPhase.c_str(), m_phase.c_str());
        m_worstBusy = std::max(m_worstBusy, busy);
        if (gap > m_worst) {
            m_worst = gap;
            m_worstPhase = m_lastPhase == m_phase ? m_phase : m_lastPhase + " -> " + m_phase;
        }
        m_last = now;
        m_lastPhase = m_phase;
    }
    QTimer m_timer;
    const bool m_trace = getenv("QV_BENCH_TRACE") != nullptr;  // every gap over 16 ms
    Clock::time_point m_last;
    double m_lastCpu = 0;
    double m_worst = 0;
    double m_worstBusy = 0;
    std::string m_phase = "-";
    std::string m_lastPhase = "-";
    std::string m_worstPhase = "-";
};

// With QV_BENCH_TRACE: every outermost event delivery over 8 ms, by receiver and event type, to show where a
// long gap went.
class TracingApplication : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        if (!m_trace || m_depth > 0) return QApplication::notify(receiver, event);
        const QByteArray cls = receiver->metaObject()->className();
        const int type = event->type();
        ++m_depth;
        const auto t0 = Clock::now();
        const bool r = QApplication::notify(receiver, event);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        --m_depth;
        if (ms > 8.0) std::printf("    event %d to %s: %.2f ms\n", type, cls.constData(), ms);
        return r;
    }

  private:
    const bool m_trace = getenv("QV_BENCH_TRACE") != nullptr;
    int m_depth = 0;
};

bool spinUntil(const std::function<bool()> &cond, int ms = 20000) {
    const auto t0 = Clock::now();
    while (!cond()) {
        if (Clock::now() - t0 > std::chrono::milliseconds(ms)) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

QVariantMap map(std::initializer_list<std::pair<const char *, QVariant>> kv) {
    QVariantMap m;
    for (const auto &[k, v] : kv) m.insert(QString::fromLatin1(k), v);
    return m;
}

struct Run {
    double worstMs = 0;
    double busyMs = 0;
    std::string phase = "-";
    double totalMs = 0;
    bool ok = false;
};

void scriptRoad(FakeFramework &fake, const QString &pictureUrl) {
    const FakeAnswer late = FakeAnswer().withDelay(kAnswerDelayMs);
    fake.setDefaultAnswer("qvSdkStartService", late);
    fake.script("qvNasGetRefreshTokenByServiceUserInfo",
                late.withData(map({{"refreshToken", "refresh-xyz"}, {"expires", 3600}})));
    fake.script("qvNasGetAccessTokenByRefreshToken",
                late.withData(map({{"accessToken", "access-abc"}, {"exprect", 7200}})));
    fake.script("qvNasGetUserInfo",
                late.withData(map({{"nickName", "Ann"}, {"userId", "u-1"}, {"userImage", pictureUrl}})));
    fake.setDefaultAnswer("qvNasGetBindDeviceInfoList",
                          late.withData(QVariantList{map({{"deviceId", "QV7F3A21"},
                                                          {"deviceName", "Living-room NAS"},
                                                          {"deviceType", "2"},
                                                          {"online", true}})}));
    fake.script("getDeviceStatus",
                late.withData(QVariant::fromValue(std::make_shared<QVNasDeviceStatusInfo>())));
    fake.script("qvNasGetDeviceAuthCode", late.withData(map({{"auth_code", "auth-123456"}})));
    fake.script("qvNasLoginDeviceWithIp", late.withData(qlonglong(777)));
    QList<QVNasDeviceUserInfoPtr> users;
    for (auto [name, id] : {std::pair{"public", 2}, std::pair{"13800000000", 5}}) {
        auto u = std::make_shared<QVNasDeviceUserInfo>();
        u->nick_name = QString::fromLatin1(name);
        u->user_id = id;
        users.append(u);
    }
    fake.script("qvNasGetDeviceUserInfoList", late.withData(QVariant::fromValue(users)));
}

Run appRun(Heartbeat &hb, const QString &pictureUrl) {
    QVSingletonData &data = QVSingletonData::sharedManager();
    data.resetForTests();
    QVAccessData::saveServiceUserInfo(nullptr);
    const QString picture = QVFileManager::getUserHeaderImageCachePath(QStringLiteral("13800000000"));
    QFile::remove(picture);
    FakeFramework fake;
    scriptRoad(fake, pictureUrl);
    QVSingletonInterfaceManage::sharedManager().setFramework(&fake);
    Run r;
    {
        AppDelegate *self = nullptr;
        AppDelegateServices services = programServices(&self);
        services.initCrashHandler = [] {};
        AppDelegate delegate(services);
        self = &delegate;
        QVProgressBoxWidget box([&delegate] { return delegate.currentShellWindow(); });
        QVPrivateTools::setProgressBoxHost(&box);

        const auto t0 = Clock::now();
        hb.start();
        hb.setPhase("launch");
        delegate.applicationDidFinishLaunching();
        r.ok = spinUntil(
            [&] { return delegate.loginWindow() != nullptr && delegate.loginWindow()->isVisible(); });
        hb.setPhase("sign-in");
        if (r.ok) {
            QVLoginViewController *login = delegate.loginWindow()->contentViewController();
            login->phoneField->setText(QStringLiteral("13800000000"));
            QTest::keyClicks(login->passwordBox->secureTextField(), QStringLiteral("pw"));
            QTest::mouseClick(login->loginButton, Qt::LeftButton);
            r.ok = spinUntil([&] {
                return delegate.deviceChoiceWindow() != nullptr &&
                       delegate.deviceChoiceWindow()->contentViewController()->devices().size() == 1;
            });
        }
        hb.setPhase("connect and login");
        if (r.ok) {
            QTest::mouseClick(delegate.deviceChoiceWindow()->contentViewController()->connectButton,
                              Qt::LeftButton);
            r.ok = spinUntil([&] { return delegate.mainWindow() != nullptr; });
        }
        hb.setPhase("picture");
        if (r.ok) r.ok = spinUntil([&] { return QFile::exists(picture); });
        hb.setPhase("idle");
        spinUntil([] { return false; }, 20);
        hb.stop();
        r.totalMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        r.worstMs = hb.worstMs();
        r.busyMs = hb.worstBusyMs();
        r.busyMs = hb.worstBusyMs();
        r.phase = hb.worstPhase();

        bool done = false;
        delegate.applicationWillTerminate([&] { done = true; });
        spinUntil([&] { return done; });
        QVPrivateTools::setProgressBoxHost(nullptr);
        fake.releaseAllHeld();
    }
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    QVSingletonInterfaceManage::sharedManager().setFramework(nullptr);
    data.resetForTests();
    return r;
}

Run bareRun(Heartbeat &hb, const QString &pictureUrl, const QString &target) {
    QFile::remove(target);
    Run r;
    QNetworkAccessManager nam;
    const auto t0 = Clock::now();
    hb.start();
    hb.setPhase("launch");
    auto window = std::make_unique<QWidget>();
    window->resize(420, 330);
    window->show();
    bool stored = false;
    int hops = 0;
    std::function<void()> hop = [&] {
        if (++hops < 3) QTimer::singleShot(kAnswerDelayMs, hop);
    };
    QTimer::singleShot(kAnswerDelayMs, [&] {
        hb.setPhase("picture");
        QNetworkReply *reply = nam.get(QNetworkRequest(QUrl(pictureUrl)));
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
            reply->deleteLater();
            const QByteArray body = reply->readAll();
            if (reply->error() == QNetworkReply::NoError && !QImage::fromData(body).isNull()) {
                QSaveFile f(target);
                if (f.open(QIODevice::WriteOnly) && f.write(body) == body.size()) f.commit();
            }
            stored = true;
        });
        hop();
    });
    r.ok = spinUntil([&] { return stored && hops >= 3; });
    hb.setPhase("idle");
    spinUntil([] { return false; }, 20);
    hb.stop();
    r.totalMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    r.worstMs = hb.worstMs();
    r.busyMs = hb.worstBusyMs();
    r.phase = hb.worstPhase();
    r.ok = r.ok && QFile::exists(target);
    return r;
}

void summary(const char *name, const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-5s %s ms: min %.2f  median %.2f  max %.2f\n", name, what, v.front(), v[v.size() / 2],
                v.back());
}

double loadAverage() {
    double l[1] = {0};
    return getloadavg(l, 1) == 1 ? l[0] : -1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string h = enterPrivateHome("bench-gap");
    if (h.empty()) return 2;
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    if (getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int runs = argc > 1 ? std::atoi(argv[1]) : 0;
    if (runs <= 0 && getenv("QV_BENCH_RUNS") != nullptr) runs = std::atoi(getenv("QV_BENCH_RUNS"));
    if (runs <= 0) runs = 7;

    TracingApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("qvnas"));
    QCoreApplication::setApplicationName(QStringLiteral("bench_appui_main_gap"));
    const QByteArray picture = bigPicture();
    TrickleServer server(picture);
    std::printf(
        "picture %lld bytes (%.0f KiB pieces every %d ms); scripted answers %d ms late; %d runs a side\n",
        static_cast<long long>(picture.size()), kChunk / 1024.0, kChunkPauseUs / 1000, kAnswerDelayMs, runs);

    Heartbeat hb;
    std::vector<double> appGaps, bareGaps, appBusy, bareBusy;
    const QString bareTarget = QString::fromStdString(h + "/bare-picture.png");
    int failures = 0;
    for (int i = 0; i < 2 * runs; ++i) {
        const bool appSide = (i % 2 == 0) == ((i / 2) % 2 == 0);  // app, bare, bare, app, ...
        const Run r = appSide ? appRun(hb, server.url()) : bareRun(hb, server.url(), bareTarget);
        std::printf(
            "run %2d %-4s longest gap %7.2f ms (during %s), most CPU between beats %6.2f ms, road %7.1f "
            "ms%s\n",
            i / 2 + 1, appSide ? "app" : "bare", r.worstMs, r.phase.c_str(), r.busyMs, r.totalMs,
            r.ok ? "" : "  FAILED");
        std::fflush(stdout);
        if (!r.ok) ++failures;
        (appSide ? appGaps : bareGaps).push_back(r.worstMs);
        (appSide ? appBusy : bareBusy).push_back(r.busyMs);
    }
    summary("app", "longest gap", appGaps);
    summary("bare", "longest gap", bareGaps);
    summary("app", "most CPU between beats", appBusy);
    summary("bare", "most CPU between beats", bareBusy);
    std::sort(appGaps.begin(), appGaps.end());
    std::sort(bareGaps.begin(), bareGaps.end());
    const double appMedian = appGaps[appGaps.size() / 2];
    std::printf(
        "ratio of medians app/bare %.2f; app target: longest gap at most 16 ms: %s (worst run %.2f ms)\n",
        appMedian / bareGaps[bareGaps.size() / 2], appGaps.back() <= 16.0 ? "met" : "MISSED", appGaps.back());
    std::printf("load average at the end %.1f on %u CPUs (gaps beyond the CPU figure are the scheduler's)\n",
                loadAverage(), std::thread::hardware_concurrency());
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(10000);
    plat::WorkPool::markLane().waitForDone(10000);
    QDir(QString::fromStdString(h)).removeRecursively();
    return failures == 0 ? 0 : 1;
}
