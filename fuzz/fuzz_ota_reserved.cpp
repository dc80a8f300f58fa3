// A firmware update's reserved text as the device sends it: the bytes as the Base64 "reserved" member of a
// streamed 163 chunk (decoded by the chunk parser), and as the decoded JSON itself, into the reserved task
// list and the topics made from it.
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "codec/file_parse_device.h"
#include "runtime/ota_update.h"

namespace {

void build_list(const char *text) {
    client_info ci{};
    ci.reserved = strdup(text);
    _ota_reserved_process(&ci);
    if (ci.reserved_tasks.next != nullptr) {
        auto *head = reinterpret_cast<ota_reserved_task *>(&ci.reserved_tasks);
        for (auto *t = static_cast<ota_reserved_task *>(ci.reserved_tasks.next); t != head; t = t->next)
            if (t->topic[0] != '\0' && std::strlen(t->topic) > QV_OTA_TOPIC_MAX) std::abort();
    }
    ota_reserved_tasks_free(&ci);
    std::free(ci.reserved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        qv::set_log_enabled(false);
        return true;
    }();
    (void)once;
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    build_list(bytes.c_str());

    // The same bytes as the chunk's Base64 member.
    json_object *root = json_object_new_object();
    json_object *hdr = json_object_new_object();
    json_object_object_add(hdr, "cmd", json_object_new_int(163));
    json_object_object_add(root, "header", hdr);
    json_object *d = json_object_new_object();
    json_object_object_add(d, "process", json_object_new_int(10));
    json_object_object_add(d, "total", json_object_new_int(100));
    json_object_object_add(d, "reserved",
                           json_object_new_string_len(bytes.data(), static_cast<int>(bytes.size())));
    json_object_object_add(root, "data", d);
    const std::string chunk = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    json_object_put(root);
    client_file_task *task = client_file_task_new();
    task->cmd = 163;
    parser_FileTaskOta(chunk.c_str(), task);
    if (task->reserved != nullptr) build_list(task->reserved);
    client_file_task_free(task);
    return 0;
}
