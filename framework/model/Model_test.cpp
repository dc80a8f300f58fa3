// Model classes: the C text conversion, the bridge's converters, archives, descriptions and derived values.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QStringDecoder>
#include <QTimeZone>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasResponseInfo.h"
#include "model/QVClientSDKTools.h"
#include "model/QVFileAttributeInfo.h"
#include "model/QVNasDeviceInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "model/QVNasFileInfo.h"
#include "model/QVNasPathInfo.h"
#include "platform/KeyedArchiver.h"
#include "platform/Locale.h"
#include "platform/Log.h"

namespace {

// The conversion as first described: the whole text, then ever shorter prefixes, each decoded strictly.
std::optional<QString> shrinkingReference(const std::string &bytes) {
    if (bytes.empty()) return QString();
    for (size_t n = bytes.size(); n >= 1; --n) {
        QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString s = dec.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(n)));
        if (!dec.hasError()) return s;
    }
    return std::nullopt;
}

}  // namespace

TEST(QvFormatChar, TableOfTexts) {
    struct Case {
        const char *what;
        std::string bytes;
        std::optional<QString> want;
    };
    const Case cases[] = {
        {"plain", "abc", QStringLiteral("abc")},
        {"empty", "", QString()},
        {"three-byte character cut", std::string("ab\xE4\xB8\xAD\xE6\x96", 7), QStringLiteral("ab中")},
        {"invalid first byte only", "\xFF", std::nullopt},
        {"invalid first byte then text",
         "\xFF"
         "abc",
         std::nullopt},
        {"invalid in the middle",
         "ab\xC0\xAF"
         "cd",
         QStringLiteral("ab")},
        {"surrogate encoded", "x\xED\xA0\x80", QStringLiteral("x")},
        {"above U+10FFFF", "y\xF4\x90\x80\x80", QStringLiteral("y")},
        {"four-byte character", "\xF0\x9F\x98\x80", QString::fromUtf8("\xF0\x9F\x98\x80")},
    };
    for (const auto &c : cases) {
        const auto got = QVClientSDKTools::qvFormatChar(c.bytes.c_str(), c.bytes.size() + 1);
        EXPECT_EQ(got.has_value(), c.want.has_value()) << c.what;
        if (got && c.want) {
            EXPECT_EQ(*got, *c.want) << c.what;
        }
    }
    EXPECT_FALSE(QVClientSDKTools::qvFormatChar(nullptr, 8).has_value());
}

TEST(QvFormatChar, StopsAtTheFieldWidthWithoutANul) {
    char field[8];
    std::memcpy(field, "abcdefgh", 8);  // full field, no NUL: the width bounds the read
    EXPECT_EQ(*QVClientSDKTools::qvFormatChar(field, sizeof field), QStringLiteral("abcdefgh"));
    char cut[5] = {'a', 'b', '\xE4', '\xB8', '\xAD'};
    EXPECT_EQ(*QVClientSDKTools::qvFormatChar(cut, 4), QStringLiteral("ab"));
}

TEST(QvFormatChar, AgreesWithTheShrinkingDefinition) {
    std::mt19937 gen(7);
    const unsigned char alphabet[] = {'a',  0x7F, 0x80, 0xBF, 0xC2, 0xC0, 0xDF, 0xE0, 0xED, 0xEF,
                                      0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F, 0xE4, 0xB8};
    for (int round = 0; round < 20000; ++round) {
        std::string s(gen() % 12, 'a');
        for (auto &c : s) c = static_cast<char>(alphabet[gen() % sizeof alphabet]);
        const auto want = shrinkingReference(s);
        const auto got = QVClientSDKTools::qvFormatChar(s.data(), s.size());
        ASSERT_EQ(got.has_value(), want.has_value()) << QByteArray::fromStdString(s).toHex().constData();
        if (got) {
            ASSERT_EQ(*got, *want) << QByteArray::fromStdString(s).toHex().constData();
        }
    }
}

TEST(ResponseCode, PlusHundredThousandRule) {
    const struct {
        int64_t in, out;
    } cases[] = {{0, 0}, {15, 100015}, {20008, 120008}, {10284, 110284}, {-1, -1}, {-9004, -9004}};
    for (const auto &c : cases) {
        QVariantMap d{{"responseCode", qlonglong(c.in)}, {"DiskClientCommand", 61}};
        const auto r = QVNasSDKManagerImplement::qvGetResponseInfoByDict(d);
        EXPECT_EQ(r->responseCode, c.out) << c.in;
        EXPECT_EQ(r->clientCommand, 61);
        EXPECT_EQ(r->responseMessage, QStringLiteral(""));
        EXPECT_FALSE(r->responseData.isValid()) << "no data key: responseData unset";
    }
    QVariantMap withEmpty{{"responseCode", 0}, {"DiskClientCommand", 1}, {"data", QVariantList{}}};
    const auto r = QVNasSDKManagerImplement::qvGetResponseInfoByDict(withEmpty);
    ASSERT_TRUE(r->responseData.isValid());
    EXPECT_TRUE(r->responseData.toList().isEmpty());
}

