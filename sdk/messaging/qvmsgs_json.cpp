#include "messaging/qvmsgs_json.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/qv_log.h"

namespace {

struct JsonRef {
    json_object *o;
    explicit JsonRef(json_object *obj) : o(obj) {}
    ~JsonRef() { json_object_put(o); }
    JsonRef(const JsonRef &) = delete;
    JsonRef &operator=(const JsonRef &) = delete;
};

char *dup_text(const char *s) {
    return strdup(s ? s : "");
}

// A string value as it is; any other value as its JSON text.
const char *value_text(json_object *v) {
    return json_object_is_type(v, json_type_string) ? json_object_get_string(v)
                                                    : json_object_to_json_string(v);
}

json_object *parse_object(const char *text) {
    if (!text) return nullptr;
    json_object *o = json_tokener_parse(text);
    if (o && !json_object_is_type(o, json_type_object)) {
        json_object_put(o);
        return nullptr;
    }
    return o;
}

char *serialise(json_object *o) {
    const char *s = json_object_to_json_string(o);
    if (!s) {
        QV_LOG_ERROR("JSON_TO_STRING failed");
        return nullptr;
    }
    return strdup(s);
}

int64_t now_ms_realtime() {
    return static_cast<int64_t>(std::time(nullptr)) * 1000;
}

}  // namespace

const char *qvmsgs_topic_tail(const char *topic) {
    if (!topic) return "";
    if (const char *at = std::strrchr(topic, '@')) return at + 1;
    if (const char *sl = std::strrchr(topic, '/')) return sl + 1;
    return topic;
}

qvmsgs_p2p_task *qvmsgs_parse_json_to_p2p_task(const char *text) {
    json_object *root = parse_object(text);
    if (!root) {
        QV_LOG_ERROR("json is null");
        return nullptr;
    }
    JsonRef guard(root);
    json_object *from = nullptr, *id = nullptr, *services = nullptr, *code = nullptr, *msg = nullptr;
    json_object_object_get_ex(root, "fromId", &from);
    json_object_object_get_ex(root, "msgId", &id);
    json_object_object_get_ex(root, "services", &services);
    json_object_object_get_ex(root, "error_code", &code);
    json_object_object_get_ex(root, "error_msg", &msg);
    if (!from || !id || !services || !json_object_is_type(from, json_type_string) ||
        !(json_object_is_type(id, json_type_int))) {
        QV_LOG_ERROR("json header(%p)/msgid(%p)/data(%p) is null", static_cast<void *>(from),
                     static_cast<void *>(id), static_cast<void *>(services));
        return nullptr;
    }
    auto *task = new qvmsgs_p2p_task;
    if (code) task->error_code = json_object_get_int(code);
    if (msg) task->error_msg = dup_text(value_text(msg));
    task->fromId = dup_text(json_object_get_string(from));
    task->msgId = json_object_get_int64(id);
    task->services = dup_text(value_text(services));
    return task;
}

void qvmsgs_free_p2p_task(qvmsgs_p2p_task *task) {
    if (!task) return;
    free(task->services);
    free(task->resp_services);
    free(task->fromId);
    free(task->error_msg);
    delete task;
}

char *qvmsgs_parse_serviceinfo_by_bc(const char *text) {
    json_object *root = parse_object(text);
    if (!root) {
        QV_LOG_ERROR("json is null");
        return nullptr;
    }
    JsonRef guard(root);
    json_object *services = nullptr;
    if (!json_object_object_get_ex(root, "services", &services) || !services) return nullptr;
    char *out = strdup(value_text(services));
    if (!out) QV_LOG_ERROR("data NULL error...");
    return out;
}

char *qvmsgs_make_response_p2p_message_json(int from_type, int64_t msg_id, const char *listener_topic,
                                            const char *resp_services, int error_code,
                                            const char *error_msg) {
    JsonRef o(json_object_new_object());
    char from_id[128];
    std::snprintf(from_id, sizeof from_id, "%s", qvmsgs_topic_tail(listener_topic));
    json_object_object_add(o.o, "msgType", json_object_new_string("getResp"));
    json_object_object_add(o.o, "fromId", json_object_new_string(from_id));
    json_object_object_add(o.o, "fromType", json_object_new_int(from_type));
    json_object_object_add(o.o, "msgId", json_object_new_int64(msg_id));
    json_object_object_add(o.o, "msgDate", json_object_new_int64(now_ms_realtime()));
    json_object_object_add(o.o, "error_code", json_object_new_int(error_code));
    json_object_object_add(o.o, "error_msg", json_object_new_string(error_msg ? error_msg : ""));
    json_object_object_add(o.o, "services", json_object_new_string(resp_services ? resp_services : ""));
    return serialise(o.o);
}

char *qvmsgs_make_p2p_message_json(const char *from_id, int from_type, int64_t msg_id, const char *services) {
    JsonRef o(json_object_new_object());
    json_object_object_add(o.o, "msgType", json_object_new_string("get"));
    json_object_object_add(o.o, "fromId", json_object_new_string(from_id ? from_id : ""));
    json_object_object_add(o.o, "fromType", json_object_new_int(from_type));
    json_object_object_add(o.o, "msgId", json_object_new_int64(msg_id));
    json_object_object_add(o.o, "msgDate", json_object_new_int64(now_ms_realtime()));
    json_object_object_add(o.o, "services", json_object_new_string(services ? services : ""));
    return serialise(o.o);
}
