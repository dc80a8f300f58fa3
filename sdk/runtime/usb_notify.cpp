#include "runtime/usb_notify.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "base/qv_log.h"

namespace {

struct Entry {
    int64_t owner;
    time_t stamp;
    qv_usb_status st;
};

std::mutex g_mutex;
bool g_init = false;
int g_pending = 0;
std::list<Entry> g_list;

json_object *member(json_object *o, const char *k) {
    json_object *v = nullptr;
    json_object_object_get_ex(o, k, &v);
    return v;
}

// An integer member; false when absent or not an integer.
bool get_int(json_object *o, const char *k, int64_t *out) {
    json_object *v = member(o, k);
    if (v == nullptr || !json_object_is_type(v, json_type_int)) return false;
    *out = json_object_get_int64(v);
    return true;
}

bool get_i32(json_object *o, const char *k, int32_t *out) {
    int64_t x = 0;
    if (!get_int(o, k, &x) || x < INT32_MIN || x > INT32_MAX) return false;
    *out = static_cast<int32_t>(x);
    return true;
}

bool get_text(json_object *o, const char *k, char (&dst)[64]) {
    json_object *v = member(o, k);
    if (v == nullptr || !json_object_is_type(v, json_type_string)) return false;
    std::snprintf(dst, sizeof dst, "%s", json_object_get_string(v));
    return true;
}

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};

}  // namespace

int get_usbstatus_by_jsonstring(const char *text, qv_usb_status *s) {
    if (text == nullptr || s == nullptr) return -1;
    *s = qv_usb_status{};
    std::unique_ptr<json_object, JsonPut> root(json_tokener_parse(text));
    json_object *o = root.get();
    if (o == nullptr || !json_object_is_type(o, json_type_object)) {
        QV_LOG_ERROR("json is null");
        return -1;
    }
    if (!get_i32(o, "status", &s->status)) {
        QV_LOG_ERROR("json get status failed...");
        return -1;
    }
    if (!get_text(o, "device_name", s->device_name) || !get_i32(o, "count_all", &s->count_all) ||
        !get_int(o, "bytes_all", &s->bytes_all) || !get_i32(o, "count_already", &s->count_already) ||
        !get_int(o, "bytes_already", &s->bytes_already)) {
        QV_LOG_ERROR("json get failed...");
        return -1;
    }
    if (member(o, "tm_start") != nullptr) {
        s->version = 1;
        int32_t scan_over = 0;
        if (!get_int(o, "tm_start", &s->tm_start) || !get_i32(o, "count_seek", &s->count_seek) ||
            !get_int(o, "bytes_seek", &s->bytes_seek) || !get_i32(o, "is_scan_over", &scan_over) ||
            !get_int(o, "tm_now", &s->tm_now)) {
            QV_LOG_ERROR("json get failed...");
            return -1;
        }
        if (member(o, "speed") != nullptr && !get_int(o, "speed", &s->speed)) return -1;
        s->is_scan_over = scan_over != 0 ? 1 : 0;
        if (__builtin_add_overflow(s->count_all, s->count_seek, &s->scan_cnt_dev) ||
            __builtin_add_overflow(s->bytes_all, s->bytes_seek, &s->scan_bytes_dev)) {
            QV_LOG_ERROR("usb status sums out of range");
            return -1;
        }
        if (scan_over != 0) {
            if (s->speed <= 0) s->speed = 1;
            int64_t left = 0;
            if (__builtin_sub_overflow(s->bytes_all, s->bytes_already, &left)) return -1;
            s->remain_time = left / s->speed;
        }
    }
    if (member(o, "device_uuid") != nullptr) {
        if (!get_text(o, "device_uuid", s->device_uuid)) return -1;
    } else {
        std::memcpy(s->device_uuid, s->device_name, sizeof s->device_uuid);
    }
    if (member(o, "backup_state") != nullptr) {
        if (!get_i32(o, "backup_state", &s->backup_state)) return -1;
    } else {
        s->backup_state = s->count_already == s->count_all ? 2 : 1;
    }
    if (s->status != 0) {
        QV_LOG_MSG("status = %d", s->status);
        s->backup_state = 2;
    }
    return 0;
}

int init_usbnotify_list() {
    std::lock_guard<std::mutex> l(g_mutex);
    if (!g_init) {
        g_list.clear();
        g_pending = 0;
        g_init = true;
    }
    return 0;
}

int is_usbnotify_list_init() {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_init ? 1 : 0;
}

int get_usbnotify_count() {
    std::lock_guard<std::mutex> l(g_mutex);
    return g_pending;
}

int update_add_usbnotify_list(const qv_usb_status *s, int64_t owner) {
    if (s == nullptr) return -1;
    std::lock_guard<std::mutex> l(g_mutex);
    if (!g_init) return 0;
    for (Entry &e : g_list) {
        if (e.owner != owner ||
            std::strncmp(e.st.device_uuid, s->device_uuid, sizeof e.st.device_uuid) != 0) {
            continue;
        }
        if (e.st.backup_state != 2 && s->backup_state >= e.st.backup_state) {
            e.st = *s;
            e.stamp = std::time(nullptr);
        }
        ++g_pending;
        return 0;
    }
    if (g_list.size() >= QV_USB_NOTIFY_MAX) {
        std::fprintf(stderr, "[error] [%s-%d]: usb notify list full\r\n", __func__, __LINE__);
        return -1;
    }
    g_list.push_back(Entry{owner, std::time(nullptr), *s});
    ++g_pending;
    return 0;
}

int check_usbnotify_list(ppc_usb_status_cb cb) {
    std::vector<qv_usb_status> report;
    {
        std::lock_guard<std::mutex> l(g_mutex);
        if (!g_init) return 0;
        report.reserve(g_list.size());  // sized to the list, never a fixed handful
        for (auto it = g_list.begin(); it != g_list.end();) {
            report.push_back(it->st);
            if (it->st.backup_state == 2 || it->st.status != 0) {
                it = g_list.erase(it);
            } else {
                ++it;
            }
        }
        g_pending = 0;
    }
    if (cb != nullptr && !report.empty()) cb(report.data(), static_cast<int>(report.size()));
    return 0;
}

int remove_usbnotify_owner(int64_t owner) {
    std::lock_guard<std::mutex> l(g_mutex);
    g_list.remove_if([owner](const Entry &e) { return e.owner == owner; });
    return 0;
}

int uninit_usbnotify_list() {
    std::lock_guard<std::mutex> l(g_mutex);
    if (!g_init) {
        std::fprintf(stderr, "[error] [%s-%d]: no need free\r\n", __func__, __LINE__);
        return -1;
    }
    for (const Entry &e : g_list) {
        std::fprintf(stderr, "devuuid = [ %s - %s - (status = %d) ] is destory\r\n", e.st.device_name,
                     e.st.device_uuid, e.st.status);
    }
    g_list.clear();
    g_pending = 0;
    g_init = false;
    return 0;
}
