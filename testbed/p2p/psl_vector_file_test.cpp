// Reads the committed vector file the way the library's tests do: hex in, fields out.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <fstream>
#include <memory>
#include <string>

#include "psl_messages.h"
#include "psl_vectors.h"

namespace qvbed::psl {
namespace {

using Json = std::unique_ptr<json_object, decltype(&json_object_put)>;

Json parse(const std::string &text) {
    return Json(json_tokener_parse(text.c_str()), &json_object_put);
}

std::string member(json_object *o, const char *key) {
    json_object *m = nullptr;
    return json_object_object_get_ex(o, key, &m) ? json_object_get_string(m) : "";
}

TEST(PslVectorFile, EveryLineDecodesToItsFields) {
    std::ifstream in(QV_PSL_VECTORS);
    ASSERT_TRUE(in) << QV_PSL_VECTORS;
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    Json comment = parse(line);
    ASSERT_TRUE(comment && json_object_object_get_ex(comment.get(), "comment", nullptr));
    size_t lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        Json v = parse(line);
        ASSERT_TRUE(v) << line;
        const std::string name = member(v.get(), "name");
        SCOPED_TRACE(name);
        auto wire = from_hex(member(v.get(), "hex"));
        ASSERT_TRUE(wire);
        auto p = open_datagram(*wire);
        ASSERT_TRUE(p);
        Bytes plain(16);
        put_header(p->header, plain.data());
        plain.insert(plain.end(), p->payload.begin(), p->payload.end());
        EXPECT_EQ(to_hex(plain), member(v.get(), "plain_hex"));
        const Layout *l = classify(*p);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(member(v.get(), "msg"), l->msg);
        auto got = read(*l, *p);
        ASSERT_TRUE(got);
        json_object *fields = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(v.get(), "fields", &fields));
        json_object_object_foreach(fields, key, want) {
            const Value *value = find_field(*got, key);
            ASSERT_NE(value, nullptr) << key;
            Json have = parse(json_value(*value));
            EXPECT_TRUE(json_object_equal(have.get(), want)) << key << ": " << json_value(*value);
        }
    }
    EXPECT_EQ(lines, golden_vectors().size());
}

}  // namespace
}  // namespace qvbed::psl
