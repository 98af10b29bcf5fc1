// Public interface of the image file library: pixel buffers, codecs and their dispatch,
// streams, Base64, checksums, the ZPF container and whole-file functions.
#pragma once

#include "img_base64.h"
#include "img_buffer.h"
#include "img_checksum.h"
#include "img_codec.h"
#include "img_dispatch.h"
#include "img_stream.h"
