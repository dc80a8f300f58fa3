// Percent-encoding shared by the signed file addresses, the download task ids and the service-login
// signature: ASCII letters, digits and "*", "-", ".", "/", "_" stay; every other byte becomes "%" and two
// upper-case hex digits.
#pragma once

#include <string>
#include <string_view>

// Whether a byte is copied as it is.
bool url_char_kept(unsigned char c);

// No length limit.
std::string qv_url_escape(std::string_view text);

// Encodes in_len bytes into out (room out_cap, NUL included). Returns the characters written, or 0 when an
// argument is missing or not positive, or when the whole input did not fit (out then holds the NUL-terminated
// part that did): a truncated encoding is never reported as a success.
int curl_url_encode(const char *in, int in_len, char *out, int out_cap);

// Decodes "%XX" (either case) into bytes; a "%" without two following characters is dropped, one followed by
// two characters that are not both hex digits is dropped with them. Writes at most out_cap - 1 bytes and a
// NUL. Returns the bytes written; 0 for missing or non-positive arguments.
int curl_url_decode(const char *in, int in_len, char *out, int out_cap);
