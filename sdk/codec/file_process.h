// The command codec's core: the command envelope, the table of device commands (one request builder and
// one reply parser per command code) and the two dispatchers over it.
//
// Calling order: the caller zeroes a client_info, fills `cmd`, `token`, address, port and inputs, calls
// file_process (request text in `retstr`), sends it, stores the reply body in `recv_buf` and calls
// file_parse_process, whose result is the command's result. The caller frees `recv_buf`, `retstr` and
// `cacheKey`; the codec frees only `r_json`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "codec/client_info.h"

// The text that file_parse_process leaves in `retstr` when a reply answers no request it can apply.
inline constexpr const char QV_REPLY_UNMATCHED_TEXT[] = "input cmd is not finished!";

struct file_cmd_row;

// Writes the request text into `retstr`; 0 on success.
using file_request_fn = int (*)(client_info *info);
// Applies `r_json` (header already applied) to the record; 0 on success. Gets the row's code, its
// index and the row itself.
using file_parse_fn = int (*)(client_info *info, uint16_t code, int index, const file_cmd_row *row);

// The command-cache database of a cacheable listing; the value is the selector the cache hooks get.
enum qv_cache_db : int8_t {
    QV_CACHE_NONE = -1,   // not cacheable: the builder makes no cache key
    QV_CACHE_USER = 0,    // "cache.db"
    QV_CACHE_RECENT = 1,  // "recent_cache.db"
};

// The file name of a cache database ("" for QV_CACHE_NONE).
constexpr const char *qv_cache_db_file(qv_cache_db db) {
    return db == QV_CACHE_USER ? "cache.db" : db == QV_CACHE_RECENT ? "recent_cache.db" : "";
}

// Facts of a command besides its builder and parser.
enum file_cmd_flags : uint8_t {
    QV_CMD_STREAMED = 1,    // the reply normally comes chunked, each chunk to the task's chunk parser
    QV_CMD_NO_TOKEN = 2,    // the request header carries no "token"
    QV_CMD_ZERO_ERROR = 4,  // the request header's "error" is always 0
};

struct file_cmd_row {
    uint16_t code;
    file_request_fn builder;  // null while the builder is not available
    const char *builder_name;
    file_parse_fn parser;  // null while the parser is not available
    const char *parser_name;
    uint8_t flags = 0;                          // file_cmd_flags
    qv_cache_db cache = QV_CACHE_NONE;          // where a cacheable listing's replies are kept
    file_task_parse_fn chunk_parser = nullptr;  // installed on the task for a streamed reply
    file_task_cb chunk_destroy = nullptr;       // installed with it: frees a chunk's results
};

inline constexpr size_t QV_FILE_CMD_COUNT = 123;

// The table, in its fixed order (QV_FILE_CMD_COUNT rows).
const file_cmd_row *file_cmd_table();

// The first row of a command code, or null (codes outside 0..65535 match nothing); `index` (when not
// null) gets its index.
const file_cmd_row *file_cmd_find(const file_cmd_row *rows, size_t count, int32_t cmd, int *index);

// The row of `cmd` in file_cmd_table(), or null.
const file_cmd_row *file_cmd_row_of(int32_t cmd);
// Facts read from the row of `cmd` (a code without a row: not streamed, not cacheable, with a token).
bool file_cmd_is_streamed(int32_t cmd);
qv_cache_db file_cmd_cache_db(int32_t cmd);
bool file_cmd_has_token(int32_t cmd);

// Builds the request of `cmd` into `retstr`: 0; QV_ERR_CMD_NOT_FOUND when no row has the code (`retstr`
// untouched); QV_ERR_NOT_BUILT when the builder is missing or fails. A cacheable row's builder also
// leaves a new heap text in `cacheKey`.
int file_process(client_info *info);

// Applies the reply in `recv_buf`: QV_ERR_NOT_BUILT when it is not JSON or has no "header" object.
// Otherwise the header goes into `cmd`, `error`, `token` and `seq`, and the parser of the request's code
// runs when the reply's "cmd" equals the request's code; a reply for another code (or without "cmd")
// runs no parser and gives QV_ERR_CMD_NOT_FOUND with QV_REPLY_UNMATCHED_TEXT in `retstr`; a missing
// parser gives
// QV_ERR_NO_PARSER. A nonzero header "error" is the result whatever else happened. `r_json` is
// released and cleared on every path.
int file_parse_process(client_info *info);

