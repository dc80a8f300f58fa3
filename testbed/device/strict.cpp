#include "strict.h"

#include <cstdlib>
#include <set>

namespace qvemu {

namespace {
const std::set<int> kUploads = {107, 162, 132, 146};
const std::set<int> kDataObject = {138, 156, 167, 211, 212, 215};

std::vector<std::string> header_order(int cmd) {
    switch (cmd) {
        case 166:
        case 200:
        case 201:
        case 202:
        case 203:
        case 2:
        case 8:
            return {"cmd", "seq", "error"};
        case 1:
        case 10:
        case 11:
        case 15:
            return {"cmd", "seq", "error", "token"};
        case 3:
        case 12:
            return {"cmd", "seq", "token", "error"};
        default:
            return {"cmd", "token", "seq", "error"};
    }
}

std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (const auto &k : v) s += (s.empty() ? "" : ", ") + k;
    return s;
}
}  // namespace

std::optional<int> expected_timeout(int cmd, bool pool_close) {
    if (cmd == 175) return pool_close ? std::optional<int>(200) : std::nullopt;  // open: borrower's
    if (cmd == 165) return std::nullopt;
    if (kUploads.count(cmd)) return 20000;
    switch (cmd) {
        case 3:
            return 200;
        case 316:
            return 30000;
        case 167:
        case 211:
        case 212:
        case 213:
            return 60000;
        case 163:
            return 90000;
        case 168:
            return 600000;
        default:
            return 20000;
    }
}

bool is_plain_request(int cmd) {
    return cmd == 174 || kUploads.count(cmd) != 0;
}

bool slashes_escaped(std::string_view t) {
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\\') {
            ++i;  // skip the escaped character
            continue;
        }
        if (t[i] == '/') return false;
    }
    return true;
}

std::vector<std::string> check_http_request(const Request &req, std::string_view address,
                                            const BodyFacts &facts) {
    std::vector<std::string> out;
    const HeaderBlock &hb = *req.head;
    if (!hb.complete) out.push_back("header block without the final empty line");
    if (hb.surplus != 0)
        out.push_back("frame length exceeds the header block by " + std::to_string(hb.surplus));

    // "POST <target> HTTP/1.1"; the target may be missing.
    std::string_view line = hb.start_line;
    bool line_ok = line == "POST HTTP/1.1" || (line.size() > 13 && line.rfind("POST ", 0) == 0 &&
                                               line.substr(line.size() - 9) == " HTTP/1.1");
    if (!line_ok) out.push_back("request line is not \"POST <target> HTTP/1.1\": " + std::string(line));

    const std::string *ua = hb.find("User-Agent");
    if (!ua || *ua != "qvhttp/1.0") out.push_back("User-Agent is not qvhttp/1.0");

    bool pool_close = req.cmd == 175 && !req.keep_alive;
    const std::string *host = hb.find("Host");
    if (pool_close) {
        if (host) out.push_back("Host sent on the pool close");
    } else if (!host) {
        out.push_back("Host missing");
    } else if (*host != address && address != "0.0.0.0") {  // a device on every address takes any
        out.push_back("Host is " + *host + ", not the device address " + std::string(address));
    }

    const std::string *to = hb.find("Timeout");
    if (!to) {
        out.push_back("Timeout missing");
    } else {
        char *end = nullptr;
        long v = std::strtol(to->c_str(), &end, 10);
        auto want = expected_timeout(req.cmd, pool_close);
        if (to->empty() || *end != '\0' || v <= 0)
            out.push_back("Timeout is not a positive number: " + *to);
        else if (want && v != *want)
            out.push_back("Timeout " + *to + " for command " + std::to_string(req.cmd) + ", expected " +
                          std::to_string(*want));
    }

    if (!facts.content_length_ok) out.push_back("Content-Length missing or not a number");
    bool plain = is_plain_request(req.cmd);
    const std::string *enc = hb.find("Encrypt");
    if (plain && enc) out.push_back("Encrypt sent on command " + std::to_string(req.cmd));
    if (!plain && (!enc || *enc != "aes"))
        out.push_back("Encrypt: aes missing on command " + std::to_string(req.cmd));
    if (facts.encrypt_aes && !facts.decipher_ok)
        out.push_back("enciphered body is not a whole number of 16-byte blocks");

    bool upload = kUploads.count(req.cmd) != 0;
    if (upload && !facts.from_location) out.push_back("upload without a Location envelope");
    if (!upload && facts.from_location) out.push_back("Location sent on command " + std::to_string(req.cmd));
    return out;
}

std::vector<std::string> check_envelope(const Request &req) {
    std::vector<std::string> out;
    if (!req.envelope || !json_object_is_type(req.envelope, json_type_object)) {
        out.push_back("body is not a JSON object");
        return out;
    }
    if (!slashes_escaped(req.text)) out.push_back("'/' not escaped as \"\\/\"");

    std::vector<std::string> top;
    json_object_object_foreach(req.envelope, key, val) {
        (void)val;
        top.emplace_back(key);
    }
    std::vector<std::string> want_top =
        req.data ? std::vector<std::string>{"data", "header"} : std::vector<std::string>{"header"};
    if (top != want_top)
        out.push_back("envelope members are {" + joined(top) + "}, expected {" + joined(want_top) + "}");

    json_object *header = nullptr;
    if (!json_object_object_get_ex(req.envelope, "header", &header) ||
        !json_object_is_type(header, json_type_object)) {
        out.push_back("\"header\" missing");
        return out;
    }
    std::vector<std::string> keys;
    json_object_object_foreach(header, hkey, hval) {
        (void)hval;
        keys.emplace_back(hkey);
    }
    auto want = header_order(req.cmd);
    if (keys != want)
        out.push_back("header members of command " + std::to_string(req.cmd) + " are {" + joined(keys) +
                      "}, expected {" + joined(want) + "}");

    if (req.data) {
        bool want_object = kDataObject.count(req.cmd) != 0;
        json_type t = json_object_get_type(req.data);
        if (want_object && t != json_type_object)
            out.push_back("\"data\" of command " + std::to_string(req.cmd) + " is not an object");
        if (!want_object && t != json_type_array)
            out.push_back("\"data\" of command " + std::to_string(req.cmd) + " is not an array");
    }
    return out;
}

}  // namespace qvemu
