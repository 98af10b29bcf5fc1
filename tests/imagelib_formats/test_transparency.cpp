// Alpha channels by colour key, threshold and alpha plane, and the alpha entries that write them.
#include <gtest/gtest.h>

#include <vector>

#include "formats_util.h"
#include "img_buffer.h"
#include "img_codec.h"
#include "img_dispatch.h"
#include "img_geometry.h"

using fmt_test::Bytes;
using fmt_test::Owned;

namespace {

// Four R,G,B pixels: white, near white, black, red.
const std::vector<unsigned char> kRgb = {255, 255, 255, 250, 255, 255, 0, 0, 0, 255, 0, 0};

std::vector<unsigned char> Alphas(const unsigned char* bgra, int n, int stride = 4) {
    std::vector<unsigned char> a;
    for (int i = 0; i < n; ++i) a.push_back(bgra[i * stride + stride - 1]);
    return a;
}

TEST(AddTransparency, ColourKeysOnRgb) {
    struct Case {
        int key, tolerance, alpha;
        std::vector<unsigned char> expect;
    } cases[] = {
        {0xFFFFFF, 0, 0, {0, 255, 255, 255}},         // exactly the pure white pixel
        {0xFFFFFF, 5, 0, {0, 0, 255, 255}},           // within 5 on every channel
        {0xFFFFFF, 0x050505, 0, {0, 0, 255, 255}},    // tolerance bytes per channel: 5 each
        {0xFFFFFF, 0x050000, 0, {0, 255, 255, 255}},  // blue 5 only: near white differs in red
        {0x0000FF, 0, 300, {255, 255, 255, 127}},     // red key; alpha out of range writes 127
        {0x000000, -2, 10, {255, 255, 10, 255}},      // at or below black on every channel
        {0x0000FA, -1, 10, {10, 10, 255, 10}},        // at or above (250, 0, 0)
        {-3, 0, 60, {60, 60, 60, 60}},                // every pixel
    };
    for (const Case& c : cases) {
        int layout = 0;
        Owned out(AddTransparency(kRgb.data(), 4, 1, &layout, c.key, c.tolerance, c.alpha, nullptr, 1));
        ASSERT_NE(out.p, nullptr) << c.key;
        EXPECT_EQ(layout, 5);
        EXPECT_EQ(Alphas(out.p, 4), c.expect) << std::hex << c.key << " tol " << c.tolerance;
        EXPECT_EQ(Bytes(out.p + 12, 3), (std::vector<unsigned char>{0, 0, 255}));  // B, G, R of red
    }
}

TEST(AddTransparency, AutomaticThresholds) {
    // left half dark (20, 30, 40), right half bright (200, 210, 220)
    std::vector<unsigned char> rgb;
    for (int i = 0; i < 8; ++i) {
        const unsigned char d[3] = {20, 30, 40}, b[3] = {200, 210, 220};
        rgb.insert(rgb.end(), i % 4 < 2 ? d : b, (i % 4 < 2 ? d : b) + 3);
    }
    const std::vector<unsigned char> all = {0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<unsigned char> dark = {0, 0, 255, 255, 0, 0, 255, 255};
    const std::vector<unsigned char> bright = {255, 255, 0, 0, 255, 255, 0, 0};
    struct Case {
        int key, tolerance;
        std::vector<unsigned char> expect;  // 0: the alpha value, 255: kept
    } cases[] = {
        {-1, -1, all},                       // per-channel Otsu picks the dark level: everything is at or above it
        {-1, -2, dark},                      // at or below it
        {-1, 0, dark},                       // equal to it
        {-2, -1, bright},                    // per-channel mean (110, 120, 130)
        {-2, -2, dark},   {-5, -2, dark},    // luma Otsu (28)
        {-5, -1, all},    {-6, -1, bright},  // luma mean (118)
    };
    for (const Case& c : cases) {
        int layout = 0;
        Owned out(AddTransparency(rgb.data(), 4, 2, &layout, c.key, c.tolerance, 0, nullptr, 1));
        ASSERT_NE(out.p, nullptr);
        EXPECT_EQ(Alphas(out.p, 8), c.expect) << c.key << " tol " << c.tolerance;
    }
}

TEST(AddTransparency, GreyForPngGetsGreyAlpha) {
    const std::vector<unsigned char> grey = {10, 100, 103, 250};
    struct Case {
        int key, tolerance;
        std::vector<unsigned char> expect;
    } cases[] = {
        {100, 5, {255, 9, 9, 255}}, {100, -1, {255, 9, 9, 9}},    {100, -2, {9, 9, 255, 255}},
        {-3, 0, {9, 9, 9, 9}},      {-2, -1, {255, 255, 255, 9}},  // mean 115    {0x1FF64, 3, {255, 9, 9, 255}},
    };
    for (const Case& c : cases) {
        int layout = 2;
        Owned out(AddTransparency(grey.data(), 4, 1, &layout, c.key, c.tolerance, 9, nullptr, 4));
        ASSERT_NE(out.p, nullptr);
        EXPECT_EQ(layout, 6);
        EXPECT_EQ(Alphas(out.p, 4, 2), c.expect) << c.key << " tol " << c.tolerance;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out[2 * i], grey[i]);
    }
    // the same grey aimed at BMP becomes B, G, R, A
    int layout = 1;
    Owned bgra(AddTransparency(grey.data(), 4, 1, &layout, 100, 5, 9, nullptr, 1));
    EXPECT_EQ(layout, 5);
    EXPECT_EQ(Bytes(bgra.p, 8), (std::vector<unsigned char>{10, 10, 10, 255, 100, 100, 100, 9}));
    // an alpha plane replaces the alpha bytes before the key applies
    const std::vector<unsigned char> plane = {1, 2, 3, 4};
    layout = 2;
    Owned planed(AddTransparency(grey.data(), 4, 1, &layout, 250, 0, 9, plane.data(), 4));
    EXPECT_EQ(Alphas(planed.p, 4, 2), (std::vector<unsigned char>{1, 2, 3, 9}));
}

TEST(AddTransparency, PremultipliedAndStraightInputs) {
    // B, G, R, A premultiplied: (50, 100, 20, 128) is straight (99, 199, 39)
    const std::vector<unsigned char> pre = {50, 100, 20, 128, 7, 8, 9, 0, 255, 255, 255, 255};
    int layout = 4;
    Owned un(AddTransparency(pre.data(), 3, 1, &layout, -4, 0, 0, nullptr, 1));
    ASSERT_NE(un.p, nullptr);
    EXPECT_EQ(layout, 5);
    EXPECT_EQ(Bytes(un.p, 12), (std::vector<unsigned char>{99, 199, 39, 128, 7, 8, 9, 0, 255, 255, 255, 255}));
    layout = 4;
    Owned keyed(AddTransparency(pre.data(), 3, 1, &layout, 0xFFFFFF, 0, 1, nullptr, 1));
    EXPECT_EQ(Bytes(keyed.p, 12), (std::vector<unsigned char>{99, 199, 39, 128, 7, 8, 9, 0, 255, 255, 255, 1}));
    layout = 5;
    Owned straight(AddTransparency(pre.data(), 3, 1, &layout, 0x070809, 0, 77, nullptr, 1));
    EXPECT_EQ(Bytes(straight.p, 8), (std::vector<unsigned char>{50, 100, 20, 128, 7, 8, 9, 77}));
    layout = 0;
    EXPECT_EQ(AddTransparency(kRgb.data(), 4, 1, &layout, -4, 0, 0, nullptr, 1), nullptr);
}

TEST(AddTransparency, RefusesBadArguments) {
    const std::vector<unsigned char> px(16, 0);
    struct Case {
        const unsigned char* p;
        int w, h, layout, key;
    } cases[] = {{nullptr, 1, 1, 0, 0},   {px.data(), 0, 1, 0, 0}, {px.data(), 1, 32768, 0, 0},
                 {px.data(), 1, 1, 3, 0}, {px.data(), 1, 1, 6, 0}, {px.data(), 1, 1, -1, 0},
                 {px.data(), 1, 1, 0, -7}};
    for (const Case& c : cases) {
        int layout = c.layout;
        EXPECT_EQ(AddTransparency(c.p, c.w, c.h, &layout, c.key, 0, 0, nullptr, 4), nullptr);
        EXPECT_EQ(layout, c.layout);
    }
    EXPECT_EQ(AddTransparency(px.data(), 1, 1, nullptr, 0, 0, 0, nullptr, 4), nullptr);
}

TEST(AlphaEntries, KeyedPixelsSurviveBmpAndPng) {
    for (int format : {1, 4}) {
        Owned out;
        int len = 0;
        const int n = SaveImgBuffAlpha(out.addr(), &len, format, kRgb.data(), 4, 1, 0, 96, 0xFFFFFF, 0, 0, nullptr);
        ASSERT_GT(n, 0) << format;
        Owned img;
        int w = 0, h = 0, layout = -1, dpi = -1;
        ASSERT_EQ(LoadImgBuff(img.addr(), &w, &h, &layout, &dpi, -3, out.p, n), format);
        ASSERT_EQ(layout, 5);
        EXPECT_EQ(Alphas(img.p, 4), (std::vector<unsigned char>{0, 255, 255, 255})) << format;
        EXPECT_EQ(Bytes(img.p + 12, 4), (std::vector<unsigned char>{0, 0, 255, 255}));
    }
    // grey written as PNG carries grey with alpha
    const std::vector<unsigned char> grey = {0, 128, 255, 128};
    Owned out;
    int len = 0;
    const int n = SaveImgBuffAlpha(out.addr(), &len, 4, grey.data(), 2, 2, 2, 96, 128, 0, 0, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_EQ(out[25], 4);  // colour type grey with alpha
    Owned img;
    int w = 0, h = 0, layout = -1, dpi = -1;
    ASSERT_EQ(LoadImgBuff(img.addr(), &w, &h, &layout, &dpi, -3, out.p, n), 4);
    EXPECT_EQ(Alphas(img.p, 4), (std::vector<unsigned char>{255, 0, 255, 0}));
    const std::string path = fmt_test::TempPath("alpha.png");
    EXPECT_GT(SaveImgFileAlpha(path.c_str(), grey.data(), 2, 2, 2, 96, 128, 0, 0, nullptr), 8);
    EXPECT_EQ(LoadImgFile(path.c_str(), nullptr, &w, &h, &layout, &dpi, -1), 4);
}

}  // namespace
