#include <gtest/gtest.h>

#include "platform/NotificationCenter.h"
#include "testing/FakeNeighbours.h"
#include "testing/app_test_util.h"

namespace {

QVFileInfoPtr entry(const QString &name) {
    auto f = std::make_shared<QVFileInfo>();
    f->name = name;
    f->path = "/" + name;
    return f;
}

TEST(PasswordAlert, FirstButtonRule) {
    struct Case {
        const char *a, *b;
        bool checkable, legal;
    } cases[] = {
        {"", "", false, false},
        {"a", "abcdef", false, false},
        {"ab", "ab", true, false},
        {"abcde", "abcde", true, false},
        {"abcdef", "abcdef", true, true},
        {"abcdef", "abcdeg", true, false},
        {"abcdefghijabcdefghijabcdefghij12", "abcdefghijabcdefghijabcdefghij12", true, true},
        {"abcdefghijabcdefghijabcdefghij123", "abcdefghijabcdefghijabcdefghij123", true, false},
        {"密码密码密码", "密码密码密码", true, true},
    };
    for (const Case &c : cases) {
        const QString a = QString::fromUtf8(c.a), b = QString::fromUtf8(c.b);
        EXPECT_EQ(QVPasswordAlert::isCheckable(a, b), c.checkable) << c.a << " " << c.b;
        EXPECT_EQ(QVPasswordAlert::isLegalPair(a, b), c.legal) << c.a << " " << c.b;
    }
}

TEST(Neighbours, WithoutTheirOwnersNothingHappensAndEveryAnswerIsAFailure) {
    auto del = QVOperateDeleteManage::create();
    QList<int64_t> statuses;
    del->setTaskOperateListener([&](const QVNasTaskOperateStatusInfoPtr &s) { statuses << s->status; }, {});
    del->startDeleteFiles({entry("a")}, {});
    EXPECT_EQ(statuses, QList<int64_t>{2});
    ASSERT_TRUE(apptest::spinUntil([&] { return statuses.size() == 2; }));
    EXPECT_EQ(statuses.last(), 3);

    float got = -1;
    QVNasImageDownLibrary::shareImageDownloadLibrary().insertToDownloadLibrary(
        std::make_shared<QVNasImageDownInfo>(), [&](const QVNasImageDownInfoPtr &, float p) { got = p; });
    ASSERT_TRUE(apptest::spinUntil([&] { return got >= 0; }));
    EXPECT_EQ(got, 0.0f);
    EXPECT_EQ(QVShareViewController::create(), nullptr);
    EXPECT_EQ(ZRMoviePlayerWindowController::initWithMovies({}, 0), nullptr);
    EXPECT_TRUE(
        QVOperateTransportManage::shareTransportInstance().uploadTransportInfo()->transportDatas().isEmpty());

    int64_t code = 0;
    QVPasswordAlert::create()->passwordBeginSheetModalForWindowCompletionHandler(
        [&](int64_t c, const QString &) { code = c; });
    ASSERT_TRUE(apptest::spinUntil([&] { return code != 0; }));
    EXPECT_EQ(code, 1001);
}

TEST(Neighbours, FakesRecordWhatTheyGetAndAnswerAsScripted) {
    FakeTransportManage transport;
    int countChanges = 0;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        kNotif_QVTransportCountChangeNotification, nullptr,
        [&](const plat::Notification &) { ++countChanges; });
    auto &t = QVOperateTransportManage::shareTransportInstance();
    EXPECT_EQ(&t, &transport);
    t.addNewTransportTasks({{"files", QVariant::fromValue(QList<QVFileInfoPtr>{entry("a")})},
                            {"targetInfo", QVariant::fromValue(entry("dl"))}},
                           2);
    t.quitTransportLifeCycle();
    EXPECT_EQ(transport.calls, (QStringList{"add", "quitTransportLifeCycle"}));
    EXPECT_EQ(transport.added.value(0).second, 2);
    ASSERT_TRUE(apptest::spinUntil([&] { return countChanges == 1; }));

    FakeDeleteOperations deletes;
    deletes.finalStatus = 3;
    deletes.progress = {0.5f, 1.0f};
    QList<int64_t> statuses;
    QList<float> fractions;
    auto del = QVOperateDeleteManage::create();
    del->setTaskOperateListener([&](const QVNasTaskOperateStatusInfoPtr &s) { statuses << s->status; },
                                [&](float f) { fractions << f; });
    del->startDeleteFiles({entry("a")}, {entry("d")});
    ASSERT_TRUE(apptest::spinUntil([&] { return statuses.size() == 2; }));
    EXPECT_EQ(statuses, (QList<int64_t>{2, 3}));
    EXPECT_EQ(fractions, (QList<float>{0.5f, 1.0f}));
    ASSERT_EQ(deletes.operations.size(), 1);
    EXPECT_EQ(deletes.operations[0]->folders.value(0)->name, "d");

    FakeImageDownLibrary images;
    QStringList answers;
    auto info = [](const QString &p) {
        auto i = std::make_shared<QVNasImageDownInfo>();
        i->imagePath = p;
        return i;
    };
    auto cb = [&](const QVNasImageDownInfoPtr &i, float p) {
        answers << QString("%1 %2").arg(i->imagePath).arg(p);
    };
    auto &lib = QVNasImageDownLibrary::shareImageDownloadLibrary();
    lib.insertToDownloadLibrary(info("x"), cb);
    lib.insertToDownloadLibrary(info("x"), cb);  // the same address: dropped
    lib.insertToDownloadLibrary(info("y"), cb);
    lib.insertToDownloadLibrary(info("z"), cb);
    EXPECT_EQ(images.dropped, 1);
    EXPECT_TRUE(images.answer("x", 1.0f));
    lib.closeRemoveAllRequest();
    ASSERT_TRUE(apptest::spinUntil([&] { return answers.size() == 3; }));
    EXPECT_EQ(answers, (QStringList{"x 1", "z 0", "y 0"}));

    FakeViewers viewers;
    auto m = std::make_shared<ZRFileModel>();
    m->name = "a.mp4";
    auto movie = ZRMoviePlayerWindowController::initWithMovies({m}, 0);
    ASSERT_TRUE(movie);
    movie->playMovies({m, m}, 1);
    ZRPhotoFileManager::sharePhotoManager().copyImageDataFromCacheDirToDownloadsDir(m);
    EXPECT_EQ(viewers.events, (QStringList{"movie init 0 a.mp4", "movie play 1 a.mp4", "copy a.mp4"}));

    FakePasswordAlerts alerts;
    alerts.answers = {{1000, "secret1"}};
    auto alert = QVPasswordAlert::create();
    alert->setMessageText("QV_Private_Remind_Set_Password");
    alert->addButtonWithTitle("QV_Private_Btn_Open");
    alert->addButtonWithTitle("QV_Control_Cancel");
    QString pw;
    alert->passwordBeginSheetModalForWindowCompletionHandler([&](int64_t, const QString &p) { pw = p; });
    ASSERT_TRUE(apptest::spinUntil([&] { return !pw.isEmpty(); }));
    EXPECT_EQ(pw, "secret1");
    EXPECT_EQ(alerts.shown.value(0).buttons.size(), 2);

    FakeShareWindows shares;
    QVShareViewController::create()->setupSharedFilesWithArray({entry("s")});
    EXPECT_EQ(shares.shared.value(0).value(0)->name, "s");
}

}  // namespace
