#include "runtime/ppc_deal_path.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/qv_log.h"
#include "runtime/ppc_token_list.h"

namespace {

char *dup_text(std::string_view s) {
    auto *out = static_cast<char *>(std::malloc(s.size() + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return out;
}

// Components of `s` split at '/', the empty one before a leading '/' left out.
std::vector<std::string_view> components(std::string_view s) {
    std::vector<std::string_view> out;
    size_t start = !s.empty() && s[0] == '/' ? 1 : 0;
    for (;;) {
        const size_t end = s.find('/', start);
        out.push_back(s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

bool is_parent(std::string_view c) {
    return c == "..";
}

}  // namespace

char *check_return_dot_path(const char *path) {
    if (path == nullptr) {
        QV_LOG_ERROR("NULL PATH");
        return nullptr;
    }
    std::string_view s(path);
    QV_LOG_DEBUG("tmp_full_path: %s", path);
    if (s.size() >= 2) {
        if (s.back() == '/')
            s.remove_suffix(1);
        else if (s.substr(s.size() - 2) == "/.")
            s = s.size() == 2 ? s.substr(0, 1) : s.substr(0, s.size() - 2);
    }
    if (s.empty()) return nullptr;

    std::vector<std::string_view> parts = components(s);
    bool has_parent = false;
    for (size_t i = 0; i < parts.size() && !has_parent; ++i)
        // A relative text's first component is not after a '/': "../x" is left to the device as it is.
        has_parent = is_parent(parts[i]) && (i > 0 || s[0] == '/');
    if (!has_parent) return dup_text(s);

    std::vector<std::string_view> kept;
    for (std::string_view c : parts) {
        if (!is_parent(c)) {
            kept.push_back(c);
            continue;
        }
        // "." and empty components name the folder they are in: a ".." goes past them to a real one.
        while (!kept.empty() && (kept.back().empty() || kept.back() == ".")) kept.pop_back();
        if (!kept.empty()) kept.pop_back();
    }
    std::string out = "/";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) out += '/';
        out += kept[i];
    }
    return dup_text(out);
}

int create_new_full_path(const char *path, char **out, int64_t token) {
    if (path == nullptr || out == nullptr) return -1;
    std::string joined;
    if (path[0] == '/') {
        QV_LOG_DEBUG("is absolute path");
        joined = path;
    } else {
        QV_LOG_DEBUG("is relative path");
        char *wd = get_work_dir_from_ppc_token_list(token);
        if (wd == nullptr) {
            QV_LOG_ERROR("get work dir fail");
            return -1;
        }
        joined = wd;
        std::free(wd);
        if (std::strcmp(path, ".") != 0 && std::strcmp(path, "./") != 0) {
            const char *rest = std::strncmp(path, "./", 2) == 0 ? path + 2 : path;
            if (joined.empty() || joined.back() != '/') joined += '/';
            joined += rest;
        }
    }
    char *norm = check_return_dot_path(joined.c_str());
    if (norm == nullptr) return -1;
    *out = norm;
    return 0;
}
