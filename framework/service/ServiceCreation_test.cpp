// The chain of creators: the entry object's factories (refused before a start, then a new object per call,
// each kept), the connection service's and the device user service's sub-services (one per creator), and
// the registered connection service.
#include <gtest/gtest.h>

#include <stdexcept>

#include "service/QVNasClientMacFramework.h"

namespace {

class TestFramework final : public QVNasClientMacFramework {
  public:
    TestFramework() { initService(); }
    using QVNasClientMacFramework::setIsStartService;
    qsizetype kept() const {
        std::lock_guard lock(m_listMu);
        return m_qvNasAccountServicList.size() + m_qvNasUserServiceList.size() +
               m_qvNasDeviceConnectServiceList.size();
    }
    QList<QVNasUserServicePtr> users() const {
        std::lock_guard lock(m_listMu);
        return m_qvNasUserServiceList;
    }
};

struct Factory {
    const char *name;
    std::function<std::shared_ptr<void>(TestFramework &)> make;
};
const Factory kFactories[] = {
    {"account", [](TestFramework &f) { return std::shared_ptr<void>(f.createAccountService()); }},
    {"user", [](TestFramework &f) { return std::shared_ptr<void>(f.createUserServiceByAccessToken("ak")); }},
    {"connect by bind code",
     [](TestFramework &f) {
         return std::shared_ptr<void>(
             f.createDeviceConnectServiceByUserService(nullptr, QStringLiteral("BC")));
     }},
    {"connect by device",
     [](TestFramework &f) {
         return std::shared_ptr<void>(
             f.createDeviceConnectServiceByUserService(nullptr, std::make_shared<QVNasDeviceInfo>()));
     }},
};

TEST(ServiceCreation, FactoriesRefuseBeforeAStartThenMakeANewObjectPerCall) {
    TestFramework fw;
    for (const auto &f : kFactories) {
        SCOPED_TRACE(f.name);
        try {
            f.make(fw);
            ADD_FAILURE() << "no exception";
        } catch (const std::logic_error &e) {
            EXPECT_STREQ(e.what(), "service is not started, please use first qvSdkStartService:.");
        }
    }
    EXPECT_EQ(fw.kept(), 0);
    fw.setIsStartService(true);
    for (const auto &f : kFactories) {
        SCOPED_TRACE(f.name);
        const auto a = f.make(fw);
        const auto b = f.make(fw);
        ASSERT_TRUE(a);
        EXPECT_NE(a, b);
    }
    // Every object made stays with its creator.
    EXPECT_EQ(fw.kept(), 8);
    const auto user = fw.createUserServiceByAccessToken(QStringLiteral("token-3"));
    EXPECT_EQ(fw.users().last(), user);
    EXPECT_EQ(user->accessToken(), "token-3");
    const auto byBc = fw.createDeviceConnectServiceByUserService(user, QStringLiteral("BIND-7"));
    EXPECT_EQ(byBc->deviceBc(), "BIND-7");
    EXPECT_EQ(byBc->userService(), user);
    auto device = std::make_shared<QVNasDeviceInfo>();
    EXPECT_EQ(fw.createDeviceConnectServiceByUserService(user, device)->deviceInfo(), device);
}

TEST(ServiceCreation, SubServicesAreOnePerCreator) {
    auto one = std::make_shared<QVNasDeviceConnectService>(nullptr);
    auto two = std::make_shared<QVNasDeviceConnectService>(nullptr);
    EXPECT_EQ(one->getDeviceUserService(), one->getDeviceUserService());
    EXPECT_NE(one->getDeviceUserService(), two->getDeviceUserService());
    EXPECT_EQ(one->getDeviceManagerService(), one->getDeviceManagerService());
    EXPECT_NE(one->getDeviceManagerService(), two->getDeviceManagerService());
    EXPECT_EQ(one->getFWOTAService(), one->getFWOTAService());
    EXPECT_NE(one->getFWOTAService(), two->getFWOTAService());
    EXPECT_EQ(one->getInitDeviceService(), one->getInitDeviceService());
    EXPECT_NE(one->getInitDeviceService(), two->getInitDeviceService());

    const auto users = one->getDeviceUserService();
    const auto others = two->getDeviceUserService();
    EXPECT_EQ(users->qVNasStorageService(), users->qVNasStorageService());
    EXPECT_NE(users->qVNasStorageService(), others->qVNasStorageService());
    EXPECT_EQ(users->qVNasRecentService(), users->qVNasRecentService());
    EXPECT_NE(users->qVNasRecentService(), others->qVNasRecentService());
    EXPECT_EQ(users->qVNasUSBBackupService(), users->qVNasUSBBackupService());
    EXPECT_NE(users->qVNasUSBBackupService(), others->qVNasUSBBackupService());
    EXPECT_EQ(users->qVNasBackupService(), users->qVNasBackupService());
    EXPECT_NE(users->qVNasBackupService(), others->qVNasBackupService());
}

TEST(ServiceCreation, DestroyingAnOlderConnectionLeavesTheRegisteredOne) {
    auto older = std::make_shared<QVNasDeviceConnectService>(nullptr);
    EXPECT_EQ(QVNasDeviceConnectService::registeredService(), older);
    auto newer = std::make_shared<QVNasDeviceConnectService>(nullptr);
    EXPECT_EQ(QVNasDeviceConnectService::registeredService(), newer);
    older.reset();
    EXPECT_EQ(QVNasDeviceConnectService::registeredService(), newer);
    // The registration never keeps an instance alive.
    std::weak_ptr<QVNasDeviceConnectService> gone = newer;
    newer.reset();
    EXPECT_TRUE(gone.expired());
    EXPECT_EQ(QVNasDeviceConnectService::registeredService(), nullptr);
}

}  // namespace
