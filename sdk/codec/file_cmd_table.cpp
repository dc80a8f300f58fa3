// The table of device commands: 123 rows in their fixed order, each with everything the codec and the
// processors know of the command: its request builder and reply parser, then (when not the default)
// its flags, its cache database and, for a streamed reply, the chunk parser and chunk release installed
// on the task. This is the one place that lists them; adding a command touches one row. A row whose
// function is not written yet names it with QV_MISSING (the pointer stays null and the dispatchers
// refuse that command); when the function is written, turn QV_MISSING into QV_HAVE on its rows.
#include "codec/file_parse_device.h"
#include "codec/file_parse_space.h"
#include "codec/file_parse_task.h"
#include "codec/file_process.h"

// The name must be declared in file_process.h (checked at compile time); the pointer stays null.
#define QV_HAVE(f) f, #f
#define QV_MISSING(f) ((void)sizeof(&f), nullptr), #f
// The tail of a streamed row: flags, no cache, chunk parser, chunk release.
#define QV_STREAM(parse, destroy) QV_CMD_STREAMED, QV_CACHE_NONE, parse, destroy
// The tail of a cacheable listing: no flags, its database.
#define QV_CACHED(db) 0, db

namespace {

// The search and GPS chunk parsers store the chunk's "seq" in the task's id; the id is the caller's
// sequence number by which a cancel finds the task, so it is kept as it was.
int search_chunk(const char *chunk, client_file_task *task) {
    const int64_t id = task->id.load();
    const int ret = parser_FileTaskSearch(chunk, task);
    task->id.store(id);
    return ret;
}

int gps_chunk(const char *chunk, client_file_task *task) {
    const int64_t id = task->id.load();
    const int ret = parser_FileTaskGPS(chunk, task);
    task->id.store(id);
    return ret;
}

constexpr file_cmd_row kRows[] = {
    {150, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_FileGetUserList)},
    {106, QV_HAVE(Request_FileDownload), QV_HAVE(Parser_FileDownload)},
    {108, QV_HAVE(Request_FileCheckUpload), QV_HAVE(Parser_FileCheckUpload)},
    {107, QV_HAVE(_QV_File_Upload), QV_HAVE(Parser_NoData)},
    {162, QV_HAVE(_QV_File_Upload), QV_HAVE(Parser_NoData)},
    {100, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_FileGetStorage)},
    {101, QV_HAVE(Request_FileGetList), QV_HAVE(Parser_FileGetList), QV_CACHED(QV_CACHE_USER)},
    {151, QV_HAVE(Request_FileGetRecordsList), QV_HAVE(Parser_FileGetRecordsList),
     QV_CACHED(QV_CACHE_RECENT)},
    {161, QV_HAVE(Request_FileGetAggregationList), QV_HAVE(Parser_FileGetAggregationList),
     QV_CACHED(QV_CACHE_RECENT)},
    {152, QV_HAVE(Request_FileSetRecordsHide), QV_HAVE(Parser_NoData)},
    {153, QV_HAVE(Request_FileSetStore), QV_HAVE(Parser_NoData)},
    {154, QV_HAVE(QV_File_SetTag), QV_HAVE(Parser_NoData)},
    {104, QV_HAVE(Request_FileIsExist), QV_HAVE(Parser_FileIsExist)},
    {103, QV_HAVE(Request_Rename), QV_HAVE(Parser_NoData)},
    {102, QV_HAVE(Request_Mkdir), QV_HAVE(Parser_NoData)},
    {105, QV_HAVE(Request_FileGetAttr), QV_HAVE(Parser_FileGetAttr)},
    {109, QV_HAVE(Request_FileDelete), QV_HAVE(Parser_NoData)},
    {156, QV_HAVE(QV_File_Tag_All), QV_HAVE(parser_FileDel)},
    {159, QV_HAVE(Request_FileCopy), QV_HAVE(parser_FileCopy), QV_STREAM(parser_FileTaskOpt, nullptr)},
    {160, QV_HAVE(Request_FileCopy), QV_HAVE(parser_FileCopy), QV_STREAM(parser_FileTaskOpt, nullptr)},
    {113, QV_HAVE(Request_FileSearch), QV_HAVE(parser_FileSearch)},
    {117, QV_HAVE(QV_File_SearchMultiFunc), QV_HAVE(parser_FileSearchMultiFunc),
     QV_STREAM(search_chunk, destroy_FileTaskSearch)},
    {120, QV_HAVE(Request_FileGetTypeList), QV_HAVE(parser_FileGetTypeList), QV_CACHED(QV_CACHE_USER)},
    {158, QV_HAVE(Request_FileGetMutilTypeList), QV_HAVE(parser_FileGetTypeList), QV_CACHED(QV_CACHE_USER)},
    {155, QV_HAVE(Request_FileGetBackupList), QV_HAVE(parser_FileGetBackupList)},
    {123, QV_HAVE(Request_FileGetTypeList), QV_HAVE(parser_FileGetDirList), QV_CACHED(QV_CACHE_USER)},
    {124, QV_HAVE(Request_FileGetTypeListByPath), QV_HAVE(parser_FileGetTypeListByPath),
     QV_CACHED(QV_CACHE_USER)},
    {125, QV_HAVE(Request_FileDelTypeListByPath), QV_HAVE(Parser_NoData)},
    {121, QV_HAVE(Request_FileGetClassInfo), QV_HAVE(parser_FileGetClassInfo)},
    {130, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_BackupGetInfo)},
    {131, QV_HAVE(Request_BackupSetDiskName), QV_HAVE(Parser_NoData)},
    {132, QV_HAVE(Request_BackupFile), QV_HAVE(parser_BackupFile)},
    {146, QV_HAVE(Request_BackupFile), QV_HAVE(parser_BackupFile)},
    {133, QV_HAVE(Request_BackupCheckFile), QV_HAVE(parser_BackupCheckFile)},
    {138, QV_HAVE(Request_BackupCheckFileUuid), QV_HAVE(parser_BackupCheckFileUuid)},
    {134, QV_HAVE(Request_BackupFileIsExist), QV_HAVE(Parser_NoData)},
    {136, QV_HAVE(Request_FileMkdirBackup), QV_HAVE(Parser_NoData)},
    {57, QV_HAVE(Request_FileUploadFw), QV_HAVE(Parser_FileUploadFw)},
    {147, QV_HAVE(QV_File_RelaxUpload), QV_HAVE(Parser_FileRelaxUpload)},
    {148, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_FileGetUserSpace)},
    {157, QV_HAVE(Request_FileGPSList), QV_HAVE(Parser_FileGetListByGPS),
     QV_STREAM(gps_chunk, destroy_FileTaskGPS)},
    {171, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_Get_DeviceNickName)},
    {172, QV_HAVE(Request_SetDeviceNickName), QV_HAVE(Parser_NoData)},
    {300, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetPasswordStatus)},
    {301, QV_HAVE(Request_AdminSetPwd), QV_HAVE(Parser_NoData)},
    {302, QV_HAVE(Request_AdminModifyPwd), QV_HAVE(Parser_NoData)},
    {303, QV_HAVE(Request_AdminLogin), QV_HAVE(Parser_NoData)},
    {304, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetSystemInfo)},
    {305, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetDiskStatusInfo)},
    {307, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetBindFlag)},
    {308, QV_HAVE(Request_AdminSetBindFlag), QV_HAVE(Parser_NoData)},
    {309, QV_HAVE(Request_AdminInviteBind), QV_HAVE(Parser_NoData)},
    {170, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_P2PGetClientInfo)},
    {310, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetUserSpaceLimitStatus)},
    {311, QV_HAVE(Request_AdminSetSpaceLimitStatus), QV_HAVE(Parser_NoData)},
    {312, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetUserSpaceLimitDefault)},
    {313, QV_HAVE(Request_AdminSetSpaceLimitDefault), QV_HAVE(Parser_NoData)},
    {315, QV_HAVE(Request_AdminSetSpaceLimit), QV_HAVE(Parser_NoData)},
    {314, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetUserSpaceLimitList)},
    {316, QV_HAVE(Request_AdminClearUser), QV_HAVE(Parser_NoData)},
    {318, QV_HAVE(Request_AdminSetUsbbackupMode), QV_HAVE(Parser_NoData)},
    {317, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetUsbbackupMode)},
    {163, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_OtaQuery), QV_STREAM(parser_FileTaskOta, nullptr)},
    {164, QV_HAVE(Request_OtaQuery), QV_HAVE(parser_OtaQuery)},
    {165, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_Ota_Status_Get)},
    {167, QV_HAVE(Request_FileDeleteList), QV_HAVE(parser_FileDelCb), QV_STREAM(parser_FileTaskOpt, nullptr)},
    {319, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_GetSambaStatus)},
    {320, QV_HAVE(Request_SetSambaStatus), QV_HAVE(Parser_NoData)},
    {322, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminShareBind)},
    {168, QV_HAVE(Request_LogFileDownload), QV_HAVE(Parser_FileLogDownload)},
    {323, QV_HAVE(Request_GetUserList), QV_HAVE(Parser_GetUserList), QV_CACHED(QV_CACHE_USER)},
    {169, QV_HAVE(Request_SetRecentRecordHide), QV_HAVE(Parser_NoData)},
    {324, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetRemoteBindFlag)},
    {325, QV_HAVE(Request_AdminSetRemoteBindFlag), QV_HAVE(Parser_NoData)},
    {343, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetRemoteBindFlag)},
    {344, QV_HAVE(Request_AdminSetRemoteBindFlag), QV_HAVE(Parser_NoData)},
    {330, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetSelfStartStatus)},
    {331, QV_HAVE(Request_AdminSetSelfStart), QV_HAVE(Parser_NoData)},
    {332, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_AdminGetTempAndFan)},
    {333, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_NoData)},
    {20, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_GetDeviceStatus)},
    {174, QV_HAVE(Request_ReservePush), QV_HAVE(parser_ReservePush), QV_CMD_STREAMED | QV_CMD_ZERO_ERROR,
     QV_CACHE_NONE, parser_FileTaskConnectDevice, nullptr},
    {173, QV_HAVE(Request_DeviceStatusExec), QV_HAVE(parser_DeviceStatusExec),
     QV_STREAM(parser_DeviceTaskExec, nullptr)},
    {200, QV_HAVE(Request_AccountCheckBindCode), QV_HAVE(Parser_NoData), QV_CMD_NO_TOKEN},
    {201, QV_HAVE(Request_AccountSetUserInfo), QV_HAVE(Parser_NoData), QV_CMD_NO_TOKEN},
    {202, QV_HAVE(Request_AccountGetAuthCode), QV_HAVE(Parse_QvmsgUserAuthCode), QV_CMD_NO_TOKEN},
    {203, QV_HAVE(Request_HeaderNoToken), QV_HAVE(Parse_QvmsgP2pInfo), QV_CMD_NO_TOKEN},
    {166, QV_HAVE(Request_HeaderNoToken), QV_HAVE(Parser_NoData), QV_CMD_NO_TOKEN},
    {175, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_NoData)},
    {334, QV_HAVE(Request_AdminSetDeviceSleepTime), QV_HAVE(Parser_NoData)},
    {335, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_GetDevSleepTime)},
    {176, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_HideSpaceIsEnable)},
    {177, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_NoData)},
    {178, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_HideSpacePwdIsSet)},
    {179, QV_HAVE(Request_HideSpacePwdSet), QV_HAVE(Parser_NoData)},
    {180, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_NoData)},
    {181, QV_HAVE(Request_HideSpacePwdReset), QV_HAVE(Parser_NoData)},
    {182, QV_HAVE(Request_HideSpaceLogin), QV_HAVE(Parser_NoData)},
    {183, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_NoData)},
    {184, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_GetUserInfoList)},
    {185, QV_HAVE(Request_HideSpaceFileGetList), QV_HAVE(Parser_FileGetList)},
    {327, QV_HAVE(Request_GetDeviceTimerSwitchValues), QV_HAVE(parser_getDevTimerSwitchValues)},
    {328, QV_HAVE(Request_SetDeviceTimerSwitchValues), QV_HAVE(Parser_NoData)},
    {336, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_TimerSwitchFlag)},
    {337, QV_HAVE(Request_SetDeviceTimerSwitchFlag), QV_HAVE(Parser_NoData)},
    {186, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_GetModuleSupportList)},
    {187, QV_HAVE(Request_CreateShare), QV_HAVE(parser_createShare)},
    {188, QV_HAVE(Request_GetShareList), QV_HAVE(parse_getShareList)},
    {189, QV_HAVE(Request_CancelShare), QV_HAVE(Parser_NoData)},
    {204, QV_HAVE(Request_GetShareFileList), QV_HAVE(parse_QvmsgGetShareFileList)},
    {205, QV_HAVE(Request_GetShareFileData), QV_HAVE(parser_QvmsgGetShareFileData)},
    {206, QV_HAVE(Request_GetShareFileAttr), QV_HAVE(parser_QvmsgGetShareFileData)},
    {210, QV_HAVE(Request_ResyscleGetList), QV_HAVE(Parser_ResyscleFileGetList)},
    {211, QV_HAVE(Request_ResyscleOperateList), QV_HAVE(parser_FileDelCb),
     QV_STREAM(parser_FileTaskOpt, nullptr)},
    {212, QV_HAVE(Request_ResyscleOperateList), QV_HAVE(parser_FileDelCb),
     QV_STREAM(parser_FileTaskOpt, nullptr)},
    {213, QV_HAVE(Request_HeaderOnly), QV_HAVE(parser_FileDelCb), QV_STREAM(parser_FileTaskOpt, nullptr)},
    {214, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_ResyscleGetInfoList)},
    {215, QV_HAVE(Request_ResyscleSetSurviveTime), QV_HAVE(Parser_NoData)},
    {338, QV_HAVE(Request_AdminSetDeviceTimeZone), QV_HAVE(Parser_NoData)},
    {339, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_GetDevTimeZone)},
    {340, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_ZoneGetInfoList)},
    {341, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_GetSmartInfo)},
    {342, QV_HAVE(Request_HeaderOnly), QV_HAVE(Parser_NoData)},
};

static_assert(sizeof kRows / sizeof kRows[0] == QV_FILE_CMD_COUNT);

}  // namespace

const file_cmd_row *file_cmd_table() {
    return kRows;
}
