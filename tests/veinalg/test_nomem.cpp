// The library's behaviour when one work allocation fails: every step reports it, leaves what it
// promises to leave untouched, and the exported functions neither crash nor leak.
// Every work buffer comes from malloc or calloc, both wrapped at link time (-Wl,--wrap).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "finger_gen.h"
#include "gabor.h"
#include "qvfv_alg_api.h"
#include "veinalg_internal.h"

namespace {

// Counts allocations down while armed; the one that reaches 0 fails.
int g_countdown = -1;

bool FailThisOne() {
    if (g_countdown < 0) return false;
    return g_countdown-- == 0;
}

// Arms the failure of allocation `n` (0-based) from now on.
void FailAllocation(int n) { g_countdown = n; }
// True when the armed failure happened; disarms.
bool Failed() {
    const bool failed = g_countdown < 0;
    g_countdown = -1;
    return failed;
}

}  // namespace

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __wrap_malloc(size_t size) { return FailThisOne() ? nullptr : __real_malloc(size); }
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    return FailThisOne() ? nullptr : __real_calloc(count, size);
}

namespace {

using Bytes = std::vector<unsigned char>;

class NoMemory : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0); }
    void TearDown() override { g_countdown = -1; }
};

Bytes Finger(int id) { return fingergen::finger_image(id, 0); }

Bytes RowsMask(int first, int last) {
    Bytes m(76800, 0);
    for (int y = first; y <= last; ++y) std::memset(&m[y * 320], 1, 320);
    return m;
}

// The enhancement filters report -7 and leave the image as it was, whichever of their
// allocations fails.
TEST_F(NoMemory, EnhancementFiltersLeaveTheImageUnchanged) {
    const Bytes finger = Finger(3);
    const Bytes mask = RowsMask(40, 200);
    Bytes curvature_mask(76800, 0);
    struct Step {
        const char* name;
        int (*run)(unsigned char* image, const unsigned char* mask, unsigned char* cmask);
    } steps[] = {
        {"MedianFilter",
         [](unsigned char* i, const unsigned char* m, unsigned char*) { return MedianFilter(i, m, 40, 200); }},
        {"CalcImageCurvature", [](unsigned char* i, const unsigned char* m,
                                  unsigned char* c) { return CalcImageCurvature(i, m, c, 40, 200); }},
        {"SmoothingByForeground", [](unsigned char* i, const unsigned char* m,
                                     unsigned char*) { return SmoothingByForeground(i, 1, m, 40, 200); }},
        {"HistogramEqualize",
         [](unsigned char* i, const unsigned char* m, unsigned char*) { return HistogramEqualize(i, 15, m, 40, 200); }},
        {"InvertAndRemoveNoisePoint", [](unsigned char* i, const unsigned char* m,
                                         unsigned char*) { return InvertAndRemoveNoisePoint(i, m, 40, 200); }},
    };
    for (const Step& step : steps) {
        for (int n = 0;; ++n) {
            Bytes image = finger;
            FailAllocation(n);
            const int r = step.run(image.data(), mask.data(), curvature_mask.data());
            if (!Failed()) {
                EXPECT_EQ(r, 0) << step.name;
                break;
            }
            EXPECT_EQ(r, -7) << step.name << " allocation " << n;
            EXPECT_TRUE(image == finger) << step.name << " changed the image when allocation " << n << " failed";
        }
    }
}

// The Gabor extraction gives -7 with the image and the responses untouched.
TEST_F(NoMemory, GaborExtractionLeavesImageAndResponses) {
    Bytes image = Finger(5), mask(76800);
    ASSERT_EQ(PreprocessImage(image.data(), mask.data()), 0);
    const Bytes vein = image;
    int tries = 0;
    for (int n = 0;; ++n, ++tries) {
        Bytes img = vein;
        std::vector<int> responses(kResponses, -5);
        FailAllocation(n);
        const int r = ExtractGaborFeature(img.data(), responses.data(), 25, 90, 6, 5, 6);
        if (!Failed()) {
            EXPECT_EQ(r, 0);
            EXPECT_FALSE(img == vein);  // the row fills did run
            break;
        }
        EXPECT_EQ(r, -7) << n;
        EXPECT_TRUE(img == vein) << "allocation " << n;
        for (int v : responses) ASSERT_EQ(v, -5) << "allocation " << n;
    }
    EXPECT_GE(tries, 3);
}

