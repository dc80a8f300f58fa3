// Decoding a folder listing reply (command 101) through the command codec, next to json-c's bare parse
// of the same text. The codec's decode = parse + header + building the file list + releasing tree and
// list; the bare parse = json_tokener_parse + json_object_put.
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/qv_log.h"
#include "codec/file_list.h"
#include "codec/file_process.h"

namespace {

std::string listing_reply(int entries) {
    std::string s =
        R"({ "header": { "cmd": 101, "token": 1234567890123, "seq": 42, "error": 0 }, "data": { "count": )" +
        std::to_string(entries) + R"(, "totalCount": )" + std::to_string(entries) + R"(, "filelist": [ )";
    char buf[320];
    for (int i = 0; i < entries; ++i) {
        std::snprintf(
            buf, sizeof buf,
            R"(%s{ "name": "IMG_%05d.jpg", "path": "/mnt/sda1/photos/2024/IMG_%05d.jpg", "size": %d, )"
            R"("data": %d, "isFolder": %d, "bucket_id": 1, "isStore": %d, "type": 3 })",
            i ? ", " : "", i, i, 100000 + i * 37, 1700000000 + i, i % 50 == 0, i % 7 == 0);
        s += buf;
    }
    return s + " ] } }";
}

const std::string &reply(int entries) {
    static const std::string small = listing_reply(500);
    static const std::string large = listing_reply(10000);
    return entries == 500 ? small : large;
}

// `code` 101 decodes into a caller's holder; 120 (the type list, same element shape) allocates its own.
void codec_decode(benchmark::State &state, int code) {
    qv::set_log_enabled(false);
    std::string text = reply(static_cast<int>(state.range(0)));
    if (code != 101) text.replace(text.find("101"), 3, std::to_string(code));
    for (auto _ : state) {
        client_info ci{};
        file_list_info holder{};
        ci.cmd = code;
        ci.file_list = &holder;
        ci.recv_buf = const_cast<char *>(text.c_str());  // read only; the caller owns it
        const int r = file_parse_process(&ci);
        if (r != 0) state.SkipWithError("decode failed");
        file_list_info *got = ci.file_list;
        benchmark::DoNotOptimize(got->list);
        ppc_destory_file_list(got->list);
        if (got != &holder) std::free(got);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_JsonBareParse(benchmark::State &state) {
    const std::string &text = reply(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        json_object *root = json_tokener_parse(text.c_str());
        if (root == nullptr) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root);
        json_object_put(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_CodecDecode(benchmark::State &state) {
    codec_decode(state, 101);
}
void BM_CodecDecodeTypeList(benchmark::State &state) {
    codec_decode(state, 120);
}

}  // namespace

BENCHMARK(BM_JsonBareParse)->Arg(500)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecDecode)->Arg(500)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecDecodeTypeList)->Arg(500)->Arg(10000)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    // Keep freed memory in the process: otherwise glibc hands the large tree back to the kernel after
    // every iteration and both sides mostly measure page faults.
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    mallopt(M_TOP_PAD, 64 * 1024 * 1024);
    mallopt(M_MMAP_THRESHOLD, 512 * 1024 * 1024);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
