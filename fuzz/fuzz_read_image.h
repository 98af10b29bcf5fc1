// Shared body of the file-format decoder fuzz targets: sizes first, then the pixels, which must be
// addressable at their reported geometry. Every size the reader accepts is decoded: a claim the data
// cannot fill must be refused by the reader, not skipped here.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>

#include "img_buffer.h"
#include "img_codec.h"

using ImgReader = int (*)(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                          int request, const unsigned char* data, int length);

inline int FuzzReadImage(ImgReader read, const uint8_t* data, size_t size) {
    if (size > INT_MAX || size < 1) return 0;
    const int len = static_cast<int>(size);
    const int request = static_cast<int>(data[size - 1] % 6) - 3;
    int w = 0, h = 0, layout = 0, dpi = 0;
    if (!read(nullptr, nullptr, &w, &h, &layout, &dpi, request, data, len)) return 0;
    unsigned char* img = nullptr;
    if (read(nullptr, &img, &w, &h, &layout, &dpi, request, data, len)) {
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h) * (layout == 0 ? 3 : layout >= 4 ? 4 : 1);
        volatile unsigned sum = img[0] + img[n - 1];
        (void)sum;
    }
    FreeImgData(&img);
    return 0;
}
