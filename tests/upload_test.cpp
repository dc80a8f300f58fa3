// Uploads, backups and instant uploads against the device emulator: missing ranges from a file and from a
// stream, resumption after a dropped connection and after SIGKILLed uploads, uuid de-duplication, 147.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/file_stream_calls.h"
#include "command/file_upload.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "command/relax_upload.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers_upload.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "runtime/ppclib.h"

namespace {
using cross_test::bytes_of;
using cross_test::open_fds;
using cross_test::write_all;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream o;
    o << in.rdbuf();
    return o.str();
}

struct StreamSource {
    const std::string *data;
    size_t pos = 0;
    size_t dry_at = std::string::npos;  // gives nothing from here on
};

int stream_read(int32_t, char *buf, int size, client_file_task *task) {
    auto *s = static_cast<StreamSource *>(task->stream_ctx);
    const size_t limit = std::min(s->data->size(), s->dry_at);
    const size_t n = std::min(static_cast<size_t>(size), limit - std::min(limit, s->pos));
    std::memcpy(buf, s->data->data() + s->pos, n);
    s->pos += n;
    return static_cast<int>(n);
}

class Uploads : public testing::Test {
  protected:
    void SetUp() override {
        qv::set_log_enabled(getenv("QV_TEST_LOG") != nullptr);
        root_ = testing::TempDir() + "upload_root_" + std::to_string(::getpid());
        local_ = root_ + "_local";
        std::system(("rm -rf " + root_ + " " + local_).c_str());
        ::mkdir(root_.c_str(), 0700);
        ::mkdir(local_.c_str(), 0700);
        ::mkdir((root_ + "/docs").c_str(), 0700);
        addr_ = cross_test::device_addr();
        dev_ = std::make_unique<qvemu::Device>(root_, addr_, 0);  // ephemeral: tests run in parallel
        ASSERT_TRUE(dev_->start()) << dev_->last_error();
        qv_set_device_port(dev_->port());  // before any fork: the children inherit it
        qv_connect_pool_set_port(dev_->port());
        if (with_sdk_) start_sdk();
        task_ = client_file_task_new();
        task_->token = 5;
    }
    void start_sdk() {
        ASSERT_EQ(qv_crypt_init(), 0);
        qv_net_connect_install();
        ASSERT_EQ(init_connect_pool(), 0);
        qv_frame_set_current_device(addr_.c_str());
    }
    void TearDown() override {
        client_file_task_free(task_);
        qv_frame_reset();
        qv_set_device_port(0);
        qv_connect_pool_set_port(0);
        dev_->stop();
        destory_connect_pool();
        qv_crypt_release();
        for (auto &v : dev_->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
        std::system(("rm -rf " + root_ + " " + local_).c_str());
        qv::set_log_enabled(true);
    }
    // The device holds `have` ranges of `data` for `path`: the bytes there, zeros elsewhere.
    void seed_partial(const std::string &path, const std::string &data,
                      std::vector<std::pair<int64_t, int64_t>> have) {
        std::string part(data.size(), '\0');
        std::string state = std::to_string(data.size()) + "\n";
        for (auto [s, e] : have) {
            part.replace(s, e - s, data.substr(s, e - s));
            state += std::to_string(s) + " " + std::to_string(e) + "\n";
        }
        write_all(root_ + path + ".part", part);
        write_all(root_ + path + ".part.state", state);
    }
    uint64_t cmd_count(int cmd) {
        auto c = dev_->counters();
        return c.requests_by_cmd.count(cmd) ? c.requests_by_cmd[cmd] : 0;
    }

    bool with_sdk_ = true;
    std::string addr_;
    std::string root_, local_;
    std::unique_ptr<qvemu::Device> dev_;
    client_file_task *task_ = nullptr;
};

// Three holes, the middle ones ending before the end of the file: each hole goes out exactly, with tags.
TEST_F(Uploads, EveryMissingRangeFromAFileAndFromAStream) {
    const std::string data = bytes_of(100000, 1);
    const std::vector<std::pair<int64_t, int64_t>> have = {{0, 10000}, {30000, 50000}, {90000, 95000}};
    const uint64_t missing = 20000 + 40000 + 5000;

    write_all(local_ + "/a.bin", data);
    seed_partial("/docs/a.bin", data, have);
    const char *tags[] = {"holiday", "beach"};
    task_->tagList = const_cast<char **>(tags);
    task_->tagCount = 2;
    path_info target{"/docs/a.bin", 1, 0};
    ASSERT_EQ(QV_FileUpload((local_ + "/a.bin").c_str(), &target, task_), 0);
    EXPECT_EQ(slurp(root_ + "/docs/a.bin"), data);
    EXPECT_EQ(dev_->counters().upload_body_bytes, missing);
    EXPECT_EQ(cmd_count(107), 3u);
    EXPECT_EQ(cmd_count(108), 2u);  // the first check and the one that finds nothing missing
    EXPECT_EQ(qvemu::uploaded_tags(*dev_, "/docs/a.bin"), (std::vector<std::string>{"holiday", "beach"}));

    task_->tagList = nullptr;
    task_->tagCount = 0;
    seed_partial("/docs/b.bin", data, have);
    StreamSource src{&data};
    task_->stream_ctx = &src;
    stream_file_info stream{};
    stream.id = 77;
    stream.path = path_info{"/docs/b.bin", 1, 0};
    stream.size = static_cast<int64_t>(data.size());
    stream.mtime = 1700000000;
    stream.stream_read = stream_read;
    ASSERT_EQ(QV_FileStreamUpload(&stream, task_), 0);
    EXPECT_EQ(slurp(root_ + "/docs/b.bin"), data);
    EXPECT_EQ(dev_->counters().upload_body_bytes, 2 * missing);
}

// A stream that runs dry before its range ends is a failure and leaves the device's copy incomplete.
TEST_F(Uploads, ASourceThatRunsDryIsNotSuccess) {
    const std::string data = bytes_of(50000, 2);
    StreamSource src{&data, 0, 20000};
    task_->stream_ctx = &src;
    stream_file_info stream{};
    stream.path = path_info{"/docs/dry.bin", 1, 0};
    stream.size = static_cast<int64_t>(data.size());
    stream.stream_read = stream_read;
    EXPECT_EQ(QV_FileStreamUpload(&stream, task_), QV_ERR_LOCAL_FILE);
    EXPECT_EQ(slurp(root_ + "/docs/dry.bin"), "<missing>");
    // The device handles the cut upload after the client has given up on it: wait until it has, or a retry
    // that starts first is followed by the old handler's partial file, which an unseekable stream cannot
    // fill again.
    for (int i = 0; i < 500 && dev_->counters().upload_body_bytes < 20000; ++i) usleep(10000);
    // A later attempt with the whole stream finishes from what the device kept.
    src = StreamSource{&data};
    ASSERT_EQ(QV_FileStreamUpload(&stream, task_), 0);
    EXPECT_EQ(slurp(root_ + "/docs/dry.bin"), data);
}

// The device drops the connection inside the body; the next attempt sends only what it lacks.
TEST_F(Uploads, ADroppedUploadResumesWithTheMissingPart) {
    const std::string data = bytes_of(200000, 3);
    write_all(local_ + "/c.bin", data);
    path_info target{"/docs/c.bin", 1, 0};
    qvemu::Faults f;
    f.upload_drop_after = 50000;
    dev_->set_faults(f);
    const int rc = QV_FileUpload((local_ + "/c.bin").c_str(), &target, task_);
    EXPECT_TRUE(rc == QV_ERR_NET || rc == QV_ERR_RECV) << rc;
    dev_->set_faults(qvemu::Faults{});
    const uint64_t before = dev_->counters().upload_body_bytes;
    ASSERT_EQ(QV_FileUpload((local_ + "/c.bin").c_str(), &target, task_), 0);
    EXPECT_EQ(dev_->counters().upload_body_bytes - before, 150000u);
    EXPECT_EQ(slurp(root_ + "/docs/c.bin"), data);
}

// A device that hangs up while a large body is still going out (sent straight from the file): an error
// code with SIGPIPE at its default action, and the next attempt finishes the file.
TEST_F(Uploads, AHangUpMidBodyIsAnErrorNotASignal) {
    ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    const std::string data = bytes_of(24 << 20, 6);
    write_all(local_ + "/big.bin", data);
    path_info target{"/docs/big.bin", 1, 0};
    qvemu::Faults f;
    f.upload_drop_after = 50000;
    dev_->set_faults(f);
    const int rc = QV_FileUpload((local_ + "/big.bin").c_str(), &target, task_);
    EXPECT_TRUE(rc == QV_ERR_NET || rc == QV_ERR_RECV) << rc;
    dev_->set_faults(qvemu::Faults{});
    ASSERT_EQ(QV_FileUpload((local_ + "/big.bin").c_str(), &target, task_), 0);
    EXPECT_TRUE(slurp(root_ + "/docs/big.bin") == data);
}

// Size and time are those of the file the symbolic link leads to.
TEST_F(Uploads, ASymlinkedSourceSendsTheTargetsFacts) {
    const std::string data = bytes_of(70000, 4);
    write_all(local_ + "/real.bin", data);
    ASSERT_EQ(::symlink((local_ + "/real.bin").c_str(), (local_ + "/link.bin").c_str()), 0);
    int64_t sent_size = -1, sent_time = -1;
    struct stat st {};
    ASSERT_EQ(::stat((local_ + "/real.bin").c_str(), &st), 0);
    path_info target{"/docs/real.bin", 1, 0};
    // The first check answers status 0 (whole file), the second that nothing is missing.
    int checks = 0;  // handlers are copied per request: the count lives here
    dev_->set_handler(108, [&](qvemu::Device &, const qvemu::Request &req) {
        json_object *item = json_object_array_get_idx(req.data, 0), *v = nullptr;
        if (json_object_object_get_ex(item, "fileSize", &v)) sent_size = json_object_get_int64(v);
        if (json_object_object_get_ex(item, "modifyTime", &v)) sent_time = json_object_get_int64(v);
        qvemu::Reply r;
        r.data = checks++ == 0 ? "{\"status\":0}" : "{\"status\":1,\"count\":0,\"incompleteInfo\":[]}";
        return r;
    });
    ASSERT_EQ(QV_FileUpload((local_ + "/link.bin").c_str(), &target, task_), 0);
    EXPECT_EQ(sent_size, static_cast<int64_t>(data.size()));
    EXPECT_EQ(sent_time, static_cast<int64_t>(st.st_mtime));
    EXPECT_EQ(slurp(root_ + "/docs/real.bin"), data);
}

backup_uuid_dnode *add_uuid(backup_uuid_head *head, const char *uuid) {
    auto *n = static_cast<backup_uuid_dnode *>(std::calloc(1, sizeof(backup_uuid_dnode)));
    std::snprintf(n->file_uuid, sizeof n->file_uuid, "%s", uuid);
    n->next = backup_uuid_end(head);
    n->prev = head->prev;
    if (head->prev == backup_uuid_end(head))
        head->next = n;
    else
        head->prev->next = n;
    head->prev = n;
    return n;
}

// 138 names the uuids the device holds; only the others are backed up, and a known uuid sends nothing.
TEST_F(Uploads, BackupDeduplicatesByUuid) {
    const std::string names[] = {"u1", "u2", "u3", "u4"};
    std::string files[4];
    for (int i = 0; i < 4; ++i) {
        files[i] = bytes_of(30000 + 1000 * static_cast<size_t>(i), 10 + static_cast<unsigned>(i));
        write_all(local_ + "/f" + std::to_string(i), files[i]);
    }
    backup_result_info result{};
    task_->backup_result = &result;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(QV_BackupFile(names[i].c_str(), "pics", "pc-1", (local_ + "/f" + std::to_string(i)).c_str(),
                                task_),
                  0);
        ASSERT_NE(result.path, nullptr);
        EXPECT_EQ(std::string(result.path),
                  qvemu::backup_device_path("pc-1", "pics", local_ + "/f" + std::to_string(i)));
        std::free(result.path);
        result.path = nullptr;
    }
    const uint64_t after_first = dev_->counters().upload_body_bytes;
    EXPECT_EQ(after_first, files[0].size() + files[1].size());

