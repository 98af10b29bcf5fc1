// Shared input mapping of the recognition library's stage fuzz targets: arbitrary bytes as a grey
// picture of a stage's fixed size, so that short inputs run fast and still reach every pixel.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// Input of at least w x h bytes is the picture itself; a shorter one is a small picture (width 1 to
// 64 and height 1 to 48 from its first two bytes, the pixels after them, repeated) scaled up by
// nearest neighbour. out holds w x h bytes.
inline void FuzzPicture(const uint8_t* data, size_t size, unsigned char* out, int w, int h) {
    const size_t n = static_cast<size_t>(w) * h;
    if (size >= n) {
        memcpy(out, data, n);
        return;
    }
    if (size < 3) {
        memset(out, size > 0 ? data[0] : 0, n);
        return;
    }
    const int sw = data[0] % 64 + 1, sh = data[1] % 48 + 1;
    const uint8_t* px = data + 2;
    const size_t count = size - 2;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y * sh / h) * sw + static_cast<size_t>(x * sw / w);
            out[static_cast<size_t>(y) * w + x] = px[i % count];
        }
}
