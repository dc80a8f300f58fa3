// Transfers and file operations through the broker and the bridge over the scripted SDK: the progress
// throttle on the fake clock, what each operation hands the SDK and answers, and the cancels.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "broker/broker_test_util.h"
#include "model/QVClientSDKTools.h"
#include "platform/MainQueue.h"
#include "platform/Scheduler.h"

using namespace fwtest;
using Report = FakeDeviceSdk::Report;

namespace {

QVNasPathInfoPtr devicePath(const char *path, int64_t bucket = 3) {
    return QVNasPathInfo::sharePath(QString::fromUtf8(path), bucket);
}

class Transfers : public ServiceOnFake {};

// ---- the throttle, on the fake clock ----

struct Step {
    int req;        // which request reports
    int64_t gapMs;  // fake time moved before the report
    int32_t status;
    int64_t done, total;
    bool passes;
};
struct ThrottleCase {
    const char *name;
    int requests;     // downloads running at once, or one after the other when `sequential`
    bool sequential;  // each request answers before the next one starts
    std::vector<Step> steps;
};

constexpr int64_t kMiB = 1048576;

const ThrottleCase kThrottle[] = {
    {"total 1 MiB passes reports 0.25 s apart",
     1,
     false,
     {{0, 0, 0, 1, kMiB, true},
      {0, 250, 0, 2, kMiB, true},
      {0, 250, 0, 3, kMiB, true},
      {0, 250, 0, 4, kMiB, true}}},
    {"total 1 MiB + 1 passes one a second",
     1,
     false,
     {{0, 0, 0, 1, kMiB + 1, true},
      {0, 250, 0, 2, kMiB + 1, false},
      {0, 250, 0, 3, kMiB + 1, false},
      {0, 250, 0, 4, kMiB + 1, false},
      {0, 250, 0, 5, kMiB + 1, false},  // exactly 1 s: not more than the gap
      {0, 1, 0, 6, kMiB + 1, true}}},
    {"a gap of exactly 0.2 s is dropped",
     1,
     false,
     {{0, 0, 0, 1, kMiB, true}, {0, 200, 0, 2, kMiB, false}, {0, 1, 0, 3, kMiB, true}}},
    {"status 2 bypasses and leaves the time",
     1,
     false,
     {{0, 0, 0, 1, 100, true},
      {0, 50, 2, 2, 100, true},
      {0, 100, 0, 3, 100, false},
      {0, 51, 0, 4, 100, true}}},
    {"done == total always arrives",
     1,
     false,
     {{0, 0, 0, 10, 100, true}, {0, 10, 0, 50, 100, false}, {0, 10, 0, 100, 100, true}}},
    {"the first report after a previous transfer passes",
     2,
     true,
     {{0, 0, 0, 1, 100, true}, {1, 10, 0, 1, 100, true}, {1, 10, 0, 2, 100, false}}},
    {"two downloads are throttled apart",
     2,
     false,
     {{0, 0, 0, 1, kMiB, true},
      {1, 50, 0, 1, kMiB, true},
      {0, 100, 0, 2, kMiB, false},
      {1, 160, 0, 2, kMiB, true},
      {0, 51, 0, 3, kMiB, true}}},
};

TEST_F(Transfers, ThrottlePerRequestOnTheFakeClock) {
    for (const ThrottleCase &c : kThrottle) {
        SCOPED_TRACE(c.name);
        plat::FakeScheduler sched;
        FakeDeviceSdk::TransferScript script;
        script.fed = true;
        fake->scriptTransfer("ppc_file_download", script);
        Progress progress;
        std::vector<int32_t> seqs;
        std::vector<std::shared_ptr<Answer>> answers;
        const auto start = [&] {
            answers.push_back(std::make_shared<Answer>());
            seqs.push_back(broker()
                               .qvNasDownloadFileToLocalPath("/tmp/dl", devicePath("/a.bin"),
                                                             progress.block(), answers.back()->completion())
                               ->clientCommandSeq);
        };
        const auto finish = [&](int req) {
            fake->finishFed(seqs[static_cast<size_t>(req)]);
            ASSERT_TRUE(answers[static_cast<size_t>(req)]->wait());
            EXPECT_EQ(answers[static_cast<size_t>(req)]->get()->responseCode, 0);
        };
        for (int r = 0; r < (c.sequential ? 1 : c.requests); ++r) start();
        std::map<int, std::vector<int64_t>> want;
        for (const Step &s : c.steps) {
            if (c.sequential && s.req >= static_cast<int>(seqs.size())) {
                finish(s.req - 1);
                start();
            }
            sched.advance(s.gapMs);
            ASSERT_TRUE(fake->feedReport(seqs[static_cast<size_t>(s.req)], {s.status, s.done, s.total}));
            if (s.passes) want[s.req].push_back(s.done);
        }
        for (int r = c.sequential ? static_cast<int>(seqs.size()) - 1 : 0; r < static_cast<int>(seqs.size());
             ++r)
            finish(r);
        for (size_t r = 0; r < seqs.size(); ++r) {
            std::vector<int64_t> got;
            for (const auto &call : progress.of(seqs[r])) {
                got.push_back(call.done);
                EXPECT_FALSE(call.onMain);  // on the transfer's worker, inside its call
            }
            EXPECT_EQ(got, want[static_cast<int>(r)]) << "request " << r;
        }
    }
}

// ---- what each operation hands the SDK and answers ----

struct OpCase {
    const char *name;
    const char *fn;  // the SDK function called, "" for none
    int scripted;    // its result
    std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)> send;
    int32_t command;
    int64_t code;
    std::vector<std::string> args;  // the call's recorded arguments after the sequence number ({} unchecked)
    QVariant data;                  // expected "data" (invalid: none)
};

