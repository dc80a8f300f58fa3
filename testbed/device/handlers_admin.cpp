// Administration (300-344), device settings (20, 169, 171, 172, 186, 319-342), hidden space (176-184),
// timers (327, 328, 336, 337) and share links (187-189, 204-206), answered from an AdminState.
#include "handlers_admin.h"

#include <dirent.h>
#include <sys/stat.h>

#include <ctime>

#include "handlers.h"

namespace qvemu {

namespace {

// Device codes of these commands.
constexpr int kHideAlreadyOn = 10013;
constexpr int kHidePwdAlreadySet = 10015;
constexpr int kWrongSmsCode = 10016;
constexpr int kWrongPassword = 10017;
constexpr int kNotUnlocked = 10019;
constexpr int kDataError = 14000;

using State = std::shared_ptr<AdminState>;
using Lock = std::lock_guard<std::mutex>;

json_object *get(json_object *o, const char *k) {
    json_object *v = nullptr;
    return (o != nullptr && json_object_object_get_ex(o, k, &v)) ? v : nullptr;
}
bool has(json_object *o, const char *k) {
    return get(o, k) != nullptr;
}
int geti(json_object *o, const char *k, int def = 0) {
    json_object *v = get(o, k);
    return v != nullptr ? json_object_get_int(v) : def;
}
int64_t geti64(json_object *o, const char *k, int64_t def = 0) {
    json_object *v = get(o, k);
    return v != nullptr ? json_object_get_int64(v) : def;
}
std::string gets(json_object *o, const char *k) {
    json_object *v = get(o, k);
    const char *s = v != nullptr ? json_object_get_string(v) : nullptr;
    return s != nullptr ? s : "";
}

// A small object builder.
struct Obj {
    json_object *o = json_object_new_object();
    Obj &i(const char *k, int64_t v) {
        json_object_object_add(o, k, json_object_new_int64(v));
        return *this;
    }
    Obj &d(const char *k, double v) {
        json_object_object_add(o, k, json_object_new_double(v));
        return *this;
    }
    Obj &s(const char *k, const std::string &v) {
        json_object_object_add(o, k, json_object_new_string(v.c_str()));
        return *this;
    }
    Obj &put(const char *k, json_object *v) {
        json_object_object_add(o, k, v);
        return *this;
    }
};

Reply text_reply(json_object *data) {
    Reply r;
    r.data = json_text(data);
    json_object_put(data);
    return r;
}
// "data": [elem]
Reply first(Obj elem) {
    json_object *arr = json_object_new_array();
    json_object_array_add(arr, elem.o);
    return text_reply(arr);
}
// "data": {...}
Reply object(Obj o) {
    return text_reply(o.o);
}
Reply none() {
    return Reply{};
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int share_status(const ShareLink &s) {
    return (s.expect != 0 && std::time(nullptr) > s.create_time + s.expect) ? 2 : 1;
}

ShareLink *find_share(AdminState &st, int64_t id) {
    for (auto &s : st.shares)
        if (s.id == id) return &s;
    return nullptr;
}

// A file under the served folder: size, modification time, folder flag; false when it does not exist.
bool stat_under(const Device &dev, const std::string &path, int64_t &size, int64_t &mtime, bool &dir) {
    struct stat sb {};
    if (::stat((dev.root() + "/" + path).c_str(), &sb) != 0) return false;
    size = S_ISDIR(sb.st_mode) ? 0 : static_cast<int64_t>(sb.st_size);
    mtime = static_cast<int64_t>(sb.st_mtime);
    dir = S_ISDIR(sb.st_mode);
    return true;
}

Obj share_file_entry(const Device &dev, const std::string &path) {
    int64_t size = 0, mtime = 0;
    bool dir = false;
    stat_under(dev, path, size, mtime, dir);
    return Obj{}
        .s("displayName", base_name(path))
        .s("realName", path)
        .i("size", size)
        .i("modifyTime", mtime)
        .i("isDir", dir ? 1 : 0);
}

void install_admin(Device &d, const State &st) {
    d.set_handler(300, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("status", st->admin_password.empty() ? 1 : 0));
    });
    d.set_handler(301, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->admin_password = gets(request_args(req), "adminPassword");
        return none();
    });
    d.set_handler(302, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (gets(request_args(req), "adminPassword") != st->admin_password) return error_reply(kWrongPassword);
        st->admin_password = gets(request_args(req), "newAdminPassword");
        return none();
    });
    d.set_handler(303, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        return gets(request_args(req), "adminPassword") == st->admin_password ? none() : error_reply(kWrongPassword);
    });
    d.set_handler(304, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}
                         .s("fileSystem", "ext4")
                         .i("bootTime", static_cast<int64_t>(std::time(nullptr)) - 3600)
                         .d("cpuRate", 12.5)
                         .d("ramRate", 40.25)
                         .s("deviceName", st->device_name));
    });
    d.set_handler(305, [st](Device &, const Request &) {
        Lock lk(st->mu);
        json_object *list = json_object_new_array();
        // A real device has two bays: it never lists more than two disks.
        for (size_t i = 0; i < st->disks.size() && i < 2; ++i) {
            const DiskHealth &k = st->disks[i];
            json_object_array_add(list, Obj{}
                                            .s("devModel", k.model)
                                            .s("serialNumber", k.serial)
                                            .i("healthStatus", k.health)
                                            .i("temperatureCelsius", k.temperature)
                                            .i("diskCapacity", k.capacity)
                                            .i("devNumber", k.number)
                                            .i("temperatureDisable", k.temperature_disable)
                                            .o);
        }
        return object(Obj{}.i("mode", st->disk_mode).put("diskStatusInfoList", list));
    });
    struct FlagSlot {
        int get, set;
        int AdminState::*field;
    };
    for (FlagSlot f :
         {FlagSlot{307, 308, &AdminState::bind_flag}, FlagSlot{324, 325, &AdminState::remote_bind_flag},
          FlagSlot{343, 344, &AdminState::local_bind_flag}}) {
        d.set_handler(f.get, [st, f](Device &, const Request &) {
            Lock lk(st->mu);
            return first(Obj{}.i("bindFlag", (*st).*f.field));
        });
        d.set_handler(f.set, [st, f](Device &, const Request &req) {
            Lock lk(st->mu);
            (*st).*f.field = geti(request_args(req), "bindFlag");
            return none();
        });
    }
    d.set_handler(309, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->invited.push_back(gets(request_args(req), "userName"));
        return none();
    });
    d.set_handler(310, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("limitEnable", st->limit_enable));
    });
    d.set_handler(311, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->limit_enable = geti(request_args(req), "limitEnable");
        return none();
    });
    d.set_handler(312, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("limitSpace", st->limit_space).i("limitSet", st->limit_set));
    });
    d.set_handler(313, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->limit_set = geti(request_args(req), "limitSet");
        st->limit_space = geti64(request_args(req), "limitSpace");
        return none();
    });
    d.set_handler(314, [st](Device &dev, const Request &) {
        const auto users = dev.users();
        Lock lk(st->mu);
        json_object *list = json_object_new_array();
        for (const auto &u : users) {
            const UserLimit l = st->limits.count(u.user_id) ? st->limits[u.user_id] : UserLimit{};
            json_object_array_add(list, Obj{}
                                            .i("userId", u.user_id)
                                            .s("userName", "user" + std::to_string(u.user_id))
                                            .s("nickName", u.nick_name)
                                            .i("usedSpace", l.used_space)
                                            .i("limitSpace", l.limit_space)
                                            .i("limitSet", l.limit_set)
                                            .i("userType", 0)
                                            .o);
        }
        return object(Obj{}.put("spaceLimitList", list));
    });
    d.set_handler(315, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        UserLimit &l = st->limits[geti(request_args(req), "userId")];
        l.limit_set = geti(request_args(req), "limitSet");
        l.limit_space = geti64(request_args(req), "limitSpace");
        return none();
    });
    d.set_handler(316, [st](Device &dev, const Request &req) {
        const int id = geti(request_args(req), "userId");
        auto users = dev.users();
        std::erase_if(users, [id](const DeviceUser &u) { return u.user_id == id; });
        dev.set_users(users);
        Lock lk(st->mu);
        st->limits.erase(id);
        return none();
    });
    d.set_handler(317, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("usbBackupMode", st->usb_backup_mode).i("ptpBackupMode", st->ptp_backup_mode));
    });
    d.set_handler(318, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->usb_backup_mode = geti(request_args(req), "usbBackupMode");
        st->ptp_backup_mode = geti(request_args(req), "ptpBackupMode");
        return none();
    });
    d.set_handler(322, [](Device &dev, const Request &req) {
        return first(Obj{}.s("url", "http://" + dev.address() + "/bind?t=" + std::to_string(req.token)));
    });
    d.set_handler(323, [](Device &dev, const Request &) {
        json_object *list = json_object_new_array();
        for (const auto &u : dev.users())
            json_object_array_add(list, Obj{}
                                            .i("userId", u.user_id)
                                            .s("nickName", u.nick_name)
                                            .s("imagePath", "/avatar/" + std::to_string(u.user_id) + ".png")
                                            .o);
        return object(Obj{}.put("userList", list));
    });
    d.set_handler(330, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("status", st->self_start));
    });
    d.set_handler(331, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->self_start = geti(request_args(req), "nas_self_start");
        return none();
    });
    d.set_handler(332, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("cpu_temp", st->cpu_temp).i("fan_freq", st->fan_freq));
    });
    d.set_handler(333, [st](Device &, const Request &) {
        Lock lk(st->mu);
        ++st->reboots;
        return none();
    });
}

