// Small readers over a parsed device reply, shared by the listing, task and transfer reply parsers.
// A key is looked up only in an object; a key whose value is JSON null counts as absent.
#pragma once

#include <json-c/json.h>

#include <cstdint>

#include "codec/json_reads.h"

namespace reply_reads {

// Look-ups of the shared readers.
inline constexpr auto &key = qv::jr::member;
inline constexpr auto &at = qv::jr::element;

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
    json_object *v = key(obj, name);
    return v ? qv::jr::read64_unsigned_fallback(v) : 0;
}

// The string, or null when absent or not a text.
inline const char *str(json_object *obj, const char *name) {
    json_object *v = key(obj, name);
    return v ? json_object_get_string(v) : nullptr;
}

}  // namespace reply_reads
