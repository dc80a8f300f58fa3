// POSIX helpers shared by the device SDK: path texts, whole-buffer descriptor I/O, zeroed allocation and
// file-tree operations. Messages go to standard output as plain lines.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Pointer just after the last "/" (the whole path when it has none; "" for a path ending in "/").
const char *path_last_component(const char *path);
char *path_last_component(char *path);

// New text (free() it): dir, "/" unless dir is non-empty and ends in "/", then name without its leading "/".
// A null dir counts as empty. Null when allocation fails.
char *path_join(const char *dir, const char *name);

// c when the text is non-empty and its last character is c, else 0.
int ends_with_char(const char *text, int c);

// New text (free() it) with the part of the path before its last "/"; a copy of the path when it has none.
// Null when allocation fails.
char *path_parent(const char *path);

// malloc that prints "bb_msg_memory_exhausted" when a non-zero size fails.
void *alloc_or_warn(size_t size);
// Zero-filled alloc_or_warn; zalloc(0) gives a pointer that free() accepts.
void *zalloc(size_t size);

// Reads until count bytes, end of stream or an error other than EINTR/EAGAIN; the count read, never negative.
ssize_t full_read(int fd, void *buf, size_t count);
// Writes until count bytes or an error other than EINTR/EAGAIN; the count written; -1 for a negative fd.
ssize_t full_write(int fd, const void *buf, size_t count);
// Reads exactly count bytes, adding each piece to *counter: count, 0 when the stream ends first, -1 on error.
ssize_t read_counted(int fd, void *buf, size_t count, size_t *counter);
// Copies src to its end into dst in 4096-byte pieces (a negative dst only counts): bytes copied or -1.
int64_t copy_fd(int src, int dst);

// 3 directory, 1 anything else, 0 missing, -1 other failure; fills st (follows links).
int path_kind(const char *path, struct stat *st);
// 1 directory, 0 missing, -1 not a directory or another failure.
int path_is_directory(const char *path);

// 1 copied, 0 failed. Regular files replace the target's content; directories are copied recursively.
int copy_tree(const char *src, const char *dst);
// copy_tree into place: into dst/<last component of src> when dst is a directory that src goes into.
int copy_path(const char *src, const char *dst);
// 1 removed, 0 failed. Symbolic links are removed themselves, never followed.
int remove_path_recursive(const char *path);
// copy_path then remove_path_recursive of the source: 1 moved, 0 failed.
int copy_then_remove(const char *src, const char *dst);
// rename, falling back to copy_then_remove across file systems: 0 moved, QV_ERR_FAILED failed
// (QV_ERR_ARG without a path).
int move_path(const char *src, const char *dst);

inline constexpr int QV_MKDIR_PARENTS = 4;
// Creates a directory (flags QV_MKDIR_PARENTS: with missing parents; an existing one is then fine) and, when
// mode is not -1 and the last component was created here, sets its mode exactly. 0, QV_ERR_FAILED,
// or QV_ERR_ARG without a path.
int make_directory(const char *path, long mode, int flags);
// make_directory with mode 0777 and parents.
int make_directory_parents(const char *path);
