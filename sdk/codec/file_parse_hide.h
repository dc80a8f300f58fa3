// Records of the hidden-space and timer commands: their request blocks and the hidden-space information
// record of command 184. The module-support list is in codec/file_list.h.
#pragma once

#include <cstdint>

// Hidden-space information of command 184; one zeroed heap block, freed by its owner with free().
struct hide_space_info {
    char nick_name[65];
    int32_t bucket_id;
};

// Request block of 176: the flag the parser writes.
struct hide_space_en_flag_req {
    int32_t flag;
};

// Request block of 178 (flag written by the parser) and 179 (the password to set, at most 32 bytes).
struct hide_space_pwd_set_req {
    int32_t flag;
    char pwd[33];
};

// Request block of 181.
struct hide_space_pwd_reset_req {
    char pwd[33];
    char verify_code[7];
};

// Request block of 182.
struct hide_space_login_req {
    char pwd[33];
};

// Request block of 184: the record the parser allocates.
struct hide_space_info_req {
    hide_space_info *Info;
};

// Request block of 327 and 328.
struct timer_switch_req {
    int32_t switch_type;  // 1 the start-up timer, others the shut-down timer
    int32_t time_seconds;
    int32_t once;
};
