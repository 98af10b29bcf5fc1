// Decodes arbitrary bytes as JPEG-2000 with ReadJp2.
#include "fuzz_read_image.h"
#include "qv_decode_budget.h"

// A megapixel keeps every input fast; the budget's own edges are the regression tests' business.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::set_decode_pixel_limit_for_fuzzing(uint64_t{1} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadJp2, data, size); }
