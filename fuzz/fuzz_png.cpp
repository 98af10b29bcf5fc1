// Decodes arbitrary bytes as PNG with ReadPng.
#include "fuzz_read_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadPng, data, size); }
