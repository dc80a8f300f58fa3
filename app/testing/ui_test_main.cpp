// The widget tests' main: offscreen platform, a private HOME and XDG folders, no session bus, animations
// off, a QApplication whose event loop the tests spin while they wait.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <string>

#include "appkit/Animations.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "test_home.h"

int main(int argc, char **argv) {
    const std::string h = enterPrivateHome("appui-test");
    if (h.empty()) return 2;
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    if (getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("qvnas"));
    QCoreApplication::setApplicationName(QStringLiteral("appui_tests"));
    QStandardPaths::setTestModeEnabled(true);
    appkit::Animations::setEnabled(false);
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(10000);
    plat::WorkPool::markLane().waitForDone(10000);
    QDir(QString::fromStdString(h)).removeRecursively();
    return rc;
}
