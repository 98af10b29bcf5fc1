// Arbitrary bytes through the recognition library's BMP acceptance alone (header checks, halving of
// 640 x 480, row order), thousands of inputs a second.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "veinalg_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX)) return 0;
    std::vector<unsigned char> copy(data, data + size);
    const _image img{copy.empty() ? nullptr : copy.data(), static_cast<int>(size)};
    static std::vector<unsigned char> out(kImageBytes);
    CutImage(&img, out.data());
    return 0;
}
