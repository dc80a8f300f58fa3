#include "codec/file_process.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/qv_errors.h"
#include "codec/json_text.h"
#include "codec/parse_harness_test.h"

namespace {

using Rec = parse_harness::Record;

std::string built(Rec &r) {
    return r.ci.retstr ? r.ci.retstr : "(null)";
}

}  // namespace

// ---- the table ----

TEST(CommandTable, CodesInTableOrder) {
    const std::vector<int> golden = {
        150, 106, 108, 107, 162, 100, 101, 151, 161, 152, 153, 154, 104, 103, 102, 105, 109, 156,
        159, 160, 113, 117, 120, 158, 155, 123, 124, 125, 121, 130, 131, 132, 146, 133, 138, 134,
        136, 57,  147, 148, 157, 171, 172, 300, 301, 302, 303, 304, 305, 307, 308, 309, 170, 310,
        311, 312, 313, 315, 314, 316, 318, 317, 163, 164, 165, 167, 319, 320, 322, 168, 323, 169,
        324, 325, 343, 344, 330, 331, 332, 333, 20,  174, 173, 200, 201, 202, 203, 166, 175, 334,
        335, 176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 327, 328, 336, 337, 186, 187, 188,
        189, 204, 205, 206, 210, 211, 212, 213, 214, 215, 338, 339, 340, 341, 342};
    std::vector<int> codes;
    for (size_t i = 0; i < QV_FILE_CMD_COUNT; ++i) codes.push_back(file_cmd_table()[i].code);
    EXPECT_EQ(codes, golden);
    EXPECT_EQ(std::set<int>(codes.begin(), codes.end()).size(), codes.size()) << "a code occurs twice";
}

TEST(CommandTable, FindGivesTheRowAndItsIndex) {
    int index = -1;
    const file_cmd_row *row = file_cmd_find(file_cmd_table(), QV_FILE_CMD_COUNT, 57, &index);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(index, 37);
    EXPECT_EQ(row->code, 57);
    EXPECT_STREQ(row->builder_name, "Request_FileUploadFw");
    EXPECT_STREQ(row->parser_name, "Parser_FileUploadFw");
    // 65536 + 150 would alias row 0 if the code were cut to 16 bits.
    for (int32_t cmd : {0, 306, 70000, 65536 + 150, -1, INT32_MIN})
        EXPECT_EQ(file_cmd_find(file_cmd_table(), QV_FILE_CMD_COUNT, cmd, nullptr), nullptr) << cmd;
}

// ---- request envelopes ----

// Every header-only command sends only "header", with the standard member order.
// A streamed row names the chunk parser the processor installs; no other row has one.
TEST(CommandTable, StreamedRowsNameTheirChunkParser) {
    std::set<int> streamed;
    for (size_t i = 0; i < QV_FILE_CMD_COUNT; ++i) {
        const file_cmd_row &row = file_cmd_table()[i];
        const bool is_streamed = (row.flags & QV_CMD_STREAMED) != 0;
        EXPECT_EQ(is_streamed, row.chunk_parser != nullptr) << row.code;
        EXPECT_TRUE(row.chunk_destroy == nullptr || is_streamed) << row.code;
        if (is_streamed) streamed.insert(row.code);
    }
    EXPECT_EQ(streamed, (std::set<int>{117, 157, 159, 160, 163, 167, 173, 174, 211, 212, 213}));
    EXPECT_TRUE(file_cmd_is_streamed(117));
    EXPECT_FALSE(file_cmd_is_streamed(101));
    EXPECT_FALSE(file_cmd_is_streamed(9999));
}

// The cacheable listings and the database each one's replies are kept in.
TEST(CommandTable, CacheableListingsAndTheirDatabases) {
    struct Case {
        int cmd;
        const char *file;
    };
    const Case cases[] = {{101, "cache.db"},        {120, "cache.db"},       {123, "cache.db"},
                          {124, "cache.db"},        {158, "cache.db"},       {323, "cache.db"},
                          {151, "recent_cache.db"}, {161, "recent_cache.db"}};
    size_t cacheable = 0;
    for (size_t i = 0; i < QV_FILE_CMD_COUNT; ++i)
        if (file_cmd_table()[i].cache != QV_CACHE_NONE) ++cacheable;
    EXPECT_EQ(cacheable, std::size(cases));
    for (const Case &c : cases) EXPECT_STREQ(qv_cache_db_file(file_cmd_cache_db(c.cmd)), c.file) << c.cmd;
    EXPECT_EQ(file_cmd_cache_db(185), QV_CACHE_NONE);  // the hidden folder's page is never cached
    EXPECT_EQ(file_cmd_cache_db(9999), QV_CACHE_NONE);
}

