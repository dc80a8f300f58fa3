// The ranged download exchange of command 106: the device's file data goes straight into the task's partial
// file at its own offsets, with progress, cancel and resume checkpoints; a JSON reply is read into resp.
#pragma once

#include "link/qvhttp.h"

// Sizes of the data loop.
constexpr int QVHTTP_DOWNLOAD_BLOCK = 16384;  // progress step: one callback per block of data
constexpr int QVHTTP_DOWNLOAD_READ = 262144;  // largest read from the connection (and write to the file)
// A checkpoint is saved after the first block and then when more than this many seconds have passed.
constexpr int QVHTTP_RESUME_SAVE_SECONDS = 15;

// Runs one download over a pooled connection. File data needs the request's task with: `fd` (the partial
// file, written with pwrite at absolute offsets), `cfg_stream` (resume file), `range_list`, `tmp_path`, and
// the range asked for: `cur_progress` = the requested start, `total_progress` = the expected end (0 with a
// start of 0: any whole-file length is taken). The device's range must be exactly that range; reads are cut
// at its end. Results:
//   0 the whole range written (bytes done = total = the end), or a JSON reply read into resp;
//   QV_ERR_DL_NO_TYPE a reply that is neither usable file data nor JSON (other Content-Type, unreadable or
//   mismatched
//         range, no length); QV_ERR_DL_CLOSED the device closed early; QV_ERR_RECV no reply or no data within
//         the time-out;
//   QV_ERR_PARTIAL_GONE the partial file vanished; QV_ERR_NET send/receive failure; QV_ERR_DISK_FULL the
//   local write failed (disk full); QV_ERR_CANCELLED cancelled before the end; the pool's or read_chunk's
//   code.
// Before returning after any data was written, the data is synced and a checkpoint of the position saved.
// The connection goes back to the pool only when the reply was consumed exactly.
int qvhttp_download(qvhttp_request *r);
