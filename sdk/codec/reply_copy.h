// Decoded copies of the cacheable listings' replies (101, 120, 123, 124, 151, 158, 161, 323): what a good
// parse of one such reply left in a client_info, held apart from any request, and put back into another
// request of the same command exactly as a new parse of the same reply text would. Putting a copy back
// costs a walk over the records instead of a JSON parse. A copy never changes once taken, so any number
// of threads may apply it at once.
#pragma once

#include <cstddef>
#include <memory>

#include "codec/client_info.h"

class qv_reply_copy;

// A copy of the results of the good parse of `info`'s reply; null for a command without a copy form,
// for results the copy cannot reproduce (101 without its page holder) or without memory.
std::shared_ptr<const qv_reply_copy> qv_reply_copy_take(const client_info *info);
// The bytes the copy holds, records and texts together.
size_t qv_reply_copy_bytes(const qv_reply_copy &copy);
// The command the copy was taken from.
int32_t qv_reply_copy_cmd(const qv_reply_copy &copy);
// Fills `info` as a parse of the same reply would: 0, or -1 with `info` unchanged when `info` is not a
// request of the copy's command as its call prepares it (an empty holder, the same file type) or
// memory runs out.
int qv_reply_copy_apply(const qv_reply_copy &copy, client_info *info);
