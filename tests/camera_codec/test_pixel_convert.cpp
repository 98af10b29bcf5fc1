// Conversions of camera layouts to YUYV and of YUYV to RGB and planar layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec_helpers.h"
#include "pixel_convert.h"

using codec_test::Bytes;

namespace {

using PitchedFn = void (*)(unsigned char*, int, unsigned char*, int, int, int);
using PlanarFn = void (*)(unsigned char*, int, unsigned char*, int, int);

struct PackedCase {
    const char* name;
    PitchedFn fn;
    Bytes src;       // one row of two pixels
    Bytes expected;  // Y0 U Y1 V
};

TEST(PackedToYuyv, ByteOrderOfEachLayout) {
    const PackedCase cases[] = {
        {"grey", grey_to_yuyv, {10, 20}, {10, 128, 20, 128}},
        {"uyvy", uyvy_to_yuyv, {80, 10, 90, 20}, {10, 80, 20, 90}},
        {"yvyu", yvyu_to_yuyv, {10, 90, 20, 80}, {10, 80, 20, 90}},
        {"yyuv", yyuv_to_yuyv, {10, 20, 80, 90}, {10, 80, 20, 90}},
        {"y16", y16_to_yuyv, {0x34, 0x12, 0xFF, 0xAB}, {0x12, 128, 0xAB, 128}},
        {"rgb white", rgb_to_yuyv, {255, 255, 255, 255, 255, 255}, {255, 128, 255, 128}},
        {"rgb black", rgb_to_yuyv, {0, 0, 0, 0, 0, 0}, {0, 128, 0, 128}},
        // Y 76.245, U 90.515, V 284.8 clamped.
        {"rgb red", rgb_to_yuyv, {255, 0, 0, 255, 0, 0}, {76, 90, 76, 255}},
        {"bgr red", bgr_to_yuyv, {0, 0, 255, 0, 0, 255}, {76, 90, 76, 255}},
        // Blue then green: Y 29.07 / 149.69; U = (54.31 + 239.19) / 2; V = (-3.33 + 102.5) / 2.
        {"rgb blue green", rgb_to_yuyv, {0, 0, 255, 0, 255, 0}, {29, 146, 149, 49}},
    };
    for (const auto& c : cases) {
        Bytes src = c.src;
        Bytes dst(4, 0xEE);
        c.fn(dst.data(), 4, src.data(), static_cast<int>(src.size()), 2, 1);
        EXPECT_EQ(dst, c.expected) << c.name;
    }
}

TEST(PackedToYuyv, RowsAdvanceByTheirPitchesAndOddWidthsStayInsideTheRow) {
    // Width 3: one pair per row; source rows padded, destination rows padded; bytes
    // outside the converted pairs stay untouched.
    const int width = 3, height = 2, src_pitch = 8, dst_pitch = 10;
    Bytes src(src_pitch * height);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i + 1);
    Bytes dst(dst_pitch * height, 0xEE);
    uyvy_to_yuyv(dst.data(), dst_pitch, src.data(), src_pitch, width, height);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 4), (Bytes{2, 1, 4, 3}));
    EXPECT_EQ(Bytes(dst.begin() + 10, dst.begin() + 14), (Bytes{10, 9, 12, 11}));
    for (int i : {4, 5, 6, 7, 8, 9, 14, 15, 16, 17, 18, 19}) EXPECT_EQ(dst[i], 0xEE) << i;

    Bytes g(src.begin(), src.end());
    std::fill(dst.begin(), dst.end(), 0xEE);
    grey_to_yuyv(dst.data(), dst_pitch, g.data(), src_pitch, width, height);
    EXPECT_EQ(Bytes(dst.begin() + 10, dst.begin() + 14), (Bytes{9, 128, 10, 128}));
    EXPECT_EQ(dst[4], 0xEE);

    // Nothing for empty sizes.
    std::fill(dst.begin(), dst.end(), 0xEE);
    grey_to_yuyv(dst.data(), dst_pitch, g.data(), src_pitch, 0, 2);
    grey_to_yuyv(dst.data(), dst_pitch, g.data(), src_pitch, 2, -1);
    EXPECT_EQ(dst, Bytes(dst.size(), 0xEE));
}

TEST(PackedToYuyv, GreyRgbSurvivesTheRoundTripToRgb) {
    // Neutral colours: luma carries the level, chroma stays 128 (truncation may lose one level).
    for (int level : {0, 1, 64, 127, 128, 200, 254, 255}) {
        Bytes rgb(6, static_cast<unsigned char>(level));
        Bytes yuyv(4), back(6);
        rgb_to_yuyv(yuyv.data(), 4, rgb.data(), 6, 2, 1);
        yuyv_to_rgb24_line(yuyv.data(), back.data(), 2);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], level, 1) << "level " << level << " byte " << i;
    }
}

