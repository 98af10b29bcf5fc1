// The whole preprocessing pipeline on generated fingers and its negative fixtures.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "finger_gen.h"
#include "veinalg_internal.h"

namespace {
using Bytes = std::vector<unsigned char>;

class Pipeline : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0); }
};
}  // namespace

TEST(FingerEdges, FoundNearTheGeneratedSilhouette) {
    for (fingergen::Style style : {fingergen::Style::kClassic, fingergen::Style::kVaried})
        for (int finger = 0; finger < 24; ++finger)
            for (int capture = 0; capture < 2; ++capture) {
                fingergen::Truth truth;
                Bytes img = fingergen::finger_image(finger, capture, &truth, style);
                short top[320], bottom[320];
                ASSERT_EQ(FindVeinBoundary(img.data(), top, bottom), 0) << finger << "/" << capture;
                for (int x = 10; x < 310; ++x) {
                    ASSERT_NE(top[x], 0) << finger << "/" << capture << " column " << x;
                    const int dt = std::abs(top[x] - truth.top[x]);
                    const int db = std::abs(bottom[x] - truth.bottom[x]);
                    EXPECT_LE(dt, 4) << finger << "/" << capture << " column " << x;
                    EXPECT_LE(db, 4) << finger << "/" << capture << " column " << x;
                }
            }
}

TEST_F(Pipeline, GeneratedFingersGiveVeinImageAndMask) {
    for (fingergen::Style style : {fingergen::Style::kClassic, fingergen::Style::kVaried})
        for (int finger = 0; finger < 24; ++finger) {
            Bytes img = fingergen::finger_image(finger, finger % 3, nullptr, style);
            Bytes mask(76800, 7);
            ASSERT_EQ(PreprocessImage(img.data(), mask.data()), 0) << finger;
            int inside = 0;
            for (int i = 0; i < kVeinBytes; ++i) {
                ASSERT_LE(mask[i], 1) << finger << " at " << i;
                inside += mask[i];
            }
            EXPECT_GT(inside, kVeinBytes / 3) << finger;
            for (int x = 0; x < 140; ++x) {
                EXPECT_EQ(mask[x], 0);
                EXPECT_EQ(mask[119 * 140 + x], 0);
                EXPECT_EQ(img[x], 255);
                EXPECT_EQ(img[119 * 140 + x], 255);
            }
        }
}

TEST_F(Pipeline, NegativeFixtures) {
    struct Case {
        const char* name;
        fingergen::Spec spec;
        int expected;
    };
    std::vector<Case> cases;
    for (int finger : {0, 5, 9}) {
        fingergen::Spec s = fingergen::finger_spec(finger, 0);
        s.noise = 0;
        fingergen::Spec tip = s;  // a finger that covers only 60 columns
        tip.finger_begin = 130;
        tip.finger_end = 189;
        cases.push_back({"finger too small", tip, 3021});
        fingergen::Spec high = s;  // upper edge above the image, lower edge above the lower window
        high.axis_row = 25;
        cases.push_back({"edges outside the windows (high)", high, -1});
        fingergen::Spec low = s;
        low.axis_row = 215;
        cases.push_back({"edges outside the windows (low)", low, -1});
    }
    for (const Case& c : cases) {
        Bytes img(76800), mask(76800);
        fingergen::render(c.spec, img.data());
        EXPECT_EQ(PreprocessImage(img.data(), mask.data()), c.expected) << c.name;
    }
    for (int v : {0, 90, 255}) {
        Bytes img(76800, static_cast<unsigned char>(v)), mask(76800);
        EXPECT_EQ(PreprocessImage(img.data(), mask.data()), -1) << v;
    }
}

TEST_F(Pipeline, SmallFingerLeavesItsMaskInTheBuffer) {
    fingergen::Spec s = fingergen::finger_spec(2, 0);
    s.noise = 0;
    s.finger_begin = 130;
    s.finger_end = 189;
    Bytes img(76800), mask(76800, 9);
    fingergen::render(s, img.data());
    ASSERT_EQ(PreprocessImage(img.data(), mask.data()), 3021);
    int set = 0;
    for (unsigned char m : mask) {
        ASSERT_LE(m, 1);
        set += m;
    }
    EXPECT_GT(set, 0);
    EXPECT_LT(set, 6400);
}

