// Golden vectors: one set of field values per message form, built by the test bed's codec and written as one
// JSON object per line for the library's tests to reproduce.
#pragma once

#include <string>
#include <vector>

#include "psl_messages.h"

namespace qvbed::psl {

struct Vector {
    std::string name;  // unique
    std::string msg;   // catalogue message name
    std::string form;  // variant name in the file
    const Layout *layout;
    Fields fields;
};

// Every vector: each layout at least once, the two known answers, and the header variants (routeFlags 0x02,
// the hello's extra byte, partial scrambling).
std::vector<Vector> golden_vectors();

// JSON text of a value: numbers in decimal, text as a JSON string, byte strings as lower-case hex, addresses
// as "a.b.c.d:port", lists as arrays.
std::string json_value(const Value &v);

// The whole vector file: the comment line, then one line per vector. Empty on a vector that does not build
// (its name and the reason in *error).
std::string vector_file(std::string *error = nullptr);

}  // namespace qvbed::psl