// A 4 x 4 frame with distinct luma and chroma samples, laid out for each planar source.
struct PlanarFrame {
    static constexpr int W = 4, H = 4;
    unsigned char y[H][W];
    unsigned char u[H][W / 2];  // per row; the 4:2:0 layouts use rows 0 and 2
    unsigned char v[H][W / 2];
    PlanarFrame() {
        for (int r = 0; r < H; ++r)
            for (int x = 0; x < W; ++x) y[r][x] = static_cast<unsigned char>(10 + r * W + x);
        for (int r = 0; r < H; ++r)
            for (int p = 0; p < W / 2; ++p) {
                u[r][p] = static_cast<unsigned char>(100 + r * 2 + p);
                v[r][p] = static_cast<unsigned char>(200 + r * 2 + p);
            }
    }
    Bytes expected(bool half) const {
        Bytes e;
        for (int r = 0; r < H; ++r)
            for (int p = 0; p < W / 2; ++p) {
                const int cr = half ? (r / 2) * 2 : r;
                e.insert(e.end(), {y[r][2 * p], u[cr][p], y[r][2 * p + 1], v[cr][p]});
            }
        return e;
    }
};

Bytes layout(const PlanarFrame& f, const std::string& kind) {
    Bytes s;
    for (auto& row : f.y) s.insert(s.end(), row, row + PlanarFrame::W);
    const bool half = kind == "yu12" || kind == "yv12" || kind == "nv12" || kind == "nv21";
    const int step = half ? 2 : 1;
    auto plane = [&](const unsigned char(*c)[2]) {
        for (int r = 0; r < PlanarFrame::H; r += step) s.insert(s.end(), c[r], c[r] + 2);
    };
    if (kind == "yu12") {
        plane(f.u);
        plane(f.v);
    } else if (kind == "yv12") {
        plane(f.v);
        plane(f.u);
    } else {
        const bool uv = kind == "nv12" || kind == "nv16";
        for (int r = 0; r < PlanarFrame::H; r += step)
            for (int p = 0; p < 2; ++p) {
                s.push_back(uv ? f.u[r][p] : f.v[r][p]);
                s.push_back(uv ? f.v[r][p] : f.u[r][p]);
            }
    }
    return s;
}

TEST(PlanarToYuyv, ChromaComesFromItsRowPairOrItsRow) {
    const struct {
        const char* kind;
        PlanarFn fn;
        bool half;
    } cases[] = {
        {"yu12", yuv420_to_yuyv, true}, {"yv12", yvu420_to_yuyv, true}, {"nv12", nv12_to_yuyv, true},
        {"nv21", nv21_to_yuyv, true},   {"nv16", nv16_to_yuyv, false},  {"nv61", nv61_to_yuyv, false},
    };
    PlanarFrame f;
    for (const auto& c : cases) {
        Bytes src = layout(f, c.kind);  // exactly the frame's bytes: ASan sees any over-read
        Bytes dst(PlanarFrame::W * 2 * PlanarFrame::H, 0xEE);
        c.fn(dst.data(), PlanarFrame::W * 2, src.data(), PlanarFrame::W, PlanarFrame::H);
        EXPECT_EQ(dst, f.expected(c.half)) << c.kind;
    }
}

TEST(PlanarToYuyv, OddHeightOf420ReusesTheLastChromaRow) {
    // 2 x 3 YU12: Y 6 bytes, U and V one sample each (2/2 x 3/2).
    Bytes src = {1, 2, 3, 4, 5, 6, 100, 200};
    Bytes dst(4 * 3, 0xEE);
    yuv420_to_yuyv(dst.data(), 4, src.data(), 2, 3);
    EXPECT_EQ(dst, (Bytes{1, 100, 2, 200, 3, 100, 4, 200, 5, 100, 6, 200}));
    // A single row has no chroma row at all.
    Bytes one = {7, 8};
    Bytes d1(4, 0xEE);
    nv12_to_yuyv(d1.data(), 4, one.data(), 2, 1);
    EXPECT_EQ(d1, (Bytes{7, 128, 8, 128}));
}

