// Filter tables, grid placement, row fills and energies of the Gabor stage.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gabor.h"

namespace {

int q(int i, int j, int s, int o) { return ((i * 22 + j) * 7 + s) * 16 + o; }
const int kWidth0 = 21;  // taps per orientation at scale 0

TEST(GaborTables, HorizontalTapsOfScaleZero) {
    const int blk8[11] = {884, 865, 809, 724, 621, 509, 399, 299, 215, 148, 97};
    const int c0[11] = {884, 214, -710, -494, 336, 483, -28, -295, -89, 115, 78};
    const int s0[11] = {0, 838, 388, -530, -522, 161, 398, 53, -195, -93, 58};
    for (int x = 0; x <= 10; ++x) {
        EXPECT_EQ(GaborXcTable[8 * kWidth0 + 10 + x], blk8[x]) << x;
        EXPECT_EQ(GaborXcTable[10 + x], c0[x]) << x;
        EXPECT_EQ(GaborXsTable[10 + x], s0[x]) << x;
    }
    // A = 312.5 at scale 3 rounds away from zero.
    EXPECT_EQ(GaborXcTable[3 * 880 + 16], 313);
}

TEST(GaborTables, MirroredBlocksAndUnusedTail) {
    for (int s = 0; s < kScales; ++s) {
        int h = kGaborHalf[s], w = 2 * h + 1;
        for (int o = 1; o <= 7; ++o)
            for (int x = -h; x <= h; ++x) {
                ASSERT_EQ(GaborXcTable[s * 880 + o * w + h + x], GaborXcTable[s * 880 + (16 - o) * w + h + x]);
                ASSERT_EQ(GaborXsTable[s * 880 + o * w + h + x], -GaborXsTable[s * 880 + (16 - o) * w + h + x]);
            }
        for (int k = 16 * w; k < 880; ++k) ASSERT_EQ(GaborXcTable[s * 880 + k], 0) << s;
        // Xc even, Xs odd within a block.
        for (int x = 1; x <= h; ++x) {
            ASSERT_EQ(GaborXcTable[s * 880 + 3 * w + h + x], GaborXcTable[s * 880 + 3 * w + h - x]);
            ASSERT_EQ(GaborXsTable[s * 880 + 3 * w + h + x], -GaborXsTable[s * 880 + 3 * w + h - x]);
        }
    }
    EXPECT_EQ(GaborXsTable[15 * kWidth0 + 10 + 1], -832);
    EXPECT_EQ(GaborXsTable[1 * kWidth0 + 10 + 1], 832);
}

TEST(GaborTables, VerticalTaps) {
    const int inner[4] = {196, 183, 164, 140};
    const int outer[6] = {115, 90, 68, 49, 33, 22};
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(GaborYcTable[(k - 1) * 9], inner[k - 1]);
    for (int k = 5; k <= 10; ++k) EXPECT_EQ(GaborYc2Table[(k - 5) * 9], outer[k - 5]);
    EXPECT_EQ(GaborYsTable[8], -190);
    // Frequency 0 has no odd part; entries beyond each scale's taps are 0.
    for (int s = 0; s < kScales; ++s) {
        int h = kGaborHalf[s], half = h / 2;
        for (int k = 1; k < half; ++k) EXPECT_EQ(GaborYsTable[s * 112 + (k - 1) * 9], 0);
        for (int e = (half - 1) * 9; e < 112; ++e) ASSERT_EQ(GaborYcTable[s * 112 + e], 0) << s << " " << e;
        for (int e = (h - half + 1) * 9; e < 160; ++e) ASSERT_EQ(GaborYc2Table[s * 160 + e], 0) << s << " " << e;
    }
}

TEST(GaborTables, LevelCorrections) {
    const int inner_cos[9] = {8753, 3339, -37, -204, 0, -172, 0, 3422, 8186};
    const int edge_cos[9] = {30673, 16129, 1099, 209, 0, 470, 0, 4511, 9363};
    const int edge_sin[9] = {-18405, -7828, -83, 467, 0, 306, 0, 517, 0};
    for (int o = 0; o < 9; ++o) {
        EXPECT_EQ(GaborCosTable[q(7, 11, 0, o)], inner_cos[o]) << o;
        EXPECT_EQ(GaborSinTable[q(7, 11, 0, o)], 0) << o;
        EXPECT_EQ(GaborCosTable[q(7, 0, 0, o)], edge_cos[o]) << o;
        EXPECT_EQ(GaborSinTable[q(7, 0, 0, o)], edge_sin[o]) << o;
    }
    // Points whose window lies inside the image share one value per scale and orientation.
    for (int o = 0; o < 16; ++o) {
        EXPECT_EQ(GaborCosTable[q(4, 5, 0, o)], GaborCosTable[q(10, 16, 0, o)]);
        EXPECT_EQ(GaborSinTable[q(4, 5, 0, o)], GaborSinTable[q(10, 16, 0, o)]);
    }
    // At scale 6 the first and last grid rows reach outside the image.
    int differ_top = 0, differ_bottom = 0, differ_scale0 = 0;
    for (int o = 0; o < 16; ++o) {
        differ_top += GaborCosTable[q(0, 11, 6, o)] != GaborCosTable[q(7, 11, 6, o)];
        differ_bottom += GaborSinTable[q(14, 11, 6, o)] != GaborSinTable[q(7, 11, 6, o)];
        differ_scale0 += GaborCosTable[q(0, 11, 0, o)] != GaborCosTable[q(7, 11, 0, o)];
    }
    EXPECT_GT(differ_top, 0);
    EXPECT_GT(differ_bottom, 0);
    EXPECT_EQ(differ_scale0, 0);
}

std::vector<unsigned char> pairs_of(unsigned char upper, unsigned char lower) {
    std::vector<unsigned char> b(140);
    for (int p = 0; p < 70; ++p) {
        b[2 * p] = upper;
        b[2 * p + 1] = lower;
    }
    return b;
}

TEST(SetGaborParam, PlacesTheGridInTheMeanBand) {
    struct {
        unsigned char upper, lower;
        int row0, bottom;
    } cases[] = {{20, 100, 25, 100}, {20, 60, 6, 60}};
    for (auto& c : cases) {
        auto b = pairs_of(c.upper, c.lower);
        int row0, bottom, col0, rs, cs;
        SetGaborParam(b.data(), &row0, &bottom, &col0, &rs, &cs);
        EXPECT_EQ(row0, c.row0);
        EXPECT_EQ(bottom, c.bottom);
        EXPECT_EQ(col0, 6);
        EXPECT_EQ(rs, 5);
        EXPECT_EQ(cs, 6);
    }
    // Pairs 60..69 and pairs without finger ({120, x} or {x, 0}) are not counted.
    auto b = pairs_of(20, 100);
    for (int p = 60; p < 70; ++p) b[2 * p] = 0, b[2 * p + 1] = 119;
    b[0] = 120, b[1] = 50;
    b[2] = 30, b[3] = 0;
    int row0, bottom, col0, rs, cs;
    SetGaborParam(b.data(), &row0, &bottom, &col0, &rs, &cs);
    EXPECT_EQ(row0, 25);
    EXPECT_EQ(bottom, 100);
    auto none = pairs_of(120, 0);
    SetGaborParam(none.data(), &row0, &bottom, &col0, &rs, &cs);
    EXPECT_EQ(row0, -34);
    EXPECT_EQ(bottom, 0);
}

// Image whose row r holds the value r + 1, so that a copied row names its source.
std::vector<unsigned char> row_numbered() {
    std::vector<unsigned char> img(76800, 0);
    for (int r = 0; r < 120; ++r) std::memset(img.data() + r * 140, r + 1, 140);
    return img;
}

TEST(ExtractGaborFeature, RowFillsCopyFingerRows) {
    struct {
        int row0, bottom;
        int dst_from, dst_to, src_from;  // rows dst_from..dst_to take src_from.. ; -1 none
        int bdst_from, bdst_to, bsrc_from;
    } cases[] = {
        {25, 100, 0, 24, 29, 100, 118, 77},
        {40, 80, 0, 26, 44, 80, 106, 49},
    };
    for (auto& c : cases) {
        auto img = row_numbered();
        std::vector<int> resp(kResponses);
        ASSERT_EQ(ExtractGaborFeature(img.data(), resp.data(), c.row0, c.bottom, 6, 5, 6), 0);
        auto row_value = [&](int r) { return img[r * 140 + 70] - 1; };
        for (int r = c.dst_from; r <= c.dst_to; ++r) EXPECT_EQ(row_value(r), c.src_from + r - c.dst_from) << r;
        for (int r = c.dst_to + 1; r < c.bdst_from; ++r) EXPECT_EQ(row_value(r), r) << r;
        for (int r = c.bdst_from; r <= c.bdst_to; ++r) EXPECT_EQ(row_value(r), c.bsrc_from + r - c.bdst_from) << r;
        EXPECT_EQ(row_value(119), 119);
    }
}

TEST(ExtractGaborFeature, RowFillsStayInsideThePicture) {
    // Band values outside the fills' domain must neither crash nor read outside the image.
    const int cases[][2] = {{-34, 0}, {100, 119}, {95, 20}, {0, 31}, {-5, 130}};
    for (auto& c : cases) {
        auto img = row_numbered();
        std::vector<int> resp(kResponses, -1);
        ASSERT_EQ(ExtractGaborFeature(img.data(), resp.data(), c[0], c[1], 6, 5, 6), 0);
        for (int v : resp) ASSERT_GE(v, 0);
    }
}

TEST(ExtractGaborFeature, ConstantGreyLeavesOnlyTheDownwardRounding) {
    std::vector<unsigned char> img(76800, 100);
    std::vector<int> resp(kResponses, -1);
    ASSERT_EQ(ExtractGaborFeature(img.data(), resp.data(), 26, 100, 6, 5, 6), 0);
    for (int k = 0; k < kPointResponses; ++k) {
        int v = resp[q(7, 11, 0, 0) + k];
        EXPECT_EQ(v % 640, 0) << k;
        EXPECT_LE(v, 2560) << k;
    }
    for (int o = 0; o < 16; ++o) EXPECT_EQ(resp[q(7, 11, 0, o)], o == 0 ? 640 : 0) << o;
    EXPECT_EQ(resp[q(7, 11, 4, 8)], 1280);

    std::vector<unsigned char> black(76800, 0);
    ASSERT_EQ(ExtractGaborFeature(black.data(), resp.data(), 26, 100, 6, 5, 6), 0);
    for (int v : resp) ASSERT_EQ(v, 0);
}

TEST(CalcEnergyValue, RemovesTheFlatResponse) {
    // Re 24,128,000 and window sum 44,100 at an interior point: d = 4,732 >> 12 = 1.
    EXPECT_EQ(CalcEnergyValue(44100, 24128000, 0, q(7, 11, 0, 0)), 640.0f);
    // d = 3, e = 4 (correction 0 at orientation 4): 640 * 5.
    EXPECT_EQ(CalcEnergyValue(0, 3 << 12, 4 << 12, q(7, 11, 0, 4)), 3200.0f);
    // Negative differences shift arithmetically: -1 >> 12 = -1.
    EXPECT_EQ(CalcEnergyValue(0, -1, 0, q(7, 11, 0, 4)), 640.0f);
}

// A response computed straight from the kernel definition over the whole window.
long long direct_response(const std::vector<unsigned char>& img, int r, int c, int s, int o, bool imag) {
    int h = kGaborHalf[s], w = 2 * h + 1;
    int m = o <= 8 ? o : 16 - o, sigma = o <= 8 ? 1 : -1;
    auto vc = [&](int y) -> long long {
        if (y == 0) return 200;
        int k = y < 0 ? -y : y;
        return k < h / 2 ? GaborYcTable[s * 112 + (k - 1) * 9 + m] : GaborYc2Table[s * 160 + (k - h / 2) * 9 + m];
    };
    auto vs = [&](int y) -> long long {  // tables hold Vs(-k)
        if (y == 0) return 0;
        int k = y < 0 ? -y : y;
        long long t =
            k < h / 2 ? GaborYsTable[s * 112 + (k - 1) * 9 + m] : GaborYs2Table[s * 160 + (k - h / 2) * 9 + m];
        return y < 0 ? t : -t;
    };
    long long sum = 0;
    for (int y = -h; y <= h; ++y)
        for (int x = -h; x <= h; ++x) {
            int px = c + x, py = r + y;
            if (px < 0 || px >= 140 || py < 0 || py >= 120) continue;
            long long xc = GaborXcTable[s * 880 + m * w + h + x], xs = GaborXsTable[s * 880 + m * w + h + x];
            long long k = imag ? sigma * xs * vc(y) + xc * vs(y) : xc * vc(y) - sigma * xs * vs(y);
            sum += k * img[py * 140 + px];
        }
    return sum;
}

TEST(ExtractGaborFeature, SeparableFilterEqualsTheKernel) {
    std::vector<unsigned char> img(76800);
    unsigned seed = 12345;
    for (auto& p : img) {
        seed = seed * 1103515245u + 12345u;
        p = static_cast<unsigned char>(seed >> 24);
    }
    std::vector<int> resp(kResponses);
    // Grid rows 30..100, no fill changes the rows the windows of row 7 read.
    ASSERT_EQ(ExtractGaborFeature(img.data(), resp.data(), 30, 119, 6, 5, 6), 0);
    const int points[][2] = {{7, 11}, {0, 0}, {14, 21}, {3, 2}};
    for (auto& pt : points)
        for (int s = 0; s < kScales; s += 3)
            for (int o = 0; o < 16; o += 5) {
                int r = 30 + 5 * pt[0], c = 6 + 6 * pt[1];
                long long re = direct_response(img, r, c, s, o, false);
                long long im = direct_response(img, r, c, s, o, true);
                long long box = 0;
                int h = kGaborHalf[s];
                for (int y = r - h; y <= r + h; ++y)
                    for (int x = c - h; x <= c + h; ++x)
                        if (x >= 0 && x < 140 && y >= 0 && y < 120) box += img[y * 140 + x];
                int idx = q(pt[0], pt[1], s, o);
                float e = CalcEnergyValue(static_cast<int>(box), static_cast<int>(re), static_cast<int>(im), idx);
                EXPECT_EQ(resp[idx], static_cast<int>(e)) << pt[0] << "," << pt[1] << " s" << s << " o" << o;
            }
}

}  // namespace

