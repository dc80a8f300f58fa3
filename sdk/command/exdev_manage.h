// The process-wide list of external devices this client registered (uuid and name), created when the SDK
// service starts and freed when it stops. Entries handed out stay owned by the list and valid until
// free_exdev_list. One mutex serialises every walk and change.
#pragma once

#include <cstdint>

inline constexpr int QV_EXDEV_TEXT_MAX = 64;

struct exdev_dnode {
    exdev_dnode *next;
    exdev_dnode *prev;
    char dev_uuid[QV_EXDEV_TEXT_MAX + 1];  // the key; longer texts are kept cut to 64 characters
    char dev_name[QV_EXDEV_TEXT_MAX + 1];
};

// Makes the list empty (count 0) and ready. 0.
int init_exdev_list();
// Frees every entry and destroys the mutex: the result of destroying it (0). QV_ERR_FAILED when not
// initialised.
int free_exdev_list();
// The first entry whose uuid equals the text exactly, or null (also for a null text or no list).
exdev_dnode *lookup_exdev(const char *uuid);
// The entry of the uuid: the existing one (its name unchanged), or a new one appended at the tail. Null for
// a missing text or no list. Lookup and insertion happen under one lock.
exdev_dnode *add_exdev_to_list(const char *name, const char *uuid);
// Unlinks and frees every entry of the uuid: QV_ERR_NOT_IN_LIST when the list was empty (QV_ERR_FAILED not
// initialised), else 0.
int remove_exdev(const char *uuid);

// Calls fn for each entry from the head under the lock; the number of entries.
int32_t for_each_exdev(void (*fn)(const exdev_dnode *node, void *ctx), void *ctx);