    backup_uuid_head list;
    backup_uuid_init(&list);
    for (auto &n : names) add_uuid(&list, n.c_str());
    ASSERT_EQ(QV_Backup_CheckUuidList(&list, 5), 0);
    std::set<std::string> held;
    for (auto *n = list.next; n != backup_uuid_end(&list); n = n->next) held.insert(n->file_uuid);
    EXPECT_EQ(held, (std::set<std::string>{"u1", "u2"}));
    ppc_free_backup_uuid_list(&list);

    for (int i = 0; i < 4; ++i) {
        if (held.count(names[i])) continue;
        ASSERT_EQ(QV_BackupDeviceFile(names[i].c_str(), "usb-7", (local_ + "/f" + std::to_string(i)).c_str(),
                                      task_),
                  0);
        std::free(result.path);
        result.path = nullptr;
    }
    EXPECT_EQ(dev_->counters().upload_body_bytes - after_first, files[2].size() + files[3].size());
    EXPECT_EQ(cmd_count(146), 2u);
    const std::string stored = qvemu::backup_device_path("usb-7", "", local_ + "/f3");
    EXPECT_EQ(slurp(root_ + stored), files[3]);
    EXPECT_EQ(slurp(root_ + qvemu::backup_device_path("pc-1", "pics", local_ + "/f0")), files[0]);

