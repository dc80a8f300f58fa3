#include "shell/CrashLog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QtGlobal>
#include <cstdlib>
#include <stdexcept>

#include "platform/Log.h"

namespace {

// The death tests re-run this binary for the child ("threadsafe"): the log's path travels in the
// environment so that parent and child agree on it.
QString crashLogPath(const char *name) {
    const QByteArray key = QByteArray("QV_CRASH_TEST_DIR");
    if (!qEnvironmentVariableIsSet(key.constData())) {
        QString dir = QDir::tempPath() + QStringLiteral("/qv-crash-XXXXXX");
        QByteArray tmpl = dir.toLocal8Bit();
        if (mkdtemp(tmpl.data()) == nullptr) return {};
        qputenv(key.constData(), tmpl);
    }
    return QString::fromLocal8Bit(qgetenv(key.constData())) + QLatin1Char('/') + QLatin1String(name);
}

QString readAll(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

void realSegfault() {
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int *>(page) = 1;  // a genuine fault, not a raise()
}

class CrashLogDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    // Runs in the parent only: the children die or _exit inside their statement.
    static void TearDownTestSuite() {
        if (qEnvironmentVariableIsSet("QV_CRASH_TEST_DIR")) {
            QDir(QString::fromLocal8Bit(qgetenv("QV_CRASH_TEST_DIR"))).removeRecursively();
            qunsetenv("QV_CRASH_TEST_DIR");
        }
    }
};

TEST_F(CrashLogDeath, SegvWritesTheLineThenTheChildDiesOfIt) {
    const QString path = crashLogPath("segv.log");
    QFile::remove(path);
    EXPECT_EXIT(
        {
            CrashLog::install(path);
            realSegfault();
            _exit(0);  // never reached: the fault is not resumed
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const QString log = readAll(path);
    EXPECT_TRUE(log.contains("signal = 11\n")) << log.toStdString();
    EXPECT_TRUE(log.contains("callStackSymbols")) << log.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(CrashLogDeath, SigpipeIsLoggedAndReturns) {
    const QString path = crashLogPath("pipe.log");
    QFile::remove(path);
    EXPECT_EXIT(
        {
            CrashLog::install(path);
            raise(SIGPIPE);
            _exit(7);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_TRUE(readAll(path).contains("signal = 13\n"));
}

TEST_F(CrashLogDeath, TerminateWritesTheExceptionThenAborts) {
    const QString path = crashLogPath("terminate.log");
    QFile::remove(path);
    EXPECT_EXIT(
        {
            CrashLog::install(path);
            std::set_terminate(&CrashLog::handleExceptions);
            try {
                throw std::logic_error("service is not started, please use first qvSdkStartService:.");
            } catch (...) {
                std::terminate();
            }
        },
        ::testing::KilledBySignal(SIGABRT), "");
    const QString log = readAll(path);
    EXPECT_TRUE(log.contains("exception = service is not started, please use first qvSdkStartService:.\n"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("signal = 6\n")) << log.toStdString();
}

TEST(RedactingMessageHandler, QtMessagesReachTheLogWithoutSecrets) {
    plat::LogCapture capture;
    installRedactingMessageHandler();
    qWarning("reply {\"accessToken\":\"tok-123456\",\"x\":1} url ?auth_code=code-987&y=2");
    qInstallMessageHandler(nullptr);
    const QString all = capture.lines().join('\n');
    EXPECT_TRUE(all.contains("reply")) << all.toStdString();
    EXPECT_FALSE(all.contains("tok-123456"));
    EXPECT_FALSE(all.contains("code-987"));
}

}  // namespace
