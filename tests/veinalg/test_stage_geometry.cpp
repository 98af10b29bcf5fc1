// Geometric steps of preprocessing: unrolling table, rotations, extents, height normalisation, unrolling,
// halving and border pairs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "veinalg_internal.h"

namespace {
using Bytes = std::vector<unsigned char>;

Bytes Noise(uint32_t seed) {
    Bytes b(76800);
    for (auto& v : b) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<unsigned char>(seed >> 24);
    }
    return b;
}

// Mask with rows top(x)..bottom(x) set in columns x0..x1.
template <class F, class G>
Bytes MaskOf(int x0, int x1, F top, G bottom) {
    Bytes m(76800, 0);
    for (int x = x0; x <= x1; ++x)
        for (int y = top(x); y <= bottom(x); ++y) m[y * 320 + x] = 1;
    return m;
}
}  // namespace

TEST(StretchTable, ListedEntriesAndShape) {
    const int listed[][2] = {{0, 0},       {16, 64},     {112, 447},   {128, 511},   {512, 1991},
                             {640, 2446},  {1008, 3536}, {1024, 3574}, {1184, 3884}, {1200, 3908},
                             {1264, 3991}, {1271, 3999}, {1, 4},       {2, 8},       {100, 400}};
    for (const auto& e : listed) EXPECT_EQ(StretchCalcTable[e[0]], e[1]) << e[0];
    for (int i = 1; i <= 107; ++i) EXPECT_EQ(StretchCalcTable[i] - StretchCalcTable[i - 1], 4) << i;
    for (int i = 1; i <= 1271; ++i) {
        const int step = StretchCalcTable[i] - StretchCalcTable[i - 1];
        EXPECT_GE(step, 1) << i;
        EXPECT_LE(step, 4) << i;
    }
    for (int i = 1272; i < 1280; ++i) EXPECT_EQ(StretchCalcTable[i], 0) << i;
    // Within one of the floored straight line between the listed neighbours (every sixteenth and the last).
    for (int i = 0; i <= 1271; ++i) {
        const int a = i / 16 * 16;
        const int b = a + 16 > 1271 ? 1271 : a + 16;
        if (a == i) continue;
        const int line = StretchCalcTable[a] + (StretchCalcTable[b] - StretchCalcTable[a]) * (i - a) / (b - a);
        EXPECT_LE(std::abs(StretchCalcTable[i] - line), 1) << i;
    }
}

TEST(Rotate320, LevelCentredFingerIsUnchangedButTheLastRowAndColumn) {
    const Bytes src = Noise(3);
    const Bytes m1 = MaskOf(
        0, 319, [](int) { return 60; }, [](int) { return 180; });
    const Bytes m2 = MaskOf(
        0, 319, [](int) { return 62; }, [](int) { return 178; });
    Bytes img = src, a = m1, b = m2;
    short top[320], bottom[320];
    for (int x = 0; x < 320; ++x) {
        top[x] = 60;
        bottom[x] = 179;  // (60 + 179 + 1) / 2 = 120
    }
    ASSERT_EQ(RotateImage320_240(img.data(), a.data(), b.data(), 0.0f, top, bottom), 0);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            const int i = y * 320 + x;
            const bool edge = y == 239 || x == 319;
            ASSERT_EQ(img[i], edge ? 0 : src[i]) << x << "," << y;
            ASSERT_EQ(a[i], edge ? 0 : m1[i]);
            ASSERT_EQ(b[i], edge ? 0 : m2[i]);
        }
}

TEST(Rotate320, RecentresTheMiddleAtColumn160) {
    const Bytes src = Noise(4);
    Bytes img = src, a(76800, 0), b(76800, 0);
    short top[320], bottom[320];
    for (int x = 0; x < 320; ++x) {
        top[x] = 80;
        bottom[x] = 179;  // middle 130: moved up by 10 rows
    }
    ASSERT_EQ(RotateImage320_240(img.data(), a.data(), b.data(), 0.0f, top, bottom), 0);
    for (int y = 0; y < 229; ++y) ASSERT_EQ(img[y * 320 + 100], src[(y + 10) * 320 + 100]) << y;
    for (int y = 229; y < 240; ++y) ASSERT_EQ(img[y * 320 + 100], 0) << y;
}

TEST(Rotate320, LevelsATiltedFinger) {
    for (float slope : {0.05f, -0.08f}) {
        auto top_row = [slope](int x) { return static_cast<int>(70 + slope * (x - 160)); };
        auto bottom_row = [slope](int x) { return static_cast<int>(170 + slope * (x - 160)); };
        Bytes img(76800, 20);
        const Bytes m = MaskOf(0, 319, top_row, bottom_row);
        for (int i = 0; i < 76800; ++i)
            if (m[i]) img[i] = 200;
        Bytes a = m, b = m;
        short top[320], bottom[320];
        for (int x = 0; x < 320; ++x) {
            top[x] = static_cast<short>(top_row(x));
            bottom[x] = static_cast<short>(bottom_row(x));
        }
        ASSERT_EQ(RotateImage320_240(img.data(), a.data(), b.data(), slope, top, bottom), 0);
        short t2[320], b2[320], lo, hi;
        FindTopAndBottomBorder(t2, b2, a.data(), &lo, &hi);
        for (int x = 30; x < 290; ++x) {
            EXPECT_NEAR(t2[x], 70, 1) << slope << " column " << x;
            EXPECT_NEAR(b2[x], 170, 1) << slope << " column " << x;
        }
        for (int i = 0; i < 76800; ++i) ASSERT_LE(a[i], 1);
    }
}