// The two dispatchers over a given table (the ones above use file_cmd_table()); for tests and tools.
int file_process_rows(client_info *info, const file_cmd_row *rows, size_t count);
int file_parse_process_rows(client_info *info, const file_cmd_row *rows, size_t count);

// Parses `recv_buf` into `r_json` and applies the header: `cmd` and `error` ("cmd"/"error", 0 when
// missing), `token` when "token" is present, `seq` (32-bit, sign-widened) when "seq" is present.
// 0, or QV_ERR_ARG when there is no text, it is not JSON or has no "header" object (`r_json` may stay
// set).
int file_parse_header_json(client_info *info);

// Serialises `obj` in the device's text form into a new heap text stored in `retstr` (a previous
// `retstr` is not freed; builders call this once per request).
void json_to_string(client_info *info, json_object *obj);

// Stores a new heap text "cmd: %d, para: %s" in `*slot`. Logs "para is error" and does nothing when
// `slot` or `text` is null.
void generate_cache_key(char **slot, const char *text, int cmd);

// Helpers for builders. The request header of the record: "cmd", "token", "seq", "error"; without
// "token" and with "error" 0 as the command's row says.
json_object *qv_request_header(const client_info *info);

// Completes a request: adds `data` (when not null; ownership passes) and then the header to a new
// envelope, stores its text in `retstr`, releases the envelope. Returns 0.
int qv_request_finish(client_info *info, json_object *data);

// Stores the cache key of a cacheable command (its row says so), made from `param`'s text, in
// `cacheKey`; does nothing for any other command.
void qv_request_cache_key(client_info *info, json_object *param);

// Reply parser of every command whose reply carries nothing the client needs: returns 0.
int Parser_NoData(client_info *info, uint16_t code, int index, const file_cmd_row *row);

