// Decodes arbitrary bytes as JPEG-2000 with ReadJp2.
#include "fuzz_read_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadJp2, data, size); }