TEST(Y41pToYuyv, FourPixelsShareEachChromaPairAndRowsAreWholeGroups) {
    // Width 12: rows of 18 bytes; only the first 8-pixel group of each row converts.
    const Bytes group = {100, 1, 200, 2, 110, 3, 210, 4, 5, 6, 7, 8};
    Bytes src;
    for (int r = 0; r < 2; ++r) {
        for (unsigned char b : group) src.push_back(static_cast<unsigned char>(b + r));
        for (int i = 0; i < 6; ++i) src.push_back(0);
    }
    const int pitch = 24;
    Bytes dst(pitch * 2, 0xEE);
    y41p_to_yuyv(dst.data(), pitch, src.data(), 12, 2);
    const Bytes row0 = {1, 100, 2, 200, 3, 100, 4, 200, 5, 110, 6, 210, 7, 110, 8, 210};
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 16), row0);
    Bytes row1 = row0;
    for (auto& b : row1) ++b;
    EXPECT_EQ(Bytes(dst.begin() + pitch, dst.begin() + pitch + 16), row1);
    EXPECT_EQ(dst[16], 0xEE);
}

TEST(S50xToYuyv, SignedSamplesInEachRowPairOrder) {
    // 2 x 2 frames: rows Y1 = {a, b}, Y2 = {c, d}, one U and one V, in the layout's order.
    const unsigned char a = 0x00, b = 0xFF, c = 0x10, d = 0x90, u = 0x01, v = 0x81;
    const Bytes expected = {0x80, 0x81, 0x7F, 0x01, 0x90, 0x81, 0x10, 0x01};
    const struct {
        const char* name;
        PlanarFn fn;
        Bytes src;
    } cases[] = {
        {"s501", s501_to_yuyv, {a, b, u, c, d, v}},
        {"s505", s505_to_yuyv, {a, b, c, d, u, v}},
        {"s508", s508_to_yuyv, {a, b, u, v, c, d}},
    };
    for (const auto& k : cases) {
        Bytes src = k.src;
        Bytes dst(8, 0xEE);
        k.fn(dst.data(), 4, src.data(), 2, 2);
        EXPECT_EQ(dst, expected) << k.name;
    }
    // An odd last row is not part of a pair and is left alone.
    Bytes src = {a, b, u, c, d, v, 1, 2};
    Bytes dst(12, 0xEE);
    s501_to_yuyv(dst.data(), 4, src.data(), 2, 3);
    EXPECT_EQ(Bytes(dst.begin() + 8, dst.end()), Bytes(4, 0xEE));
}

TEST(YuyvToRgb, FixedPointFormulaAndClamping) {
    const struct {
        Bytes yuyv;
        Bytes rgb;  // both pixels
    } cases[] = {
        {{128, 128, 128, 128}, {128, 128, 128, 128, 128, 128}},
        {{200, 128, 100, 255}, {255, 109, 200, 255, 9, 100}},  // R clamped at V = 255
        // u = 72, v = -78: R += -110 (floor), G += 30, B += 127.
        {{100, 200, 20, 50}, {0, 130, 227, 0, 50, 147}},
        {{0, 0, 255, 0}, {0, 135, 0, 76, 255, 28}},
    };
    for (const auto& c : cases) {
        Bytes src = c.yuyv;
        Bytes out(6, 0xEE);
        yuyv_to_rgb24_line(src.data(), out.data(), 2);
        EXPECT_EQ(out, c.rgb);
    }
}

TEST(YuyvToRgb, EachLineLayout) {
    Bytes src = {100, 200, 20, 50};  // pixels (0,130,227) and (0,50,147)
    const struct {
        const char* name;
        void (*fn)(unsigned char*, unsigned char*, int);
        Bytes expected;  // with one sentinel after the written bytes
    } cases[] = {
        {"rgb24", yuyv_to_rgb24_line, {0, 130, 227, 0, 50, 147, 0xEE}},
        {"bgr24", yuyv_to_bgr24_line, {227, 130, 0, 147, 50, 0, 0xEE}},
        {"rgb32", yuyv_to_rgb32_line, {0, 130, 227, 0xEE, 0, 50, 147, 0xEE, 0xEE}},
        {"bgr32", yuyv_to_bgr32_line, {0, 130, 227, 0xEE, 0, 50, 147, 0xEE, 0xEE}},
        // (0>>3)<<11 | (130>>2)<<5 | 227>>3 = 0x0400 | 0x1C; (50>>2)<<5 | 147>>3 = 0x0180 | 0x12.
        {"rgb565", yuyv_to_rgb565_line, {0x1C, 0x04, 0x92, 0x01, 0xEE}},
    };
    for (const auto& c : cases) {
        Bytes out(c.expected.size(), 0xEE);
        c.fn(src.data(), out.data(), 2);
        EXPECT_EQ(out, c.expected) << c.name;
        Bytes none(c.expected.size(), 0xEE);
        c.fn(src.data(), none.data(), 1);  // under one pair: nothing
        EXPECT_EQ(none, Bytes(none.size(), 0xEE)) << c.name;
    }
}

