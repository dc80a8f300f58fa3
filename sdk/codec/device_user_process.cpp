#include "codec/device_user_process.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/json_text.h"
#include "codec/qv_strlcpy.h"
#include "codec/reply_json.h"
#include "link/qv_owned.h"

using qv_reply::element;
using qv_reply::member;

namespace {

using HeaderOrder = device_user_header;

const device_user_row *row_of(int32_t cmd);

json_object *make_header(const client_info *info, HeaderOrder order) {
    json_object *h = json_object_new_object();
    // The envelope carries the low 32 bits of the sequence number, read as signed.
    const auto seq32 = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(info->seq)));
    auto add_seq = [&] { json_object_object_add(h, "seq", json_object_new_int(seq32)); };
    auto add_error = [&] { json_object_object_add(h, "error", json_object_new_int(info->error)); };
    auto add_token = [&] { json_object_object_add(h, "token", json_object_new_int64(info->token)); };
    json_object_object_add(h, "cmd", json_object_new_int(info->cmd));
    switch (order) {
        case HeaderOrder::SeqErrorToken:
            add_seq();
            add_error();
            add_token();
            break;
        case HeaderOrder::SeqError:
            add_seq();
            add_error();
            break;
        case HeaderOrder::SeqTokenError:
            add_seq();
            add_token();
            add_error();
            break;
        case HeaderOrder::TokenSeqError:
            add_token();
            add_seq();
            add_error();
            break;
    }
    return h;
}

// Writes the envelope: "data" (an array holding `params`, when not null; ownership passes) and then the
// header in the form of the command's row. The text goes into a new heap buffer in `retstr`; QV_ERR_ARG
// when the command has no row or no text could be made.
int finish(client_info *info, json_object *params) {
    qv::json_ptr owned_params(params);
    const device_user_row *row = row_of(info->cmd);
    qv::json_ptr root(row != nullptr ? json_object_new_object() : nullptr);
    if (root == nullptr) return QV_ERR_ARG;
    if (owned_params != nullptr) {
        json_object *data = json_object_new_array();
        json_object_array_add(data, owned_params.release());
        json_object_object_add(root.get(), "data", data);
    }
    json_object_object_add(root.get(), "header", make_header(info, row->header));
    const std::string text = qv_json_text(root.get());
    root.reset();
    if (text.empty()) return QV_ERR_ARG;
    char *buf = static_cast<char *>(std::malloc(text.size() + 1));
    if (buf == nullptr) return QV_ERR_ARG;
    std::memcpy(buf, text.c_str(), text.size() + 1);
    info->retstr = buf;
    return QV_OK;
}

// A text from a fixed field that may fill it completely without a terminator.
json_object *field_string(const char *field, size_t size) {
    return json_object_new_string_len(field, static_cast<int>(strnlen(field, size)));
}

// The checks every data parser starts with: a device error passes through; without a reply or its
// "data" the result is -1. Returns true and sets `*data` when the parser may go on.
bool common_checks(client_info *info, json_object **data, int *result) {
    if (info->error != 0) {
        *result = info->error;
        return false;
    }
    *data = member(info->r_json, "data");
    if (*data == nullptr) {
        QV_LOG_DEBUG("access NULL");
        *result = QV_ERR_ARG;
        return false;
    }
    return true;
}

// Copies the text of `key` of `obj` (cut to the field, always terminated); false when the key is missing.
template <size_t N>
bool copy_text(char (&dst)[N], json_object *obj, const char *key) {
    json_object *v = member(obj, key);
    if (v == nullptr) return false;
    qv_strlcpy(dst, json_object_get_string(v));
    return true;
}

bool read_int(int32_t *dst, json_object *obj, const char *key) {
    json_object *v = member(obj, key);
    if (v == nullptr) return false;
    *dst = json_object_get_int(v);
    return true;
}

void release_reply(client_info *info) {
    if (info->r_json != nullptr) {
        json_object_put(info->r_json);
        info->r_json = nullptr;
    }
}

