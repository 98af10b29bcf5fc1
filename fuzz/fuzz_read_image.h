// Shared body of the file-format decoder fuzz targets: sizes first, then the pixels of images of a
// fuzzable size, which must be addressable at their reported geometry.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>

#include "img_buffer.h"
#include "img_codec.h"

using ImgReader = int (*)(const char* path, unsigned char** img, int* width, int* height, int* layout,
                          int* dpi, int request, const unsigned char* data, int length);

inline int FuzzReadImage(ImgReader read, const uint8_t* data, size_t size) {
    constexpr int64_t kMaxPixels = 1 << 22;  // larger claims are valid input but slow to fill
    if (size > INT_MAX || size < 1) return 0;
    const int len = static_cast<int>(size);
    const int request = static_cast<int>(data[size - 1] % 6) - 3;
    int w = 0, h = 0, layout = 0, dpi = 0;
    if (!read(nullptr, nullptr, &w, &h, &layout, &dpi, request, data, len)) return 0;
    if (static_cast<int64_t>(w) * h > kMaxPixels) return 0;
    unsigned char* img = nullptr;
    if (read(nullptr, &img, &w, &h, &layout, &dpi, request, data, len)) {
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h) * (layout == 0 ? 3 : layout >= 4 ? 4 : 1);
        volatile unsigned sum = img[0] + img[n - 1];
        (void)sum;
    }
    FreeImgData(&img);
    return 0;
}