TEST(Extents, FirstAndLastRowsPerColumn) {
    Bytes m(76800, 0);
    for (int y = 0; y <= 50; ++y) m[y * 320 + 3] = 1;  // row 0 is never taken as an edge
    for (int y = 40; y <= 239; ++y) m[y * 320 + 7] = 1;
    m[0 * 320 + 9] = 1;  // only row 0: no edge
    m[100 * 320 + 11] = 1;
    short top[320], bottom[320], t, b;
    FindTopAndBottomBorder(top, bottom, m.data(), &t, &b);
    const int cases[][3] = {{3, 1, 50}, {7, 40, 239}, {9, 0, 0}, {11, 100, 100}, {0, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(top[c[0]], c[1]) << c[0];
        EXPECT_EQ(bottom[c[0]], c[2]) << c[0];
    }
    EXPECT_EQ(t, 1);
    EXPECT_EQ(b, 239);
    Bytes empty(76800, 0);
    FindTopAndBottomBorder(top, bottom, empty.data(), &t, &b);
    EXPECT_EQ(t, 239);
    EXPECT_EQ(b, 0);
}

TEST(HeightNormalisation, HeightOf120KeepsTheImage) {
    const Bytes src = Noise(8);
    const Bytes m = MaskOf(
        0, 319, [](int) { return 60; }, [](int) { return 180; });
    short top[320], bottom[320], t, b;
    FindTopAndBottomBorder(top, bottom, m.data(), &t, &b);
    Bytes img = src, mask = m;
    ASSERT_EQ(NormalizeVeinHeight(img.data(), mask.data(), top, bottom), 0);
    for (int y = 0; y <= 238; ++y)
        for (int x = 0; x < 320; ++x) {
            ASSERT_EQ(img[y * 320 + x], src[y * 320 + x]) << x << "," << y;
            // The mask is the product of the two source rows: the finger's last row drops out.
            ASSERT_EQ(mask[y * 320 + x], m[y * 320 + x] * m[(y + 1) * 320 + x]) << x << "," << y;
        }
    for (int x = 0; x < 320; ++x) EXPECT_EQ(img[239 * 320 + x], src[239 * 320 + x]);
}

TEST(HeightNormalisation, HeightMovesAThirdOfTheWayTo120) {
    struct Case {
        int top, bottom;
        int expected_height;  // 35 % of the way towards 120
    } cases[] = {{40, 200, 143}, {80, 160, 91}, {20, 220, 163}};
    for (const Case& c : cases) {
        Bytes img(76800, 100);
        Bytes mask = MaskOf(
            0, 319, [&](int) { return c.top; }, [&](int) { return c.bottom; });
        short top[320], bottom[320], t, b;
        FindTopAndBottomBorder(top, bottom, mask.data(), &t, &b);
        ASSERT_EQ(NormalizeVeinHeight(img.data(), mask.data(), top, bottom), 0);
        FindTopAndBottomBorder(top, bottom, mask.data(), &t, &b);
        EXPECT_NEAR(bottom[160] - top[160], c.expected_height, 2) << c.top << ".." << c.bottom;
        EXPECT_NEAR((bottom[160] + top[160]) / 2, 120, 1);
        for (int i = 0; i < 76800; ++i) ASSERT_LE(mask[i], 1);
    }
}

TEST(Unrolling, ColumnIsStretchedAboutItsMiddle) {
    // Grey value = row number, so the output tells which source row each output row took.
    Bytes img(76800);
    for (int y = 0; y < 240; ++y) std::memset(&img[y * 320], y, 320);
    short top[320], bottom[320];
    for (int x = 0; x < 320; ++x) {
        top[x] = 60;
        bottom[x] = 180;
    }
    struct Case {
        int upper_flag, lower_flag, up_reach, down_reach;
    } cases[] = {{0, 0, 69, 69}, {1, 0, 67, 69}, {0, 1, 69, 67}};
    for (const Case& c : cases) {
        Bytes out = img, mask(76800, 0);
        ASSERT_EQ(StretchAndRemoveHole(out.data(), c.upper_flag, c.lower_flag, top, bottom, mask.data()), 0);
        for (int x : {0, 4, 315, 319})
            for (int y = 0; y < 240; ++y) ASSERT_EQ(out[y * 320 + x], 255);
        const int x = 200;
        EXPECT_EQ(out[120 * 320 + x], 120);
        for (int y = 0; y < 240; ++y) {
            const bool inside = y >= 120 - (c.up_reach - 1) && y <= 120 + (c.down_reach - 1);
            ASSERT_EQ(mask[y * 320 + x], inside ? 1 : 0) << y;
            if (!inside) {
                ASSERT_EQ(out[y * 320 + x], 255) << y;
            }
        }
        // Near the middle rows are copied one to one; towards the edges they are stretched, so the
        // source row lags behind the output row but never passes the finger's edge.
        for (int k = 1; k < 20; ++k) EXPECT_EQ(out[(120 + k) * 320 + x], 120 + k) << k;
        for (int k = 1; k < c.down_reach; ++k) ASSERT_GE(out[(120 + k) * 320 + x], out[(119 + k) * 320 + x]);
        EXPECT_LE(out[(120 + c.down_reach - 1) * 320 + x], 180);
        EXPECT_GE(out[(120 + c.down_reach - 1) * 320 + x], 175);
        EXPECT_GE(out[(121 - c.up_reach) * 320 + x], 60);
    }
}

TEST(Halving, MeansOfTwoByTwoBlocks) {
    const Bytes src = Noise(12);
    Bytes img = src, mask(76800, 1);
    mask[50 * 320 + 60] = 0;  // one hole: the output pixel (25, 30) leaves the mask
    ASSERT_EQ(ResizeVeinImage(img.data(), mask.data()), 0);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x) {
            const int i = y * 160 + x;
            if (y < 1 || y > 118 || x < 5 || x > 149) {
                ASSERT_EQ(img[i], 255) << x << "," << y;
                ASSERT_EQ(mask[i], 0);
                continue;
            }
            const int a = 2 * y * 320 + 2 * x;
            ASSERT_EQ(img[i], (src[a] + src[a + 1] + src[a + 320] + src[a + 321] + 2) >> 2);
            ASSERT_EQ(mask[i], (y == 25 && x == 30) ? 0 : 1);
        }
}

