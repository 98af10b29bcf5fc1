// Decodes arbitrary bytes as JPEG with ReadJpeg.
#include "fuzz_read_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadJpeg, data, size); }
