#include "firmware.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>

#include "handlers.h"
#include "json_read.h"
#include "qv_config.h"
#include "wire.h"

extern char **environ;

namespace qvemu {

namespace {

std::string base64(const std::string &in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                        reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string reserved_text(const FirmwareScript &s) {
    if (s.reserved_json) return *s.reserved_json;
    json_object *arr = json_object_new_array();
    for (const auto &t : s.topics) {
        js::Obj data;
        data.s("domain", "broker.device.example").i("port", QV_MQTT_PORT).s("topic", t);
        js::Obj task;
        task.s("task_type", "ota_update").s("protocol", "mqtt").put("data", data.o);
        json_object_array_add(arr, task.o);
    }
    js::Obj root;
    root.i("task_count", s.task_count.value_or(static_cast<int>(s.topics.size()))).put("task_array", arr);
    std::string text = json_text(root.o);
    json_object_put(root.o);
    return text;
}

std::string status_data(const FirmwareScript &s) {
    js::Obj o;
    o.i("status", s.status);
    if (s.status != 0) o.i("delay", s.delay).put("verinfo", js::Obj{}.s("version", s.target).o).i("force", 0);
    std::string text = json_text(o.o);
    json_object_put(o.o);
    return text;
}

std::string progress_data(const FirmwareScript &s, int process, bool with_reserved) {
    js::Obj o;
    o.i("process", process).i("total", s.total);
    if (with_reserved) o.s("reserved", base64(reserved_text(s)));
    std::string text = json_text(o.o);
    json_object_put(o.o);
    return text;
}

bool has_reserved(const FirmwareScript &s) {
    return s.reserved_json.has_value() || !s.topics.empty();
}

int scaled(int ms, double scale) {
    return std::max(0, static_cast<int>(ms * scale));
}

}  // namespace

std::string verdict_services(int result) {
    return "{\"qvmsg_update_status\":{\"result\":" + std::to_string(result) + "}}";
}

std::string progress_services(int result, int process) {
    return "{\"qvmsg_update_progress\":{\"result\":" + std::to_string(result) +
           ",\"process\":" + std::to_string(process) + "}}";
}

FirmwareState::FirmwareState(FirmwareScript script) : s_(std::move(script)) {
    thread_ = std::thread([this] { publisher(); });
}

FirmwareState::~FirmwareState() {
    stop();
}

void FirmwareState::stop() {
    {
        std::lock_guard<std::mutex> l(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void FirmwareState::update(const std::function<void(FirmwareScript &)> &change) {
    {
        std::lock_guard<std::mutex> l(mu_);
        change(s_);
    }
    cv_.notify_all();
}

FirmwareScript FirmwareState::script() const {
    std::lock_guard<std::mutex> l(mu_);
    return s_;
}

FirmwareCounts FirmwareState::counts() const {
    std::lock_guard<std::mutex> l(mu_);
    return c_;
}

Reply FirmwareState::on_163(const Request &req) {
    FirmwareScript s;
    {
        std::lock_guard<std::mutex> l(mu_);
        if (req.protocol == Protocol::Http)
            ++c_.http_163;
        else
            ++c_.framed_163;
        s = s_;
    }
    Reply r;
    if (req.protocol == Protocol::Http) {
        if (s.http_fails) {
            r.raw_writer = [](int) { return false; };  // the web service is down: no answer
            return r;
        }
        if (s.http_error != 0) {
            r.error = s.http_error;
            return r;
        }
        if (s.http_cut_after_status) {
            // The device took the update, then its web service went away before the end of the reply.
            const std::string first =
                "{\"header\":{\"cmd\":163,\"error\":0,\"token\":" + std::to_string(req.token) +
                ",\"seq\":" + std::to_string(req.seq) + "},\"data\":" + status_data(s) + "}";
            r.raw_writer = [first](int fd) {
                send_all(fd, frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"));
                send_all(fd, chunk(first));
                return false;
            };
            return r;
        }
        if (s.whole_reply) {
            r.data = status_data(s);
            return r;
        }
        ReplyOptions chunked;
        chunked.chunked = true;
        r.options = chunked;
    }
    // The status, then the progress figures; the reserved text rides on every progress message from the
    // second one on (or on the only one).
    std::vector<std::string> chunks{status_data(s)};
    if (s.status != 0)
        for (size_t i = 0; i < s.progress.size(); ++i)
            chunks.push_back(
                progress_data(s, s.progress[i], has_reserved(s) && (i >= 1 || s.progress.size() == 1)));
    if (req.protocol == Protocol::FramedJson && s.framed_bad_frame) {
        std::vector<std::string> frames;
        for (const auto &c : chunks)
            frames.push_back(
                frame("{\"header\":{\"cmd\":163,\"error\":0,\"token\":" + std::to_string(req.token) +
                      ",\"seq\":" + std::to_string(req.seq) + "},\"data\":" + c + "}"));
        r.raw_writer = [this, frames](int fd) {
            for (const auto &f : frames)
                if (!send_all(fd, f)) return false;
            {
                std::lock_guard<std::mutex> l(mu_);
                verdict_due_ = true;
            }
            cv_.notify_all();
            return send_all(fd, std::string("\xff\xff\xff\xff", 4));  // and the connection stays open
        };
        return r;
    }
    r.chunk_interval_ms = scaled(s.chunk_interval_ms, s.time_scale);
    auto at = std::make_shared<size_t>(0);
    r.next_chunk = [this, chunks, at, armed = s.status != 0]() -> std::optional<std::string> {
        if (*at < chunks.size()) return chunks[(*at)++];
        if (armed) {
            std::lock_guard<std::mutex> l(mu_);
            verdict_due_ = true;
            cv_.notify_all();
        }
        return std::nullopt;
    };
    return r;
}

Reply FirmwareState::on_165(const Request &req) {
    std::lock_guard<std::mutex> l(mu_);
    if (s_.http_fails && req.protocol == Protocol::Http) {
        Reply none;
        none.raw_writer = [](int) { return false; };
        return none;
    }
    ++c_.status_165;
    const bool installed = s_.installed_after_polls >= 0 && c_.status_165 > s_.installed_after_polls;
    const int status = installed ? 0 : s_.ota_status;
    if (status != 0) {
        follow_due_ = true;
        cv_.notify_all();
    }
    js::Obj o;
    o.i("status", status)
        .i("process", s_.ota_process)
        .i("total", s_.total)
        .s("deviceId", s_.device_id)
        .s("target_ver", s_.target)
        .s("current_ver", installed ? s_.target : s_.current);
    Reply r;
    r.data = json_text(o.o);
    json_object_put(o.o);
    return r;
}

void FirmwareState::publish(const std::string &topic, const std::string &services) {
    std::string payload;
    {
        json_object *o = json_object_new_object();
        json_object_object_add(o, "services", json_object_new_string(services.c_str()));
        payload = json_text(o);
        json_object_put(o);
    }
    FirmwareScript s = script();
    const std::string port = std::to_string(s.broker_port);
    std::vector<std::string> args = {
        "mosquitto_pub",   "-h", "127.0.0.1", "-p", port,  "-u", s.broker_user, "-P",
        s.broker_password, "-q", "1",         "-t", topic, "-m", payload};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "mosquitto_pub", &fa, nullptr, argv.data(), environ) == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        std::lock_guard<std::mutex> l(mu_);
        ++c_.published;
    }
    posix_spawn_file_actions_destroy(&fa);
}

void FirmwareState::publisher() {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
        cv_.wait_for(l, std::chrono::milliseconds(std::max(20, scaled(100, s_.time_scale))));
        if (stop_) return;
        std::vector<std::pair<std::string, std::string>> due;
        const std::string prefix = QV_MQTT_TOPIC_PREFIX;
        if (verdict_due_ && s_.verdict) {
            const std::string t = !s_.verdict_topic.empty() ? s_.verdict_topic
                                  : s_.topics.empty()       ? std::string()
                                                            : s_.topics.front();
            if (!t.empty()) due.emplace_back(prefix + t, verdict_services(*s_.verdict));
        }
        if (follow_due_ && s_.broker_port != 0) {
            const std::string t = prefix + "deviceStatusChanged/" + s_.device_id;
            for (const auto &m : s_.follow_messages) due.emplace_back(t, m);
            if (s_.follow_verdict && s_.follow_release)
                due.emplace_back(t, verdict_services(*s_.follow_verdict));
        }
        if (due.empty() || s_.broker_port == 0) continue;
        l.unlock();
        for (const auto &[topic, services] : due) publish(topic, services);
        l.lock();
    }
}

void install_firmware_script(Device &device, const std::shared_ptr<FirmwareState> &state) {
    device.set_handler(163, [state](Device &, const Request &req) { return state->on_163(req); });
    device.set_handler(165, [state](Device &, const Request &req) { return state->on_165(req); });
}

}  // namespace qvemu
