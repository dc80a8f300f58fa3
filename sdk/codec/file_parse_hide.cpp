// Reply parsers of the hidden-space, timer and module-support commands (176, 178, 184, 186, 327, 336).
#include "codec/file_parse_hide.h"

#include <json-c/json.h>

#include <cstdlib>
#include <iterator>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "codec/reply_json.h"

using qv_reply::first;
using qv_reply::member;

namespace {

// Element 0 of the reply's "data" array: "data" missing logs, an absent first element does not.
json_object *data_element(const client_info *info) {
    return qv_reply::data_first(info->r_json, "JSON_GET_OBJECT failed");
}

// Element 0's "flag" as a 32-bit integer: 0, or -1 when any part is missing.
int read_flag(const client_info *info, int32_t *out) {
    json_object *elem = data_element(info);
    return elem != nullptr ? qv_reply::need_int(elem, "flag", out, "JSON_GET_OBJECT failed") : QV_ERR_ARG;
}

// 176 and 178: element 0's "flag" into the request block's own flag (-1 without the block), logged under
// the block's name in `req`.
template <typename Block>
int read_block_flag(const client_info *info, Block *block, const char *name) {
    if (block == nullptr) return QV_ERR_ARG;
    const int rc = read_flag(info, &block->flag);
    if (rc == 0) QV_LOG_DEBUG("p_client_info.req.%s->flag = %d", name, block->flag);
    return rc;
}

// Module types by reply key, in the order the list is read.
constexpr const char *kModuleKeys[] = {"timeSwitchModule", "powerOnModule",  "McuModule",
                                       "shareModule",      "resyscleModule", "timeZone",
                                       "cancelUsbBackup",  "getSmartInfo",   "localBindFlag"};

}  // namespace

int parser_HideSpaceIsEnable(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_block_flag(info, info->req.hideSpaceEnFlag, "hideSpaceEnFlag");
}

int parser_HideSpacePwdIsSet(client_info *info, uint16_t, int, const file_cmd_row *) {
    return read_block_flag(info, info->req.hideSpacePwdSet, "hideSpacePwdSet");
}

int parser_TimerSwitchFlag(client_info *info, uint16_t, int, const file_cmd_row *) {
    const int rc = read_flag(info, &info->cmd_param);
    if (rc == 0) QV_LOG_DEBUG("flag = %d", info->cmd_param);
    return rc;
}

int parser_getDevTimerSwitchValues(client_info *info, uint16_t, int, const file_cmd_row *) {
    timer_switch_req *block = info->req.timerSwitch;
    if (block == nullptr) return QV_ERR_ARG;
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    if (qv_reply::need_int(elem, "time_seconds", &block->time_seconds, "JSON_GET_OBJECT failed") != 0)
        return QV_ERR_ARG;
    QV_LOG_DEBUG("timeSconds_json = %d", block->time_seconds);
    if (qv_reply::need_int(elem, "once", &block->once, "JSON_GET_OBJECT failed") != 0) return QV_ERR_ARG;
    QV_LOG_DEBUG("Onec = %d", block->once);
    return 0;
}

int Parser_GetUserInfoList(client_info *info, uint16_t, int, const file_cmd_row *) {
    hide_space_info_req *block = info->req.hideSpaceInfo;
    if (block == nullptr) return QV_ERR_ARG;
    json_object *data = member(info->r_json, "data");
    if (data == nullptr) {
        QV_LOG_ERROR("data_json is null.");
        return QV_ERR_ARG;
    }
    json_object *elem = first(data);
    if (elem == nullptr) {
        QV_LOG_DEBUG("access NULL");
        return QV_ERR_ARG;
    }
    // A record a previous parse left in the block is replaced, not leaked.
    std::free(block->Info);
    hide_space_info *rec = qv_reply::zalloc<hide_space_info>("p_client_info.req.hideSpaceInfo->Info != NULL");
    block->Info = rec;
    if (json_object *name = member(elem, "nick_name")) {
        qv_reply::copy_text(rec->nick_name, name);
        QV_LOG_DEBUG("nick_name = %s", rec->nick_name);
    }
    if (json_object *bucket = member(elem, "bucket_id")) {
        rec->bucket_id = json_object_get_int(bucket);
        QV_LOG_DEBUG("bucket_id = %d", rec->bucket_id);
    }
    return 0;
}

int parser_GetModuleSupportList(client_info *info, uint16_t, int, const file_cmd_row *) {
    json_object *elem = data_element(info);
    if (elem == nullptr) return QV_ERR_ARG;
    for (int type = 0; type < static_cast<int>(std::size(kModuleKeys)); ++type) {
        json_object *status = member(member(elem, kModuleKeys[type]), "status");
        if (status == nullptr) continue;
        const int32_t value = json_object_get_int(status);
        QV_LOG_DEBUG("mType = %d, status = %d", type, value);
        ppc_add_module_support_to_list(&info->mList, type, value);
    }
    return 0;
}
