// Records of the device settings and status replies: the sleep-time and time-zone request blocks and the
// time-zone list of command 340, plus the stand-alone reply-header reader.
#pragma once

#include <cstdint>

#include "codec/client_info.h"

// One zone of the list of command 340.
struct qv_zone_dnode {
    char zone_time[64];  // "zone_time", cut to 63 bytes
    char *cityList;      // owned heap copy of "city", or null
};

// The zone list: `count` zones, then a null slot.
struct qv_zone_list {
    qv_zone_dnode **dnode;
    int32_t count;
};

// Frees every node's city text, every node, the slot array and the holder. A null list is ignored.
void qv_zone_list_free(qv_zone_list *list);

// Request block of 334 and 335: the sleep time in minutes.
struct dev_sleep_time_req {
    int64_t time;
};

// Request block of 338, 339 and 340: the zone text (at most 16 characters), then the zone list that
// the parser of 340 attaches.
struct time_zone_req {
    char timeZone[17];
    qv_zone_list *zoneList;
};

// Parses `recv_buf` and reads only the header's "error" into `error` (0 when absent): 0, or QV_ERR_ARG when
// the text is no JSON or has no "header". Releases `r_json` in both cases.
int upload_parse_json(client_info *info);
