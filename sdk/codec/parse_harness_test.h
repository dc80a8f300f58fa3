// Test harness of the reply parsers: one zeroed record with every caller block a parser may write,
// replies fed through file_parse_process, and clean-up of whatever a parser handed over. Beside it a
// plain record for the tests that hang their own blocks on it, and walkers of the lists parsers build.
#pragma once

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_list.h"
#include "codec/file_parse_admin.h"
#include "codec/file_parse_hide.h"
#include "codec/file_parse_list.h"
#include "codec/file_parse_settings.h"
#include "codec/file_parse_share.h"
#include "codec/file_process.h"

namespace parse_harness {

struct Harness {
    client_info ci{};
    admin_sys_info sys{};
    disk_status_list disks{};
    char name[64];
    char url[32];
    dev_sleep_time_req sleep{};
    time_zone_req zone{};
    hide_space_en_flag_req en{};
    hide_space_pwd_set_req pwdSet{};
    hide_space_info_req hsInfo{};
    timer_switch_req timer{};
    create_share_req create{};
    get_share_list_req shareList{};
    get_share_file_list_req fileList{};
    get_share_file_data_req fileData{};
    get_share_file_attr_req fileAttr{};

    Harness() {
        std::memset(&ci, 0, sizeof ci);
        std::memset(name, 'x', sizeof name);
        std::memset(url, 'x', sizeof url);
        ci.sysInfo = &sys;
        ci.diskStatusInfoList = &disks;
        ci.deviceNickName = name;
        ci.shareBindUrl = url;
        ci.shareBindUrlSize = sizeof url;
    }
    Harness(const Harness &) = delete;
    ~Harness() { release(); }

    // Points `req` at the block of the command.
    void point_req(int cmd) {
        switch (cmd) {
            case 335:
                ci.req.devSleepTime = &sleep;
                break;
            case 339:
            case 340:
                ci.req.pTimeZone = &zone;
                break;
            case 176:
                ci.req.hideSpaceEnFlag = &en;
                break;
            case 178:
                ci.req.hideSpacePwdSet = &pwdSet;
                break;
            case 184:
                ci.req.hideSpaceInfo = &hsInfo;
                break;
            case 327:
                ci.req.timerSwitch = &timer;
                break;
            case 187:
                ci.req.pCreateShare = &create;
                break;
            case 188:
                ci.req.pGetShareList = &shareList;
                break;
            case 204:
                ci.req.pGetShareFileList = &fileList;
                break;
            case 205:
                ci.req.pGetShareFileData = &fileData;
                break;
            case 206:
                ci.req.pGetShareFileAttr = &fileAttr;
                break;
            default:
                break;
        }
    }

    // Runs a reply text through the dispatcher as the answer to `cmd`.
    int run(int cmd, const std::string &reply) {
        ci.cmd = cmd;
        point_req(cmd);
        std::free(ci.recv_buf);
        ci.recv_buf = strdup(reply.c_str());
        const int rc = file_parse_process(&ci);
        std::free(ci.recv_buf);
        ci.recv_buf = nullptr;
        return rc;
    }

    // A reply with the given header error and "data" text (none when null).
    int reply(int cmd, const char *data, int error = 0) {
        std::ostringstream s;
        s << "{ \"header\": { \"cmd\": " << cmd << ", \"seq\": 0, \"error\": " << error << " }";
        if (data != nullptr) s << ", \"data\": " << data;
        s << " }";
        return run(cmd, s.str());
    }

    // Frees what parsers handed over, as the calls do.
    void release() {
        qv_space_limit_list_free(ci.spaceLimitList);
        ci.spaceLimitList = nullptr;
        qv_user_list_free(ci.userList);
        ci.userList = nullptr;
        std::free(ci.reserved);
        ci.reserved = nullptr;
        if (ci.mList != nullptr) ppc_destory_module_support_list(&ci.mList);
        qv_zone_list_free(zone.zoneList);
        zone.zoneList = nullptr;
        std::free(hsInfo.Info);
        hsInfo.Info = nullptr;
        std::free(create.result);
        create.result = nullptr;
        share_list_free(shareList.result);
        shareList.result = nullptr;
        share_file_list_free(fileList.result);
        fileList.result = nullptr;
        std::free(fileData.result);
        fileData.result = nullptr;
        std::free(fileAttr.result);
        fileAttr.result = nullptr;
        std::free(ci.retstr);
        ci.retstr = nullptr;
    }

