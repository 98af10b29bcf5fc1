// Feature records of one finger image at its three rotations.
#include <cstring>

#include "feature.h"

int GetImageGaborFeature(_byteImage* image, FV_FEATURE* feature, FV_FEATURE* reduced, const unsigned char* mask,
                         int* normalised) {
    HeapArray<int> raw = qv::heap_alloc<int>(kResponses);
    if (!raw) return -7;
    getSmallImageBorder(feature->border, mask);
    std::memcpy(reduced->border, feature->border, kBorderBytes);
    int row0, mean_bottom, col0, row_step, col_step;
    SetGaborParam(feature->border, &row0, &mean_bottom, &col0, &row_step, &col_step);
    std::memset(raw.get(), 0, sizeof(int) * kResponses);
    if (ExtractGaborFeature(image->data, raw.get(), row0, mean_bottom, col0, row_step, col_step) != 0) return -7;
    EncodeGaborFeature(&feature->codes[0][0], &reduced->codes[0][0], raw.get());
    EncodeMsData(&feature->ms[0][0], &reduced->ms[0][0], raw.get(), normalised);
    return 0;
}

int GetFeature(_byteImage* image, FV_FEATURE* features) {
    HeapArray<unsigned char> mask = qv::heap_alloc<unsigned char>(kImageBytes);
    HeapArray<int> normalised = qv::heap_alloc<int>(kResponses);
    HeapArray<FV_FEATURE> scratch = qv::heap_alloc<FV_FEATURE>(1);
    if (!mask || !normalised || !scratch) return -7;
    if (PreprocessImage(image->data, mask.get()) != 0) return 3002;
    const float slopes[3] = {0.0f, 0.03f, -0.06f};
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && RotateImage140_120(image->data, mask.get(), slopes[k]) != 0) return -7;
        if (GetImageGaborFeature(image, &features[k], scratch.get(), mask.get(), normalised.get()) != 0) return -7;
    }
    return 0;
}

int GetMatchFeature(unsigned char* image, int height, int width, FV_FEATURE* features) {
    if (!image) return -3;
    _byteImage img{width, height, image};
    int rc = GetFeature(&img, features);
    if (rc != 0) return rc;
    for (int k = 0; k < 3; ++k) Decode_FeatureX(&features[k], kGridPoints, 1);
    return 0;
}
