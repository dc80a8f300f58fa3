// The LAN device record: filled by discovery in the runtime, and sent by the command layer's device
// registration (its name and uuid only).
#pragma once

#include <cstdint>

// One device as LAN discovery knows it; every text NUL-terminated, the record zeroed when created.
struct qv_dev_detail {
    qv_dev_detail *next;
    qv_dev_detail *prev;
    char mac[32];
    char ip[32];  // dotted IPv4 text: the record's key
    char type_name[64];
    int32_t type;
    char dev_uuid[65];     // empty until the details are known
    char device_name[65];  // at most 64 characters kept
    char p2p_uuid[33];
    int32_t port;
    int32_t suppServ;
    char miscellaneous[32];
    int32_t life;         // 0 unknown details, 100 filled, 20 after a refresh, minus 1 per ageing
    int32_t detail_flag;  // 1 once the details are filled
};
