// Result records of the listing replies: recent records (151, 161), device users (150) and the recycle
// bin (210, 214). All are allocated zeroed by the parsers (or, for `recent_list`, by the command API) and
// freed whole with the free function beside each.
#pragma once

#include <cstdint>

struct recent_dnode;

// Head of a ring of recent records; empty when both links point at the head itself.
struct recent_list {
    recent_dnode *next;
    recent_dnode *prev;
    int32_t count;
    int32_t totalCount;
    int32_t picture_count;  // aggregation only
    int32_t vedeo_count;    // aggregation only
};

// The file of a recent record.
struct recent_file_info {
    int32_t bucketId;
    int64_t time;
    int64_t size;
    int32_t isDir;
    char name[1024];
    char path[1024];
};

// One recent record; type 1 is an aggregation whose entries hang in `rList`.
struct recent_dnode {
    recent_dnode *next;
    recent_dnode *prev;
    int32_t aggregateId;
    int32_t logId;
    int32_t enableHide;
    int32_t type;
    int64_t time;
    int32_t cmd;
    int32_t userId;
    int32_t bucketId;
    char nickName[64];
    recent_file_info *fInfo;  // owned, always present
    recent_list *rList;       // owned, aggregations only
};

// The head's address doubles as the ring's end marker; it is never dereferenced as a record.
inline recent_dnode *recent_ring_end(recent_list *head) {
    return reinterpret_cast<recent_dnode *>(head);
}
inline void recent_ring_init(recent_list *head) {
    head->next = head->prev = recent_ring_end(head);
}
// Number of records in the ring.
int recent_ring_size(recent_list *head);
// Frees every record of the ring (with its file and its sub-ring) and leaves the ring empty; the head
// and its counters stay.
void ppc_destory_recent_list(recent_list *head);
// The same, then frees the head.
void ppc_free_recent_list(recent_list *head);

// One device user; `client_info::user_list` is a null-terminated array of them.
struct user_list_item {
    uint8_t isPublic;
    char nick_name[65];
    int32_t user_id;
};
// Frees every item and the array.
void ppc_free_user_list(user_list_item **list);

// One recycle bin entry.
struct resyscle_dnode {
    int32_t key;
    int64_t size;
    int64_t date;
    int32_t isFolder;
    char *name;  // owned
    char *path;  // owned
    int64_t delete_time;
    int64_t remain_time;
    int32_t bucketId;
};

// One recycle bin page; `rDnode` is null-terminated.
struct resyscle_list_info {
    int32_t start;
    int32_t count;
    int32_t totalCount;
    resyscle_dnode **rDnode;
};
// Frees the entries (with their texts), the array and the page.
void ppc_free_resyscle_list(resyscle_list_info *info);

struct resyscle_space {
    int32_t bucket_id;
    int32_t type;
};

// The recycle bin settings; `spaceDnode` is null-terminated.
struct resyscle_info {
    resyscle_space **spaceDnode;
    int32_t count;
    int64_t survive_time;
};
void ppc_free_resyscle_info(resyscle_info *info);