    // A known uuid: one 134 and nothing else.
    const uint64_t bytes = dev_->counters().upload_body_bytes, checks = cmd_count(133);
    EXPECT_EQ(QV_BackupFile("u3", nullptr, "pc-1", (local_ + "/f2").c_str(), task_), 0);
    EXPECT_EQ(dev_->counters().upload_body_bytes, bytes);
    EXPECT_EQ(cmd_count(133), checks);
    EXPECT_EQ(QV_BackupFile("u9", nullptr, "pc-1", (local_ + "/nothing").c_str(), task_), -1);
}

std::vector<std::pair<std::string, int>> uuid_nodes(backup_uuid_head *head) {
    std::vector<std::pair<std::string, int>> v;
    for (auto *n = head->next; n != backup_uuid_end(head); n = n->next)
        v.emplace_back(n->file_uuid, n->exists);
    return v;
}

// A 138 that fails (device error, a reply without the list, a broken element) leaves the caller's list whole,
// flags included; a complete reply replaces it. Only unflagged uuids are sent.
TEST_F(Uploads, UuidListCheckKeepsTheListUntilACompleteReply) {
    struct Case {
        int error;
        const char *data;
        bool ok;
    };
    const Case cases[] = {
        {10001, nullptr, false},
        {0, "{}", false},
        {0, R"({"backupFileListInfo": [{"file_uuid": "x"}, {"y": 1}]})", false},
        {0, R"({"backupFileListInfo": [{"file_uuid": "a"}, {"file_uuid": "z"}]})", true},
    };
    for (const Case &c : cases) {
        backup_uuid_head list;
        backup_uuid_init(&list);
        for (const char *u : {"a", "b", "c"}) add_uuid(&list, u);
        list.next->next->exists = 1;
        std::string sent;
        dev_->set_handler(138, [&](qvemu::Device &, const qvemu::Request &req) {
            sent = req.data ? json_object_to_json_string_ext(req.data, JSON_C_TO_STRING_PLAIN) : "";
            qvemu::Reply r;
            r.error = c.error;
            if (c.data) r.data = c.data;
            return r;
        });
        const int rc = QV_Backup_CheckUuidList(&list, 5);
        EXPECT_EQ(sent, R"({"backupFileListInfo":[{"fileUuid":"a"},{"fileUuid":"c"}]})");
        if (c.ok) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(uuid_nodes(&list), (std::vector<std::pair<std::string, int>>{{"a", 0}, {"z", 0}}));
            EXPECT_EQ(list.count, 2u);
        } else {
            EXPECT_NE(rc, 0) << (c.data ? c.data : "error");
            EXPECT_EQ(uuid_nodes(&list),
                      (std::vector<std::pair<std::string, int>>{{"a", 0}, {"b", 1}, {"c", 0}}))
                << (c.data ? c.data : "error");
        }
        ppc_free_backup_uuid_list(&list);
    }
}

