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
        {0, 0, Style::kClassic, 0x13bde0ecu},   {7, 3, Style::kClassic, 0x94e83292u},
        {0, 0, Style::kVaried, 0xabec6a74u},    {7, 3, Style::kVaried, 0x7050ff8du},
        {0, 0, Style::kRealistic, 0x8405fb41u}, {7, 3, Style::kRealistic, 0xe87367e7u},
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

TEST(FingerGenerator, RealisticCapturesLookLikeTheScanner) {
    ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0);
    int deepest_seen = 0;
    for (int finger = 0; finger < 20; ++finger) {
        const int capture = finger % 5;
        fingergen::Truth truth;
        Bytes img = fingergen::finger_image(finger, capture, &truth, Style::kRealistic);
        EXPECT_EQ(img, fingergen::finger_image(finger, capture, nullptr, Style::kRealistic));
        EXPECT_NE(img, fingergen::finger_image(finger, capture + 1, nullptr, Style::kRealistic));
        EXPECT_NE(img, fingergen::finger_image(finger + 100, capture, nullptr, Style::kRealistic));
        for (int x = 0; x < 320; ++x) {
            ASSERT_GE(truth.top[x], 10) << finger << " column " << x;
            ASSERT_LE(truth.bottom[x], 230) << finger << " column " << x;
            ASSERT_GT(truth.bottom[x] - truth.top[x], 70) << finger << " column " << x;
        }
        // Light falls off towards both edges: no row near an edge is as bright as the middle third.
        for (int x : {80, 160, 240}) {
            const int top = truth.top[x], bottom = truth.bottom[x], third = (bottom - top) / 6;
            const int centre = (top + bottom) / 2;
            int sum = 0, n = 0, rim = 0;
            for (int y = centre - third; y <= centre + third; ++y, ++n) sum += img[y * 320 + x];
            for (int d = 0; d < 5; ++d)
                rim = std::max(
                    {rim, static_cast<int>(img[(top + d) * 320 + x]), static_cast<int>(img[(bottom - d) * 320 + x])});
            EXPECT_LT(rim, sum / n) << finger << " column " << x;
        }
        // Veins are soft and faint: against the same capture without them (the same noise), in percent
        // of the light there, over 3 x 3 means; crossings darken more.
        fingergen::RealSpec bare = fingergen::realistic_spec(finger, capture);
        bare.vein_count = 0;
        Bytes without(fingergen::kPixels);
        fingergen::render(bare, without.data());
        int deepest = 0;
        for (int y = 1; y < 239; ++y)
            for (int x = 1; x < 319; ++x) {
                int d = 0, light = 0;
                for (int k = -1; k <= 1; ++k)
                    for (int l = -1; l <= 1; ++l) {
                        d += without[(y + k) * 320 + x + l] - img[(y + k) * 320 + x + l];
                        light += without[(y + k) * 320 + x + l];
                    }
                if (light > 9 * 40) deepest = std::max(deepest, 100 * d / light);
            }
        EXPECT_LE(deepest, 25) << finger;
        deepest_seen = std::max(deepest_seen, deepest);
        EXPECT_EQ(veinalg_image_quality(img.data(), 320, 240), 1) << finger;
        Bytes mask(fingergen::kPixels);
        EXPECT_EQ(PreprocessImage(img.data(), mask.data()), 0) << finger;
    }
    EXPECT_GE(deepest_seen, 6);
}

TEST(FingerGenerator, MjpegRoundTripQuantisesBlocks) {
    // A flat picture stays flat (its level within the DC step); a faint pixel-level checkerboard is
    // lost at the camera's qualities; a step between blocks keeps its levels.
    auto flat_near = [](const Bytes& img, int level) {
        for (unsigned char v : img)
            if (v != img[0]) return false;
        return std::abs(img[0] - level) <= 1;
    };
    Bytes flat(fingergen::kPixels, 140);
    fingergen::detail::jpeg_round_trip(flat.data(), 70);
    EXPECT_TRUE(flat_near(flat, 140));
    Bytes fine(fingergen::kPixels);
    for (int k = 0; k < fingergen::kPixels; ++k) fine[k] = static_cast<unsigned char>(((k / 320 + k) & 1) ? 142 : 138);
    fingergen::detail::jpeg_round_trip(fine.data(), 80);
    EXPECT_TRUE(flat_near(fine, 140));
    Bytes step(fingergen::kPixels);
    for (int k = 0; k < fingergen::kPixels; ++k) step[k] = (k % 320) < 160 ? 60 : 180;
    Bytes out = step;
    fingergen::detail::jpeg_round_trip(out.data(), 92);
    EXPECT_EQ(out, step);
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
