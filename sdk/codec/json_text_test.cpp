#include "codec/json_text.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <clocale>
#include <string>

namespace {

std::string text_of_string(const std::string &s) {
    json_object *o = json_object_new_string_len(s.data(), static_cast<int>(s.size()));
    std::string t = qv_json_text(o);
    json_object_put(o);
    return t;
}

}  // namespace

TEST(JsonText, StringEscapes) {
    struct Case {
        std::string in;
        std::string want;
    };
    const Case cases[] = {
        {"/a/b", R"("\/a\/b")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {"q\"b\\", R"("q\"b\\")"},
        {std::string("\x01\x1f", 2), R"("\u0001\u001f")"},
        {std::string("a\0b", 3), R"("a\u0000b")"},
        {"\x7f", "\"\x7f\""},                          // 127 is not a control byte here
        {"caf\xc3\xa9 \xff", "\"caf\xc3\xa9 \xff\""},  // bytes of 128 and above pass unchanged
    };
    for (const Case &c : cases) EXPECT_EQ(text_of_string(c.in), c.want);
}

TEST(JsonText, DoublesAsSixDecimals) {
    struct Case {
        double in;
        const char *want;
    };
    const Case cases[] = {
        {1.5, "1.500000"},
        {22.5430961, "22.543096"},
        {-113.94, "-113.940000"},
        {0.0, "0.000000"},
        {1e20, "100000000000000000000.000000"},
    };
    for (const Case &c : cases) {
        json_object *o = json_object_new_double(c.in);
        EXPECT_EQ(qv_json_text(o), c.want);
        json_object_put(o);
    }
}

TEST(JsonText, DecimalCommaLocaleStillWritesAPoint) {
    const char *old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr)
        GTEST_SKIP() << "no decimal-comma locale installed";
    json_object *o = json_object_new_double(2.25);
    const std::string t = qv_json_text(o);
    json_object_put(o);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(t, "2.250000");
}

TEST(JsonText, SpacedLayoutAndInsertionOrder) {
    json_object *root = json_object_new_object();
    json_object *arr = json_object_new_array();
    for (int i = 1; i <= 3; ++i) json_object_array_add(arr, json_object_new_int(i));
    json_object_object_add(root, "typeList", arr);
    json_object_object_add(root, "zeta", json_object_new_int64(-9007199254740993LL));
    json_object_object_add(root, "alpha", json_object_new_boolean(1));
    json_object_object_add(root, "none", nullptr);
    json_object_object_add(root, "empty", json_object_new_object());
    json_object_object_add(root, "list", json_object_new_array());
    json_object_object_add(root, "big", json_object_new_uint64(18446744073709551615ULL));
    EXPECT_EQ(qv_json_text(root),
              R"({ "typeList": [ 1, 2, 3 ], "zeta": -9007199254740993, "alpha": true, "none": null, )"
              R"("empty": { }, "list": [ ], "big": 18446744073709551615 })");
    json_object_put(root);
    json_object *empty = json_object_new_object();
    EXPECT_EQ(qv_json_text(empty), "{ }");
    json_object_put(empty);
}

// Apart from doubles, the text is what json-c's own spaced printer gives; keys are escaped like values.
TEST(JsonText, MatchesJsonCSpacedForIntegersAndStrings) {
    json_object *root = json_object_new_object();
    json_object *data = json_object_new_array();
    json_object *param = json_object_new_object();
    json_object_object_add(param, "path", json_object_new_string("/a b/\"c\"\\\x02\xe4\xb8\xad"));
    json_object_object_add(param, "k/ey", json_object_new_int(-5));
    json_object_object_add(param, "n", json_object_new_int64(INT64_MIN));
    json_object_array_add(data, param);
    json_object_object_add(root, "data", data);
    EXPECT_EQ(qv_json_text(root), json_object_to_json_string_ext(root, JSON_C_TO_STRING_SPACED));
    json_object_put(root);
}
