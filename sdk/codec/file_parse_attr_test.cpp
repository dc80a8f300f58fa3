#include "codec/file_parse_attr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/file_process.h"

namespace {

// Applies a 105 reply with `attr` as the attribute object into a fresh record.
struct Attr {
    file_stat st{};
    client_info ci{};
    int result;
    explicit Attr(const std::string &attr, int error = 0, const char *data = nullptr) {
        ci.cmd = 105;
        ci.st = &st;
        std::string text = R"({"header":{"cmd":105,"error":)" + std::to_string(error) + R"(},"data":)" +
                           (data ? std::string(data) : "[" + attr + "]") + "}";
        ci.recv_buf = strdup(text.c_str());
        result = file_parse_process(&ci);
    }
    ~Attr() {
        std::free(ci.recv_buf);
        file_stat_release(&st);
    }
};

}  // namespace

TEST(FileAttr, StatValues) {
    Attr a(R"({"fileSize":6000000000,"data":1000,"mode":70000,"nlink":2,"ino":12,"dev":3,"rdev":4,"uid":5,
               "gid":6,"blksize":4096,"blocks":8,"atime":0,"ctime":77,"totalFolderCount":2,"totalFileCount":9})");
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.st.st_size, 6000000000LL);
    EXPECT_EQ(a.st.st_mtime, 1000);
    EXPECT_EQ(a.st.st_mode, 70000 & 0xffff);
    EXPECT_EQ(a.st.st_nlink, 2);
    EXPECT_EQ(a.st.st_ino, 12);
    EXPECT_EQ(a.st.st_dev, 3);
    EXPECT_EQ(a.st.st_rdev, 4);
    EXPECT_EQ(a.st.st_uid, 5);
    EXPECT_EQ(a.st.st_gid, 6);
    EXPECT_EQ(a.st.st_blksize, 4096);
    EXPECT_EQ(a.st.st_blocks, 8);
    EXPECT_EQ(a.st.st_atime, 1000);  // 0 takes the modification time
    EXPECT_EQ(a.st.st_ctime, 77);
    EXPECT_EQ(a.st.totalFolderCount, 2);
    EXPECT_EQ(a.st.totalFileCount, 9);
    EXPECT_EQ(a.st.mediaType, 0);

    Attr only(R"({"fileSize":1,"data":2,"ino":3})");
    EXPECT_EQ(only.result, 0);
    EXPECT_EQ(only.st.st_atime, 0);
    EXPECT_EQ(only.st.st_ctime, 0);
    EXPECT_EQ(only.st.st_ino, 3);
}

TEST(FileAttr, Tags) {
    Attr a(R"({"tagList":[{"tagName":"red"},{"tagName":"green"},{"tagName":"blue"}]})");
    ASSERT_EQ(a.result, 0);
    ASSERT_EQ(a.st.tag_count, 3);
    EXPECT_STREQ(a.st.tag_dnode[0], "red");
    EXPECT_STREQ(a.st.tag_dnode[2], "blue");
    EXPECT_EQ(a.st.tag_dnode[3], nullptr);

    // A tag without a name ends the parse: earlier tags kept, count 0, no media read.
    Attr b(R"({"tagList":[{"tagName":"red"},{"x":1},{"tagName":"blue"}],"mediaType":4})");
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.st.tag_count, 0);
    EXPECT_STREQ(b.st.tag_dnode[0], "red");
    EXPECT_EQ(b.st.tag_dnode[1], nullptr);
    EXPECT_EQ(b.st.mediaType, 0);
}

TEST(FileAttr, Media) {
    const std::string image =
        R"("width":4000,"height":3000,"photoTime":1700000000000,"vendorName":"ACME","cameraType":"X1",
           "apertureValue":"f/2","exposureTime":"1/100","exposureBiasVal":"0","focalLength":"4mm",
           "maxApetureVal":"1.8","meterMode":"spot","flashlightOn":"no","GPSVersionId":"2.2.0.0",
           "GPSLatitude":22.5,"GPSLongtitude":"113.25")";
    struct Case {
        std::string attr;
        int result;
        int32_t media;
        int which;  // 0 none, 1 video, 2 audio, 3 image
    } cases[] = {
        {R"({"mediaType":4})", 0, 4, 0},
        {R"({"mediaType":3,"imageMediaInfo":{)" + image + R"(,"isoValue":"100"}})", 0, 3, 3},
        {R"({"mediaType":3,"imageMediaInfo":{)" + image + "}}", -1, 0, 0},
        {R"({"mediaType":2,"audioMediaInfo":{"durationTime":180,"bitrate":320,"songName":"s","albumName":"a",
            "artistName":"r","encodeType":"mp3"}})",
         0, 2, 2},
        {R"({"mediaType":2,"audioMediaInfo":{"durationTime":180}})", -1, 0, 0},
        {R"({"mediaType":1,"videoMediaInfo":{"width":1920,"height":1080,"bitrate":8,"encodeType":"h264-long-name",
            "durationTime":7000000000}})",
         0, 1, 1},
        {R"({"mediaType":1})", -1, 0, 0},
    };
    for (const auto &c : cases) {
        Attr a(c.attr);
        EXPECT_EQ(a.result, c.result) << c.attr;
        EXPECT_EQ(a.st.mediaType, c.media) << c.attr;
        EXPECT_EQ(a.st.video_info != nullptr, c.which == 1) << c.attr;
        EXPECT_EQ(a.st.audio_info != nullptr, c.which == 2) << c.attr;
        EXPECT_EQ(a.st.image_info != nullptr, c.which == 3) << c.attr;
        if (a.st.image_info) {
            EXPECT_EQ(a.st.image_info->photo_time, 1700000000000LL);
            EXPECT_STREQ(a.st.image_info->iso_value, "100");
            EXPECT_DOUBLE_EQ(a.st.image_info->GPS_longtitude, 113.25);
        }
        if (a.st.video_info) {
            EXPECT_STREQ(a.st.video_info->encode_type, "h264-lo");  // cut, still terminated
            EXPECT_EQ(a.st.video_info->duration_time, 7000000000LL);
        }
        if (a.st.audio_info) {
            EXPECT_STREQ(a.st.audio_info->artist_name, "r");
        }
    }
}

TEST(FileAttr, MissingDataAndHeaderError) {
    for (const char *data : {"[]", "{}", "[null]", "3"}) {
        Attr a("", 0, data);
        EXPECT_EQ(a.result, -1) << data;
        EXPECT_EQ(a.st.st_size, 0);
    }
    Attr e(R"({"fileSize":5})", 123);
    EXPECT_EQ(e.result, 123);
    EXPECT_EQ(e.st.st_size, 5);
}
