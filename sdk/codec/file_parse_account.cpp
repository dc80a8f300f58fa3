// Reply parsers of the account commands 202 (authorisation code) and 203 (peer-to-peer uuid).
#include <json-c/json.h>

#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/reply_json.h"

namespace {

// data[0].<name> into a fixed field; the field stays terminated and is written only on success.
template <size_t N>
int copy_first_text(client_info *info, const char *name, char (&field)[N]) {
    json_object *elem = qv_reply::first(qv_reply::member(info->r_json, "data"));
    json_object *v = qv_reply::member(elem, name);
    if (v == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    qv_reply::copy_text(field, v);
    QV_LOG_DEBUG("%s: %zu characters", name, std::strlen(field));  // a secret: never its text
    return 0;
}

}  // namespace

int Parse_QvmsgUserAuthCode(client_info *info, uint16_t, int, const file_cmd_row *) {
    return copy_first_text(info, "authCode", info->userAuthCode);
}

int Parse_QvmsgP2pInfo(client_info *info, uint16_t, int, const file_cmd_row *) {
    return copy_first_text(info, "p2pUuid", info->p2pUid);
}
