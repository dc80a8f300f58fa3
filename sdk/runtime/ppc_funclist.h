// The device's function list: a 32-bit mask (the "statusFlag" of command 15) whose bits name the functions
// the device offers. A function is asked for by a flag of bit 0 together with one of bits 1 to 8.
#pragma once

#include <cstdint>

enum func_support_flag : uint64_t {
    FUNC_SUPPORT_BASE = 0x001,
    FUNC_SUPPORT_1 = 0x003,
    FUNC_SUPPORT_2 = 0x005,
    FUNC_SUPPORT_3 = 0x009,
    FUNC_SUPPORT_4 = 0x011,
    FUNC_SUPPORT_5 = 0x021,
    FUNC_SUPPORT_6 = 0x041,
    FUNC_SUPPORT_7 = 0x081,
    FUNC_SUPPORT_8 = 0x101,
};

// 1 when every bit of `flag` is set in `funcList` widened with its sign to 64 bits, else 0. A flag that
// is none of the defined values gives 0 with "func_support_flag = %llu is undefined!".
uint8_t ppc_check_FuncList_support(int32_t funcList, uint64_t flag);
