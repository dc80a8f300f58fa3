#include "runtime/usb_notify.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/qv_log.h"

namespace {

TEST(UsbStatus, ParsesTheEdgeCasesOfThePushedText) {
    qv::set_log_enabled(false);
    const std::string base = R"("device_name":"Stick","count_all":10,"bytes_all":1000,"count_already":4,)"
                             R"("bytes_already":400)";
    const std::string ext = R"(,"tm_start":5,"count_seek":2,"bytes_seek":50,"tm_now":9)";
    struct Case {
        const char *what;
        std::string text;
        int rc;
        int32_t backup_state = 0, version = 0, scan_cnt = 0;
        int64_t speed = 0, remain = 0;
        const char *uuid = "";
    };
    const std::vector<Case> cases = {
        {"plain, in progress", "{\"status\":0," + base + "}", 0, 1, 0, 0, 0, 0, "Stick"},
        {"plain, all copied",
         R"({"status":0,"device_name":"S","count_all":3,"bytes_all":9,"count_already":3,)"
         R"("bytes_already":9,"device_uuid":"U"})",
         0, 2, 0, 0, 0, 0, "U"},
        {"status not 0 ends it", "{\"status\":5," + base + "}", 0, 2, 0, 0, 0, 0, "Stick"},
        {"given backup_state", "{\"status\":0,\"backup_state\":3," + base + "}", 0, 3, 0, 0, 0, 0, "Stick"},
        {"extended, scanning", "{\"status\":0," + base + ext + ",\"is_scan_over\":0,\"speed\":7}", 0, 1, 1,
         12, 7, 0, "Stick"},
        {"extended, scan over", "{\"status\":0," + base + ext + ",\"is_scan_over\":1,\"speed\":100}", 0, 1, 1,
         12, 100, 6, "Stick"},
        {"scan over, no speed", "{\"status\":0," + base + ext + ",\"is_scan_over\":1}", 0, 1, 1, 12, 1, 600,
         "Stick"},
        {"scan over, speed -3", "{\"status\":0," + base + ext + ",\"is_scan_over\":1,\"speed\":-3}", 0, 1, 1,
         12, 1, 600, "Stick"},
        {"extended, missing tm_now",
         "{\"status\":0," + base + R"(,"tm_start":5,"count_seek":2,"bytes_seek":50,"is_scan_over":0})", -1},
        {"no status", "{" + base + "}", -1},
        {"missing bytes_all",
         R"({"status":0,"device_name":"S","count_all":1,"count_already":1,"bytes_already":1})", -1},
        {"count as text",
         R"({"status":0,"device_name":"S","count_all":"1","bytes_all":1,"count_already":1,)"
         R"("bytes_already":1})",
         -1},
        {"not JSON", "usb!", -1},
        {"array", "[1,2]", -1},
        {"count sum overflows",
         R"({"status":0,"device_name":"S","count_all":2147483647,"bytes_all":1,"count_already":1,)"
         R"("bytes_already":1,"tm_start":1,"count_seek":1,"bytes_seek":0,"is_scan_over":0,"tm_now":1})",
         -1},
        {"remaining overflows",
         R"({"status":0,"device_name":"S","count_all":1,"bytes_all":9223372036854775807,"count_already":1,)"
         R"("bytes_already":-9,"tm_start":1,"count_seek":0,"bytes_seek":0,"is_scan_over":1,"tm_now":1})",
         -1},
    };
    for (const Case &c : cases) {
        qv_usb_status s{};
        ASSERT_EQ(get_usbstatus_by_jsonstring(c.text.c_str(), &s), c.rc) << c.what;
        if (c.rc != 0) continue;
        EXPECT_EQ(s.backup_state, c.backup_state) << c.what;
        EXPECT_EQ(s.version, c.version) << c.what;
        EXPECT_EQ(s.scan_cnt_dev, c.scan_cnt) << c.what;
        EXPECT_EQ(s.speed, c.speed) << c.what;
        EXPECT_EQ(s.remain_time, c.remain) << c.what;
        EXPECT_STREQ(s.device_uuid, c.uuid) << c.what;
    }
    qv_usb_status s{};
    std::string longname(200, 'n');
    ASSERT_EQ(
        get_usbstatus_by_jsonstring(("{\"status\":0,\"device_name\":\"" + longname +
                                     R"(","count_all":1,"bytes_all":1,"count_already":0,"bytes_already":0})")
                                        .c_str(),
                                    &s),
        0);
    EXPECT_EQ(std::string(s.device_name), longname.substr(0, 63));
    qv::set_log_enabled(true);
}

std::vector<std::vector<qv_usb_status>> g_reports;
void on_report(const qv_usb_status *list, int count) {
    g_reports.emplace_back(list, list + count);
}

qv_usb_status status(const char *uuid, int32_t state) {
    qv_usb_status s{};
    std::snprintf(s.device_uuid, sizeof s.device_uuid, "%s", uuid);
    s.backup_state = state;
    return s;
}

TEST(UsbNotify, ReportsEveryDeviceOnceMoreAfterItEndsAndLogoutKeepsOtherDevices) {
    g_reports.clear();
    init_usbnotify_list();
    for (int i = 0; i < 12; ++i) {  // more USB devices than a fixed buffer of 8 would hold
        std::string u = "u" + std::to_string(i);
        qv_usb_status s = status(u.c_str(), 1);
        ASSERT_EQ(update_add_usbnotify_list(&s, i < 6 ? 1 : 2), 0);
    }
    qv_usb_status done = status("u0", 2);
    update_add_usbnotify_list(&done, 1);
    qv_usb_status back = status("u0", 1);  // a lower state never overwrites
    update_add_usbnotify_list(&back, 1);
    check_usbnotify_list(on_report);
    ASSERT_EQ(g_reports.size(), 1u);
    ASSERT_EQ(g_reports[0].size(), 12u);
    EXPECT_EQ(g_reports[0][0].backup_state, 2);
    remove_usbnotify_owner(1);  // device 1 logs out
    check_usbnotify_list(on_report);
    ASSERT_EQ(g_reports.size(), 2u);
    EXPECT_EQ(g_reports[1].size(), 6u);  // device 2's entries stay
    EXPECT_STREQ(g_reports[1][0].device_uuid, "u6");
    EXPECT_EQ(uninit_usbnotify_list(), 0);
    EXPECT_EQ(uninit_usbnotify_list(), -1);
}

}  // namespace
