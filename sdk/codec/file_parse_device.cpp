#include "codec/file_parse_device.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/chunk_check.h"
#include "codec/file_process.h"
#include "codec/qv_strlcpy.h"
#include "codec/reply_json.h"
#include "link/base64.h"

using qv_reply::element;
using qv_reply::member;

namespace {

// A parsed chunk, released when it goes out of scope.
struct Doc {
    json_object *root = nullptr;
    Doc() = default;
    explicit Doc(const char *text) : root(text ? json_tokener_parse(text) : nullptr) {}
    ~Doc() {
        if (root) json_object_put(root);
    }
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;
};

// Parses the chunk of a streamed task reply into `doc`; false, after logging, when the chunk or the task
// is missing or the chunk is not JSON.
bool open_chunk(Doc *doc, const char *chunk, const client_file_task *task) {
    if (chunk == nullptr || task == nullptr) {
        QV_LOG_ERROR("access NULL");
        return false;
    }
    doc->root = json_tokener_parse(chunk);
    if (doc->root == nullptr) {
        QV_LOG_ERROR("access NULL");
        return false;
    }
    return true;
}

// Strict Base64 of the link layer into a byte string.
bool decode_base64(const char *text, std::string *out) {
    size_t n = 0;
    unsigned char *bytes = base64_decode(&n, std::strlen(text), text);
    if (bytes == nullptr) return false;
    out->assign(reinterpret_cast<char *>(bytes), n);
    std::free(bytes);
    return true;
}

char *dup_text(const char *text) {
    if (text == nullptr) text = "";
    const size_t len = std::strlen(text);
    char *buf = static_cast<char *>(std::malloc(len + 1));
    if (buf == nullptr) {
        QV_LOG_ERROR("text copy != NULL");
        std::abort();
    }
    std::memcpy(buf, text, len + 1);
    return buf;
}

// Replaces an owned text slot with a fresh copy (or with nothing).
void replace_text(char **slot, char *text) {
    std::free(*slot);
    *slot = text;
}

}  // namespace

// ---- row parsers ----

int Parser_FileIsExist(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    json_object *status = member(element(data, 0), "status");
    if (status == nullptr) return QV_ERR_ARG;
    info->status = json_object_get_int(status);
    return 0;
}

int parser_OtaQuery(client_info *info, uint16_t code, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    json_object *v = member(data, "status");
    if (v == nullptr) {
        QV_LOG_ERROR("JSON_GET_OBJECT failed");
        return QV_ERR_ARG;
    }
    info->status = json_object_get_int(v);
    QV_LOG_DEBUG("p_client_info->status = %d", info->status);
    if (info->status == 1) {
        json_object *verinfo = member(data, "verinfo");
        if (code == 163) {
            if ((v = member(data, "delay")) == nullptr) {
                QV_LOG_ERROR("JSON_GET_OBJECT failed");
                return QV_ERR_ARG;
            }
            info->delay = json_object_get_int(v);
            QV_LOG_DEBUG("p_client_info->delay = %d", info->delay);
            if ((v = member(verinfo, "version")) != nullptr) {
                qv_strlcpy(info->ver, json_object_get_string(v));
                QV_LOG_DEBUG("p_client_info->svi->version = %s", info->ver);
            }
        } else {
            soft_version_info *svi = info->svi;
            if (verinfo == nullptr || svi == nullptr) {
                QV_LOG_ERROR("JSON_GET_OBJECT failed");
                return QV_ERR_ARG;
            }
            if ((v = member(verinfo, "productId")) == nullptr) {
                QV_LOG_ERROR("JSON_GET_OBJECT failed");
                return QV_ERR_ARG;
            }
            qv_strlcpy(svi->product, json_object_get_string(v));
            QV_LOG_DEBUG("p_client_info->svi->product = %s", svi->product);
            if ((v = member(verinfo, "version")) == nullptr) {
                QV_LOG_ERROR("JSON_GET_OBJECT failed");
                return QV_ERR_ARG;
            }
            qv_strlcpy(svi->version, json_object_get_string(v));
            QV_LOG_DEBUG("p_client_info->svi->version = %s", svi->version);
            if ((v = member(verinfo, "description")) == nullptr) {
                QV_LOG_ERROR("JSON_GET_OBJECT failed");
                return QV_ERR_ARG;
            }
            qv_strlcpy(svi->description, json_object_get_string(v));
            QV_LOG_DEBUG("p_client_info->svi->description = %s", svi->description);
            if ((v = member(verinfo, "size")) == nullptr) {
                QV_LOG_ERROR("JSON_GET_OBJECT failed");
                return QV_ERR_ARG;
            }
            svi->size = json_object_get_int64(v);
            QV_LOG_DEBUG("p_client_info->svi->size = %lld", static_cast<long long>(svi->size));
        }
    }
    info->force = json_object_get_int(member(data, "force"));  // 0 when missing
    QV_LOG_DEBUG("p_client_info->force = %d", info->force);
    return 0;
}