TEST_F(Transfers, OperationsTable) {
    auto &b = broker();
    const auto upload = QVNasUploadDataInfo::shareInfoByPath(
        "/home/u/a.jpg", "a.jpg", devicePath("/photos/a.jpg"), "", {"trip", "2019"}, 0, 5);
    const std::vector<OpCase> cases = {
        {"download",
         "ppc_file_download",
         0,
         [&](auto d) { return b.qvNasDownloadFileToLocalPath("/tmp/in", devicePath("/docs/a.txt"), {}, d); },
         51,
         0,
         {"/tmp/in", "/docs/a.txt@3", "77"},
         {}},
        {"download refused",
         "ppc_file_download",
         10202,
         [&](auto d) { return b.qvNasDownloadFileToLocalPath("/tmp/in", devicePath("/nope"), {}, d); },
         51,
         110202,
         {},
         {}},
        {"bucket beyond int32 sends nothing",
         "",
         0,
         [&](auto d) {
             return b.qvNasDownloadFileToLocalPath("/tmp/in", devicePath("/a", 1LL << 33), {}, d);
         },
         51,
         -1,
         {},
         {}},
        {"upload with tags",
         "ppc_upload_FileTag",
         0,
         [&](auto d) { return b.qvNasFilePathUploadWithData(upload, {}, d); },
         119,
         0,
         {"/home/u/a.jpg", "2", "trip|2019", "/photos/a.jpg@3", "77"},
         {}},
        {"delete",
         "ppc_delete_FileListCb",
         0,
         [&](auto d) {
             return b.qvNasDeleteListCbWithList({devicePath("/a"), devicePath("/b")}, {}, d);
         },
         167,
         0,
         {"/a@3", "/b@3"},
         {}},
        {"copy",
         "ppc_file_CopyCb",
         0,
         [&](auto d) { return b.qvNasCopyToWithFromInfo(devicePath("/a"), devicePath("/dst", 5), {}, d); },
         135,
         0,
         {"/a@3", "/dst@5", "77"},
         {}},
        {"move",
         "ppc_file_MoveCb",
         10202,
         [&](auto d) { return b.qvNasMoveToWithFromInfo(devicePath("/a"), devicePath("/dst"), {}, d); },
         136,
         110202,
         {"/a@3", "/dst@3", "77"},
         {}},
        {"check value",
         "ppc_get_RelaxUploadAuthValue",
         0,
         [&](auto d) { return b.qvNasGetRelaxUploadAuthValueWithPath("/home/u/a.jpg", 1, 2, {}, d); },
         114,
         0,
         {"/home/u/a.jpg", "md5"},
         QStringLiteral("0123456789abcdef0123456789abcdef_5")},
        {"check value of an unreadable file",
         "ppc_get_RelaxUploadAuthValue",
         -1,
         [&](auto d) { return b.qvNasGetRelaxUploadAuthValueWithPath("/nope", 1, 2, {}, d); },
         114,
         -1,
         {},
         QStringLiteral("")},
        {"instant upload of a held file",
         "ppc_FileRelaxUpload",
         0,
         [&](auto d) {
             return b.qvNasRelaxUploadWithAuthValue("v_5", devicePath("/p/a.jpg"), 5, 1700000000, d);
         },
         116,
         0,
         {},
         {}},
        {"instant upload refused",
         "ppc_FileRelaxUpload",
         10008,
         [&](auto d) { return b.qvNasRelaxUploadWithAuthValue("v_5", devicePath("/p/a.jpg"), 5, 1, d); },
         116,
         110008,
         {},
         {}},
    };
    bridge().setSrcToken(77);
    for (const OpCase &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t downloadsBefore = fake->callsOf("ppc_file_download").size();
        const size_t before = *c.fn ? fake->callsOf(c.fn).size() : 0;
        if (*c.fn) {
            FakeDeviceSdk::TransferScript sc;
            sc.result = c.scripted;
            fake->scriptTransfer(c.fn, sc);
            fake->script(c.fn, c.scripted);
        }
        const auto r = answerOf(c.send);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->clientCommand, c.command);
        EXPECT_EQ(r->responseCode, c.code);
        EXPECT_EQ(r->responseData, c.data);
        if (!*c.fn) {
            EXPECT_EQ(fake->callsOf("ppc_file_download").size(), downloadsBefore);
            continue;
        }
        const auto calls = fake->callsOf(c.fn);
        ASSERT_EQ(calls.size(), before + 1);
        if (!c.args.empty()) {
            const auto &args = calls.back().args;
            // Calls that carry the request's number first: compare what follows it.
            const size_t skip = args.size() > c.args.size() ? args.size() - c.args.size() : 0;
            EXPECT_EQ(std::vector<std::string>(args.begin() + static_cast<long>(skip), args.end()), c.args);
        }
    }
    // The instant upload of a file the device does not hold: status 0 answers 1.
    FakeDeviceSdk::TransferScript notHeld;
    notHeld.deviceStatus = 0;
    fake->scriptTransfer("ppc_FileRelaxUpload", notHeld);
    fake->script("ppc_FileRelaxUpload", 0);
    EXPECT_EQ(answerOf([&](auto d) {
                  return b.qvNasRelaxUploadWithAuthValue("v_5", devicePath("/p/a.jpg"), 5, 1, d);
              })->responseCode,
              100001);
    // A delete passes the number of its paths as the total before the device counts.
    const auto totals = fake->deleteTotalsAtEntry();
    ASSERT_FALSE(totals.empty());
    EXPECT_EQ(totals.back(), 2);
    bridge().setSrcToken(0);
}

