// Alignment and merging of full feature records.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "enroll.h"
#include "synthetic_codes.h"

namespace {

std::unique_ptr<FV_FEATURE> random_record(unsigned seed, bool same_down_columns = false) {
    auto f = std::make_unique<FV_FEATURE>();
    random_codes(seed, f->codes, f->ms, same_down_columns);
    for (int p = 0; p < 330; ++p) {
        f->w15[p] = 255;
        f->w27[p] = 255;
    }
    std::memset(f->border, 0, sizeof f->border);
    return f;
}

TEST(MatchTwoFeature, RestartedSearchEndsOneRowOff) {
    auto a = random_record(1);
    unsigned int score = 0;
    int row = 20, col = 0;
    MatchTwoFeature(a.get(), a.get(), &score, &row, &col);
    // Pass 2 starts from a reset best and only tries one row up and one row down.
    EXPECT_TRUE(row == 1 || row == -1) << row;
    EXPECT_EQ(col, 0);
    EXPECT_GT(score, 0u);
    EXPECT_LT(score, 900u);

    unsigned int kept = 0;
    row = 20, col = 0;
    MatchTwoFeature(a.get(), a.get(), &kept, &row, &col, FineRowSearch::kKeepBest);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(col, 0);
    // Every code agrees at (0, 0): ms 1,031, raw from the nibble dot products, no penalty.
    EXPECT_GT(kept, score);
}

TEST(MatchTwoFeature, FindsEvenShifts) {
    // b is a displaced: point (i, j) of a is point (i + dr, j + dc) of b.
    // Column shifts are found after the row search, so their codes stay alike down the columns.
    const int cases[][2] = {{4, 0}, {-2, 0}, {6, 0}, {0, -6}, {0, 8}, {0, 2}};
    for (auto& c : cases) {
        bool columns = c[1] != 0;
        auto a = random_record(2, columns);
        auto b = random_record(3, columns);
        for (int i = 0; i < 15; ++i)
            for (int j = 0; j < 22; ++j) {
                int bi = i + c[0], bj = j + c[1];
                if (bi < 0 || bi >= 15 || bj < 0 || bj >= 22) continue;
                std::memcpy(b->codes[bi * 22 + bj], a->codes[i * 22 + j], 8);
                std::memcpy(b->ms[bi * 22 + bj], a->ms[i * 22 + j], 16);
            }
        unsigned int score = 0;
        int row = 20, col = 0;
        MatchTwoFeature(a.get(), b.get(), &score, &row, &col, FineRowSearch::kKeepBest);
        EXPECT_EQ(row, c[0]);
        EXPECT_EQ(col, c[1]);
    }
}

TEST(MatchTwoFeature, NothingPositiveMovesNothing) {
    auto a = random_record(4);
    for (int p = 0; p < 330; ++p) a->w15[p] = a->w27[p] = 0;  // raw -45, ms 0: every value negative
    unsigned int score = 5;
    int row = 20, col = 0;
    MatchTwoFeature(a.get(), a.get(), &score, &row, &col);
    EXPECT_EQ(score, 0u);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(col, 0);
}

struct MergeBuffers {
    std::vector<unsigned int> acc_responses = std::vector<unsigned int>(kResponses, 0);
    std::vector<int> other_responses = std::vector<int>(kResponses, 0);
    std::vector<int> out_responses = std::vector<int>(kResponses, 0);
    std::vector<int> acc_codes = std::vector<int>(330 * 16, 0);
    std::vector<int> acc_w15 = std::vector<int>(330, 0);
    std::vector<unsigned int> acc_w27 = std::vector<unsigned int>(330, 0);
};

TEST(MergeFeature, HalfShiftsPlaceBothPoints) {
    // Weights name their grid row; the merged weight is the larger of the two points'.
    struct {
        int shift;
        int base_offset, other_offset;  // rows read for output row i: i + offset
    } cases[] = {{3, -1, 2}, {2, 0, 2}, {-3, 1, -2}, {1, 0, 1}, {0, 0, 0}, {6, -2, 4}};
    for (auto& c : cases) {
        for (int which = 0; which < 2; ++which) {
            auto base = random_record(5), other = random_record(6), out = random_record(7);
            for (int g = 0; g < 330; ++g) {
                int row = g / 22;
                base->w15[g] = which == 0 ? static_cast<unsigned char>(10 + row) : 0;
                other->w15[g] = which == 1 ? static_cast<unsigned char>(10 + row) : 0;
                base->w27[g] = other->w27[g] = 0;
            }
            MergeBuffers m;
            ASSERT_EQ(MergeFeature(out.get(), base.get(), other.get(), m.acc_responses.data(), m.other_responses.data(),
                                   m.out_responses.data(), m.acc_codes.data(), m.acc_w15.data(), m.acc_w27.data(),
                                   c.shift, 0, 10),
                      0);
            int offset = which == 0 ? c.base_offset : c.other_offset;
            for (int i = 0; i < 15; ++i) {
                int src = i + offset;
                int expect = (src >= 0 && src < 15) ? 10 + src : 0;
                EXPECT_EQ(out->w15[i * 22 + 5], expect) << "shift " << c.shift << " row " << i << " which " << which;
            }
        }
    }
}

TEST(MergeFeature, WeightedAverageOfNibblesAndResponses) {
    auto base = random_record(8), other = random_record(9), out = random_record(10);
    MergeBuffers m;
    for (int g = 0; g < 330; ++g) {
        base->w15[g] = other->w15[g] = 255;
        base->w27[g] = 100;
        other->w27[g] = 50;
        m.acc_w15[g] = 255;
        m.acc_w27[g] = 100;
        for (int k = 0; k < 8; ++k) {
            other->codes[g][k] = 0x88;
            m.acc_codes[g * 16 + 2 * k] = 4;
            m.acc_codes[g * 16 + 2 * k + 1] = 4;
        }
        for (int k = 0; k < 112; ++k) {
            m.acc_responses[g * 112 + k] = 30;
            m.other_responses[g * 112 + k] = k;
        }
    }
    ASSERT_EQ(MergeFeature(out.get(), base.get(), other.get(), m.acc_responses.data(), m.other_responses.data(),
                           m.out_responses.data(), m.acc_codes.data(), m.acc_w15.data(), m.acc_w27.data(), 0, 0, 10),
              0);
    // (255 + 4 * 255 + 8 * 255) / 510 = 6; 16 values of 6: L = calSqrtX(576) = 24,576,
    // code = (6 * 65536 / 3) / 24576 = 5.
    EXPECT_EQ(m.acc_codes[0], 6);
    EXPECT_EQ(m.acc_w15[0], 510);
    EXPECT_EQ(out->codes[0][0], 0x55);
    EXPECT_EQ(out->w15[0], 255);
    EXPECT_EQ(out->w27[0], 100);
    EXPECT_EQ(m.acc_w27[0], 150u);
    // (75 + 30 * 100 + 50 * k) / 150
    for (int k = 0; k < 112; k += 13) EXPECT_EQ(m.out_responses[k], (75 + 3000 + 50 * k) / 150) << k;
    EXPECT_EQ(m.acc_responses[111], static_cast<unsigned>((75 + 3000 + 50 * 111) / 150));
    // The MS codes are the new responses' bits: increasing responses over orientation 0..15.
    unsigned int expect[4];
    int count = 0;
    unsigned int* cursor = expect;
    EncodeFeatureMsPoint(0, &count, &cursor, m.out_responses.data());
    EXPECT_EQ(0, std::memcmp(expect, out->ms[0], 16));

    // Factor 0: the other record adds only its weight maps through the maxima.
    auto out2 = random_record(11);
    std::vector<int> before(m.acc_codes);
    other->w15[0] = 255;
    base->w27[0] = 10;
    ASSERT_EQ(MergeFeature(out2.get(), base.get(), other.get(), m.acc_responses.data(), m.other_responses.data(),
                           m.out_responses.data(), m.acc_codes.data(), m.acc_w15.data(), m.acc_w27.data(), 0, 0, 0),
              0);
    EXPECT_EQ(m.acc_codes, before);
    EXPECT_EQ(m.acc_w15[0], 510);
    EXPECT_EQ(out2->w27[0], 50);
}

}  // namespace

