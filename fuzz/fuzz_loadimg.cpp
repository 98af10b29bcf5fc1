// Decodes arbitrary bytes through the image library's magic-byte dispatch.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "imagelib.h"
#include "qv_decode_budget.h"

// A megapixel at most for every reader: each input stays fast.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qv::set_decode_pixel_limit_for_fuzzing(uint64_t{1} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT_MAX) return 0;
    const int len = static_cast<int>(size);
    // The first byte picks the layout request; the data stays whole so magic bytes are seen.
    const int request = size ? static_cast<int>(data[0] % 8) - 4 : -1;
    int w = 0, h = 0, layout = 0, dpi = 0;
    LoadImgBuff(nullptr, &w, &h, &layout, &dpi, request, data, len);
    unsigned char* img = nullptr;
    if (LoadImgBuff(&img, &w, &h, &layout, &dpi, request, data, len)) {
        // A decoded image must be fully addressable at its reported geometry.
        const size_t bpp = layout == 0 ? 3 : layout == 6 ? 2 : layout >= 4 ? 4 : 1;
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h) * bpp;
        volatile unsigned sum = 0;
        for (size_t i = 0; i < n; i += 61) sum = sum + img[i];
        if (n) sum = sum + img[n - 1];
        // And it must encode again.
        unsigned char* out = nullptr;
        int outLen = 0;
        SaveImgBuff(img, w, h, layout, dpi, -1, 0, &out, &outLen, 1);
        FreeImgBuff(&out);
    }
    FreeImgData(&img);
    return 0;
}
