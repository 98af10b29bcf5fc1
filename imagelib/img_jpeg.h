// EXIF orientation of JPEG data; the JPEG codec entries themselves are in img_codec.h.
#pragma once
#include <cstdio>

#include "qv_export.h"

// Orientation 1 to 8 from the first directory of the APP1 "Exif" segment of the file (read
// from its start, when given) or of the data; 0 when there is none or it is malformed.
QV_EXPORT int GetJpegExifOrientation(FILE* file, const unsigned char* data, int dataLength);
