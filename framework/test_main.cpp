// The main of the framework's and the app's tests: a private HOME and XDG folders, no session bus, a
// QCoreApplication whose event loop the tests spin while they wait. The build names the binary
// (QV_TEST_NAME).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <string>

#include "platform/MainQueue.h"
#include "platform/WorkPool.h"

int main(int argc, char **argv) {
    char tmpl[] = "/tmp/qv-" QV_TEST_NAME "-XXXXXX";
    const char *home = mkdtemp(tmpl);
    if (home == nullptr) return 2;
    const std::string h(home);
    for (const char *sub : {"/config", "/cache", "/data", "/runtime"}) mkdir((h + sub).c_str(), 0700);
    setenv("HOME", home, 1);
    setenv("XDG_CONFIG_HOME", (h + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (h + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (h + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (h + "/runtime").c_str(), 1);
    // No session bus, except for the keyring tests that run inside a session of their own.
    if (getenv("QV_KEYRING_SESSION") == nullptr) setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);

    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("qvnas"));
    QCoreApplication::setApplicationName(QStringLiteral(QV_TEST_NAME));
    QStandardPaths::setTestModeEnabled(true);
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    plat::MainQueue::close();  // frees workers still waiting for the main thread
    plat::WorkPool::global().waitForDone(10000);
    plat::WorkPool::markLane().waitForDone(10000);
    QDir(QString::fromStdString(h)).removeRecursively();
    return rc;
}
