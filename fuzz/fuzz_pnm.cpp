// Decodes arbitrary bytes as PBM, PGM or PPM, with and without an image pointer.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "img_buffer.h"
#include "img_codec.h"
#include "qv_decode_budget.h"

// A lower pixel limit of its own keeps each input fast; production keeps the full budget.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::set_decode_pixel_limit_for_fuzzing(uint64_t{1} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT_MAX || size < 1) return 0;
    const int len = static_cast<int>(size);
    const int request = static_cast<int>(data[size - 1] % 5) - 3;
    int w = 0, h = 0, layout = 0, dpi = 0;
    ReadPnm(nullptr, &w, &h, &layout, &dpi, request, data, len);
    unsigned char* img = nullptr;
    if (ReadPnm(&img, &w, &h, &layout, &dpi, request, data, len)) {
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h) * (layout == 0 ? 3 : 1);
        volatile unsigned sum = img[0] + img[n - 1];
        (void)sum;
        unsigned char* out = nullptr;
        int outLen = 0;
        WritePnm(img, w, h, layout, 12 + (w + h) % 3, (w & 1), &out, &outLen);
        FreeImgBuff(&out);
    }
    FreeImgData(&img);
    return 0;
}
