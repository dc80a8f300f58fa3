// Reply parsers of the listings by file type: type lists (120, 158), a type under one folder (124),
// albums of a type (123), backed-up uuids (155) and the totals of a type (121). The table's parsers are
// declared in file_process.h; this header adds the client-side album grouping, which no table row uses,
// and the helpers it is built from.
#pragma once

#include <cstdint>

#include "codec/file_list.h"
#include "codec/file_process.h"

struct json_object;

// Groups a flat "filelist" into albums, one per (parent_id, bucketId), on the client side. Same
// contract as the table's parsers: the holder goes into `file_list`; 0 or QV_ERR_ARG.
int parser_FileGetAlbumList(client_info *info, uint16_t code, int index, const file_cmd_row *row);

// Element `index` of `array` into a file node of type `type` (prepended): 0, or QV_ERR_ARG when the element
// or one of "size", "data", "isFolder", "name" is missing.
int traverse_file_type_path_json(json_object *array, file_dnode **list, int index, int32_t type);

// Element `index` of `array` handed to _add_album_to_list: 0, or QV_ERR_ARG when the element is missing.
int traverse_album_json(json_object *array, file_dnode **list, int index);

// Counts one file into the album of (parent_id, bucketId), opening a new album at the head when there
// is none: 0, or QV_ERR_ARG when `path` is null or no node can be allocated.
int _add_album_to_list(file_dnode **list, int32_t parent_id, int64_t date, const char *path, int32_t isStore,
                       int32_t bucketId);

// Adds a preview item for `path` to the album (at most 4 items; the caller checks): 0, or QV_ERR_ARG when
// `path` is null.
int update_album_list(file_dnode *album, const char *path);
