// Launch to the first window exposed: the program (its own entry, the service start answered at once by the
// scripted framework, so the login window follows) against a bare QApplication showing an empty QMainWindow,
// both as fresh processes under one Xvfb, sides alternating. A run is timed from just before the process is
// spawned to the moment its first window reports itself exposed (the child stamps CLOCK_MONOTONIC and
// quits). Every run is printed, then min/median/max per side and the ratio of the medians (target: at most
// 1.5).
//   bench_appui_launch [runs per side]   (default QV_BENCH_RUNS or 7; an Xvfb of its own unless DISPLAY is
//   set and QV_BENCH_USE_DISPLAY=1)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/QVSingletonInterfaceManage.h"
#include "shell/TesseraProgram.h"
#include "test_home.h"
#include "testing/FakeFramework.h"

extern char **environ;

namespace {

int64_t monoNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Stamps the first exposed window on the bench's pipe, then quits the application.
class ExposeWatch : public QObject {
  public:
    bool eventFilter(QObject *obj, QEvent *ev) override {
        if (!m_done && ev->type() == QEvent::Expose && obj->isWindowType() &&
            static_cast<QWindow *>(obj)->isExposed()) {
            m_done = true;
            // Descriptor 3 is the bench's pipe (the program's log goes to the standard streams).
            QByteArray what = obj->metaObject()->className();
            for (QWidget *w : QApplication::topLevelWidgets())
                if (w->windowHandle() == obj) what = w->metaObject()->className();
            dprintf(3, "exposed %lld %s\n", static_cast<long long>(monoNs()), what.constData());
            QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
        }
        return false;
    }

  private:
    bool m_done = false;
};

int childApp(char *argv0) {
    char *args[] = {argv0, nullptr};
    TesseraLaunch launch;
    launch.beforeLaunch = [] {
        auto *fake = new FakeFramework;  // lives as long as the process
        QVSingletonInterfaceManage::sharedManager().setFramework(fake);
        qApp->installEventFilter(new ExposeWatch);
    };
    return tesseraMain(1, args, launch);
}

int childBare(int argc, char **argv) {
    QApplication app(argc, argv);
    ExposeWatch watch;
    app.installEventFilter(&watch);
    QMainWindow w;
    w.show();
    return app.exec();
}

// Starts Xvfb on a free display; its number, or -1.
int startXvfb(pid_t &pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid = fork();
    if (pid == 0) {
        dup2(fds[1], 3);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1440x900x24", "-nolisten", "tcp",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[32] = {};
    ssize_t got = 0;
    pollfd p{fds[0], POLLIN, 0};
    while (got < static_cast<ssize_t>(sizeof buf) - 1 && poll(&p, 1, 20000) > 0) {
        const ssize_t n = read(fds[0], buf + got, sizeof buf - 1 - static_cast<size_t>(got));
        if (n <= 0) break;
        got += n;
        if (std::memchr(buf, '\n', static_cast<size_t>(got)) != nullptr) break;
    }
    close(fds[0]);
    return got > 0 ? std::atoi(buf) : -1;
}

struct Launch {
    double ms = -1;
    std::string window;
};

// One side's run: spawn, read the stamp, wait for the exit (at most 30 s).
Launch runOnce(const std::string &self, const char *mode) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 3);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::string m(mode);
    char *args[] = {const_cast<char *>(self.c_str()), m.data(), nullptr};
    pid_t pid = 0;
    const int64_t t0 = monoNs();
    const int rc = posix_spawn(&pid, self.c_str(), &fa, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    Launch out;
    if (rc != 0) {
        close(fds[0]);
        return out;
    }
    std::string text;
    char buf[256];
    pollfd p{fds[0], POLLIN, 0};
    while (text.find('\n') == std::string::npos && poll(&p, 1, 30000) > 0) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    long long stamp = 0;
    char cls[128] = {};
    if (std::sscanf(text.c_str(), "exposed %lld %127s", &stamp, cls) == 2) {
        out.ms = static_cast<double>(stamp - t0) / 1e6;
        out.window = cls;
    }
    int st = 0;
    for (int i = 0; i < 300 && waitpid(pid, &st, WNOHANG) == 0; ++i) usleep(100000);
    if (waitpid(pid, &st, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    close(fds[0]);
    return out;
}

void summary(const char *name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-7s launch to exposed ms: min %.1f  median %.1f  max %.1f\n", name, v.front(),
                v[v.size() / 2], v.back());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child-app") == 0) return childApp(argv[0]);
    if (argc > 1 && std::strcmp(argv[1], "--child-bare") == 0) return childBare(1, argv);

    int runs = argc > 1 ? std::atoi(argv[1]) : 0;
    if (runs <= 0 && getenv("QV_BENCH_RUNS") != nullptr) runs = std::atoi(getenv("QV_BENCH_RUNS"));
    if (runs <= 0) runs = 7;
    const std::string h = enterPrivateHome("bench-launch");
    if (h.empty()) return 2;
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    pid_t xvfb = -1;
    const char *useDisplay = getenv("QV_BENCH_USE_DISPLAY");
    if (useDisplay == nullptr || getenv("DISPLAY") == nullptr) {
        const int display = startXvfb(xvfb);
        if (display < 0) {
            std::printf("bench_appui_launch: Xvfb did not start (apt-get install xvfb)\n");
            return 1;
        }
        setenv("DISPLAY", (":" + std::to_string(display)).c_str(), 1);
    }
    std::printf("display %s; %d runs a side, alternating (first run of each side included)\n",
                getenv("DISPLAY"), runs);
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;

    std::vector<double> app, bare;
    int failures = 0;
    for (int i = 0; i < 2 * runs; ++i) {
        const bool appSide = (i % 2 == 0) == ((i / 2) % 2 == 0);  // app, bare, bare, app, ...
        const Launch l = runOnce(self, appSide ? "--child-app" : "--child-bare");
        std::printf("run %2d %-7s %8.1f ms  (%s)\n", i / 2 + 1, appSide ? "program" : "bare", l.ms,
                    l.ms < 0 ? "FAILED: no window exposed" : l.window.c_str());
        std::fflush(stdout);
        if (l.ms < 0) {
            ++failures;
            continue;
        }
        (appSide ? app : bare).push_back(l.ms);
    }
    if (!app.empty() && !bare.empty()) {
        summary("program", app);
        summary("bare", bare);
        std::sort(app.begin(), app.end());
        std::sort(bare.begin(), bare.end());
        const double ratio = app[app.size() / 2] / bare[bare.size() / 2];
        std::printf("ratio of medians program/bare %.2f (target at most 1.5): %s\n", ratio,
                    ratio <= 1.5 ? "met" : "MISSED");
    }
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    QDir(QString::fromStdString(h)).removeRecursively();
    return failures == 0 ? 0 : 1;
}