TEST_F(Transfers, CopyReportsEveryChunkAndDeleteEveryCount) {
    FakeDeviceSdk::TransferScript sc;
    sc.reports = {{0, 0, 0}, {1, 1, 3}, {1, 2, 3}, {1, 3, 3}, {2, 3, 3}};
    fake->scriptTransfer("ppc_file_CopyCb", sc);
    fake->scriptTransfer("ppc_delete_FileListCb", sc);
    plat::FakeScheduler sched;  // time stands still: nothing of these is throttled
    Progress progress;
    Answer copy, del;
    const int32_t copySeq = broker()
                                .qvNasCopyToWithFromInfo(devicePath("/a"), devicePath("/b"),
                                                         progress.copyBlock(), copy.completion())
                                ->clientCommandSeq;
    const int32_t delSeq =
        broker()
            .qvNasDeleteListCbWithList({devicePath("/a")}, progress.block(), del.completion())
            ->clientCommandSeq;
    ASSERT_TRUE(copy.wait());
    ASSERT_TRUE(del.wait());
    for (int32_t seq : {copySeq, delSeq}) {
        const auto calls = progress.of(seq);
        ASSERT_EQ(calls.size(), sc.reports.size());
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].status, sc.reports[i].status);
            EXPECT_EQ(calls[i].done, sc.reports[i].done);
            EXPECT_EQ(calls[i].total, sc.reports[i].total);
            EXPECT_FALSE(calls[i].onMain);
        }
    }
}

// ---- cancels ----

TEST_F(Transfers, CancelOneOfTwoDownloadsStopsOnlyIt) {
    FakeDeviceSdk::TransferScript sc;
    sc.fed = true;
    fake->scriptTransfer("ppc_file_download", sc);
    Progress progress;
    Answer a, b, cancel;
    const auto ra =
        broker().qvNasDownloadFileToLocalPath("/tmp", devicePath("/a"), progress.block(), a.completion());
    const auto rb =
        broker().qvNasDownloadFileToLocalPath("/tmp", devicePath("/b"), progress.block(), b.completion());
    ASSERT_TRUE(fake->feedReport(ra->clientCommandSeq, {0, 10, 100}));
    ASSERT_TRUE(fake->feedReport(rb->clientCommandSeq, {0, 10, 100}));
    broker().qvNasCancelDownloadFileWithRequest(ra, cancel.completion());
    // From here on nothing of the first download reaches its callback, not even a late report.
    const size_t reportsOfA = progress.of(ra->clientCommandSeq).size();
    broker().qvDiskTransportRequest(ra, 0, 50, 100);
    ASSERT_TRUE(cancel.wait());
    EXPECT_EQ(cancel.get()->clientCommand, 346);
    EXPECT_EQ(cancel.get()->responseCode, 0);
    ASSERT_TRUE(a.wait());
    EXPECT_EQ(a.get()->clientCommand, 51);
    EXPECT_EQ(a.get()->responseCode, 120008);
    EXPECT_EQ(progress.of(ra->clientCommandSeq).size(), reportsOfA);
    // The other one goes on to its end.
    ASSERT_TRUE(fake->feedReport(rb->clientCommandSeq, {0, 100, 100}));
    fake->finishFed(rb->clientCommandSeq);
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.get()->responseCode, 0);
    EXPECT_EQ(progress.of(rb->clientCommandSeq).back().done, 100);
    const auto cancels = fake->callsOf("ppc_cancel_task");
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].args, (std::vector<std::string>{"0", "2", std::to_string(ra->clientCommandSeq)}));
}

