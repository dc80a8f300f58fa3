// The work-directory list: one work directory per session token, against which the remote path calls
// resolve relative paths. A process-wide registry with an initialised state; every operation but the first
// two fails at once (-1 or null) while it is not initialised. What "get" operations hand out is a fresh
// copy that the caller frees.
#pragma once

#include <cstdint>

// One session's work directory. A node given to the list is made by the caller with malloc/calloc and its
// `work_dir` with malloc/strdup; from then on the list owns and frees both.
struct token_dnode {
    int64_t token;   // the key
    char *work_dir;  // owned
};

// 0. Initialises once: a second call changes nothing.
int init_ppc_token_list();
// 1 when initialised, else 0.
int is_ppc_token_list_init();
// Appends the node (the first node of a token wins lookups; a second one for the same token is found only
// after the first is removed). 0; -1 for a null node or an uninitialised list (the node stays the caller's).
int add_info_for_ppc_token_list(token_dnode *node);
// Removes and frees the first node of the token. 0; -1 when there is none.
int del_info_from_ppc_token_list(int64_t token);
// A new node (the token and a copy of its work directory) in *out; the caller frees `work_dir` and the node.
// -1 for a null place or an absent token.
int get_info_from_ppc_token_list(token_dnode **out, int64_t token);
// Replaces the token's work directory by a copy of `dir`. 0; -1 for a null text or an absent token (the old
// directory stays).
int update_work_dir_for_ppc_token_list(const char *dir, int64_t token);
// A new copy of the token's work directory (free()), or null when the list is not initialised or the token is
// absent.
char *get_work_dir_from_ppc_token_list(int64_t token);
// Frees every node and makes the list uninitialised again. 0; -1 (log "no need free") when it was not
// initialised.
int free_ppc_token_list();