constexpr device_user_row kRows[] = {
    {1, Request_GetDeviceVersion, Parser_GetDeviceVersion, "Parser_GetDeviceVersion",
     HeaderOrder::SeqErrorToken},
    {8, Request_DeviceUserEight, Parser_NotNecessary, "Parser_NotNecessary", HeaderOrder::SeqError},
    {12, Request_RegisterDevice, Parser_NotNecessary, "Parser_NotNecessary", HeaderOrder::SeqTokenError},
    {2, Request_Login, Parser_login, "Parser_login", HeaderOrder::SeqError},
    {3, Request_Logout, Parser_NotNecessary, "Parser_NotNecessary", HeaderOrder::SeqTokenError},
    {10, Request_GetBindCode, Parser_GetBindCode, "Parser_GetBindCode", HeaderOrder::SeqErrorToken},
    {11, Request_GetDeviceID, Parser_GetDeviceID, "Parser_GetDeviceID", HeaderOrder::SeqErrorToken},
    {15, Request_GetFuncList, Parser_GetFuncList, "Parser_GetFuncList", HeaderOrder::SeqErrorToken},
    {249, Request_RouterHeaderOnly, Parser_GetNasDeviceInfo, "Parser_GetNasDeviceInfo",
     HeaderOrder::TokenSeqError},
    {48, Request_RouterHeaderOnly, Parser_PassThrough, "Parser_PassThrough", HeaderOrder::TokenSeqError},
    {50, Request_RouterSetSyncTime, Parser_PassThrough, "Parser_PassThrough", HeaderOrder::TokenSeqError},
    {51, Request_RouterSetSyncSystem, Parser_PassThrough, "Parser_PassThrough", HeaderOrder::TokenSeqError},
    {52, Request_RouterHeaderOnly, Parse_GetFwVersion, "Parse_GetFwVersion", HeaderOrder::TokenSeqError},
    {54, Request_RouterHeaderOnly, Parse_GetOtaInfo, "Parse_GetOtaInfo", HeaderOrder::TokenSeqError},
    {55, Request_RouterHeaderOnly, Parse_GetVersionFlag, "Parse_GetVersionFlag", HeaderOrder::TokenSeqError},
    {56, Request_RouterSetVersionFlag, Parser_PassThrough, "Parser_PassThrough", HeaderOrder::TokenSeqError},
    {58, Request_RouterHeaderOnly, Parser_PassThrough, "Parser_PassThrough", HeaderOrder::TokenSeqError},
};

static_assert(sizeof kRows / sizeof kRows[0] == QV_DEVICE_USER_CMD_COUNT);

}  // namespace

const device_user_row *device_user_table() {
    return kRows;
}

namespace {

const device_user_row *row_of(int32_t cmd) {
    for (const device_user_row &row : kRows)
        if (static_cast<int32_t>(row.code) == cmd) return &row;
    return nullptr;
}

}  // namespace

// ---- builders ----

int Request_GetDeviceVersion(client_info *info) {
    return finish(info, nullptr);
}

int Request_DeviceUserEight(client_info *info) {
    return finish(info, json_object_new_object());
}

int Request_RegisterDevice(client_info *info) {
    if (info->deviceName == nullptr || info->deviceUuid == nullptr) {
        QV_LOG_ERROR("access NULL");
        return QV_ERR_ARG;
    }
    json_object *p = json_object_new_object();
    json_object_object_add(p, "devicename", json_object_new_string(info->deviceName));
    json_object_object_add(p, "deviceuuid", json_object_new_string(info->deviceUuid));
    return finish(info, p);
}

int Request_Login(client_info *info) {
    json_object *p = json_object_new_object();
    if (info->authCode != nullptr)
        json_object_object_add(p, "authCode", json_object_new_string(info->authCode));
    json_object_object_add(p, "port", json_object_new_int(info->loginPort));
    json_object_object_add(p, "statusFlag", json_object_new_int(info->statusFlag));
    return finish(info, p);
}

int Request_Logout(client_info *info) {
    return finish(info, nullptr);
}

int Request_GetBindCode(client_info *info) {
    return finish(info, nullptr);
}

int Request_GetDeviceID(client_info *info) {
    return finish(info, nullptr);
}