TEST(Envelope, HeaderOnlyCommands) {
    const int header_only[] = {20,  100, 130, 148, 150, 163, 165, 170, 171, 175, 176, 177, 178, 180,
                               183, 184, 186, 213, 214, 300, 304, 305, 307, 310, 312, 314, 317, 319,
                               322, 324, 330, 332, 333, 335, 336, 339, 340, 341, 342, 343};
    for (int code : header_only) {
        Rec r;
        r.ci.cmd = code;
        r.ci.port = 13111;
        std::strcpy(r.ci.ip, "127.0.0.2");
        r.ci.token = 1234567890123LL;
        ASSERT_EQ(file_process(&r.ci), 0) << code;
        EXPECT_EQ(built(r), "{ \"header\": { \"cmd\": " + std::to_string(code) +
                                ", \"token\": 1234567890123, \"seq\": 0, \"error\": 0 } }");
        EXPECT_EQ(r.ci.cacheKey, nullptr) << code;
    }
}

TEST(Envelope, HeaderTexts) {
    struct Case {
        int cmd;
        int64_t token;
        int64_t seq;
        int32_t error;
        const char *want;
    };
    const Case cases[] = {
        {166, 99, 0, 0, R"({ "header": { "cmd": 166, "seq": 0, "error": 0 } })"},
        {203, 5, 7, 0, R"({ "header": { "cmd": 203, "seq": 7, "error": 0 } })"},
        // the push keep-alive always sends "error" 0
        {174, 1, 0, 9, R"({ "header": { "cmd": 174, "token": 1, "seq": 0, "error": 0 } })"},
        // "seq" is the low 32 bits read as signed
        {150, -1, 0x1FFFFFFFFLL, 0, R"({ "header": { "cmd": 150, "token": -1, "seq": -1, "error": 0 } })"},
        {150, 0, 0x100000005LL, 0, R"({ "header": { "cmd": 150, "token": 0, "seq": 5, "error": 0 } })"},
        {150, 0, 0x80000000LL, 0,
         R"({ "header": { "cmd": 150, "token": 0, "seq": -2147483648, "error": 0 } })"},
        {150, INT64_MAX, -2, 3,
         R"({ "header": { "cmd": 150, "token": 9223372036854775807, "seq": -2, "error": 3 } })"},
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.cmd = c.cmd;
        r.ci.token = c.token;
        r.ci.seq = c.seq;
        r.ci.error = c.error;
        ASSERT_EQ(file_process(&r.ci), 0) << c.cmd;
        EXPECT_EQ(built(r), c.want);
    }
}

TEST(Envelope, RequestWithParameters) {
    struct Case {
        int cmd;
        const char *key;
        json_object *(*value)();
        const char *want;
    };
    const Case cases[] = {
        {202, "userId", [] { return json_object_new_string("abc"); },
         R"({ "data": [ { "userId": "abc" } ], "header": { "cmd": 202, "seq": 0, "error": 0 } })"},
        {104, "path", [] { return json_object_new_string("/a/b"); },
         R"({ "data": [ { "path": "\/a\/b" } ], "header": { "cmd": 104, "token": 7, "seq": 0, "error": 0 } })"},
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.cmd = c.cmd;
        r.ci.token = 7;
        json_object *data = json_object_new_array();
        json_object *param = json_object_new_object();
        json_object_object_add(param, c.key, c.value());
        json_object_array_add(data, param);
        EXPECT_EQ(qv_request_finish(&r.ci, data), 0);
        EXPECT_EQ(built(r), c.want);
    }
}

