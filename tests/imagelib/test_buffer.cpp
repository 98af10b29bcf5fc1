// Buffer ownership and colour conversions of the image library, through its exported functions.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "img_buffer.h"

TEST(ImgBuffer, AllocKeepsBlockOnlyWhenAllSizesAreGivenAndEqual) {
    unsigned char* img = nullptr;
    int w = 0, h = 0, l = -1;
    ASSERT_EQ(AllocImgData(&img, &w, &h, &l, 320, 240, 1), 1);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(l, 1);
    unsigned char* first = img;
    ASSERT_EQ(AllocImgData(&img, &w, &h, &l, 320, 240, 1), 1);
    EXPECT_EQ(img, first);
    // Growing to colour must give a block large enough for 3 bytes a pixel.
    ASSERT_EQ(AllocImgData(&img, &w, &h, &l, 320, 240, 0), 1);
    std::memset(img, 0xAB, 320 * 240 * 3);
    EXPECT_EQ(l, 0);
    ASSERT_EQ(AllocImgData(&img, nullptr, nullptr, nullptr, 4, 4, 6), 1);
    std::memset(img, 1, 4 * 4 * 4);
    FreeImgData(&img);
    EXPECT_EQ(img, nullptr);
}

TEST(ImgBuffer, AllocRefusesBadArgumentsAndOversizedProducts) {
    unsigned char* img = nullptr;
    EXPECT_EQ(AllocImgData(nullptr, nullptr, nullptr, nullptr, 1, 1, 0), 0);
    EXPECT_EQ(AllocImgData(&img, nullptr, nullptr, nullptr, 0, 1, 0), 0);
    EXPECT_EQ(AllocImgData(&img, nullptr, nullptr, nullptr, 1, -1, 0), 0);
    EXPECT_EQ(img, nullptr);
    // 4 bytes a pixel at 32767 x 32767 exceeds INT_MAX: refused, the old block released.
    ASSERT_EQ(AllocImgData(&img, nullptr, nullptr, nullptr, 2, 2, 0), 1);
    EXPECT_EQ(AllocImgData(&img, nullptr, nullptr, nullptr, 32767, 32767, 5), 0);
    EXPECT_EQ(img, nullptr);
    EXPECT_EQ(AllocImgData(&img, nullptr, nullptr, nullptr, INT_MAX, INT_MAX, 0), 0);
}

TEST(ImgBuffer, ReallocBytesKeepsOrGrowsByItsRule) {
    unsigned char* buf = nullptr;
    int cap = 0;
    EXPECT_EQ(ReallocBytes(nullptr, &cap, 10), 0);
    EXPECT_EQ(ReallocBytes(&buf, &cap, 0), 1);
    EXPECT_EQ(buf, nullptr);
    ASSERT_EQ(ReallocBytes(&buf, &cap, 100), 1);
    EXPECT_EQ(cap, 100);
    unsigned char* first = buf;
    ASSERT_EQ(ReallocBytes(&buf, &cap, 50), 1);  // smaller: kept
    EXPECT_EQ(buf, first);
    EXPECT_EQ(cap, 100);
    ASSERT_EQ(ReallocBytesExact(&buf, &cap, 100), 1);
    EXPECT_EQ(buf, first);
    ASSERT_EQ(ReallocBytesExact(&buf, &cap, 60), 1);  // not equal: resized
    EXPECT_EQ(cap, 60);
    std::memset(buf, 0, 60);
    FreeImgBuffLen(&buf, &cap);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(cap, 0);
    FreeImgBuff(&buf);  // NULL block: nothing
    FreeImgBuff(nullptr);
}

TEST(ImgBuffer, EncodeCapacityTable) {
    struct Case {
        int w, h, layout, want;
    } cases[] = {
        {320, 240, 1, 76800 + 38400 + 5120},
        {320, 240, 2, 120320},
        {10, 10, 0, 300 + 150 + 5120},
        {10, 10, 4, 400 + 200 + 5120},
        {10, 10, 5, 400 + 200 + 5120},
        {10, 10, 6, 200 + 100 + 5120},
        {1, 1, 3, 1 + 0 + 5120},
    };
    for (const Case& c : cases) {
        unsigned char* buf = nullptr;
        int cap = 0;
        ASSERT_EQ(GetEncodeCapacity(&buf, &cap, c.w, c.h, c.layout), 1);
        EXPECT_EQ(cap, c.want) << c.w << "x" << c.h << " layout " << c.layout;
        FreeImgBuff(&buf);
    }
    unsigned char* buf = nullptr;
    int cap = 0;
    EXPECT_EQ(GetEncodeCapacity(&buf, &cap, 32767, 32767, 5), 0);
    EXPECT_EQ(buf, nullptr);
}

