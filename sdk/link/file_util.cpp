#include "link/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_errors.h"

namespace {
char *dup_text(const char *s, size_t n) {
    auto *out = static_cast<char *>(alloc_or_warn(n + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, s, n);
    out[n] = '\0';
    return out;
}

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The path without trailing "/" characters; a lone "/" stays.
std::string strip_trailing_slashes(const char *path) {
    std::string s(path);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string join(const std::string &dir, const char *name) {
    char *j = path_join(dir.c_str(), name);
    if (j == nullptr) return {};
    std::string s(j);
    std::free(j);
    return s;
}

// Sets the exact mode of a directory this process has just created, without touching the process umask and
// without following a link put in its place.
int set_directory_mode(const char *path, mode_t mode) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fchmod(fd, mode);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

// One entry of a tree removal, relative to an open parent directory (AT_FDCWD at the top). Links are never
// followed: a link is unlinked, and subdirectories are opened with O_NOFOLLOW.
int remove_at(int parent_fd, const char *name, const std::string &shown) {
    struct stat st;
    if (fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent_fd, name, 0) == 0) return 1;
        std::printf("remove file %s failed errno=%d \n", shown.c_str(), errno);
        return 0;
    }
    int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return 0;
    }
    while (struct dirent *ent = readdir(dir)) {
        if (is_dot_or_dotdot(ent->d_name)) continue;
        std::string child = join(shown, ent->d_name);
        if (remove_at(dirfd(dir), ent->d_name, child) == 0) {
            std::printf("remove file %s failed\n", child.c_str());
            closedir(dir);
            return 0;
        }
    }
    closedir(dir);
    return unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 ? 1 : 0;
}

int mkdir_error(const char *what, const char *path) {
    std::printf("can't %s directory '%s',errno = %d\n", what, path, errno);
    return QV_ERR_FAILED;
}
}  // namespace

const char *path_last_component(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

char *path_last_component(char *path) {
    char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

char *path_join(const char *dir, const char *name) {
    if (dir == nullptr) dir = "";
    if (name == nullptr) name = "";
    while (*name == '/') ++name;
    const char *sep = ends_with_char(dir, '/') ? "" : "/";
    size_t n = std::strlen(dir) + std::strlen(sep) + std::strlen(name);
    auto *out = static_cast<char *>(alloc_or_warn(n + 1));
    if (out == nullptr) return nullptr;
    std::snprintf(out, n + 1, "%s%s%s", dir, sep, name);
    return out;
}

int ends_with_char(const char *text, int c) {
    if (text == nullptr || *text == '\0') return 0;
    unsigned char last = static_cast<unsigned char>(text[std::strlen(text) - 1]);
    return last == static_cast<unsigned char>(c) ? last : 0;
}

char *path_parent(const char *path) {
    const char *slash = std::strrchr(path, '/');
    char *out = dup_text(path, slash != nullptr ? static_cast<size_t>(slash - path) : std::strlen(path));
    if (out == nullptr) std::printf("malloc NULL\n");
    return out;
}

void *alloc_or_warn(size_t size) {
    void *p = std::malloc(size);
    if (p == nullptr && size != 0) std::printf("bb_msg_memory_exhausted\n");
    return p;
}

void *zalloc(size_t size) {
    // calloc checks the size; a request for nothing still gives a pointer free() accepts.
    void *p = std::calloc(size != 0 ? size : 1, 1);
    if (p == nullptr) std::printf("bb_msg_memory_exhausted\n");
    return p;
}

ssize_t full_read(int fd, void *buf, size_t count) {
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
    }
    return static_cast<ssize_t>(done);
}

ssize_t full_write(int fd, const void *buf, size_t count) {
    if (fd < 0) return -1;
    const auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
    }
    return static_cast<ssize_t>(done);
}

ssize_t read_counted(int fd, void *buf, size_t count, size_t *counter) {
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 0;
        done += static_cast<size_t>(n);
        if (counter != nullptr) *counter += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(count);
}