namespace {

TEST(EnrolOrder, BaseByTotalsThenBestAgreement) {
    struct {
        unsigned int scores[3][3];
        int n;
        int order[3];
    } cases[] = {
        // Totals (100, 300, 200): image 1 is the base; image 2 agrees more with it than image 0.
        {{{0, 60, 40}, {120, 0, 180}, {70, 130, 0}}, 3, {1, 2, 0}},
        // Totals (100, 200, 200): the lower-numbered of the equal totals.
        {{{0, 50, 50}, {90, 0, 110}, {100, 100, 0}}, 3, {1, 2, 0}},
        // Two images: the better total is the base.
        {{{0, 10, 0}, {30, 0, 0}, {0, 0, 0}}, 2, {1, 0, 0}},
        // Nothing agrees: the lowest numbers in turn.
        {{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 3, {0, 1, 2}},
        // Equal sums for the second place: the lower-numbered candidate.
        {{{0, 80, 80}, {10, 0, 10}, {10, 10, 0}}, 3, {0, 1, 2}},
    };
    for (auto& c : cases) {
        int order[3] = {-1, -1, -1};
        EnrolOrder(c.scores, c.n, order);
        for (int l = 0; l < c.n; ++l) EXPECT_EQ(order[l], c.order[l]) << l;
    }
}

TEST(ThirdImageFactor, RoundedTenthsOfTheScoreLimitedTo600) {
    const unsigned int cases[][2] = {{0, 0}, {34, 0}, {35, 1}, {104, 1}, {105, 2}, {594, 8}, {600, 9}, {999, 9}};
    for (auto& c : cases) EXPECT_EQ(ThirdImageFactor(c[0]), static_cast<int>(c[1])) << c[0];
}

}  // namespace