struct CancelCase {
    const char *name;
    const char *fn;  // the cancelled operation's SDK function
    std::function<QVNasRequestInfoPtr(Progress &, QVNasCompletionBlock)> start;
    std::function<QVNasRequestInfoPtr(const QVNasRequestInfoPtr &, QVNasCompletionBlock)> cancel;
    int32_t cancelCommand;
    int32_t command;
    bool lateReportArrives;  // a report after the cancel method returned still finds the callback
    QVariant data;
};

TEST_F(Transfers, CancelsAnswerAndTheCancelledRequestAnswers120008) {
    auto &b = broker();
    const std::vector<CancelCase> cases = {
        {"upload: progress stays filed until its answer",
         "ppc_upload_FileTag",
         [&](Progress &p, auto d) {
             return b.qvNasFilePathUploadWithData(
                 QVNasUploadDataInfo::shareInfoByPath("/l/a", "a", devicePath("/a"), "", {}, 0, 1), p.block(),
                 d);
         },
         [&](const auto &r, auto d) { return b.qvNasCloseUploadOperateWithRequest(r, d); },
         346,
         119,
         true,
         {}},
        {"copy by 137",
         "ppc_file_CopyCb",
         [&](Progress &p, auto d) {
             return b.qvNasCopyToWithFromInfo(devicePath("/a"), devicePath("/b"), p.copyBlock(), d);
         },
         [&](const auto &r, auto d) { return b.qvNasCancelOperateTaskWithRequest(r, d); },
         137,
         135,
         false,
         {}},
        {"delete by 137",
         "ppc_delete_FileListCb",
         [&](Progress &p, auto d) { return b.qvNasDeleteListCbWithList({devicePath("/a")}, p.block(), d); },
         [&](const auto &r, auto d) { return b.qvNasCancelOperateTaskWithRequest(r, d); },
         137,
         167,
         false,
         {}},
        {"check value by 115", "ppc_get_RelaxUploadAuthValue",
         [&](Progress &p, auto d) {
             return b.qvNasGetRelaxUploadAuthValueWithPath("/l/a", 1, 1, p.block(), d);
         },
         [&](const auto &r, auto d) { return b.qvNasCancelRelaxUploadAuthValueWithRequest(r, d); }, 115, 114,
         false, QStringLiteral("")},
    };
    for (const CancelCase &c : cases) {
        SCOPED_TRACE(c.name);
        FakeDeviceSdk::TransferScript sc;
        sc.holdUntilCancel = true;
        fake->scriptTransfer(c.fn, sc);
        Progress progress;
        Answer op, cancel;
        const auto handle = c.start(progress, op.completion());
        ASSERT_TRUE(fake->waitTransfersHeld(1, 5000));
        c.cancel(handle, cancel.completion());
        b.qvDiskTransportRequest(handle, 0, 1, 2);
        b.qvDiskCopyOrMoveWithRequest(handle, std::make_shared<QVNasOperateProgressInfo>());
        EXPECT_EQ(!progress.of(handle->clientCommandSeq).empty(), c.lateReportArrives);
        ASSERT_TRUE(cancel.wait());
        EXPECT_EQ(cancel.get()->clientCommand, c.cancelCommand);
        EXPECT_EQ(cancel.get()->responseCode, 0);
        ASSERT_TRUE(op.wait());
        EXPECT_EQ(op.get()->clientCommand, c.command);
        EXPECT_EQ(op.get()->responseCode, 120008);
        EXPECT_EQ(op.get()->responseData, c.data);
        fake->scriptTransfer(c.fn, {});
    }
    // A cancel of a request that has ended finds nothing and answers 0.
    const auto done = std::make_shared<Answer>();
    const auto handle = b.qvNasDownloadFileToLocalPath("/tmp", devicePath("/a"), {}, done->completion());
    ASSERT_TRUE(done->wait());
    const auto late = answerOf([&](auto d) { return b.qvNasCancelDownloadFileWithRequest(handle, d); });
    EXPECT_EQ(late->clientCommand, 346);
    EXPECT_EQ(late->responseCode, 0);
    EXPECT_EQ(done->calls, 1);
}

