// PNG codec: colour types per layout, pHYs, alpha requests, palettes, truncation, outside checker.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>

#include "finger_gen.h"
#include "formats_util.h"
#include "img_buffer.h"
#include "img_codec.h"
#include "img_dispatch.h"
#include "img_png.h"

using fmt_test::Bytes;
using fmt_test::Owned;
using fmt_test::Pattern;

namespace {

std::vector<unsigned char> Encode(const std::vector<unsigned char>& px, int w, int h, int layout, int dpi, int output,
                                  int* capacity = nullptr) {
    Owned out;
    int len = -1;
    const int n = WritePng(nullptr, px.data(), w, h, layout, dpi, output, out.addr(), &len);
    if (capacity) *capacity = len;
    return n > 0 ? Bytes(out.p, static_cast<size_t>(n)) : std::vector<unsigned char>();
}

using fmt_test::Decoded;

Decoded Decode(const std::vector<unsigned char>& file, int request = -1) {
    return fmt_test::DecodeWith(ReadPng, file, request);
}

// A PNG made by hand: IHDR, an optional PLTE, optional pHYs, one IDAT of the filter-0 rows, IEND.
void Chunk(std::vector<unsigned char>* f, const char* type, const std::vector<unsigned char>& body) {
    const unsigned n = static_cast<unsigned>(body.size());
    const unsigned char len[4] = {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                  static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    f->insert(f->end(), len, len + 4);
    std::vector<unsigned char> tb(type, type + 4);
    tb.insert(tb.end(), body.begin(), body.end());
    f->insert(f->end(), tb.begin(), tb.end());
    const uLong crc = crc32(0, tb.data(), static_cast<uInt>(tb.size()));
    for (int s = 24; s >= 0; s -= 8) f->push_back(static_cast<unsigned char>(crc >> s));
}

std::vector<unsigned char> Be32(unsigned v) {
    return {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

std::vector<unsigned char> HandPng(int w, int h, int depth, int colour, const std::vector<unsigned char>& rows,
                                   const std::vector<unsigned char>& palette = {}, int phys_unit = -1,
                                   unsigned phys = 0) {
    std::vector<unsigned char> f = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<unsigned char> ihdr = Be32(static_cast<unsigned>(w));
    const std::vector<unsigned char> hh = Be32(static_cast<unsigned>(h));
    ihdr.insert(ihdr.end(), hh.begin(), hh.end());
    ihdr.push_back(static_cast<unsigned char>(depth));
    ihdr.push_back(static_cast<unsigned char>(colour));
    ihdr.push_back(0);
    ihdr.push_back(0);
    ihdr.push_back(0);
    Chunk(&f, "IHDR", ihdr);
    if (!palette.empty()) Chunk(&f, "PLTE", palette);
    if (phys_unit >= 0) {
        std::vector<unsigned char> p = Be32(phys);
        const std::vector<unsigned char> y = Be32(phys);
        p.insert(p.end(), y.begin(), y.end());
        p.push_back(static_cast<unsigned char>(phys_unit));
        Chunk(&f, "pHYs", p);
    }
    uLongf zlen = compressBound(static_cast<uLong>(rows.size()));
    std::vector<unsigned char> z(zlen);
    compress2(z.data(), &zlen, rows.data(), static_cast<uLong>(rows.size()), 6);
    z.resize(zlen);
    Chunk(&f, "IDAT", z);
    Chunk(&f, "IEND", {});
    return f;
}

// Rows with a leading filter byte 0 each.
std::vector<unsigned char> Rows(const std::vector<unsigned char>& px, int h) {
    std::vector<unsigned char> r;
    const size_t stride = px.size() / static_cast<size_t>(h);
    for (int y = 0; y < h; ++y) {
        r.push_back(0);
        r.insert(r.end(), px.begin() + static_cast<long>(y * stride), px.begin() + static_cast<long>((y + 1) * stride));
    }
    return r;
}

size_t FindChunk(const std::vector<unsigned char>& f, const char* type) {
    for (size_t i = 8; i + 8 <= f.size();) {
        const size_t n = (size_t(f[i]) << 24) | (size_t(f[i + 1]) << 16) | (size_t(f[i + 2]) << 8) | f[i + 3];
        if (memcmp(&f[i + 4], type, 4) == 0) return i + 8;
        i += 12 + n;
    }
    return 0;
}

TEST(WritePng, MemoryLengthIsTheCapacity) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(1, 0, finger.data());
    int cap = 0;
    const std::vector<unsigned char> f = Encode(finger, 320, 240, 1, 96, -1, &cap);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(cap, 120320);
    EXPECT_LT(f.size(), 120320u);
    EXPECT_EQ(Bytes(f.data(), 8), (std::vector<unsigned char>{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));
}

TEST(WritePng, ColourTypesAndExactRoundTrips) {
    const int w = 7, h = 5;
    const std::vector<unsigned char> grey = Pattern(w, h, 1);
    const std::vector<unsigned char> rgb = Pattern(w, h, 3, 2);
    std::vector<unsigned char> bgra = Pattern(w, h, 4, 3), ga = Pattern(w, h, 2, 4);
    struct Case {
        const std::vector<unsigned char>* px;
        int layout, output, colour_type, request;
    } cases[] = {{&grey, 1, -1, 0, -1}, {&grey, 2, 0, 2, 0},   {&rgb, 0, -1, 2, -1}, {&rgb, 0, 1, 0, -1},
                 {&rgb, 0, 2, 0, -1},   {&bgra, 5, -1, 6, -3}, {&ga, 6, -1, 4, -3}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> f = Encode(*c.px, w, h, c.layout, 96, c.output);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(f[25], c.colour_type) << c.layout << " " << c.output;
        const Decoded d = Decode(f, c.request);
        ASSERT_EQ(d.ok, 1);
        EXPECT_EQ(d.w, w);
        EXPECT_EQ(d.h, h);
        const size_t n = static_cast<size_t>(w) * h;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* s = c.px->data() + i * fmt_test::PixelSize(c.layout);
            const unsigned char* o = d.px.data() + i * fmt_test::PixelSize(d.layout);
            if (c.layout == 5) {
                ASSERT_EQ(d.layout, 5);
                EXPECT_EQ(Bytes(o, 4), Bytes(s, 4));
            } else if (c.layout == 6) {
                ASSERT_EQ(d.layout, 5);
                EXPECT_EQ(Bytes(o, 4), (std::vector<unsigned char>{s[0], s[0], s[0], s[1]}));
            } else if (c.output == 1) {
                EXPECT_EQ(o[0], s[1]);
            } else if (c.output == 2) {
                EXPECT_EQ(o[0], LumaRgb(s));
            } else if (c.layout == 0) {
                ASSERT_EQ(d.layout, 0);
                EXPECT_EQ(Bytes(o, 3), Bytes(s, 3));
            } else {
                EXPECT_EQ(o[0], s[0]);
                if (c.output == 0) {
                    EXPECT_EQ(Bytes(o, 3), (std::vector<unsigned char>{s[0], s[0], s[0]}));
                }
            }
        }
    }
}

TEST(WritePng, PremultipliedIsWrittenStraight) {
    // B, G, R, A premultiplied (50, 100, 20, 128) is straight R, G, B = 39, 199, 99
    const std::vector<unsigned char> pre = {50, 100, 20, 128, 9, 9, 9, 0};
    const std::vector<unsigned char> f = Encode(pre, 2, 1, 4, 96, -1);
    const Decoded straight = Decode(f, -3);
    ASSERT_EQ(straight.layout, 5);
    EXPECT_EQ(straight.px, (std::vector<unsigned char>{99, 199, 39, 128, 9, 9, 9, 0}));
    const Decoded again = Decode(f, -2);  // premultiplied on reading: c x A / 255, truncated
    ASSERT_EQ(again.layout, 4);
    EXPECT_EQ(again.px, (std::vector<unsigned char>{49, 99, 19, 128, 0, 0, 0, 0}));
    const Decoded opaque = Decode(f, -1);  // alpha dropped
    EXPECT_EQ(opaque.layout, 0);
    EXPECT_EQ(opaque.px, (std::vector<unsigned char>{39, 199, 99, 9, 9, 9}));
}

TEST(PngResolution, PhysWrittenAndRead) {
    const std::vector<unsigned char> grey = Pattern(3, 2, 1);
    struct Case {
        int dpi;
        unsigned ppm;
    } cases[] = {{500, 19685}, {-1, 19685}, {300, 11811}, {96, 3780}, {72, 2835}, {0, 0}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> f = Encode(grey, 3, 2, 1, c.dpi, -1);
        const size_t at = FindChunk(f, "pHYs");
        ASSERT_NE(at, 0u);
        EXPECT_EQ(Bytes(&f[at], 9),
                  (std::vector<unsigned char>{Be32(c.ppm)[0], Be32(c.ppm)[1], Be32(c.ppm)[2], Be32(c.ppm)[3],
                                              Be32(c.ppm)[0], Be32(c.ppm)[1], Be32(c.ppm)[2], Be32(c.ppm)[3], 1}))
            << c.dpi;
        int dpi = -5;
        EXPECT_EQ(ReadPng(nullptr, nullptr, nullptr, nullptr, nullptr, &dpi, -1, f.data(), static_cast<int>(f.size())),
                  1);
        EXPECT_EQ(dpi, c.dpi < 0 ? 500 : c.dpi);
    }
    const std::vector<unsigned char> px = {1, 2, 3};
    int dpi = -5;
    const std::vector<unsigned char> unitless = HandPng(3, 1, 8, 0, Rows(px, 1), {}, 0, 1234);
    ASSERT_EQ(Decode(unitless).ok, 1);
    EXPECT_EQ(ReadPng(nullptr, nullptr, nullptr, nullptr, nullptr, &dpi, -1, unitless.data(),
                      static_cast<int>(unitless.size())),
              1);
    EXPECT_EQ(dpi, 1234);  // no unit: the stored value
    const std::vector<unsigned char> none = HandPng(3, 1, 8, 0, Rows(px, 1));
    EXPECT_EQ(
        ReadPng(nullptr, nullptr, nullptr, nullptr, nullptr, &dpi, -1, none.data(), static_cast<int>(none.size())), 1);
    EXPECT_EQ(dpi, 0);
}

TEST(ReadPng, PalettesDepthsAndInfoLayouts) {
    const std::vector<unsigned char> grey_pal = {0, 0, 0, 128, 128, 128, 255, 255, 255};
    const std::vector<unsigned char> colour_pal = {0, 0, 0, 255, 0, 0, 255, 255, 255};
    const std::vector<unsigned char> idx = {0, 1, 2, 1};
    struct Case {
        std::vector<unsigned char> file;
        int info_layout, layout;
        std::vector<unsigned char> px;
    } cases[] = {
        {HandPng(4, 1, 8, 3, Rows(idx, 1), grey_pal), 2, 2, {0, 128, 255, 128}},
        {HandPng(4, 1, 8, 3, Rows(idx, 1), colour_pal), 0, 0, {0, 0, 0, 255, 0, 0, 255, 255, 255, 255, 0, 0}},
        // 2-bit palette indices 0, 1, 2, 1 packed in one byte
        {HandPng(4, 1, 2, 3, Rows({0x19}, 1), grey_pal), 2, 2, {0, 128, 255, 128}},
        // 16-bit grey: the high bytes remain
        {HandPng(2, 1, 16, 0, Rows({0x12, 0x34, 0xAB, 0xCD}, 1)), 2, 2, {0x12, 0xAB}},
        // 1-bit grey expands to 0 and 255
        {HandPng(3, 1, 1, 0, Rows({0xA0}, 1)), 2, 2, {255, 0, 255}},
        // RGBA with request -1: the alpha is dropped
        {HandPng(1, 1, 8, 6, Rows({10, 20, 30, 40}, 1)), 0, 0, {10, 20, 30}},
        // grey with alpha: grey
        {HandPng(2, 1, 8, 4, Rows({7, 1, 9, 2}, 1)), 2, 2, {7, 9}},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        int w = 0, h = 0, layout = -1;
        ASSERT_EQ(
            ReadPng(nullptr, nullptr, &w, &h, &layout, nullptr, -1, c.file.data(), static_cast<int>(c.file.size())), 1)
            << i;
        EXPECT_EQ(layout, c.info_layout) << i;
        const Decoded d = Decode(c.file);
        ASSERT_EQ(d.ok, 1) << i;
        EXPECT_EQ(d.layout, c.layout) << i;
        EXPECT_EQ(d.px, c.px) << i;
    }
    const Decoded rgba = Decode(HandPng(1, 1, 8, 6, Rows({10, 20, 30, 40}, 1)), -3);
    EXPECT_EQ(rgba.layout, 5);
    EXPECT_EQ(rgba.px, (std::vector<unsigned char>{30, 20, 10, 40}));
    const Decoded rgb_alpha_request = Decode(HandPng(1, 1, 8, 2, Rows({10, 20, 30}, 1)), -2);
    EXPECT_EQ(rgb_alpha_request.layout, 0);  // no alpha in the file: automatic
}

TEST(ReadPng, TruncatedCorruptAndOversizedFail) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(2, 0, finger.data());
    const std::vector<unsigned char> f = Encode(finger, 320, 240, 1, 96, -1);
    for (size_t cut : {f.size() - 20, f.size() / 2, size_t(60), size_t(8)}) {
        std::vector<unsigned char> part(f.begin(), f.begin() + static_cast<long>(cut));
        unsigned char* img = static_cast<unsigned char*>(malloc(4));
        EXPECT_EQ(
            ReadPng(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, part.data(), static_cast<int>(part.size())),
            0)
            << cut;
        EXPECT_EQ(img, nullptr);
    }
    std::vector<unsigned char> bad_crc = f;
    bad_crc[FindChunk(f, "IDAT") + 10] ^= 0xFF;
    EXPECT_EQ(Decode(bad_crc).ok, 0);
    std::vector<unsigned char> not_png = f;
    not_png[1] = 'Q';
    EXPECT_EQ(Decode(not_png).ok, 0);
    // a header claiming 40000 x 1 is refused before any raster is allocated
    const std::vector<unsigned char> wide = HandPng(40000, 1, 8, 0, Rows(std::vector<unsigned char>(40000, 1), 1));
    EXPECT_EQ(Decode(wide).ok, 0);
    // 30000 x 30000 is beyond the decode budget: even the size-only call refuses it
    const std::vector<unsigned char> bomb = HandPng(30000, 30000, 8, 6, Rows(std::vector<unsigned char>(1200, 0), 10));
    int w = 0, h = 0;
    EXPECT_EQ(ReadPng(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, bomb.data(), static_cast<int>(bomb.size())), 0);
    EXPECT_EQ(Decode(bomb).ok, 0);
}

TEST(PngFiles, FileModeDispatchAndOutsideChecker) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(4, 1, finger.data());
    const std::string path = fmt_test::TempPath("finger.png");
    const int size = SaveImgFile(path.c_str(), finger.data(), 320, 240, 1, 500, -1, 0);
    ASSERT_GT(size, 0);
    const std::vector<unsigned char> file = fmt_test::ReadFile(path);
    EXPECT_EQ(static_cast<size_t>(size), file.size());
    EXPECT_EQ(file, Encode(finger, 320, 240, 1, 500, -1));
    Owned img;
    int w = 0, h = 0, layout = -1, dpi = -1;
    ASSERT_EQ(LoadImgFile(path.c_str(), img.addr(), &w, &h, &layout, &dpi, -1), 4);
    EXPECT_EQ(dpi, 500);
    EXPECT_EQ(layout, 2);
    EXPECT_EQ(Bytes(img.p, finger.size()), finger);
    EXPECT_EQ(LoadImgBuff(nullptr, &w, &h, &layout, &dpi, -1, file.data(), static_cast<int>(file.size())), 4);
    EXPECT_EQ(w, 320);

    // a transparent straight pixel composited over red by the memory entry
    const std::vector<unsigned char> bgra = {0, 0, 0, 0, 10, 20, 30, 255};
    Owned buf;
    int len = 0;
    const int n = SaveImgBuff(bgra.data(), 2, 1, 5, 96, 255, 0, buf.addr(), &len, 4);
    ASSERT_GT(n, 0);
    const Decoded d = Decode(Bytes(buf.p, static_cast<size_t>(n)));
    EXPECT_EQ(d.px, (std::vector<unsigned char>{255, 0, 0, 30, 20, 10}));

    if (!fmt_test::HaveTool("pngcheck")) GTEST_SKIP() << "pngcheck not installed";
    const std::string rgba_path = fmt_test::TempPath("alpha.png");
    ASSERT_GT(SaveImgFileAlpha(rgba_path.c_str(), Pattern(9, 9, 3).data(), 9, 9, 0, 300, -1, -1, 0, nullptr), 8);
    for (const std::string& p : {path, rgba_path}) {
        int status = -1;
        const std::string out = fmt_test::Run("pngcheck -v " + p, &status);
        EXPECT_EQ(status, 0) << out;
    }
}

}  // namespace

