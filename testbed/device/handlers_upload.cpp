#include "handlers_upload.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "handlers.h"

namespace qvemu {

namespace {

using Ranges = std::vector<std::pair<int64_t, int64_t>>;  // [start, end), sorted, disjoint

// One lock for every partial file of every device: handlers run on connection threads.
std::mutex g_mu;
std::map<std::string, std::vector<std::string>> g_tags;  // root + path -> tags
std::set<std::string> g_reply_missing;                   // roots whose 138 answers with the missing uuids

bool safe_path(const std::string &p) {
    return !p.empty() && p.find('\0') == std::string::npos && !leaves_root(p);
}

std::string rooted(const Device &d, const std::string &path) {
    return path.front() == '/' ? d.root() + path : d.root() + "/" + path;
}

void make_parents(const std::string &file) {
    for (size_t i = 1; i < file.size(); ++i)
        if (file[i] == '/') ::mkdir(file.substr(0, i).c_str(), 0755);
}

// "<size>\n" then "start end" lines; false when there is no state.
bool load_state(const std::string &file, int64_t &size, Ranges &have) {
    std::ifstream in(file + ".part.state");
    if (!(in >> size)) return false;
    int64_t s = 0, e = 0;
    while (in >> s >> e) have.emplace_back(s, e);
    return true;
}

void save_state(const std::string &file, int64_t size, const Ranges &have) {
    std::ofstream out(file + ".part.state", std::ios::trunc);
    out << size << "\n";
    for (auto &[s, e] : have) out << s << " " << e << "\n";
}

void add_range(Ranges &have, int64_t s, int64_t e) {
    if (e <= s) return;
    have.emplace_back(s, e);
    std::sort(have.begin(), have.end());
    Ranges merged;
    for (auto &r : have) {
        if (!merged.empty() && r.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    have.swap(merged);
}

Ranges missing_of(int64_t size, const Ranges &have) {
    Ranges out;
    int64_t pos = 0;
    for (auto &[s, e] : have) {
        if (s > pos) out.emplace_back(pos, s);
        pos = std::max(pos, e);
    }
    if (pos < size) out.emplace_back(pos, size);
    return out;
}

// The check reply for `file` (absolute) of `size` bytes.
Reply check_reply(const std::string &file, int64_t size) {
    std::lock_guard lk(g_mu);
    json_object *data = json_object_new_object();
    int64_t have_size = 0;
    Ranges have;
    struct stat st {};
    bool partial = load_state(file, have_size, have);
    if (partial && have_size != size) {  // another file now: start over
        ::unlink((file + ".part").c_str());
        ::unlink((file + ".part.state").c_str());
        partial = false;
    }
    Ranges missing;
    const bool exists = ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (partial) {
        missing = missing_of(size, have);
    } else if (exists && st.st_size < size) {  // a shorter file counts as the first part of the upload
        missing = missing_of(size, {{0, static_cast<int64_t>(st.st_size)}});
    } else if (!(exists && st.st_size == size)) {
        json_object_object_add(data, "status", json_object_new_int(0));
        Reply r;
        r.data = json_text(data);
        json_object_put(data);
        return r;
    }
    json_object_object_add(data, "status", json_object_new_int(1));
    json_object_object_add(data, "count", json_object_new_int(static_cast<int>(missing.size())));
    json_object *arr = json_object_new_array();
    for (auto &[s, e] : missing) {
        json_object *o = json_object_new_object();
        json_object_object_add(o, "start", json_object_new_int64(s));
        json_object_object_add(o, "end", json_object_new_int64(e));
        json_object_array_add(arr, o);
    }
    json_object_object_add(data, "incompleteInfo", arr);
    Reply r;
    r.data = json_text(data);
    json_object_put(data);
    return r;
}

// Prepares `file`'s partial copy for a body of a file of `size` bytes and opens it for writing; `have`
// gets the ranges the partial copy already holds.
int open_part(const std::string &file, int64_t size, Ranges &have) {
    std::lock_guard lk(g_mu);
    make_parents(file);
    int64_t have_size = 0;
    const std::string part = file + ".part";
    if (!load_state(file, have_size, have) || have_size != size) {
        have.clear();
        ::unlink(part.c_str());
        struct stat st {};
        // A shorter file is the first part (as the check reported it): continue from its bytes.
        if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size < size && st.st_size > 0) {
            std::ifstream in(file, std::ios::binary);
            std::ofstream(part, std::ios::binary) << in.rdbuf();
            have.emplace_back(0, static_cast<int64_t>(st.st_size));
        }
    }
    return ::open(part.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
}

// True while `fd` is still `file`'s partial copy: a finished upload moves it into place and a restarted one
// replaces it, after which a late writer (say, the handler of a client that died mid-body) must neither
// write into it nor record ranges against the new copy. The caller holds g_mu.
bool still_part(int fd, const std::string &file) {
    struct stat mine {};
    struct stat now {};
    return ::fstat(fd, &mine) == 0 && ::stat((file + ".part").c_str(), &now) == 0 &&
           mine.st_dev == now.st_dev && mine.st_ino == now.st_ino;
}

// Stores an upload body, pulled from the connection as it arrives, at [start, ...) of `file`; true once
// the file is complete. The lock is not held while the body arrives, so a slow client holds up no one;
// each chunk is written under it, into the partial copy only while that copy is still current.
bool store(const std::string &file, int64_t size, int64_t start, const Request &req) {
    // An empty body adds nothing: it must not open (or restart) a partial copy of a file already complete.
    if (req.body_length == 0 && size > 0) return false;
    Ranges have;
    const int fd = open_part(file, size, have);
    if (fd < 0) return false;
    std::vector<char> buf(size_t{1} << 20);
    uint64_t done = 0;
    bool current = true;
    for (;;) {
        const size_t n = req.read_body(buf.data(), buf.size());
        if (n == 0) break;
        std::lock_guard lk(g_mu);
        if (!(current = still_part(fd, file))) break;
        size_t put = 0;
        while (put < n) {
            ssize_t w = ::pwrite(fd, buf.data() + put, n - put, static_cast<off_t>(start + done + put));
            if (w <= 0) break;
            put += static_cast<size_t>(w);
        }
        done += put;
        if (put < n) break;  // the device's disk failed: keep what was written
    }
    std::lock_guard lk(g_mu);
    if (!current || !still_part(fd, file)) {  // superseded: what came belongs to no current copy
        ::close(fd);
        return false;
    }
    // Another upload of the same file may have stored ranges meanwhile: merge with its state.
    int64_t have_size = 0;
    Ranges now;
    if (load_state(file, have_size, now) && have_size == size) have = std::move(now);
    add_range(have, start, start + static_cast<int64_t>(done));
    const bool complete = missing_of(size, have).empty();
    const std::string part = file + ".part";
    if (complete) {
        if (::ftruncate(fd, static_cast<off_t>(size)) != 0) { /* size already right */
        }
        ::close(fd);
        ::rename(part.c_str(), file.c_str());
        ::unlink((file + ".part.state").c_str());
        return true;
    }
    ::close(fd);
    save_state(file, size, have);
    return false;
}

// Range header "S-E" and the envelope's offset/length must agree with each other and the body.
bool upload_range(const Request &req, int64_t &start, int64_t &end) {
    start = arg_i64(req, "offset");
    end = arg_i64(req, "length");
    const int64_t size = arg_i64(req, "fileSize");
    if (start < 0 || end < start || size < end) return false;
    if (const std::string *range = req.head ? req.head->find("Range") : nullptr) {
        long long s = -1, e = -1;
        if (std::sscanf(range->c_str(), "%lld-%lld", &s, &e) != 2 || s != start || e != end) return false;
    }
    return static_cast<int64_t>(req.body_length) == end - start;
}

Reply file_upload(Device &dev, const Request &req) {
    const std::string path = arg_str(req, "path");
    int64_t start = 0, end = 0;
    if (!safe_path(path) || !upload_range(req, start, end)) return error_reply(10003);
    const std::string file = rooted(dev, path);
    store(file, arg_i64(req, "fileSize"), start, req);
    if (json_object *tags = arg(req, "tagList")) {
        std::vector<std::string> names;
        for (size_t i = 0; i < json_object_array_length(tags); ++i) {
            json_object *n = nullptr;
            if (json_object_object_get_ex(json_object_array_get_idx(tags, i), "tagName", &n))
                names.emplace_back(json_object_get_string(n));
        }
        std::lock_guard lk(g_mu);
        g_tags[file] = std::move(names);
    }
    return Reply{};
}

std::string backup_path_of(const Request &req) {
    return backup_device_path(arg_str(req, "deviceUuid"), arg_str(req, "dirName"), arg_str(req, "path"));
}

std::string uuid_file(const Device &dev) {
    return dev.root() + "/Backup/.uuids";
}

bool uuid_known(const Device &dev, const std::string &uuid) {
    std::lock_guard lk(g_mu);
    std::ifstream in(uuid_file(dev));
    std::string line;
    while (std::getline(in, line))
        if (line == uuid) return true;
    return false;
}

Reply backup_upload(Device &dev, const Request &req) {
    const std::string uuid = arg_str(req, "fileUuid");
    const std::string path = backup_path_of(req);
    int64_t start = 0, end = 0;
    if (uuid.empty() || !safe_path(path) || !upload_range(req, start, end)) return error_reply(10003);
    const bool complete = store(rooted(dev, path), arg_i64(req, "fileSize"), start, req);
    if (complete && !uuid_known(dev, uuid)) {
        std::lock_guard lk(g_mu);
        make_parents(uuid_file(dev));
        std::ofstream(uuid_file(dev), std::ios::app) << uuid << "\n";
    }
    Reply r;
    json_object *where = json_object_new_string(path.c_str());
    r.data = "[{\"bucketId\":1},{\"path\":" + json_text(where) + "}]";
    json_object_put(where);
    return r;
}

std::string md5_of_file(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        if (in.gcount() > 0) EVP_DigestUpdate(ctx, buf, static_cast<size_t>(in.gcount()));
    }
    unsigned char md[16];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", md[i]);
    return std::string(hex, 32);
}

// A complete file under `dir` of this size and digest (partial files are not content).
bool find_content(const std::string &dir, int64_t size, const std::string &md5, std::string &found) {
    DIR *d = ::opendir(dir.c_str());
    if (!d) return false;
    bool hit = false;
    while (dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string full = dir + "/" + name;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            hit = find_content(full, size, md5, found);
        } else if (S_ISREG(st.st_mode) && st.st_size == size && name.find(".part") == std::string::npos &&
                   md5_of_file(full) == md5) {
            found = full;
            hit = true;
        }
        if (hit) break;
    }
    ::closedir(d);
    return hit;
}

Reply relax_upload(Device &dev, const Request &req) {
    const std::string path = arg_str(req, "path");
    const std::string value = arg_str(req, "authValue");
    const int64_t size = arg_i64(req, "fileSize");
    if (!safe_path(path) || value.size() < 34 || value[32] != '_') return error_reply(10003);
    std::string found;
    int status = 0;
    if (std::to_string(size) == value.substr(33) &&
        find_content(dev.root(), size, value.substr(0, 32), found)) {
        const std::string target = rooted(dev, path);
        if (found != target) {
            make_parents(target);
            std::ifstream in(found, std::ios::binary);
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out << in.rdbuf();
        }
        status = 1;
    }
    Reply r;
    r.data = "[{\"status\":" + std::to_string(status) + "}]";
    return r;
}

Reply backup_uuid_check(Device &dev, const Request &req) {
    bool want_missing;
    {
        std::lock_guard lk(g_mu);
        want_missing = g_reply_missing.count(dev.root()) != 0;
    }
    json_object *list = nullptr;
    if (!req.data || !json_object_object_get_ex(req.data, "backupFileListInfo", &list))
        return error_reply(10003);
    std::string out = "{\"backupFileListInfo\":[";
    bool first = true;
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
        json_object *u = nullptr;
        if (!json_object_object_get_ex(json_object_array_get_idx(list, i), "fileUuid", &u)) continue;
        const std::string uuid = json_object_get_string(u);
        if (uuid_known(dev, uuid) == want_missing) continue;
        json_object *s = json_object_new_string(uuid.c_str());
        out += std::string(first ? "" : ",") + "{\"file_uuid\":" + json_object_to_json_string(s) + "}";
        json_object_put(s);
        first = false;
    }
    Reply r;
    r.data = out + "]}";
    return r;
}

}  // namespace

