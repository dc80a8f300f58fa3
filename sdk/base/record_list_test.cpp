#include "base/record_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {
using Rec = std::tuple<int32_t, int64_t, int64_t, int64_t>;  // index, start, cur, end

std::vector<Rec> items(const record_dnode *n) {
    std::vector<Rec> v;
    for (; n != nullptr; n = n->next) v.emplace_back(n->index, n->start, n->cur, n->end);
    return v;
}

// Builds a list whose head-to-tail order is `recs`.
record_dnode *make(const std::vector<Rec> &recs) {
    record_dnode *head = nullptr;
    for (auto it = recs.rbegin(); it != recs.rend(); ++it) {
        EXPECT_EQ(add_record_to_list(&head, std::get<0>(*it), std::get<1>(*it), std::get<3>(*it)), 0);
        head->cur = std::get<2>(*it);
    }
    return head;
}

struct TempDir {
    std::filesystem::path dir;
    TempDir() {
        char tmpl[] = "/tmp/qv_records_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(dir); }
    std::string file(const char *name) const { return (dir / name).string(); }
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(RecordList, AddPutsNewRecordsInFrontWithCurZero) {
    record_dnode *head = nullptr;
    ASSERT_EQ(add_record_to_list(&head, 0, 0, 100), 0);
    ASSERT_EQ(add_record_to_list(&head, 1, 100, 200), 0);
    EXPECT_EQ(items(head), (std::vector<Rec>{{1, 100, 0, 200}, {0, 0, 0, 100}}));
    EXPECT_EQ(add_record_to_list(nullptr, 0, 0, 0), -1);
    EXPECT_EQ(destory_record_list(head), 0);
    EXPECT_EQ(destory_record_list(nullptr), -1);
}

TEST(RecordList, UpdateAndDeleteByEndKey) {
    const std::vector<Rec> base{{0, 0, 0, 10}, {1, 10, 0, 20}, {2, 20, 0, 20}, {3, 30, 0, 40}};
    struct Case {
        const char *name;
        bool del;
        int64_t key;
        std::vector<Rec> want;
    } cases[] = {
        {"update head", false, 10, {{0, 0, 7, 10}, {1, 10, 0, 20}, {2, 20, 0, 20}, {3, 30, 0, 40}}},
        {"update tail", false, 40, {{0, 0, 0, 10}, {1, 10, 0, 20}, {2, 20, 0, 20}, {3, 30, 7, 40}}},
        {"update first of a duplicate key",
         false,
         20,
         {{0, 0, 0, 10}, {1, 10, 7, 20}, {2, 20, 0, 20}, {3, 30, 0, 40}}},
        {"update no match", false, 99, base},
        {"delete head", true, 10, {{1, 10, 0, 20}, {2, 20, 0, 20}, {3, 30, 0, 40}}},
        {"delete tail", true, 40, {{0, 0, 0, 10}, {1, 10, 0, 20}, {2, 20, 0, 20}}},
        {"delete first of a duplicate key", true, 20, {{0, 0, 0, 10}, {2, 20, 0, 20}, {3, 30, 0, 40}}},
        {"delete no match", true, 99, base},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        record_dnode *head = make(base);
        int r =
            c.del ? del_record_from_list_for_index(&head, c.key) : update_record_for_index(&head, c.key, 7);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(items(head), c.want);
        destory_record_list(head);
    }
    record_dnode *empty = nullptr;
    EXPECT_EQ(update_record_for_index(&empty, 10, 1), -1);
    EXPECT_EQ(del_record_from_list_for_index(&empty, 10), -1);
    // Deleting the only record leaves an empty list.
    record_dnode *one = make({{0, 0, 0, 5}});
    EXPECT_EQ(del_record_from_list_for_index(&one, 5), 0);
    EXPECT_EQ(one, nullptr);
    display_record_dnode(nullptr);
}

TEST(RecordList, ImageLayoutAndRoundTrip) {
    const record_dnode cases[] = {
        {0, 0, 0, 0, nullptr},
        {7, 1, 2, 3, nullptr},
        {-1, INT64_MIN, -5, INT64_MAX, nullptr},
        {INT32_MAX, 0x0102030405060708LL, 0x1112131415161718LL, 0x2122232425262728LL, nullptr},
    };
    for (const record_dnode &rec : cases) {
        unsigned char img[QV_RECORD_IMAGE_SIZE];
        std::memset(img, 0xee, sizeof img);
        record_to_image(&rec, img);
        int32_t idx;
        int64_t start, cur, end;
        std::memcpy(&idx, img, 4);
        std::memcpy(&start, img + 8, 8);
        std::memcpy(&cur, img + 16, 8);
        std::memcpy(&end, img + 24, 8);
        EXPECT_EQ(std::make_tuple(idx, start, cur, end),
                  std::make_tuple(rec.index, rec.start, rec.cur, rec.end));
        for (int i : {4, 5, 6, 7}) EXPECT_EQ(img[i], 0) << i;
        for (int i = 32; i < 40; ++i) EXPECT_EQ(img[i], 0) << i;
        // Any padding or link word on disk is accepted.
        std::memset(img + 4, 0xab, 4);
        std::memset(img + 32, 0xcd, 8);
        record_dnode back{};
        back.next = const_cast<record_dnode *>(&rec);
        record_from_image(img, &back);
        EXPECT_EQ(items(&rec).front(), std::make_tuple(back.index, back.start, back.cur, back.end));
        EXPECT_EQ(back.next, &rec);
    }
}

TEST(RecordList, FileWriteReadReversesAndKeepsExistingRecordsBehind) {
    TempDir t;
    const std::string path = t.file("a.cfg");
    record_dnode *abc = make({{0, 0, 5, 10}, {1, 10, 15, 20}, {2, 20, 25, 30}});
    ASSERT_EQ(write_list_to_file(path.c_str(), abc), 0);
    EXPECT_EQ(slurp(path).size(), 120u);
    EXPECT_EQ(std::filesystem::directory_iterator(t.dir)->path().filename(), "a.cfg");  // no temp left

    record_dnode *got = make({{9, 90, 0, 99}});
    EXPECT_EQ(read_list_from_file(path.c_str(), &got), 3);
    EXPECT_EQ(items(got),
              (std::vector<Rec>{{2, 20, 25, 30}, {1, 10, 15, 20}, {0, 0, 5, 10}, {9, 90, 0, 99}}));
    destory_record_list(got);
    destory_record_list(abc);

    // An empty list gives an empty file, replacing the old content.
    EXPECT_EQ(write_list_to_file(path.c_str(), nullptr), 0);
    EXPECT_EQ(slurp(path).size(), 0u);
    record_dnode *none = nullptr;
    EXPECT_EQ(read_list_from_file(path.c_str(), &none), 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(read_list_from_file(t.file("missing").c_str(), &none), -1);
    EXPECT_EQ(write_list_to_file(t.file("no/such/dir").c_str(), nullptr), -1);
}

TEST(RecordList, TruncatedFileFromAKilledWriterReadsWholeRecordsOnly) {
    TempDir t;
    const std::string path = t.file("b.cfg");
    record_dnode *two = make({{0, 0, 4096, 8192}, {1, 8192, 0, 9000}});
    ASSERT_EQ(write_list_to_file(path.c_str(), two), 0);
    const std::string full = slurp(path);
    for (size_t len : {size_t{0}, size_t{1}, size_t{39}, size_t{40}, size_t{41}, size_t{79}}) {
        SCOPED_TRACE(len);
        put(path, full.substr(0, len));
        record_dnode *got = nullptr;
        int n = read_list_from_file(path.c_str(), &got);
        EXPECT_EQ(n, static_cast<int>(len / 40));
        if (n == 1) {
            EXPECT_EQ(items(got), (std::vector<Rec>{{0, 0, 4096, 8192}}));
        }
        destory_record_list(got);
    }
    destory_record_list(two);
}

TEST(RecordList, StreamRewriteShorterLeavesExactlyTheNewList) {
    TempDir t;
    const std::string path = t.file("c.cfg");
    FILE *fp = open_resume_stream(path.c_str());
    ASSERT_NE(fp, nullptr);
    record_dnode *three = make({{0, 0, 1, 10}, {1, 10, 11, 20}, {2, 20, 21, 30}});
    ASSERT_EQ(write_list_to_stream(fp, three), 0);
    EXPECT_EQ(slurp(path).size(), 120u);
    record_dnode *got = nullptr;
    EXPECT_EQ(read_list_from_file(path.c_str(), &got), 3);
    EXPECT_EQ(items(got), (std::vector<Rec>{{2, 20, 21, 30}, {1, 10, 11, 20}, {0, 0, 1, 10}}));
    destory_record_list(got);

    // A checkpoint: update by end key, then a shorter list over the same stream.
    ASSERT_EQ(update_record_for_index(&three, 10, 9), 0);
    ASSERT_EQ(del_record_from_list_for_index(&three, 30), 0);
    ASSERT_EQ(write_list_to_stream(fp, three), 0);
    EXPECT_EQ(slurp(path).size(), 80u);
    got = nullptr;
    EXPECT_EQ(read_list_from_file(path.c_str(), &got), 2);
    EXPECT_EQ(items(got), (std::vector<Rec>{{1, 10, 11, 20}, {0, 0, 9, 10}}));
    destory_record_list(got);

    // An empty list leaves the bytes untouched.
    const std::string before = slurp(path);
    EXPECT_EQ(write_list_to_stream(fp, nullptr), 0);
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(write_list_to_stream(nullptr, three), -1);
    destory_record_list(three);
    std::fclose(fp);
}

TEST(RecordList, OpeningTheResumeStreamKeepsTheSavedCheckpoint) {
    TempDir t;
    const std::string path = t.file("d.cfg");
    record_dnode *one = make({{0, 0, 5000, 10000}});
    ASSERT_EQ(write_list_to_file(path.c_str(), one), 0);
    // A new attempt opens the stream and fails before its first block.
    FILE *fp = open_resume_stream(path.c_str());
    ASSERT_NE(fp, nullptr);
    std::fclose(fp);
    record_dnode *got = nullptr;
    EXPECT_EQ(read_list_from_file(path.c_str(), &got), 1);
    EXPECT_EQ(items(got), items(one));
    destory_record_list(got);
    destory_record_list(one);

    struct stat st {};
    const std::string fresh = t.file("new.cfg");
    fp = open_resume_stream(fresh.c_str());
    ASSERT_NE(fp, nullptr);
    std::fclose(fp);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(open_resume_stream(t.file("no/dir").c_str()), nullptr);
}
}  // namespace
