// Byte-range records of transfers: the missing ranges of an upload check and a download's resume state.
// A list belongs to one transfer and is used by one thread at a time; records are found by `end`.
//
// Resume file: back-to-back 40-byte record images, host byte order, no header:
//   0 index (int32) | 4 padding (zero) | 8 start | 16 cur | 24 end | 32 link word (ignored when read)
// A trailing partial record is ignored by readers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/file_types.h"

inline constexpr size_t QV_RECORD_IMAGE_SIZE = 40;

// Puts a new zeroed record {index, start, cur 0, end} in front of the list: 0, or QV_ERR_FAILED without
// memory (the list unchanged).
int add_record_to_list(record_dnode **head, int32_t index, int64_t start, int64_t end);
// Unlinks and frees the first record whose `end` equals the key: QV_ERR_ARG for an empty list, else 0 (also
// when nothing matched).
int del_record_from_list_for_index(record_dnode **head, int64_t end);
// Sets `cur` of the first record whose `end` equals the key: QV_ERR_ARG for an empty list, else 0 (also when
// nothing matched).
int update_record_for_index(record_dnode **head, int64_t end, int64_t cur);
// Frees every record: 0, or QV_ERR_ARG for an empty list. The caller forgets its head afterwards.
int destory_record_list(record_dnode *list);
// One debug line per record.
void display_record_dnode(const record_dnode *head);

// The 40-byte image of one record (padding and link word zero), and back (padding and link word ignored;
// the record's link is left alone).
void record_to_image(const record_dnode *rec, unsigned char image[QV_RECORD_IMAGE_SIZE]);
void record_from_image(const unsigned char image[QV_RECORD_IMAGE_SIZE], record_dnode *rec);

// Replaces the file with the list's images (an empty list gives an empty file). The new content is written
// to a temporary file beside it, synced and renamed over the path, so a reader sees the old file or the
// new one, never a mix. 0, or QV_ERR_FAILED ("open file error[errno = %d]") when it cannot be written.
int write_list_to_file(const char *path, const record_dnode *head);
// Rewrites the stream from offset 0 with the list's images, flushes, cuts the file to exactly that length
// and syncs it, so a shorter list leaves no stale records behind. An empty list writes nothing and leaves
// the stream as it is: 0. QV_ERR_ARG for a missing stream, QV_ERR_FAILED for a failed write, flush or cut.
int write_list_to_stream(FILE *stream, const record_dnode *head);
// Reads the file's whole records onto the front of the list (so the list runs in the reverse of the
// file's order): the count read, or QV_ERR_FAILED when the file cannot be opened (list unchanged).
int read_list_from_file(const char *path, record_dnode **head);

// Opens a resume file for checkpoints without emptying it (created with mode 0644 when missing), so the
// state saved by an earlier attempt survives until the first new checkpoint replaces it. Null on failure.
FILE *open_resume_stream(const char *path);
