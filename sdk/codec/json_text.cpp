#include "codec/json_text.h"

#include <json-c/json.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace {

void append_escaped(std::string &out, const char *s, size_t len) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0x0f];
                } else {
                    out += static_cast<char>(c);  // bytes of 128 and above pass unchanged
                }
        }
    }
    out += '"';
}

void append_double(std::string &out, double d) {
    if (std::isnan(d)) {
        out += "NaN";
        return;
    }
    if (std::isinf(d)) {
        out += d > 0 ? "Infinity" : "-Infinity";
        return;
    }
    char buf[400];  // the longest "%f" of a double has 317 characters
    const int n = std::snprintf(buf, sizeof buf, "%f", d);
    for (int i = 0; i < n; ++i)
        if (buf[i] == ',') buf[i] = '.';  // a locale's decimal comma
    out.append(buf, static_cast<size_t>(n));
}

void append_int(std::string &out, json_object *obj) {
    char buf[32];
    const int64_t v = json_object_get_int64(obj);
    if (v == INT64_MAX) {
        // json-c saturates values stored unsigned; print those as they are.
        const uint64_t u = json_object_get_uint64(obj);
        std::snprintf(buf, sizeof buf, "%" PRIu64, u);
    } else {
        std::snprintf(buf, sizeof buf, "%" PRId64, v);
    }
    out += buf;
}

}  // namespace

void qv_json_append(std::string &out, json_object *obj) {
    switch (json_object_get_type(obj)) {
        case json_type_null:
            out += "null";
            break;
        case json_type_boolean:
            out += json_object_get_boolean(obj) ? "true" : "false";
            break;
        case json_type_int:
            append_int(out, obj);
            break;
        case json_type_double:
            append_double(out, json_object_get_double(obj));
            break;
        case json_type_string:
            append_escaped(out, json_object_get_string(obj),
                           static_cast<size_t>(json_object_get_string_len(obj)));
            break;
        case json_type_object: {
            out += '{';
            bool first = true;
            json_object_iterator it = json_object_iter_begin(obj);
            const json_object_iterator end = json_object_iter_end(obj);
            while (!json_object_iter_equal(&it, &end)) {
                if (!first) out += ',';
                first = false;
                out += ' ';
                const char *key = json_object_iter_peek_name(&it);
                append_escaped(out, key, std::char_traits<char>::length(key));
                out += ": ";
                qv_json_append(out, json_object_iter_peek_value(&it));
                json_object_iter_next(&it);
            }
            out += " }";
            break;
        }
        case json_type_array: {
            out += '[';
            const size_t n = json_object_array_length(obj);
            for (size_t i = 0; i < n; ++i) {
                if (i > 0) out += ',';
                out += ' ';
                qv_json_append(out, json_object_array_get_idx(obj, i));
            }
            out += " ]";
            break;
        }
    }
}

std::string qv_json_text(json_object *obj) {
    std::string out;
    qv_json_append(out, obj);
    return out;
}
