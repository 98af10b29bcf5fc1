// Prints digests of the library's outputs for a set of generated fingers; built at two optimisation
// levels, whose outputs must be identical.
#include <cstdio>
#include <vector>

#include "finger_gen.h"
#include "veinalg_internal.h"

// The plain build compares every finger; under AddressSanitizer, which is here for memory errors
// and runs the -O0 copy for 15 s, one finger in four (every capture number still).
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFingerStep = 4;
#else
constexpr int kFingerStep = 1;
#endif

int main() {
    if (veinalg_init_handle(nullptr, 0) != 0) return 1;
    uint32_t tables = GenerateCRC32(reinterpret_cast<const unsigned char*>(f1_t4X), sizeof f1_t4X);
    tables ^= GenerateCRC32(reinterpret_cast<const unsigned char*>(f1_t5X), sizeof f1_t5X) * 3u;
    tables ^= GenerateCRC32(reinterpret_cast<const unsigned char*>(f1_t8X), sizeof f1_t8X) * 5u;
    tables ^= GenerateCRC32(reinterpret_cast<const unsigned char*>(dMeanFeatureX), sizeof dMeanFeatureX) * 7u;
    std::printf("tables %08x\n", tables);
    for (int finger = 0; finger < 24; finger += kFingerStep) {
        const int capture = (finger / kFingerStep) % 4;
        std::vector<unsigned char> grey = fingergen::finger_image(finger, capture);
        std::vector<unsigned char> img = grey, mask(76800);
        const int r = PreprocessImage(img.data(), mask.data());
        const uint32_t pre = GenerateCRC32(img.data(), kVeinBytes) ^ (GenerateCRC32(mask.data(), kVeinBytes) * 3u);
        RotateImage140_120(img.data(), mask.data(), 0.03f);
        RotateImage140_120(img.data(), mask.data(), -0.06f);
        const uint32_t rot = GenerateCRC32(img.data(), kVeinBytes) ^ (GenerateCRC32(mask.data(), kVeinBytes) * 3u);

        std::vector<unsigned char> bmp = fingergen::grey_to_bmp(grey.data(), 320, 240);
        _image in{bmp.data(), static_cast<int>(bmp.size())};
        std::vector<unsigned char> feature(FV_FEATURE_SIZE, 0), tmpl(FV_TMPL_SIZE, 0);
        const int fl = veinalg_make_feature(nullptr, &in, 1, feature.data(), FV_FEATURE_SIZE, nullptr);
        _image three[3] = {in, in, in};
        const int tl = veinalg_make_tmpl(nullptr, three, 3, tmpl.data(), nullptr);
        const double sim = veinalg_match(nullptr, tmpl.data(), tl, feature.data(), fl, nullptr);
        std::printf("%2d/%d pre %d %08x rot %08x feature %d %08x tmpl %d %08x match %.17g quality %d\n", finger,
                    capture, r, pre, rot, fl, GenerateCRC32(feature.data(), FV_FEATURE_SIZE), tl,
                    GenerateCRC32(tmpl.data(), FV_TMPL_SIZE), sim, veinalg_image_quality(grey.data(), 320, 240));
    }
    return 0;
}
