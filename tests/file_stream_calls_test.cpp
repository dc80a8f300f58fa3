// The file stream calls and the instant upload against the device emulator: attributes, an open read
// stream from an offset to its end, a refused write mode, and command 147.
#include "command/file_stream_calls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/qv_log.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "cross_test_util.h"
#include "device.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"

namespace {

using cross_test::open_fds;

// The emulator runs in this process: its end of a connection closes a moment after the client's, so wait
// (generously) for the count to come back to `want`.
size_t fds_settled(size_t want) {
    size_t n = open_fds();
    for (int i = 0; i < 200 && n > want; ++i) {
        ::usleep(10000);
        n = open_fds();
    }
    return n;
}

std::string member_text(json_object *item, const char *key) {
    json_object *v = nullptr;
    return json_object_object_get_ex(item, key, &v) ? json_object_get_string(v) : "<missing>";
}

class FileStreamCalls : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(cross_test::client_up());
        dir_ = testing::TempDir() + "file_stream_calls_root_" + std::to_string(::getpid());
        mkdir(dir_.c_str(), 0700);
        std::ofstream(dir_ + "/song.mp3", std::ios::binary) << content_;
        dev_ = std::make_unique<qvemu::Device>(dir_, addr_, 0);  // ephemeral: tests run in parallel
        qvemu::install_open_stream_handler(*dev_);
        dev_->set_handler(105, [this](qvemu::Device &, const qvemu::Request &req) {
            json_object *item = json_object_array_get_idx(req.data, 0);
            attr_flag_ = member_text(item, "attrFlag");
            qvemu::Reply r;
            r.data = "[{\"fileSize\": " + std::to_string(content_.size()) + "}]";
            return r;
        });
        dev_->set_handler(147, [this](qvemu::Device &, const qvemu::Request &req) {
            json_object *item = json_object_array_get_idx(req.data, 0);
            for (const char *k :
                 {"path", "desUserId", "desBucketId", "authorization", "authValue", "modifyTime", "fileSize"})
                relax_keys_ += std::string(k) + "=" + member_text(item, k) + ";";
            qvemu::Reply r;
            r.data = "[{\"status\": 1}]";
            return r;
        });
        ASSERT_NO_FATAL_FAILURE(cross_test::use_device(*dev_, addr_.c_str()));
    }
    void TearDown() override { cross_test::device_and_client_down(*dev_); }

    const std::string addr_ = cross_test::device_addr();
    std::string dir_;
    std::string content_ = std::string(100000, 'm') + "tail";
    std::unique_ptr<qvemu::Device> dev_;
    std::string attr_flag_, relax_keys_;
};

TEST_F(FileStreamCalls, StatThenReadFromAnOffsetToTheEnd) {
    path_info path{"/song.mp3", 2, 0};
    file_stat st{};
    ASSERT_EQ(QV_FileStat(&path, &st, 77), 0);
    EXPECT_EQ(st.st_size, static_cast<int64_t>(content_.size()));
    EXPECT_EQ(attr_flag_, "1");

    qvhttp_request *s = QV_FileOpen(&path, 99990, "rb", 77);
    ASSERT_NE(s, nullptr);
    std::string got;
    char buf[4096];
    int n;
    while ((n = QV_FileRead(s, buf, sizeof buf)) > 0) got.append(buf, n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, content_.substr(99990));
    EXPECT_EQ(QV_FileRead(s, buf, sizeof buf), 0);  // after the end of the body
    QV_FileClose(s);
}

TEST_F(FileStreamCalls, OnlyReadModesOpenAnything) {
    path_info path{"song.mp3", 2, 0};
    EXPECT_EQ(QV_FileOpen(&path, 0, "w", 77), nullptr);
    EXPECT_EQ(QV_FileOpen(&path, 0, nullptr, 77), nullptr);
    EXPECT_EQ(dev_->counters().requests_by_cmd[106], 0u);
    qvhttp_request *s = QV_FileOpen(&path, 0, "r", 77);
    ASSERT_NE(s, nullptr);
    QV_FileClose(s);
}

TEST_F(FileStreamCalls, RelaxUploadSendsTheCheckValueAndHandsOutTheStatus) {
    path_info target{"/backup/a.jpg", 5, 0};
    int32_t status = -7;
    const char *value = "d41d8cd98f00b204e9800998ecf8427e_0";
    ASSERT_EQ(QV_FileRelaxUpload(0, 1700000000u, "md5", value, &target, &status, 77), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(relax_keys_,
              std::string("path=/backup/a.jpg;desUserId=5;desBucketId=5;authorization=md5;authValue=") +
                  value + ";modifyTime=1700000000;fileSize=0;");
}
// A reply not marked as file data (the device's JSON error for a missing file, a handler's plain JSON error,
// a JSON envelope with error 0) opens nothing: null, and its socket is closed.
TEST_F(FileStreamCalls, AReplyThatIsNotFileDataOpensNothing) {
    struct Case {
        const char *path;
        int error;
        bool cipher;
    };
    const Case cases[] = {{"/missing.mp3", -1, true}, {"/song.mp3", 13115, false}, {"/song.mp3", 0, true}};
    for (const Case &c : cases) {
        if (c.error >= 0) {
            dev_->set_handler(106, [c](qvemu::Device &, const qvemu::Request &) {
                qvemu::Reply r;
                r.error = c.error;
                r.data = "[{\"contentLength\": 0, \"date\": 0}]";
                qvemu::ReplyOptions o;
                o.cipher = c.cipher;
                r.options = o;
                return r;
            });
        }
        const size_t fds = open_fds();
        const uint64_t opens = dev_->counters().requests_by_cmd[106];
        path_info path{c.path, 2, 0};
        EXPECT_EQ(QV_FileOpen(&path, 0, "rb", 77), nullptr) << c.path << " " << c.error;
        EXPECT_EQ(dev_->counters().requests_by_cmd[106], opens + 1);
        EXPECT_EQ(fds_settled(fds), fds) << c.path << " " << c.error;
    }
    qvemu::install_open_stream_handler(*dev_);
    path_info path{"/song.mp3", 2, 0};
    qvhttp_request *s = QV_FileOpen(&path, 0, "rb", 77);
    ASSERT_NE(s, nullptr);
    QV_FileClose(s);
}

}  // namespace