TEST(ResponseInfo, DescriptionShowsMissingMessageAndDataAsEmpty) {
    QVNasResponseInfo r;
    r.clientCommand = 61;
    const QString d = r.debugDescription();
    EXPECT_TRUE(d.startsWith(QStringLiteral("<QVNasResponseInfo : 0x"))) << d.toStdString();
    EXPECT_TRUE(d.contains(QStringLiteral("responseMessage = ;"))) << d.toStdString();
    EXPECT_TRUE(d.contains(QStringLiteral("responseData = ;"))) << d.toStdString();
}

TEST(Converters, FileNodeWithNullTextsGivesEmptyStrings) {
    file_dnode node{};
    node.size = 42;
    node.date = 1700000000;
    node.isFolder = 1;
    node.count = 7;
    node.bucketId = 3;
    node.latitude = 1.5;
    node.longtitude = 2.5;
    const auto f = QVNasSDKManagerImplement::qvGetNasFileInfoByDn(&node);
    EXPECT_EQ(f->name, QString());
    EXPECT_EQ(f->path, QString());
    EXPECT_EQ(f->size, 42u);
    EXPECT_EQ(f->date, 1700000000u);
    EXPECT_TRUE(f->isFolder);
    EXPECT_EQ(f->count, 7u);
    EXPECT_EQ(f->userId, 3);
    EXPECT_DOUBLE_EQ(f->GPS_latitude, 1.5);
    EXPECT_DOUBLE_EQ(f->GPS_longtitude, 2.5);
}

TEST(Converters, PageDropsDotNamesAndKeepsTheReportedCounts) {
    file_list_page page{};
    page.count = 3;
    page.totalCount = 40;
    for (const char *name : {"b", ".cache", "a"})  // the list grows at its head
        ppc_add_file_to_list(&page.list, name, 1, 2, 0, "/p", 0, 0, nullptr, 0);
    ppc_add_file_to_list(&page.list, nullptr, 1, 2, 0, "/p", 0, 0, nullptr, 0);  // no name: kept
    const auto info = QVNasSDKManagerImplement::fileListInfoFromPage(&page);
    ppc_destory_file_list(page.list);
    EXPECT_EQ(info->count, 3);
    EXPECT_EQ(info->totalCount, 40);
    QStringList names;
    for (const auto &f : info->fileList) names << f->name;
    EXPECT_EQ(names, (QStringList{QString(), "a", "b"}));
    EXPECT_TRUE(QVNasSDKManagerImplement::fileListInfoFromPage(nullptr)->fileList.isEmpty());
}

