// YUYV-to-JPEG: libjpeg decodes what we write, sizes round down, failures give 0.
#include <gtest/gtest.h>

#include <cstdlib>

#include "codec_helpers.h"
#include "pixel_convert.h"

using namespace codec_test;

namespace {

// YUYV from an RGB picture, with a pitch of pitch bytes.
Bytes to_yuyv(const Bytes& rgb, int w, int h, int pitch) {
    Bytes f(static_cast<size_t>(pitch) * h, 0);
    rgb_to_yuyv(f.data(), pitch, const_cast<unsigned char*>(rgb.data()), w * 3, w, h);
    return f;
}

TEST(YuyvToJpeg, LibjpegDecodesTheRoundedFrame) {
    // 330 x 250 encodes 320 x 240; the pitch keeps its padding.
    const int w = 330, h = 250, pitch = 700;
    Bytes yuyv = to_yuyv(smooth_rgb(w, h), w, h, pitch);
    Bytes out(200000);
    const int n = yuyv_to_jpeg(yuyv.data(), out.data(), static_cast<int>(out.size()), w, h, pitch, 95);
    ASSERT_GT(n, 0);
    out.resize(n);
    Ycc ref;
    ASSERT_TRUE(decode_reference(out, ref));
    ASSERT_EQ(ref.width, 320);
    ASSERT_EQ(ref.height, 240);
    // Compare against the source: luma per pixel, chroma against the row pair's mean.
    int max_y = 0, max_c = 0;
    double sum = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            const unsigned char* s = &yuyv[static_cast<size_t>(y) * pitch + 2 * x];
            const int ey = std::abs(ref.y[y * 320 + x] - s[0]);
            max_y = std::max(max_y, ey);
            sum += ey;
            const unsigned char* p0 = &yuyv[static_cast<size_t>(y & ~1) * pitch + 4 * (x / 2)];
            const unsigned char* p1 = p0 + pitch;
            const int cb = (p0[1] + p1[1]) >> 1, cr = (p0[3] + p1[3]) >> 1;
            max_c = std::max({max_c, std::abs(ref.cb[y * 320 + x] - cb), std::abs(ref.cr[y * 320 + x] - cr)});
        }
    EXPECT_LE(max_y, 6);
    EXPECT_LT(sum / (320 * 240), 1.0);
    EXPECT_LE(max_c, 6);
}

TEST(YuyvToJpeg, UnusableArgumentsAndOverflowGiveZero) {
    const int w = 64, h = 32;
    Bytes yuyv = to_yuyv(noisy_rgb(w, h), w, h, w * 2);
    Bytes out(100000);
    const int full = yuyv_to_jpeg(yuyv.data(), out.data(), static_cast<int>(out.size()), w, h, w * 2, 90);
    ASSERT_GT(full, 0);
    const Bytes first(out.begin(), out.begin() + full);
    const struct {
        const char* name;
        unsigned char* src;
        unsigned char* dst;
        int out_size, width, height, pitch;
    } cases[] = {
        {"width rounds below 16", yuyv.data(), out.data(), 100000, 15, 32, 128},
        {"height rounds below 16", yuyv.data(), out.data(), 100000, 64, 15, 128},
        {"negative size", yuyv.data(), out.data(), 100000, -64, 32, 128},
        {"null source", nullptr, out.data(), 100000, 64, 32, 128},
        {"null output", yuyv.data(), nullptr, 100000, 64, 32, 128},
        {"empty output", yuyv.data(), out.data(), 0, 64, 32, 128},
        {"pitch shorter than a row", yuyv.data(), out.data(), 100000, 64, 32, 64},
        {"output one byte short", yuyv.data(), out.data(), full - 1, 64, 32, 128},
        {"tiny output", yuyv.data(), out.data(), 10, 64, 32, 128},
    };
    for (const auto& c : cases)
        EXPECT_EQ(yuyv_to_jpeg(c.src, c.dst, c.out_size, c.width, c.height, c.pitch, 90), 0) << c.name;
    // An exactly sized buffer is enough, and the output is the same bytes.
    Bytes exact(full);
    EXPECT_EQ(yuyv_to_jpeg(yuyv.data(), exact.data(), full, w, h, w * 2, 90), full);
    EXPECT_EQ(exact, first);
}

TEST(YuyvToJpeg, QualityChangesTheSizeAndOutOfRangeQualityStillEncodes) {
    const int w = 64, h = 64;
    Bytes yuyv = to_yuyv(noisy_rgb(w, h), w, h, w * 2);
    Bytes out(100000);
    auto size = [&](int q) { return yuyv_to_jpeg(yuyv.data(), out.data(), 100000, w, h, w * 2, q); };
    EXPECT_GT(size(95), size(30));
    EXPECT_GT(size(-5), 0);
    EXPECT_GT(size(500), 0);
}

}  // namespace
