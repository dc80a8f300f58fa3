// Defaults every layer shares: the device's command port and the wait of a request whose time-out is 0.
#pragma once

#include <cstdint>

#include "qv_config.h"

// The device port of every command and of the pooled connections (configured at build time).
inline constexpr int32_t QV_DEVICE_CMD_PORT = QV_DEVICE_PORT;

// The wait, in milliseconds, of a request whose time-out is 0.
inline constexpr int32_t QV_DEFAULT_TIMEOUT_MS = 20000;
