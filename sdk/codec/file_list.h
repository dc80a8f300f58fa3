// Result lists filled by the reply parsers: singly linked, grown at the head, each freed whole by its
// consumer with the matching free function.
#pragma once

#include <cstdint>

struct tag_entry;

// Sentinel of a circular doubly linked tag ring; empty when both links point at the sentinel itself.
struct tag_head {
    tag_entry *next;
    tag_entry *prev;
};

struct tag_entry {
    char tagName[128];
    tag_entry *next;
    tag_entry *prev;
};

struct file_type_item {
    char *name;
    char *path;
    int64_t date;
    int32_t bucketId;
};

struct file_dnode {
    int64_t size;
    int64_t date;
    uint8_t isFolder;
    char *name;
    char *path;
    char *file_uuid;
    int32_t parent_id;
    int32_t count;
    int32_t totalCount;
    file_dnode *next;
    file_type_item **type_list;  // null-terminated
    uint32_t type_count;
    int32_t type;
    int32_t bucketId;
    int32_t isStore;
    double latitude;
    double longtitude;
    tag_head *tag_list;
};

struct uuid_dnode {
    char *file_uuid;
    uuid_dnode *next;
};

struct disk_dnode {
    int64_t size;
    int64_t avSize;
    char *name;
    char *path;
    char *fstype;
    int32_t diskType;
    disk_dnode *next;
};

struct user_space_dnode {
    char userName[65];
    int64_t usedSpace;
    int64_t diskTotalSize;
    int64_t diskFreeSize;
    int32_t limitSet;
    int64_t allocateSpace;
    int64_t sysSpaceSize;
    user_space_dnode *next;
};

struct module_support_dnode {
    int32_t supportType;
    int32_t status;  // 1 = supported
    module_support_dnode *next;
};

// Holder of one listing reply.
struct file_list_info {
    int32_t count;
    int32_t totalCount;
    int64_t totalSize;
    file_dnode *list;
    uuid_dnode *uuid_list;
};

// Tag rings. A walk runs `for (e = ring->next; e != tag_ring_end(ring); e = e->next)`; the end marker is the
// sentinel's address and is never dereferenced as an entry.
inline const tag_entry *tag_ring_end(const tag_head *ring) {
    return reinterpret_cast<const tag_entry *>(ring);
}
tag_head *tag_ring_new();
// Inserts a tag right after the sentinel (so a walk by next yields reverse insertion order). The name is cut
// to 127 bytes. 0 or QV_ERR_ARG.
int tag_ring_insert(tag_head *ring, const char *name);
void tag_ring_free(tag_head *ring);

int ppc_add_file_to_list(file_dnode **head, const char *name, int64_t size, int64_t date, uint8_t isFolder,
                         const char *path, int32_t bucketId, int32_t isStore, tag_head *tags, int32_t type);
int ppc_link_file_to_list(file_dnode **head, file_dnode *node);
int ppc_add_dir_to_list(file_dnode **head, const char *name, int64_t size, int64_t date, uint8_t isFolder,
                        const char *path, int32_t count, int32_t bucketId);
int ppc_add_uuid_to_list(file_dnode **head, const char *uuid);
int ppc_uuid_is_exist_list(const char *uuid, const file_dnode *list);
int ppc_add_uuid_only_to_list(uuid_dnode **head, const char *uuid);
int ppc_check_uuid_is_exist_list(const char *uuid, const uuid_dnode *list);
int uuid_list_free(uuid_dnode *list);
int ppc_destory_file_list(file_dnode *list);
void ppc_free_type_list(file_type_item **items);
void ppc_dfree_file_dnode(file_dnode **nodes);
int ppc_check_file_list(const file_dnode *list);

int ppc_add_disk_to_list(disk_dnode **head, const char *name, const char *path, int64_t size, int64_t avSize,
                         int32_t diskType, const char *fstype);
int ppc_destory_disk_list(disk_dnode *list);

int ppc_add_user_space_to_list(user_space_dnode **head, const char *userName, int64_t usedSpace,
                               int64_t allocateSpace);
int ppc_destory_user_space_list(user_space_dnode *list);

int ppc_add_module_support_to_list(module_support_dnode **head, int32_t supportType, int32_t status);
int ppc_destory_module_support_list(module_support_dnode **head);
int ppc_find_module_support(const module_support_dnode *list, int32_t supportType);

// Debug dumps: one log line per node.
void ppc_display_disk_dnode(const disk_dnode *list);
void ppc_display_file_dnode(const file_dnode *list);
void ppc_display_file_type_list(file_type_item *const *items);
void ppc_display_files_dnode(file_dnode *const *nodes);
void ppc_display_search_file_dnode(const file_dnode *list);
void ppc_display_gps_file_list_dnode(const file_dnode *list);
void ppc_display_user_space_dnode(const user_space_dnode *list);
void ppc_display_module_support_dnode(const module_support_dnode *list);
