// The remote path calls: make, remove, rename and delete by path, and a work directory per session token
// against which relative paths resolve; the set-up pair of the runtime's three registries (work directories,
// open-file table, token registry) and the library version.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/client_info.h"

struct ppc_version_info {
    char name[32];
    char version[16];
};

// Sets up the open-file table, the work-directory list and the token registry, in this order. 0; -1 as
// soon as one fails.
int ppc_initialise();
// Frees the open-file table, then the work-directory list (-1 as soon as one was not set up, the rest left
// as it is), then the token registry. 0; -1.
int ppc_uninitialise();
// "libppc" and "1.10.03" into the record (nothing else written). 0; -1 for a null record.
int ppc_get_version(ppc_version_info *info);

// Folder creation (102) and rename (103): the paths go to the device as they are, unresolved. The device
// command's result; -1 for a null record or path.
int ppc_mkdir(path_info *path, uint16_t mode, int64_t token);
int ppc_rename(path_info *from, path_info *to, int64_t token);
// Folder removal and file deletion (109) of the resolved path. The device command's result; -1 for a null
// record or path, or a path that does not resolve.
int ppc_rmdir(path_info *path, int64_t token);
int ppc_unlink(path_info *path, int64_t token);
// Makes the resolved path the token's work directory once the device reports it as a directory. 0; -1 when
// it does not resolve, its attributes were not read, it is not a directory, or the token has no work
// directory to replace.
int ppc_chdir(path_info *path, int64_t token);
// The token's work directory copied into buf (with its terminating zero): buf, or null for a null buffer,
// no work directory, or a buffer of `size` bytes too small for it (nothing written then).
char *ppc_getwd(char *buf, size_t size, int64_t token);