int Request_GetFuncList(client_info *info) {
    return finish(info, nullptr);
}

int Request_RouterHeaderOnly(client_info *info) {
    return finish(info, nullptr);
}

int Request_RouterSetSyncTime(client_info *info) {
    const time_sync_info *t = info->syncTime;
    if (t == nullptr) return QV_ERR_ARG;
    json_object *p = json_object_new_object();
    json_object_object_add(p, "time_value", field_string(t->time_value, sizeof t->time_value));
    json_object_object_add(p, "time_zone", field_string(t->time_zone, sizeof t->time_zone));
    return finish(info, p);
}

int Request_RouterSetSyncSystem(client_info *info) {
    const sys_sync_info *s = info->syncSystem;
    if (s == nullptr) return QV_ERR_ARG;
    json_object *p = json_object_new_object();
    json_object_object_add(p, "sync", json_object_new_int(s->sync));
    json_object_object_add(p, "clean_cache", json_object_new_int(s->clean_cache));
    return finish(info, p);
}

int Request_RouterSetVersionFlag(client_info *info) {
    json_object *p = json_object_new_object();
    json_object_object_add(p, "version_flag", json_object_new_int(info->version_flag));
    return finish(info, p);
}

// ---- dispatchers ----

int DeviceUser_RequestProcess(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    QV_LOG_DEBUG("p_client_info->cmd = %d", info->cmd);
    int result = QV_ERR_ARG;
    bool matched = false;
    // Codes are unique; the walk still covers every row.
    for (const device_user_row &row : kRows) {
        if (static_cast<int32_t>(row.code) != info->cmd) continue;
        matched = true;
        result = row.builder(info);
    }
    if (!matched) QV_LOG_ERROR("switch_flag == 0 Requestfun is UNKNOW cmd= %d", info->cmd);
    return result;
}

namespace {

// Parses the reply and applies its header; false when there is no usable header.
bool apply_header(client_info *info) {
    release_reply(info);  // never leak a tree left from an earlier reply
    if (info->recv_buf != nullptr) info->r_json = json_tokener_parse(info->recv_buf);
    json_object *header = member(info->r_json, "header");
    if (header == nullptr || !json_object_is_type(header, json_type_object)) {
        QV_LOG_DEBUG("access NULL");
        return false;
    }
    json_object *v = member(header, "cmd");
    info->cmd = v ? json_object_get_int(v) : 0;
    v = member(header, "error");
    info->error = v ? json_object_get_int(v) : 0;
    if ((v = member(header, "token")) != nullptr) info->token = json_object_get_int64(v);
    if ((v = member(header, "seq")) != nullptr) info->seq = static_cast<int64_t>(json_object_get_int(v));
    QV_LOG_DEBUG("SEND: header.cmd = %d,p_client_info->error=%d", info->cmd, info->error);
    return true;
}

}  // namespace

int DeviceUser_ParseHeaderJson(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    return apply_header(info) ? info->error : QV_ERR_ARG;
}

int DeviceUser_ParseProcess(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    QV_LOG_DEBUG("p_client_info->cmd = %d", info->cmd);
    if (!apply_header(info)) {
        release_reply(info);
        return QV_ERR_ARG;
    }
    if (info->error != 0) {  // a device error: no parser runs
        release_reply(info);
        return info->error;
    }
    int result = 0;
    bool matched = false;
    for (size_t i = 0; i < QV_DEVICE_USER_CMD_COUNT; ++i) {
        if (static_cast<int32_t>(kRows[i].code) != info->cmd) continue;
        matched = true;
        result = kRows[i].parser(info, kRows[i].code, static_cast<int>(i), &kRows[i]);
        break;
    }
    if (!matched) QV_LOG_ERROR("switch_flag == 0 Requestfun is UNKNOW cmd= %d", info->cmd);
    release_reply(info);
    return result;
}

// ---- parsers ----

int Parser_GetDeviceVersion(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    copy_text(info->ver, element(data, 0), "ver");
    QV_LOG_DEBUG("ver = %s", info->ver);
    return 0;
}

