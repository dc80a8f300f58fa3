// Small helpers shared by the request builders: a parameter object that is released unless handed on,
// the low-32-bit view of 64-bit fields, bounded reads of inline texts, and the finishing steps.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <cstring>

#include "base/qv_errors.h"
#include "codec/client_info.h"

namespace qv_req {

// The low 32 bits of a 64-bit field, read as signed (the device reads these members as 32-bit).
inline int32_t low32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

// A JSON object under construction; released on scope exit unless `release` handed it on.
class Params {
  public:
    Params() : obj_(json_object_new_object()) {}
    ~Params() {
        if (obj_ != nullptr) json_object_put(obj_);
    }
    Params(const Params &) = delete;
    Params &operator=(const Params &) = delete;

    bool ok() const { return obj_ != nullptr; }
    json_object *get() const { return obj_; }
    json_object *release() {
        json_object *o = obj_;
        obj_ = nullptr;
        return o;
    }

    Params &i(const char *key, int32_t v) { return add(key, json_object_new_int(v)); }
    Params &i64(const char *key, int64_t v) { return add(key, json_object_new_int64(v)); }
    // `v` must not be null (the builders check their inputs before they build).
    Params &s(const char *key, const char *v) { return add(key, json_object_new_string(v)); }
    // An inline text array: at most N - 1 characters, never read past its end even without a NUL.
    template <size_t N>
    Params &text(const char *key, const char (&v)[N]) {
        static_assert(N > 1);
        return add(key, json_object_new_string_len(v, static_cast<int>(strnlen(v, N - 1))));
    }
    Params &add(const char *key, json_object *v) {
        if (obj_ != nullptr)
            json_object_object_add(obj_, key, v);
        else
            json_object_put(v);
        return *this;
    }

  private:
    json_object *obj_;
};

// An inline text of at most `cap` bytes as a JSON string (cut at the first NUL or at `cap`).
inline json_object *bounded_string(const char *v, size_t cap) {
    return json_object_new_string_len(v, static_cast<int>(strnlen(v, cap)));
}

// Logs a missing required input of a builder; always false, so `if (!need(...)) return QV_ERR_ARG;`
// reads well.
bool missing(const client_info *info, const char *what);

// True when `p` is set; otherwise logs the missing input.
inline bool need(const client_info *info, const void *p, const char *what) {
    return p != nullptr || missing(info, what);
}

// True when the path record and its text are set.
inline bool need_path(const client_info *info, const path_info *p, const char *what) {
    return need(info, p, what) && need(info, p->path, what);
}

// True when every entry of a null-terminated path list has its text; otherwise logs the missing input.
inline bool need_entry_paths(const client_info *info, path_info *const *list) {
    for (path_info *const *it = list; *it != nullptr; ++it)
        if (!need(info, (*it)->path, "pathList entry path")) return false;
    return true;
}

// A checked null-terminated path list as an array of {"filePath", "srcBucketId"}, in list order.
inline json_object *file_path_array(path_info *const *list) {
    json_object *files = json_object_new_array();
    for (path_info *const *it = list; *it != nullptr; ++it) {
        Params entry;
        entry.s("filePath", (*it)->path).i("srcBucketId", (*it)->bucketId);
        json_object_array_add(files, entry.release());
    }
    return files;
}

// Sends `params` as the one element of the "data" array; for a cacheable command (its row says so) also
// stores the command-cache key made from the parameter object's own text. Returns 0.
int finish_array(client_info *info, Params &params);

// Sends `params` itself as "data" (the object-form commands). Returns 0.
int finish_object(client_info *info, Params &params);

}  // namespace qv_req
