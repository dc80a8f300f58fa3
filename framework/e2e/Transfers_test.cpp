// Transfers and file operations end to end: the broker and the bridge over the real runtime against an
// emulated device on 127.0.0.2, in a network namespace of the process's own (ctest runs it through
// scripts/netns-run, as the session's end to end, since the service's discovery binds fixed ports).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>

#include "base/qv_log.h"
#include "broker/broker_test_util.h"
#include "device.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_download.h"
#include "handlers_fileops.h"
#include "handlers_upload.h"
#include "model/QVClientSDKTools.h"
#include "platform/Log.h"
#include "runtime/ppc_service.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;

namespace {

constexpr char kAuth[] = "auth-transfers-e2e";

std::optional<std::string> whyNoNamespace() {
    if (qEnvironmentVariable("QV_NETNS") == QLatin1String("1")) return std::nullopt;
    const QString why = qEnvironmentVariable("QV_NETNS_SKIP");
    return why.isEmpty() ? std::string(
                               "runs as the ctest framework_transfers_e2e, in a network namespace of its "
                               "own (scripts/netns-run)")
                         : why.toStdString();
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string &path, const std::string &bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

QString checkValueOf(const std::string &bytes) {
    return QString::fromLatin1(
               QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Md5).toHex()) +
           "_" + QString::number(bytes.size());
}

QVNasPathInfoPtr onDevice(const char *path) {
    return QVNasPathInfo::sharePath(QString::fromUtf8(path), 0);
}

// One request with its answer; `reportsAtAnswer` counts the reports of the request when it answered.
struct Request {
    std::shared_ptr<Answer> answer = std::make_shared<Answer>();
    QVNasRequestInfoPtr handle;
    size_t reportsAtAnswer = 0;
    QVNasCompletionBlock completion(Progress &reports) {
        return [this, &reports, done = answer->completion()](const QVNasResponseInfoPtr &r) {
            reportsAtAnswer = handle ? reports.of(handle->clientCommandSeq).size() : 0;
            done(r);
        };
    }
};

class TransfersEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
        root = testing::TempDir() + "fw_transfers_" + std::to_string(getpid());
        local = root + "-local";
        fs::remove_all(root);
        fs::remove_all(local);
        fs::create_directories(local);
        qv::set_log_enabled(qEnvironmentVariableIsSet("QV_TEST_LOG"));
        ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging

        dev = std::make_unique<qvemu::Device>(root, "127.0.0.2");
        users = qvemu::install_device_user_handlers(*dev);
        users->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
        qvemu::install_device_handlers(*dev);
        qvemu::install_file_type_handlers(*dev);
        qvemu::install_listing_handlers(*dev);
        qvemu::install_upload_handlers(*dev);
        admin = qvemu::install_admin_handlers(*dev);
        download = std::make_shared<qvemu::DownloadScript>();
        qvemu::install_download_handler(*dev, download);
        qvemu::install_fileop_handlers(*dev, {.stream_copy = true, .chunk_interval_ms = 5, .end_status = 2});
        ASSERT_TRUE(dev->start()) << dev->last_error();

        bridge().setDeviceSdk(nullptr);  // the real runtime
        const auto start =
            answerOf([](auto d) { return broker().qvNasStartServiceWithGatewayIp("127.0.0.1", d); });
        ASSERT_TRUE(start);
        ASSERT_EQ(start->responseCode, 0);
        const auto login =
            answerOf([](auto d) { return broker().qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d); });
        ASSERT_TRUE(login);
        ASSERT_EQ(login->responseCode, 0);
        token = login->responseData.toLongLong();
    }
    void TearDown() override {
        if (!dev) return;
        answerOf([](auto d) { return broker().qvNasLogoutDeviceWithCompletion(d); });
        const auto stop = answerOf([](auto d) { return broker().qvNasStopServiceWithCompletion(d); });
        EXPECT_TRUE(stop && stop->responseCode == 0);
        plat::WorkPool::global().waitForDone(10000);
        fwe2e::finish({dev.get()}, root);
        fs::remove_all(local);
    }

    std::string root, local;
    std::unique_ptr<qvemu::Device> dev;
    std::shared_ptr<qvemu::DeviceUserModel> users;
    std::shared_ptr<qvemu::AdminState> admin;
    std::shared_ptr<qvemu::DownloadScript> download;
    qlonglong token = 0;
    plat::LogCapture log;
};

