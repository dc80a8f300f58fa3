#include "tools/QVAccessData.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Paths.h"
#include "platform/SecretStore.h"
#include "tools/QVLogRedaction.h"
#include "tools/QVPrivateTools.h"

namespace {

QVUserInfoPtr account() {
    auto u = std::make_shared<QVUserInfo>();
    u->areaCode = "86";
    u->userName = "13800000000";
    u->setRefreshToken("RT-secret-1");
    u->refreshExprect = 2000.25;
    u->setAccessToken("AT-secret-2");
    u->accessExprect = 1500;
    u->setAuthorizationCode("AUTH-secret-3");
    u->nickName = "nick";
    u->sequenceType = 4;
    return u;
}

TEST(UserInfo, TokenValidityEdgesOnTheFakeClock) {
    struct Case {
        int64_t nowMs;
        const char *token;
        double expiry;
        bool want;
    } cases[] = {
        {0, "t", 0, false},                                 // expiry 0, even at time 0
        {1000000, "t", 1000, false},                        // equal to now
        {999999, "t", 1000, true},   {0, "", 1000, false},  // empty token
        {0, "t", -5, false},
    };
    for (const Case &c : cases) {
        plat::Clock::setFakeMs(c.nowMs);
        QVUserInfo u;
        u.setRefreshToken(c.token);
        u.refreshExprect = c.expiry;
        u.setAccessToken(c.token);
        u.accessExprect = c.expiry;
        EXPECT_EQ(u.judgeRefreshTokenIsEffective(), c.want) << c.nowMs << " " << c.expiry;
        EXPECT_EQ(u.judgeAccessTokenIsEffective(), c.want) << c.nowMs << " " << c.expiry;
    }
    plat::Clock::clearFake();
}

TEST(UserInfo, ArchiveRoundTripAndRedactedDescription) {
    const auto u = account();
    const QByteArray data = plat::KeyedArchiver::archivedDataWithRootObject(*u);
    EXPECT_FALSE(data.contains("bindDeviceId"));  // empty fields are stored as none
    const auto back = plat::KeyedUnarchiver::unarchiveObjectWithData<QVUserInfo>(data);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->refreshExprect, 2000.25);
    EXPECT_EQ(back->refreshToken(), "RT-secret-1");
    EXPECT_EQ(back->authorizationCode(), "AUTH-secret-3");
    EXPECT_EQ(back->bindDeviceId(), "");
    EXPECT_FALSE(back->bindDeviceId().isNull());
    EXPECT_EQ(back->sequenceType, 4);
    const QString d = u->debugDescription();
    EXPECT_FALSE(d.contains("secret")) << qPrintable(d);
    EXPECT_TRUE(d.contains("13800000000"));
}

TEST(Redaction, JsonKeysAndQueryParameters) {
    struct Case {
        const char *in, *want;
    } cases[] = {
        {R"({"refreshToken":"abc","x":1})", R"({"refreshToken":"***","x":1})"},
        {R"({"accessToken" : "a\"b", "ak":"k"})", R"({"accessToken" : "***", "ak":"***"})"},
        {R"({"password":12345})", R"({"password":"***"})"},
        {"http://h/1/a?KID=123&ssig=abcdefghij", "http://h/1/a?KID=***&ssig=***"},
        {"auth_code=xyz&name=ok", "auth_code=***&name=ok"},
        {"login password=hunter2 done", "login password=*** done"},
        {"kid=1&akx=2&{\"name\":\"ak\"}", "kid=1&akx=2&{\"name\":\"ak\"}"},  // other keys untouched
    };
    for (const Case &c : cases)
        EXPECT_EQ(QVRedactLogText(QString::fromUtf8(c.in)), QString::fromUtf8(c.want)) << c.in;
}

class AccessData : public ::testing::Test {
  protected:
    void SetUp() override {
        QFile::remove(plat::Defaults::suitePath(QVAccessData::kSuiteName));
        plat::SecretStore::setShared(m_secrets);
    }
    void TearDown() override { plat::SecretStore::setShared(nullptr); }
    std::shared_ptr<plat::InMemorySecretStore> m_secrets = std::make_shared<plat::InMemorySecretStore>();
};

TEST_F(AccessData, DefaultsWhenNothingIsStored) {
    EXPECT_EQ(QVAccessData::getServiceUserInfo(), nullptr);
    EXPECT_FALSE(QVAccessData::getIsAutoLoginService());
    EXPECT_FALSE(QVAccessData::getIsRememberDownloadPath());
    EXPECT_EQ(QVAccessData::getDefaultDownloadPath(), plat::Paths::downloads());
    EXPECT_TRUE(QVAccessData::getFixedFileTagList().isEmpty());
    QVAccessData::saveDefaultDownloadPath("");
    EXPECT_EQ(QVAccessData::getDefaultDownloadPath(), plat::Paths::downloads());
    QVAccessData::saveDefaultDownloadPath("/data/dl");
    EXPECT_EQ(QVAccessData::getDefaultDownloadPath(), "/data/dl");
    QVAccessData::saveIsAutoLoginService(true);
    QVAccessData::saveIsRememberDownloadPath(true);
    EXPECT_TRUE(QVAccessData::getIsAutoLoginService());
    EXPECT_TRUE(QVAccessData::getIsRememberDownloadPath());
}

