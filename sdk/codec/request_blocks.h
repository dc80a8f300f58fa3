// Per-command request blocks that `req` of client_info points to (allocated zeroed and filled by the command
// API, read by the request builders, result slots filled by the reply parsers).
#pragma once

#include <cstdint>

// The request blocks whose result slots the reply parsers fill are defined beside those parsers.
#include "codec/file_parse_hide.h"
#include "codec/file_parse_list.h"
#include "codec/file_parse_settings.h"
#include "codec/file_parse_share.h"

// 169: the record to hide (fields stored in this order; the request sends userId, bucketId, logId).
struct recent_record_hide_req {
    int32_t logId;
    int32_t userId;
    int32_t bucketId;
};