void install_settings(Device &d, const State &st) {
    d.set_handler(20, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("status", st->device_status));
    });
    d.set_handler(171, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.s("deviceNickName", st->device_name));
    });
    d.set_handler(172, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (!has(request_args(req), "deviceNickName")) return error_reply(kDataError);
        st->device_name = gets(request_args(req), "deviceNickName");
        return none();
    });
    d.set_handler(169, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        json_object *a = request_args(req);
        st->hidden_records.push_back(std::to_string(geti(a, "userId")) + "/" +
                                     std::to_string(geti(a, "bucketId")) + "/" +
                                     std::to_string(geti(a, "logId")));
        return none();
    });
    d.set_handler(186, [st](Device &, const Request &) {
        Lock lk(st->mu);
        Obj o;
        for (const auto &[key, status] : st->modules) o.put(key.c_str(), Obj{}.i("status", status).o);
        return first(o);
    });
    d.set_handler(319, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("enabled", st->samba_enabled));
    });
    d.set_handler(320, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->samba_enabled = geti(request_args(req), "enabled");
        return none();
    });
    d.set_handler(334, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->sleep_minutes = geti64(request_args(req), "time");
        return none();
    });
    d.set_handler(335, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("time", st->sleep_minutes));
    });
    d.set_handler(338, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        const std::string zone = gets(request_args(req), "timeZone");
        if (zone.empty()) return error_reply(kDataError);
        st->time_zone = zone;
        return none();
    });
    d.set_handler(339, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.s("timeZone", st->time_zone));
    });
    d.set_handler(340, [st](Device &, const Request &) {
        Lock lk(st->mu);
        json_object *list = json_object_new_array();
        for (const auto &[city, zone] : st->zones)
            json_object_array_add(list, Obj{}.s("city", city).s("zone_time", zone).o);
        return object(Obj{}.put("zone_list", list));
    });
    d.set_handler(341, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return object(Obj{}.s("smart_info", st->smart_info));
    });
    d.set_handler(342, [st](Device &, const Request &) {
        Lock lk(st->mu);
        ++st->usb_backup_cancels;
        return none();
    });
}

