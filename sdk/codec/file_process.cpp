#include "codec/file_process.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/json_text.h"

namespace {

// Copies a text into a new heap buffer; a process without memory cannot go on.
char *dup_or_die(const char *text, size_t len, const char *what) {
    char *buf = static_cast<char *>(std::calloc(len + 1, 1));
    if (buf == nullptr) {
        QV_LOG_ERROR("%s", what);
        std::abort();
    }
    std::memcpy(buf, text, len);
    return buf;
}

void release_reply(client_info *info) {
    if (info->r_json != nullptr) {
        json_object_put(info->r_json);
        info->r_json = nullptr;
    }
}

}  // namespace

const file_cmd_row *file_cmd_row_of(int32_t cmd) {
    return file_cmd_find(file_cmd_table(), QV_FILE_CMD_COUNT, cmd, nullptr);
}

bool file_cmd_is_streamed(int32_t cmd) {
    const file_cmd_row *row = file_cmd_row_of(cmd);
    return row != nullptr && (row->flags & QV_CMD_STREAMED) != 0;
}

qv_cache_db file_cmd_cache_db(int32_t cmd) {
    const file_cmd_row *row = file_cmd_row_of(cmd);
    return row != nullptr ? row->cache : QV_CACHE_NONE;
}

bool file_cmd_has_token(int32_t cmd) {
    const file_cmd_row *row = file_cmd_row_of(cmd);
    return row == nullptr || (row->flags & QV_CMD_NO_TOKEN) == 0;
}

const file_cmd_row *file_cmd_find(const file_cmd_row *rows, size_t count, int32_t cmd, int *index) {
    if (rows == nullptr || cmd < 0 || cmd > 0xffff) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (rows[i].code == cmd) {
            if (index != nullptr) *index = static_cast<int>(i);
            return &rows[i];
        }
    }
    return nullptr;
}

int file_process(client_info *info) {
    return file_process_rows(info, file_cmd_table(), QV_FILE_CMD_COUNT);
}

int file_process_rows(client_info *info, const file_cmd_row *rows, size_t count) {
    if (info == nullptr || rows == nullptr) return QV_ERR_NOT_BUILT;
    // Codes are unique, so at most one row matches; the walk still covers the whole table.
    bool matched = false;
    for (size_t i = 0; i < count; ++i) {
        if (info->cmd < 0 || info->cmd > 0xffff || rows[i].code != info->cmd) continue;
        matched = true;
        if (rows[i].builder == nullptr) {
            QV_LOG_ERROR("request builder %s of cmd %d is not available", rows[i].builder_name, info->cmd);
            return QV_ERR_NOT_BUILT;
        }
        if (rows[i].builder(info) != 0) return QV_ERR_NOT_BUILT;
    }
    if (!matched) {
        QV_LOG_ERROR("switch_flag == 0 Requestfun is UNKNOW? cmd= %d", info->cmd);
        return QV_ERR_CMD_NOT_FOUND;
    }
    return QV_OK;
}

