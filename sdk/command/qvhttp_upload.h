// The ranged upload exchange: one byte range [start, end) of a local file (or of a caller's stream) sent as
// the raw body of a prepared request over a pooled connection, then the device's reply read back.
#pragma once

#include <cstdint>

#include "link/qvhttp.h"

// Block size of the data phase: each read asks for at most this many bytes, never past the range's end.
inline constexpr int64_t QVHTTP_UPLOAD_BLOCK = 16384;

// The range comes from the task: cur_progress is its start, total_progress its end. The source is the task's
// stream_cb when set (read from the stream's first byte; the bytes before the start are dropped), else the
// task's fd (positioned at the start). cur_progress advances after every block and chunk_cb runs after each
// block (and once more when the range is complete). Exactly end - start bytes go out.
//
// 0 with the reply in r->resp; the pool's code when no connection is had; QV_ERR_LOCAL_FILE the source gave
// no data (or a stream gave more than asked) before the end of the range; QV_ERR_NET a send failed (the
// reply, if any, does not turn that into success) or the reply body was short; QV_ERR_RECV no reply in time;
// QV_ERR_CANCELLED cancelled; a failed chunked reply's code. Every failure closes the connection, since the
// device may still be waiting for body bytes that will never come.
int qvhttp_upload(qvhttp_request *r);