// Builders of the table (those not yet available are declared but not defined).
int Request_HeaderOnly(client_info *info);
int Request_FileDownload(client_info *info);
int Request_FileCheckUpload(client_info *info);
int _QV_File_Upload(client_info *info);
int Request_FileGetList(client_info *info);
int Request_FileGetRecordsList(client_info *info);
int Request_FileGetAggregationList(client_info *info);
int Request_FileSetRecordsHide(client_info *info);
int Request_FileSetStore(client_info *info);
int QV_File_SetTag(client_info *info);
int Request_FileIsExist(client_info *info);
int Request_Rename(client_info *info);
int Request_Mkdir(client_info *info);
int Request_FileGetAttr(client_info *info);
int Request_FileDelete(client_info *info);
int QV_File_Tag_All(client_info *info);
int Request_FileCopy(client_info *info);
int Request_FileSearch(client_info *info);
int QV_File_SearchMultiFunc(client_info *info);
int Request_FileGetTypeList(client_info *info);
int Request_FileGetMutilTypeList(client_info *info);
int Request_FileGetBackupList(client_info *info);
int Request_FileGetTypeListByPath(client_info *info);
int Request_FileDelTypeListByPath(client_info *info);
int Request_FileGetClassInfo(client_info *info);
int Request_BackupSetDiskName(client_info *info);
int Request_BackupFile(client_info *info);
int Request_BackupCheckFile(client_info *info);
int Request_BackupCheckFileUuid(client_info *info);
int Request_BackupFileIsExist(client_info *info);
int Request_FileMkdirBackup(client_info *info);
int Request_FileUploadFw(client_info *info);
int QV_File_RelaxUpload(client_info *info);
int Request_FileGPSList(client_info *info);
int Request_SetDeviceNickName(client_info *info);
int Request_AdminSetPwd(client_info *info);
int Request_AdminModifyPwd(client_info *info);
int Request_AdminLogin(client_info *info);
int Request_AdminSetBindFlag(client_info *info);
int Request_AdminInviteBind(client_info *info);
int Request_AdminSetSpaceLimitStatus(client_info *info);
int Request_AdminSetSpaceLimitDefault(client_info *info);
int Request_AdminSetSpaceLimit(client_info *info);
int Request_AdminClearUser(client_info *info);
int Request_AdminSetUsbbackupMode(client_info *info);
int Request_OtaQuery(client_info *info);
int Request_FileDeleteList(client_info *info);
int Request_SetSambaStatus(client_info *info);
int Request_LogFileDownload(client_info *info);
int Request_GetUserList(client_info *info);
int Request_SetRecentRecordHide(client_info *info);
int Request_AdminSetRemoteBindFlag(client_info *info);
int Request_AdminSetSelfStart(client_info *info);
int Request_ReservePush(client_info *info);
int Request_DeviceStatusExec(client_info *info);
int Request_AccountCheckBindCode(client_info *info);
int Request_AccountSetUserInfo(client_info *info);
int Request_AccountGetAuthCode(client_info *info);
int Request_HeaderNoToken(client_info *info);
int Request_AdminSetDeviceSleepTime(client_info *info);
int Request_HideSpacePwdSet(client_info *info);
int Request_HideSpacePwdReset(client_info *info);
int Request_HideSpaceLogin(client_info *info);
int Request_HideSpaceFileGetList(client_info *info);
int Request_GetDeviceTimerSwitchValues(client_info *info);
int Request_SetDeviceTimerSwitchValues(client_info *info);
int Request_SetDeviceTimerSwitchFlag(client_info *info);
int Request_CreateShare(client_info *info);
int Request_GetShareList(client_info *info);
int Request_CancelShare(client_info *info);
int Request_GetShareFileList(client_info *info);
int Request_GetShareFileData(client_info *info);
int Request_GetShareFileAttr(client_info *info);
int Request_ResyscleGetList(client_info *info);
int Request_ResyscleOperateList(client_info *info);
int Request_ResyscleSetSurviveTime(client_info *info);
int Request_AdminSetDeviceTimeZone(client_info *info);

// Reply parsers of the table (those not yet available are declared but not defined).
int Parser_FileGetUserList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileDownload(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileCheckUpload(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetStorage(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetRecordsList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetAggregationList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileIsExist(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetAttr(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileDel(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileCopy(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileSearch(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileSearchMultiFunc(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileGetTypeList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileGetBackupList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileGetDirList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileGetTypeListByPath(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileGetClassInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_BackupGetInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_BackupFile(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_BackupCheckFile(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_BackupCheckFileUuid(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileUploadFw(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileRelaxUpload(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetUserSpace(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileGetListByGPS(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_Get_DeviceNickName(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetPasswordStatus(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetSystemInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetDiskStatusInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetBindFlag(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_P2PGetClientInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetUserSpaceLimitStatus(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetUserSpaceLimitDefault(client_info *info, uint16_t code, int index,
                                         const file_cmd_row *row);
int Parser_AdminGetUserSpaceLimitList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetUsbbackupMode(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_OtaQuery(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_Ota_Status_Get(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_FileDelCb(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetSambaStatus(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminShareBind(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_FileLogDownload(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetUserList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetRemoteBindFlag(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetSelfStartStatus(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_AdminGetTempAndFan(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetDeviceStatus(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_ReservePush(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_DeviceStatusExec(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parse_QvmsgUserAuthCode(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parse_QvmsgP2pInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetDevSleepTime(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_HideSpaceIsEnable(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_HideSpacePwdIsSet(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetUserInfoList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_getDevTimerSwitchValues(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_TimerSwitchFlag(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_GetModuleSupportList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_createShare(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parse_getShareList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parse_QvmsgGetShareFileList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int parser_QvmsgGetShareFileData(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_ResyscleFileGetList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_ResyscleGetInfoList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetDevTimeZone(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_ZoneGetInfoList(client_info *info, uint16_t code, int index, const file_cmd_row *row);
int Parser_GetSmartInfo(client_info *info, uint16_t code, int index, const file_cmd_row *row);
