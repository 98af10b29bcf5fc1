// Stand-ins for the feature and enrolment stages until they are built: preprocessing runs for
// real and the records stay zero.
#include <cstring>

#include "veinalg_internal.h"

#define QV_R10(x) x, x, x, x, x, x, x, x, x, x
#define QV_R100(x) QV_R10(QV_R10(x))
#define QV_R1000(x) QV_R10(QV_R100(x))
#define QV_R10000(x) QV_R10(QV_R1000(x))
// 36,960 = 3 x 10,000 + 6 x 1,000 + 9 x 100 + 6 x 10, all entries one level.
const int32_t MeanGaborFeatureTable[kGaborResponses] = {
    QV_R10000(50000), QV_R10000(50000), QV_R10000(50000), QV_R1000(50000), QV_R1000(50000), QV_R1000(50000),
    QV_R1000(50000),  QV_R1000(50000),  QV_R1000(50000),  QV_R100(50000),  QV_R100(50000),  QV_R100(50000),
    QV_R100(50000),   QV_R100(50000),   QV_R100(50000),   QV_R100(50000),  QV_R100(50000),  QV_R100(50000),
    QV_R10(50000),    QV_R10(50000),    QV_R10(50000),    QV_R10(50000),   QV_R10(50000),   QV_R10(50000)};

int GetMatchFeature(unsigned char* image, int /*height*/, int /*width*/, FV_FEATURE* features) {
    if (image == nullptr) return -3;
    HeapArray<unsigned char> mask = AllocArray<unsigned char>(kImageBytes);
    if (!mask) return -7;
    if (PreprocessImage(image, mask.get()) != 0) return 3002;
    std::memset(features, 0, 3 * sizeof(FV_FEATURE));
    return 0;
}

int GetEnrollTmpl(unsigned char* image1, unsigned char* image2, unsigned char* image3, FV_TMPL* tmpl) {
    if (image1 == nullptr || (image3 != nullptr && image2 == nullptr)) return -3;
    HeapArray<unsigned char> mask = AllocArray<unsigned char>(kImageBytes);
    if (!mask) return 3012;
    unsigned char* images[3] = {image1, image2, image3};
    for (unsigned char* image : images) {
        if (image == nullptr) continue;
        const int r = PreprocessImage(image, mask.get());
        if (r != 0) return r;
    }
    std::memset(tmpl, 0, sizeof *tmpl);
    return 0;
}

