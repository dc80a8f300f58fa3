// A received header block: start line and header fields, looked up case-insensitively.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvemu {

struct HeaderBlock {
    std::string start_line;
    std::vector<std::pair<std::string, std::string>> fields;  // in arrival order, values as sent
    bool complete = false;                                    // the block ended with an empty line
    size_t surplus = 0;                                       // bytes after the empty line inside the frame

    // The value of the last field of that name (names compare case-insensitively), or null.
    const std::string *find(std::string_view name) const;
};

// Splits a header block: "start\r\nName: value\r\n...\r\n\r\n". The one blank after the colon is
// dropped; nothing else is trimmed. Lines without a colon are kept with an empty value.
HeaderBlock parse_header_block(std::string_view text);

bool iequals(std::string_view a, std::string_view b);

}  // namespace qvemu
