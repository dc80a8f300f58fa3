// LAN discovery: a heartbeat thread that searches the gateway's broadcast address, asks new devices for
// their details and keeps known ones alive, and a listener thread on UDP 27213 that takes the answers into
// the LAN device list. Only one discovery runs per process (its port is fixed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/ppclib.h"

constexpr uint16_t QV_DIS_DEVICE_PORT = 27212;
constexpr uint16_t QV_DIS_CLIENT_PORT = 27213;
constexpr int QV_DIS_CMD_SEARCH = 1024;
constexpr int QV_DIS_CMD_DETAIL = 1025;
constexpr int QV_DIS_CMD_BEAT = 1027;
constexpr int32_t QV_DIS_TYPE = 3;  // the only device type taken
// One heartbeat round: ten 50 ms steps (scaled by the sleeper's time scale), woken by the stop.
constexpr uint32_t QV_DIS_ROUND_MS = 500;

// Binds the listener (before anything is sent), then starts the listener and heartbeat threads. 0, or -1
// with no thread left running and the listener socket closed. -1 as well while a discovery runs.
int qvadc_service_start(ppc_router_task *ctx);
// Sets the stop flag, wakes the heartbeat and joins both threads; nothing when discovery does not run.
void qvadc_service_stop(ppc_router_task *ctx);

// The request text of `cmd`, in the JSON library's default form. 0, or -1.
int dis_combine_client_req_json(int cmd, std::string *out);

// Handles one received datagram payload from `from_ip` as the listener does: a search answer lists the
// sender, a detail answer fills its details (calling the context's device-added callback the first time),
// a heartbeat answer refreshes it. -1 for a datagram dropped as malformed: not JSON, no header, a command
// without a handler (1026, none), a field of the wrong kind or over its width. A detail of another type or
// from an unlisted address gives 0 and changes nothing.
int dis_on_datagram(ppc_router_task *ctx, const char *text, size_t len, const char *from_ip);

// Test seam: makes the next start fail right after its listener thread is up.
void qvadc_fail_next_start_for_test();
