// Reply parsers of the firmware commands (163 update, 164 version check, 165 update status), the device
// operation (173), the reverse push (174) and the small device rows 104 and 170, plus the streamed-reply
// parsers that read one chunk of a chunked reply into the request's client_file_task: firmware update
// (163), device operation (173), reverse push (174) and the progress of copy, move, delete and the
// recycle-bin operations (159, 160, 167, 211 to 213).
//
// The row parsers are declared with the table in codec/file_process.h; this header holds the records
// they fill and the streamed-reply parsers.
#pragma once

#include <cstdint>

struct client_file_task;

// Firmware offered by the device (reply of 164); texts are cut to their field and terminated.
struct soft_version_info {
    char product[32];
    char version[32];
    char description[1024];
    int64_t size;  // bytes
};

// Firmware update status (reply of 165); the caller zeroes it.
struct ota_info {
    int32_t status;
    int32_t process;
    int32_t total;
    char deviceId[65];
    char target_ver[33];
    char current_ver[33];
};

// The device's view of the P2P client (reply of 170): mode, NAT type and remote IP are filled; the
// remote IP is cut to 15 characters.
struct p2p_client_info {
    int32_t sid;
    uint8_t mode;
    uint8_t nat_type;
    char remote_ip[16];
    uint16_t remote_port;
    uint32_t version;
};

// Streamed-reply parsers (chunk text, task). Each chunk is a whole reply envelope.

// Firmware update (163): status, delay and version, or progress with the Base64 "reserved" task list
// (decoded into the task's owned `reserved`, replaced per chunk; an undecodable text leaves none).
// Always 0: an unusable chunk is logged and skipped.
int parser_FileTaskOta(const char *chunk, client_file_task *task);

// Device operation (173): element 0 of "data": "devStatus", "status", "curProcess", "totalProcess".
// Always 0.
int parser_DeviceTaskExec(const char *chunk, client_file_task *task);

// Reverse push (174): "status" and the three pushed texts into the task's owned slots (a text still
// in its slot is replaced). 0, or -1 for a chunk without text, not JSON or without "data".
int parser_FileTaskConnectDevice(const char *chunk, client_file_task *task);

// Operation progress (159, 160, 167, 211 to 213): "status", and while it is 1 "curCount" and
// "totalCount". 0; the header's nonzero "error"; -1 for a chunk without text, not JSON, without
// "header", or whose "data" has no first element (also when "data" is not an array).
int parser_FileTaskOpt(const char *chunk, client_file_task *task);
