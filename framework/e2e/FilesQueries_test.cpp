// End to end in the session's network namespace: listings, queries, tags, the search and the photo map
// through the broker, the bridge and the real runtime against an emulated device, with closes landing
// mid-stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QSet>
#include <filesystem>
#include <fstream>

#include "base/qv_log.h"
#include "broker/QVNotifications.h"
#include "discovery.h"
#include "files_state.h"
#include "handlers_gps.h"
#include "model/QVFileAttributeInfo.h"
#include "model/QVNasFileListInfo.h"
#include "platform/Geo.h"
#include "platform/Log.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "runtime/ppc_service.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;
using namespace fwe2e;

namespace {

// What the main thread saw of a streamed request: batch names and the completions, in order.
struct Stream {
    QStringList events;
    QList<QVNasFileInfoPtr> files;
    int batches = 0, completions = 0;
    int64_t code = 0;
    QVNasResultBatchBlock receive() {
        return [this](const QVNasRequestInfoPtr &, const QList<QVNasFileInfoPtr> &list, int32_t status) {
            EXPECT_TRUE(plat::isMainThread());
            ++batches;
            events << QStringLiteral("batch %1").arg(status);
            files << list;
        };
    }
    QVNasCompletionBlock done() {
        return [this](const QVNasResponseInfoPtr &r) {
            events << QStringLiteral("done");
            code = r->responseCode;
            ++completions;
        };
    }
};

QVNasPathInfoPtr at(const char *p) {
    return QVNasPathInfo::sharePath(QString::fromUtf8(p), 1);
}

QStringList namesOf(const QList<QVNasFileInfoPtr> &files) {
    QStringList out;
    for (const auto &f : files) out << f->name;
    out.sort();
    return out;
}

TEST(SessionEndToEnd, ListingsQueriesSearchAndPhotoMap) {
    if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
    const std::string root = testing::TempDir() + "fw_files_" + std::to_string(getpid());
    fs::remove_all(root);
    for (const char *d : {"/pics", "/music", "/video", "/docs"}) fs::create_directories(root + d);
    for (const char *f : {"/pics/trip-a.jpg", "/pics/trip-b.jpg", "/pics/trip-c.jpg", "/pics/trip-d.jpg",
                          "/pics/trip-e.jpg", "/music/s.mp3", "/video/v.mp4", "/docs/a.txt"})
        std::ofstream(root + f) << f;
    qv::set_log_enabled(qEnvironmentVariableIsSet("QV_TEST_LOG"));
    plat::LogCapture log;
    ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging
    plat::SecretStore::setShared(std::make_shared<plat::FileSecretStore>());

    EmulatedDevice d2 = emulate(root, "127.0.0.2", "BIND-0002");
    auto gps = qvemu::install_gps_handler(*d2.dev);
    // Photos at Beijing and Shanghai (WGS-84, as the device keeps them); one without a usable name.
    gps->set_photos({{"/pics/trip-a.jpg", 39.908823, 116.397470, 1, 10},
                     {"/pics/trip-b.jpg", 39.91, 116.40, 1, 10},
                     {"/pics/trip-c.jpg", 31.230416, 121.473701, 1, 10}});
    gps->set_paging(1, 0);
    ASSERT_TRUE(d2.dev->start()) << d2.dev->last_error();
    emu::DiscoveryLan lan("127.0.0.1");
    lan.add({.ip = "127.0.0.2", .name = "Study", .device_id = "DEV-2", .p2p_uuid = "P2P-2"});
    ASSERT_TRUE(lan.start());
    std::atomic<int> added{0};
    auto observer = plat::NotificationCenter::defaultCenter().addObserver(
        QLatin1String(kNotif_QVAutoPushDeviceAddNotification), nullptr,
        [&](const plat::Notification &) { ++added; });
    bridge().setDeviceSdk(nullptr);  // the real SDK
    TestFramework fw;
    auto &monitor = plat::NetworkMonitor::shared();
    const auto monitorBefore = monitor.status();
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Local);
    {
        auto a = std::make_shared<Answer>();
        fw.qvSdkStartService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        ASSERT_EQ(a->get()->responseCode, 0);
    }
    ASSERT_TRUE(spinUntil([&] { return added.load() >= 1; }, 15000));
    auto &b = broker();
    // The address before any login: none.
    EXPECT_EQ(b.qvNasGetFileUriByToken(at("/pics/trip-a.jpg")), QStringLiteral(""));
    const auto login = ask([&](auto d) { return b.qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d); });
    ASSERT_EQ(login->responseCode, 0);
    const qlonglong token = login->responseData.toLongLong();

    // Tags: set on one path, added to another; an empty path list is sent as an empty list.
    EXPECT_EQ(
        ask([&](auto d) {
            return b.qvNasSetFileTagsWithFilePathInfo(at("/pics/trip-a.jpg"), {"trip-2019", "beach"}, d);
        })->responseCode,
        0);
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasAddFileTagsWithFilePathInfoList({at("/music/s.mp3")}, {"2019"}, d);
              })->responseCode,
              0);
    EXPECT_EQ(
        ask([&](auto d) { return b.qvNasAddFileTagsWithFilePathInfoList({}, {"none"}, d); })->responseCode,
        0);

    // Attributes with their media rows and tags.
    auto attr = [&](const char *p) {
        const auto r = ask([&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at(p), d); });
        EXPECT_EQ(r->responseCode, 0) << p;
        return r->responseData.value<QVFileAttributeInfoPtr>();
    };
    const auto image = attr("/pics/trip-a.jpg");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->fileTagList, QStringList({"trip-2019", "beach"}));
    EXPECT_EQ(image->width, 4000);
    EXPECT_EQ(image->camera_type, "Cam 1");
    EXPECT_NEAR(image->GPS_latitude, 39.916565818641, 1e-6);  // BD-09 of the device's WGS-84 point
    EXPECT_NEAR(image->GPS_longtitude, 116.410086454426, 1e-6);
    const auto audio = attr("/music/s.mp3");
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->song_name, "Song");
    EXPECT_EQ(audio->fileTagList, QStringList({"2019"}));
    const auto video = attr("/video/v.mp4");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->height, 1080);
    EXPECT_EQ(video->encode_type, "h264");
    const auto plain = attr("/docs/a.txt");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->width, 0);
    EXPECT_TRUE(plain->song_name.isEmpty());
    const auto missing = ask([&](auto d) { return b.qvNasGetFileAttrWithPathInfo(at("/nope"), d); });
    EXPECT_NE(missing->responseCode, 0);
    ASSERT_TRUE(missing->responseData.value<QVFileAttributeInfoPtr>());

    // Folder creation and rename reach the served folder.
    EXPECT_EQ(ask([&](auto d) { return b.qvNasCreateFolderWithPathInfo(at("/made"), d); })->responseCode, 0);
    EXPECT_TRUE(fs::is_directory(root + "/made"));
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasRenameFileWithFromPathInfo(at("/made"), at("/renamed"), d);
              })->responseCode,
              0);
    EXPECT_TRUE(fs::is_directory(root + "/renamed"));

    // Type listings: images and audio; albums.
    const auto types = ask([&](auto d) {
        return b.qvNasGetFileMutilTypeListWithStartIndex(0, 50, QVariantList{1, 3}, int64_t{0}, d);
    });
    ASSERT_EQ(types->responseCode, 0);
    const auto typePage = types->responseData.value<QVNasFileListInfoPtr>();
    ASSERT_TRUE(typePage);
    EXPECT_EQ(namesOf(typePage->fileList),
              QStringList({"s.mp3", "trip-a.jpg", "trip-b.jpg", "trip-c.jpg", "trip-d.jpg", "trip-e.jpg"}));
    const auto albums = ask([&](auto d) { return b.qvNasGetDirTypeListWithStartIndex(0, 10, 1, 0, d); });
    ASSERT_EQ(albums->responseCode, 0);
    const auto albumPage = albums->responseData.value<QVNasFileListInfoPtr>();
    ASSERT_TRUE(albumPage);
    ASSERT_FALSE(albumPage->fileList.isEmpty());
    EXPECT_TRUE(albumPage->fileList[0]->isFolder);
    EXPECT_FALSE(albumPage->fileList[0]->topImagePaths.isEmpty());

    // Search: batches on main, in order, before the completion; tags per key; no type key for -1.
    auto files = qvemu::files_state(*d2.dev);
    {
        Stream s;
        b.qvNasSearchForMultiWithSearchTitle({"trip", "2019"}, -1, 0, s.receive(), s.done());
        ASSERT_TRUE(spinUntil([&] { return s.completions == 1; }, 15000));
        EXPECT_EQ(s.code, 0);
        EXPECT_EQ(s.events.last(), "done");
        EXPECT_EQ(s.events.count(QStringLiteral("done")), 1);
        EXPECT_EQ(s.events[s.events.size() - 2], "batch 2");
        EXPECT_EQ(namesOf(s.files),
                  QStringList({"trip-a.jpg", "trip-b.jpg", "trip-c.jpg", "trip-d.jpg", "trip-e.jpg"}));
        for (const auto &f : s.files) {
            if (f->name == "trip-a.jpg")
                EXPECT_EQ(f->fileTagList, QStringList({"trip-2019", "trip-2019"}));
            else
                EXPECT_TRUE(f->fileTagList.isEmpty()) << f->name.toStdString();
        }
        Stream typed;
        b.qvNasSearchForMultiWithSearchTitle({"trip"}, 1, 0, typed.receive(), typed.done());
        ASSERT_TRUE(spinUntil([&] { return typed.completions == 1; }, 15000));
        std::lock_guard<std::mutex> lk(files->mu);
        ASSERT_EQ(files->search_requests.size(), 2u);
        EXPECT_EQ(files->search_requests[0].find("search_specify_type"), std::string::npos)
            << files->search_requests[0];
        EXPECT_NE(files->search_requests[1].find("\"search_specify_type\":1"), std::string::npos)
            << files->search_requests[1];
    }
    // A close lands mid-stream: later batches reach nothing, the search answers the cancel once.
    {
        {
            std::lock_guard<std::mutex> lk(files->mu);
            files->search_pace_ms = 400;
        }
        Stream s;
        const auto search = b.qvNasSearchForMultiWithSearchTitle({"trip"}, -1, 0, s.receive(), s.done());
        ASSERT_TRUE(spinUntil([&] { return s.batches >= 1; }, 15000));
        const int before = s.batches;
        const auto close = ask([&](auto d) { return b.qvNasCloseSearchForMultiRequest(search, d); });
        EXPECT_EQ(close->responseCode, 0);
        ASSERT_TRUE(spinUntil([&] { return s.completions == 1; }, 15000));
        EXPECT_EQ(s.code, 120008);
        spinUntil([] { return false; }, 300);
        EXPECT_EQ(s.batches, before);
        EXPECT_EQ(s.completions, 1);
    }

    // Photo map: a BD-09 rectangle around Beijing reaches the device in WGS-84; positions come back in BD-09.
    {
        auto rect = std::make_shared<QVNasCoordinate2DInfo>();
        rect->leftUpLatitude = 40.2;
        rect->leftUpLongitude = 116.0;
        rect->rightDownLatitude = 39.6;
        rect->rightDownLongitude = 116.8;
        Stream s;
        b.qvNasGetGPSFileListWithCoordinate(rect, s.receive(), s.done());
        ASSERT_TRUE(spinUntil([&] { return s.completions == 1; }, 15000));
        EXPECT_EQ(s.code, 0);
        EXPECT_EQ(namesOf(s.files), QStringList({"trip-a.jpg", "trip-b.jpg"}));
        for (const auto &f : s.files) {
            if (f->name != "trip-a.jpg") continue;
            EXPECT_NEAR(f->GPS_latitude, 39.916565818641, 1e-6);
            EXPECT_NEAR(f->GPS_longtitude, 116.410086454426, 1e-6);
        }
        const auto asks = gps->asks();
        ASSERT_FALSE(asks.empty());
        const auto lu = plat::geo::bd09ToWgs84({40.2, 116.0});
        EXPECT_NEAR(asks[0].latitude1, lu.lat, 1e-6);
        EXPECT_NEAR(asks[0].longitude1, lu.lon, 1e-6);

        gps->set_paging(1, 400);
        Stream closed;
        const auto listing = b.qvNasGetGPSFileListWithCoordinate(rect, closed.receive(), closed.done());
        ASSERT_TRUE(spinUntil([&] { return closed.batches >= 1; }, 15000));
        EXPECT_EQ(
            ask([&](auto d) { return b.qvNasCloseGetGPSFileListWithRequest(listing, d); })->responseCode, 0);
        ASSERT_TRUE(spinUntil([&] { return closed.completions == 1; }, 15000));
        EXPECT_EQ(closed.code, 120008);
    }

    // The signed address carries the token in its query; the log does not.
    const QString uri = b.qvNasGetFileUriByToken(at("/pics/trip-a.jpg"));
    EXPECT_TRUE(uri.startsWith(QStringLiteral("/1/pics/trip-a.jpg?KID=%1&ssig=").arg(token)))
        << uri.toStdString();

    // Recent records; hiding another user's record is refused.
    const auto recent = ask([&](auto d) { return b.qvNasGetRecentFileRecordsWithStartIndex(0, 3, 0, d); });
    ASSERT_EQ(recent->responseCode, 0);
    const auto records = recent->responseData.value<QVNasRecordListInfoPtr>();
    ASSERT_TRUE(records);
    ASSERT_EQ(records->recordList.size(), 3);
    EXPECT_EQ(records->totalCount, 8);
    EXPECT_EQ(records->recordList[0]->fileList.size(), 1);
    EXPECT_FALSE(records->recordList[0]->ymdTime.isEmpty());
    {
        std::lock_guard<std::mutex> lk(d2.admin->mu);
        d2.admin->foreign_log_ids = {2};
    }
    EXPECT_EQ(ask([&](auto d) { return b.qvNasSetRecentRecordHideWithLogId(2, 1, 1, d); })->responseCode,
              110289);
    EXPECT_EQ(ask([&](auto d) { return b.qvNasSetRecentRecordHideWithLogId(1, 1, 1, d); })->responseCode, 0);
    {
        std::lock_guard<std::mutex> lk(d2.admin->mu);
        EXPECT_EQ(d2.admin->hidden_records, std::vector<std::string>{"1/1/1"});
    }

    EXPECT_EQ(ask([&](auto d) { return b.qvNasLogoutDeviceWithCompletion(d); })->responseCode, 0);
    {
        auto a = std::make_shared<Answer>();
        fw.qvSdkStopService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        EXPECT_EQ(a->get()->responseCode, 0);
    }
    for (const QString &line : log.lines()) {
        EXPECT_FALSE(line.contains(QString::number(token))) << line.toStdString();
        EXPECT_FALSE(line.contains(QLatin1String("ssig="))) << line.toStdString();
    }
    observer.reset();
    monitor.setStatusForTests(monitorBefore);
    lan.stop();
    finish({d2.dev.get()}, root);
}

}  // namespace
