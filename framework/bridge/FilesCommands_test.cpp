// Listings and queries over the scripted SDK: one table of request x SDK outcome -> answer code, data and
// the SDK call made; the search and the photo listing with their streamed batches and closes; the signed
// file address over the real SDK's signer; recent records in zones east and west of UTC.
#include <gtest/gtest.h>

#include <QMessageAuthenticationCode>
#include <QTimeZone>
#include <QUrl>
#include <cstring>

#include "broker/broker_test_util.h"
#include "model/QVFileAttributeInfo.h"
#include "model/QVNasFileListInfo.h"
#include "platform/Geo.h"
#include "platform/Locale.h"
#include "platform/Log.h"

using namespace fwtest;

namespace {

using Send = std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)>;
using Script = std::function<void(FakeDeviceSdk &)>;
using Check = std::function<void(const QVNasResponseInfo &)>;

struct Row {
    const char *name;
    Script script;
    Send send;
    int32_t command;  // of the answer
    int64_t code;
    Check check;
    const char *sdkFunction;
    std::vector<std::string> sdkArgs;  // its first arguments, when given
};

template <size_t N>
void put(char (&field)[N], const char *text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

Script outputs(std::function<void(FakeDeviceSdk::Outputs &)> edit) {
    return [edit](FakeDeviceSdk &f) { f.editOutputs(edit); };
}
Script result(const char *fn, int r) {
    return [fn, r](FakeDeviceSdk &f) { f.script(fn, r); };
}
void noData(const QVNasResponseInfo &r) {
    EXPECT_FALSE(r.responseData.isValid()) << "unexpected data";
}
QVNasFileListInfoPtr page(const QVNasResponseInfo &r) {
    return r.responseData.value<QVNasFileListInfoPtr>();
}
QStringList names(const QVNasFileListInfoPtr &p) {
    QStringList out;
    for (const auto &f : p->fileList) out << f->name;
    return out;
}
QVNasPathInfoPtr at(const char *p, int64_t bucket = 2) {
    return QVNasPathInfo::sharePath(QString::fromUtf8(p), bucket);
}

// A page of a, .x, b reported as 3 of 40.
const FakeDeviceSdk::Page kABPage{3, 40, {{"a", 1, 11}, {".x", 2, 22}, {"b", 3, 33}}};

void abPage(const QVNasResponseInfo &r) {
    const auto p = page(r);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->count, 3);
    EXPECT_EQ(p->totalCount, 40);
    EXPECT_EQ(names(p), QStringList({"a", "b"}));
}
void emptyPage(const QVNasResponseInfo &r) {
    const auto p = page(r);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->count, 0);
    EXPECT_EQ(p->totalCount, 0);
    EXPECT_TRUE(p->fileList.isEmpty());
}

// A bridge operation that no broker request sends, submitted through the common path.
Send direct(int32_t command, QVariantMap dict, void (QVNasSDKManagerFile::*op)(const QVNasTaskInfoPtr &)) {
    return [=](QVNasCompletionBlock done) {
        return broker().submitRequest(command, dict, std::move(done), {},
                                      [op](QVNasSDKManager &lib, const QVNasTaskInfoPtr &t) {
                                          (static_cast<QVNasSDKManagerFile &>(lib).*op)(t);
                                      });
    };
}

class FilesCommands : public ServiceOnFake {
  protected:
    void SetUp() override {
        ServiceOnFake::SetUp();
        bridge().setSrcToken(777);
    }
    void TearDown() override {
        fake->holdStreams(false);
        ServiceOnFake::TearDown();
        bridge().setSrcToken(0);
        plat::Locale::reset();
    }
    void runRows(const std::vector<Row> &rows) {
        for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            fake = std::make_shared<FakeDeviceSdk>();
            bridge().setDeviceSdk(fake);
            // The service context lives in the bridge: the new fake must know it as live.
            restartService();
            if (row.script) row.script(*fake);
            const auto r = answerOf(row.send);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->clientCommand, row.command);
            EXPECT_EQ(r->responseCode, row.code);
            if (row.check) row.check(*r);
            const auto calls = fake->callsOf(row.sdkFunction);
            ASSERT_EQ(calls.size(), 1u) << row.sdkFunction;
            EXPECT_NE(calls[0].thread, std::this_thread::get_id());
            for (size_t i = 0; i < row.sdkArgs.size(); ++i) {
                ASSERT_LT(i, calls[0].args.size());
                EXPECT_EQ(calls[0].args[i], row.sdkArgs[i]) << "argument " << i;
            }
        }
    }
    void restartService() {
        answerOf([](auto d) { return broker().qvNasStopServiceWithCompletion(d); });
        const auto r =
            answerOf([](auto d) { return broker().qvNasStartServiceWithGatewayIp("10.1.2.3", d); });
        ASSERT_TRUE(r && r->responseCode == 0);
    }
};

