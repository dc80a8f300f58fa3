// The command cache store: the two database tasks ("cache.db" and "recent_cache.db" in the cache
// folder), their paths, the identifier each database belongs to, and the one cache mutex. Reads, stores
// and resets only try the mutex: a cache busy with another caller or a close is a miss, a dropped store
// or a failed reset, never a wait. Opening and closing wait for it, and so does the writer thread, which
// writes the stores of the command path off the callers' threads, one row per hold of the mutex; a
// caller that finds the writer holding it waits for that one row (never more than 100 ms), and the
// writer lets waiting callers go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

enum cache_db_selector : int { CACHE_DB_USER = 0, CACHE_DB_RECENT = 1 };

// Longest identifier compared whole; a longer sign is treated as no sign at all.
inline constexpr size_t kCacheIdentifierMax = 1024;

// Opens both databases in `dir` (made with mode 0700 when missing): 0, or -1 with nothing left open.
int QVDataCacheInit(const char *dir);
// Closes both: the recent database's close result (a failed user close is logged), -1 when not open.
int QVDataCacheDestroy();
bool QVDataCacheIsOpen();

// Plain reads and stores of one database (any non-zero selector is the recent one): 0 or -1. The
// store writes at once, replacing any store of the key still queued.
int QVDataCacheQueryValue(const char *key, char **out, int selector);
int QVDataCacheInsertValue(const char *key, const char *value, int selector);
// Makes the database belong to `identifier`: rebuilt empty unless it already holds exactly that one.
int QVDataCacheReset(const char *identifier, int selector);
// A copy of the identifier the database belongs to, taken under the cache mutex ("" when none).
std::string QVDataCacheGetIdentifier(int selector);

// The reads and stores of the command path, each checked against `identifier` under the same hold of
// the mutex. Query: a database of another identifier is reset and the call is a miss; on a hit *out
// gets the text. *generation receives the database's generation, which a reset or a drop of its rows
// moves on. 0 (hit or miss), -1 when the cache was busy or closed.
int QVDataCacheQueryChecked(const char *key, char **out, int selector, const std::string &identifier,
                            uint64_t *generation);
// Stores only while the database still belongs to `identifier` and, when `generation` is given, has
// not been reset or dropped since: 0 taken, -1 dropped. The write itself is the cache's writer thread's,
// off the caller's path; it checks the same again before writing. Until it is written the text is
// served from the queue, so a lookup right after a store finds it. The queue is bounded (kPendingMax
// stores, kPendingBytesMax bytes of text): beyond that a store is dropped.
int QVDataCacheInsertChecked(const char *key, const char *value, int selector, const std::string &identifier,
                             const uint64_t *generation);
// Removes the row of `key` from one database: 0 or -1 (busy: the writer thread removes it as soon as
// it gets the mutex, and no read or store comes before that).
int QVDataCacheDeleteValue(const char *key, int selector);
// Drops every row of both databases, now or, when the cache is busy, as the row above.
void QVDataCacheDropAll();

// The database's generation now, read without the mutex: a reset, a drop of its rows and a close move
// it on, so anything kept under an older one belongs to rows that are gone.
uint64_t QVDataCacheGeneration(int selector);
// Returns once every store taken before the call has been written or dropped.
void QVDataCacheFlush();

inline constexpr size_t kPendingMax = 64;
inline constexpr size_t kPendingBytesMax = size_t{64} << 20;

// Holds the cache mutex for as long as the lock lives (a busy cache, for tests and the benchmark).
std::unique_lock<std::mutex> QVDataCacheHold();
