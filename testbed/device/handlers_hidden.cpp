// Hidden space (176-185) and timers (327, 328, 336, 337).
#include "admin_family.h"

namespace qvemu::admin {

void install_hidden_space(Device &d, const State &st) {
    d.set_handler(176, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (foreign_token(*st, req)) return error_reply(kUserNotFound);
        return first(Obj{}.i("flag", st->hide_enabled ? 1 : 0));
    });
    d.set_handler(177, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (foreign_token(*st, req)) return error_reply(kUserNotFound);
        if (st->hide_enabled) return error_reply(kHideAlreadyOn);
        st->hide_enabled = true;
        return none();
    });
    d.set_handler(178, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (foreign_token(*st, req)) return error_reply(kUserNotFound);
        return first(Obj{}.i("flag", st->hide_pwd.empty() ? 0 : 1));
    });
    d.set_handler(179, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (foreign_token(*st, req)) return error_reply(kUserNotFound);
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
        if (foreign_token(*st, req)) return error_reply(kUserNotFound);
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
        if (foreign_token(*st, req)) return error_reply(kUserNotFound);
        if (st->hide_pwd.empty() || gets(request_args(req), "pwd") != st->hide_pwd)
            return error_reply(kWrongPassword);
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
    d.set_handler(185, [st](Device &dev, const Request &req) {
        {
            Lock lk(st->mu);
            if (!st->hide_unlocked) return error_reply(kNotUnlocked);
            ++st->hidden_pages;
        }
        return folder_listing(dev, req);
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

}  // namespace qvemu::admin
