// Percent-escaping of paths for signed file addresses and download task ids.
#pragma once

#include <string>
#include <string_view>

// ASCII letters, digits and "*", "-", ".", "/", "_" stay; every other byte becomes "%" and two upper-case
// hex digits. No length limit.
std::string qv_url_escape(std::string_view text);
