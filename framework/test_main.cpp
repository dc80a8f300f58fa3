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
#include "test_home.h"

int main(int argc, char **argv) {
    const std::string h = enterPrivateHome(QV_TEST_NAME);
    if (h.empty()) return 2;
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