TEST_F(Pipeline, SameInputSameOutputWhateverTheMaskBufferHeld) {
    Bytes a = fingergen::finger_image(11, 4), b = a;
    Bytes ma(76800, 0), mb(76800, 0xFF);
    ASSERT_EQ(PreprocessImage(a.data(), ma.data()), 0);
    ASSERT_EQ(PreprocessImage(b.data(), mb.data()), 0);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), kVeinBytes));
    EXPECT_EQ(0, std::memcmp(ma.data(), mb.data(), kVeinBytes));
}

TEST_F(Pipeline, CapturesOfOneFingerAgreeMoreThanDifferentFingers) {
    // The vein images of two captures of one finger overlap better than those of two fingers: a coarse
    // check that the generator and the pipeline keep a finger's identity.
    auto vein = [](int finger, int capture) {
        Bytes img = fingergen::finger_image(finger, capture), mask(76800);
        EXPECT_EQ(PreprocessImage(img.data(), mask.data()), 0);
        Bytes dark(kVeinBytes);
        for (int i = 0; i < kVeinBytes; ++i) dark[i] = mask[i] && img[i] < 128;
        return dark;
    };
    auto best_overlap = [](const Bytes& a, const Bytes& b) {
        double best = 0;
        for (int dy = -6; dy <= 6; ++dy)
            for (int dx = -8; dx <= 8; ++dx) {
                int both = 0, either = 0;
                for (int y = 8; y < 112; ++y)
                    for (int x = 10; x < 130; ++x) {
                        const int p = a[y * 140 + x], q = b[(y + dy) * 140 + x + dx];
                        both += p && q;
                        either += p || q;
                    }
                if (either > 0) best = std::max(best, static_cast<double>(both) / either);
            }
        return best;
    };
    for (int finger = 0; finger < 6; ++finger) {
        const Bytes a = vein(finger, 0), b = vein(finger, 1), other = vein(finger + 10, 0);
        EXPECT_GT(best_overlap(a, b), best_overlap(a, other) + 0.05) << finger;
    }
}

// Frozen outputs: any change to these bytes changes every stored template, so a rework of the pipeline
// (for speed, say) must keep them.
TEST_F(Pipeline, GoldenDigests) {
    struct Case {
        int finger, capture;
        uint32_t vein, rotated;  // CRC-32 of image ^ 3 x CRC-32 of mask, before and after the two rotations
    } cases[] = {
        {0, 0, 0x9420c726u, 0xfac94919u}, {1, 1, 0x1aa5a77eu, 0x3b52bebdu},  {2, 2, 0xde3f9195u, 0x0aeb759du},
        {3, 3, 0x130a61dau, 0xdfcd1a31u}, {4, 0, 0x56a3743du, 0x20c6f6ebu},  {5, 1, 0x26945f62u, 0x23ccbcaau},
        {6, 2, 0x86b6a883u, 0x4a79aa77u}, {7, 3, 0x027937ffu, 0x61ac1cb5u},  {8, 0, 0x56c78a4au, 0xb417c9b2u},
        {9, 1, 0xf4b17183u, 0x5bf3fd84u}, {10, 2, 0x814d2615u, 0x6ac2edc5u}, {11, 3, 0xca174d79u, 0x0a7c13d9u},
    };
    for (const Case& c : cases) {
        Bytes img = fingergen::finger_image(c.finger, c.capture), mask(76800);
        ASSERT_EQ(PreprocessImage(img.data(), mask.data()), 0);
        auto digest = [&] {
            return GenerateCRC32(img.data(), kVeinBytes) ^ (GenerateCRC32(mask.data(), kVeinBytes) * 3u);
        };
        EXPECT_EQ(digest(), c.vein) << c.finger << "/" << c.capture;
        RotateImage140_120(img.data(), mask.data(), 0.03f);
        RotateImage140_120(img.data(), mask.data(), -0.06f);
        EXPECT_EQ(digest(), c.rotated) << c.finger << "/" << c.capture;
    }
}