namespace {

// The vertical responses of one row: Cv_m(c) = sum over y of Vc_m(y) p(c, r + y), Sv_m likewise.
TEST(calcWithWeight, VerticalSumsOfOneRow) {
    std::vector<unsigned char> img(76800);
    unsigned seed = 99;
    for (auto& p : img) {
        seed = seed * 1103515245u + 12345u;
        p = static_cast<unsigned char>(seed >> 24);
    }
    std::vector<short> sums(140 * 28), diffs(140 * 27);
    static int re[9][194], im[9][194];
    for (int row : {0, 13, 60, 119}) {
        CalcNeighborSumAndDiff(img.data(), row, sums.data(), diffs.data());
        for (int s : {0, 3, 6}) {
            calcWithWeight(re, im, sums.data(), diffs.data(), s);
            int h = kGaborHalf[s], half = h / 2;
            for (int m : {0, 4, 8})
                for (int c : {0, 7, 70, 139}) {
                    long long cv = 0, sv = 0;
                    for (int y = -h; y <= h; ++y) {
                        int r = row + y;
                        int p = (r >= 0 && r < 120) ? img[r * 140 + c] : 0;
                        int k = y < 0 ? -y : y;
                        int tc = k == 0     ? 200
                                 : k < half ? GaborYcTable[s * 112 + (k - 1) * 9 + m]
                                            : GaborYc2Table[s * 160 + (k - half) * 9 + m];
                        int ts = k == 0     ? 0
                                 : k < half ? GaborYsTable[s * 112 + (k - 1) * 9 + m]
                                            : GaborYs2Table[s * 160 + (k - half) * 9 + m];
                        cv += static_cast<long long>(tc) * p;
                        sv += static_cast<long long>(y < 0 ? ts : -ts) * p;  // tables hold Vs(-k)
                    }
                    EXPECT_EQ(re[m][c + 27], cv) << row << " " << s << " " << m << " " << c;
                    EXPECT_EQ(im[m][c + 27], sv) << row << " " << s << " " << m << " " << c;
                }
            EXPECT_EQ(re[3][0], 0);
            EXPECT_EQ(im[3][193], 0);
        }
    }
}

}  // namespace
