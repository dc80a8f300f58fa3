// The command cache front: opened and closed with the SDK, consulted by the HTTP command processor for
// the eight cacheable listings. It serves and stores only for a session whose device's push channel is
// alive and whose pushed database sign equals the identifier of the database asked; the identifier
// names the device and account too, so no two of them ever share rows. What the push channel knows
// comes through a provider that the runtime installs (tests install a fake).
#pragma once

#include <cstdint>
#include <string>

#include "codec/client_info.h"
#include "runtime/command_cache.h"

// What the runtime knows of one session's device.
struct qv_cache_peer {
    bool alive = false;  // the device's push channel holds
    std::string sign;    // the last database sign it pushed for the selector asked; empty: none yet
    std::string device;  // names the device and the signed-in account; empty: the session alone
};
// Fills `out` for the session `token` and selector (CACHE_DB_USER or CACHE_DB_RECENT); false when the
// session has no push entry.
using qv_cache_peer_fn = bool (*)(int64_t token, int selector, qv_cache_peer *out);
void qv_set_command_cache_provider(qv_cache_peer_fn provider);

// Opens the cache in `dir` and installs the processor's hooks: 0, or -1 (the hooks stay empty; commands
// then always go to the device).
int init_command_cache(const char *dir);
// Removes the hooks and closes the cache: 0 or -1.
int destroy_command_cache(const char *dir);

// 0 with *out set on a hit, 0 with *out empty on a miss, -1 when the cache was not consulted (no push
// channel, no sign, bad arguments).
int query_command_cache(const char *key, char **out, int64_t token, int selector);
// Stores the reply of the lookup this thread made last for `key`: 0, or -1 when dropped.
int insert_command_cache(const char *key, const char *value, int64_t token, int selector);
// The decoded copy of the reply of `key` put into `info` (0), under the same checks as a lookup; -1
// when none is kept for the session's database state (the text path then runs).
int apply_command_cache(const char *key, client_info *info, int64_t token, int selector);
// Keeps the decoded results of the good parse in `info` for `key`, when they answer the lookup this
// thread made last for it and the database is still in the state that lookup saw.
void keep_command_cache(const char *key, const client_info *info, int64_t token, int selector);
// After a command: with `key`, its cached text could not be parsed and its row goes; without, `cmd`
// succeeded and, when it changes the device's files, every cached row goes.
void forget_command_cache(const char *key, int64_t token, int32_t cmd);
// True for the commands that change what a listing shows.
bool qv_cmd_changes_listings(int32_t cmd);
// The identifier a session's database belongs to: the device's name and the pushed sign.
std::string qv_cache_identifier(int64_t token, const qv_cache_peer &peer);

void db_tables_register();