TEST(ImgBuffer, FreeDataSizeClearsSizes) {
    unsigned char* img = static_cast<unsigned char*>(std::malloc(4));
    int w = 2, h = 2;
    FreeImgDataSize(&img, &w, &h);
    EXPECT_EQ(img, nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    FreeImgDataSize(&img, nullptr, nullptr);
}

TEST(ImgBuffer, CopyImgCopiesThePixelSizeOfEachLayout) {
    unsigned char src[2 * 2 * 4];
    for (int i = 0; i < 16; ++i) src[i] = static_cast<unsigned char>(i + 1);
    struct Case {
        int layout, bytes;
    } cases[] = {{0, 12}, {1, 4}, {2, 4}, {4, 16}, {5, 16}, {6, 8}};
    for (const Case& c : cases) {
        unsigned char* dst = CopyImg(nullptr, src, 2, 2, c.layout);
        ASSERT_NE(dst, nullptr);
        EXPECT_EQ(std::memcmp(dst, src, static_cast<size_t>(c.bytes)), 0) << c.layout;
        std::free(dst);
    }
    unsigned char into[16] = {0};
    EXPECT_EQ(CopyImg(into, src, 2, 2, 6), into);
    EXPECT_EQ(std::memcmp(into, src, 8), 0);
    EXPECT_EQ(into[8], 0);  // grey with alpha: two bytes a pixel, nothing beyond
    EXPECT_EQ(CopyImg(nullptr, nullptr, 2, 2, 0), nullptr);
    EXPECT_EQ(CopyImg(nullptr, src, 0, 2, 0), nullptr);
    EXPECT_EQ(CopyImg(nullptr, src, 32768, 2, 0), nullptr);
    EXPECT_EQ(CopyImg(nullptr, src, 2, 2, -1), nullptr);
}

TEST(ImgBuffer, LittleEndianCursor) {
    unsigned char b[6];
    unsigned char* w = b;
    WriteLe16(&w, 0x1234);
    WriteLe32(&w, 0xA1B2C3D4u);
    EXPECT_EQ(w, b + 6);
    const unsigned char expect[6] = {0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(std::memcmp(b, expect, 6), 0);
    const unsigned char* r = b;
    EXPECT_EQ(ReadLe16(&r), 0x1234);
    EXPECT_EQ(ReadLe32(&r), 0xA1B2C3D4u);
    EXPECT_EQ(r, b + 6);
}

TEST(ImgConvert, LumaAndChromaTable) {
    struct Case {
        unsigned char p[3];
        int rgb, bgr, u, v;
    } cases[] = {
        {{255, 255, 255}, 255, 255, 0, 0}, {{0, 0, 0}, 0, 0, 0, 0},       {{255, 0, 0}, 76, 29, 0, 156},
        {{0, 0, 255}, 29, 76, 111, 0},     {{0, 255, 0}, 150, 150, 0, 0}, {{10, 20, 30}, 18, 22, 5, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LumaRgb(c.p), c.rgb);
        EXPECT_EQ(LumaBgr(c.p), c.bgr);
        EXPECT_EQ(ChromaU(c.p), c.u);
        EXPECT_EQ(ChromaV(c.p), c.v);
    }
    // Independent check of the formula over every grey level and a spread of colours.
    for (int r = 0; r < 256; r += 17)
        for (int g = 0; g < 256; g += 15)
            for (int b = 0; b < 256; b += 51) {
                unsigned char p[3] = {static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                                      static_cast<unsigned char>(b)};
                ASSERT_EQ(LumaRgb(p), (4899 * r + 9617 * g + 1868 * b + 8192) >> 14);
            }
}

TEST(ImgConvert, ToGreySelectorsAndCopyFlag) {
    const unsigned char rgb[6] = {255, 0, 0, 0, 0, 255};
    unsigned char* g1 = ToGrey(nullptr, rgb, 2, 1, 1, 0);
    ASSERT_NE(g1, nullptr);
    EXPECT_EQ(g1[0], 76);
    EXPECT_EQ(g1[1], 29);
    unsigned char* g2 = ToGrey(nullptr, rgb, 2, 1, 2, 0);
    ASSERT_NE(g2, nullptr);
    EXPECT_EQ(g2[0], 29);
    EXPECT_EQ(g2[1], 76);
    std::free(g1);
    std::free(g2);
    const unsigned char grey[2] = {7, 9};
    EXPECT_EQ(ToGrey(nullptr, grey, 2, 1, 0, 0), grey);
    unsigned char* copy = ToGrey(nullptr, grey, 2, 1, 0, 1);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, grey);
    EXPECT_EQ(copy[1], 9);
    std::free(copy);
    EXPECT_EQ(ToGrey(nullptr, grey, 2, 1, 3, 0), nullptr);
    EXPECT_EQ(ToGrey(nullptr, nullptr, 2, 1, 0, 0), nullptr);
}

TEST(ImgConvert, ToGreyInPlaceSetsTheLayoutOfItsSelector) {
    for (int sel = 0; sel < 3; ++sel) {
        unsigned char* img = static_cast<unsigned char*>(std::malloc(3));
        img[0] = 255;
        img[1] = 10;
        img[2] = 0;
        int layout = 0;
        ASSERT_EQ(ToGreyInPlace(&img, 1, 1, &layout, sel), 1);
        const int want[3] = {10, LumaRgb((const unsigned char[]){255, 10, 0}),
                             LumaBgr((const unsigned char[]){255, 10, 0})};
        EXPECT_EQ(img[0], want[sel]);
        EXPECT_EQ(layout, sel == 0 ? 1 : 2);
        // Only colour converts.
        EXPECT_EQ(ToGreyInPlace(&img, 1, 1, &layout, sel), 0);
        std::free(img);
    }
}

TEST(ImgConvert, GreyToRgbAndForWsq) {
    unsigned char* img = static_cast<unsigned char*>(std::malloc(2));
    img[0] = 3;
    img[1] = 200;
    int layout = 2;
    ASSERT_EQ(GreyToRgb(&img, 2, 1, &layout, 1), 1);  // request other than 0: unchanged
    EXPECT_EQ(layout, 2);
    ASSERT_EQ(GreyToRgb(&img, 2, 1, &layout, 0), 1);
    EXPECT_EQ(layout, 0);
    const unsigned char want[6] = {3, 3, 3, 200, 200, 200};
    EXPECT_EQ(std::memcmp(img, want, 6), 0);
    EXPECT_EQ(GreyToRgb(&img, 2, 1, nullptr, 0), 0);
    unsigned char* w = GreyForWsq(img, 2, 1, 0, -1);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w[0], 3);
    EXPECT_EQ(w[1], 200);
    std::free(w);
    EXPECT_EQ(GreyForWsq(img, 2, 1, 1, -1), img);
    EXPECT_EQ(GreyForWsq(nullptr, 2, 1, 1, -1), nullptr);
    std::free(img);
}