namespace {

// A zlib stream of n zero bytes at level 9, made in pieces: the most a deflate stream expands.
std::vector<unsigned char> ZeroStream(size_t n) {
    z_stream z;
    memset(&z, 0, sizeof z);
    deflateInit(&z, 9);
    const std::vector<unsigned char> zeros(1 << 16, 0);
    std::vector<unsigned char> out;
    unsigned char buf[1 << 16];
    for (int flush = Z_NO_FLUSH; flush != Z_FINISH;) {
        const size_t piece = std::min(n, zeros.size());
        n -= piece;
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = const_cast<unsigned char*>(zeros.data());
        z.avail_in = static_cast<uInt>(piece);
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            deflate(&z, flush);
            out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

// Signature, IHDR, the given chunks, one IDAT holding idat, IEND.
std::vector<unsigned char> RawPng(unsigned w, unsigned h, int depth, int colour,
                                  const std::vector<std::pair<const char*, std::vector<unsigned char>>>& chunks,
                                  const std::vector<unsigned char>& idat) {
    std::vector<unsigned char> f = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<unsigned char> ihdr = Be32(w);
    const std::vector<unsigned char> hh = Be32(h);
    ihdr.insert(ihdr.end(), hh.begin(), hh.end());
    ihdr.insert(ihdr.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colour), 0, 0, 0});
    Chunk(&f, "IHDR", ihdr);
    for (const auto& c : chunks) Chunk(&f, c.first, c.second);
    Chunk(&f, "IDAT", idat);
    Chunk(&f, "IEND", {});
    return f;
}

// A zlib bomb: w x h whose rows are all zero, each with its filter byte.
std::vector<unsigned char> BombPng(unsigned w, unsigned h, int depth, int colour,
                                   const std::vector<std::pair<const char*, std::vector<unsigned char>>>& chunks = {}) {
    const size_t row = (static_cast<size_t>(w) * depth * (colour == 6 ? 4 : colour == 2 ? 3 : 1) + 7) / 8 + 1;
    return RawPng(w, h, depth, colour, chunks, ZeroStream(row * h));
}

struct Modes {
    int info, grey, colour, alpha;  // size-only call, then requests -1, 0 and -2
};

Modes TryAllModes(const std::vector<unsigned char>& f) {
    const int n = static_cast<int>(f.size());
    Modes m;
    int w = 0, h = 0;
    m.info = ReadPng(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, f.data(), n);
    m.grey = Decode(f, -1).ok;
    m.colour = Decode(f, 0).ok;
    m.alpha = Decode(f, -2).ok;
    return m;
}

const std::vector<unsigned char> kBlackWhite = {0, 0, 0, 255, 255, 255};

}  // namespace

