// Vein enhancement filters on small hand-made fixtures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "veinalg_internal.h"

namespace {
using Bytes = std::vector<unsigned char>;

Bytes Noise(uint32_t seed, int lo = 0, int hi = 255) {
    Bytes b(76800);
    for (auto& v : b) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<unsigned char>(lo + (seed >> 24) % (hi - lo + 1));
    }
    return b;
}

Bytes RowsMask(int first, int last) {
    Bytes m(76800, 0);
    for (int y = first; y <= last; ++y) std::memset(&m[y * 320], 1, 320);
    return m;
}

class Enhance : public ::testing::Test {
protected:
    static void SetUpTestSuite() { veinalg_init_handle(nullptr, 0); }
};
}  // namespace

TEST(Median, TripleIndex) {
    struct Case {
        short v[3];
        int index;
    } cases[] = {{{5, 5, 5}, 0}, {{1, 2, 3}, 7}, {{3, 2, 1}, 0}, {{1, 3, 2}, 6}, {{2, 1, 3}, 3}, {{2, 3, 1}, 4}};
    for (const Case& c : cases) EXPECT_EQ(neighborPoint2TableIndex(c.v), c.index) << c.v[0] << c.v[1] << c.v[2];
}

TEST(Median, EqualsTheExactThreeByThreeMedian) {
    const Bytes src = Noise(11);
    Bytes img = src;
    const Bytes mask = RowsMask(20, 220);
    ASSERT_EQ(MedianFilter(img.data(), mask.data(), 20, 221), 0);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            int expected = src[y * 320 + x];
            if (y >= 20 && y <= 220 && x >= 1 && x <= 318) {
                unsigned char w[9];
                int k = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) w[k++] = src[(y + dy) * 320 + x + dx];
                std::nth_element(w, w + 4, w + 9);
                expected = w[4];
            }
            ASSERT_EQ(img[y * 320 + x], expected) << x << "," << y;
        }
}

TEST(Median, OnlyTheFirstRunAboveBottomIsFiltered) {
    Bytes img(76800, 100);
    img[50 * 320 + 40] = 250;   // single bright pixel inside the run of column 40
    img[150 * 320 + 40] = 250;  // inside the second run: untouched
    img[200 * 320 + 80] = 250;  // column 80's finger starts below bottom: untouched
    Bytes mask(76800, 0);
    for (int y = 30; y <= 100; ++y) mask[y * 320 + 40] = 1;
    for (int y = 140; y <= 160; ++y) mask[y * 320 + 40] = 1;
    for (int y = 190; y <= 210; ++y) mask[y * 320 + 80] = 1;
    ASSERT_EQ(MedianFilter(img.data(), mask.data(), 10, 180), 0);
    EXPECT_EQ(img[50 * 320 + 40], 100);
    EXPECT_EQ(img[150 * 320 + 40], 250);
    EXPECT_EQ(img[200 * 320 + 80], 250);
}

TEST_F(Enhance, CurvatureOfUniformImageIsZeroWithTheWindowMask) {
    Bytes img(76800, 90), cmask(76800, 9);
    const Bytes mask = RowsMask(40, 200);
    ASSERT_EQ(CalcImageCurvature(img.data(), mask.data(), cmask.data(), 40, 200), 0);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            ASSERT_EQ(img[y * 320 + x], 0);
            const bool full = y >= 48 && y <= 192 && x >= 8 && x <= 311;
            ASSERT_EQ(cmask[y * 320 + x], full ? 1 : 0) << x << "," << y;
        }
}

TEST_F(Enhance, CurvatureOfADarkLine) {
    // A one-pixel line of depth d on a flat 150: the vertical pair gives d * 2, the diagonals d, group 2 each
    // 0.8 * 2d: value = 12 * 4d + 4 * 6.4d, limited to 255.
    struct Case {
        int depth;
        int expected;
    } cases[] = {{1, 73}, {2, 147}, {3, 220}, {50, 255}};
    for (const Case& c : cases) {
        Bytes img(76800, 150), cmask(76800);
        for (int x = 0; x < 320; ++x) img[120 * 320 + x] = static_cast<unsigned char>(150 - c.depth);
        const Bytes mask = RowsMask(40, 200);
        ASSERT_EQ(CalcImageCurvature(img.data(), mask.data(), cmask.data(), 40, 200), 0);
        EXPECT_EQ(img[120 * 320 + 160], c.expected) << c.depth;
        EXPECT_EQ(img[119 * 320 + 160], 0) << c.depth;  // beside the line the second difference is negative
        // Eight rows away the vertical pair straddles the line: a + b - 2p = -d, clipped to 0, so nothing.
        EXPECT_EQ(img[112 * 320 + 160], 0) << c.depth;
    }
}

