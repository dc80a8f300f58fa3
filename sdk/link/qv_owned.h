// Ownership at the C boundary: unique_ptr forms of the heap objects the SDK hands between C-style calls
// (malloc'd texts and blocks, json-c trees, HTTP request objects, task records, stdio files). A function
// holds what it owns in one of these and gives it up with release() where ownership passes on; results
// still leave through plain out-parameters.
#pragma once

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/client_file_task.h"
#include "link/qvhttp.h"

namespace qv {

struct free_fn {
    void operator()(void *p) const noexcept { std::free(p); }
};
// A malloc'd block (free()).
template <typename T>
using c_ptr = std::unique_ptr<T, free_fn>;
// A malloc'd, zero-terminated text (free()).
using c_text = c_ptr<char>;

struct json_put_fn {
    void operator()(json_object *o) const noexcept { json_object_put(o); }
};
// A json-c tree (json_object_put()).
using json_ptr = std::unique_ptr<json_object, json_put_fn>;

struct request_destroy_fn {
    void operator()(qvhttp_request *r) const noexcept { qvhttp_request_destroy(r); }
};
// An HTTP request object (qvhttp_request_destroy()).
using request_ptr = std::unique_ptr<qvhttp_request, request_destroy_fn>;

struct task_free_fn {
    void operator()(client_file_task *t) const noexcept { client_file_task_free(t); }
};
// A task record (client_file_task_free()).
using task_ptr = std::unique_ptr<client_file_task, task_free_fn>;

struct fclose_fn {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};
// A stdio file (fclose()).
using file_ptr = std::unique_ptr<FILE, fclose_fn>;

}  // namespace qv
