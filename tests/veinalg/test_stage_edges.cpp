// Finger edges: brightness table, over-exposure cleaning, edge finding and slope.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "veinalg_internal.h"

namespace {
using Bytes = std::vector<unsigned char>;

// A bright band between dark surroundings; rows top_row(x)..bottom_row(x) are bright.
template <class F, class G>
Bytes Band(F top_row, G bottom_row, int inside = 200, int outside = 20) {
    Bytes b(76800, static_cast<unsigned char>(outside));
    for (int x = 0; x < 320; ++x)
        for (int y = top_row(x); y <= bottom_row(x); ++y) b[y * 320 + x] = static_cast<unsigned char>(inside);
    return b;
}
}  // namespace

TEST(BoundaryTable, ListedEntries) {
    const int cases[][2] = {{0, 0}, {10, 0}, {11, 10}, {12, 14}, {20, 31}, {59, 69}, {60, 70}, {91, 89}, {255, 156}};
    for (const auto& c : cases) EXPECT_EQ(BoundaryTable[c[0]], c[1]) << c[0];
    const int one_less[] = {59, 84, 91, 131, 140, 179, 182, 187, 198, 206, 209, 212, 235};
    for (int i = 11; i < 256; ++i) {
        int expected = static_cast<int>(std::floor(10 * std::sqrt(static_cast<double>(i - 10))));
        for (int k : one_less)
            if (k == i) --expected;
        EXPECT_EQ(BoundaryTable[i], expected) << i;
    }
}

TEST(FingerEdges, UniformImagesHaveNoEdges) {
    for (int v : {0, 128, 255}) {
        Bytes img(76800, static_cast<unsigned char>(v)), copy(76800, 1);
        short top[320], bottom[320];
        for (int x = 0; x < 320; ++x) top[x] = bottom[x] = 77;
        EXPECT_EQ(FindVeinBoundary(img.data(), top, bottom), -1) << v;
        for (int x = 0; x < 320; ++x) ASSERT_TRUE(top[x] == 77 && bottom[x] == 77);
        RemoveOverWhiteArea(img.data(), copy.data());
        EXPECT_EQ(copy, img);
    }
}

TEST(FingerEdges, LevelBandIsFoundOverTheInnerColumns) {
    Bytes img = Band([](int) { return 60; }, [](int) { return 180; });
    short top[320], bottom[320];
    ASSERT_EQ(FindVeinBoundary(img.data(), top, bottom), 0);
    for (int x = 0; x < 320; ++x) {
        if (x < 10 || x >= 310) {
            EXPECT_EQ(top[x], 0) << x;
            EXPECT_EQ(bottom[x], 0) << x;
        } else {
            EXPECT_NEAR(top[x], 60, 2) << x;
            EXPECT_NEAR(bottom[x], 180, 2) << x;
            EXPECT_EQ(top[x], top[160]);
            EXPECT_EQ(bottom[x], bottom[160]);
        }
    }
    float slope = 1.0f;
    int uf = -1, lf = -1;
    EXPECT_EQ(CalcSlopeAngle(&slope, top, bottom, &uf, &lf), 0);
    EXPECT_EQ(uf, 0);
    EXPECT_EQ(lf, 0);
    EXPECT_EQ(slope, 0.0f);
}

TEST(FingerEdges, TiltedBandGivesItsSlope) {
    // One row every 20 columns: slope 0.05, both edges vary, so the slope is not halved.
    Bytes img = Band([](int x) { return 52 + x / 20; }, [](int x) { return 172 + x / 20; });
    short top[320], bottom[320];
    ASSERT_EQ(FindVeinBoundary(img.data(), top, bottom), 0);
    for (int x = 10; x < 310; ++x) {
        EXPECT_NEAR(top[x], 52 + x / 20, 3) << x;
        EXPECT_NEAR(bottom[x], 172 + x / 20, 3) << x;
    }
    float slope = 0.0f;
    int uf = 0, lf = 0;
    CalcSlopeAngle(&slope, top, bottom, &uf, &lf);
    EXPECT_EQ(uf, 1);
    EXPECT_EQ(lf, 1);
    EXPECT_NEAR(slope, 0.05f, 0.005f);
}

