// Decodes arbitrary bytes as JPEG with ReadJpeg.
#include "fuzz_read_image.h"
#include "qv_decode_budget.h"

// A megapixel at most, as libjpeg-turbo's own fuzzers: each input stays fast.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::set_decode_pixel_limit_for_fuzzing(uint64_t{1} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzReadImage(ReadJpeg, data, size); }