int Parser_login(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    // Every element and key is optional; a missing one leaves its field as it was.
    if (copy_text(info->ver, element(data, 0), "ver")) QV_LOG_DEBUG("ver = %s", info->ver);
    read_int(&info->funcListFlag, element(data, 1), "funcListFlag");
    read_int(&info->databaseSign, element(data, 2), "databaseSign");
    json_object *e3 = element(data, 3);
    copy_text(info->customCode, e3, "customCode");
    copy_text(info->versionCode, e3, "versionCode");
    read_int(&info->version_flag, e3, "version_flag");
    QV_LOG_DEBUG("p_client_info->version_flag = %d", info->version_flag);
    return 0;
}

int Parser_GetBindCode(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    copy_text(info->bindCode, element(data, 0), "bindCode");
    QV_LOG_DEBUG("bindCode = %s", info->bindCode);
    return 0;
}

int Parser_GetDeviceID(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    copy_text(info->deviceId, element(data, 0), "deviceId");
    QV_LOG_DEBUG("deviceId = %s", info->deviceId);
    return 0;
}

int Parser_GetFuncList(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    if (!read_int(&info->statusFlag, element(data, 0), "statusFlag")) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    return 0;
}

int Parser_GetNasDeviceInfo(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    nas_device_info *d = info->nasDeviceInfo;
    json_object *e0 = element(data, 0);
    if (d == nullptr || e0 == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    copy_text(d->stmVer, e0, "stmVer");  // taken before the required keys are checked
    if (member(e0, "customCode") == nullptr || member(e0, "versionCode") == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    // Missing texts come out empty, missing integers 0.
    qv_strlcpy(d->deviceModel, json_object_get_string(member(e0, "deviceModel")));
    qv_strlcpy(d->customCode, json_object_get_string(member(e0, "customCode")));
    qv_strlcpy(d->versionCode, json_object_get_string(member(e0, "versionCode")));
    qv_strlcpy(d->mac, json_object_get_string(member(e0, "mac")));
    qv_strlcpy(d->wanWiredIP, json_object_get_string(member(e0, "wanWiredIP")));
    qv_strlcpy(d->wanWiredMask, json_object_get_string(member(e0, "wanWiredMask")));
    d->version_flag = json_object_get_int(member(e0, "version_flag"));
    d->time = json_object_get_int(member(e0, "time"));
    return 0;
}

int Parse_GetFwVersion(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    json_object *v = member(element(data, 0), "fw_version");
    if (v == nullptr || info->fwVersion == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    qv_strlcpy(info->fwVersion, json_object_get_string(v), QV_FW_VERSION_SIZE);
    return 0;
}

int Parse_GetOtaInfo(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    ota_version_info *o = info->otaVersionInfo;
    json_object *e0 = element(data, 0);
    if (o == nullptr || member(e0, "customCode") == nullptr || member(e0, "versionCode") == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    qv_strlcpy(o->customCode, json_object_get_string(member(e0, "customCode")));
    qv_strlcpy(o->versionCode, json_object_get_string(member(e0, "versionCode")));
    qv_strlcpy(o->mac, json_object_get_string(member(e0, "mac")));
    o->version_flag = json_object_get_int(member(e0, "version_flag"));
    o->time = json_object_get_int(member(e0, "time"));
    return 0;
}

int Parse_GetVersionFlag(client_info *info, uint16_t, int, const device_user_row *) {
    json_object *data = nullptr;
    int result = 0;
    if (!common_checks(info, &data, &result)) return result;
    if (!read_int(&info->version_flag, element(data, 0), "version_flag")) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    return 0;
}

// Commands whose reply carries nothing the client keeps: any "data", or none, is accepted.
int Parser_NotNecessary(client_info *info, uint16_t code, int, const device_user_row *) {
    if (info->error != 0) return info->error;
    if (info->r_json == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    QV_LOG_DEBUG("there is no value need to parse,cmd=%d", code);
    return 0;
}

// Settings whose outcome is the header's "error" alone.
int Parser_PassThrough(client_info *info, uint16_t, int, const device_user_row *) {
    return info->error;
}