TEST(Envelope, UserListCacheKeyHoldsTheTokenButNotTheSequence) {
    for (int64_t seq : {0, 7, 123456}) {
        Rec r;
        r.ci.cmd = 323;
        r.ci.token = 42;
        r.ci.seq = seq;
        ASSERT_EQ(file_process(&r.ci), 0);
        EXPECT_EQ(built(r), R"({ "header": { "cmd": 323, "token": 42, "seq": )" + std::to_string(seq) +
                                R"(, "error": 0 } })");
        ASSERT_NE(r.ci.cacheKey, nullptr);
        EXPECT_STREQ(r.ci.cacheKey, R"(cmd: 323, para: { "cmd": 323, "token": 42 })");
    }
}

// ---- request dispatch ----

TEST(FileProcess, UnknownCodesAreRefused) {
    for (int32_t cmd : {0, 306, 70000, 65536 + 150, -1, 190}) {
        Rec r;
        r.ci.cmd = cmd;
        testing::internal::CaptureStdout();
        EXPECT_EQ(file_process(&r.ci), QV_ERR_CMD_NOT_FOUND) << cmd;
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("switch_flag == 0 Requestfun is UNKNOW? cmd= " + std::to_string(cmd)),
                  std::string::npos)
            << log;
        EXPECT_EQ(r.ci.retstr, nullptr);
    }
}

namespace {

int g_builder_calls;
int g_parser_calls;
struct ParserCall {
    uint16_t code;
    int index;
    const file_cmd_row *row;
};
ParserCall g_last;

int build_ok(client_info *info) {
    ++g_builder_calls;
    return qv_request_finish(info, nullptr);
}
int build_fail(client_info *) {
    ++g_builder_calls;
    return -1;
}
int parse_spy(client_info *info, uint16_t code, int index, const file_cmd_row *row) {
    ++g_parser_calls;
    g_last = {code, index, row};
    info->status = 77;  // what a real parser would store
    return -1;          // a required member missing
}

const file_cmd_row kTestRows[] = {
    {10, build_ok, "build_ok", parse_spy, "parse_spy"},
    {11, nullptr, "Request_Later", nullptr, "Parser_Later"},
    {12, build_fail, "build_fail", parse_spy, "parse_spy"},
    {13, build_ok, "build_ok", parse_spy, "parse_spy"},
};

class Dispatch : public testing::Test {
  protected:
    void SetUp() override {
        g_builder_calls = 0;
        g_parser_calls = 0;
        g_last = {};
    }
    int build(Rec &r, int32_t cmd) {
        r.ci.cmd = cmd;
        return file_process_rows(&r.ci, kTestRows, std::size(kTestRows));
    }
    int parse(Rec &r, int32_t request_cmd, const char *reply) {
        r.ci.cmd = request_cmd;
        r.receive(reply);
        return file_parse_process_rows(&r.ci, kTestRows, std::size(kTestRows));
    }
};

}  // namespace

TEST_F(Dispatch, BuilderResults) {
    Rec ok, missing, failing;
    EXPECT_EQ(build(ok, 13), 0);
    EXPECT_EQ(g_builder_calls, 1);
    EXPECT_EQ(built(ok), R"({ "header": { "cmd": 13, "token": 0, "seq": 0, "error": 0 } })");
    // a row whose builder is not available yet never pretends to have built something
    EXPECT_EQ(build(missing, 11), QV_ERR_NOT_BUILT);
    EXPECT_EQ(missing.ci.retstr, nullptr);
    EXPECT_EQ(build(failing, 12), QV_ERR_NOT_BUILT);
    EXPECT_EQ(failing.ci.retstr, nullptr);
}

TEST_F(Dispatch, ParserGetsCodeIndexAndRow) {
    Rec r;
    EXPECT_EQ(parse(r, 13, R"({ "header": { "cmd": 13, "error": 0 } })"), -1);
    EXPECT_EQ(g_parser_calls, 1);
    EXPECT_EQ(g_last.code, 13);
    EXPECT_EQ(g_last.index, 3);
    EXPECT_EQ(g_last.row, &kTestRows[3]);
    EXPECT_EQ(r.ci.r_json, nullptr);
}

