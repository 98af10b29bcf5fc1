// Arbitrary 320 x 240 pictures through the quality check and preprocessing (edges, rotation,
// enhancement, resizing), then the 140 x 120 rotation and border pairs of the feature stage.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_small_image.h"
#include "veinalg_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int init = veinalg_init_handle(nullptr, 0);
    (void)init;
    std::vector<unsigned char> image(kImageBytes), mask(kImageBytes);
    FuzzPicture(data, size, image.data(), kImageWidth, kImageHeight);
    veinalg_image_quality(image.data(), kImageWidth, kImageHeight);
    if (PreprocessImage(image.data(), mask.data()) != 0) return 0;
    const float slope = size > 0 ? (static_cast<int>(data[size - 1]) - 128) / 1000.0f : 0.0f;
    RotateImage140_120(image.data(), mask.data(), slope);
    unsigned char border[140];
    getSmallImageBorder(border, mask.data());
    return 0;
}
