// Account data (200-203): bind code check, user information, authorisation codes, the P2P uuid.
#include "admin_family.h"

namespace qvemu::admin {

namespace {
constexpr int kWrongBindCode = 10021;
}

void install_account(Device &d, const State &st) {
    d.set_handler(200, [st](Device &, const Request &req) {
        json_object *a = request_args(req);
        Lock lk(st->mu);
        auto it = st->bind_codes.find(gets(a, "userId"));
        return it != st->bind_codes.end() && it->second == gets(a, "bindCode") ? none()
                                                                               : error_reply(kWrongBindCode);
    });
    d.set_handler(201, [st](Device &, const Request &req) {
        json_object *a = request_args(req);
        if (!has(a, "userId") || !has(a, "nickName") || !has(a, "userImageUrl"))
            return error_reply(kDataError);
        Lock lk(st->mu);
        st->user_info[gets(a, "userId")] = {gets(a, "nickName"), gets(a, "userImageUrl")};
        return none();
    });
    d.set_handler(202, [st](Device &, const Request &req) {
        const std::string user = gets(request_args(req), "userId");
        Lock lk(st->mu);
        if (st->auth_code_empty_data) return text_reply(json_object_new_array());
        const std::string code = "AUTH-" + user + "-" + std::to_string(st->auth_codes.size() + 1);
        st->auth_codes[user] = code;
        return first(Obj{}.s("authCode", code));
    });
    d.set_handler(203, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.s("p2pUuid", st->p2p_uuid));
    });
}

}  // namespace qvemu::admin
