// Image input, CRC-32 and the run-time tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "finger_gen.h"
#include "veinalg_internal.h"

namespace {
using Bytes = std::vector<unsigned char>;

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<unsigned char>(seed >> 16);
    }
    return b;
}
}  // namespace

TEST(Crc32, CheckValueAndDegenerateInputs) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(GenerateCRC32(digits, 9), 0xCBF43926u);
    EXPECT_EQ(GenerateCRC32(nullptr, 9), 0u);
    EXPECT_EQ(GenerateCRC32(digits, 0), 0u);
    EXPECT_EQ(GenerateCRC32(digits, -5), 0u);
    const unsigned char zero = 0;
    EXPECT_EQ(GenerateCRC32(&zero, 1), 0xD202EF8Du);
}

TEST(CutImage, SmallImageIsFlippedTopDown) {
    Bytes grey = Pattern(76800, 1);
    Bytes bmp = fingergen::grey_to_bmp(grey.data(), 320, 240);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    Bytes out(76800, 0);
    ASSERT_EQ(CutImage(&img, out.data()), 0);
    EXPECT_EQ(out, grey);
}

TEST(CutImage, LargeImageIsHalvedByTheRule) {
    // The BMP's rows in memory are bottom-up; the rule is stated on the memory rows.
    Bytes mem = Pattern(640 * 480, 7);
    Bytes bmp(1078 + mem.size());
    Bytes header = fingergen::grey_to_bmp(mem.data(), 640, 480);
    std::memcpy(bmp.data(), header.data(), 1078);
    std::memcpy(bmp.data() + 1078, mem.data(), mem.size());
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    Bytes out(76800, 0);
    ASSERT_EQ(CutImage(&img, out.data()), 0);
    for (int r = 0; r < 240; ++r)
        for (int j = 0; j < 320; ++j) {
            int expected = 255;
            if (j != 0 && r != 239) {
                const int s = mem[(2 * r + 1) * 640 + 2 * j] + mem[(2 * r + 1) * 640 + 2 * j + 1] +
                              mem[(2 * r + 2) * 640 + 2 * j] + mem[(2 * r + 2) * 640 + 2 * j + 1];
                expected = s / 4;
            }
            // After the flip, memory row r is picture row 239 - r.
            ASSERT_EQ(out[(239 - r) * 320 + j], expected) << r << "," << j;
        }
}

TEST(CutImage, UniformLargeImage) {
    Bytes grey(640 * 480, 100);
    Bytes bmp = fingergen::grey_to_bmp(grey.data(), 640, 480);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    Bytes out(76800, 0);
    ASSERT_EQ(CutImage(&img, out.data()), 0);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) ASSERT_EQ(out[y * 320 + x], (y == 0 || x == 0) ? 255 : 100) << y << "," << x;
}

TEST(ImageCopies, ReverseAndRegion) {
    Bytes src = Pattern(12, 3), dst(12);
    ReverseImage(src.data(), 4, 3, dst.data());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, std::memcmp(&dst[i * 4], &src[(2 - i) * 4], 4));
    Bytes roi(4);
    CopyRoiImage(src.data(), 4, 3, roi.data(), 2, 2, 1, 1);
    EXPECT_EQ(roi, (Bytes{src[5], src[6], src[9], src[10]}));
}

TEST(Tables, CurvatureTablesAtTheCentreAndTails) {
    ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0);
    EXPECT_EQ(f1_t4X[256], 1.0f);
    EXPECT_EQ(f1_t5X[256], 0.8f);
    EXPECT_EQ(f1_t8X[256], 0.5f);
    for (int i = 0; i < 512; ++i) {
        const double x = i - 256;
        EXPECT_NEAR(f1_t4X[i], 1.0 / std::pow(1 + x * x / 256, 1.5), 1e-6);
        EXPECT_NEAR(f1_t5X[i], 1.0 / (1.25 * std::pow(1 + x * x / 320, 1.5)), 1e-6);
        EXPECT_NEAR(f1_t8X[i], 1.0 / (2 * std::pow(1 + x * x / 512, 1.5)), 1e-6);
    }
    EXPECT_EQ(f2_tX[0], 0);
    EXPECT_EQ(f2_tX[512], 0);
    EXPECT_EQ(f2_tX[513], 1);
    EXPECT_EQ(f2_tX[1023], 511);
    for (int i = 0; i < kGaborResponses; ++i)
        ASSERT_EQ(dMeanFeatureX[i], static_cast<float>(16.777216 / static_cast<float>(MeanGaborFeatureTable[i])));
}
