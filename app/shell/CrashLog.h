// Crash logging: SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS and SIGPIPE write "signal = <n>" and the call
// stack to a crash log opened beforehand; a terminate (an uncaught exception) writes "exception = <what>"
// and the stack. Handlers use write(2) only. A fault (SEGV, BUS, ILL, FPE) is never resumed: the handler
// resets itself and raises the signal again, so the process dies of it; SIGPIPE and SIGABRT return.
#pragma once

#include <QString>

class CrashLog final {
  public:
    CrashLog() = delete;

    // Opens `path` for appending (created 0600, its folder 0700) and installs the handlers. False when the
    // file cannot be opened (the handlers are then installed over standard error).
    static bool install(const QString &path);
    // Installs the handlers over an open descriptor (kept open for the life of the process).
    static void installWithFd(int fd);
    // <AppDataLocation>/Logs/crash.log
    static QString defaultPath();

    static void signalHandler(int sig);
    [[noreturn]] static void handleExceptions();
};

// Qt's messages (qDebug, qWarning, ...) into the log, secrets hidden (QVRedactLogText).
void installRedactingMessageHandler();
