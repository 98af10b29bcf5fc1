// The library's entry points: format codes, extensions, magic bytes and the shared encoding steps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imagelib.h"

namespace {

std::string TmpPath(const std::string& name) {
    return std::string(QV_TEST_TMPDIR) + "/disp_" + std::to_string(getpid()) + "_" + name;
}

std::vector<unsigned char> Ramp(int w, int h, int bpp) {
    std::vector<unsigned char> v(static_cast<size_t>(w) * h * bpp);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<unsigned char>(i * 29 + 3);
    return v;
}

unsigned Le16(const unsigned char* p) { return p[0] | (p[1] << 8); }

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(Dispatch, VersionBitRateAndJp2Codes) {
    EXPECT_STREQ(GetImgLibVersion(), "v2.0.9.0");
    struct Rate {
        int q;
        float want;
    } rates[] = {{0, 2.25f},  {59, 0.75f},  {-3, 0.75f},   {60, 2.25f},
                 {99, 2.25f}, {100, 0.01f}, {7500, 0.75f}, {1, 0.75f}};
    for (const Rate& r : rates) EXPECT_FLOAT_EQ(WsqBitRate(r.q), r.want) << r.q;
    struct Code {
        const char* name;
        int code, want;
    } codes[] = {
        {"JP2", 0, 6},   {"JPC", 0, 7}, {"J2K", 0, 6},   {"J2C", 0, 7},    {"JP2X", 0, 6},
        {"jp2", 6, 0},   {"JPG", 6, 0}, {nullptr, 6, 6}, {nullptr, 7, 7},  {nullptr, 8, 6},
        {nullptr, 9, 7}, {"", 9, 7},    {nullptr, 5, 0}, {nullptr, 10, 0},
    };
    for (const Code& c : codes)
        EXPECT_EQ(Jp2FormatCode(c.name, c.code), c.want) << (c.name ? c.name : "NULL") << " " << c.code;
}

TEST(Dispatch, SaveImgBuffArgumentFailuresLeaveTheOutputAlone) {
    std::vector<unsigned char> px = Ramp(4, 4, 4);
    unsigned char sentinel[1] = {0};
    struct Case {
        const unsigned char* p;
        int w, h, layout;
    } cases[] = {
        {nullptr, 4, 4, 1},    {px.data(), 0, 4, 1}, {px.data(), 4, 32768, 1},
        {px.data(), 4, 4, -1}, {px.data(), 4, 4, 6},  // grey with alpha cannot be composited
        {px.data(), 4, 4, 7},
    };
    for (const Case& c : cases) {
        unsigned char* buf = sentinel;
        int len = 77;
        EXPECT_EQ(SaveImgBuff(c.p, c.w, c.h, c.layout, 0, -1, 0, &buf, &len, 1), 0);
        EXPECT_EQ(buf, sentinel);
        EXPECT_EQ(len, 77);
    }
    int len = 0;
    unsigned char* buf = nullptr;
    EXPECT_EQ(SaveImgBuff(px.data(), 4, 4, 1, 0, -1, 0, nullptr, &len, 1), 0);
    EXPECT_EQ(SaveImgBuff(px.data(), 4, 4, 1, 0, -1, 0, &buf, nullptr, 1), 0);
}

TEST(Dispatch, SaveImgBuffFormatsThatFailFreeTheOutput) {
    // Unknown codes, and codecs that are not part of this build, fail cleanly with the output released.
    std::vector<unsigned char> px = Ramp(320, 240, 1);
    for (int format : {0, 10, 11, 15, -1}) {
        unsigned char* buf = static_cast<unsigned char*>(std::malloc(16));
        int len = 16;
        EXPECT_EQ(SaveImgBuff(px.data(), 320, 240, 1, 19685, 2, 0, &buf, &len, format), 0) << format;
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(len, 0);
    }
    for (int format = 1; format <= 14; ++format) {
        unsigned char* buf = nullptr;
        int len = 0;
        int r = SaveImgBuff(px.data(), 320, 240, 1, 500, -1, 0, &buf, &len, format);
        if (r > 0) {
            EXPECT_NE(buf, nullptr) << format;
        } else {
            EXPECT_EQ(buf, nullptr) << format;
            EXPECT_EQ(len, 0) << format;
        }
        FreeImgBuff(&buf);
    }
}

TEST(Dispatch, OutputChoiceClamping) {
    std::vector<unsigned char> rgb = Ramp(3, 2, 3);
    struct Case {
        int choice, bits;
    } cases[] = {{7, 24}, {3, 24}, {0, 24}, {-5, 24}, {-1, 24}, {1, 8}, {2, 8}};
    for (const Case& c : cases) {
        unsigned char* buf = nullptr;
        int len = 0;
        ASSERT_GT(SaveImgBuff(rgb.data(), 3, 2, 0, 0, c.choice, 0, &buf, &len, 1), 0) << c.choice;
        EXPECT_EQ(Le16(buf + 28), static_cast<unsigned>(c.bits)) << c.choice;
        FreeImgBuff(&buf);
    }
    // Grey input: 7 acts as 0 (colour), -5 as -1 (keep grey).
    std::vector<unsigned char> grey = Ramp(3, 2, 1);
    unsigned char* buf = nullptr;
    int len = 0;
    ASSERT_GT(SaveImgBuff(grey.data(), 3, 2, 2, 0, 7, 0, &buf, &len, 1), 0);
    EXPECT_EQ(Le16(buf + 28), 24u);
    ASSERT_GT(SaveImgBuff(grey.data(), 3, 2, 2, 0, -5, 0, &buf, &len, 1), 0);
    EXPECT_EQ(Le16(buf + 28), 8u);
    FreeImgBuff(&buf);
}

TEST(Dispatch, AlphaLayoutsAreCompositedOverTheBackground) {
    // B, G, R, A: transparent, opaque blue (a premultiplied transparent pixel has no colour).
    const unsigned char straight[8] = {9, 9, 9, 0, 255, 0, 0, 255};
    const unsigned char premul[8] = {0, 0, 0, 0, 255, 0, 0, 255};
    for (int layout : {4, 5}) {
        unsigned char* buf = nullptr;
        int len = 0;
        ASSERT_EQ(SaveImgBuff(layout == 4 ? premul : straight, 2, 1, layout, 0, 0x0000FF, 0, &buf, &len, 1), 54 + 8);
        EXPECT_EQ(Le16(buf + 28), 24u);
        const unsigned char row[6] = {0, 0, 255, 255, 0, 0};  // red background, then blue (B, G, R)
        EXPECT_EQ(std::memcmp(buf + 54, row, 6), 0);
        FreeImgBuff(&buf);
    }
}

TEST(Dispatch, SaveImgFileByExtension) {
    std::vector<unsigned char> grey = Ramp(16, 8, 1);
    struct Case {
        const char* name;
        bool bmp;
    } cases[] = {
        {"a.bmp", true},  {"b.BMP", true}, {"c.Bmpx", true}, {"d.x.bmp", true},    {"e.gif", false},
        {"nodot", false}, {"f.", false},   {"g.bm", false},  {"h.bmp.txt", false},
    };
    for (const Case& c : cases) {
        const std::string path = TmpPath(c.name);
        std::remove(path.c_str());
        int r = SaveImgFile(path.c_str(), grey.data(), 16, 8, 1, 300, -1, 0);
        if (c.bmp) {
            EXPECT_EQ(r, 1078 + 128) << c.name;
            EXPECT_EQ(ImgFileSize(path.c_str()), 1078 + 128);
        } else {
            EXPECT_EQ(r, 0) << c.name;
            EXPECT_FALSE(Exists(path)) << c.name;
        }
        std::remove(path.c_str());
    }
    EXPECT_EQ(SaveImgFile("", grey.data(), 16, 8, 1, 300, -1, 0), 0);
    EXPECT_EQ(SaveImgFile(nullptr, grey.data(), 16, 8, 1, 300, -1, 0), 0);
    EXPECT_EQ(SaveImgFile(TmpPath("n.bmp").c_str(), nullptr, 16, 8, 1, 300, -1, 0), 0);
    EXPECT_EQ(SaveImgFile("/nonexistent-dir/x.bmp", grey.data(), 16, 8, 1, 300, -1, 0), 0);
}

TEST(Dispatch, LoadImgBuffByMagic) {
    std::vector<unsigned char> rgb = Ramp(5, 4, 3);
    unsigned char* bmp = nullptr;
    int len = 0;
    ASSERT_GT(SaveImgBuff(rgb.data(), 5, 4, 0, 300, -1, 0, &bmp, &len, 1), 0);
    int w = 0, h = 0, l = -9, dpi = 0;
    EXPECT_EQ(LoadImgBuff(nullptr, &w, &h, &l, &dpi, -1, bmp, len), 1);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(dpi, 300);
    unsigned char* img = nullptr;
    ASSERT_EQ(LoadImgBuff(&img, &w, &h, &l, &dpi, -1, bmp, len), 1);
    EXPECT_EQ(std::memcmp(img, rgb.data(), rgb.size()), 0);
    ASSERT_EQ(LoadImgBuff(&img, &w, &h, &l, &dpi, 9, bmp, len), 1);  // 3 or more: colour
    EXPECT_EQ(l, 0);
    ASSERT_EQ(LoadImgBuff(&img, &w, &h, &l, &dpi, 2, bmp, len), 1);
    EXPECT_EQ(l, 2);
    EXPECT_EQ(img[0], LumaRgb(rgb.data()));
    EXPECT_EQ(LoadImgBuff(&img, &w, &h, &l, &dpi, -1, bmp, 8), 0);  // too short: nothing touched
    EXPECT_NE(img, nullptr);
    EXPECT_EQ(w, 5);
    FreeImgBuff(&bmp);

    // A 32-bit BMP: requests below -3 clamp to -3 (straight alpha).
    const unsigned char bgra[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_GT(WriteBmp(nullptr, bgra, 2, 1, 5, 0, -1, &bmp, &len), 0);
    ASSERT_EQ(LoadImgBuff(&img, &w, &h, &l, &dpi, -9, bmp, len), 1);
    EXPECT_EQ(l, 5);
    EXPECT_EQ(std::memcmp(img, bgra, 8), 0);
    FreeImgBuff(&bmp);
    FreeImgData(&img);
}

TEST(Dispatch, LoadImgBuffUnknownOrFailingDataFreesTheImage) {
    struct Case {
        const char* what;
        std::vector<unsigned char> data;
    } cases[] = {
        {"unknown", {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}},
        {"bad bmp", {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"tiff", {0x49, 0x49, 0x2A, 0x00, 8, 0, 0, 0, 0, 0}},
        {"jpeg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F'}},
        {"png", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0}},
        {"wsq", {0xFF, 0xA0, 0xFF, 0xA8, 0, 0, 0, 0, 0, 0}},
        {"jpc", {0xFF, 0x4F, 0xFF, 0x51, 0, 0, 0, 0, 0, 0}},
        {"jp2", {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A}},
        {"pnm", {'P', '5', '\n', 'x', '\n', 0, 0, 0, 0, 0}},
        {"P7", {'P', '7', '\n', '1', ' ', '1', '\n', 0, 0, 0}},
    };
    for (const Case& c : cases) {
        unsigned char* img = static_cast<unsigned char*>(std::malloc(4));
        int w = 2, h = 2, l = 0, dpi = 0;
        EXPECT_EQ(LoadImgBuff(&img, &w, &h, &l, &dpi, -1, c.data.data(), static_cast<int>(c.data.size())), 0) << c.what;
        EXPECT_EQ(img, nullptr) << c.what;
        EXPECT_EQ(w, 0) << c.what;
        EXPECT_EQ(h, 0) << c.what;
    }
    EXPECT_EQ(LoadImgBuff(nullptr, nullptr, nullptr, nullptr, nullptr, -1, nullptr, 100), 0);
}

TEST(Dispatch, LoadImgFileAndConvert) {
    std::vector<unsigned char> rgb = Ramp(9, 6, 3);
    const std::string src = TmpPath("src.bmp"), dst = TmpPath("dst.BMP");
    ASSERT_EQ(SaveImgFile(src.c_str(), rgb.data(), 9, 6, 0, 200, -1, 0), 54 + 28 * 6);
    unsigned char* img = nullptr;
    int w = 0, h = 0, l = 0, dpi = 0;
    ASSERT_EQ(LoadImgFile(src.c_str(), &img, &w, &h, &l, &dpi, -1), 1);
    EXPECT_EQ(w, 9);
    EXPECT_EQ(h, 6);
    EXPECT_EQ(dpi, 200);
    EXPECT_EQ(std::memcmp(img, rgb.data(), rgb.size()), 0);
    EXPECT_EQ(LoadImgFile(src.c_str(), nullptr, &w, &h, &l, &dpi, 0), 1);
    // Converted with the luma choice: an 8-bit file whose pixels are the luma of the source.
    ASSERT_EQ(ConvertImgFile(src.c_str(), dst.c_str(), 2, 0), 1078 + 12 * 6);
    ASSERT_EQ(LoadImgFile(dst.c_str(), &img, &w, &h, &l, &dpi, -1), 1);
    EXPECT_EQ(l, 2);
    for (int i = 0; i < 9 * 6; ++i) ASSERT_EQ(img[i], LumaRgb(rgb.data() + 3 * i)) << i;
    EXPECT_EQ(ConvertImgFile("/nonexistent-dir/a.bmp", dst.c_str(), -1, 0), 0);
    // A file shorter than the magic, or unknown, fails; an unknown one frees the image.
    const std::string tiny = TmpPath("tiny.bmp");
    ASSERT_EQ(ImgWriteFile(tiny.c_str(), reinterpret_cast<const unsigned char*>("BM123"), 5, 0), 5);
    EXPECT_EQ(LoadImgFile(tiny.c_str(), &img, &w, &h, &l, &dpi, -1), 0);
    EXPECT_NE(img, nullptr);
    ASSERT_EQ(ImgWriteFile(tiny.c_str(), reinterpret_cast<const unsigned char*>("GIF89a\0\0\0"), 9, 0), 9);
    EXPECT_EQ(LoadImgFile(tiny.c_str(), &img, &w, &h, &l, &dpi, -1), 0);
    EXPECT_EQ(img, nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(LoadImgFile(nullptr, &img, &w, &h, &l, &dpi, -1), 0);
    std::remove(src.c_str());
    std::remove(dst.c_str());
    std::remove(tiny.c_str());
}

TEST(Dispatch, AlphaEntriesRefuseBadArguments) {
    const unsigned char px[16] = {0};
    unsigned char* buf = nullptr;
    int len = 0;
    EXPECT_EQ(SaveImgBuffAlpha(&buf, &len, 1, px, 2, 2, 3, 0, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(SaveImgBuffAlpha(&buf, &len, 1, px, 2, 2, 6, 0, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(SaveImgBuffAlpha(&buf, &len, 1, nullptr, 2, 2, 0, 0, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(SaveImgBuffAlpha(nullptr, &len, 1, px, 2, 2, 0, 0, 0, 0, 0, nullptr), 0);
    buf = static_cast<unsigned char*>(std::malloc(4));
    len = 4;
    EXPECT_EQ(SaveImgBuffAlpha(&buf, &len, 2, px, 2, 2, 0, 0, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(SaveImgFileAlpha(TmpPath("a.gif").c_str(), px, 2, 2, 0, 0, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(SaveImgFileAlpha(TmpPath("nodot").c_str(), px, 2, 2, 0, 0, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(SaveImgFileAlpha("", px, 2, 2, 0, 0, 0, 0, 0, nullptr), 0);
    // BMP of a straight-alpha picture: a 32-bit file, in memory and on disk alike.
    const std::string path = TmpPath("alpha.bmp");
    EXPECT_EQ(SaveImgFileAlpha(path.c_str(), px, 2, 2, 5, 0, 0, 0, 0, nullptr), 54 + 16);
    unsigned char head[30];
    ASSERT_EQ(ImgReadFileHead(path.c_str(), head, 30), 30);
    EXPECT_EQ(Le16(head + 28), 32u);
    ASSERT_EQ(SaveImgBuffAlpha(&buf, &len, 1, px, 2, 2, 5, 0, 0, 0, 0, nullptr), 54 + 16);
    EXPECT_EQ(len, 54 + 16);
    EXPECT_EQ(Le16(buf + 28), 32u);
    FreeImgBuff(&buf);
    std::remove(path.c_str());
}
