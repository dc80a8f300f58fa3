#include "runtime/decoded_cache.h"

#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "codec/reply_copy.h"

namespace {

struct Entry {
    int selector;
    std::string key;
    std::string identifier;
    uint64_t generation;
    std::shared_ptr<const qv_reply_copy> copy;
    size_t bytes;
};

// Most recently used at the front; the map finds an entry's place in the list.
struct Table {
    std::mutex mu;
    std::list<Entry> order;
    std::unordered_map<std::string, std::list<Entry>::iterator> index;
    size_t bytes = 0;
    size_t bound = kDecodedCacheBytesDefault;
};

Table &table() {
    static Table t;
    return t;
}

std::string slot(int selector, const std::string &key) {
    return (selector != 0 ? "1:" : "0:") + key;
}

// Under the mutex. The copy itself is freed by its last holder, which may be a thread putting it back.
void erase(Table &t, std::list<Entry>::iterator it) {
    t.bytes -= it->bytes;
    t.index.erase(slot(it->selector, it->key));
    t.order.erase(it);
}

void trim(Table &t) {
    while (t.bytes > t.bound && !t.order.empty()) erase(t, std::prev(t.order.end()));
}

}  // namespace

std::shared_ptr<const qv_reply_copy> decoded_cache_find(int selector, const std::string &key,
                                                        const std::string &identifier, uint64_t generation) {
    Table &t = table();
    std::shared_ptr<const qv_reply_copy> found;
    std::lock_guard<std::mutex> lock(t.mu);
    auto at = t.index.find(slot(selector, key));
    if (at == t.index.end()) return nullptr;
    auto it = at->second;
    if (it->identifier != identifier || it->generation != generation) {
        erase(t, it);
        return nullptr;
    }
    t.order.splice(t.order.begin(), t.order, it);
    return it->copy;
}

void decoded_cache_keep(int selector, const std::string &key, const std::string &identifier,
                        uint64_t generation, std::shared_ptr<const qv_reply_copy> copy) {
    if (copy == nullptr) return;
    const size_t bytes = qv_reply_copy_bytes(*copy) + 2 * key.size() + identifier.size() + sizeof(Entry) + 64;
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    auto at = t.index.find(slot(selector, key));
    if (at != t.index.end()) erase(t, at->second);
    if (bytes > t.bound / 4) return;
    t.order.push_front(Entry{selector != 0 ? 1 : 0, key, identifier, generation, std::move(copy), bytes});
    t.index.emplace(slot(selector, key), t.order.begin());
    t.bytes += bytes;
    trim(t);
}

void decoded_cache_drop(int selector, const std::string &key) {
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    auto at = t.index.find(slot(selector, key));
    if (at != t.index.end()) erase(t, at->second);
}

void decoded_cache_clear(int selector) {
    Table &t = table();
    std::list<Entry> gone;  // freed after the mutex is let go
    {
        std::lock_guard<std::mutex> lock(t.mu);
        for (auto it = t.order.begin(); it != t.order.end();) {
            auto next = std::next(it);
            if (selector < 0 || it->selector == (selector != 0 ? 1 : 0)) {
                t.bytes -= it->bytes;
                t.index.erase(slot(it->selector, it->key));
                gone.splice(gone.end(), t.order, it);
            }
            it = next;
        }
    }
}

void decoded_cache_set_bound(size_t bytes) {
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    t.bound = bytes;
    trim(t);
}

decoded_cache_stats decoded_cache_usage() {
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    return decoded_cache_stats{t.order.size(), t.bytes, t.bound};
}
