// Code bytes, code bits and weight maps of the encoding stage.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "feature.h"

namespace {

TEST(SqrtTable, RoundsToNearest) {
    EXPECT_EQ(SqrtTable[0], 0);
    EXPECT_EQ(SqrtTable[1], 1024);
    EXPECT_EQ(SqrtTable[2], 1448);  // 1448.15
    EXPECT_EQ(SqrtTable[3], 1774);  // 1773.62
    EXPECT_EQ(SqrtTable[1024], 32768);
    for (int i = 1025; i < 1040; ++i) EXPECT_EQ(SqrtTable[i], 0);
}

TEST(calSqrtX, WorkedValues) {
    const long long cases[][2] = {{0, 0}, {1024, 32768}, {1025, 32768}, {4096, 65536}, {160000, 409600}, {-1, -1}};
    for (auto& c : cases) EXPECT_EQ(calSqrtX(c[0]), c[1]) << c[0];
}

// Raw responses of one point from a function of (scale, orientation).
template <class F>
std::vector<int> point_responses(int g, F f) {
    std::vector<int> r(kResponses, 0);
    for (int s = 0; s < kScales; ++s)
        for (int o = 0; o < kOrients; ++o) r[g * kPointResponses + s * kOrients + o] = f(s, o);
    return r;
}

TEST(EncodeGaborFeature, CodeBytes) {
    std::vector<unsigned char> codes(kGridPoints * 8), reduced(kRawPoints * 8);
    // v = 3200 >> 5 = 100 at every odd orientation of scales 0 and 1: every code 5.
    auto r = point_responses(0, [](int s, int o) { return (s < 2 && (o & 1)) ? 3200 : 0; });
    EncodeGaborFeature(codes.data(), reduced.data(), r.data());
    for (int t = 0; t < 8; ++t) EXPECT_EQ(codes[t], 0x55) << t;
    for (int t = 8; t < kGridPoints * 8; ++t) ASSERT_EQ(codes[t], 0) << t;  // all-zero points
    // Only v0 (scale 0, orientation 1): saturated high nibble of byte 0.
    auto r2 = point_responses(5, [](int s, int o) { return (s == 0 && o == 1) ? 9999 : (o & 1) ? 0 : 50000; });
    EncodeGaborFeature(codes.data(), reduced.data(), r2.data());
    EXPECT_EQ(codes[5 * 8], 0xF0);
    for (int t = 1; t < 8; ++t) EXPECT_EQ(codes[5 * 8 + t], 0);
    // Byte t covers orientations (4t + 1, 4t + 3) of scale 0, then (4t - 15, 4t - 13) of scale 1.
    auto r3 = point_responses(0, [](int s, int o) { return (s == 1 && o == 3) ? 3200 : 0; });
    EncodeGaborFeature(codes.data(), reduced.data(), r3.data());
    EXPECT_EQ(codes[4], 0x0F);
}

TEST(EncodeGaborFeature, ReducedGroupsAreTheRawPoints) {
    std::vector<int> r(kResponses);
    for (int k = 0; k < kResponses; ++k) r[k] = (k * 7919) % 100000;
    std::vector<unsigned char> codes(kGridPoints * 8), reduced(kRawPoints * 8, 0xAA);
    EncodeGaborFeature(codes.data(), reduced.data(), r.data());
    for (int p = 0; p < 8; ++p)
        for (int q = 0; q < 18; ++q)
            EXPECT_EQ(0, std::memcmp(&reduced[(p * 18 + q) * 8], &codes[(iRaw[p] * 22 + jRaw[q]) * 8], 8));
}

TEST(EncodeFeatureMsPoint, BitOrderAndComparisons) {
    std::vector<int> n(kResponses, 7);
    unsigned int words[8] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xdead, 0, 0, 0};
    int count = 0;
    unsigned int* cursor = words;
    EncodeFeatureMsPoint(3, &count, &cursor, n.data());
    for (int w = 0; w < 4; ++w) EXPECT_EQ(words[w], 0u) << w;  // all equal: 128 zero bits
    EXPECT_EQ(count, 32);
    EXPECT_EQ(cursor, words + 3);

    std::fill(n.begin(), n.end(), 0);
    n[3 * kPointResponses + 2 * 16 + 1] = 1;  // N(2, 1) = 1
    count = 0;
    cursor = words;
    EncodeFeatureMsPoint(3, &count, &cursor, n.data());
    EXPECT_EQ(words[0], 0x80000000u);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(words[3], 0x80000000u);
    // The next point continues in the following word.
    EncodeFeatureMsPoint(4, &count, &cursor, n.data());
    EXPECT_EQ(words[4], 0u);
    EXPECT_EQ(cursor, words + 7);

