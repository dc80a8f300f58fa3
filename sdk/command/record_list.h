// Byte-range records of transfers: the missing ranges of an upload check and a download's resume state.
#pragma once

#include <cstdint>

#include "codec/file_types.h"

// Puts a new zeroed record {index, start, cur 0, end} in front of the list: 0, or -1 without memory
// (the list unchanged).
int add_record_to_list(record_dnode **head, int32_t index, int64_t start, int64_t end);
// Frees every record: 0, or -1 for an empty list. The caller forgets its head afterwards.
int destory_record_list(record_dnode *list);