TEST(ImgConvert, LumaPlaneReadsEachLayout) {
    const unsigned char rgb[3] = {255, 0, 0};
    const unsigned char bgra[4] = {255, 0, 0, 128};
    unsigned char* p = LumaPlane(rgb, 1, 1, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 76);
    std::free(p);
    p = LumaPlane(bgra, 1, 1, 5);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 29);
    std::free(p);
    EXPECT_EQ(LumaPlane(rgb, 1, 1, 3), nullptr);
    EXPECT_EQ(LumaPlane(rgb, 1, 1, 6), nullptr);
}

TEST(ImgConvert, FlattenAlphaOverBackground) {
    // Pixels B, G, R, A: transparent, opaque, half, and a premultiplied value above its alpha.
    const unsigned char px[16] = {10, 20, 30, 0, 10, 20, 30, 255, 0, 0, 200, 128, 250, 250, 250, 100};
    const int red = 0x0000FF;
    unsigned char* s = FlattenAlpha(px, 4, 1, 5, red);
    ASSERT_NE(s, nullptr);
    const unsigned char wantStraight[12] = {255,
                                            0,
                                            0,
                                            30,
                                            20,
                                            10,
                                            static_cast<unsigned char>(200 * (128 / 255.0) + 255 * (1 - 128 / 255.0)),
                                            0,
                                            0,
                                            static_cast<unsigned char>(250 * (100 / 255.0) + 255 * (1 - 100 / 255.0)),
                                            static_cast<unsigned char>(250 * (100 / 255.0)),
                                            static_cast<unsigned char>(250 * (100 / 255.0))};
    EXPECT_EQ(std::memcmp(s, wantStraight, 12), 0);
    std::free(s);
    unsigned char* m = FlattenAlpha(px, 4, 1, 4, red);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[0], 255);  // transparent: background
    EXPECT_EQ(m[3], 30);   // opaque: the pixel
    EXPECT_EQ(m[9], 255);  // 250 + 255 x 0.6 clamps instead of wrapping
    EXPECT_EQ(m[10], 250);
    std::free(m);
    EXPECT_EQ(FlattenAlpha(px, 4, 1, 6, red), nullptr);
    EXPECT_EQ(FlattenAlpha(px, 0, 1, 5, red), nullptr);
}
