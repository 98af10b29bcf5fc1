// BMP encoding and decoding in memory and in files, and the shared stream functions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imagelib.h"

namespace {

std::string TmpPath(const std::string& name) {
    return std::string(QV_TEST_TMPDIR) + "/bmp_" + std::to_string(getpid()) + "_" + name;
}

unsigned Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned>(p[3]) << 24);
}
unsigned Le16(const unsigned char* p) { return p[0] | (p[1] << 8); }

std::vector<unsigned char> Ramp(int w, int h, int bpp) {
    std::vector<unsigned char> v(static_cast<size_t>(w) * h * bpp);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<unsigned char>(i * 37 + i / 7);
    return v;
}

// A minimal BMP of the given depth with raw rows as stored (bottom-up unless height < 0).
std::vector<unsigned char> MakeBmp(int w, int h, int bits, const std::vector<unsigned char>& palette,
                                   const std::vector<unsigned char>& rows, unsigned coloursUsed = 0) {
    std::vector<unsigned char> f(54);
    unsigned offset = 54 + static_cast<unsigned>(palette.size());
    auto put32 = [&](int at, unsigned v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, offset + static_cast<unsigned>(rows.size()));
    put32(10, offset);
    put32(14, 40);
    put32(18, static_cast<unsigned>(w));
    put32(22, static_cast<unsigned>(h));
    f[26] = 1;
    f[28] = static_cast<unsigned char>(bits);
    put32(38, 2835);
    put32(46, coloursUsed);
    f.insert(f.end(), palette.begin(), palette.end());
    f.insert(f.end(), rows.begin(), rows.end());
    return f;
}

}  // namespace

