#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <thread>
#include <vector>

#include "platform/Locale.h"
#include "tools/NSString_escapeURLString.h"
#include "tools/QVPrivateTools.h"
#include "tools/QVSingletonDateManage.h"
#include "tools/ZRSyncMutableArray.h"

namespace {

QString u(const char *s) {
    return QString::fromUtf8(s);
}

TEST(Template, FillsPlaceholdersInOrder) {
    struct Case {
        const char *tmpl;
        QStringList values;
        const char *want;
    } cases[] = {
        {"A%sB%sC", {"X", "Y"}, "AXBYC"},
        {"A%sB%sC", {"X", "Y", "Z"}, "A%sB%sC"},  // as many pieces as values: unchanged
        {"A%sB%sC", {"X", "Y", "Z", "W"}, "AXBYC"},
        {"plain", {"X"}, "plain"},
        {"plain", {}, "plain"},
        {"A%sB%sC", {"X"}, "AXBC"},  // too few values: the missing one is empty
        {"A%sB%sC", {}, "ABC"},
        {"%s", {}, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(internationalizationCopywriterProcessing(u(c.tmpl), c.values), u(c.want)) << c.tmpl;
}

TEST(UrlEscape, EscapesReservedKeepsPathCharacters) {
    struct Case {
        const char *in, *want;
    } cases[] = {
        {"a-b.c_d~e/f:g=h&i", "a-b.c_d~e/f:g=h&i"},
        {"!*'\"();@+$,?%#[] ", "%21%2A%27%22%28%29%3B%40%2B%24%2C%3F%25%23%5B%5D%20"},
        {"中", "%E4%B8%AD"},
        {"", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(urlEncodeUsingEncoding(u(c.in)), u(c.want)) << c.in;
}

TEST(Text, QuoteDoublingEmojiAndBlank) {
    EXPECT_EQ(replayceString(QString("it's")), "it''s");
    EXPECT_EQ(replayceString(QVariant(5)), "");
    EXPECT_EQ(formatEmoji(u("a\U0001F600b")), u("a\u25A1b"));
    EXPECT_EQ(formatEmoji(u("1\u20E3x")), u("\u25A1x"));
    EXPECT_EQ(formatEmoji(u("中文\u00A9")), u("中文\u25A1"));
    EXPECT_TRUE(isEmpty(QString(" \n\t ")));
    EXPECT_FALSE(isEmpty(QString(" a ")));
    EXPECT_TRUE(isEmpty(QList<int>{}));
}

TEST(Dates, FormattersAndLeapDay) {
    const QDateTime leap(QDate(2024, 2, 29), QTime(12, 0), plat::Locale::systemTimeZone());
    EXPECT_EQ(QVSingletonDateManage::getCreateDateFormatter().stringFromDate(leap), "2024-02-29");
    EXPECT_EQ(QVSingletonDateManage::getModifyDateFormatter().stringFromDate(leap), "2024-02-29 12:00:00");
    EXPECT_EQ(QVSingletonDateManage::getSystemTimeZoneDate(86400.5).toMSecsSinceEpoch(), 86400500);
}

TEST(FileType, SuffixTableFirstMatchWins) {
    struct Case {
        const char *name;
        int64_t type;
        const char *image, *suffix;
    } cases[] = {
        {"clip.M2TS", 1, "video", ".m2ts"},  // ".ts" is tested before ".m2ts": video either way
        {"a.c", 4, "file_code", ""},        {"a.m", 4, "file_code", ".m"},
        {"x.exe", 4, "file_bat", ""},       {".DS_Store", -1, "unknownfile", ".ds_store"},
        {"p.JPG", 3, "picture", ".jpg"},    {"s.flac", 2, "music", ".flac"},
        {"a.tar.zip", 5, "zip", ".zip"},    {"noext", 7, "unknownfile", ""},
        {"", 7, "unknownfile", ""},
    };
    for (const Case &c : cases) {
        const QVariantMap r = QVPrivateTools::JudgeReadFileType(u(c.name));
        EXPECT_EQ(r["FileType"].toLongLong(), c.type) << c.name;
        EXPECT_EQ(r["imagePath"].toString(), c.image) << c.name;
        EXPECT_EQ(r["fileSuffix"].toString(), c.suffix) << c.name;
    }
}

TEST(FileType, NameSplit) {
    struct Case {
        const char *name, *base, *suffix;
    } cases[] = {
        {"a.b.txt", "a.b", ".txt"}, {".word", "", ".word"}, {"plain", "plain", ""}, {"end.", "end", "."}};
    for (const Case &c : cases) {
        const QVariantMap r = QVPrivateTools::checkReadFileType(u(c.name));
        EXPECT_EQ(r["fileNameWithOutSuffix"].toString(), c.base) << c.name;
        EXPECT_EQ(r["fileSuffix"].toString(), c.suffix) << c.name;
    }
}

TEST(Sizes, TextsAndParse) {
    struct Case {
        uint64_t size;
        const char *want;
    } cases[] = {{0, "0 KB"},         {512, "512bytes"},        {1536, "1.50KB"},    {10240, "10.0KB"},
                 {102400, "100KB"},   {1048575, "1024KB"},      {1048576, "1.00MB"}, {1073741824, "1.00GB"},
                 {1023, "1023bytes"}, {5368709120ULL, "5.00GB"}};
    for (const Case &c : cases) EXPECT_EQ(QVPrivateTools::formattedFileSize(c.size), c.want) << c.size;
    EXPECT_EQ(QVPrivateTools::antiFormatFileSize("512bytes"), 512u);
    EXPECT_EQ(QVPrivateTools::antiFormatFileSize("1.50KB"), 1536u);
    EXPECT_EQ(QVPrivateTools::antiFormatFileSize("2.00MB"), 2097152u);
    EXPECT_EQ(QVPrivateTools::antiFormatFileSize("0 KB"), 0u);
    EXPECT_EQ(QVPrivateTools::antiFormatFileSize("junk"), 0u);
}

TEST(Durations, BelowADayAndWithDays) {
    EXPECT_EQ(QVPrivateTools::getTimeWithBootTime(0), "00:00:00");
    EXPECT_EQ(QVPrivateTools::getTimeWithBootTime(3661), "01:01:01");
    EXPECT_EQ(QVPrivateTools::getTimeWithBootTime(86399), "23:59:59");
    // With days the localised template is filled: days, hours, minutes, seconds.
    plat::Locale::setPreferredLanguages({"en-GB"});
    QVPrivateTools::resetLanguageForTests();
    EXPECT_EQ(QVPrivateTools::getTimeWithBootTime(90061), "01 days 01:01:01");
    plat::Locale::setPreferredLanguages({"zh-Hans-CN"});
    QVPrivateTools::resetLanguageForTests();
    EXPECT_EQ(QVPrivateTools::getTimeWithBootTime(2 * 86400 + 5), QString::fromUtf8("02天 00:00:05"));
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

TEST(Md5, MatchesKnownDigests) {
    // Digests computed with md5sum.
    EXPECT_EQ(QVPrivateTools::md5ForString(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(QVPrivateTools::md5ForString("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Language, FromPreferredLanguage) {
    struct Case {
        const char *preferred, *want;
    } cases[] = {
        {"zh-HK", "zh-Hant"}, {"zh-SG", "zh-Hant"}, {"zh-Hans-HK", "zh-Hans"}, {"zh-Hant-CN", "zh-Hant"},
        {"zh-CN", "zh"},      {"ja-JP", "ja"},      {"de-DE", "en"},           {"", "en"}};
    for (const Case &c : cases)
        EXPECT_EQ(QVPrivateTools::languageForPreferredLanguage(c.preferred), c.want) << c.preferred;

    plat::Locale::setPreferredLanguages({"zh-HK", "en-US"});
    QVPrivateTools::resetLanguageForTests();
    EXPECT_EQ(QVPrivateTools::chosenLanguage(), "zh-Hant");
    plat::Locale::setPreferredLanguages({"de-DE"});
    EXPECT_EQ(QVPrivateTools::chosenLanguage(), "zh-Hant");  // fixed at the first lookup
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

// The Linguist catalogues, compiled into the library: each language's text of a key; a key no catalogue
// holds comes back as itself.
TEST(Localizer, CataloguePerLanguageAndMissingKeys) {
    struct Case {
        const char *preferred, *language, *text;
    } cases[] = {
        {"en-US", "en", "Delete failed"},      {"de-DE", "en", "Delete failed"},
        {"zh-CN", "zh", "删除失败"},           {"zh-Hans-HK", "zh-Hans", "删除失败"},
        {"zh-HK", "zh-Hant", "刪除失敗"},      {"zh-TW", "zh-Hant", "刪除失敗"},
        {"ja-JP", "ja", "削除に失敗しました"},
    };
    for (const Case &c : cases) {
        plat::Locale::setPreferredLanguages({c.preferred});
        QVPrivateTools::resetLanguageForTests();
        EXPECT_EQ(QVPrivateTools::chosenLanguage(), c.language) << c.preferred;
        EXPECT_EQ(QVPrivateTools::DPLocalizedString("QV_Remind_Operate_Delete_Failed"), u(c.text))
            << c.preferred;
        EXPECT_EQ(QVPrivateTools::DPLocalizedString("QV_No_Such_Key"), QString("QV_No_Such_Key"))
            << c.preferred;
    }
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

// What the login and connect screens show is in every catalogue: a missing text shows its bare key.
TEST(Localizer, SignInAndConnectTextsInEveryLanguage) {
    const char *keys[] = {"QV_Login_Remind_Enter_Password", "QV_Login_Prompt_Password_Error",
                          "QV_Login_Private_Fail",          "QV_MAC_Login_Device_Notready",
                          "QV_Remind_Network_Change",       "QV_Control_Cancel"};
    for (const char *preferred : {"en-US", "zh-CN", "zh-Hans-HK", "zh-TW", "ja-JP"}) {
        plat::Locale::setPreferredLanguages({preferred});
        QVPrivateTools::resetLanguageForTests();
        for (const char *key : keys) {
            const QString text = QVPrivateTools::DPLocalizedString(key).value_or(QString());
            EXPECT_FALSE(text.isEmpty() || text == QLatin1String(key)) << preferred << " " << key;
        }
    }
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

TEST(ErrorMessages, RowsGapsAndDefault) {
    plat::Locale::setPreferredLanguages({"de-DE"});
    QVPrivateTools::resetLanguageForTests();  // de-DE reads English
    struct Case {
        int64_t code;
        const char *want;
    } cases[] = {
        {0, "任务成功"},
        {-1, "return error"},
        {-2, "Error Code : -2"},
        {-3, "The name cannot contain special characters"},
        {110001, "命令无效"},
        {110101, "Error Code : 110101"},
        {110228, "Error Code : 110228"},
        {200001, "Error Code : 200001"},
        {229999, "Error Code : 229999"},
        {100002, "Log-out failed"},
        {110017, "Wrong password(110017)"},
        {120000, "unknow error"},
        {110230, "create thumbail error"},
        {114000, "get bucket info error"},
        {120006, "The task failed"},
        {110251, "UCI 错误"},
    };
    for (const Case &c : cases) EXPECT_EQ(QVPrivateTools::getErrorMessage(c.code), u(c.want)) << c.code;
    plat::Locale::reset();
    QVPrivateTools::resetLanguageForTests();
}

// --- the thread-safe array ---

using Item = std::shared_ptr<QString>;
Item item(const char *s) {
    return std::make_shared<QString>(QString::fromLatin1(s));
}

TEST(SyncArray, SemanticsTable) {
    ZRSyncMutableArray<Item> a;
    EXPECT_EQ(a.objectAtIndex(0), nullptr);
    a.insertObject(item("x"), 0);  // index 0 of an empty list is not below the count
    EXPECT_EQ(a.count(), 0u);
    a.removeLastObject();
    EXPECT_EQ(a.count(), 0u);
    const Item one = item("one");
    a.addObject(one);
    a.addObject(nullptr);
    EXPECT_EQ(a.count(), 1u);        // a thread reads its own write at once
    a.insertObject(item("end"), 1);  // at the count: ignored
    EXPECT_EQ(a.count(), 1u);
    a.insertObject(item("zero"), 0);
    EXPECT_EQ(*a.objectAtIndex(0), "zero");
    EXPECT_EQ(a.objectAtIndex(2), nullptr);
    const Item twin = item("one");
    EXPECT_TRUE(a.containsObject(twin));                                     // equal
    EXPECT_EQ(a.indexOfObject(twin), ZRSyncMutableArray<Item>::NSNotFound);  // not identical
    EXPECT_EQ(a.indexOfObject(one), 1u);
    a.replaceObjectAtIndex(0, nullptr);
    a.replaceObjectAtIndex(5, item("no"));
    a.replaceObjectAtIndex(0, item("first"));
    EXPECT_EQ(*a.objectAtIndex(0), "first");
    a.addObject(item("one"));
    a.removeObject(twin);  // every equal element
    EXPECT_EQ(a.count(), 1u);
    a.removeObjectAtIndex(3);
    a.removeObjectAtIndex(0);
    EXPECT_EQ(a.count(), 0u);
}

TEST(SyncArray, SnapshotsAreNotTheLiveList) {
    ZRSyncMutableArray<Item> a;
    a.addObject(item("a"));
    const QList<Item> snap = a.safeArray();
    const QList<Item> walk = a.objectEnumerator();
    a.removeAllObjects();
    EXPECT_EQ(snap.size(), 1);
    EXPECT_EQ(walk.size(), 1);
    EXPECT_EQ(a.count(), 0u);
}

TEST(SyncArray, EightThreadsReadWriteIterate) {
    ZRSyncMutableArray<Item> a;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&a, t] {
            for (int i = 0; i < 2000; ++i) {
                switch ((t + i) % 4) {
                    case 0:
                        a.addObject(item("v"));
                        break;
                    case 1:
                        a.removeLastObject();
                        break;
                    case 2:
                        for (const Item &x : a.objectEnumerator()) ASSERT_NE(x, nullptr);
                        break;
                    default:
                        (void)a.objectAtIndex(a.count() / 2);
                        break;
                }
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_LE(a.count(), 8u * 2000u);
}

}  // namespace

#include "tools/PhoneCheck.h"

namespace {

TEST(Phone, MobileNumbersByAreaCode) {
    struct Case {
        const char *number;
        int64_t area;
        bool want;
    } cases[] = {
        {"13800138000", 86, true}, {"1380013800", 86, false}, {"2015550123", 1, true},
        {"abc", 86, false},        {"", 86, false},           {"91234567", 852, true},
    };
    for (const Case &c : cases) EXPECT_EQ(PhoneCheck::isMobileNumber(c.number, c.area), c.want) << c.number;
}

}  // namespace

#include <QTimeZone>

#include "platform/Clock.h"

namespace {

TEST(StreamTest, ListedSchemesOnly) {
    struct Case {
        const char *path;
        bool want;
    } cases[] = {
        {"http://h/a", true},   {"HTTP://h/a", true},      {"https://h", true}, {"HTTPS://h", true},
        {"rtmp://h", true},     {"/local/rtsp://x", true}, {"mms://h", true},   {"Http://h/a", false},
        {"/plain/path", false}, {"ftp://h", false},        {"", false}};
    for (const Case &c : cases) EXPECT_EQ(QVPrivateTools::isStream(c.path), c.want) << c.path;
}

TEST(Json, FragmentsParseAndTextHasNoLineBreaks) {
    EXPECT_EQ(QVPrivateTools::jsonDataToDictionary("{\"a\":1}").toMap().value("a").toInt(), 1);
    EXPECT_EQ(QVPrivateTools::jsonDataToDictionary("\"x\"").toString(), "x");
    EXPECT_EQ(QVPrivateTools::jsonDataToDictionary("3").toInt(), 3);
    EXPECT_FALSE(QVPrivateTools::jsonDataToDictionary("{").isValid());
    EXPECT_FALSE(QVPrivateTools::jsonDataToDictionary("1,2").isValid());
    const QString t = QVPrivateTools::convertToJSONData(QVariantMap{{"a", 1}, {"b", QVariantList{1, 2}}});
    EXPECT_FALSE(t.contains('\n'));
    EXPECT_EQ(QVPrivateTools::jsonDataToDictionary(t.toUtf8()).toMap().value("b").toList().size(), 2);
    EXPECT_EQ(QVPrivateTools::convertToJSONData(QString("x")), "\"x\"");
}

TEST(Times, RelativeTextsAndWeekdays) {
    plat::Locale::setSystemTimeZone(QTimeZone("Asia/Shanghai"));
    // Now: 2024-03-01 10:00:00 in Shanghai (02:00 UTC).
    const qint64 now =
        QDateTime(QDate(2024, 3, 1), QTime(10, 0), QTimeZone("Asia/Shanghai")).toSecsSinceEpoch();
    plat::Clock::setFakeMs(now * 1000);
    struct Case {
        qint64 ago;
        const char *want;
    } cases[] = {
        {30, "刚刚"},
        {125, "2分钟前"},
        {3 * 3600, "今天 07:00"},
        {12 * 3600, "昨天 22:00"},  // 29 Feb: the month turned
        {30 * 3600, "昨天 04:00"},  // over a day, below two, the month turned
        {5 * 86400, "02-25 10:00"},
        {400 * 86400, "2023-01-26 10:00"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(QVPrivateTools::distanceTimeWithBeforeTime(static_cast<double>(now - c.ago)), u(c.want))
            << c.ago;
    const QDateTime friday = QDateTime(QDate(2024, 3, 1), QTime(10, 0), QTimeZone("Asia/Shanghai"));
    EXPECT_EQ(QVPrivateTools::weekdayStringFromDate(friday, "zh"), u("星期五"));
    EXPECT_EQ(QVPrivateTools::weekdayStringFromDate(friday, "zh-Hans"), "Fri.");
    EXPECT_EQ(QVPrivateTools::getTimeWithDate(friday, false).size(), 10);
    EXPECT_EQ(QVPrivateTools::getTimeNow().size(), 12);
    plat::Clock::clearFake();
    plat::Locale::reset();
}

TEST(Language, CurrentLanguageIsTwoLetters) {
    plat::Locale::setPreferredLanguages({"zh-Hans-CN"});
    EXPECT_EQ(QVPrivateTools::getCurrentLanguage(), "zh");
    plat::Locale::setPreferredLanguages({"en-US"});
    EXPECT_EQ(QVPrivateTools::getCurrentLanguage(), "en");
    plat::Locale::reset();
}

TEST(Machine, MemoryFiguresAndReachability) {
    EXPECT_GT(QVPrivateTools::getAvailableMemory(), 0.0);
    EXPECT_GT(QVPrivateTools::getUsedMemory(), 0.0);
    EXPECT_TRUE(QVPrivateTools::isNetworkEnabled());  // loopback only or no backend: nothing refused
}

}  // namespace
