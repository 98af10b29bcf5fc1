// Features, templates and matching through the exported functions on generated fingers.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "finger_gen.h"
#include "match.h"
#include "qvfv_alg_api.h"
#include "veinalg_internal.h"

namespace {

using Bytes = std::vector<unsigned char>;

class Records : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0); }
};

Bytes bmp_of(int finger, int capture, fingergen::Style style = fingergen::Style::kClassic) {
    return fingergen::grey_to_bmp(fingergen::finger_image(finger, capture, nullptr, style).data(), 320, 240);
}

Bytes feature_of_bmp(const Bytes& bmp) {
    _image img{const_cast<unsigned char*>(bmp.data()), static_cast<int>(bmp.size())};
    Bytes out(50000, 0xEE);
    int n = veinalg_make_feature(nullptr, &img, 1, out.data(), static_cast<int>(out.size()), nullptr);
    EXPECT_EQ(n, FV_FEATURE_SIZE);
    out.resize(FV_FEATURE_SIZE);
    return out;
}

Bytes feature_of(int finger, int capture, fingergen::Style style = fingergen::Style::kClassic) {
    return feature_of_bmp(bmp_of(finger, capture, style));
}

Bytes tmpl_of(const std::vector<const Bytes*>& bmps) {
    std::vector<_image> imgs;
    for (const Bytes* b : bmps)
        imgs.push_back({b ? const_cast<unsigned char*>(b->data()) : nullptr, b ? static_cast<int>(b->size()) : 0});
    Bytes out(FV_TMPL_SIZE, 0);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, imgs.data(), static_cast<int>(imgs.size()), out.data(), nullptr),
              FV_TMPL_SIZE);
    return out;
}

uint32_t read32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

double match(const Bytes& t, const Bytes& f) {
    return veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr);
}

TEST_F(Records, FeatureHoldsThreeSealedItems) {
    Bytes f = feature_of(3, 0);
    for (int k = 0; k < 3; ++k) {
        const unsigned char* item = f.data() + k * FV_FEATURE_ITEM_SIZE;
        EXPECT_EQ(0, std::memcmp(item, "v1.1", 4));
        EXPECT_EQ(read32(item + 4), GenerateCRC32(item + 8, FV_FEATURE_ITEM_SIZE - 8)) << k;
        // A finger gives weights inside the band and codes that are not all zero.
        int w = 0, codes = 0;
        for (int g = 0; g < 330; ++g) w += item[kItemW15 + g] == 255;
        for (int b = 0; b < 2640; ++b) codes += item[kItemCodes + b] != 0;
        EXPECT_GT(w, 60) << k;
        EXPECT_GT(codes, 1000) << k;
    }
    // The rotated items differ from the unrotated one.
    EXPECT_NE(0, std::memcmp(f.data() + 8, f.data() + FV_FEATURE_ITEM_SIZE + 8, 2640));
}

TEST_F(Records, RepeatedAndConcurrentCallsGiveTheSameBytes) {
    Bytes bmp = bmp_of(5, 1);
    Bytes first = feature_of_bmp(bmp);
    EXPECT_EQ(feature_of_bmp(bmp), first);
    Bytes b0 = bmp_of(5, 0), b2 = bmp_of(5, 2);
    Bytes tmpl = tmpl_of({&b0, &bmp, &b2});
    std::vector<Bytes> features(4), tmpls(4);
    std::vector<double> scores(4);
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&, k] {
            features[k] = feature_of_bmp(bmp);
            tmpls[k] = tmpl_of({&b0, &bmp, &b2});
            scores[k] = match(tmpls[k], features[k]);
        });
    for (auto& t : threads) t.join();
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(features[k], first) << k;
        EXPECT_EQ(tmpls[k], tmpl) << k;
        EXPECT_EQ(scores[k], match(tmpl, first)) << k;
    }
}

TEST_F(Records, LargeImageHalvesToTheSameFeature) {
    // A 320 x 240 picture whose top row and first column are white, as halving makes them, and a
    // 640 x 480 picture whose every 2 x 2 block the halving averages holds one of its pixels.
    Bytes small = fingergen::finger_image(8, 2);
    std::memset(small.data(), 255, 320);
    for (int r = 0; r < 240; ++r) small[r * 320] = 255;
    Bytes large(640 * 480, 0);
    for (int t = 0; t < 480; ++t) {
        int mem = 479 - t;  // row in bottom-up file order
        if (mem == 0) continue;
        int src_mem = (mem - 1) / 2;  // halved file row
        int src_top = 239 - src_mem;
        for (int x = 0; x < 640; ++x) large[t * 640 + x] = small[src_top * 320 + x / 2];
    }
    Bytes f_small = feature_of_bmp(fingergen::grey_to_bmp(small.data(), 320, 240));
    Bytes f_large = feature_of_bmp(fingergen::grey_to_bmp(large.data(), 640, 480));
    EXPECT_EQ(f_small, f_large);
}