TEST(Bmp, EnrolmentImageIsExact) {
    std::vector<unsigned char> frame = Ramp(320, 240, 1);
    unsigned char* buf = nullptr;
    int len = -1;
    int r = SaveImgBuff(frame.data(), 320, 240, 1, 19685, 2, 0, &buf, &len, 1);
    ASSERT_EQ(r, 77878);
    EXPECT_EQ(len, r);
    const unsigned char head[54] = {
        'B',  'M',  0x36, 0x30, 0x01, 0x00, 0,    0,    0,    0, 0x36, 0x04, 0, 0,        // size 77878, offset 1078
        40,   0,    0,    0,    0x40, 0x01, 0,    0,    0xF0, 0, 0,    0,    1, 0, 8, 0,  // 320 x 240, 1 plane, 8 bits
        0,    0,    0,    0,    0x00, 0x2C, 0x01, 0x00,                                   // no compression, 76800
        0x58, 0xD3, 0x0B, 0x00, 0x58, 0xD3, 0x0B, 0x00,                                   // 775000 pixels per metre
        0,    0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(std::memcmp(buf, head, 54), 0);
    for (int i = 0; i < 256; ++i) {
        const unsigned char e[4] = {static_cast<unsigned char>(i), static_cast<unsigned char>(i),
                                    static_cast<unsigned char>(i), 0};
        ASSERT_EQ(std::memcmp(buf + 54 + 4 * i, e, 4), 0) << i;
    }
    for (int row = 0; row < 240; ++row)
        ASSERT_EQ(std::memcmp(buf + 1078 + 320 * row, frame.data() + 320 * (239 - row), 320), 0) << row;
    FreeImgBuff(&buf);
    EXPECT_EQ(buf, nullptr);
}

TEST(Bmp, WriterSizesTable) {
    struct Case {
        int w, h, layout, choice, bits, offset, size;
    } cases[] = {
        {1, 1, 1, -1, 8, 1078, 1082},  // one pixel and three zero bytes
        {3, 2, 0, 0, 24, 54, 78},      // stride 12
        {3, 2, 0, -1, 24, 54, 78},        {3, 2, 0, 1, 8, 1078, 1078 + 8},
        {3, 2, 0, 2, 8, 1078, 1078 + 8},  {3, 2, 2, 0, 24, 54, 78},  // grey repeated as B, G, R
        {3, 2, 3, -1, 8, 1078, 1078 + 8},                            // unassigned layout still carries the grey palette
        {3, 2, 5, -1, 32, 54, 54 + 24},   {3, 2, 4, 1, 32, 54, 54 + 24},  // the alpha layouts write themselves
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> px = Ramp(c.w, c.h, 4);
        unsigned char* buf = nullptr;
        int len = 0;
        int r = WriteBmp(nullptr, px.data(), c.w, c.h, c.layout, 96, c.choice, &buf, &len);
        ASSERT_EQ(r, c.size) << "layout " << c.layout << " choice " << c.choice;
        EXPECT_EQ(len, c.size);
        EXPECT_EQ(Le16(buf + 28), static_cast<unsigned>(c.bits));
        EXPECT_EQ(Le32(buf + 10), static_cast<unsigned>(c.offset));
        EXPECT_EQ(Le32(buf + 2), static_cast<unsigned>(c.size));
        EXPECT_EQ(Le32(buf + 38), 3780u);
        FreeImgBuff(&buf);
    }
}

TEST(Bmp, WriterRowOrderAndChannels) {
    // 3 x 2 R,G,B: the first stored row is the image's last row, bytes B, G, R, then padding.
    const unsigned char rgb[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    unsigned char* buf = nullptr;
    int len = 0;
    ASSERT_EQ(WriteBmp(nullptr, rgb, 3, 2, 0, 0, 0, &buf, &len), 78);
    const unsigned char rows[24] = {12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0, 3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf + 54, rows, 24), 0);
    // Green byte and luma of the same pixels.
    ASSERT_EQ(WriteBmp(nullptr, rgb, 3, 2, 0, 0, 1, &buf, &len), 1078 + 8);
    const unsigned char green[8] = {11, 14, 17, 0, 2, 5, 8, 0};
    EXPECT_EQ(std::memcmp(buf + 1078, green, 8), 0);
    ASSERT_EQ(WriteBmp(nullptr, rgb, 3, 2, 0, 0, 2, &buf, &len), 1078 + 8);
    EXPECT_EQ(buf[1078], LumaRgb(rgb + 9));
    // Premultiplied B, G, R, A is written straight; colour above alpha clamps to 255.
    const unsigned char pm[8] = {50, 100, 200, 200, 90, 10, 0, 0};
    ASSERT_EQ(WriteBmp(nullptr, pm, 2, 1, 4, 0, -1, &buf, &len), 62);
    const unsigned char straight[8] = {63, 127, 255, 200, 90, 10, 0, 0};
    EXPECT_EQ(std::memcmp(buf + 54, straight, 8), 0);
    const unsigned char over[4] = {250, 0, 0, 100};
    ASSERT_EQ(WriteBmp(nullptr, over, 1, 1, 4, 0, -1, &buf, &len), 58);
    EXPECT_EQ(buf[54], 255);
    FreeImgBuff(&buf);
}

TEST(Bmp, WriterResolutionTable) {
    struct Case {
        int dpi;
        unsigned ppm;
    } cases[] = {{-1, 19685}, {300, 11811}, {500, 19685}, {96, 3780}, {72, 2835}, {19685, 775000}, {0, 0}};
    const unsigned char px = 7;
    for (const Case& c : cases) {
        unsigned char* buf = nullptr;
        int len = 0;
        ASSERT_GT(WriteBmp(nullptr, &px, 1, 1, 1, c.dpi, -1, &buf, &len), 0);
        EXPECT_EQ(Le32(buf + 38), c.ppm) << c.dpi;
        EXPECT_EQ(Le32(buf + 42), c.ppm) << c.dpi;
        int dpi = -5;
        ASSERT_EQ(ReadBmp(nullptr, nullptr, nullptr, nullptr, nullptr, &dpi, -1, buf, len), 1);
        EXPECT_EQ(dpi, c.dpi == -1 ? 500 : static_cast<int>(c.ppm * 25.39999918 / 1000 + 0.5));
        FreeImgBuff(&buf);
    }
}

TEST(Bmp, FileThatCannotBeWrittenWholeFails) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // Small files stay in the stream's buffer until the close, large ones fail on a write.
    std::vector<unsigned char> px = Ramp(320, 240, 4);
    struct Case {
        int w, h, layout;
    } cases[] = {{1, 1, 1}, {3, 2, 0}, {2, 2, 5}, {320, 240, 1}};
    for (const Case& c : cases)
        EXPECT_EQ(WriteBmp("/dev/full", px.data(), c.w, c.h, c.layout, 0, -1, nullptr, nullptr), 0)
            << c.w << " x " << c.h;
    const std::string path = TmpPath("whole.bmp");
    EXPECT_EQ(WriteBmp(path.c_str(), px.data(), 1, 1, 1, 0, -1, nullptr, nullptr), 1);
    std::remove(path.c_str());
}

