#include "handlers_device_user.h"

#include <cinttypes>
#include <cstdio>

#include "handlers.h"

namespace qvemu {

namespace {

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

json_object *member(json_object *o, const char *key) {
    json_object *v = nullptr;
    if (o == nullptr || !json_object_is_type(o, json_type_object)) return nullptr;
    return json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

// The request's parameter object: element 0 of the "data" array.
json_object *params(const Request &req) {
    if (req.data == nullptr || !json_object_is_type(req.data, json_type_array) ||
        json_object_array_length(req.data) == 0)
        return nullptr;
    return json_object_array_get_idx(req.data, 0);
}

// A reply whose "data" is an array holding one object of the given members.
Reply one(std::initializer_list<std::pair<const char *, json_object *>> members) {
    Json arr(json_object_new_array());
    json_object *e = json_object_new_object();
    for (const auto &[k, v] : members) json_object_object_add(e, k, v);
    json_object_array_add(arr.get(), e);
    Reply r;
    r.data = json_text(arr.get());
    return r;
}

json_object *str(const std::string &s) {
    return json_object_new_string(s.c_str());
}

// Commands that carry the session token of a login.
void note_token(DeviceUserModel &m, const Request &req) {
    m.update([&](DeviceUserState &s) {
        if (s.sessions.count(req.token) == 0) ++s.unknown_token_requests;
    });
}

Reply login(DeviceUserModel &m, const Request &req) {
    json_object *code = member(params(req), "authCode");
    const std::string auth = code ? json_object_get_string(code) : "";
    int64_t token = 0;
    int error = 0;
    bool send_token = true;
    DeviceUserState s;
    m.update([&](DeviceUserState &st) {
        if (code == nullptr || st.auth_codes.count(auth) == 0) {
            error = st.login_error;
        } else {
            token = st.next_token++;
            st.sessions[token] = auth;
            ++st.logins;
        }
        send_token = st.login_sends_token;
        s = st;
    });
    std::string data;
    if (error == 0) {
        Json arr(json_object_new_array());
        json_object *e0 = json_object_new_object(), *e1 = json_object_new_object(),
                    *e2 = json_object_new_object(), *e3 = json_object_new_object();
        json_object_object_add(e0, "ver", str(s.version));
        json_object_object_add(e1, "funcListFlag", json_object_new_int(s.func_list_flag));
        json_object_object_add(e2, "databaseSign", json_object_new_int(s.database_sign));
        json_object_object_add(e3, "customCode", str(s.custom_code));
        json_object_object_add(e3, "versionCode", str(s.version_code));
        json_object_object_add(e3, "version_flag", json_object_new_int(s.version_flag));
        for (json_object *e : {e0, e1, e2, e3}) json_object_array_add(arr.get(), e);
        data = json_text(arr.get());
    } else {
        data = "[{}]";
    }
    // The header hands out the new session token (the request carried none).
    char head[160];
    if (send_token && error == 0)
        std::snprintf(head, sizeof head,
                      "{\"header\":{\"cmd\":2,\"error\":%d,\"token\":%" PRId64 ",\"seq\":%" PRId32 "}", error,
                      token, req.seq);
    else
        std::snprintf(head, sizeof head, "{\"header\":{\"cmd\":2,\"error\":%d,\"seq\":%" PRId32 "}", error,
                      req.seq);
    Reply r;
    r.raw_text = std::string(head) + ",\"data\":" + data + "}";
    return r;
}

Reply empty_data() {
    Reply r;
    r.data = "[{}]";
    return r;
}

}  // namespace

std::shared_ptr<DeviceUserModel> install_device_user_handlers(Device &device,
                                                              std::shared_ptr<DeviceUserModel> model) {
    if (!model) model = std::make_shared<DeviceUserModel>();
    auto m = model;
    device.set_handler(1, [m](Device &, const Request &) { return one({{"ver", str(m->get().version)}}); });
    device.set_handler(2, [m](Device &, const Request &req) { return login(*m, req); });
    device.set_handler(3, [m](Device &, const Request &req) {
        m->update([&](DeviceUserState &s) {
            ++s.logouts;
            if (s.sessions.erase(req.token) == 0) ++s.unknown_token_requests;
        });
        return empty_data();
    });
    device.set_handler(8, [](Device &, const Request &) { return empty_data(); });
    device.set_handler(10, [m](Device &, const Request &) {
        return one({{"bindCode", str(m->get().bind_code)}});
    });
    device.set_handler(11, [m](Device &, const Request &) {
        return one({{"deviceId", str(m->get().device_id)}});
    });
    device.set_handler(12, [m](Device &, const Request &req) {
        note_token(*m, req);
        json_object *p = params(req);
        int error = 0;
        m->update([&](DeviceUserState &s) {
            error = s.register_error;
            if (error != 0) return;
            s.registered_name =
                member(p, "devicename") ? json_object_get_string(member(p, "devicename")) : "";
            s.registered_uuid =
                member(p, "deviceuuid") ? json_object_get_string(member(p, "deviceuuid")) : "";
            s.registrations.emplace_back(s.registered_name, s.registered_uuid);
        });
        Reply r = empty_data();
        r.error = error;
        return r;
    });
    device.set_handler(15, [m](Device &, const Request &req) {
        note_token(*m, req);
        return one({{"statusFlag", json_object_new_int(m->get().status_flag)}});
    });
    device.set_handler(48, [m](Device &, const Request &req) {
        note_token(*m, req);
        m->update([](DeviceUserState &s) { ++s.udisk_upgrades; });
        return empty_data();
    });
    device.set_handler(50, [m](Device &, const Request &req) {
        note_token(*m, req);
        json_object *p = params(req);
        m->update([&](DeviceUserState &s) {
            s.time_value = member(p, "time_value") ? json_object_get_string(member(p, "time_value")) : "";
            s.time_zone = member(p, "time_zone") ? json_object_get_string(member(p, "time_zone")) : "";
        });
        return empty_data();
    });
    device.set_handler(51, [m](Device &, const Request &req) {
        note_token(*m, req);
        json_object *p = params(req);
        m->update([&](DeviceUserState &s) {
            s.sync = json_object_get_int(member(p, "sync"));
            s.clean_cache = json_object_get_int(member(p, "clean_cache"));
        });
        return empty_data();
    });
    device.set_handler(52, [m](Device &, const Request &req) {
        note_token(*m, req);
        return one({{"fw_version", str(m->get().fw_version)}});
    });
    device.set_handler(54, [m](Device &, const Request &req) {
        note_token(*m, req);
        const DeviceUserState s = m->get();
        return one({{"customCode", str(s.custom_code)},
                    {"versionCode", str(s.version_code)},
                    {"mac", str(s.mac)},
                    {"version_flag", json_object_new_int(s.version_flag)},
                    {"time", json_object_new_int(s.device_time)}});
    });
    device.set_handler(55, [m](Device &, const Request &req) {
        note_token(*m, req);
        return one({{"version_flag", json_object_new_int(m->get().version_flag)}});
    });
    device.set_handler(56, [m](Device &, const Request &req) {
        note_token(*m, req);
        json_object *v = member(params(req), "version_flag");
        if (v != nullptr) m->update([&](DeviceUserState &s) { s.version_flag = json_object_get_int(v); });
        return empty_data();
    });
    device.set_handler(58, [m](Device &, const Request &req) {
        note_token(*m, req);
        m->update([](DeviceUserState &s) { ++s.upgrade_fw; });
        return empty_data();
    });
    device.set_handler(249, [m](Device &, const Request &req) {
        note_token(*m, req);
        const DeviceUserState s = m->get();
        return one({{"deviceModel", str(s.device_model)},
                    {"customCode", str(s.custom_code)},
                    {"versionCode", str(s.version_code)},
                    {"mac", str(s.mac)},
                    {"wanWiredIP", str(s.wan_ip)},
                    {"wanWiredMask", str(s.wan_mask)},
                    {"version_flag", json_object_new_int(s.version_flag)},
                    {"time", json_object_new_int(s.device_time)},
                    {"stmVer", str(s.stm_version)}});
    });
    return model;
}

}  // namespace qvemu
