#include "command/relax_upload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {
struct TempDir {
    std::filesystem::path dir;
    TempDir() {
        char tmpl[] = "/tmp/qv_relax_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(dir); }
};

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

// The first field of md5sum's output for the file.
std::string md5sum_of(const std::string &path) {
    std::string cmd = "md5sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char line[256] = {};
    if (std::fgets(line, sizeof line, p) == nullptr) line[0] = 0;
    pclose(p);
    return std::string(line).substr(0, 32);
}

struct Counter {
    int calls = 0;
    int64_t last = -1;
    bool cancel_after_first = false;
};

void on_progress(client_file_task *task) {
    auto *c = static_cast<Counter *>(task->user_ctx);
    ++c->calls;
    c->last = task->cur_progress;
    if (c->cancel_after_first) task->cancel_status = -1;
}

TEST(RelaxUploadValue, FileValueEqualsMd5sumAndSize) {
    TempDir t;
    for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{100000}, size_t{300001}}) {
        SCOPED_TRACE(size);
        const std::string path = (t.dir / ("f" + std::to_string(size))).string();
        std::ofstream(path, std::ios::binary) << random_bytes(size, static_cast<unsigned>(size));
        const std::string want = md5sum_of(path) + "_" + std::to_string(size);
        ASSERT_EQ(want.size(), 33 + std::to_string(size).size());

        Counter counter;
        client_file_task *task = client_file_task_new();
        task->chunk_cb = on_progress;
        task->user_ctx = &counter;
        char value[QV_AUTH_VALUE_SIZE];
        std::memset(value, 'x', sizeof value);
        ASSERT_EQ(QV_GetRelaxUploadAuthValue(path.c_str(), "md5", value, task), 0);
        EXPECT_EQ(value, want);
        EXPECT_EQ(task->total_progress, static_cast<int64_t>(size));
        if (size == 0) {
            EXPECT_EQ(counter.calls, 0);  // nothing read, no progress
        } else {
            EXPECT_GE(counter.calls, 1);  // the first block always reports
            EXPECT_GT(counter.last, 0);
        }
        client_file_task_free(task);
    }
    char value[QV_AUTH_VALUE_SIZE];
    EXPECT_EQ(QV_GetRelaxUploadAuthValue((t.dir / "missing").c_str(), "md5", value, nullptr), -1);
}

TEST(RelaxUploadValue, CancelGivesCancelledAndLeavesTheValueAlone) {
    TempDir t;
    const std::string path = (t.dir / "big").string();
    std::ofstream(path, std::ios::binary) << random_bytes(200000, 7);
    Counter counter{.cancel_after_first = true};
    client_file_task *task = client_file_task_new();
    task->chunk_cb = on_progress;
    task->user_ctx = &counter;
    char value[QV_AUTH_VALUE_SIZE] = "untouched";
    EXPECT_EQ(QV_GetRelaxUploadAuthValue(path.c_str(), "md5", value, task), 20008);
    EXPECT_STREQ(value, "untouched");
    EXPECT_EQ(counter.calls, 1);
    EXPECT_EQ(counter.last, 65536);
    client_file_task_free(task);
}

// A stream over a text, delivering at most `piece` bytes per call and recording the largest request
// beyond what was left.
struct Source {
    std::string data;
    size_t pos = 0;
    int piece = 65536;
    int stop_at = -1;  // deliver 0 once pos reaches this
    int extra = 0;     // deliver this many bytes more than asked (a faulty source)
    bool over_asked = false;
    int32_t seen_id = -1;
};
Source *g_source = nullptr;

int read_source(int32_t id, char *buf, int size, client_file_task *) {
    Source &s = *g_source;
    s.seen_id = id;
    if (static_cast<size_t>(size) > s.data.size() - s.pos) s.over_asked = true;
    if (s.stop_at >= 0 && s.pos >= static_cast<size_t>(s.stop_at)) return 0;
    int n = std::min<int>(size, s.piece);
    n = std::min<int>(n, static_cast<int>(s.data.size() - s.pos));
    std::memcpy(buf, s.data.data() + s.pos, n);
    s.pos += n;
    return n + s.extra;
}

TEST(RelaxUploadValue, StreamValueMatchesTheFileValue) {
    TempDir t;
    const std::string bytes = random_bytes(150001, 3);
    const std::string path = (t.dir / "s").string();
    std::ofstream(path, std::ios::binary) << bytes;
    const std::string want = md5sum_of(path) + "_150001";

    for (int piece : {65536, 1000}) {
        SCOPED_TRACE(piece);
        Source src{.data = bytes, .piece = piece};
        g_source = &src;
        stream_file_info info{};
        info.size = static_cast<int64_t>(bytes.size());
        info.stream_read = read_source;
        Counter counter;
        client_file_task *task = client_file_task_new();
        task->id = 77;
        task->chunk_cb = on_progress;
        task->user_ctx = &counter;
        char value[QV_AUTH_VALUE_SIZE] = {};
        ASSERT_EQ(QV_GetStreamRelaxUploadAuthValue(&info, "md5", value, task), 0);
        EXPECT_EQ(value, want);
        EXPECT_FALSE(src.over_asked);  // never asked past the size
        EXPECT_EQ(src.seen_id, 77);
        EXPECT_EQ(counter.last, 150001);  // the final report
        client_file_task_free(task);
    }
}

TEST(RelaxUploadValue, StreamFailures) {
    const std::string bytes = random_bytes(100000, 5);
    struct Case {
        const char *name;
        bool no_callback;
        int stop_at;
        int extra;
        bool cancel;
        int want;
    } cases[] = {
        {"no read callback", true, -1, 0, false, -1}, {"ends early", false, 50000, 0, false, -1},
        {"ends at once", false, 0, 0, false, -1},     {"delivers more than asked", false, -1, 1, false, -1},
        {"cancelled", false, -1, 0, true, 20008},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Source src{.data = bytes, .stop_at = c.stop_at, .extra = c.extra};
        g_source = &src;
        stream_file_info info{};
        info.size = static_cast<int64_t>(bytes.size());
        info.stream_read = c.no_callback ? nullptr : read_source;
        Counter counter{.cancel_after_first = c.cancel};
        client_file_task *task = client_file_task_new();
        task->chunk_cb = on_progress;
        task->user_ctx = &counter;
        char value[QV_AUTH_VALUE_SIZE] = "untouched";
        EXPECT_EQ(QV_GetStreamRelaxUploadAuthValue(&info, "md5", value, task), c.want);
        EXPECT_STREQ(value, "untouched");
        client_file_task_free(task);
    }
}
}  // namespace