TEST_F(TransfersEndToEnd, DownloadUploadAndLogByteExactWithProgressBeforeTheAnswer) {
    auto &b = broker();
    const std::string content = randomBytes(3 * 1024 * 1024 + 17, 1);
    writeFile(root + "/docs/big.bin", content);
    Progress reports;

    // Download: the file under its own name in the local folder, every report on the worker before the
    // answer, the last one at the total.
    fs::create_directories(local + "/in");
    Request dl;
    dl.handle =
        b.qvNasDownloadFileToLocalPath(QString::fromStdString(local + "/in"), onDevice("/docs/big.bin"),
                                       reports.block(), dl.completion(reports));
    ASSERT_TRUE(dl.answer->wait(30000));
    ASSERT_EQ(dl.answer->get()->responseCode, 0);
    EXPECT_EQ(dl.answer->get()->clientCommand, 51);
    EXPECT_TRUE(readFile(local + "/in/big.bin") == content);
    const auto dlReports = reports.of(dl.handle->clientCommandSeq);
    ASSERT_FALSE(dlReports.empty());
    EXPECT_EQ(dl.reportsAtAnswer, dlReports.size());
    EXPECT_EQ(dlReports.back().done, static_cast<int64_t>(content.size()));
    EXPECT_EQ(dlReports.back().total, static_cast<int64_t>(content.size()));
    for (const auto &c : dlReports) EXPECT_FALSE(c.onMain);

    // Upload with tags: the device holds the same bytes and the tags.
    const std::string upBytes = randomBytes(1024 * 1024 + 3, 2);
    writeFile(local + "/up.bin", upBytes);
    Request up;
    const auto item = QVNasUploadDataInfo::shareInfoByPath(
        QString::fromStdString(local + "/up.bin"), "up.bin", onDevice("/up/up.bin"), "", {"trip", "2019"}, 0,
        static_cast<int64_t>(upBytes.size()));
    fs::create_directories(root + "/up");
    up.handle = b.qvNasFilePathUploadWithData(item, reports.block(), up.completion(reports));
    ASSERT_TRUE(up.answer->wait(30000));
    ASSERT_EQ(up.answer->get()->responseCode, 0);
    EXPECT_TRUE(readFile(root + "/up/up.bin") == upBytes);
    EXPECT_EQ(qvemu::uploaded_tags(*dev, "/up/up.bin"), (std::vector<std::string>{"trip", "2019"}));
    const auto upReports = reports.of(up.handle->clientCommandSeq);
    ASSERT_FALSE(upReports.empty());
    EXPECT_EQ(up.reportsAtAnswer, upReports.size());
    EXPECT_EQ(upReports.back().done, static_cast<int64_t>(upBytes.size()));

    // The device log, for a device named to climb out of the caches folder: it stays in it.
    const std::string logBytes = randomBytes(200 * 1024 + 1, 3);
    {
        std::lock_guard<std::mutex> l(admin->mu);
        admin->logs[3] = logBytes;
    }
    const QString version = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1"));
    Request lg;
    lg.handle = b.qvNasDeviceDownloadLogWithLogType(3, QStringLiteral("../../x"), reports.block(),
                                                    lg.completion(reports));
    QCoreApplication::setApplicationVersion(version);
    ASSERT_TRUE(lg.answer->wait(30000));
    ASSERT_EQ(lg.answer->get()->responseCode, 0);
    EXPECT_EQ(lg.answer->get()->clientCommand, 320);
    const std::string logPath = (QVClientSDKTools::getCachesPath() + "/x_iOS_2.1.zip").toStdString();
    EXPECT_TRUE(readFile(logPath) == logBytes);
    EXPECT_EQ(reports.of(lg.handle->clientCommandSeq).back().done, static_cast<int64_t>(logBytes.size()));
    fs::remove(logPath);

    // Nothing of the session token in the framework's log.
    const QString tokenText = QString::number(token);
    for (const QString &line : log.lines()) EXPECT_FALSE(line.contains(tokenText)) << line.toStdString();
}

