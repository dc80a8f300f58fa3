// The open-file table: small virtual descriptors (1 to 65535) for entries a caller registers, with their
// positions; and the runtime's Base64 encoder and decoder. A process-wide registry with an initialised
// state: every operation but the first two fails at once (-1) while it is not initialised.
#pragma once

#include <cstddef>
#include <cstdint>

// Highest virtual descriptor: at most this many entries exist at once.
inline constexpr int32_t PPC_V_FD_MAX = 65535;

// Entry types. The table interprets only `type`, `fd` and, for PPC_FD_LIST, `entries`/`entry_count`; the
// payload fields are stored and copied for the caller.
enum ppc_fd_type : int32_t {
    PPC_FD_LOCAL = 1,  // a local descriptor with payload words 1 to 3, the wide word and the short
    PPC_FD_PEER = 2,   // a local descriptor with the wide word, the text and words 3 and 4
    PPC_FD_LIST = 3,   // a list of entries; the position is an index into it
};

// One entry. Made by the caller with calloc (its `path` with malloc/strdup, its `entries` a calloc'd,
// null-terminated array of malloc'd items); the table owns it once added.
struct fd_dnode {
    int32_t v_fd;  // assigned by the table
    int32_t type;  // ppc_fd_type
    int32_t fd;    // types 1 and 2: a local descriptor, closed by the table when replaced (if above 0)
    int32_t word1;
    char *path;  // owned
    int64_t offset;
    int64_t wide;
    int32_t word2;
    uint16_t short1;
    char text[10];
    void **entries;  // type 3: owned, null-terminated; items freed with free()
    int32_t entry_count;
    int32_t word3;
    int32_t word4;
};

int init_ppc_fd_list();
int is_ppc_fd_list_init();
// Assigns the smallest free descriptor into node->v_fd and adds the entry. 0; -1 for a null entry, an
// uninitialised table or a full one (the entry stays the caller's).
int add_info_for_ppc_fd_list(fd_dnode *node);
// The smallest free descriptor, or -1 when all are taken.
int get_free_v_fd();
// Removes the entry and frees its path, its entry list with every item, and the entry. 0; -1 when absent.
int del_info_from_ppc_fd_list(int32_t v_fd);
// Position changes. For type 3 the position stays within 0 .. entry_count (+1 for a relative move); other
// types take any position. A refused change (or one that would overflow) gives -1 and leaves the position.
int move_offset_for_ppc_fd_list(int32_t v_fd, int64_t delta);
int set_offset_for_ppc_fd_list(int32_t v_fd, int64_t offset);
int get_fd_from_ppc_fd_list(int32_t v_fd);
// The position, or -1 when absent.
int64_t get_offset_from_ppc_fd_list(int32_t v_fd);
// Stores a new local descriptor, closing the old one when it is above 0. 0; -1 when absent.
int update_fd_for_ppc_fd_list(int32_t v_fd, int32_t fd);
// A new zeroed copy of the entry in *out: v_fd, type, offset, a copy of path, and the fields of its type.
// The copy's `entries` is the table entry's own list: free the copy's path and the copy, never the list,
// and do not use the list once the entry is removed. 0; -1.
int get_info_from_ppc_fd_list(int32_t v_fd, fd_dnode **out);
// Frees every entry and makes the table uninitialised again. 0; -1 (log "no need free") when not
// initialised.
int free_ppc_fd_list();

// Base64 of the text's bytes (standard alphabet, "=" padding, no line breaks): a new text (free()), or
// null for a null text or no memory.
char *ppc_base64_encode(const char *text);
// Strict Base64 decoding (the link layer's rules): the text up to its first zero byte, at most max_len
// characters, into a new buffer (free()) of *out_len bytes; null and 0 when it is not Base64.
unsigned char *ppc_base64_decode(size_t *out_len, size_t max_len, const char *text);
