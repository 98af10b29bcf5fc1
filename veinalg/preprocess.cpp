// Preprocessing pipeline: 320 x 240 finger image -> 140 x 120 vein image and finger mask.
#include <cstring>

#include "veinalg_internal.h"

int PreprocessImage(unsigned char* /*image*/, unsigned char* /*mask*/) { return -1; }
