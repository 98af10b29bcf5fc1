// JPEG-2000: JP2 files and JPC code streams, lossless and rate-limited, precision, failures, outside tools.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "finger_gen.h"
#include "formats_util.h"
#include "img_buffer.h"
#include "img_codec.h"
#include "img_dispatch.h"

using fmt_test::Bytes;
using fmt_test::Owned;
using fmt_test::Pattern;

namespace {

const std::vector<unsigned char> kJp2Magic = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const std::vector<unsigned char> kJpcMagic = {0xFF, 0x4F, 0xFF, 0x51};

std::vector<unsigned char> Encode(const std::vector<unsigned char>& px, int w, int h, int layout, int output,
                                  int quality, int code) {
    Owned out;
    int len = -1;
    const int n = WriteJp2(nullptr, px.data(), w, h, layout, 96, output, quality, out.addr(), &len, code);
    if (n > 0) {
        EXPECT_GE(len, n);
    }
    return n > 0 ? Bytes(out.p, static_cast<size_t>(n)) : std::vector<unsigned char>();
}

using fmt_test::Decoded;

Decoded Decode(const std::vector<unsigned char>& file, int request = -1) {
    return fmt_test::DecodeWith(ReadJp2, file, request);
}

std::vector<unsigned char> Finger(int id) {
    std::vector<unsigned char> f(fingergen::kPixels);
    fingergen::finger_image(id, 0, f.data());
    return f;
}

TEST(Jp2, LosslessRoundTripsBothContainers) {
    const std::vector<unsigned char> grey = Finger(11);
    std::vector<unsigned char> rgb(grey.size() * 3);
    for (size_t i = 0; i < grey.size(); ++i) {
        rgb[3 * i] = grey[i];
        rgb[3 * i + 1] = static_cast<unsigned char>(grey[i] ^ 0x55);
        rgb[3 * i + 2] = static_cast<unsigned char>(255 - grey[i]);
    }
    for (int code : {6, 7}) {
        const std::vector<unsigned char> g = Encode(grey, 320, 240, 1, -1, 0, code);
        ASSERT_FALSE(g.empty()) << code;
        EXPECT_EQ(Bytes(g.data(), code == 6 ? 12 : 4), code == 6 ? kJp2Magic : kJpcMagic);
        const Decoded dg = Decode(g);
        ASSERT_EQ(dg.ok, 1);
        EXPECT_EQ(dg.w, 320);
        EXPECT_EQ(dg.h, 240);
        EXPECT_EQ(dg.layout, 2);
        EXPECT_EQ(dg.dpi, 0);
        EXPECT_EQ(dg.px, grey);

        const std::vector<unsigned char> c = Encode(rgb, 320, 240, 0, -1, 0, code);
        const Decoded dc = Decode(c);
        ASSERT_EQ(dc.layout, 0);
        EXPECT_EQ(dc.px, rgb) << code;
        const Decoded green = Decode(c, 1), luma = Decode(c, 2);
        for (size_t i = 0; i < grey.size(); i += 97) {
            EXPECT_EQ(green.px[i], rgb[3 * i + 1]);
            EXPECT_EQ(luma.px[i], LumaRgb(&rgb[3 * i]));
        }
        // colour choices when writing: green byte, luma, grey written as three components
        EXPECT_EQ(Decode(Encode(rgb, 320, 240, 0, 1, 0, code)).px[500], rgb[3 * 500 + 1]);
        EXPECT_EQ(Decode(Encode(rgb, 320, 240, 0, 2, 0, code)).px[500], LumaRgb(&rgb[3 * 500]));
        const std::vector<unsigned char> three = Encode(grey, 320, 240, 2, 0, 0, code);
        int w = 0, h = 0, layout = -1;
        ASSERT_EQ(ReadJp2(nullptr, nullptr, &w, &h, &layout, nullptr, -1, three.data(), static_cast<int>(three.size())),
                  1);
        EXPECT_EQ(layout, 0);
        EXPECT_EQ(Decode(three, 2).px, grey);
    }
}

TEST(Jp2, SmallImagesKeepEnoughResolutionLevels) {
    for (int w : {1, 2, 3, 17, 33}) {
        for (int h : {1, 5, 64}) {
            const std::vector<unsigned char> px = Pattern(w, h, 1, w * h);
            for (int code : {6, 7}) {
                const Decoded d = Decode(Encode(px, w, h, 1, -1, 0, code));
                ASSERT_EQ(d.ok, 1) << w << " x " << h;
                EXPECT_EQ(d.px, px) << w << " x " << h;
            }
        }
    }
}

TEST(Jp2, RateFromQuality) {
    const std::vector<unsigned char> grey = Finger(12);
    const std::vector<unsigned char> lossless = Encode(grey, 320, 240, 1, -1, 0, 7);
    struct Case {
        int quality;
        size_t max_bytes;
        double min_psnr;
    } cases[] = {
        // sizes within the rate plus the headers; PSNR bounds below values measured once
        {100, lossless.size(), 1000},  // rate 1: lossless
        {50, 76800 / 2 + 200, 40},     // half the raw size (this finger is smaller even lossless)
        {10, 7680 + 200, 38},          // a tenth: measured 41.4 dB
        {4000, 4000 + 200, 37},        // a target of 4000 bytes: 40.5 dB
        {-250, 1920 + 200, 36},        // 0.025 of the raw size: 39.9 dB
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> f = Encode(grey, 320, 240, 1, -1, c.quality, 7);
        ASSERT_FALSE(f.empty()) << c.quality;
        EXPECT_LE(f.size(), c.max_bytes) << c.quality;
        const Decoded d = Decode(f);
        ASSERT_EQ(d.ok, 1);
        EXPECT_GE(fmt_test::Psnr(d.px, grey), c.min_psnr) << c.quality;
    }
}

TEST(Jp2, HigherPrecisionIsScaledAndGreyStaysGrey) {
    if (!fmt_test::HaveTool("opj_compress")) GTEST_SKIP() << "libopenjp2-tools not installed";
    // a 16-bit grey PGM (big-endian samples) compressed by the outside encoder
    const int w = 5, h = 3;
    std::vector<unsigned char> pgm;
    const std::string head = "P5\n5 3\n65535\n";
    pgm.insert(pgm.end(), head.begin(), head.end());
    std::vector<unsigned char> expect;
    for (int i = 0; i < w * h; ++i) {
        const unsigned v = static_cast<unsigned>(i * 4000 + 255);
        pgm.push_back(static_cast<unsigned char>(v >> 8));
        pgm.push_back(static_cast<unsigned char>(v));
        expect.push_back(static_cast<unsigned char>(v >> 8));
    }
    const std::string in = fmt_test::TempPath("deep.pgm"), out = fmt_test::TempPath("deep.jp2");
    fmt_test::WriteFile(in, pgm);
    int status = -1;
    fmt_test::Run("opj_compress -n 2 -i " + in + " -o " + out + " >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0);
    Owned img;
    int rw = 0, rh = 0, layout = -1, dpi = -1;
    ASSERT_EQ(LoadImgFile(out.c_str(), img.addr(), &rw, &rh, &layout, &dpi, -1), 6);
    EXPECT_EQ(rw, w);
    EXPECT_EQ(rh, h);
    EXPECT_EQ(layout, 2);
    EXPECT_EQ(Bytes(img.p, expect.size()), expect);
}

TEST(Jp2, ShortTruncatedAndForeignDataFail) {
    const std::vector<unsigned char> f = Encode(Finger(13), 320, 240, 1, -1, 0, 6);
    ASSERT_FALSE(f.empty());
    for (size_t cut : {f.size() / 2, size_t(300), size_t(60), size_t(10), size_t(9)}) {
        std::vector<unsigned char> part(f.begin(), f.begin() + static_cast<long>(cut));
        unsigned char* img = static_cast<unsigned char*>(malloc(4));
        EXPECT_EQ(
            ReadJp2(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, part.data(), static_cast<int>(part.size())),
            0)
            << cut;
        EXPECT_EQ(img, nullptr);
    }
    std::vector<unsigned char> other = f;
    other[4] = 'x';
    EXPECT_EQ(Decode(other).ok, 0);
    EXPECT_EQ(ReadJp2("/nonexistent/x.jp2", nullptr, nullptr, nullptr, nullptr, nullptr, -1, nullptr, 0), 0);

    const std::vector<unsigned char> px = Pattern(4, 4, 3);
    for (int layout : {-1, 4}) {
        unsigned char* buf = static_cast<unsigned char*>(malloc(8));
        int len = 8;
        EXPECT_EQ(WriteJp2(nullptr, px.data(), 4, 4, layout, 96, -1, 0, &buf, &len, 6), 0);
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(len, 0);
    }
    EXPECT_EQ(WriteJp2(nullptr, nullptr, 4, 4, 0, 96, -1, 0, nullptr, nullptr, 6), 0);
}

TEST(Jp2Files, DispatchCodesExtensionsAndOutsideDecoder) {
    const std::vector<unsigned char> grey = Finger(14);
    struct Code {
        int code, found;
        const std::vector<unsigned char>* magic;
    } codes[] = {{6, 6, &kJp2Magic}, {7, 7, &kJpcMagic}, {8, 6, &kJp2Magic}, {9, 7, &kJpcMagic}};
    for (const Code& c : codes) {
        Owned buf;
        int len = 0;
        const int n = SaveImgBuff(grey.data(), 320, 240, 1, 96, -1, 0, buf.addr(), &len, c.code);
        ASSERT_GT(n, 0) << c.code;
        EXPECT_EQ(Bytes(buf.p, c.magic->size()), *c.magic) << c.code;
        Owned img;
        int w = 0, h = 0, layout = -1, dpi = -1;
        EXPECT_EQ(LoadImgBuff(img.addr(), &w, &h, &layout, &dpi, -1, buf.p, n), c.found);
        EXPECT_EQ(Bytes(img.p, grey.size()), grey);
    }
    struct Ext {
        const char* name;
        int found;
    } exts[] = {{"f.jp2", 6}, {"f.j2k", 6}, {"f.JPC", 7}, {"f.j2c", 7}};
    for (const Ext& e : exts) {
        const std::string path = fmt_test::TempPath(e.name);
        const int size = SaveImgFile(path.c_str(), grey.data(), 320, 240, 1, 96, -1, 0);
        ASSERT_GT(size, 0) << e.name;
        EXPECT_EQ(static_cast<size_t>(size), fmt_test::ReadFile(path).size());
        Owned img;
        int w = 0, h = 0, layout = -1, dpi = -1;
        ASSERT_EQ(LoadImgFile(path.c_str(), img.addr(), &w, &h, &layout, &dpi, -1), e.found) << e.name;
        EXPECT_EQ(Bytes(img.p, grey.size()), grey);
    }
    if (!fmt_test::HaveTool("opj_decompress")) GTEST_SKIP() << "libopenjp2-tools not installed";
    for (const char* name : {"f.jp2", "f.j2c"}) {
        const std::string in = fmt_test::TempPath(name);
        const std::string in_named = in + (name[3] == 'c' ? ".j2k" : "");  // the tool goes by the suffix
        if (in_named != in) fmt_test::WriteFile(in_named, fmt_test::ReadFile(in));
        const std::string out = fmt_test::TempPath(std::string(name) + ".pgm");
        int status = -1;
        fmt_test::Run("opj_decompress -i " + in_named + " -o " + out + " >/dev/null 2>&1", &status);
        ASSERT_EQ(status, 0) << name;
        // the tool's PGM (with a comment line) read back by this library
        Owned img;
        int w = 0, h = 0, layout = -1, dpi = -1;
        ASSERT_EQ(LoadImgFile(out.c_str(), img.addr(), &w, &h, &layout, &dpi, -1), 13) << name;
        EXPECT_EQ(Bytes(img.p, grey.size()), grey) << name;
    }
}

// A code stream of main header (SOC, SIZ, COD, QCD) and one empty tile-part per tile, 8-bit unsigned,
// components after the first sampled every `sub` pixels: OpenJPEG decodes it to a flat image.
std::vector<unsigned char> SizStream(uint32_t w, uint32_t h, uint32_t tile_w, uint32_t tile_h, unsigned comps,
                                     unsigned char sub = 1, unsigned levels = 5, unsigned tiles = 1) {
    std::vector<unsigned char> s = {0xFF, 0x4F, 0xFF, 0x51};
    auto be16 = [&s](unsigned v) {
        s.push_back(static_cast<unsigned char>(v >> 8));
        s.push_back(static_cast<unsigned char>(v));
    };
    auto be32 = [&](uint32_t v) {
        be16(v >> 16);
        be16(v & 0xFFFF);
    };
    be16(38 + 3 * comps);
    be16(0);
    for (uint32_t v : {w, h, 0u, 0u, tile_w, tile_h, 0u, 0u}) be32(v);
    be16(comps);
    for (unsigned k = 0; k < comps; ++k) {
        const unsigned char d = k ? sub : 1;
        s.insert(s.end(), {7, d, d});
    }
    const unsigned char cod[] = {0xFF, 0x52, 0, 12, 0, 0, 0, 1, 0, static_cast<unsigned char>(levels), 4, 4, 0, 1};
    s.insert(s.end(), cod, cod + sizeof cod);  // 5/3 reversible
    const unsigned char qcd[] = {0xFF, 0x5C, 0,    19,   0x40, 0x48, 0x48, 0x48, 0x48, 0x48, 0x48,
                                 0x48, 0x48, 0x48, 0x48, 0x48, 0x48, 0x48, 0x48, 0x48, 0x48};
    s.insert(s.end(), qcd, qcd + sizeof qcd);
    const unsigned packets = comps * (levels + 1);  // one empty packet header byte each
    for (unsigned t = 0; t < tiles; ++t) {
        be16(0xFF90);
        be16(10);
        be16(t);
        be32(14 + packets);
        be16(1);
        be16(0xFF93);
        s.resize(s.size() + packets, 0);
    }
    be16(0xFFD9);
    return s;
}

// The same code stream with its main COD replaced, or (in_tile) a second COD in the first tile-part
// header: the given layers, code-blocks of 2^cb x 2^cb and, when precinct is not 0, precincts of that
// byte (log2 height << 4 | log2 width) at all six resolutions.
std::vector<unsigned char> WithCoding(std::vector<unsigned char> s, unsigned layers, unsigned char cb,
                                      unsigned char precinct, bool in_tile = false) {
    std::vector<unsigned char> cod = {0xFF,
                                      0x52,
                                      0,
                                      0,
                                      static_cast<unsigned char>(precinct ? 1 : 0),
                                      0,
                                      static_cast<unsigned char>(layers >> 8),
                                      static_cast<unsigned char>(layers),
                                      0,
                                      5,
                                      static_cast<unsigned char>(cb - 2),
                                      static_cast<unsigned char>(cb - 2),
                                      0,
                                      1};
    if (precinct) cod.insert(cod.end(), 6, precinct);
    cod[3] = static_cast<unsigned char>(cod.size() - 2);
    size_t at = 0;
    while (!(s[at] == 0xFF && s[at + 1] == (in_tile ? 0x93 : 0x52))) ++at;
    if (in_tile) {
        s.insert(s.begin() + static_cast<long>(at), cod.begin(), cod.end());
        // the tile-part's length grows by the segment
        size_t sot = at;
        while (!(s[sot] == 0xFF && s[sot + 1] == 0x90)) --sot;
        const uint32_t psot =
            ((uint32_t(s[sot + 6]) << 24) | (uint32_t(s[sot + 7]) << 16) | (uint32_t(s[sot + 8]) << 8) | s[sot + 9]) +
            static_cast<uint32_t>(cod.size());
        for (int k = 0; k < 4; ++k) s[sot + 6 + k] = static_cast<unsigned char>(psot >> (24 - 8 * k));
    } else {
        s.erase(s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at) + 14);
        s.insert(s.begin() + static_cast<long>(at), cod.begin(), cod.end());
    }
    return s;
}

void PutBe(std::vector<unsigned char>* v, uint32_t x, int bytes) {
    for (int k = bytes - 1; k >= 0; --k) v->push_back(static_cast<unsigned char>(x >> (8 * k)));
}

std::vector<unsigned char> JpBox(const char* type, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> b;
    PutBe(&b, static_cast<uint32_t>(body.size() + 8), 4);
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// The same code stream in the boxes of a JP2 file, with more boxes in its header after ihdr and colr.
std::vector<unsigned char> InJp2Boxes(const std::vector<unsigned char>& cs, uint32_t w, uint32_t h,
                                      const std::vector<unsigned char>& more = {}, unsigned comps = 1) {
    std::vector<unsigned char> ihdr, colr = {1, 0, 0};
    PutBe(&ihdr, h, 4);
    PutBe(&ihdr, w, 4);
    PutBe(&ihdr, comps, 2);
    ihdr.insert(ihdr.end(), {7, 7, 0, 0});
    PutBe(&colr, comps >= 3 || !more.empty() ? 16 : 17, 4);  // sRGB or grey
    std::vector<unsigned char> jp2h = JpBox("ihdr", ihdr), c = JpBox("colr", colr);
    jp2h.insert(jp2h.end(), c.begin(), c.end());
    jp2h.insert(jp2h.end(), more.begin(), more.end());
    std::vector<unsigned char> f = kJp2Magic;
    for (const auto& b :
         {JpBox("ftyp", {'j', 'p', '2', ' ', 0, 0, 0, 0, 'j', 'p', '2', ' '}), JpBox("jp2h", jp2h), JpBox("jp2c", cs)})
        f.insert(f.end(), b.begin(), b.end());
    return f;
}

// A palette of 8-bit columns (entry k of column i: (k * 37 + i * 101) mod 256) and the cmap that maps
// column i to channel i, all from component 0 unless `last_from` names another for the last column.
uint8_t PaletteValue(unsigned k, unsigned i) { return static_cast<uint8_t>((k * 37 + i * 101) % 256); }

std::vector<unsigned char> PaletteBoxes(unsigned columns, unsigned entries, bool with_cmap = true,
                                        unsigned char last_from = 0) {
    std::vector<unsigned char> pclr, cmap;
    PutBe(&pclr, entries, 2);
    pclr.push_back(static_cast<unsigned char>(columns));
    pclr.insert(pclr.end(), columns, 7);
    for (unsigned k = 0; k < entries; ++k)
        for (unsigned i = 0; i < columns; ++i) pclr.push_back(PaletteValue(k, i));
    for (unsigned i = 0; i < columns; ++i)
        cmap.insert(cmap.end(), {0, static_cast<unsigned char>(i + 1 == columns ? last_from : 0), 1,
                                 static_cast<unsigned char>(i)});
    std::vector<unsigned char> b = JpBox("pclr", pclr);
    if (with_cmap) {
        const std::vector<unsigned char> m = JpBox("cmap", cmap);
        b.insert(b.end(), m.begin(), m.end());
    }
    return b;
}

// The decode budget is applied from the SIZ segment, before OpenJPEG sets up anything, by the size-only
// call too and in both containers: at most 2^24 pixels, 2^25 samples counting every component at its
// own sampling, a tile grid the data can hold (every tile needs its tile-part and a packet header
// byte per full-size component) and OpenJPEG's records for the tiles, some 10 KiB each, in bounds.
TEST(Jp2, HeaderBudget) {
    struct Case {
        const char* what;
        std::vector<unsigned char> data;
        int ok;
    } cases[] = {
        {"13377 x 13377 x 3 in 120 bytes", SizStream(13377, 13377, 13377, 13377, 3), 0},
        {"16384 x 16384 grey", SizStream(16384, 16384, 16384, 16384, 1), 0},
        {"4097 x 4096 grey", SizStream(4097, 4096, 4097, 4096, 1), 0},
        {"4096 x 4096 grey", SizStream(4096, 4096, 4096, 4096, 1), 1},
        {"4096 x 4096 grey in JP2 boxes", InJp2Boxes(SizStream(4096, 4096, 4096, 4096, 1), 4096, 4096), 1},
        {"3345 x 3345 x 3", SizStream(3345, 3345, 3345, 3345, 3), 0},
        {"3344 x 3344 x 3", SizStream(3344, 3344, 3344, 3344, 3), 1},
        {"4096 x 4096 x 3", SizStream(4096, 4096, 4096, 4096, 3), 0},
        {"4096 x 4096 x 3, two at half size", SizStream(4096, 4096, 4096, 4096, 3, 2), 1},
        {"4096 x 4096 x 4 in 64 x 64 tiles", SizStream(4096, 4096, 64, 64, 4), 0},
        {"65535 tiles of one pixel, one tile-part", SizStream(255, 257, 1, 1, 1), 0},
        {"65535 tiles in JP2 boxes", InJp2Boxes(SizStream(255, 257, 1, 1, 1), 255, 257), 0},
        {"65025 tiles, every tile-part present", SizStream(3825, 3825, 15, 15, 1, 1, 0, 65025), 0},
        {"1024 tiles of 64 components", SizStream(256, 256, 8, 8, 64, 1, 0, 1024), 1},
        {"3025 tiles of 64 components, every tile-part", SizStream(440, 440, 8, 8, 64, 1, 0, 3025), 0},
        {"7056 tiles of 48 x 48", SizStream(4000, 4000, 48, 48, 1, 1, 0, 7056), 1},
        {"7056 tiles, 7000 tile-parts", SizStream(4000, 4000, 48, 48, 1, 1, 0, 7000), 0},
        {"4096 x 4096 in 4 x 4 code-blocks", WithCoding(SizStream(4096, 4096, 4096, 4096, 1), 1, 2, 0), 0},
        {"4096 x 4096, 4 x 4 code-blocks from the tile-part",
         WithCoding(SizStream(4096, 4096, 4096, 4096, 1), 1, 2, 0, true), 0},
        {"2048 x 2048 in 4 x 4 code-blocks", WithCoding(SizStream(2048, 2048, 2048, 2048, 1), 1, 2, 0), 1},
        {"4096 x 4096 in 4 x 4 precincts, 166 bytes", WithCoding(SizStream(4096, 4096, 4096, 4096, 1), 1, 6, 0x22), 0},
        {"65535 layers in 166 bytes", WithCoding(SizStream(64, 64, 64, 64, 1), 65535, 6, 0), 0},
        {"64 layers of 64 x 64", WithCoding(SizStream(64, 64, 64, 64, 1), 64, 6, 0), 1},
        {"65 components", SizStream(64, 64, 64, 64, 65), 0},
        {"no tile size", SizStream(64, 64, 0, 64, 1), 0},
    };
    for (const Case& c : cases) {
        int w = -1, h = -1;
        EXPECT_EQ(
            ReadJp2(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, c.data.data(), static_cast<int>(c.data.size())),
            c.ok)
            << c.what << ", " << c.data.size() << " bytes";
        if (!c.ok) {
            EXPECT_EQ(Decode(c.data).ok, 0) << c.what;
        }
    }
    const std::string path = fmt_test::TempPath("tiles.jp2");
    fmt_test::WriteFile(path, cases[11].data);  // 65535 tiles in JP2 boxes
    int w = -1, h = -1, layout = -1, dpi = -1;
    EXPECT_EQ(LoadImgFile(path.c_str(), nullptr, &w, &h, &layout, &dpi, -1), 0);
    // at the edge of the budget the whole image decodes
    const Decoded flat = Decode(cases[3].data);
    ASSERT_EQ(flat.ok, 1);
    EXPECT_EQ(flat.w, 4096);
    EXPECT_EQ(flat.px, std::vector<unsigned char>(flat.px.size(), 128));
}

// A palette counts as the image it maps to, in every mode and before OpenJPEG sets up anything: its
// channels (each with the samples of the component it maps) within 2^25 samples, at most 64 of them,
// and the size-only call reports the layout of the mapped channels. The flat code stream holds index
// 128 everywhere, clamped to the last entry of a shorter palette.
TEST(Jp2, PaletteChannelsCountAgainstTheBudget) {
    const auto palette = [](uint32_t side, unsigned columns, unsigned entries = 256, bool cmap = true,
                            unsigned char last_from = 0) {
        return InJp2Boxes(SizStream(side, side, side, side, 1), side, side,
                          PaletteBoxes(columns, entries, cmap, last_from));
    };
    struct Case {
        const char* what;
        std::vector<unsigned char> data;
        int layout;  // -1: refused
        unsigned entry, columns;
    } cases[] = {
        {"16 columns at 4096 x 4096 (was 1,095 MiB, decoded)", palette(4096, 16, 1), -1, 0, 0},
        {"64 columns at 4096 x 4096 (was 4.2 GiB)", palette(4096, 64, 1), -1, 0, 0},
        {"100 columns at 4096 x 4096 (was 6.5 GiB, then refused)", palette(4096, 100, 1), -1, 0, 0},
        {"3 columns at 4096 x 4096: 3 x 2^24 samples, as RGB", palette(4096, 3), -1, 0, 0},
        {"65 columns of 64 x 64: more channels than the reader represents", palette(64, 65), -1, 0, 0},
        {"a column mapped from a component the code stream lacks", palette(64, 3, 256, true, 1), -1, 0, 0},
        {"3 columns at 3344 x 3344, at the sample budget", palette(3344, 3), 0, 128, 3},
        {"64 columns of 512 x 512", palette(512, 64), 0, 128, 3},
        {"3 columns of 16 entries: the index clamps to the last", palette(64, 3, 16), 0, 15, 3},
        {"one column", palette(64, 1), 2, 128, 1},
        {"two columns: grey from the first", palette(64, 2), 2, 128, 1},
        {"a palette without cmap is not applied", palette(64, 3, 256, false), 2, 0, 0},
    };
    const std::string path = fmt_test::TempPath("palette.jp2");
    for (const Case& c : cases) {
        const std::string what = std::string(c.what) + ", " + std::to_string(c.data.size()) + " bytes";
        int w = -1, h = -1, layout = -1, dpi = -1;
        EXPECT_EQ(ReadJp2(nullptr, nullptr, &w, &h, &layout, &dpi, -1, c.data.data(), static_cast<int>(c.data.size())),
                  c.layout >= 0)
            << what;
        if (c.layout >= 0) {
            EXPECT_EQ(layout, c.layout) << what;
        }
        fmt_test::WriteFile(path, c.data);
        layout = -1;
        EXPECT_EQ(LoadImgFile(path.c_str(), nullptr, &w, &h, &layout, &dpi, -1), c.layout >= 0 ? 6 : 0) << what;
        for (int request : {-1, 0, 1, 2}) {
            const Decoded d = Decode(c.data, request);
            ASSERT_EQ(d.ok, c.layout >= 0 ? 1 : 0) << what << ", request " << request;
            if (!d.ok) continue;
            EXPECT_EQ(d.layout, request < 0 ? c.layout : request) << what;
            unsigned char rgb[3] = {128, 128, 128};
            for (unsigned i = 0; i < c.columns; ++i) rgb[i] = PaletteValue(c.entry, i);
            if (c.columns == 1) rgb[1] = rgb[2] = rgb[0];
            const unsigned char grey = d.layout == 1 ? rgb[1] : static_cast<unsigned char>(LumaRgb(rgb));
            const size_t n = static_cast<size_t>(d.w) * d.h;
            ASSERT_EQ(d.px.size(), n * (d.layout == 0 ? 3 : 1)) << what;
            for (size_t i = 0; i < d.px.size(); ++i) {
                const unsigned char want = d.layout == 0 ? rgb[i % 3] : c.columns == 1 ? rgb[0] : grey;
                ASSERT_EQ(d.px[i], want) << what << ", request " << request << ", byte " << i;
            }
        }
    }
}

// A legitimate palette image: the outside encoder's index image in a JP2 file with a 200-entry colour
// palette decodes to the palette's colours, with the channels in the order a cdef box gives them, as
// the outside decoder (which maps the palette through OpenJPEG) also gives them.
TEST(Jp2, PaletteImageDecodesToItsColours) {
    if (!fmt_test::HaveTool("opj_compress")) GTEST_SKIP() << "libopenjp2-tools not installed";
    const int w = 128, h = 96;
    std::vector<unsigned char> index = Pattern(w, h, 1, 9);
    for (unsigned char& v : index) v = static_cast<unsigned char>(v % 200);
    std::vector<unsigned char> pgm;
    const std::string head = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    pgm.insert(pgm.end(), head.begin(), head.end());
    pgm.insert(pgm.end(), index.begin(), index.end());
    const std::string in = fmt_test::TempPath("index.pgm"), cs = fmt_test::TempPath("index.j2k");
    fmt_test::WriteFile(in, pgm);
    int status = -1;
    fmt_test::Run("opj_compress -i " + in + " -o " + cs + " >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0);
    std::vector<unsigned char> reversed = PaletteBoxes(3, 200), cdef = {0, 3};
    for (unsigned i = 0; i < 3; ++i)
        cdef.insert(cdef.end(), {0, static_cast<unsigned char>(i), 0, 0, 0, static_cast<unsigned char>(3 - i)});
    const std::vector<unsigned char> cdef_box = JpBox("cdef", cdef);
    reversed.insert(reversed.end(), cdef_box.begin(), cdef_box.end());
    struct Case {
        const char* name;
        std::vector<unsigned char> boxes;
        bool reversed;
    } cases[] = {{"palette.jp2", PaletteBoxes(3, 200), false}, {"reversed.jp2", reversed, true}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> file = InJp2Boxes(fmt_test::ReadFile(cs), w, h, c.boxes);
        std::vector<unsigned char> want(3 * index.size());
        for (size_t i = 0; i < index.size(); ++i)
            for (unsigned k = 0; k < 3; ++k) want[3 * i + k] = PaletteValue(index[i], c.reversed ? 2 - k : k);
        int sw = -1, sh = -1, layout = -1, dpi = -1;
        ASSERT_EQ(ReadJp2(nullptr, nullptr, &sw, &sh, &layout, &dpi, -1, file.data(), static_cast<int>(file.size())),
                  1);
        EXPECT_EQ(layout, 0) << c.name;
        const Decoded d = Decode(file);
        ASSERT_EQ(d.ok, 1) << c.name;
        EXPECT_EQ(d.w, w);
        EXPECT_EQ(d.h, h);
        EXPECT_EQ(d.layout, 0);
        EXPECT_EQ(d.px, want) << c.name;
        const Decoded g = Decode(file, 1);
        ASSERT_EQ(g.ok, 1);
        for (size_t i = 0; i < index.size(); ++i) ASSERT_EQ(g.px[i], want[3 * i + 1]) << c.name << ", pixel " << i;
        if (!fmt_test::HaveTool("opj_decompress")) continue;
        const std::string path = fmt_test::TempPath(c.name), out = path + ".ppm";
        fmt_test::WriteFile(path, file);
        fmt_test::Run("opj_decompress -i " + path + " -o " + out + " >/dev/null 2>&1", &status);
        ASSERT_EQ(status, 0) << c.name;
        Owned img;
        int ow = 0, oh = 0, olayout = -1, odpi = -1;
        ASSERT_EQ(LoadImgFile(out.c_str(), img.addr(), &ow, &oh, &olayout, &odpi, 0), 14) << c.name;
        EXPECT_EQ(Bytes(img.p, want.size()), want) << c.name;
    }
}

// Tiled images from the outside encoder still decode exactly, up to ordinary small tiles over an
// image of nearly the pixel budget (4000 x 4000 in 48 x 48 tiles: 7,056 of them). The smallest
// code-blocks and precincts in three sparse layers hold as many packets per byte at any size, and
// the encoder's rate control over them takes some 4 s for every 200,000 pixels: a small image.
TEST(Jp2, TiledImagesOfTheOutsideEncoderDecode) {
    if (!fmt_test::HaveTool("opj_compress")) GTEST_SKIP() << "libopenjp2-tools not installed";
    struct Case {
        int w, h;
        const char* options;
        const char* name;
    } cases[] = {{128, 96, "-t 32,32", "tiled.j2k"},
                 {128, 96, "-t 32,32", "tiled.jp2"},
                 {4000, 4000, "-t 48,48", "tiled_4000.j2k"},
                 {512, 384, "-b 4,4 -c [8,8] -n 3 -r 40,20,10", "small_blocks.j2k"}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> grey = Pattern(c.w, c.h, 1, 5);
        std::vector<unsigned char> pgm;
        const std::string head = "P5\n" + std::to_string(c.w) + " " + std::to_string(c.h) + "\n255\n";
        pgm.insert(pgm.end(), head.begin(), head.end());
        pgm.insert(pgm.end(), grey.begin(), grey.end());
        const std::string in = fmt_test::TempPath(std::string(c.name) + ".pgm");
        fmt_test::WriteFile(in, pgm);
        const std::string out = fmt_test::TempPath(c.name);
        int status = -1;
        fmt_test::Run(std::string("opj_compress ") + c.options + " -i " + in + " -o " + out + " >/dev/null 2>&1",
                      &status);
        ASSERT_EQ(status, 0) << c.name;
        const Decoded d = Decode(fmt_test::ReadFile(out));
        ASSERT_EQ(d.ok, 1) << c.name;
        if (strstr(c.options, "-r") == nullptr) {
            EXPECT_EQ(d.px, grey) << c.name;
        } else {
            EXPECT_EQ(d.px.size(), grey.size()) << c.name;
        }
    }
}

}  // namespace
