// The readers every reply parser of the codec shares: member and element look-ups, number readings as
// the device sends them (32-bit reads clamp, 64-bit reads, the unsigned fallback of sizes), texts, the
// first element of an array-shaped "data", required members, bounded text copies and zeroed allocations
// that stop the process when memory is gone. A key is looked up only in an object; a key whose value is
// JSON null counts as absent.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/qv_strlcpy.h"

namespace qv_reply {

// ---- look-ups ----

// The member `key` of `obj` (null when `obj` is not an object or has no such member).
inline json_object *member(json_object *obj, const char *key) {
    json_object *v = nullptr;
    if (obj == nullptr || !json_object_is_type(obj, json_type_object)) return nullptr;
    return json_object_object_get_ex(obj, key, &v) ? v : nullptr;
}

// The member only when it is of type `t`.
inline json_object *member_of(json_object *obj, const char *key, json_type t) {
    json_object *v = member(obj, key);
    return v != nullptr && json_object_is_type(v, t) ? v : nullptr;
}

// The array value of a member, or null when the member is missing or not an array.
inline json_object *array_member(json_object *obj, const char *key) {
    return member_of(obj, key, json_type_array);
}

// Element `i` of an array (null when `arr` is not an array or `i` is out of range).
inline json_object *element(json_object *arr, size_t i) {
    if (arr == nullptr || !json_object_is_type(arr, json_type_array)) return nullptr;
    if (i >= json_object_array_length(arr)) return nullptr;
    return json_object_array_get_idx(arr, i);
}

// Element 0 of an array, or null when `arr` is no array or is empty.
inline json_object *first(json_object *arr) {
    return element(arr, 0);
}

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

// Number of elements: 0 when `arr` is absent or no array.
inline size_t count(json_object *arr) {
    return arr != nullptr && json_object_is_type(arr, json_type_array) ? json_object_array_length(arr) : 0;
}

// Number of elements, or -1 when the value is absent or no array.
inline long length(json_object *arr) {
    if (arr == nullptr || !json_object_is_type(arr, json_type_array)) return -1;
    return static_cast<long>(json_object_array_length(arr));
}

// ---- numbers of a value ----

inline int32_t read32(json_object *v) {
    return json_object_get_int(v);
}
inline int64_t read64(json_object *v) {
    return json_object_get_int64(v);
}

// A 64-bit read; when it is negative, the 32-bit read taken as unsigned (a size sent as a negative
// 32-bit number v becomes v + 2^32).
inline int64_t read64_unsigned_fallback(json_object *v) {
    int64_t x = json_object_get_int64(v);
    if (x < 0) x = static_cast<uint32_t>(json_object_get_int(v));
    return x;
}

// ---- numbers of a member (0 when absent) ----

inline int32_t i32(json_object *obj, const char *name) {
    json_object *v = member(obj, name);
    return v ? json_object_get_int(v) : 0;
}

inline int64_t i64(json_object *obj, const char *name) {
    json_object *v = member(obj, name);
    return v ? json_object_get_int64(v) : 0;
}

// A 32-bit value widened with its sign.
inline int64_t i32_wide(json_object *obj, const char *name) {
    return static_cast<int64_t>(i32(obj, name));
}

// A 32-bit value taken as unsigned.
inline int64_t u32_wide(json_object *obj, const char *name) {
    return static_cast<int64_t>(static_cast<uint32_t>(i32(obj, name)));
}

inline int64_t i64_unsigned_fallback(json_object *obj, const char *name) {
    json_object *v = member(obj, name);
    return v ? read64_unsigned_fallback(v) : 0;
}

// A required member read as a 32-bit integer into `*out`: 0, or QV_ERR_ARG after logging `missing`
// (debug level) with `*out` untouched.
inline int need_int(json_object *obj, const char *key, int32_t *out, const char *missing) {
    json_object *v = member(obj, key);
    if (v == nullptr) {
        QV_LOG_DEBUG("%s", missing);
        return QV_ERR_ARG;
    }
    *out = json_object_get_int(v);
    return QV_OK;
}

// ---- texts ----

// A string's text, or the JSON text of any other value (null only for a null value).
inline const char *text(json_object *v) {
    return v != nullptr ? json_object_get_string(v) : nullptr;
}

// The text of a member, or null when absent.
inline const char *text(json_object *obj, const char *key) {
    return text(member(obj, key));
}

// Copies a value's text into a fixed array, cut to N - 1 bytes and always terminated.
template <size_t N>
inline void copy_text(char (&dst)[N], json_object *v) {
    qv_strlcpy(dst, text(v), N);
}

// The part of `path` after its last '/', the whole path when it has none.
inline const char *last_component(const char *path) {
    const char *slash = nullptr;
    for (const char *p = path; *p; ++p)
        if (*p == '/') slash = p;
    return slash ? slash + 1 : path;
}

// ---- holders ----

// A zeroed heap block; a process without memory cannot go on, so it stops naming the field.
template <typename T>
T *zalloc(const char *what, size_t n = 1) {
    void *p = std::calloc(n == 0 ? 1 : n, sizeof(T));
    if (p == nullptr) {
        QV_LOG_ERROR("%s", what);
        std::abort();
    }
    return static_cast<T *>(p);
}

}  // namespace qv_reply