TEST_F(TransfersEndToEnd, CopyMoveDeleteCheckValueAndInstantUpload) {
    auto &b = broker();
    for (int i = 0; i < 6; ++i) writeFile(root + "/many/f" + std::to_string(i), std::to_string(i));
    fs::create_directories(root + "/dst");
    Progress reports;

    // Copy: one progress record per streamed reply of the device.
    const uint64_t chunksBefore = dev->counters().chunks_by_cmd[159];
    Request cp;
    cp.handle = b.qvNasCopyToWithFromInfo(onDevice("/many"), onDevice("/dst"), reports.copyBlock(),
                                          cp.completion(reports));
    ASSERT_TRUE(cp.answer->wait(30000));
    EXPECT_EQ(cp.answer->get()->responseCode, 0);
    EXPECT_EQ(cp.answer->get()->clientCommand, 135);
    const auto cpReports = reports.of(cp.handle->clientCommandSeq);
    EXPECT_EQ(cpReports.size(), dev->counters().chunks_by_cmd[159] - chunksBefore);
    ASSERT_FALSE(cpReports.empty());
    EXPECT_EQ(cpReports.back().status, 2);
    EXPECT_EQ(cp.reportsAtAnswer, cpReports.size());

    // Move, then delete two paths with item counts.
    writeFile(root + "/m/a.txt", "a");
    Request mv;
    mv.handle = b.qvNasMoveToWithFromInfo(onDevice("/m/a.txt"), onDevice("/dst"), reports.copyBlock(),
                                          mv.completion(reports));
    ASSERT_TRUE(mv.answer->wait(30000));
    EXPECT_EQ(mv.answer->get()->responseCode, 0);
    EXPECT_EQ(mv.answer->get()->clientCommand, 136);
    EXPECT_FALSE(reports.of(mv.handle->clientCommandSeq).empty());

    writeFile(root + "/del/a", "a");
    writeFile(root + "/del/b", "b");
    Request del;
    del.handle = b.qvNasDeleteListCbWithList({onDevice("/del/a"), onDevice("/del/b")}, reports.block(),
                                             del.completion(reports));
    ASSERT_TRUE(del.answer->wait(30000));
    EXPECT_EQ(del.answer->get()->responseCode, 0);
    EXPECT_FALSE(fs::exists(root + "/del/a"));
    EXPECT_FALSE(fs::exists(root + "/del/b"));
    const auto delReports = reports.of(del.handle->clientCommandSeq);
    ASSERT_FALSE(delReports.empty());
    EXPECT_EQ(delReports.back().status, 2);
    EXPECT_EQ(delReports.back().total, 2);

    // Check value: md5 + "_" + size, as the test computes it; an unreadable file gives "".
    const std::string bytes = randomBytes(300 * 1024 + 5, 4);
    writeFile(local + "/cv.bin", bytes);
    writeFile(root + "/held/cv.bin", bytes);
    const auto cv = answerOf([&](auto d) {
        return b.qvNasGetRelaxUploadAuthValueWithPath(QString::fromStdString(local + "/cv.bin"), 0, 0, {}, d);
    });
    ASSERT_EQ(cv->responseCode, 0);
    EXPECT_EQ(cv->responseData.toString(), checkValueOf(bytes));
    const auto bad = answerOf([&](auto d) {
        return b.qvNasGetRelaxUploadAuthValueWithPath(QString::fromStdString(local + "/none"), 0, 0, {}, d);
    });
    EXPECT_EQ(bad->responseCode, -1);
    EXPECT_EQ(bad->responseData, QVariant(QStringLiteral("")));

    // Instant upload: a file the device holds lands at once (0); any other is not held (100001).
    const auto held = answerOf([&](auto d) {
        return b.qvNasRelaxUploadWithAuthValue(cv->responseData.toString(), onDevice("/instant/cv.bin"),
                                               static_cast<int64_t>(bytes.size()), 1700000000, d);
    });
    EXPECT_EQ(held->responseCode, 0);
    EXPECT_TRUE(readFile(root + "/instant/cv.bin") == bytes);
    const auto notHeld = answerOf([&](auto d) {
        return b.qvNasRelaxUploadWithAuthValue(checkValueOf("never seen"), onDevice("/instant/n.bin"), 10,
                                               1700000000, d);
    });
    EXPECT_EQ(notHeld->responseCode, 100001);
}

