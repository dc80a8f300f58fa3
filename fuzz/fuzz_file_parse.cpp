// Feeds arbitrary reply texts to file_parse_process for every command of the table, with every record the
// parsers write through set, and frees what they built. Input: byte 0 chooses the row (two extra rows run
// the streamed GPS parser and the client-side album grouping); byte 1 chooses whether the rest is the
// whole reply text or the "data" member of an envelope whose header answers the chosen command.
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/file_types.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_list.h"
#include "codec/file_parse_admin.h"
#include "codec/file_parse_attr.h"
#include "codec/file_parse_device.h"
#include "codec/file_parse_hide.h"
#include "codec/file_parse_list.h"
#include "codec/file_parse_settings.h"
#include "codec/file_parse_share.h"
#include "codec/file_parse_space.h"
#include "codec/file_parse_task.h"
#include "codec/file_parse_type.h"
#include "codec/file_process.h"
#include "runtime/ppclib.h"

namespace {

void free_holder(file_list_info *h) {
    if (h == nullptr) return;
    ppc_destory_file_list(h->list);
    uuid_list_free(h->uuid_list);
    std::free(h);
}

// Every record a parser may write through, zeroed; freed whole afterwards.
struct Records {
    file_stat st{};
    user_space_dnode space{};
    backup_disk_info backup{};
    backup_uuid_head uuids{};
    char fw_version[32]{};
    char nick[64]{};
    recent_list recent{};
    delete_list_req del{};
    time_zone_req zone{};
    hide_space_en_flag_req hide_flag{};
    hide_space_pwd_set_req hide_pwd{};
    hide_space_info_req hide_info{};
    create_share_req share_create{};
    get_share_list_req share_list_req{};
    get_share_file_list_req share_files{};
    get_share_file_data_req share_data{};
    get_share_file_attr_req share_attr{};
    admin_sys_info sys{};
    disk_status_list disks{};
    p2p_client_info p2p{};
    soft_version_info svi{};
    ota_info ota{};
    char bind_url[256]{};
    backup_result_info backup_result{};
    file_list_info *holder = static_cast<file_list_info *>(std::calloc(1, sizeof(file_list_info)));
    client_file_task *task = client_file_task_new();

    Records() {
        backup_uuid_init(&uuids);
        recent_ring_init(&recent);
        if (task) task->backup_result = &backup_result;
    }
    void attach(client_info &ci, bool caller_holder) {
        if (caller_holder) ci.file_list = holder;  // the folder listings fill a caller's holder
        ci.rList = &recent;
        ci.sysInfo = &sys;
        ci.diskStatusInfoList = &disks;
        ci.p2pInfo = &p2p;
        ci.svi = &svi;
        ci.otaInfo = &ota;
        ci.shareBindUrl = bind_url;
        ci.shareBindUrlLen = sizeof bind_url;
        ci.st = &st;
        ci.p_user_space_info = &space;
        ci.backupInfo = &backup;
        ci.uuidList = &uuids;
        ci.fwVersion = fw_version;
        ci.deviceNickName = nick;
        ci.rClientFileTask = task;
    }
    // The request block is one pointer whose type depends on the command: point it at the matching one.
    void attach_block(client_info &ci, int code) {
        switch (code) {
            case 167:
            case 211:
            case 212:
            case 213:
                ci.req.deleteList = &del;
                break;
            case 338:
            case 339:
            case 340:
                ci.req.pTimeZone = &zone;
                break;
            case 176:
                ci.req.hideSpaceEnFlag = &hide_flag;
                break;
            case 178:
            case 179:
                ci.req.hideSpacePwdSet = &hide_pwd;
                break;
            case 184:
                ci.req.hideSpaceInfo = &hide_info;
                break;
            case 187:
                ci.req.pCreateShare = &share_create;
                break;
            case 188:
                ci.req.pGetShareList = &share_list_req;
                break;
            case 204:
                ci.req.pGetShareFileList = &share_files;
                break;
            case 205:
                ci.req.pGetShareFileData = &share_data;
                break;
            case 206:
                ci.req.pGetShareFileAttr = &share_attr;
                break;
            default:
                break;
        }
    }
    void release(client_info &ci) {
        qv_zone_list_free(zone.zoneList);
        std::free(hide_info.Info);
        std::free(share_create.result);
        share_list_free(share_list_req.result);
        share_file_list_free(share_files.result);
        std::free(share_data.result);
        std::free(share_attr.result);
        qv_space_limit_list_free(ci.spaceLimitList);
        qv_user_list_free(ci.userInfoList);
        if (ci.file_list != holder) free_holder(ci.file_list);
        free_holder(holder);
        ppc_destory_recent_list(&recent);
        ppc_free_user_list(ci.user_list);
        ppc_free_resyscle_list(ci.resyscleList);
        ppc_free_resyscle_info(ci.resyscleInfo);
        destory_record_list(ci.rangeList);
        ppc_free_backup_uuid_list(&uuids);
        std::free(ci.reserved);
        std::free(backup_result.path);
        ppc_destory_disk_list(ci.diskList);
        if (ci.moduleList) ppc_destory_module_support_list(&ci.moduleList);
        std::free(ci.retstr);
        std::free(ci.recv_buf);
        file_stat_release(&st);
        if (task) {
            free_holder(task->file_list);
            task->file_list = nullptr;
            client_file_task_free(task);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool muted = (qv::set_log_enabled(false), true);
    (void)muted;
    if (size < 2) return 0;
    const size_t row_index = data[0] % (QV_FILE_CMD_COUNT + 2);
    const bool wrap = (data[1] & 1) != 0;
    const std::string body(reinterpret_cast<const char *>(data + 2), size - 2);
    const int code = row_index < QV_FILE_CMD_COUNT ? file_cmd_table()[row_index].code : 157;
    const std::string text =
        wrap ? R"({"header":{"cmd":)" + std::to_string(code) + R"(,"error":0},"data":)" + body + "}" : body;

    client_info ci{};
    Records rec;
    rec.attach(ci, row_index < QV_FILE_CMD_COUNT &&
                       std::strcmp(file_cmd_table()[row_index].parser_name, "Parser_FileGetList") == 0);
    if (row_index == QV_FILE_CMD_COUNT) {
        // The streamed GPS parser, as the chunk reader drives it.
        if (rec.task && parser_FileTaskGPS(text.c_str(), rec.task) == 0) destroy_FileTaskGPS(rec.task);
    } else if (row_index == QV_FILE_CMD_COUNT + 1) {
        ci.r_json = json_tokener_parse(text.c_str());
        parser_FileGetAlbumList(&ci, 0, 0, nullptr);
        if (ci.r_json) json_object_put(ci.r_json);
        ci.r_json = nullptr;
    } else {
        ci.cmd = code;
        rec.attach_block(ci, code);
        ci.recv_buf = strdup(text.c_str());
        file_parse_process(&ci);
    }
    rec.release(ci);
    return 0;
}