TEST(Smoothing, SinglePixelMaskKeepsItsValue) {
    Bytes img = Noise(5), mask(76800, 0);
    const unsigned char v = img[100 * 320 + 100];
    mask[100 * 320 + 100] = 1;
    ASSERT_EQ(SmoothingByForeground(img.data(), 1, mask.data(), 50, 150), 0);
    for (int i = 0; i < 76800; ++i) ASSERT_EQ(img[i], i == 100 * 320 + 100 ? v : 255) << i;
}

TEST(Smoothing, MeanOfTheUpperLeftBlock) {
    Bytes img(76800, 0);
    img[99 * 320 + 99] = 10;
    img[99 * 320 + 100] = 20;
    img[100 * 320 + 99] = 30;
    img[100 * 320 + 100] = 41;
    const Bytes mask = RowsMask(99, 100);
    ASSERT_EQ(SmoothingByForeground(img.data(), 1, mask.data(), 99, 101), 0);
    EXPECT_EQ(img[100 * 320 + 100], (262144 * 101 + 1024) >> 20);  // 25
    EXPECT_EQ(img[99 * 320 + 100], (524288 * 30 + 1024) >> 20);    // row 98 is outside the mask
    EXPECT_EQ(img[99 * 320 + 0], 255);                             // column 0 is the border
}

TEST(Blend, Table) {
    const int cases[][3] = {{255, 0, 255}, {0, 255, 0}, {100, 0, 224}, {200, 10, 236}, {128, 64, 179}};
    for (const auto& c : cases) {
        Bytes img(76800, static_cast<unsigned char>(c[0])), curv(76800, static_cast<unsigned char>(c[1]));
        MeargeTwoImage(img.data(), curv.data());
        EXPECT_EQ(img[12345], c[2]) << c[0] << "," << c[1];
        EXPECT_EQ(c[2], 255 - ((255 - c[0] + 4 * c[1]) * 8) / 40);
    }
}

TEST(LocalEqualisation, UniformFingerBecomesWhite) {
    Bytes img(76800, 77);
    const Bytes mask = RowsMask(30, 210);
    ASSERT_EQ(HistogramEqualize(img.data(), 15, mask.data(), 30, 210), 0);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            const bool assigned = y >= 30 && y <= 210 && x >= 1 && x <= 318;
            ASSERT_EQ(img[y * 320 + x], assigned ? 255 : 0) << x << "," << y;
        }
}

TEST(LocalEqualisation, RanksWithinTheWindow) {
    // Two levels: left half 50, right half 200. Away from the boundary every window is uniform (255).
    // On the boundary a 50 pixel ranks among the 50s of its window: about the share of 50s.
    Bytes img(76800);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) img[y * 320 + x] = x < 160 ? 50 : 200;
    const Bytes mask = RowsMask(0, 239);
    Bytes src = img;
    ASSERT_EQ(HistogramEqualize(img.data(), 15, mask.data(), 0, 239), 0);
    EXPECT_EQ(img[100 * 320 + 50], 255);
    EXPECT_EQ(img[100 * 320 + 250], 255);
    // Column 158 belongs to centre 158 (window 143..173: 17 columns of 50, 14 of 200), ref 50:
    // lo = n - hi = 17 * 31 = 527 <= 750, so base counts values <= 50 -> R = 527, n = 961.
    EXPECT_EQ(img[100 * 320 + 158], (961 / 2 + 255 * 527) / 961);
    // Column 160 (value 200) in the same window: R = 961 -> 255.
    EXPECT_EQ(img[100 * 320 + 160], 255);
    // Rows outside r + 1 .. 239 - r stay 0.
    EXPECT_EQ(img[10 * 320 + 100], 0);
    EXPECT_EQ(img[230 * 320 + 100], 0);
}

TEST(FinalFilter, UniformFingerAndNoisyPoints) {
    struct Case {
        int value;
        int expected;
    } cases[] = {{100, 210}, {130, 255}, {50, 105}, {0, 0}};
    for (const Case& c : cases) {
        Bytes img(76800, static_cast<unsigned char>(c.value));
        const Bytes mask = RowsMask(60, 180);
        ASSERT_EQ(InvertAndRemoveNoisePoint(img.data(), mask.data(), 50, 190), 0);
        EXPECT_EQ(img[120 * 320 + 160], c.expected) << c.value;
        EXPECT_EQ(img[30 * 320 + 160], 255) << c.value;
    }
    // A patch of alternating 0 and 255 in a calm finger: its neighbourhood varies (var * 0.02 >= 100) and
    // turns white, while a point far from it keeps 2.1 times its mean.
    Bytes img(76800, 100);
    for (int y = 110; y < 130; ++y)
        for (int x = 150; x < 170; ++x) img[y * 320 + x] = ((x + y) % 2) ? 255 : 0;
    const Bytes mask = RowsMask(60, 180);
    ASSERT_EQ(InvertAndRemoveNoisePoint(img.data(), mask.data(), 50, 190), 0);
    EXPECT_EQ(img[120 * 320 + 160], 255);
    EXPECT_EQ(img[120 * 320 + 100], 210);
}