TEST_F(Dispatch, HeaderErrorReplacesTheParsersResult) {
    Rec r;
    EXPECT_EQ(parse(r, 10, R"({ "header": { "cmd": 10, "error": 4 } })"), 4);
    EXPECT_EQ(g_parser_calls, 1);  // the parser still ran
    EXPECT_EQ(r.ci.status, 77);
    EXPECT_EQ(r.ci.error, 4);
}

TEST_F(Dispatch, MissingParser) {
    Rec r, with_error;
    EXPECT_EQ(parse(r, 11, R"({ "header": { "cmd": 11, "error": 0 } })"), QV_ERR_NO_PARSER);
    EXPECT_EQ(parse(with_error, 11, R"({ "header": { "cmd": 11, "error": 6 } })"), 6);
}

// A reply for another command must not reach that command's parser: it would write through fields
// that this request never set.
TEST_F(Dispatch, ReplyForAnotherCommandRunsNoParser) {
    struct Case {
        int32_t request;
        const char *reply;
        int want;
        int32_t cmd_after;
    };
    const Case cases[] = {
        {13, R"({ "header": { "cmd": 10, "error": 0 } })", QV_ERR_CMD_NOT_FOUND, 10},
        {13, R"({ "header": { "cmd": 10, "error": 8 } })", 8, 10},
        {13, R"({ "header": { "error": 0 } })", QV_ERR_CMD_NOT_FOUND, 0},
        {13, R"({ "header": { "cmd": 0, "error": 7 } })", 7, 0},
        {99, R"({ "header": { "cmd": 13, "error": 0 } })", QV_ERR_CMD_NOT_FOUND, 13},
        {99, R"({ "header": { "cmd": 99, "error": 0 } })", QV_ERR_CMD_NOT_FOUND, 99},
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.retstr = strdup("{ request }");  // the processor's request text is replaced, not leaked
        EXPECT_EQ(parse(r, c.request, c.reply), c.want) << c.reply;
        EXPECT_EQ(r.ci.cmd, c.cmd_after);
        EXPECT_STREQ(r.ci.retstr, "input cmd is not finished!");
        EXPECT_EQ(r.ci.r_json, nullptr);
    }
    EXPECT_EQ(g_parser_calls, 0);
}

// ---- reply dispatch over the command table ----

TEST(FileParseProcess, UnreadableRepliesGive10003) {
    const char *replies[] = {
        nullptr,
        "",
        "not json",
        "[ 1, 2 ]",
        R"({ "data": { "status": 1 } })",
        R"({ "header": 5 })",
        R"({ "header": null })",
    };
    for (const char *reply : replies) {
        Rec r;
        r.ci.cmd = 102;
        r.ci.token = 11;
        r.receive(reply);
        testing::internal::CaptureStdout();
        EXPECT_EQ(file_parse_process(&r.ci), QV_ERR_NOT_BUILT) << (reply ? reply : "(null)");
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("json is invalid"), std::string::npos) << log;
        EXPECT_EQ(r.ci.r_json, nullptr);
        EXPECT_EQ(r.ci.token, 11);
        EXPECT_EQ(r.ci.retstr, nullptr);
    }
}

TEST(FileParseProcess, ResultOfANoDataCommand) {
    struct Case {
        const char *reply;
        int want;
    };
    const Case cases[] = {
        {R"({ "header": { "cmd": 102, "error": 5 } })", 5},
        {R"({ "header": { "cmd": 102, "error": 0 } })", 0},
        {R"({ "header": { "cmd": 102 } })", 0},
        {R"({ "header": { "cmd": "102", "error": "7" } })", 7},         // json-c's conversions of texts
        {R"({ "header": { "cmd": 102, "error": 1e12 } })", INT32_MAX},  // 32-bit reads saturate
        {R"({ "header": { "error": 0 } })", QV_ERR_CMD_NOT_FOUND},
        {R"({ "header": { "error": 7 } })", 7},
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.cmd = 102;
        r.receive(c.reply);
        EXPECT_EQ(file_parse_process(&r.ci), c.want) << c.reply;
        EXPECT_EQ(r.ci.r_json, nullptr);
    }
}

