// Records the request builders and reply parsers share with the command API: search and GPS conditions,
// backup records, and the byte-range record of transfers.
#pragma once

#include <cstdint>

enum search_condition_kind : int32_t {
    CONDITION_ALL_BUCKET = 0,
    CONDITION_SOME_BUCKET = 1,
    CONDITION_SINGLE_PATH = 2,
};

inline constexpr int QV_SEARCH_MAX_KEYS = 32;
inline constexpr int QV_SEARCH_MAX_BUCKETS = 128;

// The condition tree of a multi-function search.
struct search_condition {
    int32_t condition;  // search_condition_kind
    char search_key[QV_SEARCH_MAX_KEYS][256];
    int32_t search_key_type[QV_SEARCH_MAX_KEYS];
    int32_t key_count;
    int32_t search_specify_type;  // negative: no restriction
    char search_path[1024];
    int32_t search_bucketid;
    int32_t bucketId[QV_SEARCH_MAX_BUCKETS];
    int32_t bucket_count;
};

// The bucket filter of a GPS listing: condition 0 means every user space.
struct gps_condition {
    int32_t condition;
    int32_t count;
    int32_t *bucketId;  // `count` entries, caller-owned
};

// One byte range of a transfer; a list of them is a download's resume state or an upload's missing ranges.
// Records are found by `end`.
struct record_dnode {
    int32_t index;
    int64_t start;
    int64_t cur;
    int64_t end;
    record_dnode *next;
};

// The disk bound to backup (caller-owned).
struct backup_disk_info {
    char disk_name[64];
    int64_t diskSize;
    int64_t diskAvSize;
    int64_t deviceSize;
    uint8_t BindStatus;
};

struct backup_uuid_dnode;

// Circular doubly linked uuid list with a head; empty when both links point at the head itself.
struct backup_uuid_head {
    backup_uuid_dnode *next;
    backup_uuid_dnode *prev;
    uint64_t count;
    uint64_t flagged;  // nodes flagged by the last comparison with the device's backup list
};

struct backup_uuid_dnode {
    backup_uuid_dnode *next;
    backup_uuid_dnode *prev;
    int32_t exists;  // the request sends only nodes whose flag is 0
    char file_uuid[64];
    void *buffer;  // owned by the node
    char reserved[64];
};

// The head's address doubles as the ring's end marker; it is never dereferenced as a node.
inline backup_uuid_dnode *backup_uuid_end(backup_uuid_head *head) {
    return reinterpret_cast<backup_uuid_dnode *>(head);
}
inline void backup_uuid_init(backup_uuid_head *head) {
    head->next = head->prev = backup_uuid_end(head);
    head->count = 0;
    head->flagged = 0;
}

// Frees every node of the ring after the head (and each node's buffer); the head ends linked to itself
// and keeps its count. A null head is ignored.
void ppc_free_backup_uuid_list(backup_uuid_head *head);

// Where a backup upload landed on the device (caller-owned; `path` is owned by the record).
struct backup_result_info {
    char *path;
    uint32_t bucketId;
};