std::string backup_device_path(const std::string &deviceUuid, const std::string &dirName,
                               const std::string &localPath) {
    std::string p = "/Backup/" + deviceUuid + "/";
    if (!dirName.empty()) p += dirName + "/";
    size_t from = localPath.find_first_not_of('/');
    return p + (from == std::string::npos ? std::string() : localPath.substr(from));
}

std::vector<std::string> uploaded_tags(const Device &device, const std::string &path) {
    std::lock_guard lk(g_mu);
    auto it = g_tags.find(rooted(device, path));
    return it == g_tags.end() ? std::vector<std::string>{} : it->second;
}

void set_backup_uuid_reply_missing(const Device &device, bool missing) {
    std::lock_guard lk(g_mu);
    if (missing)
        g_reply_missing.insert(device.root());
    else
        g_reply_missing.erase(device.root());
}

void install_upload_handlers(Device &device) {
    device.set_handler(108, [](Device &dev, const Request &req) {
        const std::string path = arg_str(req, "path");
        if (!safe_path(path)) return error_reply(10003);
        return check_reply(rooted(dev, path), arg_i64(req, "fileSize", 0));
    });
    device.set_handler(133, [](Device &dev, const Request &req) {
        const std::string path = backup_path_of(req);
        if (!safe_path(path)) return error_reply(10003);
        return check_reply(rooted(dev, path), arg_i64(req, "fileSize", 0));
    });
    device.set_handler(107, file_upload);
    device.set_handler(162, file_upload);
    device.set_handler(132, backup_upload);
    device.set_handler(146, backup_upload);
    device.set_handler(134, [](Device &dev, const Request &req) {
        return uuid_known(dev, arg_str(req, "fileUuid")) ? Reply{} : error_reply(10202);
    });
    device.set_handler(136, [](Device &dev, const Request &req) {
        const std::string path = backup_device_path(arg_str(req, "deviceUuid"), "", arg_str(req, "path"));
        if (!safe_path(path)) return error_reply(10003);
        const std::string dir = rooted(dev, path);
        make_parents(dir + "/");
        return Reply{};
    });
    device.set_handler(138, backup_uuid_check);
    device.set_handler(147, relax_upload);
}

}  // namespace qvemu
