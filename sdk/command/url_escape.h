// Percent-escaping of paths for signed file addresses and download task ids: the link layer's encoder.
#pragma once

#include "link/url_encode.h"
