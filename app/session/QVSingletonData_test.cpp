#include "session/QVSingletonData.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <thread>

#include "QVNotifications.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "tools/QVAccessData.h"

namespace {

class SessionState : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::SecretStore::setShared(std::make_shared<plat::InMemorySecretStore>());
        s.restoreSingletonData(true);
        s.setModuleCompletionHandler({});
        QVAccessData::saveServiceUserInfo(nullptr);
    }
    void TearDown() override { plat::SecretStore::setShared(nullptr); }
    QVSingletonData &s = QVSingletonData::sharedManager();
};

TEST_F(SessionState, TabChangedOnlyOnChange) {
    int posts = 0;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        kNotif_com_qvNas_TabChanged, nullptr, [&](const plat::Notification &) { ++posts; });
    s.setSelectedType(QVSelectedTypeAllFiles);
    EXPECT_EQ(posts, 0);
    s.setSelectedType(QVSelectedTypeRecycleBin);
    s.setSelectedType(QVSelectedTypeRecycleBin);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(s.selectedType(), 4u);
}

TEST_F(SessionState, SlotKeepsItsCallbackAndEmptySlotDeliversNothing) {
    s.deliverModuleCompletionCode(3);  // empty: nothing happens
    QList<QVModuleCompletionCode> got;
    s.setModuleCompletionHandler([&](QVModuleCompletionCode c) { got.append(c); });
    s.deliverModuleCompletionCode(0);
    s.deliverModuleCompletionCode(14);
    std::thread([&] { s.deliverModuleCompletionCode(9); }).join();  // from another thread: on the main one
    EXPECT_EQ(got, (QList<QVModuleCompletionCode>{0, 14}));
    QCoreApplication::processEvents();
    EXPECT_EQ(got, (QList<QVModuleCompletionCode>{0, 14, 9}));
    QList<QVModuleCompletionCode> other;
    s.setModuleCompletionHandler([&](QVModuleCompletionCode c) { other.append(c); });
    s.deliverModuleCompletionCode(2);
    EXPECT_EQ(got.size(), 3);
    EXPECT_EQ(other, (QList<QVModuleCompletionCode>{2}));
}

TEST_F(SessionState, RestoreResetsEverySessionFieldAndKeepsTheAccountName) {
    auto dev = std::make_shared<QVNasDeviceInfo>();
    dev->ip = "192.168.1.5";
    s.userInfo = std::make_shared<QVUserInfo>();
    s.userInfo->areaCode = "86";
    s.userInfo->userName = "138";
    s.userInfo->setAuthorizationCode("code");
    s.userInfo->setRefreshToken("rt");
    s.userInfo->refreshExprect = 99;
    s.userInfo->setAccessToken("at");
    s.userInfo->accessExprect = 98;
    s.userInfo->setBindDeviceId("dev1");
    s.userInfo->nickName = "n";
    s.setCurrentConnectDeviceInfo(dev);
    EXPECT_EQ(dev->device_authCode, "code");
    EXPECT_EQ(s.currentDevicePublicNetIp, "192.168.1.5");
    s.isConnectDevice = true;
    s.privateUserId = 4294967297LL;
    s.publicUserId = 2;
    s.qvDeviceOtaInfo = std::make_shared<QVNasDeviceOtaInfo>();
    s.searchKey = "q";
    s.currentPresentCtrlPathInfo = QVNasPathInfo::sharePath("/a", 2);
    s.qvRecycleInfo = std::make_shared<QVNasRecycleInfo>();
    s.isOpenHideSpace = true;
    s.isLoginHideSpace = true;
    s.qvHiddenSpaceInfo = std::make_shared<QVFileInfo>();
    s.searchRequestInfo = std::make_shared<QVNasRequestInfo>();
    s.setSelectedType(QVSelectedTypeHiddenSpace);
    EXPECT_EQ(s.uploadTargetPath()->userId, 4294967297LL);

    s.restoreSingletonData(true);
    EXPECT_EQ(s.currentDeviceInfo(), nullptr);
    EXPECT_TRUE(s.currentDevicePublicNetIp.isEmpty());
    EXPECT_FALSE(s.isConnectDevice);
    EXPECT_EQ(s.privateUserId, 0);
    EXPECT_EQ(s.publicUserId, 0);
    EXPECT_EQ(s.qvDeviceOtaInfo, nullptr);
    EXPECT_TRUE(s.searchKey.isEmpty());
    EXPECT_EQ(s.currentPresentCtrlPathInfo, nullptr);
    EXPECT_EQ(s.qvRecycleInfo, nullptr);
    EXPECT_FALSE(s.isOpenHideSpace);
    EXPECT_FALSE(s.isLoginHideSpace);
    EXPECT_EQ(s.qvHiddenSpaceInfo, nullptr);
    EXPECT_EQ(s.searchRequestInfo, nullptr);
    EXPECT_EQ(s.selectedType(), 0u);
    EXPECT_EQ(s.userInfo, nullptr);
    EXPECT_EQ(s.uploadTargetPath()->userId, 0);
    EXPECT_EQ(s.uploadTargetPath()->name, "Tessera");

    auto stored = QVAccessData::getServiceUserInfo();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->areaCode, "86");
    EXPECT_EQ(stored->userName, "138");
    EXPECT_EQ(stored->refreshToken(), "");
    EXPECT_EQ(stored->accessToken(), "");
    EXPECT_EQ(stored->refreshExprect, 0);
    EXPECT_EQ(stored->accessExprect, 0);
    EXPECT_EQ(stored->authorizationCode(), "");
    EXPECT_EQ(stored->bindDeviceId(), "");
    EXPECT_TRUE(stored->nickName.isEmpty());
}

TEST_F(SessionState, RestoreWithoutAccountWritesNoSettings) {
    s.restoreSingletonData(true);
    EXPECT_EQ(QVAccessData::getServiceUserInfo(), nullptr);
}

TEST_F(SessionState, TunnelAddressIsNotTakenAsThePublicOne) {
    s.currentDevicePublicNetIp = "10.0.0.2";
    auto dev = std::make_shared<QVNasDeviceInfo>();
    dev->ip = "127.0.0.1";
    s.setCurrentConnectDeviceInfo(dev);
    EXPECT_EQ(s.currentDevicePublicNetIp, "10.0.0.2");
    EXPECT_EQ(s.currentDeviceInfo(), dev);
}

}  // namespace
