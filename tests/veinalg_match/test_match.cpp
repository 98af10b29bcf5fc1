// Score map, bit table and the template-to-feature search.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "feature.h"
#include "match.h"
#include "synthetic_codes.h"

namespace {

TEST(MapScoreX, PiecewiseLinear) {
    struct {
        int score;
        double similarity;
    } cases[] = {{0, 0.0},      {500, 0.0},    {501, 0.0109}, {554, 0.5886}, {555, 0.5968}, {556, 0.5996},
                 {557, 0.6024}, {592, 0.7004}, {699, 1.0},    {700, 1.0},    {999, 1.0},    {-5, 0.0}};
    for (auto& c : cases) {
        double s = -1;
        MapScoreX(c.score, s);
        EXPECT_NEAR(s, c.similarity, 1e-12) << c.score;
    }
    double s = -1;
    MapScoreX(700, s);
    EXPECT_EQ(s, 1.0);
    MapScoreX(500, s);
    EXPECT_EQ(s, 0.0);
}

TEST(MapScoreX, DriverThresholdsTruncated) {
    // The driver compares similarity * 100 truncated: 70 from score 592, 60 from score 557.
    const int cases[][2] = {{591, 69}, {592, 70}, {556, 59}, {557, 60}};
    for (auto& c : cases) {
        double s = 0;
        MapScoreX(c[0], s);
        EXPECT_EQ(static_cast<int>(s * 100), c[1]) << c[0];
    }
}

TEST(GaborFeatureTable, ElevenMinusBitCount) {
    EXPECT_EQ(GaborFeatureTable[0], 11);
    EXPECT_EQ(GaborFeatureTable[2047], 0);
    EXPECT_EQ(GaborFeatureTable[0x555], 5);
    EXPECT_EQ(GaborFeatureTable[1024], 10);
}

void put32(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

// A full grid of codes, words and weights.
struct Grid {
    unsigned char codes[330][8];
    uint32_t ms[330][4];
    unsigned char w15[330], w27[330];
};

// Codes the same down each column (see random_codes).
Grid random_grid(unsigned seed) {
    Grid g;
    random_codes(seed, g.codes, g.ms, true);
    for (int p = 0; p < 330; ++p) {
        g.w15[p] = 255;
        g.w27[p] = 255;
    }
    return g;
}

std::vector<unsigned char> item_of(const Grid& g) {
    std::vector<unsigned char> it(kItemBytes, 0);
    for (int p = 0; p < 330; ++p) {
        std::memcpy(&it[kItemCodes + 8 * p], g.codes[p], 8);
        for (int w = 0; w < 4; ++w) put32(&it[kItemMs + 16 * p + 4 * w], g.ms[p][w]);
        it[kItemW15 + p] = g.w15[p];
        it[kItemW27 + p] = g.w27[p];
    }
    return it;
}

// Template taken from grid points displaced by (dr, dc).
std::vector<unsigned char> tmpl_of(const Grid& g, int dr = 0, int dc = 0) {
    std::vector<unsigned char> t(kTmplBytes, 0);
    for (int p = 0; p < 8; ++p)
        for (int q = 0; q < 18; ++q) {
            int gi = iRaw[p] + dr, gj = jRaw[q] + dc, tp = p * 18 + q;
            if (gi < 0 || gi >= 15 || gj < 0 || gj >= 22) continue;  // weight 0: not counted
            int gp = gi * 22 + gj;
            std::memcpy(&t[kTmplCodes + 8 * tp], g.codes[gp], 8);
            t[kTmplW15 + tp] = g.w15[gp];
        }
    for (int p = 0; p < 7; ++p)
        for (int q = 0; q < 14; ++q) {
            int gi = iMS[p] + dr, gj = jMS[q] + dc, tp = p * 14 + q;
            if (gi < 0 || gi >= 15 || gj < 0 || gj >= 22) continue;
            int gp = gi * 22 + gj;
            for (int w = 0; w < 4; ++w) put32(&t[kTmplMs + 16 * tp + 4 * w], g.ms[gp][w]);
            t[kTmplW27 + tp] = g.w27[gp];
        }
    return t;
}

std::vector<unsigned char> three(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                                 const std::vector<unsigned char>& c) {
    std::vector<unsigned char> f(a);
    f.insert(f.end(), b.begin(), b.end());
    f.insert(f.end(), c.begin(), c.end());
    return f;
}

TEST(MatchFeatureX, OwnPointsMatch) {
    Grid g = random_grid(1);
    auto item = item_of(g);
    auto t = tmpl_of(g);
    auto f = three(item, item, item);
    int score = -1;
    MatchFeatureX(t.data(), f.data(), &score);
    // Every bit agrees (ms 1,031) and the code bytes agree: (raw * 30 + ms * 70) / 100.
    EXPECT_GT(score, 900);
    EXPECT_LT(score, 999);
    double s = 0;
    MapScoreX(score, s);
    EXPECT_EQ(s, 1.0);
}

TEST(MatchFeatureX, UnrelatedCodesScoreLow) {
    Grid a = random_grid(2), b = random_grid(3);
    auto f = three(item_of(b), item_of(b), item_of(b));
    auto t = tmpl_of(a);
    int score = -1;
    MatchFeatureX(t.data(), f.data(), &score);
    EXPECT_GT(score, 400);  // half the bits agree by chance: ms about 531
    EXPECT_LT(score, 592);
}

TEST(MatchA, FindsAColumnShiftOnTheCoarseLattice) {
    // Feature point (i, j + 3) holds the template's point (i, j).
    Grid g = random_grid(4);
    auto item = item_of(g);
    auto t = tmpl_of(g, 0, 3);
    signed char row = 20, col = 0;
    unsigned int score = 0;
    int detail = 0;
    MatchA(t.data(), item.data(), &score, &row, &col, &detail);
    EXPECT_EQ(col, 3);
    // Pass 1 restarts its best and only tries two rows up and down, so the search of a first
    // item never ends on the coarse row; with codes alike down the columns it ends one row off.
    EXPECT_TRUE(row == 1 || row == -1) << static_cast<int>(row);
    EXPECT_GT(score, 900u);
    EXPECT_EQ(detail / 1000, 1031);
    // A later item refines from the state it is given (passes 3 and 4 only).
    row = -5;
    col = 1;
    MatchA(t.data(), item.data(), &score, &row, &col, &detail);
    EXPECT_EQ(row, -4);  // nearer rows weigh the code bits more
    EXPECT_GE(col, 0);
    EXPECT_LE(col, 2);
}

TEST(Match_rotX, KeepsTheBestItemAndSharesTheShift) {
    Grid g = random_grid(5), other = random_grid(6);
    auto good = item_of(g), bad = item_of(other);
    auto t = tmpl_of(g);
    auto run = [&](const std::vector<unsigned char>& f, signed char* row) {
        int score = 0, detail = 0;
        signed char col = 0;
        *row = 20;
        Match_rotX(t.data(), f.data(), &score, row, &col, &detail, 0);
        return score;
    };
    signed char row = 0;
    int first = run(three(good, bad, bad), &row);
    EXPECT_GT(first, 900);
    // Items 1 and 2 continue from item 0's state: one row further towards the true shift.
    int all = run(three(good, good, good), &row);
    EXPECT_EQ(row, 0);
    EXPECT_GT(all, first);
    EXPECT_LT(run(three(bad, bad, bad), &row), 592);
}

TEST(MatchA, LowRadius27WeightsLeaveOnlyTheCodeBytes) {
    Grid g = random_grid(7);
    for (int p = 0; p < 330; ++p) g.w27[p] = 15;  // (15 * 15) >> 8 = 0
    auto item = item_of(g);
    auto t = tmpl_of(g);
    signed char row = 20, col = 0;
    unsigned int score = 0;
    int detail = -1;
    MatchA(t.data(), item.data(), &score, &row, &col, &detail);
    EXPECT_EQ(detail / 1000, 0);  // ms is 0
    EXPECT_GT(score, 0u);         // the raw codes, passes 3 and 4
}

TEST(MatchA, NoPositiveCandidateScoresZero) {
    Grid g = random_grid(8);
    for (int p = 0; p < 330; ++p) {
        std::memset(g.codes[p], 0, 8);  // dot 0: raw = (0 - 80) / 2 = -40
        g.w27[p] = 0;
    }
    auto item = item_of(g);
    auto t = tmpl_of(g);
    signed char row = 20, col = 0;
    unsigned int score = 7;
    int detail = 0;
    MatchA(t.data(), item.data(), &score, &row, &col, &detail);
    EXPECT_EQ(score, 0u);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(col, 0);
}

}  // namespace
