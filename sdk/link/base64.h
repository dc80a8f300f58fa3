// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>

// New NUL-terminated text (free() it); *out_len counts the characters plus the terminator. Null and 0 when
// allocation fails. An empty input gives an empty text with *out_len 1.
char *base64_encode(size_t *out_len, size_t in_len, const void *in);

// Decodes the text up to its first zero byte, at most max_len characters, into a new buffer (free() it) with
// a zero byte after the *out_len decoded bytes. Null and 0 for a length that is not a multiple of 4, set bits
// under the padding, a character outside the alphabet (an inner "=", a space, a line break) or no memory.
unsigned char *base64_decode(size_t *out_len, size_t max_len, const char *in);

// The alphabet character of a 6-bit value.
char base64_char(unsigned value);
// The 6-bit value of a character, or 192 when it is not in the alphabet.
unsigned base64_value(char c);
