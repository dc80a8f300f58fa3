// The upload post: the command's JSON text travels plain in the "Location" header and the range of the
// task's source is the raw body.
#pragma once

#include <cstdint>

struct client_file_task;

// Headers in order: "Content-Type" "application/octet-stream", "Content-Length" (end - start), "Range"
// ("start-end", no unit), "Location" (the request text), "Timeout". The range is the task's cur_progress
// and total_progress. 0 with the reply body (a new NUL-terminated text, deciphered when the reply says
// "Encrypt: aes") in *reply, or none when the reply had no body; QV_ERR_NOT_BUILT request not built; the
// exchange's code (qvhttp_upload); the cipher's code.
int qvNetUpload(const char *url, const char *request, int32_t timeout_ms, char **reply,
                client_file_task *task);