int64_t copy_fd(int src, int dst) {
    if (src < 0) return -1;
    char buf[4096];
    int64_t total = 0;
    for (;;) {
        ssize_t n = read(src, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return total;
        if (dst >= 0) {
            size_t done = 0;
            while (done < static_cast<size_t>(n)) {
                ssize_t w = write(dst, buf + done, static_cast<size_t>(n) - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    std::printf("write error\n");
                    return -1;
                }
                done += static_cast<size_t>(w);
            }
        }
        total += n;
    }
}

int path_kind(const char *path, struct stat *st) {
    if (stat(path, st) != 0) return errno == ENOENT ? 0 : -1;
    return S_ISDIR(st->st_mode) ? 3 : 1;
}

int path_is_directory(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno == ENOENT ? 0 : -1;
    return S_ISDIR(st.st_mode) ? 1 : -1;
}

namespace {
// top: the directory the whole copy goes into, once it exists; a source entry that is this directory means
// the target lies inside the source, and copying on would never end.
int copy_tree_in(const char *src, const char *dst, const struct stat *top) {
    struct stat s, d;
    if (stat(src, &s) != 0) return 0;
    bool dst_exists = true;
    if (stat(dst, &d) != 0) {
        if (errno != ENOENT) return 0;
        dst_exists = false;
    }
    if (dst_exists && s.st_dev == d.st_dev && s.st_ino == d.st_ino) {
        std::printf("%s and %s are the same file\n", src, dst);
        return 0;
    }

    if (S_ISDIR(s.st_mode)) {
        if (top != nullptr && s.st_dev == top->st_dev && s.st_ino == top->st_ino) {
            std::printf("cannot copy %s into itself\n", src);
            return 0;
        }
        if (dst_exists && !S_ISDIR(d.st_mode)) {
            std::printf("target %s is not a directory\n", dst);
            return 0;
        }
        if (!dst_exists) {
            // The copy keeps the source's permission bits and is always usable by its owner; the mode is set
            // explicitly so the process umask is neither consulted nor changed.
            if (mkdir(dst, 0700) != 0) return 0;
            if (set_directory_mode(dst, (s.st_mode & 0777) | 0700) != 0) return 0;
        }
        struct stat here;
        if (top == nullptr) {
            if (stat(dst, &here) != 0) return 0;
            top = &here;
        }
        DIR *dir = opendir(src);
        if (dir == nullptr) return 0;
        while (struct dirent *ent = readdir(dir)) {
            if (is_dot_or_dotdot(ent->d_name)) continue;
            std::string from = join(src, ent->d_name);
            std::string to = join(dst, ent->d_name);
            if (copy_tree_in(from.c_str(), to.c_str(), top) == 0) {
                std::printf("copy %s to %s failed\n", from.c_str(), to.c_str());
                closedir(dir);
                return 0;
            }
        }
        closedir(dir);
        return 1;
    }
    if (!S_ISREG(s.st_mode)) return 1;  // devices, pipes and sockets are passed over

    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        std::printf("cannot open source file:%s\n", src);
        return 0;
    }
    // Truncate: an older, longer target must not keep its tail behind the copied bytes.
    int out = open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, s.st_mode & 0777);
    if (out < 0) {
        std::printf("cannot open dest file:%s\n", dst);
        close(in);
        return 0;
    }
    int ok = copy_fd(in, out) >= 0 ? 1 : 0;
    if (close(out) != 0) ok = 0;
    close(in);
    return ok;
}
}  // namespace

int copy_tree(const char *src, const char *dst) {
    if (src == nullptr || dst == nullptr) return 0;
    return copy_tree_in(src, dst, nullptr);
}

int copy_path(const char *src, const char *dst) {
    if (src == nullptr || dst == nullptr) return 0;
    struct stat s, d;
    int src_kind = path_kind(src, &s);
    if (src_kind <= 0) return 0;
    int dst_kind = path_kind(dst, &d);
    if (dst_kind < 0) return 0;

    if ((src_kind == 3 || dst_kind == 3) && (src_kind != 3 || dst_kind != 0)) {
        std::string from = strip_trailing_slashes(src);
        const char *last = from == "/" ? "/" : path_last_component(from.c_str());
        std::string to = join(dst, last);
        return copy_tree(from.c_str(), to.c_str()) != 0 ? 1 : 0;
    }
    return copy_tree(src, dst) != 0 ? 1 : 0;
}

int remove_path_recursive(const char *path) {
    if (path == nullptr) return 0;
    // Without trailing "/", a link to a directory is the link itself and not its target.
    std::string p = strip_trailing_slashes(path);
    return remove_at(AT_FDCWD, p.c_str(), p);
}

int copy_then_remove(const char *src, const char *dst) {
    if (copy_path(src, dst) == 0) {
        std::printf("cp error = %d\n", errno);
        return 0;
    }
    if (remove_path_recursive(src) == 0) {
        std::printf("remove file error\n");
        return 0;
    }
    return 1;
}

int move_path(const char *src, const char *dst) {
    if (src == nullptr || dst == nullptr) return QV_ERR_ARG;
    if (rename(src, dst) == 0) return 0;
    // Only a move between file systems is done by copying; any other refusal of rename stands.
    if (errno != EXDEV) return QV_ERR_FAILED;
    return copy_then_remove(src, dst) != 0 ? 0 : QV_ERR_FAILED;
}

int make_directory(const char *path, long mode, int flags) {
    if (path == nullptr) return QV_ERR_ARG;
    if (std::strcmp(path, ".") == 0) return 0;

    std::string full = strip_trailing_slashes(path);
    if ((flags & QV_MKDIR_PARENTS) != 0) {
        // Intermediate directories: 0777 under the umask, but always writable and searchable by the owner so
        // that the next level can be created.
        size_t pos = 0;
        while (pos < full.size() && full[pos] == '/') ++pos;
        for (;;) {
            size_t end = full.find('/', pos);
            if (end == std::string::npos) break;
            std::string prefix = full.substr(0, end);
            if (mkdir(prefix.c_str(), 0777) == 0) {
                struct stat st;
                if (stat(prefix.c_str(), &st) == 0 && (st.st_mode & 0300) != 0300 &&
                    set_directory_mode(prefix.c_str(), (st.st_mode & 07777) | 0300) != 0) {
                    return mkdir_error("set permissions of", prefix.c_str());
                }
            } else {
                int err = errno;
                struct stat st;
                if (!(err == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
                    errno = err;
                    return mkdir_error("create", prefix.c_str());
                }
            }
            pos = end;
            while (pos < full.size() && full[pos] == '/') ++pos;
        }
    }

    if (mkdir(full.c_str(), 0777) != 0) {
        int err = errno;
        struct stat st;
        if ((flags & QV_MKDIR_PARENTS) != 0 && err == EEXIST && stat(full.c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            return 0;  // already present: keeps its mode
        }
        errno = err;
        return mkdir_error("create", full.c_str());
    }
    if (mode != -1 && set_directory_mode(full.c_str(), static_cast<mode_t>(mode)) != 0) {
        return mkdir_error("set permissions of", full.c_str());
    }
    return 0;
}

int make_directory_parents(const char *path) {
    return make_directory(path, 0777, QV_MKDIR_PARENTS);
}