TEST(Bmp, RoundTripEveryWrittenKind) {
    const int w = 5, h = 3;
    std::vector<unsigned char> rgb = Ramp(w, h, 3), grey = Ramp(w, h, 1), bgra = Ramp(w, h, 4);
    for (size_t i = 3; i < bgra.size(); i += 4) bgra[i] = 255;  // opaque so premultiplied equals straight
    struct Case {
        const std::vector<unsigned char>* px;
        int layout, choice, request, wantLayout;
    } cases[] = {
        {&rgb, 0, -1, -1, 0}, {&grey, 2, -1, -1, 2}, {&grey, 1, -1, 1, 1}, {&bgra, 5, -1, -3, 5}, {&bgra, 5, -1, -2, 4},
    };
    for (const Case& c : cases) {
        unsigned char* buf = nullptr;
        int len = 0;
        ASSERT_GT(WriteBmp(nullptr, c.px->data(), w, h, c.layout, 0, c.choice, &buf, &len), 0);
        unsigned char* img = nullptr;
        int rw = 0, rh = 0, rl = -9, dpi = -9;
        ASSERT_EQ(ReadBmp(nullptr, &img, &rw, &rh, &rl, &dpi, c.request, buf, len), 1);
        EXPECT_EQ(rw, w);
        EXPECT_EQ(rh, h);
        EXPECT_EQ(rl, c.wantLayout);
        EXPECT_EQ(std::memcmp(img, c.px->data(), c.px->size()), 0) << "layout " << c.layout;
        FreeImgData(&img);
        FreeImgBuff(&buf);
    }
}

TEST(Bmp, ReaderLayoutDecisions) {
    // 2 x 1, 8 bits, grey ramp palette: request -1 gives grey, 0 gives colour.
    std::vector<unsigned char> greyPal, colourPal;
    for (int i = 0; i < 4; ++i) {
        greyPal.insert(greyPal.end(), {static_cast<unsigned char>(i * 80), static_cast<unsigned char>(i * 80),
                                       static_cast<unsigned char>(i * 80), 0});
        colourPal.insert(colourPal.end(), {static_cast<unsigned char>(i), 0, 0, 0});
    }
    std::vector<unsigned char> rows = {1, 3, 0, 0};
    std::vector<unsigned char> g = MakeBmp(2, 1, 8, greyPal, rows, 4), c = MakeBmp(2, 1, 8, colourPal, rows, 4);
    unsigned char* img = nullptr;
    int w, h, l;
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, -1, g.data(), static_cast<int>(g.size())), 1);
    EXPECT_EQ(l, 2);
    EXPECT_EQ(img[0], 80);
    EXPECT_EQ(img[1], 240);
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, 0, g.data(), static_cast<int>(g.size())), 1);
    EXPECT_EQ(l, 0);
    const unsigned char want[6] = {80, 80, 80, 240, 240, 240};
    EXPECT_EQ(std::memcmp(img, want, 6), 0);
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, -2, c.data(), static_cast<int>(c.size())), 1);
    EXPECT_EQ(l, 0);       // no alpha below 32 bits
    EXPECT_EQ(img[2], 1);  // blue byte of entry 1 lands in B of R,G,B
    ASSERT_EQ(ReadBmp(nullptr, nullptr, &w, &h, &l, nullptr, -1, c.data(), static_cast<int>(c.size())), 1);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(l, 0);
    FreeImgData(&img);
}

