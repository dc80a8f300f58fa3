#include "header_block.h"

#include <cctype>

namespace qvemu {

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

const std::string *HeaderBlock::find(std::string_view name) const {
    for (auto it = fields.rbegin(); it != fields.rend(); ++it)
        if (iequals(it->first, name)) return &it->second;
    return nullptr;
}

HeaderBlock parse_header_block(std::string_view text) {
    HeaderBlock hb;
    size_t end = text.find("\r\n\r\n");
    std::string_view head = text;
    if (end != std::string_view::npos) {
        hb.complete = true;
        hb.surplus = text.size() - (end + 4);
        head = text.substr(0, end + 2);
    }
    size_t pos = 0;
    bool first = true;
    while (pos < head.size()) {
        size_t eol = head.find("\r\n", pos);
        std::string_view line =
            head.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? head.size() : eol + 2;
        if (first) {
            hb.start_line = std::string(line);
            first = false;
            continue;
        }
        if (line.empty()) continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            hb.fields.emplace_back(std::string(line), std::string());
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        hb.fields.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    return hb;
}

}  // namespace qvemu
