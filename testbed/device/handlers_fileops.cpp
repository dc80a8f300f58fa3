// File operations over the served folder: mkdir (102), rename (103), exists (104), delete (109), copy and
// move with streamed progress (159, 160) and delete with progress (167).
#include "handlers_fileops.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "handlers.h"

namespace qvemu {

namespace fs = std::filesystem;

namespace {

constexpr int kNotFound = 10202;
constexpr int kExists = 10204;

// A device path under the served folder, or empty when it leaves it.
std::string local(const Device &d, const std::string &p) {
    if (p.empty() || p.find("..") != std::string::npos) return {};
    return d.root() + (p.front() == '/' ? p : "/" + p);
}

std::string progress(int status, int64_t cur, int64_t total) {
    return "[{\"status\":" + std::to_string(status) + ",\"curCount\":" + std::to_string(cur) +
           ",\"totalCount\":" + std::to_string(total) + "}]";
}

// The entries a copy or move carries: the path itself plus everything under a folder.
int64_t count_entries(const fs::path &p) {
    std::error_code ec;
    int64_t n = 1;
    if (fs::is_directory(p, ec))
        for (auto it = fs::recursive_directory_iterator(p, ec); it != fs::recursive_directory_iterator();
             it.increment(ec))
            ++n;
    return n;
}

}  // namespace

void install_fileop_handlers(Device &device, FileOpOptions options) {
    device.set_handler(102, [](Device &d, const Request &req) {
        const std::string p = local(d, arg_str(req, "path"));
        if (p.empty()) return error_reply(kNotFound);
        std::error_code ec;
        if (fs::exists(p, ec)) return error_reply(kExists);
        if (!fs::create_directory(p, ec)) return error_reply(kNotFound);
        return Reply{};
    });
    device.set_handler(103, [](Device &d, const Request &req) {
        const std::string from = local(d, arg_str(req, "srcPath"));
        const std::string to = local(d, arg_str(req, "desPath"));
        std::error_code ec;
        if (from.empty() || to.empty() || !fs::exists(from, ec)) return error_reply(kNotFound);
        if (fs::exists(to, ec)) return error_reply(kExists);
        fs::rename(from, to, ec);
        return ec ? error_reply(kNotFound) : Reply{};
    });
    device.set_handler(104, [](Device &d, const Request &req) {
        const std::string p = local(d, arg_str(req, "path"));
        std::error_code ec;
        if (p.empty() || !fs::exists(p, ec)) return error_reply(kNotFound);
        Reply r;
        r.data = "[{\"status\":1}]";
        return r;
    });
    device.set_handler(109, [](Device &d, const Request &req) {
        const std::string p = local(d, arg_str(req, "path"));
        std::error_code ec;
        if (p.empty() || !fs::exists(p, ec)) return error_reply(kNotFound);
        fs::remove_all(p, ec);
        return ec ? error_reply(kNotFound) : Reply{};
    });

    // Copy and move: the work is done over the real folder, one step per entry, with a progress chunk
    // each (status 0 first, 1 with the counts, 2 at the end).
    for (int cmd : {159, 160}) {
        device.set_handler(cmd, [cmd, options](Device &d, const Request &req) {
            const std::string from = local(d, arg_str(req, "path"));
            const std::string to_dir = local(d, arg_str(req, "desPath"));
            std::error_code ec;
            if (from.empty() || to_dir.empty() || !fs::exists(from, ec)) return error_reply(kNotFound);
            const fs::path target = fs::path(to_dir) / fs::path(from).filename();
            if (fs::exists(target, ec)) return error_reply(kExists);
            const int64_t total = count_entries(from);
            if (cmd == 159)
                fs::copy(from, target, fs::copy_options::recursive, ec);
            else
                fs::rename(from, target, ec);
            if (ec) return error_reply(kNotFound);
            Reply r;
            if (!options.stream_copy) {
                r.data = "{\"status\":" + std::to_string(options.end_status) + "}";
                return r;
            }
            r.chunks.push_back(progress(0, 0, total));
            for (int64_t i = 1; i <= total; ++i) r.chunks.push_back(progress(1, i, total));
            r.chunks.push_back(progress(options.end_status, total, total));
            r.chunk_interval_ms = options.chunk_interval_ms;
            return r;
        });
    }

    // Delete with progress: one chunk per path removed.
    device.set_handler(167, [options](Device &d, const Request &req) {
        json_object *list = nullptr;
        if (req.data) json_object_object_get_ex(req.data, "FileListInfo", &list);
        const size_t n = list ? json_object_array_length(list) : 0;
        Reply r;
        r.chunks.push_back(progress(0, 0, static_cast<int64_t>(n)));
        for (size_t i = 0; i < n; ++i) {
            json_object *fp = nullptr;
            json_object_object_get_ex(json_object_array_get_idx(list, i), "filePath", &fp);
            const std::string p = local(d, fp ? json_object_get_string(fp) : "");
            std::error_code ec;
            if (!p.empty()) fs::remove_all(p, ec);
            r.chunks.push_back(progress(1, static_cast<int64_t>(i + 1), static_cast<int64_t>(n)));
        }
        r.chunks.push_back(progress(2, static_cast<int64_t>(n), static_cast<int64_t>(n)));
        r.chunk_interval_ms = options.chunk_interval_ms;
        return r;
    });
}

}  // namespace qvemu
