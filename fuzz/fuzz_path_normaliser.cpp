// Arbitrary texts through the remote path normaliser: no ".." component survives, a text that had one comes
// out rooted and never longer, only the empty text gives none, a second pass changes at most one trailing
// '/', and plain absolute paths (names and "..", no "." or empty components) agree with the standard
// library's lexical normal form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "base/qv_log.h"
#include "runtime/ppc_deal_path.h"

namespace {

bool has_parent_component(const std::string &s) {
    return s.find("/../") != std::string::npos || (s.size() >= 3 && s.compare(s.size() - 3, 3, "/..") == 0);
}

std::optional<std::string> normalise(const std::string &s) {
    char *out = check_return_dot_path(s.c_str());
    if (out == nullptr) return std::nullopt;
    std::string r = out;
    std::free(out);
    return r;
}

// Absolute, no trailing '/', every component a non-empty name other than ".".
bool plain_absolute(const std::string &s) {
    if (s.size() < 2 || s[0] != '/' || s.back() == '/') return false;
    size_t start = 1;
    while (start <= s.size()) {
        size_t end = s.find('/', start);
        if (end == std::string::npos) end = s.size();
        const std::string c = s.substr(start, end - start);
        if (c.empty() || c == ".") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = [] {
        qv::set_log_enabled(false);
        return true;
    }();
    (void)quiet;
    if (size > 4096) return 0;
    const std::string in(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), size));
    const std::optional<std::string> got = normalise(in);
    if (in.empty() != !got) __builtin_trap();
    if (!got) return 0;
    const std::string &out = *got;
    if (has_parent_component(out)) __builtin_trap();
    if (out.size() > in.size()) __builtin_trap();
    if (has_parent_component(in) && out[0] != '/') __builtin_trap();

    const std::string again = normalise(out).value_or("");
    if (again != out) {
        // Only the trailing step acts on a text without "..": one '/', or a "/.".
        const bool slash = out.size() >= 2 && out.back() == '/' && again == out.substr(0, out.size() - 1);
        const bool dot = out.size() >= 2 && out.compare(out.size() - 2, 2, "/.") == 0 &&
                         (again == out.substr(0, out.size() - 2) || (out == "/." && again == "/"));
        if (!slash && !dot) __builtin_trap();
    }

    if (plain_absolute(in)) {
        std::string ref = std::filesystem::path(in).lexically_normal().generic_string();
        if (ref.size() > 1 && ref.back() == '/') ref.pop_back();
        if (ref != out) __builtin_trap();
    }
    return 0;
}
