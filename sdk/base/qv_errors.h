// Result codes of the device SDK. 0 is success; a nonzero "error" of a device reply header passes through
// unchanged.
#pragma once

enum QvResult : int {
    QV_OK = 0,
    QV_ERR_ARG = -1,          // missing argument, or a required reply member missing
    QV_ERR_NOT_IN_LIST = -1,  // a look-up in a result list found nothing
    QV_ERR_FAILED = -1,       // a local step failed (a file, a lock, an allocation, a read callback)

    // Socket message layer.
    QV_ERR_SOCK_ALLOC = -9001,   // allocation failure or bad length
    QV_ERR_SOCK_IO = -9002,      // read or write failure
    QV_ERR_SOCK_CLOSED = -9003,  // peer closed
    QV_ERR_SOCK_TIMEOUT = -9004,
    QV_ERR_SOCK_NULLBUF = -9005,

    QV_ERR_CMD_NOT_FOUND = 10001,  // command code not in the table
    QV_ERR_BAD_DATA = 10002,       // reply "data" missing or malformed
    QV_ERR_NOT_BUILT = 10003,      // request not built or not sent; reply not JSON or without "header"
    QV_ERR_NO_PARSER = 10004,      // the command's reply parser is not available in this build
    QV_ERR_DL_NO_TYPE = 10005,     // download reply without type or length
    QV_ERR_DL_CLOSED = 10007,      // device closed the connection before the end of a download
    QV_ERR_CONN_LOST_A = 10102,    // a connection-loss code: a kept connection is closed on it
    QV_ERR_RECV = 10103,           // no reply within the time-out
    QV_ERR_LOCAL_FILE = 10105,     // decompression or local file error
    QV_ERR_CONN_LOST_B = 10107,    // likewise
    QV_ERR_LOCAL_MISSING = 10202,  // local file missing
    QV_ERR_OTHER_PARTIAL = 10258,  // partial download of another file
    QV_ERR_PARTIAL_GONE = 13115,   // the partial download file disappeared
    QV_ERR_LOCAL_FILE2 = 13116,
    QV_ERR_NET = 15000,         // send or receive failure on the connection
    QV_ERR_FW_FAILED = 10286,   // the device reported its firmware update failed
    QV_ERR_FW_TIMEOUT = 20001,  // firmware update timed out
    // The device login cannot reach the device.
    QV_ERR_LOGIN_UNREACHABLE = 16001,
    QV_ERR_DISK_FULL = 20006,
    QV_ERR_CANCELLED = 20008,
    QV_ERR_INFLATE = 20009,
    QV_ERR_DECRYPT = 20010,
};
