// Textured WSQ test images from the finger generator: 320 x 240 fingers, and 640 x 480 made of four.
#pragma once
#include <cmath>
#include <vector>

#include "finger_gen.h"

inline std::vector<unsigned char> finger_320(int id) {
    std::vector<unsigned char> img(fingergen::kPixels);
    fingergen::finger_image(id, 0, img.data(), nullptr);
    return img;
}

inline std::vector<unsigned char> finger_640() {
    std::vector<unsigned char> img(640 * 480);
    for (int q = 0; q < 4; q++) {
        std::vector<unsigned char> f = finger_320(3 + q);
        const int ox = (q % 2) * 320, oy = (q / 2) * 240;
        for (int y = 0; y < 240; y++)
            for (int x = 0; x < 320; x++) img[(oy + y) * 640 + ox + x] = f[y * 320 + x];
    }
    return img;
}

inline double psnr(const unsigned char* a, const unsigned char* b, size_t n) {
    double se = 0.0;
    for (size_t i = 0; i < n; i++) {
        const double d = static_cast<double>(a[i]) - b[i];
        se += d * d;
    }
    if (se == 0.0) return INFINITY;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}
