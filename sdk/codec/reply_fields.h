// Small readers shared by the reply parsers: member lookup that treats JSON null as missing, the first
// element of an array-shaped "data", required integer members, bounded text copies and zeroed allocations that stop the process
// when memory is gone.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/json_reads.h"
#include "codec/qv_strlcpy.h"
#include "base/qv_log.h"

namespace qv_reply {

// The member `key` of an object, or null when `obj` is no object or the key is absent.
inline constexpr auto &member = qv::jr::member;

// Element 0 of an array, or null when `arr` is no array or is empty.
inline json_object *first(json_object *arr) { return qv::jr::element(arr, 0); }

// Element 0 of the reply's "data" array. Logs `no_data` when "data" is missing and, when given,
// `no_element` when it has no element 0 (both at debug level).
inline json_object *data_first(json_object *reply, const char *no_data, const char *no_element = nullptr) {
    json_object *data = member(reply, "data");
    if (data == nullptr) {
        QV_LOG_DEBUG("%s", no_data);
        return nullptr;
    }
    json_object *elem = first(data);
    if (elem == nullptr && no_element != nullptr) QV_LOG_DEBUG("%s", no_element);
    return elem;
}

// A required member read as a 32-bit integer into `*out`: 0, or -1 after logging `missing` (debug level)
// with `*out` untouched.
inline int need_int(json_object *obj, const char *key, int32_t *out, const char *missing) {
    json_object *v = member(obj, key);
    if (v == nullptr) {
        QV_LOG_DEBUG("%s", missing);
        return -1;
    }
    *out = json_object_get_int(v);
    return 0;
}

// The array value of a member, or null when the member is missing or not an array.
inline json_object *array_member(json_object *obj, const char *key) {
    json_object *v = member(obj, key);
    return (v != nullptr && json_object_is_type(v, json_type_array)) ? v : nullptr;
}

// A string's text, or the JSON text of any other value (never null for a non-null value).
inline const char *text(json_object *v) {
    return v != nullptr ? json_object_get_string(v) : nullptr;
}

// Copies a value's text into a fixed array, cut to N - 1 bytes and always terminated.
template <size_t N>
inline void copy_text(char (&dst)[N], json_object *v) {
    qv_strlcpy(dst, text(v), N);
}

// A zeroed heap block; a process without memory cannot go on, so it stops naming the field.
template <typename T>
T *zalloc(const char *what, size_t count = 1) {
    void *p = std::calloc(count == 0 ? 1 : count, sizeof(T));
    if (p == nullptr) {
        QV_LOG_ERROR("%s", what);
        std::abort();
    }
    return static_cast<T *>(p);
}

}  // namespace qv_reply
