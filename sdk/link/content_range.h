// The reply headers that size a device's file data: "Content-Length" and "Content-Range" ("bytes START-END",
// END exclusive: the data holds END - START bytes), read strictly, for the ranged download and the open
// stream.
#pragma once

#include <cstdint>

// A decimal number that is the whole text (no sign; blanks around it allowed) within 0..INT64_MAX: true with
// *out set.
bool qvhttp_parse_length(const char *text, int64_t *out);

// "bytes START-END" (case-insensitive unit; anything after END, such as "/TOTAL", is ignored); both numbers
// required, START <= END <= INT64_MAX: true with both set.
bool qvhttp_parse_content_range(const char *text, int64_t *start, int64_t *end);

// The byte count of an open stream's data from its "Content-Range": END - START, or 0 when the text is
// unreadable (the stream then runs to the connection's end). Never negative.
int64_t qvhttp_stream_range_length(const char *text);