TEST(Rotate140, SlopeZeroChangesNothingAndTheCentreStays) {
    const Bytes src = Noise(21);
    Bytes img = src, mask(76800, 1);
    ASSERT_EQ(RotateImage140_120(img.data(), mask.data(), 0.0f), 0);
    EXPECT_EQ(img, src);
    for (float slope : {0.03f, -0.06f}) {
        Bytes im = src, mk(76800, 1);
        ASSERT_EQ(RotateImage140_120(im.data(), mk.data(), slope), 0);
        EXPECT_EQ(im[60 * 140 + 70], src[60 * 140 + 70]) << slope;
        for (int i = 0; i < kVeinBytes; ++i) ASSERT_LE(mk[i], 1);
        EXPECT_EQ(0, std::memcmp(im.data() + kVeinBytes, src.data() + kVeinBytes, 76800 - kVeinBytes));
    }
}

TEST(Rotate140, TurnsAHorizontalLineToTheSlope) {
    Bytes img(76800, 0), mask(76800, 0);
    for (int x = 0; x < 140; ++x) img[60 * 140 + x] = 255;
    ASSERT_EQ(RotateImage140_120(img.data(), mask.data(), 0.1f), 0);
    // Output row y at column x reads source row 60 + (x - 70) * sin + (y - 60) * cos: the line appears
    // where that is 60, i.e. y = 60 - (x - 70) * 0.1.
    for (int x : {20, 50, 90, 120}) {
        int best = 0;
        for (int y = 1; y < 120; ++y)
            if (img[y * 140 + x] > img[best * 140 + x]) best = y;
        EXPECT_NEAR(best, 60 - (x - 70) * 0.1, 1.0) << x;
    }
}

TEST(BorderPairs, MeanRowsPerColumnPair) {
    Bytes mask(76800, 0);
    unsigned char border[140];
    getSmallImageBorder(border, mask.data());
    for (int p = 0; p < 70; ++p) {
        EXPECT_EQ(border[2 * p], 120);
        EXPECT_EQ(border[2 * p + 1], 0);
    }
    for (int x = 0; x < 140; ++x)
        for (int y = 30 + x % 2; y <= 90 + x % 2; ++y) mask[y * 140 + x] = 1;
    for (int y = 0; y < 120; ++y) mask[y * 140 + 10] = mask[y * 140 + 11] = 0;  // pair 5 empty
    for (int y = 0; y < 120; ++y) mask[y * 140 + 13] = 0;                       // pair 6: one column
    getSmallImageBorder(border, mask.data());
    EXPECT_EQ(border[0], 30);  // (30 + 31) / 2
    EXPECT_EQ(border[1], 90);  // (90 + 91) / 2
    EXPECT_EQ(border[10], 120);
    EXPECT_EQ(border[11], 0);
    EXPECT_EQ(border[12], 30);
    EXPECT_EQ(border[13], 90);
}