TEST_F(FilesCommands, ListingsAnswerTheirPagesCodesAndData) {
    auto &b = broker();
    const QVariantList types{1, 3};
    FakeDeviceSdk::Page albums{3, 9, {}};
    albums.entries.push_back({"trip", 0, 5});
    albums.entries.back().albumFiles = {std::string("/p/1.jpg"), std::string("/p/2.jpg")};
    albums.entries.push_back({"empty", 0, 6});
    albums.entries.back().album = true;
    albums.entries.push_back({"odd", 0, 7});
    albums.entries.back().albumFiles = {std::nullopt};
    const std::vector<Row> rows = {
        {"134 page",
         outputs([](auto &o) { o.typePage = kABPage; }),
         [&](auto d) { return b.qvNasGetFileMutilTypeListWithStartIndex(5, 20, types, int64_t{2}, d); },
         134,
         0,
         abPage,
         "ppc_FileGetMutilTypeList",
         {"1,3,0", "2", "2", "5", "20", "777"}},
        {"170 answered as 134",
         outputs([](auto &o) { o.typePage = kABPage; }),
         [&](auto d) { return b.qvNasGetFileMutilTypeListWithStartIndex(0, 10, types, 1, int64_t{0}, d); },
         134,
         0,
         abPage,
         "ppc_FileGetMutilTypeList",
         {"1,3,0", "2"}},
        {"134 failure keeps an empty page",
         result("ppc_FileGetMutilTypeList", 5),
         [&](auto d) { return b.qvNasGetFileMutilTypeListWithStartIndex(0, 10, types, int64_t{0}, d); },
         134,
         100005,
         emptyPage,
         "ppc_FileGetMutilTypeList",
         {}},
        {"96 page",
         outputs([](auto &o) { o.typePage = kABPage; }),
         direct(96, {{"fileType", 3}, {"sequenceType", 1}}, &QVNasSDKManagerFile::qvFGetTypeFileListWithTask),
         96,
         0,
         abPage,
         "ppc_FileGetTypeList",
         {"3", "1", "0", "0"}},
        {"96 failure carries none",
         result("ppc_FileGetTypeList", -1),
         direct(96, {{"fileType", 3}}, &QVNasSDKManagerFile::qvFGetTypeFileListWithTask),
         96,
         -1,
         noData,
         "ppc_FileGetTypeList",
         {}},
        {"98 albums",
         outputs([&](auto &o) { o.typePage = albums; }),
         [&](auto d) { return b.qvNasGetDirTypeListWithStartIndex(0, 30, 3, 1, d); },
         98,
         0,
         [](const QVNasResponseInfo &r) {
             const auto p = page(r);
             ASSERT_TRUE(p);
             ASSERT_EQ(p->fileList.size(), 3);
             for (const auto &f : p->fileList) EXPECT_TRUE(f->isFolder);
             EXPECT_EQ(p->fileList[0]->topImagePaths, QStringList({"/p/1.jpg", "/p/2.jpg"}));
             EXPECT_TRUE(p->fileList[1]->topImagePaths.isEmpty());
             EXPECT_EQ(p->fileList[2]->topImagePaths, QStringList({""}));
         },
         "ppc_DirGetTypeList",
         {"3", "1", "1", "0", "30"}},
        {"98 failure carries none",
         result("ppc_DirGetTypeList", 7),
         [&](auto d) { return b.qvNasGetDirTypeListWithStartIndex(0, 30, 3, 1, d); },
         98,
         100007,
         noData,
         "ppc_DirGetTypeList",
         {}},
        {"100 page",
         outputs([](auto &o) { o.typePage = kABPage; }),
         [&](auto d) { return b.qvNasGetFileTypeListWithPathInfo(at("/pics"), 0, 50, 3, 0, d); },
         100,
         0,
         abPage,
         "ppc_FileGetTypeListByPath",
         {"3", "0", "/pics", "2", "0", "50"}},
        {"100 failure carries none",
         result("ppc_FileGetTypeListByPath", 2),
         [&](auto d) { return b.qvNasGetFileTypeListWithPathInfo(at("/pics"), 0, 50, 3, 0, d); },
         100,
         100002,
         noData,
         "ppc_FileGetTypeListByPath",
         {}},
        {"101 deletes type 3",
         {},
         direct(101, {{"deletePathInfo", QVariant::fromValue(at("/pics", 4))}},
                &QVNasSDKManagerFile::qvFDeleteFileTypeListByPathWithTask),
         101,
         0,
         noData,
         "ppc_FileDelTypeListByPath",
         {"3", "/pics", "4"}},
    };
    runRows(rows);
}

