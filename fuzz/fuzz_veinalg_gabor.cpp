// Arbitrary 140 x 120 vein images and finger masks through the Gabor feature stage: border pairs,
// grid, responses, both code encodings and the weight maps.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "feature.h"
#include "fuzz_small_image.h"
#include "veinalg_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int init = veinalg_init_handle(nullptr, 0);
    (void)init;
    // the first half of the input paints the picture, the second the mask (odd bytes: finger)
    std::vector<unsigned char> image(kImageBytes), mask(kImageBytes);
    const size_t half = size / 2;
    FuzzPicture(data, half, image.data(), kVeinWidth, kVeinHeight);
    FuzzPicture(data + half, size - half, mask.data(), kVeinWidth, kVeinHeight);
    for (int i = 0; i < kVeinBytes; ++i) mask[i] &= 1;
    _byteImage img{kVeinWidth, kVeinHeight, image.data()};
    std::unique_ptr<FV_FEATURE> feature(new FV_FEATURE()), reduced(new FV_FEATURE());
    std::vector<int> normalised(kGaborResponses);
    if (GetImageGaborFeature(&img, feature.get(), reduced.get(), mask.data(), normalised.data()) != 0) return 0;
    Decode_FeatureX(feature.get(), FV_GRID_POINTS, 1);
    return 0;
}