TEST(Bmp, ReaderDepthsAndRowOrder) {
    // 1-bit: palette black/white, 10 pixels a row (stride 4), two rows top-down (height -2).
    std::vector<unsigned char> bw = {0, 0, 0, 0, 255, 255, 255, 0};
    std::vector<unsigned char> rows1 = {0xA0, 0x40, 0, 0, 0xFF, 0xC0, 0, 0};
    auto f1 = MakeBmp(10, -2, 1, bw, rows1);
    unsigned char* img = nullptr;
    int w, h, l;
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, -1, f1.data(), static_cast<int>(f1.size())), 1);
    EXPECT_EQ(l, 2);
    const unsigned char want1[20] = {255, 0,   255, 0,   0,   0,   0,   0,   0,   255,
                                     255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    EXPECT_EQ(std::memcmp(img, want1, 20), 0);
    // 4-bit, high nibble first; entries past the stored two read black.
    std::vector<unsigned char> pal4 = {10, 10, 10, 0, 20, 20, 20, 0};
    std::vector<unsigned char> rows4 = {0x10, 0x70, 0, 0};
    auto f4 = MakeBmp(3, 1, 4, pal4, rows4, 2);
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, -1, f4.data(), static_cast<int>(f4.size())), 1);
    const unsigned char want4[3] = {20, 10, 0};
    EXPECT_EQ(std::memcmp(img, want4, 3), 0);
    // 16-bit 5-5-5: positive height, so the first stored row is the image's last.
    std::vector<unsigned char> rows16 = {0x1F, 0x00, 0, 0, 0x00, 0x7C, 0, 0};
    auto f16 = MakeBmp(1, 2, 16, {}, rows16);
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, 0, f16.data(), static_cast<int>(f16.size())), 1);
    const unsigned char want16[6] = {248, 0, 0, 0, 0, 248};
    EXPECT_EQ(std::memcmp(img, want16, 6), 0);
    // 32-bit premultiplies on request -2.
    std::vector<unsigned char> rows32 = {200, 100, 50, 128};
    auto f32 = MakeBmp(1, 1, 32, {}, rows32);
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, -2, f32.data(), static_cast<int>(f32.size())), 1);
    EXPECT_EQ(l, 4);
    const unsigned char want32[4] = {100, 50, 25, 128};
    EXPECT_EQ(std::memcmp(img, want32, 4), 0);
    ASSERT_EQ(ReadBmp(nullptr, &img, &w, &h, &l, nullptr, -1, f32.data(), static_cast<int>(f32.size())), 1);
    EXPECT_EQ(l, 0);
    const unsigned char want32rgb[3] = {50, 100, 200};
    EXPECT_EQ(std::memcmp(img, want32rgb, 3), 0);
    FreeImgData(&img);
}

