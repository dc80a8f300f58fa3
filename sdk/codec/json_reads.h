// Small json-c readers for the reply parsers: typed member look-ups and the
// device's number readings (32-bit reads clamp, 64-bit reads, unsigned fallback).
#pragma once

#include <json-c/json.h>

#include <cstdint>

namespace qv::jr {

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

// Element `i` of an array (null when `arr` is not an array or `i` is out of range).
inline json_object *element(json_object *arr, size_t i) {
    if (arr == nullptr || !json_object_is_type(arr, json_type_array)) return nullptr;
    if (i >= json_object_array_length(arr)) return nullptr;
    return json_object_array_get_idx(arr, i);
}

inline size_t length(json_object *arr) {
    return arr != nullptr && json_object_is_type(arr, json_type_array) ? json_object_array_length(arr) : 0;
}

inline int32_t read32(json_object *v) { return json_object_get_int(v); }
inline int64_t read64(json_object *v) { return json_object_get_int64(v); }

// A 64-bit read; when it is negative, the 32-bit read taken as unsigned.
inline int64_t read64_unsigned_fallback(json_object *v) {
    int64_t x = json_object_get_int64(v);
    if (x < 0) x = static_cast<uint32_t>(json_object_get_int(v));
    return x;
}

// The string of a member, or null when absent.
inline const char *text(json_object *obj, const char *key) {
    json_object *v = member(obj, key);
    return v != nullptr ? json_object_get_string(v) : nullptr;
}

// The part of `path` after its last '/', the whole path when it has none.
inline const char *last_component(const char *path) {
    const char *slash = nullptr;
    for (const char *p = path; *p; ++p)
        if (*p == '/') slash = p;
    return slash ? slash + 1 : path;
}

}  // namespace qv::jr
