// Small readers shared by the reply parsers: member lookup that treats JSON null as missing, the first
// element of an array-shaped "data", bounded text copies and zeroed allocations that stop the process
// when memory is gone.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdlib>

#include "codec/json_reads.h"
#include "codec/qv_strlcpy.h"
#include "link/qv_log.h"

namespace qv_reply {

// The member `key` of an object, or null when `obj` is no object or the key is absent.
inline constexpr auto &member = qv::jr::member;

// Element 0 of an array, or null when `arr` is no array or is empty.
inline json_object *first(json_object *arr) { return qv::jr::element(arr, 0); }

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
