// The keychain store, the client's uuid kept in it, and the small shared tools.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "model/QVClientSDKTools.h"
#include "model/QVKeyChain.h"
#include "model/QVNasDeviceInfo.h"
#include "platform/Log.h"
#include "platform/SecretStore.h"

namespace {

class Tools : public testing::Test {
  protected:
    void SetUp() override { plat::SecretStore::setShared(store); }
    void TearDown() override { plat::SecretStore::setShared(nullptr); }
    std::shared_ptr<plat::InMemorySecretStore> store = std::make_shared<plat::InMemorySecretStore>();
};

TEST_F(Tools, KeychainKeepsTypedObjectsAndRefusesOtherClasses) {
    QVNasDeviceInfo device;
    device.ip = "127.0.0.2";
    device.dev_name = "名前";
    device.device_token = 77;  // never archived
    ASSERT_TRUE(QVKeyChain::save("dev", device));
    device.ip = "127.0.0.3";
    ASSERT_TRUE(QVKeyChain::save("dev", device));  // replaces
    const auto back = QVKeyChain::load<QVNasDeviceInfo>("dev");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ip, "127.0.0.3");
    EXPECT_EQ(back->dev_name, "名前");
    EXPECT_EQ(back->device_token, 0);
    EXPECT_FALSE(QVKeyChain::load<QVNasDeviceInfo>("never saved"));

    // Another class under the key: none, logged, and the item stays.
    plat::LogCapture log;
    EXPECT_FALSE(QVKeyChain::load<QVKeyChainUUIDRecord>("dev"));
    EXPECT_TRUE(log.contains("Unarchive of dev failed"));
    EXPECT_TRUE(store->load("dev"));
    ASSERT_TRUE(store->save("junk", "not an archive"));
    EXPECT_FALSE(QVKeyChain::load<QVNasDeviceInfo>("junk"));
    EXPECT_TRUE(store->load("junk"));

    EXPECT_TRUE(QVKeyChain::deleteItem("dev"));
    EXPECT_FALSE(QVKeyChain::load<QVNasDeviceInfo>("dev"));
    const QVariantMap q = QVKeyChain::getKeychainQuery("k");
    EXPECT_EQ(q.value("service"), "k");
    EXPECT_EQ(q.value("account"), "k");
}

TEST_F(Tools, UuidIsSavedReadAndDeleted) {
    EXPECT_FALSE(QVKeyChainDataManager::readUUID());
    ASSERT_TRUE(QVKeyChainDataManager::saveUUID("0B7C0B7C0B7C0B7C0B7C0B7C0B7C0B7C"));
    EXPECT_EQ(QVKeyChainDataManager::readUUID(), QStringLiteral("0B7C0B7C0B7C0B7C0B7C0B7C0B7C0B7C"));
    const auto raw = store->load("QV_NAS_KEY_IN_KEYCHAIN_UUID");
    ASSERT_TRUE(raw);
    EXPECT_TRUE(raw->contains("\"QV_NAS_KEY_UUID\":\"0B7C0B7C0B7C0B7C0B7C0B7C0B7C0B7C\""));
    EXPECT_TRUE(QVKeyChainDataManager::deleteUUID());
    EXPECT_FALSE(QVKeyChainDataManager::readUUID());
}

TEST(ToolsFiles, CachesPathIsMadeWithItsParentsInAFreshHome) {
    QTemporaryDir dir;
    const QByteArray oldHome = qgetenv("HOME"), oldCache = qgetenv("XDG_CACHE_HOME");
    const QString home = dir.path() + "/fresh/home";
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CACHE_HOME", (home + "/.cache").toUtf8());
    const QString caches = QVClientSDKTools::getCachesPath();
    qputenv("HOME", oldHome);
    qputenv("XDG_CACHE_HOME", oldCache);
    EXPECT_TRUE(caches.startsWith(home)) << caches.toStdString();
    EXPECT_TRUE(caches.endsWith("/QVFileCaches"));
    EXPECT_TRUE(QFileInfo(caches).isDir());
    // createFile makes no parents and answers the path all the same.
    const QString orphan = dir.path() + "/no/such/parent";
    EXPECT_EQ(QVClientSDKTools::createFile(orphan), orphan);
    EXPECT_FALSE(QVClientSDKTools::isExistsFile(orphan));
    EXPECT_EQ(QVClientSDKTools::createFile(dir.path() + "/one"), dir.path() + "/one");
    EXPECT_TRUE(QVClientSDKTools::isExistsFile(dir.path() + "/one"));
}

