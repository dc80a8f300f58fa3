// Transfer and backup replies: download, firmware upload, upload and backup checks, relax upload,
// backup disk, backup uuid check and backup upload (the table parsers are declared in file_process.h).
#pragma once

#include "codec/client_info.h"

// Applies one firmware-download progress message held in `recv_buf`: `offset` ("process"), `totalSize`
// ("total") and, when present, the Base64-decoded "reserved" text as a new buffer in `reserved` (the
// caller frees it; a later message's text replaces, and frees, an earlier one's). 0, or -1 for a message that
// is not an envelope or lacks "data", "process" or "total". `r_json` is released and cleared on every path.
int download_fw_parse_json(client_info *info);
