// Device settings and status: 20, 164-166, 168, 169, 170-173, 186, 319-342.
#include <algorithm>
#include <ctime>

#include "admin_family.h"
#include "wire.h"

namespace qvemu::admin {

namespace {

constexpr int kNoLog = 10202;
constexpr size_t kLogBlock = 4096;

// Closes the connection without an answer: the HTTP side of a device whose web service is down.
Reply no_answer() {
    Reply r;
    r.raw_writer = [](int) { return false; };
    return r;
}

// 168: the log as a plain download (Content-Length, raw bytes), or a JSON envelope with an error.
Reply log_reply(const Request &req, const std::string *log, int json_error) {
    Reply r;
    char head[160];
    std::snprintf(head, sizeof head, "{\"header\":{\"cmd\":%d,\"error\":%d,\"token\":%lld,\"seq\":%d}}",
                  req.cmd, json_error, static_cast<long long>(req.token), req.seq);
    if (log == nullptr) {
        r.raw_writer = [text = std::string(head)](int fd) {
            const std::string h =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n";
            return send_all(fd, frame(h)) && send_all(fd, text);
        };
        return r;
    }
    r.raw_writer = [body = *log](int fd) {
        const std::string h =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n";
        if (!send_all(fd, frame(h))) return false;
        for (size_t at = 0; at < body.size(); at += kLogBlock)
            if (!send_all(fd, body.data() + at, std::min(kLogBlock, body.size() - at))) return false;
        return true;
    };
    return r;
}

void install_firmware(Device &d, const State &st) {
    d.set_handler(164, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (st->fw_http_fails && req.protocol == Protocol::Http) return no_answer();
        Obj o;
        o.i("status", st->fw_status).i("delay", 30).i("force", st->fw_force);
        if (st->fw_status == 1)
            o.put("verinfo", Obj{}
                                 .s("productId", st->fw_product)
                                 .s("version", st->fw_version)
                                 .s("description", st->fw_description)
                                 .i("size", st->fw_size)
                                 .o);
        return object(o);
    });
    d.set_handler(165, [st](Device &, const Request &req) {
        Lock lk(st->mu);
        if (st->fw_http_fails && req.protocol == Protocol::Http) return no_answer();
        return object(Obj{}
                          .i("status", st->ota_status)
                          .i("process", st->ota_process)
                          .i("total", st->ota_total)
                          .s("deviceId", st->ota_device_id)
                          .s("target_ver", st->ota_target)
                          .s("current_ver", st->ota_current));
    });
    d.set_handler(173, [st](Device &, const Request &req) {
        const int op = geti(request_args(req), "devStatus");
        std::vector<int> steps;
        {
            Lock lk(st->mu);
            st->exec_ops.push_back(op);
            steps = st->exec_steps;
        }
        Reply r;
        auto at = std::make_shared<size_t>(0);
        r.next_chunk = [steps, at, op]() -> std::optional<std::string> {
            if (*at > steps.size()) return std::nullopt;
            const size_t i = (*at)++;
            const bool last = i == steps.size();
            const int progress = last ? 100 : steps[i];
            return "[{\"devStatus\":" + std::to_string(op) + ",\"status\":" + std::to_string(last ? 2 : 1) +
                   ",\"curProcess\":" + std::to_string(progress) + ",\"totalProcess\":100}]";
        };
        return r;
    });
    d.set_handler(166, [st](Device &, const Request &) {
        Lock lk(st->mu);
        ++st->data_sync_notices;
        return none();
    });
    d.set_handler(168, [st](Device &, const Request &req) {
        const int type = geti(request_args(req), "log_type");
        Lock lk(st->mu);
        if (st->log_json_error) return log_reply(req, nullptr, *st->log_json_error);
        auto it = st->logs.find(type);
        if (it == st->logs.end()) return log_reply(req, nullptr, kNoLog);
        return log_reply(req, &it->second, 0);
    });
}

}  // namespace

void install_settings(Device &d, const State &st) {
    install_firmware(d, st);
    d.set_handler(20, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(Obj{}.i("status", st->device_status));
    });
    d.set_handler(170, [st](Device &, const Request &) {
        Lock lk(st->mu);
        return first(
            Obj{}.i("p2p_mode", st->p2p_mode).i("nat_type", st->nat_type).s("ip_addr", st->p2p_client_ip));
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
        if (st->foreign_log_ids.count(geti(a, "logId")) > 0) return error_reply(10289);
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

}  // namespace qvemu::admin