TEST_F(AccessData, TagLists) {
    EXPECT_FALSE(QVAccessData::getQvUserDefaults()->contains("QVDynamicTagList"));
    const QStringList first = QVAccessData::getDynamicFileTagList();
    EXPECT_EQ(first.size(), 8);
    EXPECT_EQ(first.first(), QVPrivateTools::localizedOrKey("QV_Tag_Landscape"));  // stored localised
    EXPECT_TRUE(QVAccessData::getQvUserDefaults()->contains("QVDynamicTagList"));  // stored at the first read
    QVAccessData::saveDynamicFileTagList(QStringList{});
    EXPECT_TRUE(QVAccessData::getDynamicFileTagList().isEmpty());
    QVAccessData::saveDynamicFileTagList(std::nullopt);
    EXPECT_TRUE(QVAccessData::getDynamicFileTagList().isEmpty());
    QVAccessData::saveFixedFileTagList(QStringList{"a", "b"});
    EXPECT_EQ(QVAccessData::getFixedFileTagList(), (QStringList{"a", "b"}));
    QVAccessData::saveFixedFileTagList(QStringList{});
    EXPECT_TRUE(QVAccessData::getFixedFileTagList().isEmpty());
}

TEST_F(AccessData, AccountWithoutSecretsInTheFile) {
    QVAccessData::saveServiceUserInfo(account());
    QVAccessData::getQvUserDefaults()->sync();
    QFile ini(plat::Defaults::suitePath(QVAccessData::kSuiteName));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    EXPECT_TRUE(text.contains("13800000000"));
    EXPECT_FALSE(text.contains("secret")) << text.constData();

    auto back = QVAccessData::getServiceUserInfo();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->refreshToken(), "RT-secret-1");
    EXPECT_EQ(back->accessToken(), "AT-secret-2");
    EXPECT_EQ(back->authorizationCode(), "AUTH-secret-3");
    EXPECT_EQ(back->refreshExprect, 2000.25);

    // A lost secret: the account comes back with invalid tokens, not an error.
    m_secrets->remove("QVNasServiceUserInfo");
    back = QVAccessData::getServiceUserInfo();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->refreshToken(), "");
    EXPECT_FALSE(back->judgeRefreshTokenIsEffective());

    QVAccessData::saveServiceUserInfo(nullptr);
    EXPECT_FALSE(QVAccessData::getQvUserDefaults()->contains("QVNasServiceUserInfo"));
    EXPECT_EQ(QVAccessData::getServiceUserInfo(), nullptr);
}

TEST_F(AccessData, DamagedArchiveReadsAsNull) {
    for (const char *bad :
         {"{trunc", "[]", "{\"$class\":\"Other\",\"$v\":1}", "{\"$class\":\"QVUserInfo\",\"$v\":9}"}) {
        QVAccessData::getQvUserDefaults()->setValue("QVNasServiceUserInfo", QString::fromLatin1(bad));
        EXPECT_EQ(QVAccessData::getServiceUserInfo(), nullptr) << bad;
    }
}

mode_t modeOf(const QString &path) {
    struct stat st {};
    lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

TEST(SecretStore, KeyringWithoutSessionBusFallsBackToPrivateFiles) {
    // The tests run with DBUS_SESSION_BUS_ADDRESS=disabled: the keyring answers an error at once.
    plat::KeychainSecretStore store(QStringLiteral("qvnas-test"), 5000);
    ASSERT_TRUE(store.save("tok", "value-1"));
    EXPECT_TRUE(store.usingFileFallback());
    EXPECT_EQ(store.load("tok"), QByteArray("value-1"));
    plat::FileSecretStore files;
    const QString path = files.pathForKey("tok");
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(QFileInfo(path).path()), 0700u);
    EXPECT_TRUE(store.remove("tok"));
    EXPECT_EQ(store.load("tok"), std::nullopt);
    EXPECT_TRUE(store.remove("never"));
}

}  // namespace

namespace {

// Run by the ctest app_keyring_secret_store, inside dbus-run-session with an unlocked keyring.
TEST(Keyring, TokensGoToTheUnlockedKeyring) {
    if (qEnvironmentVariableIsEmpty("QV_KEYRING_SESSION"))
        GTEST_SKIP() << "needs the keyring session (ctest app_keyring_secret_store)";
    plat::KeychainSecretStore store(QStringLiteral("qvnas-keyring-test"), 5000);
    ASSERT_TRUE(store.save("QVNasServiceUserInfo", "{\"accessToken\":\"k1\"}"));
    EXPECT_FALSE(store.usingFileFallback());
    EXPECT_EQ(store.load("QVNasServiceUserInfo"), QByteArray("{\"accessToken\":\"k1\"}"));
    EXPECT_FALSE(QFile::exists(plat::FileSecretStore().pathForKey("QVNasServiceUserInfo")));
    EXPECT_TRUE(store.remove("QVNasServiceUserInfo"));
    EXPECT_EQ(store.load("QVNasServiceUserInfo"), std::nullopt);
    EXPECT_FALSE(store.usingFileFallback());
}

}  // namespace