TEST(ToolsText, Md5IsLowerHexOfTheUtf8Bytes) {
    const std::pair<QString, QString> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"中文 ✓", "bc4949a165f41be2aac3864055e17f87"},
    };
    for (const auto &[in, md5] : cases)
        EXPECT_EQ(QVClientSDKTools::md5ForString(in), md5) << in.toStdString();
}

TEST(ToolsText, JsonBothWays) {
    struct Parse {
        QByteArray in;
        std::optional<QJsonValue> out;
    };
    const Parse parses[] = {
        {R"({"a":1,"b":[true,null]})", QJsonObject{{"a", 1}, {"b", QJsonArray{true, QJsonValue()}}}},
        {"[1, \"x\"]", QJsonArray{1, "x"}},
        {"42", QJsonValue(42)},
        {"\"text\"", QJsonValue("text")},
        {"", std::nullopt},
        {"{\"a\":", std::nullopt},
        {"1 2", std::nullopt},
        {"\xff", std::nullopt},
    };
    for (const Parse &p : parses)
        EXPECT_EQ(QVClientSDKTools::jsonDataToDictionary(p.in), p.out) << p.in.toStdString();

    const std::pair<QJsonValue, QString> converts[] = {
        {QJsonObject{{"a", 1}, {"b", QJsonArray{1, 2}}},
         R"({    "a": 1,    "b": [        1,        2    ]})"},
        {QJsonArray{}, "[]"},
        {QJsonValue("x\ny"), R"("x\ny")"},
        {QJsonValue(3.5), "3.5"},
    };
    for (const auto &[value, text] : converts) EXPECT_EQ(QVClientSDKTools::convertToJSONData(value), text);
    plat::LogCapture log;
    EXPECT_EQ(QVClientSDKTools::convertToJSONData(QJsonValue(QJsonValue::Undefined)), "");
    EXPECT_TRUE(log.contains("Got an error:"));
}

TEST(ToolsText, FixedFieldsAreCutAtACharacterBoundary) {
    struct Case {
        QByteArray in;
        size_t width;
        QByteArray stored;
    };
    const QByteArray name32 = QByteArray(30, 'a') + "\xc3\xa9";  // 32 bytes, the last character two bytes
    const Case cases[] = {
        {"short", 33, "short"},
        {QByteArray(40, 'x'), 33, QByteArray(32, 'x')},
        {name32, 33, name32},
        {name32 + "b", 32, QByteArray(30, 'a')},  // the cut falls inside "é": dropped
        {QByteArray(29, 'a') + "\xe4\xb8\xad\xe6\x96\x87", 33, QByteArray(29, 'a') + "\xe4\xb8\xad"},
        {"\xf0\x9f\x98\x80", 4, ""},  // a 4-byte character into 3 bytes of room
        {"", 8, ""},
    };
    for (const Case &c : cases) {
        std::vector<char> field(c.width + 4, '#');
        QVClientSDKTools::copyToField(field.data(), c.width, c.in);
        EXPECT_EQ(QByteArray(field.data()), c.stored) << c.in.toStdString() << " in " << c.width;
        for (size_t i = static_cast<size_t>(c.stored.size()); i < c.width; ++i) EXPECT_EQ(field[i], '\0');
        EXPECT_EQ(field[c.width], '#') << "wrote past the field";
    }
}

TEST(ToolsMachine, HardwareUuidAndNameAreNeverEmpty) {
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{32}$").match(QVClientSDKTools::getHardwareUUID()).hasMatch());
    EXPECT_FALSE(QVClientSDKTools::deviceString().isEmpty());
}

}  // namespace
