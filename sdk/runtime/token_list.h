// The token registry: a caller's key (a pointer-sized value) mapped to a session token and the device's users
// for that token, fetched when the entry is added. Newest entry first; a process-wide registry with an
// initialised state. Its errors go to the console device, not to the SDK log.
#pragma once

#include <cstdint>

#include "codec/file_parse_list.h"

struct LinkNode {
    char str[128];               // the caller's text, up to 127 characters
    int64_t token;               // the session token
    user_list_item **user_list;  // the device's users for the token (owned by the registry; may be null)
    uintptr_t value;             // the caller's key
    LinkNode *next;              // not read from the caller's record
};

// 0, or the mutex's error. Initialises once: a second call changes nothing.
int InitLinklist();
// Removes and frees every entry and makes the registry uninitialised again.
void DeinitLinklist();
// 0 when initialised, else -1.
int CheckLinklist();
// Adds a copy of the record's `str`, `token` and `value` at the head, with the users of the device for that
// token (command 150, asked before the registry is locked; an entry is added without users when the device
// did not answer). 0; -1 for an uninitialised registry or a null record.
int AddLinkNode(const LinkNode *record);
// Removes the newest entry of the key. 0; -1 when not initialised, empty or not found.
int DeleteNodeByValue(uintptr_t value);
// Removes the newest entry; nothing when not initialised or empty.
void DeleteHeadNode();
// The newest entry of the key: its token goes to *token and a copy of its user list is handed out (free with
// ppc_free_user_list; null when the entry has none). A miss (no such key, empty or uninitialised registry)
// writes 0 to *token and hands out null: another session's token is never given for an unknown key.
user_list_item **FindTokenByValue(uintptr_t value, int64_t *token);
// One console line per entry, newest first (the key and the text; tokens are not written).
void ShowLinklist();
// Destroys the registry's mutex: 0 (the mutex lives as long as the process; kept for callers).
int deinint_lock();

// Seam for tests: the device the registry's console messages go to (null: "/dev/console").
void token_list_set_console(const char *path);
