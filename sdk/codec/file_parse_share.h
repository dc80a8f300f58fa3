// Records of the share-link and shared-file commands (187 to 189, 204 to 206): the results the reply
// parsers build, the rings they hang in, the request blocks of the calls, and the ring free functions.
#pragma once

#include <cstddef>
#include <cstdint>

// Link of an intrusive circular doubly linked ring. In a head it is the sentinel: next is the first
// node, prev the last; an empty ring's link points at itself.
struct share_ring_link {
    share_ring_link *next;
    share_ring_link *prev;
};

// One share link.
struct share_info {
    uint64_t shareId;  // 0 in a create result
    char shareUrl[1025];
    char sharePw[33];          // empty unless shareHasPw
    uint64_t shareExpect;      // seconds from shareCreateTime; 0 for a permanent link
    uint64_t shareCreateTime;  // seconds since 1970
    uint8_t shareHasPw;
    int8_t shareStatus;  // 2 marks an expired link
    char shareName[513];
    int32_t shareFileCount;
    share_ring_link link;
};

// Head of a ring of share_info.
struct share_list {
    share_ring_link link;
    int64_t count;
    int64_t total;
};

// One file or folder of a share.
struct share_file_info {
    char displayName[513];
    char realName[1088];
    int32_t isDir;
    uint64_t size;
    int64_t modifyTime;
    uint64_t dataSize;  // 205 and 206 only
    share_ring_link link;
};

// Head of one folder's listing: a ring of share_file_info.
struct share_file_list {
    int32_t count;
    int32_t total;
    char displayDir[1025];
    share_ring_link link;
};

// The node that holds a ring link.
inline share_info *share_info_of(share_ring_link *l) {
    return reinterpret_cast<share_info *>(reinterpret_cast<char *>(l) - offsetof(share_info, link));
}
inline share_file_info *share_file_info_of(share_ring_link *l) {
    return reinterpret_cast<share_file_info *>(reinterpret_cast<char *>(l) - offsetof(share_file_info, link));
}

// Unlink and free every node, then the head. A null head is ignored. A single share_info or
// share_file_info (not in a ring) is freed with free().
void share_list_free(share_list *list);
void share_file_list_free(share_file_list *list);

// One path to share; the caller's.
struct share_file_item {
    const char *path;
    int32_t bucketId;
};

// Request blocks of the share calls; the first field of every block but the cancel block is the slot
// where the reply parser leaves its result.
struct create_share_req {
    share_info *result;
    share_file_item **fileList;
    int32_t fileNum;
    int32_t hasPw;
    int32_t expect;
};

struct get_share_list_req {
    share_list *result;
    int32_t offset;
    int32_t len;
};

struct cancel_share_req {
    int64_t shareId;  // holds a 32-bit value
    char url[1025];
};

struct get_share_file_list_req {
    share_file_list *result;
    int64_t shareId;  // holds a 32-bit value
    char fileDir[1025];
    int32_t offset;
    int32_t len;
};

struct get_share_file_data_req {
    share_file_info *result;
    int64_t shareId;  // holds a 32-bit value
    char path[1025];
    int32_t type;
    int64_t start;
    int64_t end;
    char uploadUrl[1025];
};

struct get_share_file_attr_req {
    share_file_info *result;
    int64_t shareId;  // holds a 32-bit value
    char path[1025];
    int32_t type;
    int64_t start;
    int64_t end;
};
