// Reply parser of 105, the attributes of one path: stat values, tags and media details into the
// caller's file_stat.
#include "codec/file_parse_attr.h"

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/qv_strlcpy.h"
#include "codec/reply_json.h"

using namespace qv_reply;

namespace {

// The members `keys` of `obj`, all of them, into `out`; false when one is missing.
template <size_t N>
bool all_members(json_object *obj, const char *const (&keys)[N], json_object *(&out)[N]) {
    if (obj == nullptr) return false;
    for (size_t i = 0; i < N; ++i)
        if ((out[i] = member(obj, keys[i])) == nullptr) return false;
    return true;
}

template <size_t N>
void copy_text(char (&dst)[N], json_object *v) {
    qv_strlcpy(dst, json_object_get_string(v));
}

void log_time(const char *label, int64_t t) {
    char buf[64];
    const time_t tt = static_cast<time_t>(t);
    QV_LOG_DEBUG("%s%s", label, ctime_r(&tt, buf) ? buf : "?\n");
}

int read_video(json_object *obj, file_stat *st) {
    static const char *const keys[] = {"width", "height", "bitrate", "encodeType", "durationTime"};
    json_object *v[5];
    if (!all_members(obj, keys, v)) return QV_ERR_ARG;
    auto *m = static_cast<video_media_info *>(std::calloc(1, sizeof(video_media_info)));
    if (m == nullptr) return QV_ERR_ARG;
    m->width = read32(v[0]);
    m->height = read32(v[1]);
    m->bitrate = read32(v[2]);
    copy_text(m->encode_type, v[3]);
    m->duration_time = read64(v[4]);
    std::free(st->video_info);
    st->video_info = m;
    return 0;
}

int read_audio(json_object *obj, file_stat *st) {
    static const char *const keys[] = {"durationTime", "bitrate",    "songName",
                                       "albumName",    "artistName", "encodeType"};
    json_object *v[6];
    if (!all_members(obj, keys, v)) return QV_ERR_ARG;
    auto *m = static_cast<audio_media_info *>(std::calloc(1, sizeof(audio_media_info)));
    if (m == nullptr) return QV_ERR_ARG;
    m->duration_time = read32(v[0]);
    m->bitrate = read32(v[1]);
    copy_text(m->song_name, v[2]);
    copy_text(m->album_name, v[3]);
    copy_text(m->artist_name, v[4]);
    copy_text(m->encode_type, v[5]);
    std::free(st->audio_info);
    st->audio_info = m;
    return 0;
}

int read_image(json_object *obj, file_stat *st) {
    static const char *const keys[] = {"width",           "height",        "photoTime",     "vendorName",
                                       "cameraType",      "apertureValue", "exposureTime",  "isoValue",
                                       "exposureBiasVal", "focalLength",   "maxApetureVal", "meterMode",
                                       "flashlightOn",    "GPSVersionId",  "GPSLatitude",   "GPSLongtitude"};
    json_object *v[16];
    if (!all_members(obj, keys, v)) return QV_ERR_ARG;
    auto *m = static_cast<image_media_info *>(std::calloc(1, sizeof(image_media_info)));
    if (m == nullptr) return QV_ERR_ARG;
    m->width = read32(v[0]);
    m->height = read32(v[1]);
    m->photo_time = read64(v[2]);
    copy_text(m->vendor_name, v[3]);
    copy_text(m->camera_type, v[4]);
    copy_text(m->aperture_value, v[5]);
    copy_text(m->exposure_time, v[6]);
    copy_text(m->iso_value, v[7]);
    copy_text(m->exposure_bias_val, v[8]);
    copy_text(m->focal_length, v[9]);
    copy_text(m->max_apeture_val, v[10]);
    copy_text(m->meter_mode, v[11]);
    copy_text(m->flashlight_on, v[12]);
    copy_text(m->GPS_version_id, v[13]);
    m->GPS_latitude = json_object_get_double(v[14]);
    m->GPS_longtitude = json_object_get_double(v[15]);
    std::free(st->image_info);
    st->image_info = m;
    return 0;
}

void free_tags(char **tags) {
    if (tags == nullptr) return;
    for (char **p = tags; *p; ++p) std::free(*p);
    std::free(tags);
}

}  // namespace