int file_parse_header_json(client_info *info) {
    if (info == nullptr || info->recv_buf == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    release_reply(info);  // never leak a tree left from an earlier reply
    info->r_json = json_tokener_parse(info->recv_buf);
    if (info->r_json == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *header = nullptr;
    if (!json_object_object_get_ex(info->r_json, "header", &header) ||
        !json_object_is_type(header, json_type_object)) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    json_object *v = nullptr;
    info->cmd = json_object_object_get_ex(header, "cmd", &v) ? json_object_get_int(v) : 0;
    info->error = json_object_object_get_ex(header, "error", &v) ? json_object_get_int(v) : 0;
    if (json_object_object_get_ex(header, "token", &v)) info->token = json_object_get_int64(v);
    if (json_object_object_get_ex(header, "seq", &v))
        info->seq = static_cast<int64_t>(json_object_get_int(v));
    return QV_OK;
}

int file_parse_process(client_info *info) {
    return file_parse_process_rows(info, file_cmd_table(), QV_FILE_CMD_COUNT);
}

int file_parse_process_rows(client_info *info, const file_cmd_row *rows, size_t count) {
    if (info == nullptr) return QV_ERR_NOT_BUILT;
    // The reply is applied with the parser of the request's own code: a reply for another command
    // would otherwise run a parser that writes through pointers this request never set.
    const int32_t request_cmd = info->cmd;
    if (file_parse_header_json(info) != 0) {
        QV_LOG_ERROR("json is invalid");
        release_reply(info);
        return QV_ERR_NOT_BUILT;
    }

    int index = 0;
    const file_cmd_row *row = file_cmd_find(rows, count, request_cmd, &index);
    int result;
    if (row == nullptr || info->cmd != request_cmd) {
        if (row == nullptr)
            QV_LOG_ERROR("switch_flag == 0 Requestfun is UNKNOW? cmd= %d", info->cmd);
        else
            QV_LOG_ERROR("reply cmd %d does not answer request cmd %d", info->cmd, request_cmd);
        std::free(info->retstr);
        info->retstr = dup_or_die(QV_REPLY_UNMATCHED_TEXT, sizeof QV_REPLY_UNMATCHED_TEXT - 1,
                                  "p_client_info->retstr != NULL");
        result = QV_ERR_CMD_NOT_FOUND;
    } else if (row->parser == nullptr) {
        QV_LOG_ERROR("reply parser %s of cmd %d is not available", row->parser_name, request_cmd);
        result = QV_ERR_NO_PARSER;
    } else {
        result = row->parser(info, row->code, index, row);
    }
    if (info->error != 0) result = info->error;
    release_reply(info);
    return result;
}

void json_to_string(client_info *info, json_object *obj) {
    const std::string text = qv_json_text(obj);
    info->retstr = dup_or_die(text.data(), text.size(), "p_client_info->retstr != NULL");
}

void generate_cache_key(char **slot, const char *text, int cmd) {
    if (slot == nullptr || text == nullptr) {
        QV_LOG_ERROR("para is error");
        return;
    }
    const size_t size = std::strlen(text) + 64;
    char *key = static_cast<char *>(std::calloc(size, 1));
    if (key == nullptr) {
        QV_LOG_ERROR("cache key != NULL");
        std::abort();
    }
    std::snprintf(key, size, "cmd: %d, para: %s", cmd, text);
    *slot = key;
}

json_object *qv_request_header(const client_info *info) {
    json_object *header = json_object_new_object();
    const file_cmd_row *row = file_cmd_row_of(info->cmd);
    const uint8_t flags = row != nullptr ? row->flags : 0;
    json_object_object_add(header, "cmd", json_object_new_int(info->cmd));
    if ((flags & QV_CMD_NO_TOKEN) == 0)
        json_object_object_add(header, "token", json_object_new_int64(info->token));
    // The envelope carries the low 32 bits of the sequence number, read as signed.
    const auto seq32 = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(info->seq)));
    json_object_object_add(header, "seq", json_object_new_int(seq32));
    json_object_object_add(header, "error",
                           json_object_new_int((flags & QV_CMD_ZERO_ERROR) != 0 ? 0 : info->error));
    return header;
}

void qv_request_cache_key(client_info *info, json_object *param) {
    if (file_cmd_cache_db(info->cmd) == QV_CACHE_NONE) return;
    generate_cache_key(&info->cacheKey, qv_json_text(param).c_str(), info->cmd);
}

int qv_request_finish(client_info *info, json_object *data) {
    json_object *root = json_object_new_object();
    if (data != nullptr) json_object_object_add(root, "data", data);
    json_object_object_add(root, "header", qv_request_header(info));
    json_to_string(info, root);
    json_object_put(root);
    return QV_OK;
}

int Parser_NoData(client_info *, uint16_t, int, const file_cmd_row *) {
    return QV_OK;
}

// Header-only requests; the header form follows the code (see qv_request_header).
int Request_HeaderOnly(client_info *info) {
    return qv_request_finish(info, nullptr);
}

int Request_HeaderNoToken(client_info *info) {
    return qv_request_finish(info, nullptr);
}

int Request_ReservePush(client_info *info) {
    return qv_request_finish(info, nullptr);
}

// The user list has no parameters; its cache key is made from the command and the token, so that every
// session keeps its own cached list. The sequence number is left out: it changes with every request, and a
// key holding it would never be asked for again.
int Request_GetUserList(client_info *info) {
    json_object *root = json_object_new_object();
    json_object_object_add(root, "header", qv_request_header(info));
    json_to_string(info, root);
    json_object_put(root);
    json_object *key = json_object_new_object();
    json_object_object_add(key, "cmd", json_object_new_int(info->cmd));
    json_object_object_add(key, "token", json_object_new_int64(info->token));
    qv_request_cache_key(info, key);
    json_object_put(key);
    return QV_OK;
}
