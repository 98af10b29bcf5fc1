// Decodes arbitrary bytes as TIFF with ReadTiff.
#include "fuzz_read_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadTiff, data, size); }