// The pipeline: its own buffers missing give 3012, a step without memory -7; no shortage passes
// unreported (the first smoothing pass included, so a feature is never built from a half-done image).
TEST_F(NoMemory, PreprocessingReportsEveryShortage) {
    const Bytes finger = Finger(7);
    for (int n = 0;; ++n) {
        Bytes image = finger, mask(76800, 0xAB);
        FailAllocation(n);
        const int r = PreprocessImage(image.data(), mask.data());
        if (!Failed()) {
            EXPECT_EQ(r, 0);
            break;
        }
        if (n < 4) {
            EXPECT_EQ(r, 3012) << n;
            EXPECT_TRUE(image == finger) << n;
            EXPECT_TRUE(mask == Bytes(76800, 0xAB)) << n;
        } else {
            EXPECT_EQ(r, -7) << n;
        }
    }
}

// The exported functions under any single shortage: a clear result, `out` untouched on failure,
// nothing leaked (the sanitizer build checks leaks).
TEST_F(NoMemory, ExportedFunctionsFailCleanly) {
    std::vector<Bytes> bmps;
    for (int c = 0; c < 3; ++c) bmps.push_back(fingergen::grey_to_bmp(fingergen::finger_image(9, c).data(), 320, 240));
    _image images[3];
    for (int c = 0; c < 3; ++c) images[c] = {bmps[c].data(), static_cast<int>(bmps[c].size())};

    Bytes feature(FV_FEATURE_SIZE, 0);
    for (int n = 0;; ++n) {
        Bytes out(FV_FEATURE_SIZE, 0x5A);
        FailAllocation(n);
        const int r = veinalg_make_feature(nullptr, &images[0], 1, out.data(), FV_FEATURE_SIZE, nullptr);
        if (!Failed()) {
            ASSERT_EQ(r, FV_FEATURE_SIZE);
            feature = out;
            break;
        }
        EXPECT_TRUE(r == 0 || r == -1) << n << " gave " << r;
        EXPECT_TRUE(out == Bytes(FV_FEATURE_SIZE, 0x5A)) << n;
    }
    Bytes tmpl(FV_TMPL_SIZE, 0);
    for (int n = 0;; ++n) {
        Bytes out(FV_TMPL_SIZE, 0x5A);
        FailAllocation(n);
        const int r = veinalg_make_tmpl(nullptr, images, 3, out.data(), nullptr);
        if (!Failed()) {
            ASSERT_EQ(r, FV_TMPL_SIZE);
            tmpl = out;
            break;
        }
        if (r == FV_TMPL_SIZE) continue;  // a slot without memory is skipped: fewer images
        EXPECT_TRUE(r == 0 || r == -1) << n << " gave " << r;
        EXPECT_TRUE(out == Bytes(FV_TMPL_SIZE, 0x5A)) << n;
    }
    for (int n = 0;; ++n) {
        FailAllocation(n);
        const double s = veinalg_match(nullptr, tmpl.data(), FV_TMPL_SIZE, feature.data(), FV_FEATURE_SIZE, nullptr);
        if (!Failed()) {
            EXPECT_GE(s, 0.7);
            break;
        }
        EXPECT_EQ(s, 0.0) << n;
    }
    const Bytes grey = Finger(9);
    for (int n = 0;; ++n) {
        FailAllocation(n);
        const int r = veinalg_image_quality(grey.data(), 320, 240);
        if (!Failed()) {
            EXPECT_EQ(r, 1);
            break;
        }
        EXPECT_EQ(r, 0) << n;
    }
}

}  // namespace