int Parser_Ota_Status_Get(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    ota_info *o = info->otaInfo;
    if (o == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *v = nullptr;
    if ((v = member(data, "status")) != nullptr) {
        o->status = json_object_get_int(v);
        QV_LOG_DEBUG("status = %d", o->status);
    }
    if ((v = member(data, "process")) != nullptr) {
        o->process = json_object_get_int(v);
        QV_LOG_DEBUG("offset = %d", o->process);
    }
    if ((v = member(data, "total")) != nullptr) {
        o->total = json_object_get_int(v);
        QV_LOG_DEBUG("totalCount = %d", o->total);
    }
    if ((v = member(data, "deviceId")) != nullptr) {
        qv_strlcpy(o->deviceId, json_object_get_string(v));
        QV_LOG_DEBUG("deviceId = %s", o->deviceId);
    }
    if ((v = member(data, "target_ver")) != nullptr) {
        qv_strlcpy(o->target_ver, json_object_get_string(v));
        QV_LOG_DEBUG("target_ver = %s", o->target_ver);
    }
    if ((v = member(data, "current_ver")) != nullptr) {
        qv_strlcpy(o->current_ver, json_object_get_string(v));
        QV_LOG_DEBUG("current_ver = %s", o->current_ver);
    }
    return 0;
}

int Parser_P2PGetClientInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    json_object *e0 = element(data, 0);
    json_object *mode = member(e0, "p2p_mode");
    json_object *nat = member(e0, "nat_type");
    json_object *ip = member(e0, "ip_addr");
    if (mode == nullptr || nat == nullptr || ip == nullptr || info->p2pInfo == nullptr) return QV_ERR_ARG;
    info->p2pInfo->mode = static_cast<uint8_t>(json_object_get_int(mode));
    info->p2pInfo->nat_type = static_cast<uint8_t>(json_object_get_int(nat));
    qv_strlcpy(info->p2pInfo->remote_ip, json_object_get_string(ip));
    return 0;
}

int parser_DeviceStatusExec(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) return 0;
    if (json_object *v = member(data, "status")) info->status = json_object_get_int(v);
    QV_LOG_DEBUG("status = %d", info->status);
    return 0;
}

int parser_ReservePush(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_ERROR("JSON_GET_OBJECT failed");
        return QV_ERR_ARG;
    }
    json_object *e0 = element(data, 0);
    if (e0 == nullptr) return QV_ERR_ARG;
    json_object *v = member(e0, "sequenceId");
    if (v == nullptr) {
        QV_LOG_ERROR("JSON_GET_OBJECT failed");
        return QV_ERR_ARG;
    }
    QV_LOG_DEBUG("sequenceId: %lld", static_cast<long long>(json_object_get_int64(v)));
    return 0;
}

// ---- streamed-reply parsers ----

int parser_FileTaskOta(const char *chunk, client_file_task *task) {
    Doc doc;
    if (!open_chunk(&doc, chunk, task)) return 0;
    if (const int rc = chunk_answers_other_cmd(doc.root, task)) return rc;
    json_object *data = member(doc.root, "data");
    if (data == nullptr) return 0;
    json_object *v = nullptr;
    if ((v = member(data, "status")) != nullptr) {
        // A chunk with a status carries no progress.
        task->status = json_object_get_int(v);
        if ((v = member(data, "delay")) != nullptr) {
            task->delay = json_object_get_int(v);
            QV_LOG_DEBUG("delay=%d", task->delay);
        }
        if ((v = member(member(data, "verinfo"), "version")) != nullptr) {
            qv_strlcpy(task->version, json_object_get_string(v));
            QV_LOG_DEBUG("ver=%s", task->version);
        }
    } else if ((v = member(data, "process")) != nullptr) {
        task->cur_progress = json_object_get_int(v);
        if ((v = member(data, "total")) == nullptr) {
            QV_LOG_ERROR("access NULL");
            return 0;
        }
        task->total_progress = json_object_get_int(v);
        if ((v = member(data, "reserved")) != nullptr) {
            std::string decoded;
            const char *text = json_object_get_string(v);
            if (text != nullptr && decode_base64(text, &decoded)) {
                replace_text(&task->reserved, dup_text(decoded.c_str()));
                QV_LOG_DEBUG("reserved=%s", task->reserved);
            } else {
                replace_text(&task->reserved, nullptr);
                QV_LOG_ERROR("reserved is not Base64");
            }
        }
    } else {
        QV_LOG_ERROR("access NULL");
    }
    return 0;
}

