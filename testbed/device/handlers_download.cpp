// Ranged download (106): the whole file with Content-Length on a first attempt ("offset" 0, "length" 0),
// "Content-Range: bytes O-E" with exactly E - O bytes on a resume; a JSON error for a missing file.
#include "handlers_download.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

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

// A served file, open from the request until its reply is written.
struct OpenFile {
    int fd = -1;
    int64_t size = 0;
    explicit OpenFile(const std::string &path) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
        }
        size = st.st_size;
    }
    ~OpenFile() {
        if (fd >= 0) ::close(fd);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
};

bool send_json(int fd, const std::string &text, const char *type) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    if (type) head += std::string("Content-Type: ") + type + "\r\n";
    head += "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n";
    return send_all(fd, frame(head)) && send_all(fd, text);
}

}  // namespace

void install_download_handler(Device &device, std::shared_ptr<DownloadScript> script) {
    device.set_handler(106, [script](Device &dev, const Request &req) {
        json_object *item = request_args(req);
        DownloadAsk ask;
        if (json_object *p = member(item, "path")) ask.path = json_object_get_string(p);
        if (json_object *o = member(item, "offset")) ask.offset = json_object_get_int64(o);
        if (json_object *l = member(item, "length")) ask.length = json_object_get_int64(l);
        {
            std::lock_guard lk(script->mu);
            script->asks.push_back(ask);
        }
        Reply r;
        // The file is opened and sized now and streamed from the descriptor while sending: large files are
        // never held in memory.
        auto file = std::make_shared<OpenFile>(dev.root() + "/" + ask.path);
        const bool missing = file->fd < 0 || ask.path.find("..") != std::string::npos;
        r.raw_writer = [script, ask, file, missing, req_copy = envelope_text(req, 0),
                        err_copy =
                            envelope_text(req, missing ? 10008 : script->json_error_code.load())](int fd) {
            if (missing || script->json_error) return send_json(fd, err_copy, nullptr);
            if (script->json_ok) return send_json(fd, req_copy, nullptr);
            if (script->wrong_type) return send_json(fd, req_copy, "application/json");
            const int64_t size = file->size;
            int64_t start = ask.offset, end = ask.length ? ask.length : size;
            if (start < 0 || start > end || end > size) return send_json(fd, err_copy, nullptr);
            const bool resume = ask.offset != 0 || ask.length != 0;
            int64_t claim_start = start;
            if (script->range_shift) claim_start = start + static_cast<int64_t>(script->block);
            std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
            if (script->bad_range)
                head += "Content-Range: bytes */" + std::to_string(size) + "\r\n";
            else if (resume || script->range_always || script->range_shift)
                head += "Content-Range: bytes " + std::to_string(claim_start) + "-" + std::to_string(end) +
                        "/" + std::to_string(size) + "\r\n";
            else
                head += "Content-Length: " + std::to_string(size) + "\r\n";
            head += "\r\n";
            if (!send_all(fd, frame(head))) return false;
            const int64_t drop = script->drop_after;
            // Asked for and without scripted faults or pacing, the range goes out by sendfile(), as a web
            // server sends it.
            if (script->use_sendfile && drop < 0 && !script->extra_bytes && script->pause_us <= 0)
                return send_file_range(fd, file->fd, start, static_cast<uint64_t>(end - start));
            const int64_t total = (end - start) + (script->extra_bytes ? 1000 : 0);
            std::vector<char> buf;
            int64_t sent = 0;
            while (sent < total) {
                size_t n = static_cast<size_t>(
                    std::min<int64_t>(static_cast<int64_t>(script->block.load()), total - sent));
                if (drop >= 0 && sent + static_cast<int64_t>(n) >= drop)
                    n = static_cast<size_t>(std::max<int64_t>(0, drop - sent));
                buf.resize(std::max(buf.size(), n));
                // File bytes first, then the scripted extra bytes.
                size_t have = 0;
                while (have < n && sent + static_cast<int64_t>(have) < end - start) {
                    const size_t want = static_cast<size_t>(std::min<int64_t>(
                        static_cast<int64_t>(n - have), end - start - sent - static_cast<int64_t>(have)));
                    const ssize_t got =
                        ::pread(file->fd, buf.data() + have, want,
                                static_cast<off_t>(start + sent + static_cast<int64_t>(have)));
                    if (got <= 0) return false;  // the file shrank under us
                    have += static_cast<size_t>(got);
                }
                if (have < n)
                    std::fill(buf.begin() + static_cast<std::ptrdiff_t>(have),
                              buf.begin() + static_cast<std::ptrdiff_t>(n), 'X');
                if (drop >= 0 && sent + static_cast<int64_t>(n) >= drop) {
                    send_all(fd, buf.data(), n);
                    ::shutdown(fd, SHUT_RDWR);
                    return false;
                }
                if (!send_all(fd, buf.data(), n)) return false;
                sent += static_cast<int64_t>(n);
                if (script->pause_us > 0 && sent < total)
                    std::this_thread::sleep_for(std::chrono::microseconds(script->pause_us));
            }
            return !script->extra_bytes;
        };
        return r;
    });
}

}  // namespace qvemu