void file_stat_release(file_stat *st) {
    if (st == nullptr) return;
    free_tags(st->tag_dnode);
    st->tag_dnode = nullptr;
    st->tag_count = 0;
    std::free(st->image_info);
    std::free(st->audio_info);
    std::free(st->video_info);
    st->image_info = nullptr;
    st->audio_info = nullptr;
    st->video_info = nullptr;
}

int Parser_FileGetAttr(client_info *info, uint16_t, int, const file_cmd_row *) {
    file_stat *st = info->st;
    json_object *attr = element(member(info->r_json, "data"), 0);
    if (attr == nullptr || st == nullptr) return QV_ERR_ARG;

    if (json_object *v = member(attr, "fileSize")) st->st_size = read64(v);
    if (json_object *v = member(attr, "data")) st->st_mtime = read64(v);
    if (json_object *v = member(attr, "mode")) st->st_mode = static_cast<uint16_t>(read32(v));
    if (json_object *v = member(attr, "nlink")) st->st_nlink = static_cast<uint16_t>(read32(v));
    if (json_object *v = member(attr, "ino")) st->st_ino = read32(v);
    if (json_object *v = member(attr, "dev")) st->st_dev = read32(v);
    if (json_object *v = member(attr, "rdev")) st->st_rdev = read32(v);
    if (json_object *v = member(attr, "uid")) st->st_uid = read32(v);
    if (json_object *v = member(attr, "gid")) st->st_gid = read32(v);
    if (json_object *v = member(attr, "blksize")) st->st_blksize = read32(v);
    if (json_object *v = member(attr, "blocks")) st->st_blocks = read32(v);
    // A zero access or change time stands for "unknown": the modification time takes its place.
    if (json_object *v = member(attr, "atime")) {
        st->st_atime = read64(v);
        if (st->st_atime == 0) st->st_atime = st->st_mtime;
        log_time("st->st_atime", st->st_atime);
    }
    if (json_object *v = member(attr, "ctime")) {
        st->st_ctime = read64(v);
        if (st->st_ctime == 0) st->st_ctime = st->st_mtime;
        log_time("st_ctime=", st->st_ctime);
    }
    if (json_object *v = member(attr, "totalFolderCount")) st->totalFolderCount = read32(v);
    if (json_object *v = member(attr, "totalFileCount")) st->totalFileCount = read32(v);

    if (json_object *tags = member_of(attr, "tagList", json_type_array)) {
        const size_t n = count(tags);
        auto **arr = static_cast<char **>(std::calloc(n + 1, sizeof(char *)));
        if (arr == nullptr) {
            QV_LOG_ERROR("p_client_info->st->tag_dnode != NULL");
            return QV_ERR_ARG;
        }
        // A record reused from an earlier reply gives up its old tags rather than leaking them.
        free_tags(st->tag_dnode);
        st->tag_dnode = arr;
        st->tag_count = 0;
        for (size_t i = 0; i < n; ++i) {
            json_object *name = member(element(tags, i), "tagName");
            if (name == nullptr) {
                QV_LOG_ERROR("para is null");
                return 0;
            }
            const char *s = json_object_get_string(name);
            arr[i] = strdup(s ? s : "");
            if (arr[i] == nullptr) {
                QV_LOG_ERROR("p_client_info->st->tag_dnode[i] != NULL");
                return QV_ERR_ARG;
            }
        }
        st->tag_count = static_cast<int32_t>(n);
    }

    json_object *media = member(attr, "mediaType");
    if (media == nullptr) return 0;
    const int32_t type = read32(media);
    int ret = 0;
    switch (type) {
        case FILE_MEDIA_VIDEO:
            ret = read_video(member_of(attr, "videoMediaInfo", json_type_object), st);
            break;
        case FILE_MEDIA_AUDIO:
            ret = read_audio(member_of(attr, "audioMediaInfo", json_type_object), st);
            break;
        case FILE_MEDIA_IMAGE:
            ret = read_image(member_of(attr, "imageMediaInfo", json_type_object), st);
            break;
        default:
            break;
    }
    if (ret != 0) {
        QV_LOG_ERROR("media details of type %d incomplete", type);
        return QV_ERR_ARG;
    }
    st->mediaType = type;
    return 0;
}
