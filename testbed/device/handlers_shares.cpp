// Share links (187-189) and the account side of a share (204-206).
#include <dirent.h>
#include <sys/stat.h>

#include <ctime>

#include "admin_family.h"

namespace qvemu::admin {

namespace {

int share_status(const ShareLink &s) {
    return (s.expect != 0 && std::time(nullptr) > s.create_time + s.expect) ? 2 : 1;
}

ShareLink *find_share(AdminState &st, int64_t id) {
    for (auto &s : st.shares)
        if (s.id == id) return &s;
    return nullptr;
}

// A file under the served folder: size, modification time, folder flag; false when it does not exist.
bool stat_under(const Device &dev, const std::string &path, int64_t &size, int64_t &mtime, bool &dir) {
    struct stat sb {};
    if (::stat((dev.root() + "/" + path).c_str(), &sb) != 0) return false;
    size = S_ISDIR(sb.st_mode) ? 0 : static_cast<int64_t>(sb.st_size);
    mtime = static_cast<int64_t>(sb.st_mtime);
    dir = S_ISDIR(sb.st_mode);
    return true;
}

Obj share_file_entry(const Device &dev, const std::string &path) {
    int64_t size = 0, mtime = 0;
    bool dir = false;
    stat_under(dev, path, size, mtime, dir);
    return Obj{}
        .s("displayName", base_name(path))
        .s("realName", path)
        .i("size", size)
        .i("modifyTime", mtime)
        .i("isDir", dir ? 1 : 0);
}

}  // namespace

void install_shares(Device &d, const State &st) {
    d.set_handler(187, [st](Device &dev, const Request &req) {
        json_object *a = request_args(req);
        json_object *files = get(a, "fileList");
        if (files == nullptr || !json_object_is_type(files, json_type_array)) return error_reply(kDataError);
        Lock lk(st->mu);
        ShareLink s;
        s.id = st->next_share_id++;
        for (size_t i = 0; i < json_object_array_length(files); ++i) {
            json_object *f = json_object_array_get_idx(files, i);
            s.items.emplace_back(geti(f, "bucketId"), gets(f, "path"));
        }
        s.name = s.items.empty() ? "share" : base_name(s.items.front().second);
        if (s.items.size() > 1) s.name += " and " + std::to_string(s.items.size() - 1) + " more";
        s.url = "http://" + dev.address() + "/s/" + std::to_string(s.id);
        if (geti(a, "hasPw") != 0) s.password = "pw" + std::to_string(1000 + s.id);
        s.create_time = static_cast<int64_t>(std::time(nullptr));
        s.expect = geti(a, "expect");
        st->shares.push_back(s);
        Obj o;
        o.s("name", s.name)
            .s("url", s.url)
            .i("createTime", s.create_time)
            .i("hasPw", s.password.empty() ? 0 : 1);
        if (!s.password.empty()) o.s("password", s.password);
        o.i("expect", s.expect);
        return first(o);
    });
    d.set_handler(188, [st](Device &, const Request &req) {
        json_object *a = request_args(req);
        const int offset = geti(a, "offset");
        const int len = geti(a, "len");  // 0: all
        Lock lk(st->mu);
        json_object *list = json_object_new_array();
        int count = 0;
        for (size_t i = static_cast<size_t>(offset < 0 ? 0 : offset); i < st->shares.size(); ++i) {
            if (len > 0 && count == len) break;
            const ShareLink &s = st->shares[i];
            Obj o;
            o.i("shareId", s.id)
                .i("fileCount", static_cast<int64_t>(s.items.size()))
                .s("name", s.name)
                .s("url", s.url)
                .i("createTime", s.create_time)
                .i("hasPw", s.password.empty() ? 0 : 1);
            if (!s.password.empty()) o.s("password", s.password);
            o.i("expect", s.expect).i("status", share_status(s));
            json_object_array_add(list, o.o);
            ++count;
        }
        return first(Obj{}
                         .i("count", count)
                         .i("total", static_cast<int64_t>(st->shares.size()))
                         .put("shareList", list));
    });
    d.set_handler(189, [st](Device &, const Request &req) {
        const int64_t id = geti(request_args(req), "shareId");
        Lock lk(st->mu);
        const auto before = st->shares.size();
        std::erase_if(st->shares, [id](const ShareLink &s) { return s.id == id; });
        return st->shares.size() == before ? error_reply(kDataError) : none();
    });
    d.set_handler(204, [st](Device &dev, const Request &req) {
        json_object *a = request_args(req);
        const std::string dir = gets(a, "fileDir");
        Lock lk(st->mu);
        ShareLink *s = find_share(*st, geti(a, "shareId"));
        if (s == nullptr) return error_reply(kDataError);
        json_object *list = json_object_new_array();
        if (dir.empty() || dir == "/") {
            for (const auto &item : s->items)
                json_object_array_add(list, share_file_entry(dev, item.second).o);
        } else if (DIR *dp = ::opendir((dev.root() + "/" + dir).c_str())) {
            while (dirent *e = ::readdir(dp)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                json_object_array_add(list, share_file_entry(dev, dir + "/" + name).o);
            }
            ::closedir(dp);
        }
        const int n = static_cast<int>(json_object_array_length(list));
        return first(Obj{}
                         .i("count", n)
                         .i("total", n)
                         .s("displayDir", dir.empty() ? "/" : dir)
                         .put("shareFileList", list));
    });
    for (int cmd : {205, 206}) {
        d.set_handler(cmd, [st, cmd](Device &dev, const Request &req) {
            json_object *a = request_args(req);
            const std::string path = gets(a, "path");
            Lock lk(st->mu);
            if (find_share(*st, geti(a, "shareId")) == nullptr) return error_reply(kDataError);
            if (cmd == 205) st->upload_urls.push_back(gets(a, "uploadUrl"));
            int64_t size = 0, mtime = 0;
            bool dir = false;
            stat_under(dev, path, size, mtime, dir);
            const int64_t start = geti64(a, "start"), end = geti64(a, "end");
            const int64_t last = end > size ? size : end;
            const int64_t data_size = last > start ? last - start : 0;
            return first(Obj{}
                             .s("displayName", base_name(path))
                             .i("size", size)
                             .i("modifyTime", mtime)
                             .i("dataSize", data_size));
        });
    }
}

}  // namespace qvemu::admin