// Hostile but legal files: valid chunks and real zlib data. Beyond the budget or the data, every
// mode refuses from the header; within it they decode (at most about 70 MiB for these).
TEST(PngBudget, HostileFilesAreRefusedOrStayWithinTheBudget) {
    std::vector<unsigned char> splt = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<unsigned char> ihdr = Be32(16);
    const std::vector<unsigned char> h16 = Be32(16);
    ihdr.insert(ihdr.end(), h16.begin(), h16.end());
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
    Chunk(&splt, "IHDR", ihdr);
    const std::vector<unsigned char> huge = Be32(0x7FFFFFFF);
    splt.insert(splt.end(), huge.begin(), huge.end());
    splt.insert(splt.end(), {'s', 'P', 'L', 'T'});
    ASSERT_EQ(splt.size(), 41u);
    // 4096^2 RGBA whose IDAT is 300 bytes: no deflate stream that short holds 64 MiB
    std::vector<unsigned char> short_idat = ZeroStream(4096u * (4096 * 4 + 1));
    short_idat.resize(300);
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int ok;
    } cases[] = {
        {"sPLT declaring 2^31-1 bytes (41 bytes, was 2 GiB)", splt, 0},
        {"1-bit grey bomb 5792 x 5792 (4 KB, was 196 MiB)", BombPng(5792, 5792, 1, 0), 0},
        {"1-bit palette bomb 32767 x 16384 (64 KB, was 3 GiB)", BombPng(32767, 16384, 1, 3, {{"PLTE", kBlackWhite}}),
         0},
        {"one row beyond the budget, 4097 x 4096", BombPng(4097, 4096, 1, 0), 0},
        {"4096 x 4096 RGBA from a 300-byte IDAT", RawPng(4096, 4096, 8, 6, {}, short_idat), 0},
        {"1-bit palette with tRNS at the budget (2 KB)",
         BombPng(4096, 4096, 1, 3, {{"PLTE", kBlackWhite}, {"tRNS", {0x80}}}), 1},
    };
    for (const Case& c : cases) {
        const Modes m = TryAllModes(c.file);
        EXPECT_EQ(m.info, c.ok) << c.what;
        EXPECT_EQ(m.grey, c.ok) << c.what;
        EXPECT_EQ(m.colour, c.ok) << c.what;
        EXPECT_EQ(m.alpha, c.ok) << c.what;
    }
    const Decoded d = Decode(cases[5].file, -2);
    ASSERT_EQ(d.layout, 4);
    EXPECT_EQ(Bytes(d.px.data(), 4), (std::vector<unsigned char>{0, 0, 0, 0x80}));
}