TEST(FileParseProcess, HeaderFieldsAfterTheReply) {
    struct Case {
        const char *reply;
        int32_t cmd;
        int64_t token;
        int64_t seq;
        int32_t error;
    };
    // The request: cmd 107, token 77, seq 3, error 0.
    const Case cases[] = {
        {R"({ "header": { "cmd": 107 } })", 107, 77, 3, 0},  // no token, no seq: kept
        {R"({ "header": { "cmd": 107, "token": 5, "seq": 9 } })", 107, 5, 9, 0},
        {R"({ "header": { "cmd": 107, "seq": -1 } })", 107, 77, -1, 0},  // all ones in 64 bits
        {R"({ "header": { "cmd": 107, "seq": 4294967295 } })", 107, 77, INT32_MAX, 0},
        {R"({ "header": { "cmd": 107, "token": 9007199254740993 } })", 107, 9007199254740993LL, 3, 0},
        {R"({ "header": { "cmd": 0, "token": 1 } })", 0, 1, 3, 0},
        {R"({ "header": { "token": 0, "error": -3 } })", 0, 0, 3, -3},
    };
    for (const Case &c : cases) {
        Rec r;
        r.ci.cmd = 107;
        r.ci.token = 77;
        r.ci.seq = 3;
        r.receive(c.reply);
        file_parse_process(&r.ci);
        EXPECT_EQ(r.ci.cmd, c.cmd) << c.reply;
        EXPECT_EQ(r.ci.token, c.token) << c.reply;
        EXPECT_EQ(r.ci.seq, c.seq) << c.reply;
        EXPECT_EQ(r.ci.error, c.error) << c.reply;
    }
}

TEST(FileParseProcess, ReplyForAnotherCommandIsRefused) {
    Rec r;
    r.ci.cmd = 107;  // an upload; 102 would be answered by the same no-data parser
    r.ci.retstr = strdup("request");
    r.receive(R"({ "header": { "cmd": 102, "error": 0 } })");
    EXPECT_EQ(file_parse_process(&r.ci), QV_ERR_CMD_NOT_FOUND);
    EXPECT_EQ(r.ci.cmd, 102);
    EXPECT_STREQ(r.ci.retstr, "input cmd is not finished!");
}

TEST(FileParseProcess, HeaderReaderKeepsTheTreeForTheCaller) {
    Rec r;
    r.receive(R"({ "data": [ ] })");
    EXPECT_EQ(file_parse_header_json(&r.ci), -1);
    EXPECT_NE(r.ci.r_json, nullptr);  // released by the dispatcher (here: by Rec)
    r.receive(R"({ "header": { "cmd": 20 } })");
    EXPECT_EQ(file_parse_header_json(&r.ci), 0);  // the earlier tree is not leaked
    EXPECT_EQ(r.ci.cmd, 20);
}

// ---- cache key ----

TEST(CacheKey, ListingKeyText) {
    json_object *param = json_object_new_object();
    json_object_object_add(param, "path", json_object_new_string("/"));
    json_object_object_add(param, "srcUserId", json_object_new_int(2));
    json_object_object_add(param, "srcBucketId", json_object_new_int(2));
    json_object_object_add(param, "offset", json_object_new_int(0));
    json_object_object_add(param, "length", json_object_new_int(500));
    json_object_object_add(param, "fileType", json_object_new_int(0));
    json_object_object_add(param, "sortType", json_object_new_int(1));
    char *key = nullptr;
    generate_cache_key(&key, qv_json_text(param).c_str(), 101);
    json_object_put(param);
    ASSERT_NE(key, nullptr);
    EXPECT_STREQ(key, R"(cmd: 101, para: { "path": "\/", "srcUserId": 2, "srcBucketId": 2, "offset": 0, )"
                      R"("length": 500, "fileType": 0, "sortType": 1 })");
    std::free(key);
}

TEST(CacheKey, MissingSlotOrText) {
    char *key = nullptr;
    testing::internal::CaptureStdout();
    generate_cache_key(&key, nullptr, 101);
    generate_cache_key(nullptr, "{ }", 101);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(key, nullptr);
    EXPECT_NE(log.find("para is error"), std::string::npos);
    // the longest command code still fits
    generate_cache_key(&key, "", INT32_MIN);
    ASSERT_NE(key, nullptr);
    EXPECT_STREQ(key, "cmd: -2147483648, para: ");
    std::free(key);
}
