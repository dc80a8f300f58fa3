// Reading and building the JSON of requests and replies, shared by the handler files.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>

namespace qvemu::js {

// Member `k` of object `o`, or null (also for a null `o`).
inline json_object *get(json_object *o, const char *k) {
    json_object *v = nullptr;
    return (o != nullptr && json_object_object_get_ex(o, k, &v)) ? v : nullptr;
}
inline bool has(json_object *o, const char *k) {
    return get(o, k) != nullptr;
}
inline int geti(json_object *o, const char *k, int def = 0) {
    json_object *v = get(o, k);
    return v != nullptr ? json_object_get_int(v) : def;
}
inline int64_t geti64(json_object *o, const char *k, int64_t def = 0) {
    json_object *v = get(o, k);
    return v != nullptr ? json_object_get_int64(v) : def;
}
inline std::string gets(json_object *o, const char *k) {
    json_object *v = get(o, k);
    const char *s = v != nullptr ? json_object_get_string(v) : nullptr;
    return s != nullptr ? s : "";
}

// A small object builder; the caller takes `o` (or hands it to a reply helper).
struct Obj {
    json_object *o = json_object_new_object();
    Obj &i(const char *k, int64_t v) {
        json_object_object_add(o, k, json_object_new_int64(v));
        return *this;
    }
    Obj &d(const char *k, double v) {
        json_object_object_add(o, k, json_object_new_double(v));
        return *this;
    }
    Obj &s(const char *k, const std::string &v) {
        json_object_object_add(o, k, json_object_new_string(v.c_str()));
        return *this;
    }
    Obj &put(const char *k, json_object *v) {
        json_object_object_add(o, k, v);
        return *this;
    }
};

}  // namespace qvemu::js
