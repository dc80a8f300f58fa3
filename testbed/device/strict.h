// Strict-mode checks of what the client sends: each returns descriptions of the deviations found.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"

namespace qvemu {

// Facts about how an HTTP-like request body was read.
struct BodyFacts {
    bool content_length_ok = false;  // present and a plain decimal
    bool encrypt_aes = false;        // the request said "Encrypt: aes"
    bool decipher_ok = true;         // at least 16 bytes, a multiple of 16, deciphered
    bool from_location = false;      // the envelope came from the Location header (uploads)
};

// The Timeout the client sends for a command, when it is fixed (none: the caller's value).
std::optional<int> expected_timeout(int cmd, bool pool_close);

// Commands whose request carries no Encrypt header (plain body or raw upload data).
bool is_plain_request(int cmd);

// True when every '/' inside the JSON text is written as "\/".
bool slashes_escaped(std::string_view json_text);

// Frame, request line, headers and body rules of an HTTP-like request.
std::vector<std::string> check_http_request(const Request &req, std::string_view device_address,
                                            const BodyFacts &facts);

// Envelope rules (both protocols): header members and their order, "data" shape, escapes.
std::vector<std::string> check_envelope(const Request &req);

}  // namespace qvemu
