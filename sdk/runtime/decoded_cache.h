// Decoded copies of cached replies, in memory beside the two cache databases, so that a repeated listing
// is put back without reading and parsing its text. An entry is keyed exactly like its database row
// (selector and cache key) and carries the identifier and generation of the database state it was taken
// in; it is served only while both are still the database's, so a sign change, a rebuild, a drop of the
// rows, a close or a lookup for another device or account never reaches it. Dropping the row of a key
// drops its entry too.
//
// Memory is bounded by the bytes the copies hold (records and texts): the least recently used entries
// go first, and a copy larger than a quarter of the bound is never kept (the database still serves it).
// One mutex guards the table and is held only for the table's own work: copies are shared, immutable,
// and put back outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class qv_reply_copy;

inline constexpr size_t kDecodedCacheBytesDefault = size_t{32} << 20;

// The copy kept for `key` in `selector`, when it was taken for `identifier` in `generation`; null
// otherwise (an entry of another state is dropped on the way).
std::shared_ptr<const qv_reply_copy> decoded_cache_find(int selector, const std::string &key,
                                                        const std::string &identifier, uint64_t generation);
// Keeps `copy` for `key`, replacing any entry of the key, then drops the least recently used entries
// until the bound holds again.
void decoded_cache_keep(int selector, const std::string &key, const std::string &identifier,
                        uint64_t generation, std::shared_ptr<const qv_reply_copy> copy);
void decoded_cache_drop(int selector, const std::string &key);
// Drops every entry (of one selector, or of both with a negative one).
void decoded_cache_clear(int selector = -1);
// Sets the bound in bytes (0 keeps nothing) and applies it at once.
void decoded_cache_set_bound(size_t bytes);

struct decoded_cache_stats {
    size_t entries;
    size_t bytes;
    size_t bound;
};
decoded_cache_stats decoded_cache_usage();
