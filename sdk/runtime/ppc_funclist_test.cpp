#include "runtime/ppc_funclist.h"

#include <gtest/gtest.h>

#include <string>

#include "base/qv_log.h"

namespace {

struct LogCapture {
    std::string text;
    LogCapture() {
        qv::set_log_sink([](const char *line, unsigned long len,
                            void *ctx) { static_cast<LogCapture *>(ctx)->text.append(line, len); },
                         this);
    }
    ~LogCapture() { qv::set_log_sink(nullptr, nullptr); }
};

TEST(FuncList, SupportTable) {
    struct Case {
        int32_t list;
        uint64_t flag;
        uint8_t want;
        bool undefined;
    };
    const Case cases[] = {
        {0x1FF, FUNC_SUPPORT_8, 1, false},
        {0x0FF, FUNC_SUPPORT_8, 0, false},  // bit 8 missing
        {0x100, FUNC_SUPPORT_8, 0, false},  // bit 0 missing
        {0x001, FUNC_SUPPORT_BASE, 1, false},
        {0x000, FUNC_SUPPORT_BASE, 0, false},
        {0x003, FUNC_SUPPORT_1, 1, false},
        {0x005, FUNC_SUPPORT_1, 0, false},
        {0x005, FUNC_SUPPORT_2, 1, false},
        {0x009, FUNC_SUPPORT_3, 1, false},
        {0x011, FUNC_SUPPORT_4, 1, false},
        {0x021, FUNC_SUPPORT_5, 1, false},
        {0x041, FUNC_SUPPORT_6, 1, false},
        {0x081, FUNC_SUPPORT_7, 1, false},
        {-1, FUNC_SUPPORT_7, 1, false},  // widened with its sign: every bit set
        {-1, FUNC_SUPPORT_8, 1, false},
        {0x1FF, 2, 0, true},  // bit 1 alone
        {-1, 0, 0, true},
        {-1, 7, 0, true},  // two function bits at once
        {-1, 0x201, 0, true},
        {-1, 1ull << 40 | 1, 0, true},
    };
    for (const Case &c : cases) {
        LogCapture log;
        EXPECT_EQ(ppc_check_FuncList_support(c.list, c.flag), c.want) << c.list << " " << c.flag;
        const std::string line = "func_support_flag = " + std::to_string(c.flag) + " is undefined!";
        EXPECT_EQ(log.text.find(line) != std::string::npos, c.undefined) << c.flag << ": " << log.text;
    }
}

}  // namespace
