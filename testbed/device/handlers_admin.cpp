// Administration (300-344) over an AdminState; the other families of the state live in their own files
// (handlers_settings, handlers_hidden, handlers_shares, handlers_recycle, handlers_account).
#include <ctime>

#include "admin_family.h"

namespace qvemu {

namespace admin {

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
        if (gets(request_args(req), "adminPassword") != st->admin_password)
            return error_reply(kWrongPassword);
        st->admin_password = gets(request_args(req), "newAdminPassword");
        return none();
    });
    d.set_handler(303, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        return gets(request_args(req), "adminPassword") == st->admin_password ? none()
                                                                              : error_reply(kWrongPassword);
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
        for (size_t i = 0; i < st->disks.size() && i < st->disks_listed_max; ++i) {
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
        if (st->space_limit_list_error) return error_reply(*st->space_limit_list_error);
        json_object *list = json_object_new_array();
        for (const auto &u : users) {
            const UserLimit l = st->limits.count(u.user_id) ? st->limits[u.user_id] : UserLimit{};
            json_object_array_add(list, Obj{}
                                            .i("userId", u.user_id)
                                            .s("userName", "user" + std::to_string(u.user_id))
                                            .s("nickName", u.nick_name)
                                            .s("phoneNumber", "1380000" + std::to_string(1000 + u.user_id))
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

}  // namespace admin

std::shared_ptr<AdminState> install_admin_handlers(Device &device) {
    auto st = std::make_shared<AdminState>();
    admin::install_admin(device, st);
    admin::install_settings(device, st);
    admin::install_hidden_space(device, st);
    admin::install_timers(device, st);
    admin::install_shares(device, st);
    admin::install_recycle(device, st);
    admin::install_account(device, st);
    return st;
}

void install_admin_family(Device &device) {
    install_admin_handlers(device);
}

}  // namespace qvemu
