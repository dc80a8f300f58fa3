#include "shell/CrashLog.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <cstdlib>
#include <exception>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "tools/QVLogRedaction.h"

namespace {

std::atomic<int> g_fd{STDERR_FILENO};

void writeAll(const char *s, size_t n) {
    const int fd = g_fd.load();
    while (n > 0) {
        const ssize_t w = ::write(fd, s, n);
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

void writeText(const char *s) {
    writeAll(s, strlen(s));
}

void writeNumber(long v) {
    char buf[24];
    char *p = buf + sizeof(buf);
    const bool negative = v < 0;
    unsigned long u = negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) *--p = '-';
    writeAll(p, static_cast<size_t>(buf + sizeof(buf) - p));
}

void writeStack() {
    void *frames[64];
    const int n = backtrace(frames, 64);
    writeText("callStackSymbols = \n");
    backtrace_symbols_fd(frames, n, g_fd.load());
}

bool isFault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE;
}

}  // namespace

void CrashLog::signalHandler(int sig) {
    const int saved = errno;
    writeText("signal = ");
    writeNumber(sig);
    writeText("\n");
    if (isFault(sig)) {
        writeStack();
        // SA_RESETHAND has put the default action back: dying of the signal, not resuming the fault.
        raise(sig);
    }
    errno = saved;
}

void CrashLog::handleExceptions() {
    writeText("exception = ");
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception &ex) {
            writeText(ex.what());
        } catch (...) {
            writeText("(not a std::exception)");
        }
    } else {
        writeText("(none)");
    }
    writeText("\n");
    writeStack();
    std::abort();
}

void CrashLog::installWithFd(int fd) {
    g_fd.store(fd);
    // backtrace() loads its unwinder on first use, which allocates: do it now, never in a handler.
    void *warm[2];
    backtrace(warm, 2);
    for (int sig : {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGPIPE}) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = &CrashLog::signalHandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = isFault(sig) ? SA_RESETHAND : 0;
        sigaction(sig, &sa, nullptr);
    }
    std::set_terminate(&CrashLog::handleExceptions);
}

bool CrashLog::install(const QString &path) {
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    ::chmod(QFile::encodeName(info.absolutePath()).constData(), 0700);
    const QByteArray p = QFile::encodeName(path);
    const int fd = ::open(p.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        installWithFd(STDERR_FILENO);
        return false;
    }
    ::fchmod(fd, 0600);
    installWithFd(fd);
    return true;
}

QString CrashLog::defaultPath() {
    return plat::Paths::appDataLocation() + QStringLiteral("/Logs/crash.log");
}

namespace {

void redactingHandler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg) {
    const plat::LogLevel level =
        type == QtDebugMsg || type == QtInfoMsg ? plat::LogLevel::Info : plat::LogLevel::Error;
    plat::Log::write(level, "QV_APP", ctx.file != nullptr ? ctx.file : "qt", ctx.line,
                     ctx.function != nullptr ? ctx.function : "", QVRedactLogText(msg));
    if (type == QtFatalMsg) std::abort();
}

}  // namespace

void installRedactingMessageHandler() {
    qInstallMessageHandler(redactingHandler);
}
