// End to end: the real bridge and SDK against the device emulator in this process, a folder of 1,200 files
// with a dot name and a name that is not UTF-8, listed in two broker pages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "base/qv_log.h"
#include "broker/broker_test_util.h"
#include "command/ppc_qv_client.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers_device_user.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "model/QVNasFileListInfo.h"
#include "platform/Log.h"
#include "platform/WorkPool.h"

namespace fs = std::filesystem;
using namespace fwtest;

namespace {

constexpr char kAuth[] = "auth-framework-e2e";

// The real SDK for the listing; the service start and stop only make and free a context, since the
// listing needs no discovery, push or messaging (and the test binds no fixed ports).
struct ListingOnlySdk final : DeviceSdk {
    ppc_router_task *ppc_start_Service(const char *, ppc_dev_cb, ppc_dev_cb, ppc_usb_status_cb, const char *,
                                       int *) override {
        return ppc_router_task_new();
    }
    int ppc_stop_Service(ppc_router_task *context) override {
        ppc_router_task_free(context);
        return 0;
    }
};

}  // namespace

TEST(EndToEnd, FolderOf1200ListsInTwoBrokerPages) {
    const std::string root = testing::TempDir() + "fw_e2e_" + std::to_string(getpid());
    fs::remove_all(root);
    fs::create_directories(root + "/big");
    struct Expected {
        int64_t size;
        int64_t date;
    };
    std::map<QString, Expected> want;  // the names the listing must show, as decoded
    for (int i = 0; i < 1200; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%05d.bin", i);
        std::ofstream(root + "/big/" + name) << std::string(static_cast<size_t>(i % 97), 'x');
    }
    std::ofstream(root + "/big/.hidden") << "h";
    const std::string odd = std::string("odd-\xE4\xB8", 6) + "\xFF" + "name";  // cut character, then 0xFF
    std::ofstream(root + "/big/" + odd) << "12345";
    for (const auto &e : fs::directory_iterator(root + "/big")) {
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        const std::string n = e.path().filename().string();
        if (n[0] == '.') continue;
        const QString decoded = n == odd ? QStringLiteral("odd-") : QString::fromStdString(n);
        want[decoded] = {static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
    }
    ASSERT_EQ(want.size(), 1201u);

    const std::string addr_text = cross_test::device_addr();
    const char *addr = addr_text.c_str();
    qvemu::Device dev(root, addr, 0);
    auto model = qvemu::install_device_user_handlers(dev);
    model->update([](qvemu::DeviceUserState &s) { s.auth_codes.insert(kAuth); });
    ASSERT_TRUE(dev.start()) << dev.last_error();
    ASSERT_EQ(qv_crypt_init(), 0);
    qv_connect_pool_set_port(dev.port());
    qv_set_device_port(dev.port());
    ASSERT_EQ(init_connect_pool(), 0);
    qv_frame_reset();

    qv::set_log_enabled(false);
    plat::LogCapture log;  // the framework's lines
    int64_t token = 0;
    std::vector<QVNasResponseInfoPtr> pages;
    {
        bridge().setDeviceSdk(std::make_shared<ListingOnlySdk>());
        // The start makes the broker the bridge's delegate.
        const auto start =
            answerOf([&](auto done) { return broker().qvNasStartServiceWithGatewayIp(addr, done); });
        ASSERT_TRUE(start);
        ASSERT_EQ(start->responseCode, 0);
        ASSERT_EQ(QV_LoginVantor(addr, kAuth, &token), 0);
        ASSERT_NE(token, 0);
        bridge().setSrcToken(token);

        const auto folder = QVNasPathInfo::sharePath(QStringLiteral("/big"), 0);
        for (int startIndex : {0, 601}) {
            std::atomic<bool> onWorker{false}, onMain{false};
            QString workerName;
            QVNasResponseInfoPtr got;
            broker().qvNasGetFileListWithStartIndex(startIndex, 601, folder, 0,
                                                    [&](const QVNasResponseInfoPtr &r) {
                                                        workerName = plat::currentThreadName();
                                                        onWorker = !plat::isMainThread();
                                                        // As the file browser does: on to the main thread.
                                                        plat::MainQueue::post([&, r] {
                                                            got = r;
                                                            onMain = plat::isMainThread();
                                                        });
                                                    });
            ASSERT_TRUE(spinUntil([&] { return got != nullptr; })) << startIndex;
            EXPECT_TRUE(onWorker);
            EXPECT_EQ(workerName, QStringLiteral("qv-work"));
            EXPECT_TRUE(onMain);
            pages.push_back(got);
        }
        // Path exists, asked on the main thread: answered before the method returns.
        for (const auto &[path, code] :
             std::vector<std::pair<QString, bool>>{{"/big", true}, {"/nope", false}}) {
            QVNasResponseInfoPtr r;
            broker().qvNasIsExistedWithPathInfo(QVNasPathInfo::sharePath(path, 0),
                                                [&](const QVNasResponseInfoPtr &x) { r = x; });
            ASSERT_TRUE(r) << path.toStdString();
            EXPECT_EQ(r->responseCode == 0, code) << path.toStdString();
        }
    }

    std::map<QString, Expected> seen;
    int reported = 0;
    for (const auto &r : pages) {
        ASSERT_EQ(r->responseCode, 0);
        EXPECT_EQ(r->clientCommand, 61);
        const auto info = r->responseData.value<QVNasFileListInfoPtr>();
        ASSERT_TRUE(info);
        EXPECT_EQ(info->totalCount, 1202);  // as the device counts: the dot entry included
        reported += info->count;
        for (const auto &f : info->fileList) {
            EXPECT_FALSE(f->name.startsWith(QLatin1Char('.')));
            seen[f->name] = {static_cast<int64_t>(f->size), static_cast<int64_t>(f->date)};
        }
    }
    EXPECT_EQ(reported, 1202);
    ASSERT_EQ(seen.size(), want.size());
    for (const auto &[name, e] : want) {
        const auto it = seen.find(name);
        ASSERT_NE(it, seen.end()) << name.toStdString();
        EXPECT_EQ(it->second.size, e.size) << name.toStdString();
        EXPECT_EQ(it->second.date, e.date) << name.toStdString();
    }
    for (const auto &v : dev.violations()) ADD_FAILURE() << v.what << "\n" << v.request;
    EXPECT_TRUE(log.contains(QStringLiteral("answer command 61")));
    const QString tokenText = QString::number(token);
    for (const QString &line : log.lines()) EXPECT_FALSE(line.contains(tokenText)) << line.toStdString();
    const auto stop = answerOf([](auto done) { return broker().qvNasStopServiceWithCompletion(done); });
    EXPECT_TRUE(stop && stop->responseCode == 0);
    plat::WorkPool::global().waitForDone(5000);
    bridge().setDeviceSdk(nullptr);
    destory_connect_pool();
    qv_connect_pool_set_port(QV_DEVICE_PORT);
    qv_set_device_port(0);
    dev.stop();
    qv_crypt_release();
    qv_frame_reset();
    bridge().setSrcToken(0);
    qv::set_log_enabled(true);
    fs::remove_all(root);
}
