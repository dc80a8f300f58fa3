// Ranged download (106): the whole file with Content-Length on a first attempt ("offset" 0, "length" 0),
// "Content-Range: bytes O-E" with exactly E - O bytes on a resume; a JSON error for a missing file.
#include "handlers_download.h"

#include <json-c/json.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "handlers.h"
#include "wire.h"

namespace qvemu {

namespace {

json_object *member(json_object *o, const char *key) {
    json_object *v = nullptr;
    return o && json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

std::string envelope_text(const Request &req, int error) {
    return "{\"header\":{\"cmd\":" + std::to_string(req.cmd) + ",\"token\":" + std::to_string(req.token) +
           ",\"seq\":" + std::to_string(req.seq) + ",\"error\":" + std::to_string(error) +
           "},\"data\":[{\"contentLength\":0,\"date\":0}]}";
}

bool send_json(int fd, const std::string &text, const char *type) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    if (type) head += std::string("Content-Type: ") + type + "\r\n";
    head += "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n";
    return send_all(fd, frame(head)) && send_all(fd, text);
}

}  // namespace

void install_download_handler(Device &device, std::shared_ptr<DownloadScript> script) {
    device.set_handler(106, [script](Device &dev, const Request &req) {
        json_object *item = req.data && json_object_is_type(req.data, json_type_array)
                                ? json_object_array_get_idx(req.data, 0)
                                : req.data;
        DownloadAsk ask;
        if (json_object *p = member(item, "path")) ask.path = json_object_get_string(p);
        if (json_object *o = member(item, "offset")) ask.offset = json_object_get_int64(o);
        if (json_object *l = member(item, "length")) ask.length = json_object_get_int64(l);
        {
            std::lock_guard lk(script->mu);
            script->asks.push_back(ask);
        }
        Reply r;
        std::string bytes;
        const bool found = read_whole_file(dev.root() + "/" + ask.path, &bytes);
        const bool missing = !found || ask.path.find("..") != std::string::npos;
        r.raw_writer = [script, ask, bytes = std::move(bytes), missing, req_copy = envelope_text(req, 0),
                        err_copy = envelope_text(req, missing ? 10008 : script->json_error_code.load())](int fd) {
            if (missing || script->json_error) return send_json(fd, err_copy, nullptr);
            if (script->json_ok) return send_json(fd, req_copy, nullptr);
            if (script->wrong_type) return send_json(fd, req_copy, "application/json");
            const int64_t size = static_cast<int64_t>(bytes.size());
            int64_t start = ask.offset, end = ask.length ? ask.length : size;
            if (start < 0 || start > end || end > size) return send_json(fd, err_copy, nullptr);
            const bool resume = ask.offset != 0 || ask.length != 0;
            int64_t claim_start = start;
            if (script->range_shift) claim_start = start + static_cast<int64_t>(script->block);
            std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
            if (script->bad_range)
                head += "Content-Range: bytes */" + std::to_string(size) + "\r\n";
            else if (resume || script->range_always || script->range_shift)
                head += "Content-Range: bytes " + std::to_string(claim_start) + "-" + std::to_string(end) + "/" +
                        std::to_string(size) + "\r\n";
            else
                head += "Content-Length: " + std::to_string(size) + "\r\n";
            head += "\r\n";
            if (!send_all(fd, frame(head))) return false;
            std::string body = bytes.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
            if (script->extra_bytes) body += std::string(1000, 'X');
            const int64_t drop = script->drop_after;
            size_t sent = 0;
            while (sent < body.size()) {
                size_t n = std::min(script->block.load(), body.size() - sent);
                if (drop >= 0 && static_cast<int64_t>(sent + n) >= drop) {
                    n = static_cast<size_t>(std::max<int64_t>(0, drop - static_cast<int64_t>(sent)));
                    send_all(fd, body.data() + sent, n);
                    ::shutdown(fd, SHUT_RDWR);
                    return false;
                }
                if (!send_all(fd, body.data() + sent, n)) return false;
                sent += n;
                if (script->pause_us > 0 && sent < body.size())
                    std::this_thread::sleep_for(std::chrono::microseconds(script->pause_us));
            }
            return !script->extra_bytes;
        };
        return r;
    });
}

}  // namespace qvemu
