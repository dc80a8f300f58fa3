#include "link/file_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {
std::string text_of(const char *p) {
    std::string s = p != nullptr ? p : "(null)";
    return s;
}

std::string owned(char *p) {
    std::string s = text_of(p);
    std::free(p);
    return s;
}

void write_file(const fs::path &p, const std::string &content) {
    std::ofstream(p, std::ios::binary) << content;
}

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

mode_t mode_of(const fs::path &p) {
    struct stat st;
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

mode_t current_umask() {
    mode_t m = umask(0);
    umask(m);
    return m;
}

// A fresh folder per test, removed afterwards; the umask is restored.
class FileUtil : public testing::Test {
  protected:
    void SetUp() override {
        saved_umask_ = current_umask();
        std::string tmpl = (fs::temp_directory_path() / "qvfu-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
    }
    void TearDown() override {
        umask(saved_umask_);
        std::error_code ec;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
    fs::path root_;
    mode_t saved_umask_ = 022;
};

TEST(PathText, LastComponent) {
    struct Case {
        const char *path, *last;
    } cases[] = {{"name", "name"}, {"/a/b", "b"}, {"/a/b/", ""}, {"/", ""}, {"", ""}, {"a/b.txt", "b.txt"}};
    for (const auto &c : cases) EXPECT_STREQ(path_last_component(c.path), c.last) << c.path;
    char buf[] = "/x/y";
    EXPECT_EQ(path_last_component(buf), buf + 3);
}

TEST(PathText, Join) {
    struct Case {
        const char *dir, *name, *joined;
    } cases[] = {
        {"/data", "a.txt", "/data/a.txt"},
        {"/data/", "//a.txt", "/data/a.txt"},
        {nullptr, "a", "/a"},
        {"", "a", "/a"},
        {"/", "x", "/x"},
        {"d", "", "d/"},
        {"rel", "/", "rel/"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(owned(path_join(c.dir, c.name)), c.joined) << text_of(c.dir) << "+" << c.name;
}

TEST(PathText, EndsWithCharAndParent) {
    EXPECT_EQ(ends_with_char("abc", 'c'), 'c');
    EXPECT_EQ(ends_with_char("abc", 'b'), 0);
    EXPECT_EQ(ends_with_char("", 'c'), 0);
    EXPECT_EQ(ends_with_char(nullptr, 'c'), 0);
    struct Case {
        const char *path, *parent;
    } cases[] = {{"/a/b", "/a"}, {"/a", ""}, {"a/b/", "a/b"}, {"name", "name"}};
    for (const auto &c : cases) {
        char *p = path_parent(c.path);
        EXPECT_NE(p, c.path);  // always a copy the caller frees
        EXPECT_EQ(owned(p), c.parent) << c.path;
    }
}

TEST(Memory, ZallocZeroesAndIsQuietForNothing) {
    testing::internal::CaptureStdout();
    void *none = zalloc(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::free(none);
    auto *p = static_cast<unsigned char *>(zalloc(4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
    std::free(p);
}

TEST(Descriptors, FullReadStopsAtEndOfStream) {
    struct Case {
        size_t available, want, got;
    } cases[] = {{16, 16, 16}, {10, 16, 10}, {0, 16, 0}, {32, 16, 16}};
    for (const auto &c : cases) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        std::string data(c.available, 'd');
        ASSERT_EQ(write(p[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(p[1]);
        char buf[64];
        EXPECT_EQ(full_read(p[0], buf, c.want), static_cast<ssize_t>(c.got)) << c.available;
        close(p[0]);
    }
    char b;
    EXPECT_EQ(full_read(-1, &b, 1), 0);  // an error is never a negative count
}

TEST(Descriptors, FullReadAndWriteRetryOnANonBlockingSocket) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    std::thread writer([fd = sv[1]] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_EQ(write(fd, "abcd", 4), 4);
        }
    });
    char buf[16];
    EXPECT_EQ(full_read(sv[0], buf, 16), 16);
    writer.join();
    EXPECT_EQ(std::string(buf, 16), "abcdabcdabcdabcd");

    EXPECT_EQ(full_write(-1, "x", 1), -1);
    EXPECT_EQ(full_write(sv[0], "x", 0), 0);
    const std::string big(1 << 20, 'w');  // more than the socket buffer: the writer meets EAGAIN
    std::thread reader([fd = sv[1], n = big.size()] {
        std::string sink(n, '\0');
        EXPECT_EQ(full_read(fd, sink.data(), n), static_cast<ssize_t>(n));
    });
    EXPECT_EQ(full_write(sv[0], big.data(), big.size()), static_cast<ssize_t>(big.size()));
    reader.join();
    close(sv[0]);
    close(sv[1]);
}

TEST(Descriptors, ReadCountedAndCopyFd) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "0123456789", 10), 10);
    close(p[1]);
    char buf[16];
    size_t counter = 100;
    EXPECT_EQ(read_counted(p[0], buf, 4, &counter), 4);
    EXPECT_EQ(counter, 104u);
    EXPECT_EQ(read_counted(p[0], buf, 16, &counter), 0);  // the stream ends first
    close(p[0]);

    ASSERT_EQ(pipe(p), 0);
    const std::string data(10000, 'c');
    std::thread feeder([&] {
        full_write(p[1], data.data(), data.size());
        close(p[1]);
    });
    int out = open("/dev/null", O_WRONLY);
    EXPECT_EQ(copy_fd(p[0], out), 10000);
    feeder.join();
    close(out);
    close(p[0]);
    EXPECT_EQ(copy_fd(-1, 1), -1);
}

TEST_F(FileUtil, PathKinds) {
    fs::create_directory(root_ / "d");
    write_file(root_ / "f", "x");
    struct Case {
        fs::path path;
        int kind, is_dir;
    } cases[] = {
        {root_ / "d", 3, 1}, {root_ / "f", 1, -1}, {root_ / "missing", 0, 0}, {root_ / "f" / "x", -1, -1}};
    for (const auto &c : cases) {
        struct stat st;
        EXPECT_EQ(path_kind(c.path.c_str(), &st), c.kind) << c.path;
        EXPECT_EQ(path_is_directory(c.path.c_str()), c.is_dir) << c.path;
    }
}

TEST_F(FileUtil, CopyPathPlacesTheCopy) {
    fs::create_directories(root_ / "src" / "sub");
    write_file(root_ / "src" / "top.txt", "top");
    write_file(root_ / "src" / "sub" / "deep.txt", "deep");
    write_file(root_ / "file.txt", "file");
    fs::create_directory(root_ / "into");

    struct Case {
        const char *name;
        std::string src, dst;
        fs::path expect;  // a file whose content proves the copy
        std::string content;
    } cases[] = {
        {"file into a directory", (root_ / "file.txt").string(), (root_ / "into").string(),
         root_ / "into" / "file.txt", "file"},
        {"file to a new name", (root_ / "file.txt").string(), (root_ / "renamed.txt").string(),
         root_ / "renamed.txt", "file"},
        {"directory to a missing target", (root_ / "src").string(), (root_ / "copy").string(),
         root_ / "copy" / "sub" / "deep.txt", "deep"},
        {"directory into a directory", (root_ / "src").string(), (root_ / "into").string(),
         root_ / "into" / "src" / "top.txt", "top"},
        {"source with trailing slashes", (root_ / "src").string() + "//", (root_ / "into2").string(),
         root_ / "into2" / "sub" / "deep.txt", "deep"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(copy_path(c.src.c_str(), c.dst.c_str()), 1);
        EXPECT_EQ(read_file(c.expect), c.content);
    }
    EXPECT_EQ(copy_path((root_ / "missing").c_str(), (root_ / "x").c_str()), 0);
}

TEST_F(FileUtil, CopyTreeRefusesSameFileAndReplacesOldContent) {
    write_file(root_ / "a", "short");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_tree((root_ / "a").c_str(), (root_ / "a").c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("are the same file"), std::string::npos);
    EXPECT_EQ(read_file(root_ / "a"), "short");

    // A longer old target is cut to the source's length.
    write_file(root_ / "old", "a much longer previous content");
    EXPECT_EQ(copy_tree((root_ / "a").c_str(), (root_ / "old").c_str()), 1);
    EXPECT_EQ(read_file(root_ / "old"), "short");

    // A directory into a place inside itself is refused instead of copying without end.
    fs::create_directories(root_ / "self" / "sub");
    write_file(root_ / "self" / "sub" / "f", "f");
    EXPECT_EQ(copy_tree((root_ / "self").c_str(), (root_ / "self" / "sub" / "copy").c_str()), 0);
    EXPECT_EQ(copy_path((root_ / "self").c_str(), (root_ / "self" / "sub").c_str()), 0);
    EXPECT_FALSE(fs::exists(root_ / "self" / "sub" / "copy" / "sub" / "copy"));

    // A directory onto a file is refused.
    fs::create_directory(root_ / "dir");
    EXPECT_EQ(copy_tree((root_ / "dir").c_str(), (root_ / "old").c_str()), 0);
}

TEST_F(FileUtil, CopiedDirectoriesKeepTheirModeWithoutTouchingTheUmask) {
    umask(0077);
    struct Case {
        mode_t src, copy;
    } cases[] = {{0755, 0755}, {0750, 0750}, {0555, 0755}, {0700, 0700}};
    int i = 0;
    for (const auto &c : cases) {
        fs::path src = root_ / ("s" + std::to_string(i));
        fs::path dst = root_ / ("t" + std::to_string(i++));
        fs::create_directory(src);
        ASSERT_EQ(chmod(src.c_str(), c.src), 0);
        EXPECT_EQ(copy_tree(src.c_str(), dst.c_str()), 1);
        EXPECT_EQ(mode_of(dst), c.copy) << std::oct << c.src;
        EXPECT_EQ(current_umask(), 0077u);
    }
}

TEST_F(FileUtil, RemovalNeverFollowsLinks) {
    fs::create_directories(root_ / "outside" / "keep");
    write_file(root_ / "outside" / "keep" / "precious.txt", "keep me");
    write_file(root_ / "outside" / "file.txt", "keep me too");
    fs::create_directories(root_ / "tree" / "a" / "b");
    write_file(root_ / "tree" / "a" / "b" / "x", "x");
    write_file(root_ / "tree" / "y", "y");
    fs::create_directory_symlink(root_ / "outside" / "keep", root_ / "tree" / "a" / "dirlink");
    fs::create_symlink(root_ / "outside" / "file.txt", root_ / "tree" / "filelink");
    fs::create_symlink(root_ / "nowhere", root_ / "tree" / "dangling");

    EXPECT_EQ(remove_path_recursive((root_ / "tree").c_str()), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "tree")));
    EXPECT_EQ(read_file(root_ / "outside" / "keep" / "precious.txt"), "keep me");
    EXPECT_EQ(read_file(root_ / "outside" / "file.txt"), "keep me too");

    // A link given as the path itself, with or without a trailing "/": the link goes, its target stays.
    for (const char *suffix : {"", "/"}) {
        fs::path link = root_ / "toplink";
        fs::create_directory_symlink(root_ / "outside", link);
        std::string arg = link.string() + suffix;
        EXPECT_EQ(remove_path_recursive(arg.c_str()), 1) << arg;
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_TRUE(fs::exists(root_ / "outside" / "keep" / "precious.txt"));
    }
    EXPECT_EQ(remove_path_recursive((root_ / "missing").c_str()), 0);
}

TEST_F(FileUtil, MoveRenamesAndDoesNotCopyOnOtherFailures) {
    write_file(root_ / "a.txt", "payload");
    EXPECT_EQ(move_path((root_ / "a.txt").c_str(), (root_ / "b.txt").c_str()), 0);
    EXPECT_EQ(read_file(root_ / "b.txt"), "payload");
    EXPECT_FALSE(fs::exists(root_ / "a.txt"));

    // rename refuses a file onto a non-empty directory; the move must fail and leave both alone.
    fs::create_directories(root_ / "full");
    write_file(root_ / "full" / "inside", "i");
    EXPECT_EQ(move_path((root_ / "b.txt").c_str(), (root_ / "full").c_str()), -1);
    EXPECT_EQ(read_file(root_ / "b.txt"), "payload");
    EXPECT_FALSE(fs::exists(root_ / "full" / "b.txt"));

    // A directory into its own subdirectory: refused, nothing copied.
    EXPECT_EQ(move_path((root_ / "full").c_str(), (root_ / "full" / "deeper").c_str()), -1);
    EXPECT_TRUE(fs::exists(root_ / "full" / "inside"));
    EXPECT_FALSE(fs::exists(root_ / "full" / "deeper"));

    EXPECT_EQ(move_path(nullptr, "x"), -1);
    EXPECT_EQ(move_path("x", nullptr), -1);
}

TEST_F(FileUtil, MoveAcrossFileSystemsCopiesThenRemoves) {
    const fs::path other_fs = "/dev/shm";
    struct stat a, b;
    if (stat(other_fs.c_str(), &b) != 0 || stat(root_.c_str(), &a) != 0 || a.st_dev == b.st_dev ||
        access(other_fs.c_str(), W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system";
    }
    std::string tmpl = (other_fs / "qvfu-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    fs::path there = tmpl;

    write_file(root_ / "f.bin", std::string(10000, 'f'));
    fs::create_directories(root_ / "d" / "sub");
    write_file(root_ / "d" / "sub" / "n.txt", "nested");

    EXPECT_EQ(move_path((root_ / "f.bin").c_str(), (there / "f.bin").c_str()), 0);
    EXPECT_EQ(read_file(there / "f.bin"), std::string(10000, 'f'));
    EXPECT_FALSE(fs::exists(root_ / "f.bin"));

    EXPECT_EQ(move_path((root_ / "d").c_str(), (there / "d").c_str()), 0);
    EXPECT_EQ(read_file(there / "d" / "sub" / "n.txt"), "nested");
    EXPECT_FALSE(fs::exists(root_ / "d"));
    fs::remove_all(there);
}

TEST_F(FileUtil, MakeDirectorySetsModesExplicitly) {
    umask(0277);  // without owner write: intermediate levels must still be usable
    fs::create_directory(root_ / "a");
    std::string path = (root_ / "a" / "b" / "c").string();
    EXPECT_EQ(make_directory_parents(path.c_str()), 0);
    EXPECT_EQ(mode_of(root_ / "a" / "b"), 0700u);
    EXPECT_EQ(mode_of(root_ / "a" / "b" / "c"), 0777u);
    EXPECT_EQ(current_umask(), 0277u);

    umask(0022);
    ASSERT_EQ(chmod(path.c_str(), 0711), 0);
    EXPECT_EQ(make_directory_parents(path.c_str()), 0);  // present: fine, mode kept
    EXPECT_EQ(mode_of(path), 0711u);

    std::string single = (root_ / "single").string();
    EXPECT_EQ(make_directory(single.c_str(), 0750, 0), 0);
    EXPECT_EQ(mode_of(single), 0750u);
    EXPECT_EQ(make_directory(single.c_str(), -1, 0), -1);  // exists, without the parents flag
    std::string orphan = (root_ / "no" / "parent").string();
    EXPECT_EQ(make_directory(orphan.c_str(), -1, 0), -1);
    EXPECT_EQ(make_directory(".", -1, 0), 0);
    std::string through_file = (root_ / "a" / "b" / "c" / "f").string();
    write_file(through_file, "x");
    std::string below_file = through_file + "/z";
    EXPECT_EQ(make_directory_parents(below_file.c_str()), -1);
}
}  // namespace
