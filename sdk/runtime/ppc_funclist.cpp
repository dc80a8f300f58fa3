#include "runtime/ppc_funclist.h"

#include "base/qv_log.h"

namespace {

constexpr uint64_t kDefined[] = {FUNC_SUPPORT_BASE, FUNC_SUPPORT_1, FUNC_SUPPORT_2,
                                 FUNC_SUPPORT_3,    FUNC_SUPPORT_4, FUNC_SUPPORT_5,
                                 FUNC_SUPPORT_6,    FUNC_SUPPORT_7, FUNC_SUPPORT_8};

bool defined(uint64_t flag) {
    for (uint64_t f : kDefined)
        if (f == flag) return true;
    return false;
}

}  // namespace

uint8_t ppc_check_FuncList_support(int32_t funcList, uint64_t flag) {
    if (!defined(flag)) {
        QV_LOG_ERROR("func_support_flag = %llu is undefined!", static_cast<unsigned long long>(flag));
        return 0;
    }
    const auto list = static_cast<uint64_t>(static_cast<int64_t>(funcList));
    return (list & flag) == flag ? 1 : 0;
}
