// The process-wide LAN device list: one record per device address, filled by discovery's two threads and
// read by the bridge. Every change goes through qv_update_dev_list; snapshots are copies the caller owns,
// so a record removed by the heartbeat never invalidates a snapshot someone is reading.
#pragma once

#include <cstddef>

#include "runtime/ppclib.h"

enum qv_dev_op : int {
    QV_DEV_ADD = 0,      // 0 new, 1 already listed, -1 list full or no memory
    QV_DEV_REMOVE = 1,   // 0, -1 on an empty list
    QV_DEV_AGE = 2,      // devices with details: 1 due for removal, else 0
    QV_DEV_REFRESH = 3,  // life back to 20 while it is above 0
    QV_DEV_FILL = 4,     // copies the details once; sets the caller's detail flag when it filled now
    // Devices still without details: 1 once they went QV_DEV_UNDETAILED_ROUNDS rounds without them (they are
    // then removed without a removed callback, as nobody was told they were added), else 0.
    QV_DEV_AGE_UNDETAILED = 5,
};

// At most this many devices are listed; further addresses are refused until some are removed.
constexpr unsigned QV_DEV_LIST_MAX = 256;
// Rounds a listed address may go without a type-3 detail answer before it is dropped.
constexpr int QV_DEV_UNDETAILED_ROUNDS = 40;
constexpr int QV_DEV_LIFE_FILLED = 100;
constexpr int QV_DEV_LIFE_REFRESHED = 20;

void qv_init_dev_list();
// Frees every record; 0.
int qv_free_dev_list();
// The one mutating operation, keyed by `r->ip` (see qv_dev_op). -1 without a record.
int qv_update_dev_list(qv_dev_detail *r, int op);
// 1 listed, 0 not, -1 without an address.
int is_dev_exist(const char *ip);
// Snapshots: an array of `*count` + 1 entries (the last empty) pointing at copies of the records (links
// cleared), all in one block the caller frees with qv_xfree. An empty list gives null and a count of 0.
// qv_get_dev_list takes every record; qv_get_dev_detail_list only those whose details are known.
qv_dev_detail **qv_get_dev_list(unsigned *count);
qv_dev_detail **qv_get_dev_detail_list(unsigned *count);
// Logs each entry's address at debug level; 0.
int qv_display_dev_list(qv_dev_detail **list);
unsigned qv_dev_list_count();

void *qv_xmalloc(size_t size);
void *qv_xzalloc(size_t size);
void qv_xfree(void *p);