    // Whether any parser left a heap result behind.
    bool holds_result() const {
        return ci.spaceLimitList || ci.userList || ci.reserved || ci.mList || zone.zoneList || hsInfo.Info ||
               create.result || shareList.result || fileList.result || fileData.result || fileAttr.result;
    }
};

// Keeps the log quiet while a test feeds malformed replies.
struct Quiet : ::testing::Test {
    void SetUp() override { qv::set_log_enabled(false); }
    void TearDown() override { qv::set_log_enabled(true); }
};

// A whole reply of `cmd` with the given header error and "data" text (none when null).
inline std::string reply_text(int cmd, const char *data, int error = 0) {
    std::string text =
        "{\"header\": {\"cmd\": " + std::to_string(cmd) + ", \"error\": " + std::to_string(error) + "}";
    if (data) text += std::string(", \"data\": ") + data;
    text += "}";
    return text;
}

// Frees a file list holder with its lists.
inline void free_holder(file_list_info *&fl) {
    if (!fl) return;
    ppc_destory_file_list(fl->list);
    uuid_list_free(fl->uuid_list);
    std::free(fl);
    fl = nullptr;
}

// A zeroed record that frees every text and list the processor and the parsers may leave in it.
struct Record {
    client_info ci;
    Record() { std::memset(&ci, 0, sizeof ci); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    ~Record() {
        std::free(ci.retstr);
        std::free(ci.recv_buf);
        std::free(ci.cacheKey);
        std::free(ci.reserved);
        if (ci.r_json) json_object_put(ci.r_json);
        free_holder(ci.file_list);
        ppc_destory_disk_list(ci.diskList);
        ppc_free_user_list(ci.user_list);
        ppc_free_recent_list(ci.rList);
        ppc_free_resyscle_list(ci.resyscleList);
        ppc_free_resyscle_info(ci.resyscleInfo);
        destory_record_list(ci.rangeList);
    }

    // Puts a copy of `text` (none when null) in the receive buffer.
    void receive(const char *text) {
        std::free(ci.recv_buf);
        ci.recv_buf = text ? strdup(text) : nullptr;
    }
    // Puts a whole reply of `cmd` in the receive buffer as the answer to `cmd`.
    void reply(int cmd, const char *data, int error = 0) {
        ci.cmd = cmd;
        receive(reply_text(cmd, data, error).c_str());
    }
    // Runs a whole reply of `cmd` through the dispatcher.
    int parse(int cmd, const char *data, int error = 0) {
        reply(cmd, data, error);
        return file_parse_process(&ci);
    }
};

// The names of a file list in order ("(null)" for a node without one).
inline std::vector<std::string> names(const file_dnode *n) {
    std::vector<std::string> out;
    for (; n; n = n->next) out.push_back(n->name ? n->name : "(null)");
    return out;
}

// The tag names of a ring in walk order (none for no ring).
inline std::vector<std::string> tags(const tag_head *ring) {
    std::vector<std::string> out;
    if (!ring) return out;
    for (const tag_entry *e = ring->next; e != tag_ring_end(ring); e = e->next) out.push_back(e->tagName);
    return out;
}

// Removes `key` from the object reached by `path` ("" the value itself; "/"-separated members and
// array indexes) of a JSON text; returns the new text.
inline std::string without(const char *json, const std::string &path, const char *key) {
    json_object *root = json_tokener_parse(json);
    json_object *at = root;
    std::stringstream ss(path);
    std::string part;
    while (at != nullptr && std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        if (json_object_is_type(at, json_type_array))
            at = json_object_array_get_idx(at, std::stoul(part));
        else
            at = json_object_object_get(at, part.c_str());
    }
    EXPECT_NE(at, nullptr) << path;
    if (at != nullptr) json_object_object_del(at, key);
    std::string out = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    json_object_put(root);
    return out;
}

// The text of a ring walked from the head forward, one field per node.
template <typename Node, typename Head, typename F>
std::string walk(Head *head, Node *(*of)(share_ring_link *), F field) {
    std::string out;
    for (share_ring_link *l = head->link.next; l != &head->link; l = l->next) {
        if (!out.empty()) out += ",";
        out += field(of(l));
    }
    return out;
}

// The share names of a share ring from the head forward.
inline std::string share_names(share_list *l) {
    return walk<share_info>(l, share_info_of, [](share_info *s) { return std::string(s->shareName); });
}

}  // namespace parse_harness
