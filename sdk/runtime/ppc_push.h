// The reverse push: per logged-in device one thread that holds a long-lived command-174 exchange with the
// device. Each chunk may bring the device's USB backup status and the signs of its user and recent
// databases; the thread keeps them per device, reports USB statuses to the USB status callback (on that
// thread), and tells the command cache, through its provider, whether the session's channel holds and
// which signs it pushed. The service start creates the push list and the stop destroys it; the device login
// adds its device's entry, the logout removes it.
#pragma once

#include <cstdint>

#include "base/client_file_task.h"
#include "runtime/ppclib.h"

struct qv_cache_peer;

// The session's wait for the reply and for every chunk (the 174 request's "Timeout").
constexpr int32_t QV_PUSH_TIMEOUT_MS = 20000;
// After a failed exchange: this many 50 ms slices (about ten seconds) before the next one.
constexpr uint32_t QV_PUSH_PAUSE_SLICES = 201;
constexpr uint32_t QV_PUSH_SLICE_MS = 50;
// Exchanges that end sooner than this after they began are spaced to it, so a device that ends every round
// at once is not asked again at once.
constexpr uint32_t QV_PUSH_MIN_ROUND_MS = 1000;

// A request record of the query, insert and update operations: zeroed, with token and op set and, for an
// insert or update, the value in the field the op names. The texts are the caller's; a query puts a copy
// (malloc'd, the caller frees it) in the field of the same name, or leaves it null.
struct reverse_task {
    int64_t token;
    char *usb_value;
    char *db_value;
    char *recent_value;
    int32_t op;
};

enum reverse_task_op : int32_t {
    REVERSE_QUERY_USB = 0,
    REVERSE_QUERY_DB = 1,
    REVERSE_INSERT_USB = 2,
    REVERSE_INSERT_DB = 3,
    REVERSE_UPDATE_USB = 4,
    REVERSE_UPDATE_DB = 5,
    REVERSE_QUERY_RECENT = 6,
    REVERSE_INSERT_RECENT = 7,
    REVERSE_UPDATE_RECENT = 8,
};

// Creates the push list when there is none: 0.
int reverse_task_init();
// Adds the entry of the device at `addr` (at most 31 characters) logged in with `token` and starts its push
// thread; `cb` becomes the USB status callback of every push thread. An entry of the same token or the same
// device address is stopped and replaced first. 0; -1 without a push list, for a bad address, or when the
// thread cannot be started (then nothing is added: the session gets no cache).
int reverse_task_add(int64_t token, const char *addr, ppc_usb_status_cb cb);
// Stops the session's push thread (within a few 50 ms slices, also while it connects or pauses), removes its
// entry and that device's USB statuses. Called on the push thread itself (from its USB status callback),
// the thread is only told to end and is joined by a later removal or by the destroy. 0, or -1 without a
// push list.
int reverse_task_del(int64_t token);
// Stops every push thread, frees every entry (and the USB statuses of those sessions) and the list: 0, or -1
// without a push list.
int reverse_task_destroy();
// The gateway changed to `addr`. Push threads keep their own device's address (a gateway is no device
// address): logged only. 0, or -1 without a push list or address.
int reverse_device_ip_change(const char *addr);

// The value operations of the request records (each acts on the entry of the request's token; none: nothing
// happens). 0, or -1 for a null request.
int reverse_task_query(reverse_task *req);
int reverse_task_insert(const reverse_task *req);
int reverse_task_update(const reverse_task *req);

// The process-wide flag: cleared by a failed exchange or a push thread's cancel, set by a good exchange;
// 1 at process start.
uint8_t get_reverse_connect_alive();
void set_reverse_connect_alive(uint8_t alive);

// The per-chunk callback of the push exchanges (on the push thread, after the chunk parser).
void connectDeviceListen(client_file_task *task);

// The command cache's provider: the session's channel holds (a chunk or a good exchange since its last
// failure) and the sign it pushed for `selector`. False when the session has no push entry.
bool reverse_cache_peer(int64_t token, int selector, qv_cache_peer *out);

// Number of entries (0 without a list).
int reverse_task_count();

// Test seams: the per-chunk wait of push exchanges (0: QV_PUSH_TIMEOUT_MS); the next thread start fails.
void reverse_push_set_chunk_wait_for_test(int32_t ms);
void reverse_push_fail_next_thread_for_test();