void install_hidden_space(Device &d, const State &st) {
    d.set_handler(176, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("flag", st->hide_enabled ? 1 : 0));
    });
    d.set_handler(177, [st](Device &, const Request &) {
        Lock lk(st->mu);
        if (st->hide_enabled) return error_reply(kHideAlreadyOn);
        st->hide_enabled = true;
        return none();
    });
    d.set_handler(178, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("flag", st->hide_pwd.empty() ? 0 : 1));
    });
    d.set_handler(179, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (!st->hide_pwd.empty()) return error_reply(kHidePwdAlreadySet);
        const std::string pwd = gets(request_args(req), "pwd");
        if (pwd.size() < 6 || pwd.size() > 32) return error_reply(kDataError);
        st->hide_pwd = pwd;
        return none();
    });
    d.set_handler(180, [st](Device &, const Request &) {
        Lock lk(st->mu);
        ++st->sms_sent;
        st->sms_code = std::to_string(100000 + (st->sms_sent * 7919) % 900000);
        return none();
    });
    d.set_handler(181, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        const std::string code = gets(request_args(req), "verify_code");
        if (st->sms_code.empty() || code != st->sms_code) return error_reply(kWrongSmsCode);
        const std::string pwd = gets(request_args(req), "pwd");
        if (pwd.size() < 6 || pwd.size() > 32) return error_reply(kDataError);
        st->hide_pwd = pwd;
        st->sms_code.clear();  // one use
        return none();
    });
    d.set_handler(182, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (st->hide_pwd.empty() || gets(request_args(req), "pwd") != st->hide_pwd) return error_reply(kWrongPassword);
        st->hide_unlocked = true;
        return none();
    });
    d.set_handler(183, [st](Device &, const Request &) {
        Lock lk(st->mu);
        if (!st->hide_unlocked) return error_reply(kNotUnlocked);
        st->hide_unlocked = false;
        return none();
    });
    d.set_handler(184, [st](Device &, const Request &) {
        Lock lk(st->mu);
        if (!st->hide_unlocked) return error_reply(kNotUnlocked);  // sent without "data"
        return first(Obj{}.s("nick_name", st->hide_nick_name).i("bucket_id", st->hide_bucket_id));
    });
}

