// Recycle bin: 167 moves what it deletes into the bin folder (beside the served folder), 210 pages the bin,
// 214/215 read and set the retention, 211 restores to the original paths, 212 deletes for good, 213
// empties. The changing commands stream one chunk per entry and do each entry's work as its chunk goes out,
// so a client that leaves mid-way leaves the rest in the bin.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "admin_family.h"

namespace qvemu {

AdminState::~AdminState() {
    if (!bin_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(bin_dir, ec);
    }
}

namespace admin {

namespace fs = std::filesystem;

namespace {

std::string progress(int status, int64_t cur, int64_t total) {
    return "[{\"status\":" + std::to_string(status) + ",\"curCount\":" + std::to_string(cur) +
           ",\"totalCount\":" + std::to_string(total) + "}]";
}

std::string local(const Device &d, const std::string &p) {
    if (p.empty() || leaves_root(p)) return {};
    return d.root() + (p.front() == '/' ? p : "/" + p);
}

// The bin folder, made on first use (st->mu held).
const std::string &bin_folder(const Device &d, AdminState &st) {
    if (st.bin_dir.empty()) {
        st.bin_dir = d.root() + ".recycle";
        std::error_code ec;
        fs::create_directories(st.bin_dir, ec);
    }
    return st.bin_dir;
}

// Keys named in a 211/212 request, in order.
std::vector<int> requested_keys(const Request &req) {
    std::vector<int> keys;
    json_object *list = get(request_args(req), "ResyscleList");
    for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i)
        keys.push_back(geti(json_object_array_get_idx(list, i), "resyscleKey", -1));
    return keys;
}

enum class BinOp { Restore, Delete };

// One entry's work: false when the key is not in the bin.
bool apply(const Device &d, AdminState &st, int key, BinOp op) {
    auto it =
        std::find_if(st.bin.begin(), st.bin.end(), [key](const RecycleEntry &e) { return e.key == key; });
    if (it == st.bin.end()) return false;
    std::error_code ec;
    if (op == BinOp::Restore) {
        const std::string to = local(d, it->path);
        if (!to.empty()) {
            fs::create_directories(fs::path(to).parent_path(), ec);
            fs::rename(it->stored, to, ec);
        }
    } else {
        fs::remove_all(it->stored, ec);
    }
    st.bin.erase(it);
    ++st.bin_ops_done;
    return true;
}

// The streamed answer of 211-213 over `keys`: a status-0 chunk, then one chunk per entry done as it goes.
Reply bin_stream(Device &d, const State &st, std::vector<int> keys, BinOp op) {
    Reply r;
    int end_status = 2;
    {
        Lock lk(st->mu);
        r.chunk_interval_ms = st->bin_chunk_interval_ms;
        if (st->recycle_status_override != 0) end_status = st->recycle_status_override;
        if (st->recycle_whole_reply) {
            for (int k : keys) apply(d, *st, k, op);
            r.data = "[{\"status\":2,\"curCount\":" + std::to_string(keys.size()) +
                     ",\"totalCount\":" + std::to_string(keys.size()) + "}]";
            return r;
        }
    }
    const auto total = static_cast<int64_t>(keys.size());
    auto at = std::make_shared<int64_t>(-1);
    Device *dev = &d;
    r.next_chunk = [dev, st, keys = std::move(keys), op, at, total,
                    end_status]() -> std::optional<std::string> {
        const int64_t i = (*at)++;
        if (i < 0) return progress(0, 0, total);
        if (i < total) {
            Lock lk(st->mu);
            apply(*dev, *st, keys[static_cast<size_t>(i)], op);
            return progress(1, i + 1, total);
        }
        if (i == total) return progress(end_status, total, total);
        return std::nullopt;
    };
    return r;
}

}  // namespace

void install_recycle(Device &d, const State &st) {
    // Delete with progress: each path goes to the bin as its chunk goes out.
    d.set_handler(167, [st](Device &dev, const Request &req) {
        std::vector<std::pair<std::string, int>> paths;
        json_object *list = get(req.data, "FileListInfo");
        for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
            json_object *e = json_object_array_get_idx(list, i);
            paths.emplace_back(gets(e, "filePath"), geti(e, "srcBucketId"));
        }
        const auto total = static_cast<int64_t>(paths.size());
        auto at = std::make_shared<int64_t>(-1);
        Device *devp = &dev;
        Reply r;
        r.next_chunk = [devp, st, paths, at, total]() -> std::optional<std::string> {
            const int64_t i = (*at)++;
            if (i < 0) return progress(0, 0, total);
            if (i == total) return progress(2, total, total);
            if (i > total) return std::nullopt;
            const auto &[path, bucket] = paths[static_cast<size_t>(i)];
            const std::string from = local(*devp, path);
            std::error_code ec;
            if (!from.empty() && fs::exists(from, ec)) {
                Lock lk(st->mu);
                RecycleEntry e;
                e.key = st->next_bin_key++;
                e.name = fs::path(from).filename().string();
                e.path = path;
                e.bucket_id = bucket;
                e.is_folder = fs::is_directory(from, ec) ? 1 : 0;
                e.size = e.is_folder ? 0 : static_cast<int64_t>(fs::file_size(from, ec));
                e.delete_time = static_cast<int64_t>(std::time(nullptr));
                e.stored = bin_folder(*devp, *st) + "/" + std::to_string(e.key);
                fs::rename(from, e.stored, ec);
                if (!ec) st->bin.push_back(std::move(e));
            }
            return progress(1, i + 1, total);
        };
        return r;
    });
    d.set_handler(210, [st](Device &, const Request &req) {
        json_object *a = request_args(req);
        Lock lk(st->mu);
        const auto total = static_cast<int64_t>(st->bin.size());
        const int64_t offset = std::clamp<int64_t>(geti(a, "offset"), 0, total);
        const int64_t length = std::clamp<int64_t>(geti(a, "length"), 0, total - offset);
        json_object *list = json_object_new_array();
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        for (int64_t i = offset; i < offset + length; ++i) {
            const RecycleEntry &e = st->bin[static_cast<size_t>(i)];
            json_object_array_add(list, Obj{}
                                            .i("key", e.key)
                                            .i("size", e.size)
                                            .i("data", e.delete_time)
                                            .i("isFolder", e.is_folder)
                                            .s("name", e.name)
                                            .s("path", e.path)
                                            .i("delete_time", e.delete_time)
                                            .i("remain_time", e.delete_time + st->survive_time - now)
                                            .i("bucketId", e.bucket_id)
                                            .o);
        }
        return object(Obj{}.i("count", length).i("totalCount", total).put("resyscleList", list));
    });
    d.set_handler(214, [st](Device &, const Request &) {
        Lock lk(st->mu);
        json_object *buckets = json_object_new_array();
        for (const auto &[id, type] : st->bin_buckets)
            json_object_array_add(buckets, Obj{}.i("bucket_id", id).i("type", type).o);
        return object(Obj{}.i("survive_time", st->survive_time).put("bucket_list", buckets));
    });
    d.set_handler(215, [st](Device &, const Request &req) {
        if (!has(req.data, "surviveTime")) return error_reply(kDataError);
        Lock lk(st->mu);
        st->survive_time = geti64(req.data, "surviveTime");
        return none();
    });
    d.set_handler(211, [st](Device &dev, const Request &req) {
        return bin_stream(dev, st, requested_keys(req), BinOp::Restore);
    });
    d.set_handler(212, [st](Device &dev, const Request &req) {
        return bin_stream(dev, st, requested_keys(req), BinOp::Delete);
    });
    d.set_handler(213, [st](Device &dev, const Request &) {
        std::vector<int> keys;
        {
            Lock lk(st->mu);
            for (const auto &e : st->bin) keys.push_back(e.key);
        }
        return bin_stream(dev, st, std::move(keys), BinOp::Delete);
    });
}

}  // namespace admin

}  // namespace qvemu
