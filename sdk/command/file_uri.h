// Signed addresses by which media players stream a device file from the device's web server: the path
// and query part "/<bucket>/<escaped path>?KID=<token>&ssig=<signature>". No exchange with the device.
#pragma once

#include <cstdint>

// New text (free() it), or null with "para is null" for a null path or a zero token. One leading "/" of
// the path is skipped; the path is percent-escaped; the signature is 10 characters of the Base64 text of
// the hex HMAC-SHA1 of "GET\n/<bucket>/<escaped path>" under the token's decimal text. Paths of any
// length are signed whole.
char *qvFGetUriByToken(const char *path, int32_t bucket_id, int64_t token);
