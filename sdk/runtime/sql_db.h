// Command-cache database files and connections: the two tables, the long-lived connection with its
// pragmas, statements that never wait on a busy database, transactions, and the text helpers.
// Results: 0 success, -1 a bad argument or a failure of this layer, a positive SQLite result code
// passed up unchanged (5 is SQLITE_BUSY).
#pragma once

#include <cstddef>
#include <cstdint>

struct sqlite3;

inline constexpr const char *kIdentifyTableDdl =
    "CREATE TABLE IF NOT EXISTS identify_table(IDENTIFY_ID  INTEGER PRIMARY KEY AUTOINCREMENT,IDENTIFIER "
    "CHAR NOT NULL UNIQUE);";
inline constexpr const char *kCacheTableDdl =
    "CREATE TABLE IF NOT EXISTS cache_table(CACHE_ID   INTEGER PRIMARY KEY AUTOINCREMENT,KEY  CHAR NOT NULL "
    "UNIQUE,VALUE TEXT  NOT NULL);";

using sql_row_cb = int (*)(void *arg, int columns, char **values, char **names);

// Runs `sql` once. A busy database is not waited for: 5 comes back at once (the caller treats it as a
// miss or a dropped write), so nobody ever sleeps while holding the cache's locks.
int sqlite3_exec_busy_wait(sqlite3 *db, const char *sql, sql_row_cb cb, void *arg);
int begin_db_transaction(sqlite3 *db);
int commit_db_transaction(sqlite3 *db);
int rollback_db_transaction(sqlite3 *db);

// Opens `path` read-write into *db (mode 0600 for a file it creates), sets recursive triggers, and with
// `sync` the write-ahead log with synchronous NORMAL. -1 without a place or path; else SQLite's code
// (the handle is then closed and *db empty).
int create_db_connection(sqlite3 **db, const char *path, int sync);
// Closes the connection: 0 or SQLite's code. Never sleeps.
int close_db_connection(sqlite3 *db);
// A passive checkpoint of every attached database; the shape of SQLite's commit hook (not installed).
int wal_hook_callback(void *arg, sqlite3 *db, const char *name, int pages);

// SQL literal escape ("%q": every apostrophe doubled) into `dst` of `size` characters; a null source
// leaves `dst` empty and returns null. Never used to build the cache's own statements (they bind).
char *db_str_escape(const char *src, char *dst, size_t size);
// Undoes doubled quotes and a "/" before one of % & ( ) [ ]; `dst` must hold strlen(src) + 1.
char *db_str_unescape(const char *src, char *dst);
// ELF (PJW) hash of `count` bytes, each taken as a signed 8-bit value.
uint64_t db_str_hash(const char *bytes, size_t count);

// Runs one CREATE statement: 0, SQLite's code, -1 without arguments.
int createTable(sqlite3 *db, const char *sql);
// Opens the file (creating it) and runs both CREATE TABLE IF NOT EXISTS statements: 0, or the failing
// code (26 for a file that is not a database).
int create_db_file(const char *path);
// Creates an empty file with mode 0600 when missing: 0 or -1.
int db_create(const char *path);
int db_init(const char *path);
// Removes the file with its journal, write-ahead log and shared-memory companions.
void db_remove_files(const char *path);