void install_timers(Device &d, const State &st) {
    d.set_handler(336, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("flag", st->timer_flag));
    });
    d.set_handler(337, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        st->timer_flag = geti(request_args(req), "flag");
        return none();
    });
    d.set_handler(327, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        const auto t = st->timers[geti(request_args(req), "switch_type")];
        return first(Obj{}.i("time_seconds", t.first).i("once", t.second));
    });
    d.set_handler(328, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        json_object *a = request_args(req);
        st->timers[geti(a, "switch_type")] = {geti(a, "time_seconds"), geti(a, "once")};
        return none();
    });
}

void install_shares(Device &d, const State &st) {
    d.set_handler(187, [st](Device &dev, const Request &req) {
        json_object *a = request_args(req);
        json_object *files = get(a, "fileList");
        if (files == nullptr || !json_object_is_type(files, json_type_array)) return error_reply(kDataError);
        Lock lk(st->mu);
        ShareLink s;
        s.id = st->next_share_id++;
        for (size_t i = 0; i < json_object_array_length(files); ++i) {
            json_object *f = json_object_array_get_idx(files, i);
            s.items.emplace_back(geti(f, "bucketId"), gets(f, "path"));
        }
        s.name = s.items.empty() ? "share" : base_name(s.items.front().second);
        if (s.items.size() > 1) s.name += " and " + std::to_string(s.items.size() - 1) + " more";
        s.url = "http://" + dev.address() + "/s/" + std::to_string(s.id);
        if (geti(a, "hasPw") != 0) s.password = "pw" + std::to_string(1000 + s.id);
        s.create_time = static_cast<int64_t>(std::time(nullptr));
        s.expect = geti(a, "expect");
        st->shares.push_back(s);
        Obj o;
        o.s("name", s.name)
            .s("url", s.url)
            .i("createTime", s.create_time)
            .i("hasPw", s.password.empty() ? 0 : 1);
        if (!s.password.empty()) o.s("password", s.password);
        o.i("expect", s.expect);
        return first(o);
    });
    d.set_handler(188, [st](Device &, const Request &req) {
        json_object *a = request_args(req);
        const int offset = geti(a, "offset");
        const int len = geti(a, "len");  // 0: all
        Lock lk(st->mu);
        json_object *list = json_object_new_array();
        int count = 0;
        for (size_t i = static_cast<size_t>(offset < 0 ? 0 : offset); i < st->shares.size(); ++i) {
            if (len > 0 && count == len) break;
            const ShareLink &s = st->shares[i];
            Obj o;
            o.i("shareId", s.id)
                .i("fileCount", static_cast<int64_t>(s.items.size()))
                .s("name", s.name)
                .s("url", s.url)
                .i("createTime", s.create_time)
                .i("hasPw", s.password.empty() ? 0 : 1);
            if (!s.password.empty()) o.s("password", s.password);
            o.i("expect", s.expect).i("status", share_status(s));
            json_object_array_add(list, o.o);
            ++count;
        }
        return first(Obj{}
                         .i("count", count)
                         .i("total", static_cast<int64_t>(st->shares.size()))
                         .put("shareList", list));
    });
    d.set_handler(189, [st](Device &, const Request &req) {
        const int64_t id = geti(request_args(req), "shareId");
        Lock lk(st->mu);
        const auto before = st->shares.size();
        std::erase_if(st->shares, [id](const ShareLink &s) { return s.id == id; });
        return st->shares.size() == before ? error_reply(kDataError) : none();
    });
    d.set_handler(204, [st](Device &dev, const Request &req) {
        json_object *a = request_args(req);
        const std::string dir = gets(a, "fileDir");
        Lock lk(st->mu);
        ShareLink *s = find_share(*st, geti(a, "shareId"));
        if (s == nullptr) return error_reply(kDataError);
        json_object *list = json_object_new_array();
        if (dir.empty() || dir == "/") {
            for (const auto &item : s->items)
                json_object_array_add(list, share_file_entry(dev, item.second).o);
        } else if (DIR *dp = ::opendir((dev.root() + "/" + dir).c_str())) {
            while (dirent *e = ::readdir(dp)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                json_object_array_add(list, share_file_entry(dev, dir + "/" + name).o);
            }
            ::closedir(dp);
        }
        const int n = static_cast<int>(json_object_array_length(list));
        return first(Obj{}
                         .i("count", n)
                         .i("total", n)
                         .s("displayDir", dir.empty() ? "/" : dir)
                         .put("shareFileList", list));
    });
    for (int cmd : {205, 206}) {
        d.set_handler(cmd, [st, cmd](Device &dev, const Request &req) {
            json_object *a = request_args(req);
            const std::string path = gets(a, "path");
            Lock lk(st->mu);
            if (find_share(*st, geti(a, "shareId")) == nullptr) return error_reply(kDataError);
            if (cmd == 205) st->upload_urls.push_back(gets(a, "uploadUrl"));
            int64_t size = 0, mtime = 0;
            bool dir = false;
            stat_under(dev, path, size, mtime, dir);
            const int64_t start = geti64(a, "start"), end = geti64(a, "end");
            const int64_t last = end > size ? size : end;
            const int64_t data_size = last > start ? last - start : 0;
            return first(Obj{}
                             .s("displayName", base_name(path))
                             .i("size", size)
                             .i("modifyTime", mtime)
                             .i("dataSize", data_size));
        });
    }
}

}  // namespace

std::shared_ptr<AdminState> install_admin_handlers(Device &device) {
    auto st = std::make_shared<AdminState>();
    install_admin(device, st);
    install_settings(device, st);
    install_hidden_space(device, st);
    install_timers(device, st);
    install_shares(device, st);
    return st;
}

void install_admin_family(Device &device) {
    install_admin_handlers(device);
}

}  // namespace qvemu
