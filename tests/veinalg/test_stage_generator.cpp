// The synthetic finger generator that the recognition tests, benchmarks and tables are built on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "finger_gen.h"
#include "veinalg_internal.h"

namespace {
using Bytes = std::vector<unsigned char>;
using fingergen::Style;
}  // namespace

TEST(FingerGenerator, BytesAreFrozen) {
    // Digests and tables were measured on these images: they must never change.
    struct Case {
        int finger, capture;
        Style style;
        uint32_t crc;
    } cases[] = {
        {0, 0, Style::kClassic, 0x13bde0ecu},
        {7, 3, Style::kClassic, 0x94e83292u},
        {0, 0, Style::kVaried, 0xabec6a74u},
        {7, 3, Style::kVaried, 0x7050ff8du},
    };
    for (const Case& c : cases) {
        Bytes img = fingergen::finger_image(c.finger, c.capture, nullptr, c.style);
        EXPECT_EQ(GenerateCRC32(img.data(), fingergen::kPixels), c.crc)
            << c.finger << "/" << c.capture << " style " << static_cast<int>(c.style);
    }
}

TEST(FingerGenerator, CapturesShareTheFingerAndFingersDiffer) {
    for (Style style : {Style::kClassic, Style::kVaried})
        for (int finger = 0; finger < 10; ++finger) {
            fingergen::Truth a, b, other;
            Bytes ia = fingergen::finger_image(finger, 0, &a, style);
            Bytes ib = fingergen::finger_image(finger, 1, &b, style);
            EXPECT_NE(ia, ib);
            fingergen::finger_image(finger + 100, 0, &other, style);
            for (int x = 0; x < 320; ++x) {
                ASSERT_GE(a.top[x], 40) << x;
                ASSERT_LE(a.bottom[x], 200) << x;
                ASSERT_LT(a.bottom[x] - a.top[x], 125) << x;
                ASSERT_GT(a.bottom[x] - a.top[x], 85) << x;
                // A capture moves the silhouette by a few pixels only.
                EXPECT_LE(std::abs(a.top[x] - b.top[x]), 16) << finger << " column " << x;
                EXPECT_LE(std::abs(a.bottom[x] - b.bottom[x]), 16) << finger << " column " << x;
            }
            // The same capture of the same finger is the same picture; the same pose of another finger is not.
            EXPECT_EQ(ia, fingergen::finger_image(finger, 0, nullptr, style));
            const fingergen::Spec s = fingergen::finger_spec(finger, 0, style);
            fingergen::Spec t = fingergen::finger_spec(finger + 100, 0, style);
            EXPECT_FALSE(s.veins[0].u0 == t.veins[0].u0 && s.veins[0].x_begin == t.veins[0].x_begin &&
                         s.joint_x[0] == t.joint_x[0]);
        }
}

TEST(FingerGenerator, VeinsAreFaintAndImagesPassTheQualityCheck) {
    ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0);
    for (Style style : {Style::kClassic, Style::kVaried})
        for (int finger = 0; finger < 20; ++finger) {
            const fingergen::Spec s = fingergen::finger_spec(finger, finger % 5, style);
            // Darkening by the veins, against the same picture without them (the noise is the same).
            auto deepest_dip = [](const fingergen::Spec& spec) {
                fingergen::Spec bare = spec;
                bare.vein_count = 0;
                Bytes with(fingergen::kPixels), without(fingergen::kPixels);
                fingergen::render(spec, with.data());
                fingergen::render(bare, without.data());
                int deepest = 0;
                for (int i = 0; i < fingergen::kPixels; ++i) deepest = std::max(deepest, without[i] - with[i]);
                return deepest;
            };
            if (style == Style::kVaried) {
                const int d = deepest_dip(s);
                EXPECT_GE(d, 6) << finger;
                EXPECT_LE(d, 20) << finger;
            } else {
                for (int k = 0; k < s.vein_count; ++k) {  // one vein at a time; crossings add up here
                    fingergen::Spec one = s;
                    one.vein_count = 1;
                    one.veins[0] = s.veins[k];
                    EXPECT_LE(deepest_dip(one), 20) << finger << " vein " << k;
                }
            }
            Bytes with(fingergen::kPixels);
            fingergen::render(s, with.data());
            EXPECT_EQ(veinalg_image_quality(with.data(), 320, 240), 1) << finger;
        }
}

TEST(FingerGenerator, BmpLayout) {
    Bytes grey(6 * 3);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<unsigned char>(i);
    Bytes bmp = fingergen::grey_to_bmp(grey.data(), 6, 3);
    ASSERT_EQ(bmp.size(), 1078u + 8 * 3);  // rows padded to 8 bytes
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(bmp[10] | bmp[11] << 8, 1078);
    EXPECT_EQ(bmp[14], 40);
    EXPECT_EQ(bmp[28], 8);
    EXPECT_EQ(bmp[54 + 4 * 200], 200);  // grey palette
    // Bottom-up rows: the last picture row comes first.
    EXPECT_EQ(bmp[1078], grey[12]);
    EXPECT_EQ(bmp[1078 + 16], grey[0]);
    EXPECT_EQ(bmp[1078 + 6], 0);  // padding
}
