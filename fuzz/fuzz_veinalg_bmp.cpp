// Arbitrary bytes as the BMP images of the recognition library's feature and template calls,
// and as a raw frame of the quality check.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qvfv_alg_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int init = veinalg_init_handle(nullptr, 0);
    (void)init;
    std::vector<unsigned char> copy(data, data + size);
    _image img{copy.empty() ? nullptr : copy.data(), static_cast<int>(size)};
    std::vector<unsigned char> feature(FV_FEATURE_SIZE), tmpl(FV_TMPL_SIZE);
    veinalg_make_feature(nullptr, &img, 1, feature.data(), FV_FEATURE_SIZE, nullptr);
    _image two[2] = {img, img};
    veinalg_make_tmpl(nullptr, two, 2, tmpl.data(), nullptr);
    if (size >= 320 * 240) veinalg_image_quality(copy.data(), 320, 240);
    return 0;
}