TEST(Converters, DeviceRecordFieldsAndFullWidthTexts) {
    qv_dev_detail d{};
    std::strcpy(d.ip, "127.0.0.2");
    std::memset(d.mac, 'm', sizeof d.mac);  // no NUL: bounded by the field
    std::strcpy(d.type_name, "QUILLET");
    std::strcpy(d.dev_uuid, "uuid-1");
    std::strcpy(d.device_name, "nas");
    std::strcpy(d.p2p_uuid, "P2P");
    const auto info = QVNasSDKManagerImplement::getDeviceDictWithInfo(&d);
    EXPECT_EQ(info->ip, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(info->mac, QString(32, QLatin1Char('m')));
    EXPECT_EQ(info->device_type, QStringLiteral("QUILLET"));
    EXPECT_EQ(info->device_id, QStringLiteral("uuid-1"));
    EXPECT_EQ(info->dev_name, QStringLiteral("nas"));
    EXPECT_EQ(info->device_p2p_uuid, QStringLiteral("P2P"));
}

TEST(Converters, BucketBeyondInt32IsRefused) {
    QByteArray holder;
    EXPECT_FALSE(
        QVNasSDKManagerImplement::qvGetUserObj(QVNasPathInfo::sharePath("/a", 4294967297LL), holder));
    const auto ok = QVNasSDKManagerImplement::qvGetUserObj(QVNasPathInfo::sharePath("/a", 5), holder);
    ASSERT_TRUE(ok);
    EXPECT_STREQ(ok->path, "/a");
    EXPECT_EQ(ok->bucketId, 5);
}

TEST(Archive, FileInfoRoundTrip) {
    QVNasFileInfo f;
    f.size = std::numeric_limits<uint64_t>::max();
    f.date = 1700000000;
    f.isFolder = true;
    f.name = QStringLiteral("名字");
    f.path = QStringLiteral("/a/名字");
    f.count = 4000000000u;
    f.attrState = true;
    f.userId = 4294967297LL;
    f.fileTagList = {"x", "y"};
    f.topImagePaths = {"/t"};
    f.GPS_latitude = 3;
    const QByteArray data = plat::KeyedArchiver::archivedDataWithRootObject(f);
    const auto back = plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasFileInfo>(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->size, f.size);
    EXPECT_EQ(back->date, f.date);
    EXPECT_TRUE(back->isFolder);
    EXPECT_EQ(back->name, f.name);
    EXPECT_EQ(back->path, f.path);
    EXPECT_EQ(back->count, f.count);
    EXPECT_TRUE(back->attrState);
    EXPECT_EQ(back->userId, f.userId);
    EXPECT_EQ(back->fileTagList, f.fileTagList);
    EXPECT_TRUE(back->topImagePaths.isEmpty());
    EXPECT_EQ(back->GPS_latitude, 0);
}

TEST(Archive, PathInfoKeepsABucketBeyond32Bits) {
    const auto p = QVNasPathInfo::sharePath(QStringLiteral("/a"), 4294967297LL);
    const QByteArray data = plat::KeyedArchiver::archivedDataWithRootObject(*p);
    EXPECT_EQ(
        data,
        QByteArray(R"({"$class":"QVNasPathInfo","$v":1,"operateBucketId":4294967297,"operatePath":"/a"})"));
    const auto back = plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasPathInfo>(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->operateBucketId, 4294967297LL);
    EXPECT_EQ(back->operatePath, QStringLiteral("/a"));
}

TEST(Archive, DeviceInfoLeavesOutCredentials) {
    QVNasDeviceInfo d;
    d.ip = "10.0.0.2";
    d.mac = "00:11:22:33:44:55";
    d.online = true;
    d.device_token = 123456789012345LL;
    d.device_authCode = "secret-auth";
    d.device_bindCode = "bind";
    d.device_p2p_uuid = "P2P";
    const QByteArray data = plat::KeyedArchiver::archivedDataWithRootObject(d);
    EXPECT_FALSE(data.contains("123456789012345"));
    EXPECT_FALSE(data.contains("secret-auth"));
    const auto back = plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasDeviceInfo>(data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ip, d.ip);
    EXPECT_EQ(back->mac, d.mac);
    EXPECT_TRUE(back->online);
    EXPECT_EQ(back->device_bindCode, d.device_bindCode);
    EXPECT_EQ(back->device_p2p_uuid, d.device_p2p_uuid);
    EXPECT_EQ(back->device_token, 0);
}

TEST(Archive, WrongClassOrBadBytesDecodeToNull) {
    plat::LogCapture quiet;
    const QByteArray path =
        plat::KeyedArchiver::archivedDataWithRootObject(*QVNasPathInfo::sharePath("/a", 1));
    EXPECT_FALSE(plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasFileInfo>(path));
    EXPECT_FALSE(plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasPathInfo>("[1]"));
    EXPECT_FALSE(
        plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasPathInfo>("{\"$class\":\"QVNasPathInfo\"}"));
    EXPECT_FALSE(plat::KeyedUnarchiver::unarchiveObjectWithData<QVNasPathInfo>(QByteArray("\xff{", 2)));
    EXPECT_TRUE(quiet.contains(QStringLiteral("where QVNasFileInfo was expected")));
}

TEST(DeviceInfo, ShortUrlVectors) {
    const struct {
        const char *mac;
        const char *want;
    } cases[] = {{"00:11:22:33:44:55", "QV_Ybiaui"},
                 {"AA:BB:CC:DD:EE:FF", "QV_7RBvQf"},
                 {"", "QV_QZJ7Fj"},
                 {"设备", "QV_uYFZvu"}};
    for (const auto &c : cases)
        EXPECT_EQ(QVNasDeviceInfo::shortUrl(QString::fromUtf8(c.mac)), QLatin1String(c.want));
}

TEST(DeviceInfo, ShortMacIsDerivedLazilyFromTheMac) {
    QVNasDeviceInfo d;
    EXPECT_FALSE(d.device_shortMac().has_value());
    d.mac = QStringLiteral("00:11:22:33:44:55");
    EXPECT_EQ(d.device_shortMac().value_or(QString()), QStringLiteral("QV_Ybiaui"));
    d.mac = QStringLiteral("AA:BB:CC:DD:EE:FF");  // stored: not recomputed
    EXPECT_EQ(d.device_shortMac().value_or(QString()), QStringLiteral("QV_Ybiaui"));
}

TEST(Descriptions, SecretsAreRedacted) {
    QVNasDeviceInfo d;
    d.device_token = 987654321987LL;
    d.device_authCode = QStringLiteral("auth-xyz");
    d.mac = QStringLiteral("mac-1");
    const QString dd = d.debugDescription();
    EXPECT_FALSE(dd.contains(QStringLiteral("987654321987")));
    EXPECT_FALSE(dd.contains(QStringLiteral("auth-xyz")));
    EXPECT_TRUE(dd.contains(QStringLiteral("mac = mac-1;")));
    QVNasServiceUserInfo u;
    u.userName = QStringLiteral("13800000000");
    u.password = QStringLiteral("pw-secret");
    EXPECT_FALSE(u.debugDescription().contains(QStringLiteral("pw-secret")));
    QVNasFileInfo f;
    EXPECT_TRUE(f.debugDescription().contains(QStringLiteral("name = ;")));
}

TEST(FileAttributeInfo, PhotoTextsInTheSystemZoneEastAndWestOfUtc) {
    // 2024-03-09 23:30:00 UTC, a Saturday in UTC.
    const int64_t t = 1710027000;
    const struct {
        const char *zone;
        const char *lang;
        const char *ymd, *week, *hm;
    } cases[] = {
        {"Asia/Shanghai", "zh-Hans-CN", "2024年03月10日", "星期日", "07:30"},
        {"Asia/Shanghai", "en-US", "2024.03.10", "Sun.", "07:30"},
        {"America/New_York", "fr-FR", "2024.03.09", "Sat.", "18:30"},
        {"UTC", "en", "2024.03.09", "Sat.", "23:30"},
    };
    for (const auto &c : cases) {
        plat::Locale::setSystemTimeZone(QTimeZone(c.zone));
        plat::Locale::setPreferredLanguages({QString::fromLatin1(c.lang)});
        QVFileAttributeInfo a;
        a.photo_time = t;
        EXPECT_EQ(a.photo_ymd(), QString::fromUtf8(c.ymd)) << c.zone << " " << c.lang;
        EXPECT_EQ(a.photo_week(), QString::fromUtf8(c.week)) << c.zone << " " << c.lang;
        EXPECT_EQ(a.photo_hm(), QString::fromUtf8(c.hm)) << c.zone << " " << c.lang;
    }
    plat::Locale::reset();
    QVFileAttributeInfo set;
    set.setPhoto_week(QStringLiteral("kept"));
    set.photo_time = t;
    (void)set.photo_ymd();
    EXPECT_EQ(set.photo_week(), QStringLiteral("kept"));
}

TEST(DeviceUserListInfo, LookupsBeforeAndAfterTheDictionaryExists) {
    QVNasDeviceUserListInfo l;
    EXPECT_EQ(l.getDeviceUserName(5).value_or(QStringLiteral("nil")), QString());
    EXPECT_FALSE(l.getDeviceUserImageUrl(5).has_value());
    EXPECT_FALSE(l.isHaveDeviceUserDictionary());
    (void)l.deviceUserDictionary();
    EXPECT_TRUE(l.isHaveDeviceUserDictionary());
    EXPECT_FALSE(l.getDeviceUserName(5).has_value());
    auto u = std::make_shared<QVNasDeviceUserInfo>();
    u->nick_name = QStringLiteral("amy");
    l.deviceUserDictionary().insert(5, u);
    l.replaceDeviceUserName(QStringLiteral("bea"), 5);
    EXPECT_EQ(l.getDeviceUserName(5).value_or(QString()), QStringLiteral("bea"));
    QVNasTaskOperateStatusInfo s;
    EXPECT_FALSE(s.statusMessage().isNull());
    EXPECT_EQ(s.statusMessage(), QStringLiteral(""));
}

TEST(TransportStreams, FiledStreamsAreReadAndClosedOnRemoval) {
    plat::LogCapture quiet;
    auto &bridge = QVNasSDKManagerImplement::shareManagerImplement();
    auto buffer = std::make_shared<QBuffer>();
    buffer->setData("0123456789");
    ASSERT_TRUE(buffer->open(QIODevice::ReadOnly));
    bridge.addTransportStream(55, buffer);
    char out[4] = {};
    EXPECT_EQ(QVNasSDKManagerImplement::qvReadFileStreamBuffer(55, out, sizeof out), 4);
    EXPECT_EQ(std::string(out, 4), "0123");
    EXPECT_EQ(QVNasSDKManagerImplement::qvReadFileStreamBuffer(56, out, sizeof out), 0);
    bridge.removeTransportStreamWithSeq(55);
    EXPECT_FALSE(buffer->isOpen());
    EXPECT_EQ(QVNasSDKManagerImplement::qvReadFileStreamBuffer(55, out, sizeof out), 0);
    bridge.removeTransportStreamWithSeq(55);  // nothing filed: nothing happens
}
