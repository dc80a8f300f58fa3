#include "codec/file_parse_transfer.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "base/record_list.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

using Rec = parse_harness::Record;
using TransferReply = parse_harness::Quiet;

struct Range {
    int32_t index;
    int64_t start, cur, end;
    bool operator==(const Range &) const = default;
};

std::vector<Range> ranges(const record_dnode *n) {
    std::vector<Range> out;
    for (; n; n = n->next) out.push_back({n->index, n->start, n->cur, n->end});
    return out;
}

// The test's own release of a backup uuid list (the runtime's free function lives with the runtime).
void free_uuid_nodes(backup_uuid_head *head) {
    backup_uuid_dnode *end = backup_uuid_end(head);
    for (backup_uuid_dnode *p = head->next; p != end;) {
        backup_uuid_dnode *next = p->next;
        std::free(p->buffer);
        std::free(p);
        p = next;
    }
    backup_uuid_init(head);
}

}  // namespace

// ---- upload and backup checks (108, 133) ----

struct CheckCase {
    const char *what;
    const char *data;
    int result;
    int status, count;
    std::vector<Range> list;
};

TEST_F(TransferReply, UploadAndBackupChecks) {
    const CheckCase cases[] = {
        {"two ranges, reverse order",
         R"({"status": 1, "count": 2, "incompleteInfo": [{"start": 0, "end": 100}, {"start": 200, "end": 300}]})",
         0,
         1,
         2,
         {{1, 200, 0, 300}, {0, 0, 0, 100}}},
        {"unsigned fallback",
         R"({"status": 1, "count": 1, "incompleteInfo": [{"start": -1, "end": -2}]})",
         0,
         1,
         1,
         {{0, 4294967295LL, 0, 4294967294LL}}},
        {"large offsets",
         R"({"status": 1, "count": 1, "incompleteInfo": [{"start": 5000000000, "end": 6000000000}]})",
         0,
         1,
         1,
         {{0, 5000000000LL, 0, 6000000000LL}}},
        {"no count", R"({"status": 0, "incompleteInfo": [{"start": 0, "end": 1}]})", 0, 0, -7, {}},
        {"empty ranges", R"({"status": 1, "count": 0, "incompleteInfo": []})", 0, 1, 0, {}},
        {"no ranges", R"({"status": 1, "count": 3})", 0, 1, 3, {}},
        {"element without end keeps earlier",
         R"({"status": 1, "count": 2, "incompleteInfo": [{"start": 0, "end": 9}, {"start": 10}]})",
         -1,
         1,
         2,
         {{0, 0, 0, 9}}},
        {"null element", R"({"status": 1, "count": 1, "incompleteInfo": [null]})", -1, 1, 1, {}},
        {"ranges of the wrong kind",
         R"({"status": 1, "count": 1, "incompleteInfo": {"start": 0, "end": 1}})",
         -1,
         1,
         1,
         {}},
        {"no status", R"({"count": 1})", -1, -7, -7, {}},
        {"no data", nullptr, -1, -7, -7, {}},
    };
    for (int cmd : {108, 133}) {
        for (const auto &c : cases) {
            Rec r;
            r.ci.status = -7;
            r.ci.count = -7;
            EXPECT_EQ(r.parse(cmd, c.data), c.result) << cmd << " " << c.what;
            EXPECT_EQ(r.ci.status, c.status) << cmd << " " << c.what;
            EXPECT_EQ(r.ci.count, c.count) << cmd << " " << c.what;
            EXPECT_EQ(ranges(r.ci.rangeList), c.list) << cmd << " " << c.what;
        }
    }
    Rec e;
    EXPECT_EQ(e.parse(108, R"({"status": 1, "count": 1, "incompleteInfo": [{"start": 0, "end": 1}]})", 10202),
              10202);
}

// ---- download, firmware upload, relax upload ----