TEST(Bmp, ReaderRefusesBadHeaders) {
    const unsigned char px[4] = {1, 2, 3, 4};
    unsigned char* good = nullptr;
    int len = 0;
    ASSERT_EQ(WriteBmp(nullptr, px, 2, 2, 1, 0, -1, &good, &len), 1078 + 8);
    std::vector<unsigned char> base(good, good + len);
    FreeImgBuff(&good);
    auto put32 = [](std::vector<unsigned char>& f, int at, unsigned v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    struct Case {
        const char* what;
        int at, size;
        unsigned value;
    } cases[] = {
        {"signature", 0, 2, 0x4D42 + 1},
        {"info size", 14, 4, 12},
        {"width 0", 18, 4, 0},
        {"negative width", 18, 4, 0xFFFFFFFFu},
        {"height 0", 22, 4, 0},
        {"height INT_MIN", 22, 4, 0x80000000u},
        {"planes", 26, 2, 2},
        {"bits", 28, 2, 2},
        {"compression", 30, 4, 1},
        {"offset inside palette", 10, 4, 54 + 1023},
        {"offset past the data", 10, 4, 5000},
        {"width past the data", 18, 4, 1000},
        {"width above the limit", 18, 4, 40000},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> f = base;
        if (c.size == 2) {
            f[c.at] = static_cast<unsigned char>(c.value);
            f[c.at + 1] = static_cast<unsigned char>(c.value >> 8);
        } else
            put32(f, c.at, c.value);
        unsigned char* img = static_cast<unsigned char*>(std::malloc(8));
        EXPECT_EQ(ReadBmp(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, f.data(), static_cast<int>(f.size())),
                  0)
            << c.what;
        EXPECT_EQ(img, nullptr) << c.what;
    }
    unsigned char* img = nullptr;
    EXPECT_EQ(ReadBmp(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, base.data(), 60), 0);  // truncated palette
    EXPECT_EQ(ReadBmp(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, base.data(), 1078 + 7), 0);  // short row
    EXPECT_EQ(ReadBmp(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, base.data(), 7), 0);
    EXPECT_EQ(ReadBmp(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, nullptr, 100), 0);
    EXPECT_EQ(ReadBmp("/nonexistent-dir/x.bmp", &img, nullptr, nullptr, nullptr, nullptr, -1, nullptr, 0), 0);
}

TEST(Bmp, FilesWrittenAndReadBack) {
    std::vector<unsigned char> rgb = Ramp(7, 5, 3);
    const std::string path = TmpPath("rgb.bmp");
    ASSERT_EQ(WriteBmp(path.c_str(), rgb.data(), 7, 5, 0, 300, -1, nullptr, nullptr), 1);
    unsigned char* mem = nullptr;
    int len = 0;
    ASSERT_EQ(WriteBmp(nullptr, rgb.data(), 7, 5, 0, 300, -1, &mem, &len), 54 + 24 * 5);
    unsigned char* file = nullptr;
    int size = 0;
    file = ImgReadFileBuf(path.c_str(), 0, &size);
    ASSERT_EQ(size, len);
    EXPECT_EQ(std::memcmp(file, mem, static_cast<size_t>(len)), 0);  // the file holds the same bytes
    std::free(file);
    FreeImgBuff(&mem);
    unsigned char* img = nullptr;
    int w = 0, h = 0, l = 0, dpi = 0;
    ASSERT_EQ(ReadBmp(path.c_str(), &img, &w, &h, &l, &dpi, -1, nullptr, 0), 1);
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 5);
    EXPECT_EQ(dpi, 300);
    EXPECT_EQ(std::memcmp(img, rgb.data(), rgb.size()), 0);
    FreeImgData(&img);
    std::remove(path.c_str());
}

