// Device files as stdio-like handles: attributes, open for reading, read, write, reposition and close. An
// open file keeps the device stream and what it needs to open the file again at another offset. One thread
// uses a handle at a time.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "codec/client_info.h"

struct qvhttp_request;

struct ppc_vfile {
    qvhttp_request *stream;  // owned; null after a failed reposition
    int32_t bucket_id;
    char *path;  // owned copy
    int32_t thumbnail_type;
    char mode[8];
};

// The file's attributes (command 105) into `out`: device, inode, mode, links, owner, group, special device,
// size, the three times in seconds, block size and blocks; no other field is written. 0; -1 when they were
// not read (out untouched).
int ppc_stat_v(path_info *path, struct stat *out, int64_t token);
// Opens the file for reading from its start: a new handle, or null (mode other than "r"/"rb", no stream).
ppc_vfile *ppc_fopen_v(path_info *path, const char *mode, int64_t token);
// One read (or write) of size * count bytes on the stream (at most INT_MAX): the count of bytes as the stream
// gives it (fewer than asked is possible), 0 at the end, negative on error; -1 for a null handle or one
// without a stream.
int ppc_fread_v(void *buf, size_t size, size_t count, ppc_vfile *fp);
int ppc_fwrite_v(const void *buf, size_t size, size_t count, ppc_vfile *fp);
// Repositions to `offset` from the start of the file by opening the file anew there. Only SEEK_SET is
// taken: another origin, or a negative offset, gives -1 with the stream left as it was. The offset, or -1
// when the file did not open again (the handle then has no stream; close it with ppc_fclose_v).
int64_t ppc_fseek_v(ppc_vfile *fp, int64_t offset, int origin, int64_t token);
// Closes the stream and frees the handle. 0; -1 for a null handle.
int ppc_fclose_v(ppc_vfile *fp);
