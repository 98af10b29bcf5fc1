// PBM, PGM and PPM: exact bytes of written files, reading rules, round trips and an outside reader.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "formats_util.h"
#include "img_buffer.h"
#include "img_codec.h"
#include "img_dispatch.h"
#include "img_pnm.h"

using fmt_test::Bytes;
using fmt_test::Owned;
using fmt_test::Pattern;

namespace {

std::string Write(const std::vector<unsigned char>& px, int w, int h, int layout, int code, int binary,
                  int* capacity = nullptr) {
    Owned out;
    int len = -1;
    const int n = WritePnm(px.data(), w, h, layout, code, binary, out.addr(), &len);
    if (capacity) *capacity = len;
    if (n <= 0) return std::string();
    return std::string(reinterpret_cast<char*>(out.p), static_cast<size_t>(n));
}

struct Decoded {
    int code = -1, w = -1, h = -1, layout = -1, dpi = -1;
    std::vector<unsigned char> px;
};

Decoded Read(const std::string& file, int request = -1) {
    Decoded d;
    Owned img;
    d.code = ReadPnm(img.addr(), &d.w, &d.h, &d.layout, &d.dpi, request,
                     reinterpret_cast<const unsigned char*>(file.data()), static_cast<int>(file.size()));
    if (d.code > 0)
        d.px = Bytes(img.p, static_cast<size_t>(d.w) * d.h * (d.layout == 0 ? 3 : 1));
    else
        EXPECT_EQ(img.p, nullptr);
    return d;
}

TEST(WritePnm, ExactFiles) {
    const std::vector<unsigned char> g2 = {0, 255};
    struct Case {
        int code, binary;
        std::string bytes;
    } cases[] = {
        {13, 1, std::string("P5\n2 1\n255\n\x00\xff", 13)},
        {12, 0, "P1\n2 1\n1 0 \n"},
        {13, 0, "P2\n2 1\n255\n  0 255 \n"},
        {14, 0, "P3\n2 1\n255\n  0   0   0 255 255 255 \n"},
        {14, 1, std::string("P6\n2 1\n255\n\x00\x00\x00\xff\xff\xff", 17)},
        {12, 1, std::string("P4\n2 1\n\x80", 8)},
    };
    for (const Case& c : cases) {
        int cap = 0;
        EXPECT_EQ(Write(g2, 2, 1, 1, c.code, c.binary, &cap), c.bytes) << c.code << " " << c.binary;
        const int s = 2 * (c.code == 14 ? 3 : 1);
        EXPECT_EQ(cap, c.binary ? s + 1024 : 5 * s + 1024);  // the length holds the capacity
    }
    // colour in: PGM and PBM use the luma, PPM the bytes
    const std::vector<unsigned char> red = {255, 0, 0};
    EXPECT_EQ(Write(red, 1, 1, 0, 13, 1), std::string("P5\n1 1\n255\n\x4c", 12));
    EXPECT_EQ(Write(red, 1, 1, 0, 12, 0), "P1\n1 1\n1 \n");
    EXPECT_EQ(Write(red, 1, 1, 0, 14, 0), "P3\n1 1\n255\n255   0   0 \n");
}

TEST(WritePnm, BinaryBitmapRowsPadToBytes) {
    std::vector<unsigned char> px(20, 255);  // 10 x 2, black at columns 0 and 9 of row 0
    px[0] = px[9] = 0;
    const std::string f = Write(px, 10, 2, 2, 12, 1);
    const std::string head = "P4\n10 2\n";
    ASSERT_EQ(f.size(), head.size() + 4);
    EXPECT_EQ(f.substr(0, head.size()), head);
    EXPECT_EQ(static_cast<unsigned char>(f[head.size()]), 0x80);
    EXPECT_EQ(static_cast<unsigned char>(f[head.size() + 1]), 0x40);  // the 6 low bits stay 0
    EXPECT_EQ(static_cast<unsigned char>(f[head.size() + 2]), 0);
    const Decoded d = Read(f);
    EXPECT_EQ(d.code, 12);
    EXPECT_EQ(d.px, px);
}

TEST(WritePnm, TextLinesBreak) {
    // PPM: 12 characters a pixel, a break once a line holds 60, again at the row end
    const std::vector<unsigned char> six(18, 7);
    const std::string ppm = Write(six, 6, 1, 0, 14, 0);
    const std::string px = "  7   7   7 ";
    std::string row5;
    for (int i = 0; i < 5; ++i) row5 += px;
    EXPECT_EQ(ppm, "P3\n6 1\n255\n" + row5 + "\n" + px + "\n");
    // PGM: 4 characters a pixel, a break after 17 pixels (68 characters)
    const std::vector<unsigned char> grey(18, 200);
    const std::string pgm = Write(grey, 18, 1, 1, 13, 0);
    std::string line17;
    for (int i = 0; i < 17; ++i) line17 += "200 ";
    EXPECT_EQ(pgm, "P2\n18 1\n255\n" + line17 + "\n200 \n");
    // PBM: 2 characters a pixel, a break after 34 pixels; a row that just fills a line breaks once
    const std::vector<unsigned char> white(34, 255);
    const std::string pbm = Write(white, 34, 1, 1, 12, 0);
    std::string line34;
    for (int i = 0; i < 34; ++i) line34 += "0 ";
    EXPECT_EQ(pbm, "P1\n34 1\n" + line34 + "\n");
}

TEST(WritePnm, RefusesBadArguments) {
    const std::vector<unsigned char> px(12, 1);
    Owned out;
    int len = 0;
    EXPECT_EQ(WritePnm(nullptr, 2, 2, 1, 13, 1, out.addr(), &len), 0);
    EXPECT_EQ(WritePnm(px.data(), 0, 2, 1, 13, 1, out.addr(), &len), 0);
    EXPECT_EQ(WritePnm(px.data(), 32768, 1, 1, 13, 1, out.addr(), &len), 0);
    EXPECT_EQ(WritePnm(px.data(), 2, 2, -1, 13, 1, out.addr(), &len), 0);
    EXPECT_EQ(WritePnm(px.data(), 2, 2, 1, 11, 1, out.addr(), &len), 0);
    EXPECT_EQ(WritePnm(px.data(), 2, 2, 1, 13, 1, nullptr, &len), 0);
    EXPECT_EQ(WritePnm(px.data(), 2, 2, 1, 13, 1, out.addr(), nullptr), 0);
}

TEST(ReadPnm, RoundTripsEveryForm) {
    const int w = 13, h = 7;
    const std::vector<unsigned char> grey = Pattern(w, h, 1);
    const std::vector<unsigned char> rgb = Pattern(w, h, 3, 5);
    for (int binary = 0; binary < 2; ++binary) {
        const Decoded pgm = Read(Write(grey, w, h, 2, 13, binary));
        EXPECT_EQ(pgm.code, 13);
        EXPECT_EQ(pgm.layout, 2);
        EXPECT_EQ(pgm.px, grey);
        EXPECT_EQ(pgm.dpi, 0);
        const Decoded ppm = Read(Write(rgb, w, h, 0, 14, binary));
        EXPECT_EQ(ppm.code, 14);
        EXPECT_EQ(ppm.layout, 0);
        EXPECT_EQ(ppm.px, rgb);
        const Decoded pbm = Read(Write(grey, w, h, 1, 12, binary));
        ASSERT_EQ(pbm.code, 12);
        for (size_t i = 0; i < grey.size(); ++i) EXPECT_EQ(pbm.px[i], grey[i] < 128 ? 0 : 255) << i;
        // requests: 0 gives colour, a positive one grey (luma of colour)
        const Decoded as_rgb = Read(Write(grey, w, h, 2, 13, binary), 0);
        ASSERT_EQ(as_rgb.layout, 0);
        for (size_t i = 0; i < grey.size(); ++i) EXPECT_EQ(as_rgb.px[3 * i + 1], grey[i]);
        const Decoded as_grey = Read(Write(rgb, w, h, 0, 14, binary), 1);
        ASSERT_EQ(as_grey.layout, 2);
        for (size_t i = 0; i < grey.size(); ++i) EXPECT_EQ(as_grey.px[i], LumaRgb(&rgb[3 * i]));
    }
}

TEST(ReadPnm, HeaderRules) {
    struct Case {
        std::string file;
        int code;  // 0: refused
    } cases[] = {
        {"P2\n# made by hand\n2 # width\n1\n15\n0 15\n", 13},
        {"P2\n2 1\n15 0 15\n", 0},           // space after the maximum value
        {"P5\n2 1\n255", 0},                 // nothing after the header
        {"P5\n4294967297 1\n255\nabcd", 0},  // saturates, never wraps to 1
        {"P5\n32768 1\n255\nabcdefgh", 0},
        {"P5\n2 0\n255\nab", 0},
        {"P5\n2 1\n256\nab", 0},
        {"P5\n2 1\n0\nab", 0},
        {"P7\n2 1\n255\nab", 0},
        {"Q5\n2 1\n255\nab", 0},
        {"P5\n2 1\n255\na", 0},  // raster one byte short
        {"P5\n2 1 # no end", 0},
        {"P6\n1 1\n255\nabc", 14},
        {"P4\n9 1\n\xff\x80", 12},
        {"P4\n9 1\n\xff", 0},
        {"P1\n3 1\n0 1 7\n", 12},
        {"P1\n3 1\n0 1\n", 0},            // text raster ends early
        {"P3\n1 1\n255\n300 1 2\n", 14},  // low bytes of text samples
        {"P5\r2 1\r255\rab", 13},
        {"P5\n" + std::string(100, '1') + " 1\n255\nab", 0},
    };
    for (const Case& c : cases) {
        const Decoded d = Read(c.file);
        EXPECT_EQ(d.code, c.code) << c.file;
    }
    const Decoded p2 = Read("P2\n# made by hand\n2 # width\n1\n15\n0 15\n");
    EXPECT_EQ(p2.px, (std::vector<unsigned char>{0, 15}));  // not scaled to 255
    EXPECT_EQ(Read("P3\n1 1\n255\n300 1 2\n").px, (std::vector<unsigned char>{44, 1, 2}));
    EXPECT_EQ(Read("P1\n3 1\n0 1 7\n").px, (std::vector<unsigned char>{255, 0, 0}));
}

TEST(ReadPnm, SizesOnlyAndFailureFreesTheImage) {
    const std::string f = Write(Pattern(5, 4, 3), 5, 4, 0, 14, 1);
    int w = 0, h = 0, layout = -1, dpi = -1;
    EXPECT_EQ(ReadPnm(nullptr, &w, &h, &layout, &dpi, 2, reinterpret_cast<const unsigned char*>(f.data()),
                      static_cast<int>(f.size())),
              14);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(layout, 0);
    EXPECT_EQ(dpi, 0);
    unsigned char* img = static_cast<unsigned char*>(malloc(10));
    EXPECT_EQ(ReadPnm(&img, &w, &h, &layout, &dpi, -1, reinterpret_cast<const unsigned char*>(f.data()),
                      static_cast<int>(f.size()) - 1),
              0);
    EXPECT_EQ(img, nullptr);
    EXPECT_EQ(ReadPnm(&img, &w, &h, &layout, &dpi, -1, nullptr, 20), 0);
    EXPECT_EQ(ReadPnm(&img, &w, &h, &layout, &dpi, -1, reinterpret_cast<const unsigned char*>("P5\n1 1\n"), 7), 0);
}

TEST(PnmNumbers, ReadAndSkip) {
    struct Case {
        std::string text;
        int ok;
        unsigned value;
        size_t after;  // cursor offset after the number
    } cases[] = {
        {"  42 ", 1, 42, 4},
        {"#c\n7", 1, 7, 4},
        {"x#c\r\n  9x", 1, 9, 8},
        {"#unterminated 5", 0, 0, 0},
        {"   ", 0, 0, 0},
        {"4294967295", 1, 4294967295u, 10},
        {"99999999999", 1, 4294967295u, 11},
        {std::string(99, '0') + "1", 0, 0, 0},
        {std::string(98, '0') + "1", 1, 1, 99},
    };
    for (const Case& c : cases) {
        const unsigned char* begin = reinterpret_cast<const unsigned char*>(c.text.data());
        const unsigned char* cur = begin;
        unsigned v = 12345;
        EXPECT_EQ(PnmReadNumber(&cur, begin + c.text.size(), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
            EXPECT_EQ(static_cast<size_t>(cur - begin), c.after) << c.text;
        }
    }
    const unsigned char t[] = "ab#5";
    EXPECT_EQ(PnmSkipToNumber(t, t + 4), t + 2);
    EXPECT_EQ(PnmSkipToNumber(t, t + 2), nullptr);
}

// Plain (text) Netpbm output of an outside tool, parsed into its numbers.
std::vector<unsigned> PlainNumbers(const std::string& text, std::string* magic) {
    std::istringstream in(text);
    in >> *magic;
    std::vector<unsigned> v;
    unsigned x;
    for (int i = 0; i < (*magic == "P1" ? 2 : 3) && in >> x; ++i) v.push_back(x);
    if (*magic != "P1") {
        while (in >> x) v.push_back(x);
        return v;
    }
    // plain PBM samples are single digits, written without spaces
    char c;
    while (in >> c) v.push_back(static_cast<unsigned>(c - '0'));
    return v;
}

TEST(PnmFiles, OutsideReaderAgrees) {
    if (!fmt_test::HaveTool("pamtopnm")) GTEST_SKIP() << "netpbm not installed";
    const int w = 9, h = 5;
    const std::vector<unsigned char> grey = Pattern(w, h, 1, 3);
    const std::vector<unsigned char> rgb = Pattern(w, h, 3, 4);
    for (int code = 12; code <= 14; ++code)
        for (int binary = 0; binary < 2; ++binary) {
            const std::string path =
                fmt_test::TempPath("outside_" + std::to_string(code) + "_" + std::to_string(binary) +
                                   (code == 12   ? ".pbm"
                                    : code == 13 ? ".pgm"
                                                 : ".ppm"));
            ASSERT_GT(SaveImgFile(path.c_str(), code == 14 ? rgb.data() : grey.data(), w, h, code == 14 ? 0 : 2, 72, -1,
                                  binary ? 0 : 1),
                      0);
            int status = -1;
            std::string magic;
            const std::vector<unsigned> v = PlainNumbers(fmt_test::Run("pamtopnm -plain " + path, &status), &magic);
            ASSERT_EQ(status, 0) << path;
            EXPECT_EQ(magic, code == 12 ? "P1" : code == 13 ? "P2" : "P3");
            const size_t head = code == 12 ? 2 : 3;
            ASSERT_EQ(v.size(), head + static_cast<size_t>(w) * h * (code == 14 ? 3 : 1)) << path;
            EXPECT_EQ(v[0], unsigned(w));
            EXPECT_EQ(v[1], unsigned(h));
            for (size_t i = 0; i + head < v.size(); ++i) {
                const unsigned expect = code == 14 ? rgb[i] : code == 13 ? grey[i] : (grey[i] < 128 ? 1 : 0);
                ASSERT_EQ(v[head + i], expect) << path << " sample " << i;
            }
            // and the outside tool's own text form reads back to the same picture (its plain
            // PBM packs digits without spaces, which this reader takes as one number)
            if (code == 12) continue;
            const Decoded d = Read(fmt_test::Run("pamtopnm -plain " + path));
            ASSERT_EQ(d.code, code);
            EXPECT_EQ(d.px, code == 14 ? rgb : grey);
        }
}

TEST(PnmFiles, DispatchByCodeExtensionAndMagic) {
    const int w = 6, h = 4;
    const std::vector<unsigned char> grey = Pattern(w, h, 1, 8);
    for (int code = 12; code <= 14; ++code) {
        Owned out;
        int len = 0;
        const int n = SaveImgBuff(grey.data(), w, h, 2, 300, -1, 0, out.addr(), &len, code);
        ASSERT_GT(n, 0) << code;
        EXPECT_EQ(out[1], '0' + code - 8);
        Owned img;
        int rw = 0, rh = 0, layout = -1, dpi = -1;
        EXPECT_EQ(LoadImgBuff(img.addr(), &rw, &rh, &layout, &dpi, -1, out.p, n), code);
        EXPECT_EQ(rw, w);
        EXPECT_EQ(rh, h);
    }
    const char* names[] = {"d.pbm", "d.PGM", "d.ppm"};
    for (int i = 0; i < 3; ++i) {
        const std::string path = fmt_test::TempPath(names[i]);
        const int size = SaveImgFile(path.c_str(), grey.data(), w, h, 2, 300, -1, 1);
        ASSERT_GT(size, 0) << path;
        EXPECT_EQ(static_cast<size_t>(size), fmt_test::ReadFile(path).size());
        Owned img;
        int rw = 0, rh = 0, layout = -1, dpi = -1;
        EXPECT_EQ(LoadImgFile(path.c_str(), img.addr(), &rw, &rh, &layout, &dpi, -1), 12 + i) << path;
        if (i == 1) {
            EXPECT_EQ(Bytes(img.p, grey.size()), grey);
        }
    }
}

}  // namespace

// The budget holds in every mode: a legal header beyond it is refused by the size-only call too,
// as is one whose raster is not there; an image at the budget reads.
TEST(ReadPnm, BudgetInEveryMode) {
    const std::string at_budget = "P5\n4096 4096\n255\n" + std::string(size_t(4096) * 4096, '\x07');
    struct Case {
        const char* what;
        std::string file;
        int code;
    } cases[] = {
        {"30000 x 30000 header with 64 bytes of raster", "P5\n30000 30000\n255\n" + std::string(64, '\0'), 0},
        {"one row beyond the budget, raster complete", "P5\n4096 4097\n255\n" + std::string(size_t(4096) * 4097, '\0'),
         0},
        {"a text raster of fewer characters than samples", "P2\n3 1\n255\n1 ", 0},
        {"at the budget", at_budget, 13},
    };
    for (const Case& c : cases) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(c.file.data());
        const int n = static_cast<int>(c.file.size());
        int w = 0, h = 0;
        EXPECT_EQ(ReadPnm(nullptr, &w, &h, nullptr, nullptr, -1, p, n), c.code) << c.what;
        EXPECT_EQ(Read(c.file, 0).code, c.code) << c.what;
    }
    const Decoded d = Read(at_budget, -1);
    EXPECT_EQ(d.w * d.h, 1 << 24);
    EXPECT_EQ(d.px.back(), 7);
}