// Each 155 comparison sets every flag from that page alone: a uuid found now is cleared, a failed page
// changes nothing.
TEST_F(Uploads, UuidPageCheckSetsEveryFlagFromThisPage) {
    std::string page_uuids;
    int page_error = 0;
    dev_->set_handler(155, [&](qvemu::Device &, const qvemu::Request &) {
        qvemu::Reply r;
        r.error = page_error;
        r.data = R"({"count": 2, "totalCount": 2, "filelist": [)" + page_uuids + "]}";
        return r;
    });
    backup_uuid_head list;
    backup_uuid_init(&list);
    for (const char *u : {"a", "b", "c"}) add_uuid(&list, u);
    list.next->exists = 1;  // stale flag of an earlier check
    using Nodes = std::vector<std::pair<std::string, int>>;

    page_uuids = R"({"file_uuid": "a"}, {"file_uuid": "x"})";
    ASSERT_EQ(QV_Backup_CheckFileUuidList(&list, 0, 10, 5), 0);
    EXPECT_EQ(uuid_nodes(&list), (Nodes{{"a", 0}, {"b", 1}, {"c", 1}}));
    EXPECT_EQ(list.flagged, 2u);

    page_uuids = R"({"file_uuid": "b"}, {"file_uuid": "c"})";
    ASSERT_EQ(QV_Backup_CheckFileUuidList(&list, 0, 10, 5), 0);
    EXPECT_EQ(uuid_nodes(&list), (Nodes{{"a", 1}, {"b", 0}, {"c", 0}}));
    EXPECT_EQ(list.flagged, 1u);

    page_error = 10001;
    EXPECT_NE(QV_Backup_CheckFileUuidList(&list, 0, 10, 5), 0);
    EXPECT_EQ(uuid_nodes(&list), (Nodes{{"a", 1}, {"b", 0}, {"c", 0}}));
    EXPECT_EQ(list.flagged, 1u);
    ppc_free_backup_uuid_list(&list);
}