TEST(YuyvToRgb, FramesAdvanceByPitchesAndBgr24StaysInItsRow) {
    // 2 x 2 frame, source pitch 6, destination pitch 7 (bgr24 rows of exactly 6 bytes + 1 pad).
    Bytes src = {128, 128, 128, 128, 0xAA, 0xAA, 100, 200, 20, 50, 0xAA, 0xAA};
    Bytes dst(14, 0xEE);
    yuyv_to_bgr24(src.data(), 6, dst.data(), 7, 2, 2);
    EXPECT_EQ(dst, (Bytes{128, 128, 128, 128, 128, 128, 0xEE, 227, 130, 0, 147, 50, 0, 0xEE}));

    Bytes d565(10, 0xEE);
    yuyv_to_rgb565(src.data(), 6, d565.data(), 5, 2, 2);
    EXPECT_EQ(Bytes(d565.begin() + 5, d565.begin() + 9), (Bytes{0x1C, 0x04, 0x92, 0x01}));
    EXPECT_EQ(d565[4], 0xEE);
}

// YUYV frame with per-row chroma so that row-pair averaging is visible.
Bytes yuyv_frame(int w, int h) {
    Bytes f(static_cast<size_t>(w) * 2 * h);
    for (int r = 0; r < h; ++r)
        for (int p = 0; p < w / 2; ++p) {
            unsigned char* q = &f[(static_cast<size_t>(r) * w + 2 * p) * 2];
            q[0] = static_cast<unsigned char>(r * w + 2 * p);
            q[1] = static_cast<unsigned char>(50 + 7 * r + p);
            q[2] = static_cast<unsigned char>(r * w + 2 * p + 1);
            q[3] = static_cast<unsigned char>(150 + 5 * r + 3 * p);
        }
    return f;
}

TEST(YuyvToPlanar, RoundTripsThroughTheMatching420Sources) {
    // Width 32 makes the planar chroma pitch ((32 / 2) + 15) & ~15 = 16 = width / 2, so the
    // planes are the gap-free layouts that the conversions to YUYV read.
    const int w = 32, h = 4;
    Bytes src = yuyv_frame(w, h);
    Bytes expected = src;  // chroma of each row pair averaged, truncated
    for (int r = 0; r < h; r += 2)
        for (int p = 0; p < w / 2; ++p)
            for (int k : {1, 3}) {
                unsigned char* a = &expected[(static_cast<size_t>(r) * w + 2 * p) * 2 + k];
                unsigned char* b = a + w * 2;
                *a = *b = static_cast<unsigned char>((*a + *b) >> 1);
            }
    const struct {
        const char* name;
        void (*to)(unsigned char*, int, int, unsigned char*, int, int, int);
        PlanarFn back;
    } cases[] = {
        {"yuv420p", yuyv_to_yuv420p, yuv420_to_yuyv},
        {"yvu420p", yuyv_to_yvu420p, yvu420_to_yuyv},
        {"yvu420sp", yuyv_to_yvu420sp, nv21_to_yuyv},
    };
    for (const auto& c : cases) {
        Bytes planar(static_cast<size_t>(w) * h * 3 / 2, 0xEE);
        c.to(planar.data(), w, h, src.data(), w * 2, w, h);
        Bytes back(src.size(), 0xEE);
        c.back(back.data(), w * 2, planar.data(), w, h);
        EXPECT_EQ(back, expected) << c.name;
    }
    // Odd sums truncate: rows 0 and 1 of pair 0 have U 50 and 57.
    Bytes planar(static_cast<size_t>(w) * h * 3 / 2, 0xEE);
    yuyv_to_yuv420p(planar.data(), w, h, src.data(), w * 2, w, h);
    EXPECT_EQ(planar[w * h], 53);
}

