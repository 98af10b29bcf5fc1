// Geometry transforms and channel statistics of pixel buffers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "formats_util.h"
#include "img_buffer.h"
#include "img_geometry.h"

using fmt_test::Bytes;
using fmt_test::Owned;
using fmt_test::Pattern;

namespace {

unsigned char* Dup(const std::vector<unsigned char>& v) {
    unsigned char* p = static_cast<unsigned char*>(malloc(v.size()));
    memcpy(p, v.data(), v.size());
    return p;
}

TEST(SinCosQ14, QuadrantsAndExactTable) {
    struct Case {
        int angle, sine, expect;
    } cases[] = {{30, 1, 8192},  {90, 0, 0},     {180, 0, -16384}, {270, 1, -16384}, {0, 0, 16384},   {0, 1, 0},
                 {45, 1, 11585}, {45, 0, 11585}, {150, 1, 8192},   {210, 1, -8192},  {330, 0, 14188}, {120, 0, -8192},
                 {359, 1, -285}, {1, 1, 285},    {90, 1, 16384},   {300, 0, 8192}};
    for (const Case& c : cases)
        EXPECT_EQ(SinCosQ14(c.angle, c.sine), c.expect) << c.angle << (c.sine ? " sin" : " cos");
    // sin and cos of one angle are the two table ends of one quadrant
    for (int a = 0; a < 360; ++a) {
        const long s = SinCosQ14(a, 1), co = SinCosQ14(a, 0);
        EXPECT_NEAR(double(s * s + co * co), 16384.0 * 16384.0, 3 * 16384.0) << a;
        EXPECT_EQ(SinCosQ14(a, 1), -SinCosQ14((a + 90) % 360, 0)) << a;
        EXPECT_EQ(SinCosQ14(a, 0), SinCosQ14((a + 90) % 360, 1)) << a;
    }
}

TEST(RotateImgQuarter, TwoByOneExamples) {
    struct Case {
        int turns, w, h;
        unsigned char out[2];
    } cases[] = {{1, 1, 2, {'a', 'b'}},     {-1, 1, 2, {'b', 'a'}},    {3, 1, 2, {'b', 'a'}},
                 {2, 2, 1, {'b', 'a'}},     {-1000, 2, 1, {'b', 'a'}}, {-1001, 2, 1, {'a', 'b'}},
                 {-5000, 2, 1, {'a', 'b'}}, {5, 1, 2, {'a', 'b'}},     {4, 2, 1, {'a', 'b'}}};
    for (const Case& c : cases) {
        for (int flag = 0; flag < 2; ++flag) {
            Owned img(Dup({'a', 'b'}));
            int w = 2, h = 1;
            unsigned char* r = RotateImgQuarter(img.p, &w, &h, 1, c.turns, flag);
            ASSERT_NE(r, nullptr) << c.turns;
            EXPECT_EQ(w, c.w) << c.turns;
            EXPECT_EQ(h, c.h) << c.turns;
            EXPECT_EQ(r[0], c.out[0]) << c.turns << " flag " << flag;
            EXPECT_EQ(r[1], c.out[1]) << c.turns << " flag " << flag;
            if (flag) {
                EXPECT_NE(r, img.p);
                free(r);
            } else {
                EXPECT_EQ(r, img.p);
            }
        }
    }
}

TEST(RotateImgQuarter, ColourMappingAndRoundTrips) {
    const int w = 3, h = 2;
    const std::vector<unsigned char> src = Pattern(w, h, 3);
    Owned img(Dup(src));
    int rw = w, rh = h;
    Owned cw(RotateImgQuarter(img.p, &rw, &rh, 0, 1, 1));
    ASSERT_NE(cw.p, nullptr);
    ASSERT_EQ(rw, 2);
    ASSERT_EQ(rh, 3);
    for (int r = 0; r < rh; ++r)
        for (int c = 0; c < rw; ++c)
            for (int k = 0; k < 3; ++k) EXPECT_EQ(cw[(r * rw + c) * 3 + k], src[((h - 1 - c) * w + r) * 3 + k]);
    int ccw_w = w, ccw_h = h;
    Owned ccw(RotateImgQuarter(img.p, &ccw_w, &ccw_h, 0, 3, 1));
    for (int r = 0; r < ccw_h; ++r)
        for (int c = 0; c < ccw_w; ++c)
            for (int k = 0; k < 3; ++k) EXPECT_EQ(ccw[(r * ccw_w + c) * 3 + k], src[(c * w + (w - 1 - r)) * 3 + k]);
    // four quarter turns in place give the picture back
    rw = w;
    rh = h;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(RotateImgQuarter(img.p, &rw, &rh, 0, 1, 0), img.p);
    EXPECT_EQ(Bytes(img.p, src.size()), src);
    EXPECT_EQ(rw, w);
}

TEST(RotateImgQuarterInPlace, TurnsAndRefusals) {
    const std::vector<unsigned char> src = Pattern(5, 3, 1);
    for (int turns : {1, 2, 3, -1, 7}) {
        unsigned char* img = Dup(src);
        int w = 5, h = 3;
        ASSERT_EQ(RotateImgQuarterInPlace(&img, &w, &h, 2, turns), 1) << turns;
        Owned ref_src(Dup(src));
        int rw = 5, rh = 3;
        Owned ref(RotateImgQuarter(ref_src.p, &rw, &rh, 2, turns, 1));
        EXPECT_EQ(w, rw);
        EXPECT_EQ(h, rh);
        EXPECT_EQ(Bytes(img, src.size()), Bytes(ref.p, src.size())) << turns;
        free(img);
    }
    for (int turns : {0, 4, -4, -1000}) {
        Owned img(Dup(src));
        int w = 5, h = 3;
        EXPECT_EQ(RotateImgQuarterInPlace(img.addr(), &w, &h, 2, turns), 0) << turns;
        EXPECT_EQ(Bytes(img.p, src.size()), src);
        EXPECT_EQ(w, 5);
    }
}

TEST(FlipMirrorInvert, InvolutionsAndExamples) {
    unsigned char rows[] = {1, 2, 3, 4, 5, 6};  // 3 x 2 grey
    ASSERT_EQ(FlipImgRows(rows, 3, 2, 1), 1);
    EXPECT_EQ(Bytes(rows, 6), (std::vector<unsigned char>{4, 5, 6, 1, 2, 3}));
    ASSERT_EQ(MirrorImgCols(rows, 3, 2, 1), 1);
    EXPECT_EQ(Bytes(rows, 6), (std::vector<unsigned char>{6, 5, 4, 3, 2, 1}));
    unsigned char rgb[] = {1, 2, 3, 4, 5, 6};  // 2 x 1 colour
    ASSERT_EQ(MirrorImgCols(rgb, 2, 1, 0), 1);
    EXPECT_EQ(Bytes(rgb, 6), (std::vector<unsigned char>{4, 5, 6, 1, 2, 3}));
    ASSERT_EQ(InvertImg(rgb, 2, 1, 0), 1);
    EXPECT_EQ(Bytes(rgb, 6), (std::vector<unsigned char>{251, 250, 249, 254, 253, 252}));
    SwapRedBlue(rgb, 2, 1, 0);
    EXPECT_EQ(Bytes(rgb, 6), (std::vector<unsigned char>{249, 250, 251, 252, 253, 254}));
    SwapRedBlue(rgb, 2, 1, 1);  // grey: untouched
    EXPECT_EQ(rgb[0], 249);

    const std::vector<unsigned char> src = Pattern(7, 5, 3);
    std::vector<unsigned char> v = src;
    for (auto op : {FlipImgRows, MirrorImgCols, InvertImg}) {
        ASSERT_EQ(op(v.data(), 7, 5, 0), 1);
        EXPECT_NE(v, src);
        ASSERT_EQ(op(v.data(), 7, 5, 0), 1);
        EXPECT_EQ(v, src);
    }
    EXPECT_EQ(FlipImgRows(v.data(), 7, 1, 0), 1);
    EXPECT_EQ(v, src);
}

TEST(Geometry, BadArgumentsFail) {
    unsigned char px[12] = {0};
    int w = 2, h = 2;
    struct Case {
        unsigned char* p;
        int w, h, layout;
    } cases[] = {{nullptr, 2, 2, 1}, {px, 0, 2, 1},  {px, 2, 0, 1}, {px, 32768, 1, 1},
                 {px, 2, 2, 3},      {px, 2, 2, -1}, {px, 2, 2, 4}};
    for (const Case& c : cases) {
        EXPECT_EQ(InvertImg(c.p, c.w, c.h, c.layout), 0);
        EXPECT_EQ(FlipImgRows(c.p, c.w, c.h, c.layout), 0);
        EXPECT_EQ(MirrorImgCols(c.p, c.w, c.h, c.layout), 0);
        w = c.w;
        h = c.h;
        EXPECT_EQ(RotateImgQuarter(c.p, &w, &h, c.layout, 1, 1), nullptr);
        EXPECT_EQ(RotateImgAngle(nullptr, c.p, c.w, c.h, c.layout, 10, 0, 0, 0), nullptr);
        EXPECT_EQ(ResizeImg(c.p, c.w, c.h, nullptr, 1, 1, c.layout), nullptr);
        EXPECT_EQ(ExtractChannel(nullptr, c.p, c.w, c.h, c.layout, 0), nullptr);
    }
    EXPECT_EQ(RotateImgQuarter(px, nullptr, &h, 1, 1, 1), nullptr);
    EXPECT_EQ(ChannelMean(nullptr, 2, 2, 0, 1), 0);
    EXPECT_EQ(OtsuThreshold(px, 0, 2, 0, 1), 0);
}

TEST(RotateImgAngle, ZeroAndQuarterMatchExactTurns) {
    const std::vector<unsigned char> src = Pattern(5, 5, 3);
    Owned same(RotateImgAngle(nullptr, src.data(), 5, 5, 0, 0, 2, 2, 0));
    ASSERT_NE(same.p, nullptr);
    EXPECT_EQ(Bytes(same.p, src.size()), src);
    Owned full(RotateImgAngle(nullptr, src.data(), 5, 5, 0, 360, 1, 3, 0));
    EXPECT_EQ(Bytes(full.p, src.size()), src);

    Owned q(RotateImgAngle(nullptr, src.data(), 5, 5, 0, 90, 2, 2, 0));
    Owned copy(Dup(src));
    int w = 5, h = 5;
    Owned turned(RotateImgQuarter(copy.p, &w, &h, 0, 1, 1));
    EXPECT_EQ(Bytes(q.p, src.size()), Bytes(turned.p, src.size()));
    Owned back(RotateImgAngle(nullptr, q.p, 5, 5, 0, -90, 2, 2, 0));
    EXPECT_EQ(Bytes(back.p, src.size()), src);
}

TEST(RotateImgAngle, FillOutsideAndBorderRule) {
    // 180 degrees about (0, 0): destination column x reads source column -x
    const unsigned char row[4] = {10, 20, 30, 40};
    Owned r(RotateImgAngle(nullptr, row, 4, 1, 2, 180, 0, 0, 0x77));
    ASSERT_NE(r.p, nullptr);
    EXPECT_EQ(r[0], 10);
    EXPECT_EQ(r[1], 10);  // position -1: the index -1 counts as column 0
    EXPECT_EQ(r[2], 0x77);
    EXPECT_EQ(r[3], 0x77);

    const unsigned char rgb[3] = {1, 2, 3};
    Owned f(RotateImgAngle(nullptr, rgb, 1, 1, 0, 0, 5, 0, 0x332211));
    EXPECT_EQ(Bytes(f.p, 3), (std::vector<unsigned char>{1, 2, 3}));
    // a centre far away moves everything outside: every pixel takes the fill, nothing overflows
    for (int c : {INT_MAX, INT_MIN, 1 << 20}) {
        Owned far(RotateImgAngle(nullptr, rgb, 1, 1, 0, 45, c, c, 0x332211));
        EXPECT_EQ(Bytes(far.p, 3), (std::vector<unsigned char>{0x11, 0x22, 0x33})) << c;
    }
}

TEST(RotateImgAngle, SourcesUpToTwoPixelsOutsideTakeTheEdge) {
    // Column 0 is 200, the rest of row 0 is 150, everything else 30; the fill is 7. A source
    // position whose truncated quotient is -1 (up to two pixels left of or above the picture)
    // takes the edge colour; from -2 on it takes the fill. Positions in pixels, about (0, 0).
    const int n = 8;
    std::vector<unsigned char> src(n * n, 30);
    for (int i = 0; i < n; ++i) src[i] = 150;
    for (int i = 0; i < n; ++i) src[i * n] = 200;
    struct Case {
        int angle, x, y, want;
        const char* source;
    } cases[] = {
        {330, 0, 1, 200, "x -0.50, y 0.87"},  {330, 0, 2, 200, "x -1.00, y 1.73"}, {330, 0, 3, 200, "x -1.50, y 2.60"},
        {330, 1, 4, 200, "x -1.13, y 3.96"},  {330, 1, 5, 200, "x -1.63, y 4.83"}, {330, 0, 4, 7, "x -2.00, y 3.46"},
        {330, 1, 6, 7, "x -2.13, y 5.70"},    {30, 3, 0, 150, "x 2.60, y -1.50"},  {30, 4, 1, 150, "x 3.96, y -1.13"},
        {30, 5, 1, 150, "x 4.83, y -1.63"},   {30, 4, 0, 7, "x 3.46, y -2.00"},    {30, 6, 1, 7, "x 5.70, y -2.13"},
        {225, 0, 2, 200, "x -1.41, y -1.41"}, {225, 1, 1, 200, "x -1.41, y 0"},    {225, 0, 3, 7, "x -2.12, y -2.12"},
    };
    for (const Case& c : cases) {
        Owned r(RotateImgAngle(nullptr, src.data(), n, n, 1, c.angle, 0, 0, 7));
        ASSERT_NE(r.p, nullptr);
        EXPECT_EQ(r[c.y * n + c.x], c.want) << c.angle << " degrees, source " << c.source;
    }
}

TEST(RotateImgAngle, FillExactlyWhereTheTruncatedSourceIsOutside) {
    // Every destination pixel of a flat picture is either the fill or the flat value, and the
    // fill exactly where the truncated source position lies outside; the source buffer has
    // exactly the picture's bytes, so a read beyond it shows under the sanitizers.
    struct Size {
        int w, h;
    } sizes[] = {{1, 1}, {5, 3}, {4, 7}};
    for (int layout : {0, 1}) {
        const int bpp = layout == 0 ? 3 : 1;
        for (const Size& z : sizes) {
            const size_t bytes = static_cast<size_t>(z.w) * z.h * bpp;
            Owned src(static_cast<unsigned char*>(malloc(bytes)));
            memset(src.p, 100, bytes);
            const int centres[][2] = {{0, 0}, {2, 1}, {-3, 5}, {z.w, z.h}};
            for (int a = 0; a < 360; a += 11) {
                for (const auto& ce : centres) {
                    Owned r(RotateImgAngle(nullptr, src.p, z.w, z.h, layout, a, ce[0], ce[1], 0x070707));
                    ASSERT_NE(r.p, nullptr);
                    const long s = SinCosQ14(a, 1), co = SinCosQ14(a, 0);
                    for (int y = 0; y < z.h; ++y)
                        for (int x = 0; x < z.w; ++x) {
                            const long sx = co * (x - ce[0]) + s * (y - ce[1]) + 16384L * ce[0];
                            const long sy = -s * (x - ce[0]) + co * (y - ce[1]) + 16384L * ce[1];
                            const long tx = sx / 16384, ty = sy / 16384;
                            const bool fill = !(tx >= -1 && ty >= -1 && tx < z.w && ty < z.h);
                            for (int k = 0; k < bpp; ++k)
                                ASSERT_EQ(r[(y * z.w + x) * bpp + k], fill ? 7 : 100)
                                    << "layout " << layout << " " << z.w << "x" << z.h << " angle " << a << " centre "
                                    << ce[0] << "," << ce[1] << " at " << x << "," << y;
                        }
                }
            }
        }
    }
}

TEST(RotateImgAngle, ForthAndBackKeepsTheInterior) {
    const int n = 64;
    std::vector<unsigned char> src(n * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) src[y * n + x] = static_cast<unsigned char>(x * 2 + y);
    for (int a : {17, 30, 45, 123}) {
        Owned fwd(RotateImgAngle(nullptr, src.data(), n, n, 1, a, n / 2, n / 2, 0));
        std::vector<unsigned char> back(n * n);
        ASSERT_EQ(RotateImgAngle(back.data(), fwd.p, n, n, 1, -a, n / 2, n / 2, 0), back.data());
        int worst = 0;
        for (int y = n / 2 - 12; y < n / 2 + 12; ++y)
            for (int x = n / 2 - 12; x < n / 2 + 12; ++x)
                worst = std::max(worst, std::abs(int(back[y * n + x]) - src[y * n + x]));
        EXPECT_LE(worst, 3) << a;
    }
}

TEST(ResizeImg, BoxBilinearAndCopy) {
    const unsigned char grid[16] = {1, 2, 5, 6, 3, 4, 7, 8, 9, 10, 13, 14, 11, 12, 15, 200};
    Owned half(ResizeImg(grid, 4, 4, nullptr, 2, 2, 1));
    ASSERT_NE(half.p, nullptr);
    EXPECT_EQ(Bytes(half.p, 4), (std::vector<unsigned char>{3, 7, 11, 61}));  // (13 + 14 + 15 + 200 + 2) >> 2

    const unsigned char flat[16] = {0, 100, 0, 0, 100, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Owned three(ResizeImg(flat, 4, 4, nullptr, 3, 3, 2));
    ASSERT_NE(three.p, nullptr);
    EXPECT_EQ(three[0], 75);  // rows 0, 1 and columns 0, 1 half each: (0 + 100 + 100 + 100) / 4

    unsigned char same[16];
    EXPECT_EQ(ResizeImg(grid, 4, 4, same, 4, 4, 1), same);
    EXPECT_EQ(Bytes(same, 16), Bytes(grid, 16));

    // growing a flat colour image stays flat
    const unsigned char px[3] = {9, 99, 199};
    Owned big(ResizeImg(px, 1, 1, nullptr, 5, 3, 0));
    for (int i = 0; i < 15; ++i) EXPECT_EQ(Bytes(big.p + 3 * i, 3), Bytes(px, 3));
    EXPECT_EQ(ResizeImg(px, 1, 1, nullptr, 0, 3, 0), nullptr);
}

TEST(ResizeImgToWidth, ScalesHeightAndRefusesZero) {
    unsigned char* img = Dup(Pattern(8, 4, 3));
    int w = 8, h = 4;
    ASSERT_EQ(ResizeImgToWidth(&img, &w, &h, 0, 4), 1);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(ResizeImgToWidth(&img, &w, &h, 0, 1), 0);  // 1 x 2 / 4 = 0 rows
    EXPECT_EQ(w, 4);
    free(img);
}

TEST(CropImg, FillModesAndWindows) {
    const std::vector<unsigned char> src = Pattern(4, 4, 1);
    Owned filled(CropImg(nullptr, -2, -2, 4, 4, src.data(), 4, 4, 0, 0));
    ASSERT_NE(filled.p, nullptr);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(filled[y * 4 + x], (x < 2 || y < 2) ? 0 : src[(y - 2) * 4 + (x - 2)]) << x << "," << y;
    Owned moved(CropImg(nullptr, -2, -2, 4, 4, src.data(), 4, 4, 0, -1));
    EXPECT_EQ(Bytes(moved.p, 16), src);
    Owned moved2(CropImg(nullptr, 3, 3, 2, 2, src.data(), 4, 4, 0, -1));  // pulled back to (2, 2)
    EXPECT_EQ(Bytes(moved2.p, 4), (std::vector<unsigned char>{src[10], src[11], src[14], src[15]}));
    EXPECT_EQ(CropImg(nullptr, 0, 0, 5, 4, src.data(), 4, 4, 0, -1), nullptr);

    // a window that misses the source stays filled; far offsets cannot overflow an index
    for (int off : {100, INT_MAX, INT_MIN, -3}) {
        Owned miss(CropImg(nullptr, off, 0, 2, 1, src.data(), 4, 4, 1, 0x030201));
        ASSERT_NE(miss.p, nullptr) << off;
        EXPECT_EQ(Bytes(miss.p, 6), (std::vector<unsigned char>{1, 2, 3, 1, 2, 3})) << off;
    }

    // mode 2 exchanges bytes 0 and 2; a negative height reads the rows bottom-up
    const unsigned char rgb[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2 x 2
    Owned swapped(CropImg(nullptr, 0, 0, 2, 1, rgb, 2, 2, 2, -1));
    EXPECT_EQ(Bytes(swapped.p, 6), (std::vector<unsigned char>{3, 2, 1, 6, 5, 4}));
    Owned up(CropImg(nullptr, 0, 0, 2, 1, rgb, 2, -2, 1, -1));
    EXPECT_EQ(Bytes(up.p, 6), (std::vector<unsigned char>{7, 8, 9, 10, 11, 12}));

    EXPECT_EQ(CropImg(nullptr, 0, 0, 0, 1, src.data(), 4, 4, 0, 0), nullptr);
    EXPECT_EQ(CropImg(nullptr, 0, 0, 1, 1, src.data(), 4, 4, 3, 0), nullptr);
    EXPECT_EQ(CropImg(nullptr, 0, 0, 1, 1, src.data(), 4, 0, 0, 0), nullptr);
}

TEST(ExtractChannel, ChannelsOfRed) {
    const unsigned char red[3] = {255, 0, 0};
    const int expect[] = {255, 0, 0, 76, 0, 156, 0, 0};
    const int channel[] = {0, 1, 2, 3, 4, 5, 6, -1};
    for (int i = 0; i < 8; ++i) {
        Owned c(ExtractChannel(nullptr, red, 1, 1, 0, channel[i]));
        ASSERT_NE(c.p, nullptr);
        EXPECT_EQ(c[0], expect[i]) << channel[i];
    }
    const unsigned char grey[2] = {7, 8};
    Owned g(ExtractChannel(nullptr, grey, 2, 1, 2, 4));
    EXPECT_EQ(Bytes(g.p, 2), Bytes(grey, 2));
}

TEST(ChannelStatistics, OtsuAndMean) {
    std::vector<unsigned char> two(100, 10);
    std::fill(two.begin() + 50, two.end(), 200);
    EXPECT_EQ(OtsuThreshold(two.data(), 10, 10, 0, 1), 10);
    EXPECT_EQ(ChannelMean(two.data(), 10, 10, 0, 1), 105);
    std::vector<unsigned char> flat(16, 42);
    EXPECT_EQ(OtsuThreshold(flat.data(), 4, 4, 0, 1), 0);
    EXPECT_EQ(ChannelMean(flat.data(), 4, 4, 0, 1), 42);

    // B, G, R, A pixels: offset and step pick one channel
    std::vector<unsigned char> bgra;
    for (int i = 0; i < 8; ++i) {
        const unsigned char px[4] = {static_cast<unsigned char>(i < 4 ? 20 : 220), 5, 9, 255};
        bgra.insert(bgra.end(), px, px + 4);
    }
    EXPECT_EQ(OtsuThreshold(bgra.data(), 4, 2, 0, 4), 20);
    EXPECT_EQ(ChannelMean(bgra.data(), 4, 2, 0, 4), 120);
    EXPECT_EQ(ChannelMean(bgra.data(), 4, 2, 2, 4), 9);
    EXPECT_EQ(ChannelMean(bgra.data(), 4, 2, 3, 4), 255);
    // out-of-range offset and step fall back to 0 and 1
    EXPECT_EQ(ChannelMean(two.data(), 10, 10, 9, 0), 105);
}

TEST(SplitColour, BytesAndNullPointers) {
    int r = -1, g = -1, b = -1;
    SplitColour(0x7F8090A0, &r, &g, &b);
    EXPECT_EQ(r, 0xA0);
    EXPECT_EQ(g, 0x90);
    EXPECT_EQ(b, 0x80);
    SplitColour(0x123456, nullptr, &g, nullptr);
    EXPECT_EQ(g, 0x34);
}

}  // namespace
