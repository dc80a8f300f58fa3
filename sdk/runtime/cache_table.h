// The two tables of a command-cache database: `identify_table` (the sign the cached replies belong to)
// and `cache_table` (reply text by cache key). Every key, value and sign is bound to a prepared
// statement, never written into SQL text. Results: 0, -1 for bad arguments, or SQLite's code.
#pragma once

#include <cstdint>

struct sqlite3;

// Request records; the operations never free them. Texts read out are heap copies the caller frees.
struct identify_info {
    char *identifier;
    int32_t cmd;  // 1
};

struct cache_info {
    char *key;
    char *value;
    int32_t cmd;  // 1
};

inline constexpr int kIdentifyEmpty = -147;  // no sign stored

using table_op = int (*)(sqlite3 *db, void *request);
struct table_ops {
    table_op insert_op;
    table_op delete_op;
    table_op query_op;
    table_op update_op;
};

extern table_ops cache_table_ops;
extern table_ops identify_table_ops;
void cache_table_register();
void identify_table_register();

int identify_table_insert(sqlite3 *db, identify_info *req);
int identify_table_update(sqlite3 *db, identify_info *req);
// 0 with a copy in `identifier` (the last row's), -147 when none is stored.
int identify_table_query(sqlite3 *db, identify_info *req);
int identify_table_delete(sqlite3 *db, identify_info *req);  // changes nothing
int cache_table_insert(sqlite3 *db, cache_info *req);
int cache_table_update(sqlite3 *db, cache_info *req);  // a key without a row is left alone
// 0; `value` holds a copy of the stored text, or stays empty when the key has no row.
int cache_table_query(sqlite3 *db, cache_info *req);
// Removes the row of `key`, or every row when `key` is empty.
int cache_table_delete(sqlite3 *db, cache_info *req);
