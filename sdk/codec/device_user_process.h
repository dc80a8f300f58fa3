// The codec of the device-user commands (version, login, logout, bind code, device id, registration,
// function-list flag, device information, router and firmware settings). These commands have their
// own fixed table of 17 rows, apart from the main command table: each row pairs a code with a request
// builder (its own header-key order; no "token" for 2 and 8) and a reply parser. Their replies carry
// "data" as an array read by position.
//
// Calling order: the caller zeroes a client_info, fills `cmd`, `token`, `seq` and the command's inputs,
// calls DeviceUser_RequestProcess (request text in `retstr`), sends it, stores the reply in `recv_buf`
// and calls DeviceUser_ParseProcess. The caller frees `retstr` and `recv_buf`; the codec frees `r_json`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/client_info.h"

// Device hardware and network information (reply of 249), filled in place; the caller zeroes it.
struct nas_device_info {
    char deviceModel[32];
    char customCode[32];
    char versionCode[32];
    char mac[32];
    char wanWiredIP[32];
    char wanWiredMask[32];
    int32_t version_flag;
    int32_t time;
    char stmVer[32];
};

// Firmware identity of the device (reply of 54), filled in place.
struct ota_version_info {
    char customCode[32];
    char versionCode[32];
    char mac[32];
    int32_t version_flag;
    int32_t time;
};

// Input of the time sync (50). The builder reads at most the field's size, terminated or not.
struct time_sync_info {
    char time_value[64];
    char time_zone[64];
};

// Input of the system sync (51).
struct sys_sync_info {
    int32_t sync;
    int32_t clean_cache;
};

// Size of the caller's text behind `fwVersion` (reply of 52): at most 31 characters are written.
inline constexpr size_t QV_FW_VERSION_SIZE = 32;

// The port that the device login sends as "port".
inline constexpr int32_t QV_DEVICE_USER_LOGIN_PORT = 13101;

struct device_user_row;

using device_user_request_fn = int (*)(client_info *info);
using device_user_parse_fn = int (*)(client_info *info, uint16_t code, int index, const device_user_row *row);

// The header keys of a command's request, in the order that the command's firmware handler expects.
// Whether the request carries a "token" is part of it.
enum class device_user_header : uint8_t {
    SeqErrorToken,  // "cmd", "seq", "error", "token"
    SeqError,       // "cmd", "seq", "error" (no token)
    SeqTokenError,  // "cmd", "seq", "token", "error"
    TokenSeqError,  // "cmd", "token", "seq", "error"
};

struct device_user_row {
    uint16_t code;
    device_user_request_fn builder;
    device_user_parse_fn parser;
    const char *parser_name;
    device_user_header header;  // the request header's keys and their order
};

inline constexpr size_t QV_DEVICE_USER_CMD_COUNT = 17;

// The table in its fixed order (QV_DEVICE_USER_CMD_COUNT rows, no end marker).
const device_user_row *device_user_table();

// Builds the request of `cmd` into `retstr`: 0; QV_ERR_ARG when no row has the code or the builder
// fails (`retstr` then stays as it was).
int DeviceUser_RequestProcess(client_info *info);

// Applies the reply in `recv_buf`: QV_ERR_ARG when there is no text, it is not JSON or has no "header"
// object. Otherwise the header goes into `cmd`, `error` (0 when missing), `token` and `seq` (when present); a
// nonzero "error" is returned at once; else the parser of the row of the reply's "cmd" runs and its
// result is returned (0 when no row has the code). `r_json` is released and cleared on every path.
int DeviceUser_ParseProcess(client_info *info);

// The header step of DeviceUser_ParseProcess: parses `recv_buf` into `r_json` and applies the header.
// The header's "error", or QV_ERR_ARG when there is no usable header (`r_json` may stay set).
int DeviceUser_ParseHeaderJson(client_info *info);

// Builders (record -> 0 or QV_ERR_ARG).
int Request_GetDeviceVersion(client_info *info);      // 1
int Request_DeviceUserEight(client_info *info);       // 8: "data" with one empty object
int Request_RegisterDevice(client_info *info);        // 12: "devicename", "deviceuuid"
int Request_Login(client_info *info);                 // 2: "authCode" (when set), "port", "statusFlag"
int Request_Logout(client_info *info);                // 3
int Request_GetBindCode(client_info *info);           // 10
int Request_GetDeviceID(client_info *info);           // 11
int Request_GetFuncList(client_info *info);           // 15
int Request_RouterHeaderOnly(client_info *info);      // 249, 48, 52, 54, 55, 58
int Request_RouterSetSyncTime(client_info *info);     // 50: "time_value", "time_zone"; -1 without `syncTime`
int Request_RouterSetSyncSystem(client_info *info);   // 51: "sync", "clean_cache"; -1 without `syncSystem`
int Request_RouterSetVersionFlag(client_info *info);  // 56: "version_flag"

// Parsers (record, code, row index, row -> 0, the record's nonzero `error`, or -1). Those that read
// "data" give QV_ERR_ARG ("access NULL") without it; Parser_NotNecessary and Parser_PassThrough need none.
int Parser_GetDeviceVersion(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_login(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_GetBindCode(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_GetDeviceID(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_GetFuncList(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_GetNasDeviceInfo(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parse_GetFwVersion(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parse_GetOtaInfo(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parse_GetVersionFlag(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_NotNecessary(client_info *info, uint16_t code, int index, const device_user_row *row);
int Parser_PassThrough(client_info *info, uint16_t code, int index, const device_user_row *row);
