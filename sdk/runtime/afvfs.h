// Cache store operations: one call per read or write of a cache database, each reduced to 0 or -1.
// Texts read out are heap copies the caller frees; texts passed in stay the caller's. No lock of their
// own: the cache store calls them under its mutex.
#pragma once

struct db_task;

// 0 with *out set to the stored text (left empty when the key has no row); -1, *out untouched.
int afvfs_query_cache_value(const char *key, char **out, db_task *task);
int afvfs_insert_cache_value(const char *key, const char *value, db_task *task);
int afvfs_update_cache_info(const char *key, const char *value, db_task *task);
// Removes the row of `key`, or every row when `key` is null: 0 or -1.
int afvfs_delete_cache_value(const char *key, db_task *task);
// 0 with *out set to the stored identifier; -1 (*out untouched) on failure or when none is stored.
int afvfs_query_identifier(char **out, db_task *task);
int afvfs_insert_identifier(const char *identifier, db_task *task);
