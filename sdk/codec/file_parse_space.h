// The user-space reply (148) and the GPS listing (157): the table's parsers are declared in
// file_process.h; here are the streamed-reply parser of a chunked 157 reply and its after-chunk release.
#pragma once

struct client_file_task;

// Reads one chunk (a whole JSON envelope) of a chunked GPS listing into a fresh holder in the task's
// `file_list`, and the chunk's "seq" and "status" into the task's `id` and `status`. 0 lets the reply go
// on, QV_ERR_ARG ends it. A holder of a failed chunk stays in the task.
int parser_FileTaskGPS(const char *chunk, client_file_task *task);

// Frees the holder the last chunk left in the task's `file_list` (after it was delivered).
void destroy_FileTaskGPS(client_file_task *task);