TEST_F(TransferReply, DownloadAndFirmwareLengths) {
    struct {
        int cmd;
        const char *data;
        int result;
        int64_t length;
        uint32_t mtime;
    } cases[] = {
        {106, R"([{"contentLength": -2, "date": 86400}])", 0, 4294967294LL, 86400},
        {106, R"([{"contentLength": 6000000000}])", 0, 6000000000LL, 5},
        {57, R"([{"contentLength": -2, "date": 86400}])", 0, -2, 5},
        {57, R"([{"contentLength": 123}])", 0, 123, 5},
        {106, "[]", -1, -9, 5},
        {106, R"([{"date": 1}])", -1, -9, 5},
        {57, R"({"contentLength": 1})", -1, -9, 5},
        {57, nullptr, -1, -9, 5},
    };
    for (const auto &c : cases) {
        Rec r;
        r.ci.contentLength = -9;
        r.ci.modifyTime = 5;
        EXPECT_EQ(r.parse(c.cmd, c.data), c.result) << c.cmd << " " << (c.data ? c.data : "no data");
        EXPECT_EQ(r.ci.contentLength, c.length) << c.cmd << " " << (c.data ? c.data : "no data");
        EXPECT_EQ(r.ci.modifyTime, c.mtime) << c.cmd << " " << (c.data ? c.data : "no data");
    }
}

TEST_F(TransferReply, RelaxUploadStatus) {
    Rec r;
    EXPECT_EQ(r.parse(147, R"([{"status": 2}])"), 0);
    EXPECT_EQ(r.ci.status, 2);
    Rec m;
    EXPECT_EQ(m.parse(147, R"([{}])"), -1);
    Rec e;
    EXPECT_EQ(e.parse(147, R"([{"status": 2}])", 10100), 10100);
}

// ---- backup disk, uuid check, backup upload, no-data rows ----

TEST_F(TransferReply, BackupDiskInformation) {
    backup_disk_info disk{};
    disk.diskSize = 11;
    Rec r;
    r.ci.backupInfo = &disk;
    ASSERT_EQ(r.parse(130, R"({"BindStatus": 257})"), 0);
    EXPECT_EQ(disk.BindStatus, 1);
    EXPECT_EQ(disk.diskSize, 11);  // untouched without "BindDiskInfo"

    const std::string longName(80, 'd');
    const std::string data = R"({"BindStatus": 1, "BindDiskInfo": {"disk_name": ")" + longName +
                             R"(", "diskSize": 6000000000, "diskAvSize": 5, "deviceSize": 7}})";
    Rec s;
    s.ci.backupInfo = &disk;
    ASSERT_EQ(s.parse(130, data.c_str()), 0);
    EXPECT_EQ(std::string(disk.disk_name), longName.substr(0, 63));  // cut, terminated within the array
    EXPECT_EQ(disk.diskSize, 6000000000LL);
    EXPECT_EQ(disk.diskAvSize, 5);
    EXPECT_EQ(disk.deviceSize, 7);

    Rec m;
    m.ci.backupInfo = &disk;
    EXPECT_EQ(m.parse(130, R"({"BindDiskInfo": {}})"), -1);
}

TEST_F(TransferReply, BackupUuidCheckRefillsTheCallersList) {
    backup_uuid_head head{};
    backup_uuid_init(&head);
    head.count = 5;
    const std::string longUuid(70, 'u');
    const std::string data =
        R"({"backupFileListInfo": [{"file_uuid": "u1"}, {"file_uuid": "u2"}, {"file_uuid": ")" + longUuid +
        R"("}]})";
    Rec r;
    r.ci.uuidList = &head;
    ASSERT_EQ(r.parse(138, data.c_str()), 0);
    EXPECT_EQ(head.count, 3u);
    std::vector<std::string> got;
    for (backup_uuid_dnode *p = head.next; p != backup_uuid_end(&head); p = p->next) {
        got.push_back(p->file_uuid);
        EXPECT_EQ(p->exists, 0);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"u1", "u2", longUuid.substr(0, 63)}));
    EXPECT_STREQ(head.prev->file_uuid, got[2].c_str());
    free_uuid_nodes(&head);

    Rec e;
    e.ci.uuidList = &head;
    head.count = 2;
    ASSERT_EQ(e.parse(138, R"({"backupFileListInfo": []})"), 0);
    EXPECT_EQ(head.count, 0u);
    EXPECT_EQ(head.next, backup_uuid_end(&head));
    EXPECT_EQ(head.prev, backup_uuid_end(&head));

    Rec bad;
    bad.ci.uuidList = &head;
    EXPECT_EQ(bad.parse(138, R"({"backupFileListInfo": [{"file_uuid": "a"}, {"x": 1}]})"), -1);
    EXPECT_EQ(head.count, 0u);  // a broken reply leaves the list as it was
    EXPECT_EQ(head.next, backup_uuid_end(&head));
    Rec none;
    none.ci.uuidList = &head;
    EXPECT_EQ(none.parse(138, "{}"), -1);
    EXPECT_EQ(none.parse(138, nullptr), -1);
}