    // Orientation 15 compares with 0; scale-pair bits compare sums of orientation pairs.
    std::fill(n.begin(), n.end(), 0);
    n[2 * 16 + 0] = 5;   // bit 15 (N(2,15) < N(2,0)) and bit 96 (pair (2,3), t = 0)
    n[5 * 16 + 15] = 4;  // bit 62 (N(5,14) < N(5,15))
    n[6 * 16 + 14] = 3;  // bit 77 (N(6,13) < N(6,14)); bit 127: pair (5,6), t = 7, 3 < 4
    count = 0;
    cursor = words;
    EncodeFeatureMsPoint(0, &count, &cursor, n.data());
    EXPECT_EQ(words[0], 1u << (31 - 15));
    EXPECT_EQ(words[1], 1u << (31 - 30));
    EXPECT_EQ(words[2], 1u << (31 - 13));
    EXPECT_EQ(words[3], 0x80000001u);
}

TEST(EncodeMsData, NormalisesByTheMeanTable) {
    ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0);
    std::vector<int> raw(kResponses), norm(kResponses);
    for (int k = 0; k < kResponses; ++k) raw[k] = (k * 2654435761u) % 300000;
    std::vector<unsigned int> ms(kGridPoints * 4), red(kMsPoints * 4, 0xFFFFFFFF);
    EXPECT_EQ(EncodeMsData(ms.data(), red.data(), raw.data(), norm.data()), 0);
    for (int k = 0; k < kResponses; k += 97) {
        float prod = static_cast<float>(raw[k]) * dMeanFeatureX[k];
        EXPECT_EQ(norm[k], static_cast<int>(prod)) << k;
    }
    for (int p = 0; p < 7; ++p)
        for (int q = 0; q < 14; ++q)
            EXPECT_EQ(0, std::memcmp(&red[(p * 14 + q) * 4], &ms[(iMS[p] * 22 + jMS[q]) * 4], 16)) << p << "," << q;
}

std::vector<unsigned char> pairs_of(unsigned char upper, unsigned char lower) {
    std::vector<unsigned char> b(140);
    for (int p = 0; p < 70; ++p) b[2 * p] = upper, b[2 * p + 1] = lower;
    return b;
}

TEST(EncodeFeature_wtX, ShareOfTheWindowInsideTheBand) {
    auto b = pairs_of(20, 100);
    std::vector<unsigned char> w15(kGridPoints), w27(kGridPoints);
    EncodeFeature_wtX(w15.data(), b.data(), 15, 25, 6, 5, 6);
    EncodeFeature_wtX(w27.data(), b.data(), 27, 25, 6, 5, 6);
    EXPECT_EQ(w15[2], 139);            // rows 24..40 x 31 columns = 527
    EXPECT_EQ(w15[7 * 22 + 11], 255);  // wholly inside the shrunk band
    EXPECT_EQ(w27[7 * 22 + 11], 255);
    // Columns without finger add nothing; an odd column between a finger pair and an empty one
    // gets the band {70, 50}, which is empty.
    auto holes = b;
    for (int p = 0; p < 11; ++p) holes[2 * p] = 120, holes[2 * p + 1] = 0;  // columns 0..21
    EncodeFeature_wtX(w15.data(), holes.data(), 15, 25, 6, 5, 6);
    EXPECT_EQ(w15[7 * 22 + 0], 0);
    EXPECT_EQ(w15[7 * 22 + 1], 6 * 31 * 255 / 961);  // X = 12: columns 22..27, rows 45..75
}

TEST(EncodeFeature_wtX, LastColumnTakesThePairAlone) {
    auto b = pairs_of(20, 100);
    b[2 * 69] = 60, b[2 * 69 + 1] = 61;  // columns 138 and 139 hold no rows once shrunk
    std::vector<unsigned char> w(kGridPoints);
    EncodeFeature_wtX(w.data(), b.data(), 15, 25, 6, 5, 6);
    // Point (7, 21), X = 132: columns 117..139; column 137 mixes pairs 68 and 69 into {40, 80},
    // which still covers rows 45..75.
    EXPECT_EQ(w[7 * 22 + 21], 21 * 31 * 255 / 961);
}

TEST(Decode_FeatureX, FullAndReducedMaps) {
    FV_FEATURE f;
    std::memset(&f, 0x5A, sizeof f);
    auto b = pairs_of(22, 97);
    for (int p = 0; p < 70; ++p) b[2 * p] = static_cast<unsigned char>(22 + p % 7), b[2 * p + 1] = 97 - p % 5;
    std::memcpy(f.border, b.data(), 140);
    FV_FEATURE untouched = f;
    Decode_FeatureX(&f, 330, 0);
    EXPECT_EQ(0, std::memcmp(&f, &untouched, sizeof f));

    Decode_FeatureX(&f, 330, 1);
    FV_FEATURE r = untouched;
    Decode_FeatureX(&r, 98, 1);
    for (int p = 0; p < 8; ++p)
        for (int q = 0; q < 18; ++q) EXPECT_EQ(r.w15[p * 18 + q], f.w15[iRaw[p] * 22 + jRaw[q]]);
    for (int p = 0; p < 7; ++p)
        for (int q = 0; q < 14; ++q) EXPECT_EQ(r.w27[p * 14 + q], f.w27[iMS[p] * 22 + jMS[q]]);
    for (int k = 144; k < 330; ++k) EXPECT_EQ(r.w15[k], 0x5A);  // beyond the reduced entries
}

}  // namespace