// Pooled connections closed and the count steady (the emulator runs in this process and closes its ends a
// moment after the client); waits while the count is above `above` (0: until it stops changing).
size_t steady_fds(size_t above = 0) {
    qv_close_all_connection();
    size_t n = open_fds();
    for (int steady = 0, i = 0; i < 500 && (above ? n > above : steady < 10); ++i) {
        ::usleep(20000);
        const size_t m = open_fds();
        steady = m == n ? steady + 1 : 0;
        n = m;
    }
    return n;
}

void cancel_at_50000(client_file_task *t) {
    if (t->cur_progress >= 50000) t->cancel_status = -1;
}

// A dropped, a cancelled and a locally failed upload give back the connection and the source descriptor.
TEST_F(Uploads, FailedUploadsLeaveNoDescriptorBehind) {
    const std::string data = bytes_of(200000, 4);
    write_all(local_ + "/d.bin", data);
    path_info target{"/docs/d.bin", 1, 0};
    ASSERT_EQ(QV_FileUpload((local_ + "/d.bin").c_str(), &target, task_), 0);  // warms up what stays
    enum Kind { Drop, Cancel, Dry };
    for (Kind k : {Drop, Cancel, Dry}) {
        SCOPED_TRACE(k);
        path_info to{k == Drop ? "/docs/e1.bin" : k == Cancel ? "/docs/e2.bin" : "/docs/e3.bin", 1, 0};
        const size_t before = steady_fds();
        qvemu::Faults f;
        if (k == Drop) f.upload_drop_after = 50000;
        dev_->set_faults(f);
        task_->cancel_status = 0;
        task_->chunk_cb = k == Cancel ? cancel_at_50000 : nullptr;
        int rc;
        if (k == Dry) {
            StreamSource src{&data, 0, 20000};
            task_->stream_ctx = &src;
            stream_file_info stream{};
            stream.path = to;
            stream.size = static_cast<int64_t>(data.size());
            stream.stream_read = stream_read;
            rc = QV_FileStreamUpload(&stream, task_);
            task_->stream_ctx = nullptr;
        } else {
            rc = QV_FileUpload((local_ + "/d.bin").c_str(), &to, task_);
        }
        const int want = k == Cancel         ? QV_ERR_CANCELLED
                         : k == Dry          ? QV_ERR_LOCAL_FILE
                         : rc == QV_ERR_RECV ? rc
                                             : QV_ERR_NET;
        EXPECT_EQ(rc, want);
        task_->chunk_cb = nullptr;
        task_->cancel_status = 0;
        dev_->set_faults(qvemu::Faults{});
        EXPECT_EQ(steady_fds(before), before);
    }
}

