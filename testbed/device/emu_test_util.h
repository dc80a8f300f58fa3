// Helpers of the emulator's tests that read its replies: the cipher key the raw client uses, an owned
// parsed JSON value and a member lookup.
#pragma once

#include <json-c/json.h>

#include <memory>

#include "qv_config.h"

namespace emutest {

inline const unsigned char *key() {
    return reinterpret_cast<const unsigned char *>(QV_CIPHER_KEY);
}

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

// Member `k` of an object; null when absent or when `o` is no object.
inline json_object *member(json_object *o, const char *k) {
    json_object *v = nullptr;
    json_object_object_get_ex(o, k, &v);
    return v;
}

}  // namespace emutest
