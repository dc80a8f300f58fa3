// The upload processor: sends the ranges of a local file or a caller's stream that an upload check (108 or
// 133) named as missing, each with its own upload request (107, 132, 146), and parses the replies.
#pragma once

#include "codec/client_info.h"

// Ranges: with `status` 1 every node of `range_list`, in the order of the check reply (an empty list sends
// the empty range 0-0 once, as a bare request that carries the tags); with any other status the whole file
// [0, file_length). Source: the task's stream_cb when set; else `file_fd` when above 0 (the caller's, left
// open); else `srcPath` opened read-only (and closed). The time-out is always QV_DEFAULT_TIMEOUT_MS. Without
// a task a private one is used.
//
// 0 when every range went out and every reply was good; QV_ERR_LOCAL_FILE the source cannot be opened or ran
// dry; QV_ERR_CANCELLED cancelled before a range was sent whole; the builder's, exchange's or reply's code.
// On every path the range list is freed and left empty, and `retstr` and `recv_buf` are freed.
int _qv_upload_prcs_task(client_info *info);