// 147 with the check value of content the device holds: the file appears without any body bytes.
TEST_F(Uploads, InstantUploadSendsNoData) {
    const std::string data = bytes_of(40000, 20);
    write_all(root_ + "/docs/original.bin", data);
    write_all(local_ + "/copy.bin", data);
    char value[QV_AUTH_VALUE_SIZE] = {};
    ASSERT_EQ(QV_GetRelaxUploadAuthValue((local_ + "/copy.bin").c_str(), "md5", value, nullptr), 0);
    path_info target{"/docs/instant.bin", 1, 0};
    int32_t status = -1;
    ASSERT_EQ(QV_FileRelaxUpload(static_cast<int64_t>(data.size()), 0, "md5", value, &target, &status, 5), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(slurp(root_ + "/docs/instant.bin"), data);
    EXPECT_EQ(dev_->counters().upload_body_bytes, 0u);

    write_all(local_ + "/other.bin", bytes_of(40000, 21));
    ASSERT_EQ(QV_GetRelaxUploadAuthValue((local_ + "/other.bin").c_str(), "md5", value, nullptr), 0);
    path_info other{"/docs/other.bin", 1, 0};
    ASSERT_EQ(QV_FileRelaxUpload(40000, 0, "md5", value, &other, &status, 5), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(slurp(root_ + "/docs/other.bin"), "<missing>");
}

class CrashedUploads : public Uploads {
  protected:
    CrashedUploads() { with_sdk_ = false; }  // the SDK runs only in the children
};

// An upload in a child killed at random moments, restarted each time, ends byte-identical.
TEST_F(CrashedUploads, SigkilledUploadsConverge) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP()
        << "the child runs the SDK after a fork of a threaded process, which ThreadSanitizer refuses";
#endif
    const std::string data = bytes_of(6u << 20, 30);
    const std::string src = local_ + "/big.bin";
    write_all(src, data);
    auto run_child = [&](int kill_after_ms) -> int {
        pid_t pid = ::fork();
        if (pid == 0) {
            qv_net_connect_install();
            if (qv_crypt_init() != 0 || init_connect_pool() != 0) ::_exit(90);
            qv_frame_set_current_device(addr_.c_str());
            client_file_task *t = client_file_task_new();
            path_info target{"/docs/big.bin", 1, 0};
            ::_exit(QV_FileUpload(src.c_str(), &target, t) == 0 ? 0 : 1);
        }
        if (kill_after_ms >= 0) {
            ::usleep(static_cast<useconds_t>(kill_after_ms) * 1000);
            ::kill(pid, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    };
    std::mt19937 g(42);
    int killed = 0;
    for (int i = 0; i < 20; ++i) {
        int st = run_child(static_cast<int>(g() % 60));
        if (WIFSIGNALED(st)) ++killed;
    }
    EXPECT_GT(killed, 0);
    const int st = run_child(-1);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    const std::string got = slurp(root_ + "/docs/big.bin");
    size_t first_diff = 0;
    while (first_diff < std::min(got.size(), data.size()) && got[first_diff] == data[first_diff])
        ++first_diff;
    EXPECT_TRUE(got == data) << "device holds " << got.size() << " bytes, source " << data.size()
                             << ", first difference at offset " << first_diff;
}

}  // namespace
