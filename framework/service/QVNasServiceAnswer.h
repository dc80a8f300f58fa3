// How a service operation answers until the framework carries it out: with 110001 on the main queue,
// after the call has returned, like every asynchronous answer.
#pragma once

#include <cstdint>

#include "broker/QVNasBlocks.h"

inline constexpr int64_t kQVNasResponseCodeNotAvailable = 110001;

// Posts a response {command, 110001, "operation not available"} to `completion` on the main queue and
// returns the request handle {command, sequence 0}.
QVNasRequestInfoPtr qvNasAnswerNotAvailable(int32_t command, QVNasCompletionBlock completion);