TEST(YuyvToPlanar, Yvu422pKeepsEveryRowAndUsesTheChromaPitch) {
    // dst_pitch 20: cp = (10 + 15) & ~15 = 16; V rows 16 apart, U plane dst_rows * 16 after V.
    const int w = 4, h = 2, pitch = 20, rows = 3;
    Bytes src = yuyv_frame(w, h);
    Bytes dst(pitch * rows + 2 * rows * 16, 0xEE);
    yuyv_to_yvu422p(dst.data(), pitch, rows, src.data(), w * 2, w, h);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 4), (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(Bytes(dst.begin() + pitch, dst.begin() + pitch + 4), (Bytes{4, 5, 6, 7}));
    const size_t vplane = pitch * rows, uplane = vplane + rows * 16;
    EXPECT_EQ(Bytes(dst.begin() + vplane, dst.begin() + vplane + 2), (Bytes{150, 153}));
    EXPECT_EQ(Bytes(dst.begin() + vplane + 16, dst.begin() + vplane + 18), (Bytes{155, 158}));
    EXPECT_EQ(Bytes(dst.begin() + uplane, dst.begin() + uplane + 2), (Bytes{50, 51}));
    EXPECT_EQ(Bytes(dst.begin() + uplane + 16, dst.begin() + uplane + 18), (Bytes{57, 58}));
    EXPECT_EQ(dst[vplane + 2], 0xEE);
}

// Bayer: colour of site (x, y) for each pattern, 0 R, 1 G, 2 B.
int site_colour(int pattern, int x, int y) {
    static const int orders[4][4] = {{1, 2, 0, 1}, {1, 0, 2, 1}, {2, 1, 1, 0}, {0, 1, 1, 2}};
    const int p = (pattern >= 1 && pattern <= 3) ? pattern : 0;
    return orders[p][(y & 1) * 2 + (x & 1)];
}

TEST(Bayer, EveryPatternPlacesItsColoursWhereItNamesThem) {
    // Each colour's sites hold one value, so every pixel must come out as exactly those
    // three values; a wrong site map or neighbour set mixes them. Tiny frames included.
    const unsigned char level[3] = {200, 100, 30};
    for (int pattern : {0, 1, 2, 3, 7, -1}) {
        for (auto [w, h] : {std::pair{6, 4}, {5, 3}, {3, 2}, {2, 2}, {1, 1}, {4, 1}, {1, 4}}) {
            Bytes src(static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) src[y * w + x] = level[site_colour(pattern, x, y)];
            Bytes dst(src.size() * 3, 0xEE);
            bayer_to_rgb24(src.data(), dst.data(), w, h, pattern);
            for (int i = 0; i < w * h; ++i) {
                const int x = i % w, y = i / w;
                for (int c = 0; c < 3; ++c) {
                    // Without any neighbour of a colour the pixel keeps its own sample.
                    const bool tiny = w < 3 || h < 2;
                    if (tiny && c != site_colour(pattern, x, y)) continue;
                    ASSERT_EQ(dst[i * 3 + c], level[c])
                        << "pattern " << pattern << " " << w << "x" << h << " pixel " << x << "," << y;
                }
            }
        }
    }
    // A uniform frame stays uniform whatever its size.
    for (auto [w, h] : {std::pair{1, 1}, {2, 1}, {1, 2}, {7, 5}}) {
        Bytes src(w * h, 77), dst(w * h * 3, 0);
        bayer_to_rgb24(src.data(), dst.data(), w, h, 3);
        EXPECT_EQ(dst, Bytes(dst.size(), 77)) << w << "x" << h;
    }
}

TEST(Bayer, NeighbourMeansAtBordersAndInside) {
    // RGGB 4 x 3:  R G R G / G B G B / R G R G
    Bytes src = {10, 200, 30, 40, 50, 60, 90, 80, 5, 100, 250, 7};
    Bytes dst(36, 0);
    bayer_to_rgb24(src.data(), dst.data(), 4, 3, 3);
    auto px = [&](int x, int y) { return Bytes(dst.begin() + (y * 4 + x) * 3, dst.begin() + (y * 4 + x) * 3 + 3); };
    EXPECT_EQ(px(1, 1), (Bytes{74, 110, 60}));  // blue site: 4 orthogonal G, 4 diagonal R
    EXPECT_EQ(px(0, 0), (Bytes{10, 125, 60}));  // corner red: 2 G, 1 B
    EXPECT_EQ(px(1, 0), (Bytes{20, 200, 60}));  // green in a red row: R left/right, B below only
    EXPECT_EQ(px(3, 0), (Bytes{30, 40, 80}));   // right edge green
    EXPECT_EQ(px(2, 1), (Bytes{140, 90, 70}));  // green in a blue row: B left/right, R up/down
    EXPECT_EQ(px(2, 2), (Bytes{250, 66, 70}));  // bottom red: 3 G (truncated thirds), 2 B
    EXPECT_EQ(px(0, 1), (Bytes{8, 50, 60}));    // left edge green: B right only, R (10+5+1)>>1
}

}  // namespace
