// The firmware update and the follow-up of an update that already runs on the device.
//
// The update (163) runs over HTTP; only when that exchange fails on the transport before the device
// accepted anything does it run again over one framed socket. The device names, in its Base64 "reserved"
// text, the topics on which it will publish its verdict; every topic is subscribed as soon as it is known
// (while the reply still streams), one messaging context per topic. The call then waits in passes of 2 s
// (3 s above 70 %), bounded by the device's delay (at most one hour), ended early by the verdict, a cancel
// or a stop, and reports a progress figure that never goes down. Verdicts: 1 success (0), 0 failure
// (10286), none in time (20001).
//
// Waiting state belongs to each call and is found by topic under one lock, so a verdict ends only the
// update that listens on its topic, and two devices' updates never mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/client_file_task.h"
#include "codec/client_info.h"
#include "codec/file_parse_device.h"
#include "runtime/ppclib.h"

// Longest full topic (prefix included) the client subscribes to.
inline constexpr size_t QV_OTA_TOPIC_MAX = 127;
// Longest waiting budget a device may announce, in seconds; also the follow-up's one deadline.
inline constexpr int32_t QV_OTA_MAX_DELAY_S = 3600;
// Device status codes the device-status step acts on.
inline constexpr int32_t QV_DEV_STATUS_OTA_UPDATE = 1000;
inline constexpr int32_t QV_DEV_STATUS_OTA_RUNNING = 1001;

// One listening task of the reserved text. A topic the client refuses is left empty.
struct ota_reserved_task {
    ota_reserved_task *next;
    ota_reserved_task *prev;
    char task_type[64];
    char protocol[64];
    char domain[1024];
    int32_t port;
    char topic[1024];
};

// Builds `reserved_tasks` and `task_count` from `reserved` (JSON after Base64), then frees `reserved`.
// Records come from "task_array" whatever "task_count" says; a count of 0 builds none.
void _ota_reserved_process(client_info *info);
// Frees the records of `reserved_tasks` and leaves the list empty.
void ota_reserved_tasks_free(client_info *info);

// Full topics from device texts: 0 with the topic in `out`, or QV_ERR_ARG (logged) for a text that may not
// become a topic: empty, holding '+', '#' or a control byte, too long for QV_OTA_TOPIC_MAX (or `size`); a
// device id must also be one segment (no '/'). `len` is the text's length as received (a JSON text may
// hold a NUL before its end).
int ota_verdict_topic(const char *task_topic, size_t len, char *out, size_t size);
int ota_device_topic(const char *device_id, size_t len, char *out, size_t size);

// The update verdict of a "services" text ({"qvmsg_update_status": {"result": n}}): 0 with `*result`, or
// -1 for a text that is not JSON or lacks the object or "result".
int ota_parse_verdict(const char *services, int *result);
// A follow-up message ("qvmsg_update_progress", else "qvmsg_update_status"): 0 with `*result` (-1 when
// absent) and `*process` (-1 when absent), or -1 for a text that is not JSON or holds neither object.
int ota_parse_progress(const char *services, int *result, int *process);

// The firmware update of the device at `ip` (see the header comment). `task` carries the progress callback
// (done = percent, total) and the cancel flag; it is required. On 0 `*status` holds the device's answer
// (0: no update needed). 20008 after a cancel or a stop.
int QV_OtaUpdate(uint32_t seq, const char *ip, int32_t *status, client_file_task *task, int64_t token,
                 ppc_router_task *service);
// The two transports on a filled record; `accepted` (HTTP only) tells whether any of the reply arrived.
int qv_update_prcs_task(client_info *info, ppc_router_task *service, bool *accepted);
int _qv_update_prcs_task(client_info *info, ppc_router_task *service);

// Follows an update already running on the device at `ip` until its verdict: the status query (165), the
// device's progress topic, passes as in the update with a budget of 100 s (a stay at 65 % renews it, within
// one hour in all). `report` gets (percent, total) every pass and 100 once after a success. 0 (also when no
// update runs), 10286, 20001, 20008 after a cancel of `task`, QV_ERR_ARG for a device id that cannot be a
// topic, or the status query's error.
int qv_ota_follow(const char *ip, ppc_router_task *service, client_file_task *task,
                  const std::function<void(int32_t, int32_t)> &report);
