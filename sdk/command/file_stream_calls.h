// Reading a device file through the command port: attributes (105), then a reply body left open on its
// own connection and read piece by piece. And the instant upload by check value (147).
#pragma once

#include <cstdint>

#include "codec/client_info.h"
#include "codec/file_parse_attr.h"

struct qvhttp_request;

// Attributes of the file (105, "attrFlag" 1) into the caller's record. The current-device address as it
// is (no local fallback). 0, or the processor's code.
int QV_FileStat(path_info *path, file_stat *st, int64_t token);
// Opens the file for reading from `offset` (106; modes "r" and "rb" only): the stream handle, or null for
// another mode (no exchange) or a failed open.
qvhttp_request *QV_FileOpen(path_info *path, int64_t offset, const char *mode, int64_t token);
// One read of up to size bytes of the body: the count, 0 at its end, -1 on a socket error.
int QV_FileRead(qvhttp_request *stream, char *buf, int size);
// One write on the stream's connection: the count, or -1.
int QV_FileWrite(qvhttp_request *stream, const char *data, int len);
// Closes the stream's connection and frees the handle.
void QV_FileClose(qvhttp_request *stream);

// Instant upload (147): asks the device to place the file of this check value at the target. On 0 the
// reply's "status" goes to *status (1: placed, no data needs sending; otherwise upload normally).
int QV_FileRelaxUpload(int64_t file_length, uint32_t modify_time, const char *authorization,
                       const char *auth_value, path_info *target, int32_t *status, int64_t token);
