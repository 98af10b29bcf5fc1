// Public interface of the image file library: pixel buffers, codecs, Base64 and checksums.
#pragma once

#include "img_base64.h"
#include "img_buffer.h"
