// The device's JSON text form: json-c trees written in the spaced style, byte for byte as the device
// firmware expects it ("{ "k": v, ... }", "[ a, b ]", "\/" escaped, doubles as "%f"). json-c's own
// printer differs on doubles, so the codec writes every request text through this serialiser.
#pragma once

#include <string>

struct json_object;

// Appends the text of `obj` (null prints "null").
void qv_json_append(std::string &out, json_object *obj);

// The text of `obj`.
std::string qv_json_text(json_object *obj);