TEST_F(Transfers, SixtyFourBlockedTransfersEachCancelAnswersQuickly) {
    FakeDeviceSdk::TransferScript sc;
    sc.holdUntilCancel = true;
    for (const char *fn :
         {"ppc_file_download", "ppc_upload_FileTag", "ppc_file_CopyCb", "ppc_get_RelaxUploadAuthValue"})
        fake->scriptTransfer(fn, sc);
    auto &b = broker();
    struct Held {
        QVNasRequestInfoPtr handle;
        std::shared_ptr<Answer> answer = std::make_shared<Answer>();
    };
    std::vector<Held> held(64);
    const auto item = QVNasUploadDataInfo::shareInfoByPath("/l/a", "a", devicePath("/a"), "", {}, 0, 1);
    for (size_t i = 0; i < held.size(); ++i) {
        auto done = held[i].answer->completion();
        switch (i % 4) {
            case 0:
                held[i].handle = b.qvNasDownloadFileToLocalPath("/tmp", devicePath("/a"), {}, done);
                break;
            case 1:
                held[i].handle = b.qvNasFilePathUploadWithData(item, {}, done);
                break;
            case 2:
                held[i].handle = b.qvNasCopyToWithFromInfo(devicePath("/a"), devicePath("/b"), {}, done);
                break;
            default:
                held[i].handle = b.qvNasGetRelaxUploadAuthValueWithPath("/l/a", 1, 1, {}, done);
                break;
        }
    }
    ASSERT_TRUE(fake->waitTransfersHeld(64, 10000));
    int64_t slowest = 0;
    for (size_t i = 0; i < held.size(); ++i) {
        Answer cancel;
        QElapsedTimer t;
        t.start();
        switch (i % 4) {
            case 0:
                b.qvNasCancelDownloadFileWithRequest(held[i].handle, cancel.completion());
                break;
            case 1:
                b.qvNasCloseUploadOperateWithRequest(held[i].handle, cancel.completion());
                break;
            case 2:
                b.qvNasCancelOperateTaskWithRequest(held[i].handle, cancel.completion());
                break;
            default:
                b.qvNasCancelRelaxUploadAuthValueWithRequest(held[i].handle, cancel.completion());
                break;
        }
        ASSERT_TRUE(cancel.wait());
        slowest = std::max<int64_t>(slowest, t.elapsed());
        EXPECT_EQ(cancel.get()->responseCode, 0) << i;
    }
    // A generous bound under load: a cancel must not queue behind the transfers it cancels.
    EXPECT_LT(slowest, 100);
    for (size_t i = 0; i < held.size(); ++i) {
        ASSERT_TRUE(held[i].answer->wait()) << i;
        EXPECT_EQ(held[i].answer->get()->responseCode, 120008) << i;
    }
}

TEST_F(Transfers, LogDownloadPathStaysInTheCachesFolder) {
    const QString version = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1"));
    const QString caches = QVClientSDKTools::getCachesPath();
    struct Row {
        QString device;
        QString file;
    };
    const std::vector<Row> rows = {
        {"NAS1", "NAS1_iOS_2.1.zip"},
        {"../../x", "x_iOS_2.1.zip"},
        {"", "device_iOS_2.1.zip"},
        {"..", "device_iOS_2.1.zip"},
        {"a\\b/c\nd\x7f", "abcd_iOS_2.1.zip"},
        {QString(40, QChar(0x4E66)), QString(21, QChar(0x4E66)) + "_iOS_2.1.zip"},  // 63 of 64 bytes
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.device.toStdString());
        const auto resp =
            answerOf([&](auto d) { return broker().qvNasDeviceDownloadLogWithLogType(2, r.device, {}, d); });
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->clientCommand, 320);
        const auto call = fake->callsOf("ppc_log_file_download").back();
        EXPECT_EQ(call.args[1], (caches + "/" + r.file).toStdString());
        EXPECT_EQ(call.args[2], "2");
        EXPECT_EQ(QFileInfo(QString::fromStdString(call.args[1])).absolutePath(), caches);
    }
    QCoreApplication::setApplicationVersion(version);
}

}  // namespace