TEST(FingerEdges, SlopeFromOneVaryingEdgeIsHalved) {
    short top[320] = {}, bottom[320] = {};
    for (int x = 10; x < 310; ++x) {
        top[x] = static_cast<short>(40 + x / 5);  // slope 0.2
        bottom[x] = 190;
    }
    float slope = 0.0f;
    int uf = 0, lf = 0;
    CalcSlopeAngle(&slope, top, bottom, &uf, &lf);
    EXPECT_EQ(uf, 1);
    EXPECT_EQ(lf, 0);
    EXPECT_NEAR(slope, 0.1f, 0.002f);
    // No edges at all: nothing varies, slope 0.
    short none[320] = {};
    slope = 5.0f;
    EXPECT_EQ(CalcSlopeAngle(&slope, none, none, &uf, &lf), 0);
    EXPECT_EQ(slope, 0.0f);
    EXPECT_EQ(uf + lf, 0);
}

TEST(OverWhite, SecondStageFlagsStripsBetweenRecords) {
    struct Case {
        const char* name;
        std::vector<BLOCK_INFO> records;
        int first_strip, last_strip;
    } cases[] = {
        {"pair", {{3, 1, 1}, {6, -1, 1}}, 3, 6},
        {"repeated rise dropped", {{3, 1, 1}, {4, 1, 1}, {6, -1, 1}}, 3, 6},
        {"repeated fall keeps the later", {{3, 1, 1}, {5, -1, 1}, {6, -1, 1}}, 3, 6},
        {"open to the right", {{29, 1, 1}}, 29, 31},
        {"open to the left", {{2, -1, 1}}, 0, 2},
    };
    for (const Case& c : cases) {
        // Pixels of 250 everywhere except one 249 per strip and row.
        Bytes img(76800, 250);
        for (int y = 0; y < 240; ++y)
            for (int s = 0; s < 32; ++s) img[y * 320 + 10 * s + 5] = 249;
        BLOCK_INFO recs[32] = {};
        for (size_t k = 0; k < c.records.size(); ++k) recs[k] = c.records[k];
        RemoveOverWhiteArea(0, 119, static_cast<int>(c.records.size()), recs, img.data());
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                const int s = x / 10;
                const bool flagged = y < 119 && s >= c.first_strip && s <= c.last_strip;
                const int expected = (x % 10 == 5) ? 249 : (flagged ? 0 : 250);
                ASSERT_EQ(img[y * 320 + x], expected) << c.name << " at " << x << "," << y;
            }
    }
    Bytes img(76800, 255), before = img;
    BLOCK_INFO none[32] = {};
    RemoveOverWhiteArea(0, 119, 0, none, img.data());
    EXPECT_EQ(img, before);
}

TEST(OverWhite, SaturatedSpotOnAFingerEdgeIsBlackened) {
    // A level finger (rows 70..170) with an over-exposed blob in strips 12..14 that rises softly from row 36
    // and saturates down to the finger's edge: in those strips the strongest change is the blob's top, the
    // next peak the true edge, which is where the neighbouring strips have their edge.
    Bytes img = Band([](int) { return 70; }, [](int) { return 170; }, 150, 20);
    const int ramp[] = {30, 60, 120, 200, 240};
    for (int x = 120; x < 150; ++x) {
        for (int k = 0; k < 5; ++k) img[(37 + k) * 320 + x] = static_cast<unsigned char>(ramp[k]);
        for (int y = 42; y < 70; ++y) img[y * 320 + x] = 255;
    }
    Bytes out(76800);
    RemoveOverWhiteArea(img.data(), out.data());
    int cleared = 0;
    for (int i = 0; i < 76800; ++i) {
        if (out[i] != img[i]) {
            ASSERT_EQ(img[i], 255);
            ASSERT_EQ(out[i], 0);
            ++cleared;
        }
    }
    EXPECT_EQ(cleared, 28 * 30);  // every saturated pixel of the blob
    // Nothing below the upper half is touched.
    for (int i = 119 * 320; i < 76800; ++i) ASSERT_EQ(out[i], img[i]);
}