TEST_F(TransfersEndToEnd, CancelStopsOnlyTheRequestItNames) {
    auto &b = broker();
    const std::string one = randomBytes(4 * 1024 * 1024, 5), two = randomBytes(4 * 1024 * 1024 + 9, 6);
    writeFile(root + "/docs/one.bin", one);
    writeFile(root + "/docs/two.bin", two);
    fs::create_directories(local + "/a");
    fs::create_directories(local + "/b");
    download->pause_us = 15000;  // 64 KiB every 15 ms: a cancel lands mid-stream
    Progress reports;
    Request a, c;
    a.handle = b.qvNasDownloadFileToLocalPath(QString::fromStdString(local + "/a"), onDevice("/docs/one.bin"),
                                              reports.block(), a.completion(reports));
    c.handle = b.qvNasDownloadFileToLocalPath(QString::fromStdString(local + "/b"), onDevice("/docs/two.bin"),
                                              reports.block(), c.completion(reports));
    ASSERT_TRUE(spinUntil([&] { return !reports.of(a.handle->clientCommandSeq).empty(); }, 20000));
    Answer cancel;
    b.qvNasCancelDownloadFileWithRequest(a.handle, cancel.completion());
    const size_t reportsOfA = reports.of(a.handle->clientCommandSeq).size();
    ASSERT_TRUE(cancel.wait(20000));
    EXPECT_EQ(cancel.get()->clientCommand, 346);
    EXPECT_EQ(cancel.get()->responseCode, 0);
    ASSERT_TRUE(a.answer->wait(20000));
    EXPECT_EQ(a.answer->get()->responseCode, 120008);
    EXPECT_EQ(reports.of(a.handle->clientCommandSeq).size(), reportsOfA);
    download->pause_us = 0;
    ASSERT_TRUE(c.answer->wait(30000));
    EXPECT_EQ(c.answer->get()->responseCode, 0);
    EXPECT_TRUE(readFile(local + "/b/two.bin") == two);

    // 137 on a copy the device streams slowly: the cancel answers 0, the copy 120008.
    for (int i = 0; i < 40; ++i) writeFile(root + "/slow/f" + std::to_string(i), "x");
    fs::create_directories(root + "/dst2");
    qvemu::install_fileop_handlers(*dev, {.stream_copy = true, .chunk_interval_ms = 100, .end_status = 2});
    Request cp;
    cp.handle = b.qvNasCopyToWithFromInfo(onDevice("/slow"), onDevice("/dst2"), reports.copyBlock(),
                                          cp.completion(reports));
    ASSERT_TRUE(spinUntil([&] { return !reports.of(cp.handle->clientCommandSeq).empty(); }, 20000));
    const auto stop = answerOf([&](auto d) { return b.qvNasCancelOperateTaskWithRequest(cp.handle, d); });
    EXPECT_EQ(stop->clientCommand, 137);
    EXPECT_EQ(stop->responseCode, 0);
    ASSERT_TRUE(cp.answer->wait(20000));
    EXPECT_EQ(cp.answer->get()->clientCommand, 135);
    EXPECT_EQ(cp.answer->get()->responseCode, 120008);
}

}  // namespace
