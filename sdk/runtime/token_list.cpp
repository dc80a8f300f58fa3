#include "runtime/token_list.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>

#include "base/qv_log.h"
#include "command/ppc_qv_client.h"

namespace {

struct Entry {
    std::string str;
    int64_t token = 0;
    user_list_item **users = nullptr;  // owned
    uintptr_t value = 0;
};

// The mutex outlives every initialisation, so set-up and teardown are safe beside the other operations.
std::mutex g_mu;
bool g_init = false;
std::list<Entry> g_entries;  // newest first

std::mutex g_console_mu;
std::string g_console = "/dev/console";

// One message on the console device, opened for it alone; dropped when the device cannot be opened.
void console(const char *prefix, const char *func, int line, const char *fmt, ...) {
    std::string path;
    {
        std::lock_guard lk(g_console_mu);
        path = g_console;
    }
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return;
    std::fprintf(f, "[%s][%s][-%d] ", prefix, func, line);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fputs("\r\n", f);
    std::fclose(f);
}

#define TK_ERROR(...) console("TK_ERROR", __func__, __LINE__, __VA_ARGS__)

user_list_item **copy_users(user_list_item **users) {
    if (users == nullptr) return nullptr;
    size_t n = 0;
    while (users[n] != nullptr) ++n;
    auto **out = static_cast<user_list_item **>(std::calloc(n + 1, sizeof(user_list_item *)));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<user_list_item *>(std::malloc(sizeof(user_list_item)));
        if (out[i] == nullptr) {
            ppc_free_user_list(out);
            return nullptr;
        }
        *out[i] = *users[i];
    }
    return out;
}

void free_entry(Entry &e) {
    ppc_free_user_list(e.users);
    e.users = nullptr;
}

}  // namespace

void token_list_set_console(const char *path) {
    std::lock_guard lk(g_console_mu);
    g_console = path ? path : "/dev/console";
}

int InitLinklist() {
    std::lock_guard lk(g_mu);
    if (!g_init) {
        g_entries.clear();
        g_init = true;
    }
    return 0;
}

void DeinitLinklist() {
    std::lock_guard lk(g_mu);
    if (!g_init) return;
    for (Entry &e : g_entries) free_entry(e);
    g_entries.clear();
    g_init = false;
}

int CheckLinklist() {
    std::lock_guard lk(g_mu);
    return g_init ? 0 : -1;
}

int AddLinkNode(const LinkNode *record) {
    if (CheckLinklist() != 0) {
        TK_ERROR("init linklist failed");
        return -1;
    }
    if (record == nullptr) {
        TK_ERROR("data is NULL");
        return -1;
    }
    Entry e;
    e.str.assign(record->str, strnlen(record->str, sizeof record->str - 1));
    e.token = record->token;
    e.value = record->value;
    // The device is asked before the lock is taken: a slow device must not stall every lookup.
    e.users = QV_FileGetUserList(record->token);
    std::lock_guard lk(g_mu);
    if (!g_init) {  // torn down meanwhile
        free_entry(e);
        TK_ERROR("init linklist failed");
        return -1;
    }
    g_entries.push_front(e);
    return 0;
}

int DeleteNodeByValue(uintptr_t value) {
    std::lock_guard lk(g_mu);
    if (!g_init || g_entries.empty()) return -1;
    for (auto it = g_entries.begin(); it != g_entries.end(); ++it) {
        if (it->value != value) continue;
        QV_LOG_DEBUG("free node by value = %p", reinterpret_cast<void *>(value));
        free_entry(*it);
        g_entries.erase(it);
        return 0;
    }
    return -1;
}

void DeleteHeadNode() {
    std::lock_guard lk(g_mu);
    if (!g_init || g_entries.empty()) return;
    free_entry(g_entries.front());
    g_entries.pop_front();
}

user_list_item **FindTokenByValue(uintptr_t value, int64_t *token) {
    int64_t found = 0;
    user_list_item **users = nullptr;
    {
        std::lock_guard lk(g_mu);
        if (!g_init) {
            QV_LOG_DEBUG("[0] registry not initialised: no token");
        } else if (g_entries.empty()) {
            QV_LOG_DEBUG("[1] registry empty: no token");
        } else {
            auto it = g_entries.begin();
            while (it != g_entries.end() && it->value != value) ++it;
            if (it == g_entries.end()) {
                QV_LOG_DEBUG("[2] key not found: no token");
            } else {
                found = it->token;
                users = copy_users(it->users);
            }
        }
    }
    if (token != nullptr) *token = found;
    return users;
}

void ShowLinklist() {
    std::lock_guard lk(g_mu);
    if (!g_init) {
        TK_ERROR("init linklist failed");
        return;
    }
    for (const Entry &e : g_entries)
        console("TOKEN_LIST", __func__, __LINE__, "value = %p, str = %s", reinterpret_cast<void *>(e.value),
                e.str.c_str());
}

int deinint_lock() {
    return 0;
}
