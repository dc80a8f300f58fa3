// The runtime's long device operations: the firmware update, the follow-up of an update that runs on the
// device, the device-status step and the log download. Each blocks its caller until the operation ends and
// runs as a tracked task of the service (its cancel and its stop reach it); callbacks run on the calling
// thread. -1 without the running service's context.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "runtime/ppclib.h"

// Follow-up callback: percent, total and 0.
using ppc_ota_listen_cb = void (*)(int process, int total, int reserved);

// Firmware update (163) of the device at `ip`; on 0 `*status` is the device's answer (0: none needed).
int qvota_update(uint32_t seq, file_task_cb cb, const char *ip, int32_t *status, ppc_router_task *ctx,
                 int64_t token);
int _qvota_update(uint32_t seq, file_task_cb cb, const char *ip, int32_t *status, ppc_router_task *ctx,
                  int64_t token);
// Follows the update running on the device at `ip` until it ends. Tracked as a firmware task of sequence 0.
int ota_listen(ppc_ota_listen_cb cb, const char *ip, ppc_router_task *ctx);
// Acts on the device status: 0 nothing, 1000 the update, 1001 the follow-up (reported through the task),
// anything else the device operation (173).
int ppc_router_DeviceExec(uint32_t seq, int32_t devStatus, const char *ip, int64_t token, file_task_cb cb,
                          ppc_router_task *ctx);
// The device log of `log_type` into `path` (168).
int ppc_log_file_download(uint32_t seq, const char *path, int32_t log_type, int64_t token, file_task_cb cb,
                          ppc_router_task *ctx);