TEST_F(Records, OneImageTemplateIsItemZeroAtTheTemplatePoints) {
    Bytes bmp = bmp_of(9, 0);
    Bytes f = feature_of_bmp(bmp);
    Bytes t = tmpl_of({&bmp});
    EXPECT_EQ(read32(t.data() + 4), GenerateCRC32(t.data() + 8, FV_TMPL_SIZE - 8));
    for (int p = 0; p < 8; ++p)
        for (int q = 0; q < 18; ++q) {
            int tp = p * 18 + q, g = iRaw[p] * 22 + jRaw[q];
            EXPECT_EQ(0, std::memcmp(&t[kTmplCodes + 8 * tp], &f[kItemCodes + 8 * g], 8)) << tp;
            EXPECT_EQ(t[kTmplW15 + tp], f[kItemW15 + g]) << tp;
        }
    for (int p = 0; p < 7; ++p)
        for (int q = 0; q < 14; ++q) {
            int tp = p * 14 + q, g = iMS[p] * 22 + jMS[q];
            EXPECT_EQ(0, std::memcmp(&t[kTmplMs + 16 * tp], &f[kItemMs + 16 * g], 16)) << tp;
            EXPECT_EQ(t[kTmplW27 + tp], f[kItemW27 + g]) << tp;
        }
    EXPECT_EQ(match(t, f), 1.0);
}

TEST_F(Records, NullEntriesAreSkipped) {
    Bytes a = bmp_of(4, 0), b = bmp_of(4, 1), c = bmp_of(4, 2);
    Bytes three = tmpl_of({&a, &b, &c});
    EXPECT_EQ(tmpl_of({nullptr, &a, nullptr, &b, &c}), three);
    // Only the first three images are read.
    Bytes d = bmp_of(4, 3);
    EXPECT_EQ(tmpl_of({&a, &b, &c, &d}), three);
    // Two images make a template of their own.
    Bytes two = tmpl_of({&a, nullptr, &b});
    EXPECT_NE(two, three);
    EXPECT_EQ(two, tmpl_of({&a, &b}));
}

TEST_F(Records, SimilarityIsSymmetricInArgumentOrder) {
    Bytes a = bmp_of(2, 0), b = bmp_of(2, 1), c = bmp_of(2, 2);
    Bytes t = tmpl_of({&a, &b, &c});
    for (int probe : {3, 4}) {
        Bytes f = feature_of(2, probe);
        double s1 = match(t, f);
        double s2 = veinalg_match(nullptr, f.data(), FV_FEATURE_SIZE, t.data(), FV_TMPL_SIZE, nullptr);
        EXPECT_EQ(s1, s2);
    }
}

TEST_F(Records, SameFingerMatchesOtherFingersDoNot) {
    // Scanner-like fingers, as the mean energy table was measured on (the classic set's fingers are
    // too alike to tell apart reliably).
    const fingergen::Style style = fingergen::Style::kRealistic;
    Bytes a = bmp_of(6, 0, style), b = bmp_of(6, 1, style), c = bmp_of(6, 2, style);
    Bytes t = tmpl_of({&a, &b, &c});
    for (int probe : {3, 4, 5}) EXPECT_GE(static_cast<int>(match(t, feature_of(6, probe, style)) * 100), 70) << probe;
    for (int other : {7, 12, 13}) EXPECT_LT(static_cast<int>(match(t, feature_of(other, 3, style)) * 100), 70) << other;
}

TEST_F(Records, DamagedItemOrTemplateGivesMinusOne) {
    Bytes a = bmp_of(1, 0);
    Bytes t = tmpl_of({&a});
    Bytes f = feature_of(1, 1);
    const int feature_bytes[] = {8, 2648 + 5, FV_FEATURE_ITEM_SIZE + 7928, 2 * FV_FEATURE_ITEM_SIZE + 8587};
    for (int at : feature_bytes) {
        Bytes bad = f;
        bad[at] ^= 1;
        EXPECT_EQ(match(t, bad), -1.0) << at;
    }
    for (int at : {8, 1160, 2971}) {
        Bytes bad = t;
        bad[at] ^= 0x80;
        EXPECT_EQ(match(bad, f), -1.0) << at;
    }
}

}  // namespace

namespace {

// The record checksum taken eight bytes a step equals the plain bitwise CRC-32 at every length
// and alignment.
TEST(GenerateCRC32, EqualsTheBitwiseCrcAtAnyLengthAndOffset) {
    std::vector<unsigned char> data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37 + (i >> 3));
    for (int offset = 0; offset < 8; ++offset)
        for (int len = 0; len <= 70; ++len) {
            uint32_t c = 0xFFFFFFFFu;
            for (int i = 0; i < len; ++i) {
                c ^= data[offset + i];
                for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            }
            uint32_t expect = len > 0 ? ~c : 0;
            ASSERT_EQ(GenerateCRC32(data.data() + offset, len), expect) << offset << " " << len;
        }
}

}  // namespace