TEST_F(TransferReply, BackupUploadResult) {
    client_file_task *task = client_file_task_new();
    backup_result_info result{};
    task->backup_result = &result;
    Rec r;
    r.ci.rClientFileTask = task;
    ASSERT_EQ(r.parse(132, R"([{"bucketId": 5}])"), 0);
    EXPECT_EQ(result.bucketId, 5u);
    EXPECT_EQ(result.path, nullptr);
    Rec s;
    s.ci.rClientFileTask = task;
    ASSERT_EQ(s.parse(146, R"([{"bucketId": 6}, {"path": "/backup/x.jpg"}])"), 0);
    EXPECT_EQ(result.bucketId, 6u);
    EXPECT_STREQ(result.path, "/backup/x.jpg");
    Rec n;
    n.ci.rClientFileTask = task;
    EXPECT_EQ(n.parse(132, nullptr), 0);
    std::free(result.path);
    client_file_task_free(task);
}

TEST_F(TransferReply, NoDataRowsAcceptAnything) {
    for (int cmd : {107, 162, 131, 134, 136}) {
        Rec r;
        EXPECT_EQ(r.parse(cmd, R"([{"status": 1}])"), 0) << cmd;
        Rec e;
        EXPECT_EQ(e.parse(cmd, nullptr, 10202), 10202) << cmd;
    }
}

// ---- firmware download progress ----

TEST_F(TransferReply, FirmwareProgressMessages) {
    Rec r;
    r.reply(57, R"({"process": 10, "total": 100, "reserved": "aGVsbG8gd29ybGQ="})");
    ASSERT_EQ(download_fw_parse_json(&r.ci), 0);
    EXPECT_EQ(r.ci.r_json, nullptr);
    EXPECT_EQ(r.ci.offset, 10);
    EXPECT_EQ(r.ci.totalSize, 100);
    EXPECT_STREQ(r.ci.reserved, "hello world");
    // The next message of the same download replaces the text (the earlier one is freed, not lost).
    r.reply(57, R"({"process": 20, "total": 100, "reserved": "YWJj"})");
    ASSERT_EQ(download_fw_parse_json(&r.ci), 0);
    EXPECT_EQ(r.ci.offset, 20);
    EXPECT_STREQ(r.ci.reserved, "abc");

    Rec n;
    n.ci.reserved = strdup("keep");
    n.reply(57, R"({"process": -1, "total": 100})");
    ASSERT_EQ(download_fw_parse_json(&n.ci), 0);
    EXPECT_EQ(n.ci.offset, -1);
    EXPECT_STREQ(n.ci.reserved, "keep");

    Rec t;
    t.reply(57, R"({"process": 30})");
    EXPECT_EQ(download_fw_parse_json(&t.ci), -1);
    EXPECT_EQ(t.ci.offset, 30);
    EXPECT_EQ(t.ci.r_json, nullptr);

    Rec bad;
    bad.reply(57, R"({"process": 1, "total": 2, "reserved": "not base64!"})");
    EXPECT_EQ(download_fw_parse_json(&bad.ci), 0);
    EXPECT_EQ(bad.ci.reserved, nullptr);

    for (const char *text : {"{\"data\": {\"process\": 1, \"total\": 2}}", "garbage", R"({"header": {}})"}) {
        Rec x;
        x.ci.recv_buf = strdup(text);
        EXPECT_EQ(download_fw_parse_json(&x.ci), -1) << text;
        EXPECT_EQ(x.ci.r_json, nullptr) << text;
    }
}
