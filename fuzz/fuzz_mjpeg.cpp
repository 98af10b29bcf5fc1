// Fuzz target: the bounded MJPEG decoder on arbitrary frames, into a 64 x 64 YUYV buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "jpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr int kWidth = 64, kHeight = 64;
    std::vector<unsigned char> out(static_cast<size_t>(kWidth) * 2 * kHeight);
    jpeg_decode_bounded(out.data(), kWidth * 2, data, size, kWidth, kHeight);
    return 0;
}