TEST_F(FilesCommands, QueriesAnswerTheirCodesAndData) {
    auto &b = broker();
    image_media_info image{};
    image.width = 4000;
    image.height = 3000;
    image.photo_time = 1556975220;
    put(image.vendor_name, "Maker");
    put(image.camera_type, "Cam 1");
    image.GPS_latitude = 39.908823;
    image.GPS_longtitude = 116.397470;
    audio_media_info audio{};
    audio.duration_time = 215;
    audio.bitrate = 320;
    put(audio.song_name, "歌");
    put(audio.encode_type, "mp3");
    video_media_info video{};
    video.width = 1920;
    video.height = 1080;
    video.duration_time = 61;
    put(video.encode_type, "h264");
    auto attr = [](const QVNasResponseInfo &r) { return r.responseData.value<QVFileAttributeInfoPtr>(); };
    const std::vector<Row> rows = {
        {"62 mkdir",
         {},
         [&](auto d) { return b.qvNasCreateFolderWithPathInfo(at("/new"), d); },
         62,
         0,
         noData,
         "ppc_mkdir",
         {"/new", "2", "0", "777"}},
        {"62 mkdir refused",
         result("ppc_mkdir", 10104),
         [&](auto d) { return b.qvNasCreateFolderWithPathInfo(at("/new"), d); },
         62,
         110104,
         noData,
         "ppc_mkdir",
         {}},
        {"63 rename",
         {},
         [&](auto d) { return b.qvNasRenameFileWithFromPathInfo(at("/a"), at("/b", 3), d); },
         63,
         0,
         noData,
         "ppc_rename",
         {"/a", "2", "/b", "3"}},
        {"60 set tags",
         {},
         [&](auto d) {
             return b.qvNasSetFileTagsWithFilePathInfo(at("/f.jpg"), {"trip", "海"}, d);
         },
         60,
         0,
         noData,
         "ppc_FileSetTag",
         {"/f.jpg", "2", "2", "777", "trip", "海"}},
        {"95 add tags to two paths",
         {},
         [&](auto d) {
             return b.qvNasAddFileTagsWithFilePathInfoList({at("/x"), at("/y")}, {"t"}, d);
         },
         95,
         0,
         noData,
         "ppc_FileListTag",
         {"/x,/y", "2", "t", "1", "0", "777", "path array"}},
        {"95 an empty path list sends an empty list",
         {},
         [&](auto d) { return b.qvNasAddFileTagsWithFilePathInfoList({}, {"t"}, d); },
         95,
         0,
         noData,
         "ppc_FileListTag",
         {"", "0", "t", "1", "0", "777", "path array"}},
        {"70 image",
         outputs([&](auto &o) {
             o.attr.size = 123;
             o.attr.tags = {"trip", "2019"};
             o.attr.mediaType = 3;
             o.attr.image = image;
         }),
         [&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/f.jpg"), d); },
         70,
         0,
         [&](const QVNasResponseInfo &r) {
             const auto a = attr(r);
             ASSERT_TRUE(a);
             EXPECT_EQ(a->size, 123);
             EXPECT_EQ(a->fileTagList, QStringList({"trip", "2019"}));
             EXPECT_EQ(a->width, 4000);
             EXPECT_EQ(a->photo_time, 1556975220);
             EXPECT_EQ(a->vendor_name, "Maker");
             EXPECT_EQ(a->camera_type, "Cam 1");
             // The device's WGS-84 position reaches the caller in BD-09.
             EXPECT_NEAR(a->GPS_latitude, 39.916565818641, 1e-9);
             EXPECT_NEAR(a->GPS_longtitude, 116.410086454426, 1e-9);
         },
         "ppc_stat",
         {"/f.jpg", "2"}},
        {"70 audio",
         outputs([&](auto &o) {
             o.attr.mediaType = 2;
             o.attr.audio = audio;
         }),
         [&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/s.mp3"), d); },
         70,
         0,
         [&](const QVNasResponseInfo &r) {
             const auto a = attr(r);
             ASSERT_TRUE(a);
             EXPECT_EQ(a->duration_time, 215);
             EXPECT_EQ(a->bitrate, 320);
             EXPECT_EQ(a->song_name, "歌");
             EXPECT_EQ(a->encode_type, "mp3");
             EXPECT_EQ(a->width, 0);
         },
         "ppc_stat",
         {}},
        {"70 video",
         outputs([&](auto &o) {
             o.attr.mediaType = 1;
             o.attr.video = video;
         }),
         [&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/v.mp4"), d); },
         70,
         0,
         [&](const QVNasResponseInfo &r) {
             const auto a = attr(r);
             ASSERT_TRUE(a);
             EXPECT_EQ(a->width, 1920);
             EXPECT_EQ(a->duration_time, 61);
             EXPECT_EQ(a->encode_type, "h264");
             EXPECT_TRUE(a->song_name.isEmpty());
         },
         "ppc_stat",
         {}},
        {"70 no media",
         outputs([](auto &o) {
             o.attr.size = 9;
             o.attr.folders = 2;
             o.attr.files = 5;
         }),
         [&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/dir"), d); },
         70,
         0,
         [&](const QVNasResponseInfo &r) {
             const auto a = attr(r);
             ASSERT_TRUE(a);
             EXPECT_EQ(a->totalFolderCount, 2);
             EXPECT_EQ(a->totalFileCount, 5);
             EXPECT_EQ(a->GPS_latitude, 0);
             EXPECT_TRUE(a->fileTagList.isEmpty());
         },
         "ppc_stat",
         {}},
        {"70 failure answers an empty object",
         result("ppc_stat", 3),
         [&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/gone"), d); },
         70,
         100003,
         [&](const QVNasResponseInfo &r) {
             const auto a = attr(r);
             ASSERT_TRUE(a);
             EXPECT_EQ(a->size, 0);
             EXPECT_TRUE(a->vendor_name.isEmpty());
         },
         "ppc_stat",
         {}},
        {"160 hide",
         {},
         [&](auto d) { return b.qvNasSetRecentRecordHideWithLogId(31, 4, 5, d); },
         160,
         0,
         noData,
         "ppc_SetRecentRecordHide",
         {"31", "4", "5", "777"}},
        {"160 another user's record",
         result("ppc_SetRecentRecordHide", 10289),
         [&](auto d) { return b.qvNasSetRecentRecordHideWithLogId(31, 4, 5, d); },
         160,
         110289,
         noData,
         "ppc_SetRecentRecordHide",
         {}},
    };
    runRows(rows);
    // What the SDK hung on the attribute record is released, tags and media record alike.
    fake->editOutputs([&](auto &o) {
        o.attr.tags = {"t"};
        o.attr.mediaType = 3;
        o.attr.image = image;
    });
    ASSERT_TRUE(answerOf([&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/f.jpg"), d); }));
    EXPECT_EQ(fake->callsOf("file_stat_release").size(), 1u);
}

// What the main thread saw, in order: batches ("b<status>:<names>") and the completion ("done <code>").
struct Seen {
    QStringList events;
    QList<QList<QVNasFileInfoPtr>> batches;
    int completions = 0;
    QVNasResultBatchBlock receive() {
        return [this](const QVNasRequestInfoPtr &, const QList<QVNasFileInfoPtr> &files, int32_t status) {
            EXPECT_TRUE(plat::isMainThread());
            QStringList n;
            for (const auto &f : files) n << f->name;
            events << QStringLiteral("b%1:%2").arg(status).arg(n.join(QLatin1Char(',')));
            batches << files;
        };
    }
    QVNasCompletionBlock done() {
        return [this](const QVNasResponseInfoPtr &r) {
            EXPECT_TRUE(plat::isMainThread());
            events << QStringLiteral("done %1").arg(r->responseCode);
            ++completions;
        };
    }
};

FakeDeviceSdk::Entry tagged(const char *name, std::vector<std::string> tags) {
    FakeDeviceSdk::Entry e{name, 1, 2};
    e.tags = std::move(tags);
    return e;
}

TEST_F(FilesCommands, SearchBatchesReachMainInOrderBeforeTheCompletion) {
    fake->editOutputs([](auto &o) {
        o.searchBatches = {{1, {2, 3, {tagged("a.jpg", {"trip-2019", "beach"}), {".hidden", 1, 1}}}},
                           {1, {1, 3, {{"b.jpg", 1, 1}}}},
                           {2, {}}};
    });
    Seen seen;
    broker().qvNasSearchForMultiWithSearchTitle({"trip", "2019"}, -1, 2, seen.receive(), seen.done());
    ASSERT_TRUE(spinUntil([&] { return seen.completions == 1; }));
    EXPECT_EQ(seen.events, QStringList({"b1:a.jpg", "b1:b.jpg", "b2:", "done 0"}));
    // trip-2019 holds both keys: once per key. No tags: an empty list.
    EXPECT_EQ(seen.batches[0][0]->fileTagList, QStringList({"trip-2019", "trip-2019"}));
    EXPECT_TRUE(seen.batches[1][0]->fileTagList.isEmpty());
    const auto call = fake->callsOf("ppc_file_SearchMultiFunc").at(0);
    // seq, sort, token, current-only, condition, specify type, key count, keys.
    EXPECT_EQ(call.args[1], "2");
    EXPECT_EQ(call.args[3], "0");
    EXPECT_EQ(call.args[5], "-1") << "no type restriction: the key is left out";
    EXPECT_EQ(call.args[6], "2");
    EXPECT_EQ(call.args[7], "trip");
    ASSERT_TRUE(spinUntil([] { return broker().progressCount() == 0; }));
}

// The batches are built apart from the SDK's thread: 300 replies still arrive whole and in order before
// the answer, with the nameless and undecodable names kept and the sizes and tags of each entry.
TEST_F(FilesCommands, ManySearchBatchesKeepOrderAndEveryEntry) {
    FakeDeviceSdk::Entry nameless{"", 5, 6};
    nameless.noName = true;
    fake->editOutputs([&](auto &o) {
        o.searchBatches.clear();
        for (int i = 0; i < 300; ++i)
            o.searchBatches.push_back({1,
                                       {2,
                                        900,
                                        {tagged(("r" + std::to_string(i)).c_str(), {"k" + std::to_string(i)}),
                                         {".x", 1, 1},
                                         {"\xff\xfe", 7, 8}}}});
        o.searchBatches.push_back({1, {1, 900, {nameless}}});
        o.searchBatches.push_back({2, {}});
    });
    Seen seen;
    broker().qvNasSearchForMultiWithSearchTitle({"k"}, -1, 0, seen.receive(), seen.done());
    ASSERT_TRUE(spinUntil([&] { return seen.completions == 1; }, 20000));
    ASSERT_EQ(seen.batches.size(), 302);
    for (int i = 0; i < 300; ++i) {
        const auto &b = seen.batches[i];
        ASSERT_EQ(b.size(), 2) << i;
        EXPECT_EQ(b[0]->name, QStringLiteral("r%1").arg(i));
        EXPECT_EQ(b[0]->fileTagList, QStringList({QStringLiteral("k%1").arg(i)}));
        EXPECT_EQ(b[1]->size, 7u);
        EXPECT_EQ(b[1]->date, 8u);
    }
    ASSERT_EQ(seen.batches[300].size(), 1);
    EXPECT_TRUE(seen.batches[300][0]->name.isEmpty());
    EXPECT_EQ(seen.batches[300][0]->size, 5u);
    EXPECT_TRUE(seen.batches[301].isEmpty());
    EXPECT_EQ(seen.events.last(), "done 0");
}

TEST_F(FilesCommands, SearchTitlesAreCutToTheRecord) {
    QStringList forty;
    for (int i = 0; i < 40; ++i) forty << QStringLiteral("k%1").arg(i);
    // 100 three-byte characters: 300 bytes, of which 85 whole characters fit in 255.
    const QString wide = QString(100, QChar(0x6D77));
    const std::vector<std::tuple<QStringList, int64_t, std::vector<std::string>>> cases = {
        {forty, 4, {"4", "32", "k0"}},
        {{wide}, 0, {"0", "1", QString(85, QChar(0x6D77)).toStdString()}},
    };
    for (const auto &[titles, type, want] : cases) {
        Seen seen;
        broker().qvNasSearchForMultiWithSearchTitle(titles, type, 0, seen.receive(), seen.done());
        ASSERT_TRUE(spinUntil([&] { return seen.completions == 1; }));
        const auto call = fake->callsOf("ppc_file_SearchMultiFunc").back();
        EXPECT_EQ(call.args[5], want[0]);
        EXPECT_EQ(call.args[6], want[1]);
        EXPECT_EQ(call.args[7], want[2]);
        if (titles.size() == 40) {
            EXPECT_EQ(call.args.back(), "k31");
        }
    }
}

TEST_F(FilesCommands, ClosingASearchDropsLaterBatchesAndTheSearchAnswersTheCancelOnce) {
    fake->editOutputs([](auto &o) {
        o.searchBatches = {{1, {1, 9, {{"first", 1, 1}}}}, {1, {1, 9, {{"second", 1, 1}}}}, {2, {}}};
    });
    fake->holdStreams(true);
    Seen seen;
    const auto search =
        broker().qvNasSearchForMultiWithSearchTitle({"x"}, -1, 0, seen.receive(), seen.done());
    ASSERT_TRUE(fake->waitStreamHeld(5000));
    ASSERT_TRUE(spinUntil([&] { return seen.batches.size() == 1; }));
    const int filed = broker().progressCount();
    Answer close;
    broker().qvNasCloseSearchForMultiRequest(search, close.completion());
    EXPECT_EQ(broker().progressCount(), filed - 1) << "the batch callback is gone when the close returns";
    ASSERT_TRUE(close.wait());
    EXPECT_EQ(close.get()->responseCode, 0);
    EXPECT_EQ(close.get()->clientCommand, 131);
    ASSERT_TRUE(spinUntil([&] { return seen.completions == 1; }));
    ASSERT_TRUE(fake->waitBatchesDelivered(2, 5000));  // the held reply was still read and reported
    drain();
    EXPECT_EQ(seen.events, QStringList({"b1:first", "done 120008"}));
    EXPECT_EQ(fake->callsOf("ppc_cancel_FileMultiFuncSearchTask").at(0).args[0],
              std::to_string(search->clientCommandSeq));
}

TEST_F(FilesCommands, PhotoListingSpeaksWgs84ToTheDeviceAndBd09Back) {
    FakeDeviceSdk::Entry noName{"", 1, 1};
    noName.noName = true;
    FakeDeviceSdk::Entry beijing{"p.jpg", 1, 1};
    beijing.latitude = 39.908823;
    beijing.longitude = 116.397470;
    beijing.bucketId = 6;
    FakeDeviceSdk::Entry dot{".d.jpg", 1, 1};
    fake->editOutputs([&](auto &o) { o.gpsBatches = {{1, {3, 3, {noName, beijing, dot}}}, {2, {}}}; });
    auto rect = std::make_shared<QVNasCoordinate2DInfo>();
    rect->leftUpLatitude = 40.1;
    rect->leftUpLongitude = 116.2;
    rect->rightDownLatitude = 39.7;
    rect->rightDownLongitude = 116.6;
    Seen seen;
    broker().qvNasGetGPSFileListWithCoordinate(rect, seen.receive(), seen.done());
    ASSERT_TRUE(spinUntil([&] { return seen.completions == 1; }));
    EXPECT_EQ(seen.events, QStringList({"b1:p.jpg,.d.jpg", "b2:", "done 0"}));
    const auto &p = seen.batches[0][0];
    EXPECT_NEAR(p->GPS_latitude, 39.916565818641, 1e-9);
    EXPECT_NEAR(p->GPS_longtitude, 116.410086454426, 1e-9);
    EXPECT_EQ(p->userId, 6);
    const auto lu = plat::geo::bd09ToWgs84({40.1, 116.2});
    const auto rd = plat::geo::bd09ToWgs84({39.7, 116.6});
    char corners[160];
    std::snprintf(corners, sizeof corners, "%.9f,%.9f,%.9f,%.9f", lu.lat, lu.lon, rd.lat, rd.lon);
    const auto call = fake->callsOf("ppc_get_FileGpsList").at(0);
    EXPECT_EQ(call.args[1], corners);
    EXPECT_EQ(call.args[3], "0/0") << "every user space";
    EXPECT_LT(lu.lat, 40.1);  // WGS-84 lies south-west of BD-09 around Beijing

    // Closed mid-stream: the listing answers the cancel code.
    fake->holdStreams(true);
    Seen closed;
    const auto listing = broker().qvNasGetGPSFileListWithCoordinate(rect, closed.receive(), closed.done());
    ASSERT_TRUE(fake->waitStreamHeld(5000));
    const auto closeAnswer =
        answerOf([&](auto d) { return broker().qvNasCloseGetGPSFileListWithRequest(listing, d); });
    ASSERT_TRUE(closeAnswer);
    EXPECT_EQ(closeAnswer->clientCommand, 125);
    EXPECT_EQ(closeAnswer->responseCode, 0);
    ASSERT_TRUE(spinUntil([&] { return closed.completions == 1; }));
    EXPECT_EQ(closed.events.last(), "done 120008");
}

TEST_F(FilesCommands, RecentRecordsSingleFilesAggregationsAndZones) {
    FakeDeviceSdk::Outputs::Recent single;
    single.logId = 11;
    single.enableHide = 1;
    single.cmd = 102;
    single.userId = 4;
    single.bucketId = 5;
    single.time = 1556975220;  // 2019-05-04 13:07 UTC
    single.nickName = "Ann";
    single.name = "one.txt";
    single.path = "/one.txt";
    FakeDeviceSdk::Outputs::Recent group = single;
    group.type = 1;
    group.logId = 12;
    group.enableHide = 0;
    group.aggregateId = 77;
    group.files = {"p1.jpg", "p2.jpg", "v.mp4"};
    group.pictures = 2;
    group.videos = 1;
    group.aggregateTotal = 30;
    fake->editOutputs([&](auto &o) {
        o.recent = {single, group};
        o.recentTotal = 90;
    });
    struct Zone {
        const char *id;
        const char *ymd, *hm;
    };
    for (const Zone &z :
         {Zone{"Asia/Shanghai", "2019-05-04", "21:07"}, Zone{"America/New_York", "2019-05-04", "09:07"},
          Zone{"Pacific/Kiritimati", "2019-05-05", "03:07"}}) {
        SCOPED_TRACE(z.id);
        plat::Locale::setSystemTimeZone(QTimeZone(z.id));
        const auto r =
            answerOf([](auto d) { return broker().qvNasGetRecentFileRecordsWithStartIndex(0, 20, 3, d); });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->clientCommand, 57);
        ASSERT_EQ(r->responseCode, 0);
        const auto list = r->responseData.value<QVNasRecordListInfoPtr>();
        ASSERT_TRUE(list);
        EXPECT_EQ(list->count, 2);
        EXPECT_EQ(list->totalCount, 90);
        EXPECT_EQ(list->childCount, 3);
        ASSERT_EQ(list->recordList.size(), 2);
        const auto &one = list->recordList[0];
        EXPECT_FALSE(one->isAffrefation);
        EXPECT_EQ(one->ymdTime, z.ymd);
        EXPECT_EQ(one->hmTime, z.hm);
        EXPECT_EQ(one->len, 1);
        EXPECT_EQ(one->count, 1);
        EXPECT_EQ(one->totalCount, 1);
        EXPECT_TRUE(one->hideAccess);
        EXPECT_EQ(one->userNickName, "Ann");
        ASSERT_EQ(one->fileList.size(), 1);
        EXPECT_EQ(one->fileList[0]->path, "/one.txt");
        const auto &agg = list->recordList[1];
        EXPECT_TRUE(agg->isAffrefation);
        EXPECT_EQ(agg->aggregationId, 77);
        EXPECT_EQ(agg->count, 3);
        EXPECT_EQ(agg->totalCount, 30);
        EXPECT_EQ(agg->pictureCount, 2);
        EXPECT_EQ(agg->videoCount, 1);
        ASSERT_EQ(agg->fileList.size(), 3);
        EXPECT_EQ(agg->fileList[2]->path, "/r/v.mp4");
    }

    const auto agg = answerOf(
        [](auto d) { return broker().qvNasGetRecentFileAggregationListWithStartIndex(0, 10, 77, d); });
    ASSERT_TRUE(agg);
    EXPECT_EQ(agg->clientCommand, 141);
    EXPECT_EQ(agg->responseCode, 0);
    const auto records = agg->responseData.value<QList<QVNasDeviceAggregationInfoPtr>>();
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records[0]->logId, 0);
    EXPECT_FALSE(records[1]->isAffrefation);
    EXPECT_EQ(fake->callsOf("ppc_FileGetAggregationList").at(0).args[2], "77");

    // No records: 0 with an empty list; a failure: its code and empty data.
    fake->editOutputs([](auto &o) { o.recent.clear(); });
    const auto none = answerOf(
        [](auto d) { return broker().qvNasGetRecentFileAggregationListWithStartIndex(0, 10, 77, d); });
    ASSERT_TRUE(none);
    EXPECT_EQ(none->responseCode, 0);
    EXPECT_TRUE(none->responseData.value<QList<QVNasDeviceAggregationInfoPtr>>().isEmpty());
    fake->script("ppc_FileGetRecordsList", 4);
    const auto failed =
        answerOf([](auto d) { return broker().qvNasGetRecentFileRecordsWithStartIndex(0, 20, 3, d); });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->responseCode, 100004);
    const auto empty = failed->responseData.value<QVNasRecordListInfoPtr>();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count, 0);
    EXPECT_TRUE(empty->recordList.isEmpty());
    EXPECT_EQ(fake->recentListsLive(), 0);
}

// The address over the real SDK's signer (no exchange): "" before a login, then signed with the token.
TEST(FileAddress, EmptyBeforeLoginThenSignedAndLoggedWithoutItsQuery) {
    bridge().setDeviceSdk(nullptr);
    bridge().setSrcToken(0);
    const auto file = QVNasPathInfo::sharePath(QStringLiteral("/Photos/a b.jpg"), 3);
    EXPECT_EQ(broker().qvNasGetFileUriByToken(file), QStringLiteral(""));
    const int64_t token = 918273645;
    bridge().setSrcToken(token);
    plat::LogCapture log;
    const int32_t numbered = broker().lastSequenceNumber();
    const QString uri = broker().qvNasGetFileUriByToken(file);
    EXPECT_EQ(broker().lastSequenceNumber(), numbered) << "the address takes no number";
    bridge().setSrcToken(0);
    const QString path = QStringLiteral("/3/Photos/a%20b.jpg");
    ASSERT_TRUE(
        uri.startsWith(path + QStringLiteral("?KID=") + QString::number(token) + QStringLiteral("&ssig=")))
        << uri.toStdString();
    // The signature: HMAC-SHA1 of "GET\n<path>" under the token's text, as hex, Base64, characters 5 to 14.
    const QByteArray hex = QMessageAuthenticationCode::hash(
                               ("GET\n" + path).toUtf8(), QByteArray::number(token), QCryptographicHash::Sha1)
                               .toHex();
    EXPECT_EQ(uri.section(QStringLiteral("&ssig="), 1), QString::fromLatin1(hex.toBase64().mid(5, 10)));
    EXPECT_TRUE(log.contains(path));
    for (const QString &line : log.lines()) {
        EXPECT_FALSE(line.contains(QString::number(token))) << line.toStdString();
        EXPECT_FALSE(line.contains(QStringLiteral("ssig"))) << line.toStdString();
    }
}

}  // namespace