TEST(Bmp, PythonStandardLibraryReadsOurHeader) {
    if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    std::vector<unsigned char> grey = Ramp(33, 7, 1);
    const std::string path = TmpPath("py.bmp");
    ASSERT_EQ(WriteBmp(path.c_str(), grey.data(), 33, 7, 2, 500, -1, nullptr, nullptr), 1);
    // An independent parse of header, palette and the last pixel of the top row.
    const std::string script =
        "import struct,sys\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "sig,size,r1,r2,off=struct.unpack('<2sIHHI',d[:14])\n"
        "hs,w,h,pl,bpp,comp,isz,xp,yp,cu,ci=struct.unpack('<IiiHHIIiiII',d[14:54])\n"
        "stride=(w*bpp+31)//32*4\n"
        "assert sig==b'BM' and size==len(d) and off==1078 and hs==40 and (w,h,pl,bpp,comp)==(33,7,1,8,0)\n"
        "assert isz==stride*h and xp==yp==19685 and all(d[54+4*i:58+4*i]==bytes([i,i,i,0]) for i in range(256))\n"
        "print(d[off+stride*(h-1)+w-1])\n";
    const std::string cmd = "python3 -c \"" + [&] {
        std::string s;
        for (char ch : script) {
            if (ch == '"')
                s += "\\\"";
            else
                s += ch;
        }
        return s;
    }() + "\" " + path;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[32] = {0};
    ASSERT_NE(std::fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(std::atoi(line), grey[32]);
    std::remove(path.c_str());
}

TEST(Bmp, StoreBmpPixelLayouts) {
    const unsigned char bgra[4] = {10, 20, 30, 128};
    unsigned char out[4] = {0};
    EXPECT_EQ(StoreBmpPixel(bgra, 0, out), out + 3);
    EXPECT_EQ(out[0], 30);
    EXPECT_EQ(out[2], 10);
    EXPECT_EQ(StoreBmpPixel(bgra, 1, out), out + 1);
    EXPECT_EQ(out[0], 20);
    EXPECT_EQ(StoreBmpPixel(bgra, 2, out), out + 1);
    EXPECT_EQ(out[0], LumaBgr(bgra));
    EXPECT_EQ(StoreBmpPixel(bgra, 4, out), out + 4);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[2], 15);
    EXPECT_EQ(out[3], 128);
    EXPECT_EQ(StoreBmpPixel(bgra, 5, out), out + 4);
    EXPECT_EQ(std::memcmp(out, bgra, 4), 0);
}

