// Decodes arbitrary bytes as TIFF with ReadTiff.
#include "fuzz_read_image.h"
#include "qv_decode_budget.h"

// A lower pixel limit of its own keeps each input fast; production keeps the full budget.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::set_decode_pixel_limit_for_fuzzing(uint64_t{1} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadTiff, data, size); }
