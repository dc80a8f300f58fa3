// Small readers over a parsed device reply, shared by the listing, task and transfer reply parsers.
// A key is looked up only in an object; a key whose value is JSON null counts as absent.
#pragma once

#include <json-c/json.h>

#include <cstdint>

namespace reply_reads {

inline json_object *key(json_object *obj, const char *name) {
    json_object *v = nullptr;
    if (obj == nullptr || !json_object_is_type(obj, json_type_object)) return nullptr;
    if (!json_object_object_get_ex(obj, name, &v)) return nullptr;
    return v;
}

// Element i of an array; null for a missing element, a JSON null element or a value that is no array.
inline json_object *at(json_object *arr, size_t i) {
    if (arr == nullptr || !json_object_is_type(arr, json_type_array)) return nullptr;
    if (i >= json_object_array_length(arr)) return nullptr;
    return json_object_array_get_idx(arr, i);
}

// Number of elements, or -1 when the value is absent or no array.
inline long length(json_object *arr) {
    if (arr == nullptr || !json_object_is_type(arr, json_type_array)) return -1;
    return static_cast<long>(json_object_array_length(arr));
}

inline int32_t i32(json_object *obj, const char *name) {
    json_object *v = key(obj, name);
    return v ? json_object_get_int(v) : 0;
}

inline int64_t i64(json_object *obj, const char *name) {
    json_object *v = key(obj, name);
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

// The 64-bit reading; when negative, the 32-bit reading taken as unsigned (a size sent as a negative
// 32-bit number v becomes v + 2^32).
inline int64_t i64_unsigned_fallback(json_object *obj, const char *name) {
    const int64_t v = i64(obj, name);
    return v < 0 ? u32_wide(obj, name) : v;
}

// The string, or null when absent or not a text.
inline const char *str(json_object *obj, const char *name) {
    json_object *v = key(obj, name);
    return v ? json_object_get_string(v) : nullptr;
}

}  // namespace reply_reads
