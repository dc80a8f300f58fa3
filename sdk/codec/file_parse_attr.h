// The attributes of one path on the device (reply of 105): the stat-like record the caller passes
// zero-filled through `st` of the request record, with its tags and media details.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <type_traits>

// <sys/stat.h> defines st_atime, st_mtime and st_ctime as macros for `st_atim.tv_sec` and so on. The
// record below keeps the plain names and also answers to the macro spelling: each time field shares its
// storage with a one-member record `st_atim` / `st_mtim` / `st_ctim` holding `tv_sec`, so `st->st_atime`
// means the same field whether or not the macro is in effect.
struct file_stat_time {
    int64_t tv_sec;
};
#pragma push_macro("st_atime")
#pragma push_macro("st_mtime")
#pragma push_macro("st_ctime")
#undef st_atime
#undef st_mtime
#undef st_ctime

struct video_media_info {
    int32_t width;
    int32_t height;
    int32_t bitrate;
    char encode_type[8];
    int64_t duration_time;
};

struct audio_media_info {
    int64_t duration_time;
    int32_t bitrate;
    char song_name[128];
    char album_name[128];
    char artist_name[128];
    char encode_type[8];
};

struct image_media_info {
    int32_t width;
    int32_t height;
    int64_t photo_time;
    char vendor_name[32];
    char camera_type[32];
    char aperture_value[32];
    char exposure_time[32];
    char iso_value[16];
    char exposure_bias_val[32];
    char focal_length[32];
    char max_apeture_val[32];
    char meter_mode[32];
    char flashlight_on[64];
    char GPS_version_id[16];
    double GPS_latitude;
    double GPS_longtitude;
};

enum file_media_type : int32_t {
    FILE_MEDIA_VIDEO = 1,
    FILE_MEDIA_AUDIO = 2,
    FILE_MEDIA_IMAGE = 3,
};

struct file_stat {
    int32_t st_dev;
    int64_t st_ino;
    uint16_t st_mode;
    uint16_t st_nlink;
    int32_t st_uid;
    int32_t st_gid;
    int32_t st_rdev;
    int64_t st_size;
    int32_t st_blksize;
    int32_t st_blocks;
    union {
        int64_t st_atime;
        file_stat_time st_atim;
    };
    union {
        int64_t st_mtime;  // "data" of the attribute object
        file_stat_time st_mtim;
    };
    union {
        int64_t st_ctime;
        file_stat_time st_ctim;
    };
    int32_t totalFolderCount;
    int32_t totalFileCount;
    char **tag_dnode;  // null-terminated, owned strings
    int32_t tag_count;
    int32_t mediaType;  // file_media_type, or another value as the device sent it
    image_media_info *image_info;
    audio_media_info *audio_info;
    video_media_info *video_info;
};

static_assert(std::is_standard_layout_v<file_stat>);
#pragma pop_macro("st_ctime")
#pragma pop_macro("st_mtime")
#pragma pop_macro("st_atime")

// Frees what the parser hung on the record (tag strings and array, media records) and clears those
// fields; the record itself stays the caller's.
void file_stat_release(file_stat *st);