namespace {

// What our writer and netpbm's pnmtopng make of a picture, with ancillary chunks the reader skips.
std::vector<unsigned char> Pnmtopng(const std::string& name, const std::string& pnm_header,
                                    const std::vector<unsigned char>& raster, const std::string& options) {
    std::vector<unsigned char> pnm(pnm_header.begin(), pnm_header.end());
    pnm.insert(pnm.end(), raster.begin(), raster.end());
    const std::string in = fmt_test::TempPath(name + ".pnm"), out = fmt_test::TempPath(name + ".png");
    fmt_test::WriteFile(in, pnm);
    int status = -1;
    fmt_test::Run("pnmtopng " + options + " " + in + " > " + out + " 2>/dev/null", &status);
    EXPECT_EQ(status, 0) << options;
    return fmt_test::ReadFile(out);
}

}  // namespace

// Legitimate files from standard encoders and our own writer decode to their pixels; the deflate
// floor never refuses the most compressible raster zlib makes.
TEST(PngBudget, LegitimateFilesDecodeToTheirPixels) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(11, 0, finger.data());
    std::vector<unsigned char> rgb(finger.size() * 3);
    for (size_t i = 0; i < finger.size(); ++i) {
        rgb[3 * i] = finger[i];
        rgb[3 * i + 1] = static_cast<unsigned char>(255 - finger[i]);
        rgb[3 * i + 2] = static_cast<unsigned char>(finger[i] / 2);
    }
    const int zero_side = 4096;
    const std::vector<unsigned char> flat(static_cast<size_t>(zero_side) * zero_side, 0);
    const std::vector<unsigned char> most_compressible = BombPng(zero_side, zero_side, 8, 0);
    EXPECT_LT(most_compressible.size() * 1000, flat.size());  // more than 1,000 times
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int request;
        const std::vector<unsigned char>* px;
    };
    std::vector<Case> cases = {
        {"our writer, grey", Encode(finger, 320, 240, 1, 500, -1), -1, &finger},
        {"our writer, colour", Encode(rgb, 320, 240, 0, 500, -1), -1, &rgb},
        {"zeros at zlib level 9, 4096 x 4096", most_compressible, -1, &flat},
    };
    if (fmt_test::HaveTool("pnmtopng")) {
        const std::string pgm = "P5\n320 240\n255\n", ppm = "P6\n320 240\n255\n";
        std::vector<unsigned char> wide(finger.size() * 2);  // 16-bit grey: the high byte remains
        for (size_t i = 0; i < finger.size(); ++i) {
            wide[2 * i] = finger[i];
            wide[2 * i + 1] = static_cast<unsigned char>(i);
        }
        cases.push_back({"pnmtopng grey", Pnmtopng("g", pgm, finger, ""), -1, &finger});
        cases.push_back({"pnmtopng interlaced", Pnmtopng("i", pgm, finger, "-interlace"), -1, &finger});
        const std::string text = fmt_test::TempPath("text.txt");
        const std::string lines = "Title A finger\nAuthor The generator\n";
        fmt_test::WriteFile(text, std::vector<unsigned char>(lines.begin(), lines.end()));
        cases.push_back({"pnmtopng gAMA, sRGB, tIME, tEXt",
                         Pnmtopng("c", pgm, finger,
                                  "-gamma 0.45 -srgbintent perceptual -modtime '2020-01-01 00:00:00' -text " + text),
                         -1, &finger});
        cases.push_back({"pnmtopng zTXt", Pnmtopng("z", pgm, finger, "-ztxt " + text), -1, &finger});
        cases.push_back({"pnmtopng 16-bit grey", Pnmtopng("w", "P5\n320 240\n65535\n", wide, ""), -1, &finger});
        cases.push_back({"pnmtopng colour, interlaced", Pnmtopng("r", ppm, rgb, "-interlace"), -1, &rgb});
    }
    for (const Case& c : cases) {
        ASSERT_FALSE(c.file.empty()) << c.what;
        int w = 0, h = 0;
        EXPECT_EQ(
            ReadPng(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, c.file.data(), static_cast<int>(c.file.size())), 1)
            << c.what;
        const Decoded d = Decode(c.file, c.request);
        ASSERT_EQ(d.ok, 1) << c.what;
        EXPECT_EQ(d.w, w) << c.what;
        EXPECT_EQ(d.h, h) << c.what;
        EXPECT_TRUE(d.px == *c.px) << c.what;
    }
    if (!fmt_test::HaveTool("pnmtopng")) GTEST_SKIP() << "netpbm not installed";
    // a palette file with a transparent colour: the alpha comes from tRNS
    const std::vector<unsigned char> two = {0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0};
    const std::vector<unsigned char> f = Pnmtopng("t", "P6\n2 2\n255\n", two, "-transparent =rgb:ff/ff/ff");
    ASSERT_EQ(f[25], 3);  // palette
    const Decoded d = Decode(f, -3);
    ASSERT_EQ(d.ok, 1);
    EXPECT_EQ(d.px, (std::vector<unsigned char>{0, 0, 0, 255, 255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 0, 255}));
}
