#include "runtime/ppc_qv_command_cache.h"

#include <atomic>
#include <cstdlib>

#include "base/qv_log.h"
#include "codec/reply_copy.h"
#include "command/task_process.h"
#include "runtime/cache_table.h"
#include "runtime/decoded_cache.h"

namespace {

std::atomic<qv_cache_peer_fn> g_provider{nullptr};

// The lookup this thread made last: the processor stores a reply on the thread that looked it up, and
// only into the database state that the lookup saw.
struct LastLookup {
    bool valid = false;
    std::string key;
    int selector = 0;
    std::string identifier;
    uint64_t generation = 0;
};
thread_local LastLookup t_last;

// The identifier for the session, or "" when the cache may not be used for it.
std::string checked_identifier(int64_t token, int selector) {
    const qv_cache_peer_fn provider = g_provider.load();
    if (provider == nullptr) return {};
    qv_cache_peer peer;
    if (!provider(token, selector, &peer) || !peer.alive) return {};
    if (peer.sign.empty() || peer.sign.size() > kCacheIdentifierMax) return {};
    return qv_cache_identifier(token, peer);
}

int hook_query(const char *key, char **reply, int64_t token, int db) {
    return query_command_cache(key, reply, token, db);
}
int hook_insert(const char *key, const char *reply, int64_t token, int db) {
    return insert_command_cache(key, reply, token, db);
}
int hook_apply(const char *key, client_info *info, int64_t token, int db) {
    return apply_command_cache(key, info, token, db);
}
void hook_keep(const char *key, const client_info *info, int64_t token, int db) {
    keep_command_cache(key, info, token, db);
}

}  // namespace

void qv_set_command_cache_provider(qv_cache_peer_fn provider) {
    g_provider.store(provider);
}

std::string qv_cache_identifier(int64_t token, const qv_cache_peer &peer) {
    const std::string device = peer.device.empty() ? "session " + std::to_string(token) : peer.device;
    // Length-prefixed, so no device name and sign can pass for another pair.
    return std::to_string(device.size()) + ":" + device + "|" + peer.sign;
}

bool qv_cmd_changes_listings(int32_t cmd) {
    switch (cmd) {
        case 102:
        case 103:
        case 107:
        case 109:
        case 125:
        case 132:
        case 136:
        case 146:
        case 152:
        case 153:
        case 154:
        case 156:
        case 159:
        case 160:
        case 162:
        case 167:
            return true;
        default:
            return false;
    }
}

int init_command_cache(const char *dir) {
    if (dir == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    if (QVDataCacheInit(dir) != 0) {
        QV_LOG_ERROR("command cache unavailable in %s: listings go to the device", dir);
        return -1;
    }
    qv_set_command_cache_hooks(hook_query, hook_insert);
    qv_set_command_cache_copy_hooks(hook_apply, hook_keep);
    qv_set_command_cache_forget_hook(forget_command_cache);
    return 0;
}

int destroy_command_cache(const char *dir) {
    if (dir == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    qv_set_command_cache_hooks(nullptr, nullptr);
    qv_set_command_cache_copy_hooks(nullptr, nullptr);
    qv_set_command_cache_forget_hook(nullptr);
    return QVDataCacheDestroy() == 0 ? 0 : -1;
}

int query_command_cache(const char *key, char **out, int64_t token, int selector) {
    t_last.valid = false;
    if (key == nullptr || out == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    const int sel = selector != 0 ? CACHE_DB_RECENT : CACHE_DB_USER;
    const std::string identifier = checked_identifier(token, sel);
    if (identifier.empty()) return -1;
    uint64_t generation = 0;
    char *text = nullptr;
    if (QVDataCacheQueryChecked(key, &text, sel, identifier, &generation) != 0) {
        std::free(text);
        return 0;  // busy or failed: a miss, and the reply is not stored
    }
    t_last = LastLookup{true, key, sel, identifier, generation};
    *out = text;
    return 0;
}

int insert_command_cache(const char *key, const char *value, int64_t token, int selector) {
    if (key == nullptr || value == nullptr) {
        QV_LOG_ERROR("para is null.");
        return -1;
    }
    const int sel = selector != 0 ? CACHE_DB_RECENT : CACHE_DB_USER;
    const std::string identifier = checked_identifier(token, sel);
    const bool looked_up = t_last.valid && t_last.key == key && t_last.selector == sel;
    if (identifier.empty() || !looked_up || t_last.identifier != identifier) return -1;
    return QVDataCacheInsertChecked(key, value, sel, identifier, &t_last.generation);
}

int apply_command_cache(const char *key, client_info *info, int64_t token, int selector) {
    if (key == nullptr || info == nullptr) return -1;
    const int sel = selector != 0 ? CACHE_DB_RECENT : CACHE_DB_USER;
    const std::string identifier = checked_identifier(token, sel);
    if (identifier.empty()) return -1;
    const auto copy = decoded_cache_find(sel, key, identifier, QVDataCacheGeneration(sel));
    if (copy == nullptr) return -1;
    return qv_reply_copy_apply(*copy, info);
}

void keep_command_cache(const char *key, const client_info *info, int64_t token, int selector) {
    if (key == nullptr || info == nullptr) return;
    const int sel = selector != 0 ? CACHE_DB_RECENT : CACHE_DB_USER;
    if (!t_last.valid || t_last.key != key || t_last.selector != sel) return;
    // Only a reply of the database state the lookup saw is kept, as for its text.
    if (t_last.generation != QVDataCacheGeneration(sel) ||
        checked_identifier(token, sel) != t_last.identifier)
        return;
    decoded_cache_keep(sel, key, t_last.identifier, t_last.generation, qv_reply_copy_take(info));
}

void forget_command_cache(const char *key, int64_t token, int32_t cmd) {
    (void)token;
    if (key != nullptr) {
        QV_LOG_MSG("cached reply of cmd %d does not parse: dropped", cmd);
        QVDataCacheDeleteValue(key, cmd == 151 || cmd == 161 ? CACHE_DB_RECENT : CACHE_DB_USER);
        return;
    }
    // The change is the device's; the rows of another device are only cached copies, and dropping
    // them costs one device round trip each.
    if (qv_cmd_changes_listings(cmd)) QVDataCacheDropAll();
}

void db_tables_register() {
    cache_table_register();
    identify_table_register();
}