int parser_DeviceTaskExec(const char *chunk, client_file_task *task) {
    Doc doc;
    if (!open_chunk(&doc, chunk, task)) return 0;
    if (const int rc = chunk_answers_other_cmd(doc.root, task)) return rc;
    json_object *data = member(doc.root, "data");
    if (data == nullptr) return 0;
    json_object *e0 = element(data, 0);
    if (e0 == nullptr) {
        QV_LOG_ERROR("access NULL");
        return 0;
    }
    json_object *v = nullptr;
    if ((v = member(e0, "devStatus")) != nullptr) task->dev_status = json_object_get_int(v);
    if ((v = member(e0, "status")) != nullptr) task->status = json_object_get_int(v);
    if ((v = member(e0, "curProcess")) == nullptr) {
        QV_LOG_ERROR("access NULL");
        return 0;
    }
    task->cur_progress = json_object_get_int(v);
    if ((v = member(e0, "totalProcess")) == nullptr) {
        QV_LOG_ERROR("access NULL");
        return 0;
    }
    task->total_progress = json_object_get_int(v);
    return 0;
}

int parser_FileTaskConnectDevice(const char *chunk, client_file_task *task) {
    Doc doc;
    if (!open_chunk(&doc, chunk, task)) return QV_ERR_ARG;
    if (const int rc = chunk_answers_other_cmd(doc.root, task)) return rc;
    json_object *data = member(doc.root, "data");
    if (data == nullptr) {
        QV_LOG_ERROR("JSON_GET_OBJECT failed");
        return QV_ERR_ARG;
    }
    json_object *v = nullptr;
    if ((v = member(data, "status")) != nullptr) task->status = json_object_get_int(v);
    // The listener frees each text and empties its slot; one still there is replaced, not leaked.
    if ((v = member(member(data, "usbInfo"), "usbValue")) != nullptr)
        replace_text(&task->usb_value, dup_text(json_object_get_string(v)));
    if ((v = member(member(data, "userdbInfo"), "userdbValue")) != nullptr)
        replace_text(&task->userdb_value, dup_text(json_object_get_string(v)));
    if ((v = member(member(data, "recentdbInfo"), "recentdbValue")) != nullptr)
        replace_text(&task->recentdb_value, dup_text(json_object_get_string(v)));
    return 0;
}

int parser_FileTaskOpt(const char *chunk, client_file_task *task) {
    if (chunk == nullptr || task == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    Doc doc(chunk);
    json_object *header = member(doc.root, "header");
    if (header == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    if (const int rc = chunk_answers_other_cmd(doc.root, task)) return rc;
    const int error = json_object_get_int(member(header, "error"));  // 0 when absent
    if (error != 0) {
        QV_LOG_ERROR("file task error:%d", error);
        return error;
    }
    json_object *data = member(doc.root, "data");
    if (data == nullptr) return 0;
    json_object *e0 = element(data, 0);
    if (e0 == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    if (json_object *v = member(e0, "status")) task->status = json_object_get_int(v);
    QV_LOG_DEBUG("status = %d", task->status.load());
    if (task->status == 1) {
        if (json_object *v = member(e0, "curCount")) {
            task->cur_progress = json_object_get_int(v);
            QV_LOG_DEBUG("cur_progress = %lld", static_cast<long long>(task->cur_progress.load()));
        }
        if (json_object *v = member(e0, "totalCount")) {
            task->total_progress = json_object_get_int(v);
            QV_LOG_DEBUG(" total_progress = %lld", static_cast<long long>(task->total_progress.load()));
        }
    }
    return 0;
}