TEST(Stream, MemFreadAndFwriteMoveWholeItems) {
    const unsigned char src[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const unsigned char* cur = src;
    int remaining = 10;
    unsigned char dst[10] = {0};
    EXPECT_EQ(MemFread(dst, 4, 3, nullptr, &cur, &remaining), 2);  // two whole items fit
    EXPECT_EQ(remaining, 2);
    EXPECT_EQ(cur, src + 8);
    EXPECT_EQ(dst[7], 7);
    EXPECT_EQ(MemFread(dst, 4, 1, nullptr, &cur, &remaining), 0);
    EXPECT_EQ(MemFread(dst, 0, 1, nullptr, &cur, &remaining), 0);
    unsigned char out[6];
    unsigned char* w = out;
    int room = 6;
    EXPECT_EQ(MemFwrite(src, 2, 4, nullptr, &w, &room), 3);
    EXPECT_EQ(room, 0);
    EXPECT_EQ(std::memcmp(out, src, 6), 0);
    unsigned char* none = nullptr;
    room = 6;
    EXPECT_EQ(MemFwrite(src, 1, 1, nullptr, &none, &room), 0);
}

TEST(Stream, MemoryStreamBoundsAndGapFill) {
    unsigned char buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    ImgStream s{1, nullptr, 0, buf, 16, 0, 0};
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(ImgStreamWrite(&s, data, 4), 4);
    EXPECT_EQ(ImgStreamSeek(&s, 10, SEEK_SET), 10u);
    EXPECT_EQ(ImgStreamWrite(&s, data, 4), 4);
    EXPECT_EQ(s.length, 14);
    for (int i = 4; i < 10; ++i) EXPECT_EQ(buf[i], 0) << i;  // the gap is zeroed, not stale
    EXPECT_EQ(ImgStreamWrite(&s, data, 4), 0);               // past the capacity: nothing
    EXPECT_EQ(ImgStreamWrite(&s, data, 2), 2);
    EXPECT_EQ(ImgStreamWrite(&s, data, 1), 0);  // full
    EXPECT_EQ(ImgStreamSize(&s), 16u);
    EXPECT_EQ(ImgStreamSeek(&s, 17, SEEK_SET), static_cast<toff_t>(-1));
    EXPECT_EQ(s.position, 16);
    EXPECT_EQ(ImgStreamSeek(&s, static_cast<toff_t>(-6), SEEK_END), 10u);
    EXPECT_EQ(ImgStreamSeek(&s, static_cast<toff_t>(-11), SEEK_CUR), static_cast<toff_t>(-1));
    EXPECT_EQ(ImgStreamSeek(&s, (static_cast<toff_t>(1) << 32) + 2, SEEK_SET), static_cast<toff_t>(-1));

    ImgStream r{0, nullptr, 0, buf, 14, 0, 0};
    unsigned char back[14];
    EXPECT_EQ(ImgStreamRead(&r, back, 15), 0);
    EXPECT_EQ(r.position, 0);
    EXPECT_EQ(ImgStreamRead(&r, back, 14), 14);
    EXPECT_EQ(ImgStreamSize(&r), 14u);
    EXPECT_EQ(ImgStreamSeek(&r, 0, SEEK_END), 14u);
    EXPECT_EQ(ImgStreamClose(&r), 0);
    tdata_t base = nullptr;
    toff_t size = 0;
    EXPECT_EQ(ImgStreamMap(&r, &base, &size), 0);
    ImgStreamUnmap(&r, base, size);
}

TEST(Stream, FileStream) {
    const std::string path = TmpPath("stream.bin");
    FILE* f = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(f, nullptr);
    ImgStream s{1, f, 0, nullptr, 0, 0, 0};
    unsigned char data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(ImgStreamWrite(&s, data, 5), 5);
    EXPECT_EQ(ImgStreamSize(&s), 5u);
    EXPECT_EQ(ImgStreamSeek(&s, 1, SEEK_SET), 1u);
    EXPECT_EQ(ImgStreamSeek(&s, 1, SEEK_CUR), 2u);
    s.writing = 0;
    s.fileSize = 5;
    unsigned char back[3];
    EXPECT_EQ(ImgStreamRead(&s, back, 3), 3);
    EXPECT_EQ(back[0], 3);
    EXPECT_EQ(ImgStreamSize(&s), 5u);
    std::fclose(f);
    std::remove(path.c_str());
}

// The budget holds in every mode: a legal header beyond it, or one whose rows are not there, is
// refused by the size-only call too; the writer's 2^24-pixel picture reads back.
TEST(Bmp, ReaderBudgetInEveryMode) {
    std::vector<unsigned char> big(static_cast<size_t>(4096) * 4097, 0x33);
    unsigned char* at_budget = nullptr;
    int len = 0;
    const int n = WriteBmp(nullptr, big.data(), 4096, 4096, 1, 72, 1, &at_budget, &len);
    ASSERT_GT(n, 0);
    unsigned char* over = nullptr;
    int over_len = 0;
    const int m = WriteBmp(nullptr, big.data(), 4096, 4097, 1, 72, 1, &over, &over_len);
    ASSERT_GT(m, 0);
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int ok;
    } cases[] = {
        {"30000 x 30000 header with 64 bytes of rows", MakeBmp(30000, 30000, 24, {}, std::vector<unsigned char>(64)),
         0},
        {"rows one byte short", MakeBmp(3, 2, 24, {}, std::vector<unsigned char>(23)), 0},
        {"one row beyond the budget, rows complete", std::vector<unsigned char>(over, over + m), 0},
        {"our writer at the budget", std::vector<unsigned char>(at_budget, at_budget + n), 1},
    };
    FreeImgBuff(&at_budget);
    FreeImgBuff(&over);
    for (const Case& c : cases) {
        int w = 0, h = 0;
        EXPECT_EQ(
            ReadBmp(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, c.file.data(), static_cast<int>(c.file.size())),
            c.ok)
            << c.what;
        unsigned char* img = nullptr;
        EXPECT_EQ(ReadBmp(nullptr, &img, &w, &h, nullptr, nullptr, 0, c.file.data(), static_cast<int>(c.file.size())),
                  c.ok)
            << c.what;
        if (c.ok) {
            EXPECT_EQ(w * h, 1 << 24);
            EXPECT_EQ(img[3 * (w * h - 1)], 0x33);
        }
        FreeImgData(&img);
    }
}
