// TIFF codec: tags and compression per quality, resolution units, layouts, failures, outside tools.
#include <gtest/gtest.h>

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>

#include "finger_gen.h"
#include "formats_util.h"
#include "img_buffer.h"
#include "img_codec.h"
#include "img_dispatch.h"
#include "jpeg_files.h"

using fmt_test::Bytes;
using fmt_test::Owned;
using fmt_test::Pattern;

namespace {

std::vector<unsigned char> Encode(const std::vector<unsigned char>& px, int w, int h, int layout, int dpi, int output,
                                  int quality, int* capacity = nullptr) {
    Owned out;
    int len = -1;
    const int n = WriteTiff(nullptr, px.data(), w, h, layout, dpi, output, quality, out.addr(), &len);
    if (capacity) *capacity = len;
    return n > 0 ? Bytes(out.p, static_cast<size_t>(n)) : std::vector<unsigned char>();
}

using fmt_test::Decoded;

Decoded Decode(const std::vector<unsigned char>& file, int request = -1) {
    return fmt_test::DecodeWith(ReadTiff, file, request);
}

// Tags of the first directory as tiffdump prints them: tag number -> value text, in file order.
std::vector<std::pair<int, std::string>> DumpTags(const std::string& path) {
    std::vector<std::pair<int, std::string>> tags;
    std::istringstream in(fmt_test::Run("tiffdump " + path));
    std::string line;
    while (std::getline(in, line)) {
        const size_t open = line.find(" ("), close = line.find(") ");
        const size_t lt = line.find('<'), gt = line.rfind('>');
        if (open == std::string::npos || close == std::string::npos || lt == std::string::npos || gt < lt) continue;
        const int tag = atoi(line.c_str() + open + 2);
        if (tag < 256) continue;
        tags.push_back({tag, line.substr(lt + 1, gt - lt - 1)});
    }
    return tags;
}

TEST(WriteTiff, GreyLzwTagsInOrder) {
    if (!fmt_test::HaveTool("tiffdump")) GTEST_SKIP() << "libtiff-tools not installed";
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(6, 0, finger.data());
    int cap = 0;
    const std::vector<unsigned char> f = Encode(finger, 320, 240, 1, -1, -1, 1, &cap);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(cap, 120320);  // the length keeps the capacity
    const std::string path = fmt_test::TempPath("grey_lzw.tif");
    fmt_test::WriteFile(path, f);
    const auto tags = DumpTags(path);
    std::vector<int> order;
    std::map<int, std::string> value;
    for (const auto& t : tags) {
        order.push_back(t.first);
        value[t.first] = t.second;
    }
    EXPECT_EQ(order,
              (std::vector<int>{256, 257, 258, 259, 262, 273, 274, 277, 278, 279, 282, 283, 284, 296, 317, 320}));
    EXPECT_EQ(value[256], "320");
    EXPECT_EQ(value[257], "240");
    EXPECT_EQ(value[258], "8");
    EXPECT_EQ(value[259], "5");  // LZW
    EXPECT_EQ(value[262], "3");  // palette
    EXPECT_EQ(value[274], "1");
    EXPECT_EQ(value[277], "1");
    EXPECT_EQ(value[278], "240");  // one strip
    EXPECT_EQ(value[282], "500");  // 500 for a negative dpi
    EXPECT_EQ(value[284], "1");
    EXPECT_EQ(value[296], "2");  // inch
    EXPECT_EQ(value[317], "2");  // horizontal differencing
    EXPECT_EQ(value[320].substr(0, 24), "0 257 514 771 1028 1285 ");

    // the grey ramp: every index maps to itself
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b));
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(r[i], i * 257);
        EXPECT_EQ(b[i], i * 257);
    }
    TIFFClose(tif);
    EXPECT_EQ(Decode(f).px, finger);
}

TEST(WriteTiff, CompressionFromQuality) {
    if (!fmt_test::HaveTool("tiffdump")) GTEST_SKIP() << "libtiff-tools not installed";
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(6, 1, finger.data());
    std::vector<unsigned char> rgb(finger.size() * 3);
    for (size_t i = 0; i < finger.size(); ++i) {
        rgb[3 * i] = finger[i];
        rgb[3 * i + 1] = static_cast<unsigned char>(255 - finger[i]);
        rgb[3 * i + 2] = static_cast<unsigned char>(finger[i] / 2);
    }
    struct Case {
        const std::vector<unsigned char>* px;
        int layout, output, quality;
        const char* compression;
        const char* photometric;
        bool predictor, colormap;
    } cases[] = {
        {&finger, 1, -1, 0, "32946", "3", false, true}, {&finger, 1, -1, -75, "7", "1", false, false},
        {&rgb, 0, -1, 1, "5", "2", true, false},        {&rgb, 0, -1, 0, "32946", "2", false, false},
        {&rgb, 0, 0, -90, "7", "2", false, false},      {&rgb, 0, 2, 20, "5", "3", true, true},
        {&finger, 2, 0, 1, "5", "2", true, false},
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> f = Encode(*c.px, 320, 240, c.layout, 300, c.output, c.quality);
        ASSERT_FALSE(f.empty()) << c.quality;
        const std::string path = fmt_test::TempPath("q" + std::to_string(c.quality) + ".tif");
        fmt_test::WriteFile(path, f);
        std::map<int, std::string> v;
        for (const auto& t : DumpTags(path)) v[t.first] = t.second;
        EXPECT_EQ(v[259], c.compression) << c.quality;
        EXPECT_EQ(v[262], c.photometric) << c.quality;
        EXPECT_EQ(v.count(317), c.predictor ? 1u : 0u) << c.quality;
        EXPECT_EQ(v.count(320), c.colormap ? 1u : 0u) << c.quality;
        EXPECT_EQ(v[282], "300");
        const Decoded d = Decode(f);
        ASSERT_EQ(d.ok, 1) << c.quality;
        EXPECT_EQ(d.dpi, 300);
        // colour comes back only from colour written from R,G,B; all else reads as grey
        const bool colour = c.layout == 0 && c.output <= 0;
        ASSERT_EQ(d.layout, colour ? 0 : 2) << c.quality;
        std::vector<unsigned char> expect = *c.px;
        if (c.layout == 0 && !colour) {
            expect.resize(finger.size());
            for (size_t i = 0; i < finger.size(); ++i) expect[i] = static_cast<unsigned char>(LumaRgb(&rgb[3 * i]));
        }
        if (c.quality < 0) {
            EXPECT_GT(fmt_test::Psnr(d.px, expect), 40.0) << c.quality;  // measured once: 43.0 and 45.2 dB
        } else {
            EXPECT_EQ(d.px, expect) << c.quality;
        }
    }
    // a colour TIFF whose pixels are all grey reads as grey
    std::vector<unsigned char> grey_rgb(finger.size() * 3);
    for (size_t i = 0; i < finger.size(); ++i) grey_rgb[3 * i] = grey_rgb[3 * i + 1] = grey_rgb[3 * i + 2] = finger[i];
    const Decoded g = Decode(Encode(grey_rgb, 320, 240, 0, 72, 0, 1));
    EXPECT_EQ(g.layout, 2);
    EXPECT_EQ(g.px, finger);
    const Decoded forced = Decode(Encode(grey_rgb, 320, 240, 0, 72, 0, 1), 0);
    EXPECT_EQ(forced.layout, 0);
    EXPECT_EQ(forced.px, grey_rgb);
}

// A TIFF written directly with libtiff, with a chosen resolution unit and value.
std::vector<unsigned char> ForeignTiff(int unit, float xres, int spp, int bps) {
    const std::string path = fmt_test::TempPath("foreign.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 2);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (unit >= 0) {
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, unit);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<double>(xres));
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<double>(xres));
    }
    std::vector<unsigned char> row(2 * spp * (bps / 8), 0x80);
    for (uint32_t y = 0; y < 2; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
    TIFFClose(tif);
    return fmt_test::ReadFile(path);
}

TEST(ReadTiff, ResolutionUnitsAndInfoLayouts) {
    struct Case {
        int unit;
        float xres;
        int dpi;
    } cases[] = {{RESUNIT_CENTIMETER, 100, 254}, {RESUNIT_INCH, 300.7f, 300}, {RESUNIT_NONE, 300, 0}, {-1, 0, 0}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> f = ForeignTiff(c.unit, c.xres, 1, 8);
        int dpi = -5;
        EXPECT_EQ(ReadTiff(nullptr, nullptr, nullptr, nullptr, nullptr, &dpi, -1, f.data(), static_cast<int>(f.size())),
                  1);
        EXPECT_EQ(dpi, c.dpi) << c.unit;
    }
    // the size-only call reports the layout the decode gives (16-bit grey is grey, too)
    struct Info {
        int spp, bps, layout;
    } infos[] = {{1, 8, 2}, {3, 8, 0}, {1, 16, 2}};
    for (const Info& i : infos) {
        const std::vector<unsigned char> f = ForeignTiff(2, 72, i.spp, i.bps);
        int w = 0, h = 0, layout = -1;
        ASSERT_EQ(ReadTiff(nullptr, nullptr, &w, &h, &layout, nullptr, -1, f.data(), static_cast<int>(f.size())), 1);
        EXPECT_EQ(w, 2);
        EXPECT_EQ(h, 2);
        EXPECT_EQ(layout, i.layout) << i.spp << " x " << i.bps;
        const Decoded d = Decode(f);
        ASSERT_EQ(d.ok, 1);
        // every sample 0x80 (0x8080 for 16 bits): grey, which the tags tell only without R, G, B
        EXPECT_EQ(d.layout, 2);
        EXPECT_EQ(d.px[0], 0x80);
    }
}

TEST(ReadTiff, TruncatedAndCorruptFail) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(7, 0, finger.data());
    const std::vector<unsigned char> f = Encode(finger, 320, 240, 1, 96, -1, 0);
    ASSERT_FALSE(f.empty());
    for (size_t cut : {f.size() / 2, size_t(2000), size_t(100), size_t(8), size_t(7)}) {
        std::vector<unsigned char> part(f.begin(), f.begin() + static_cast<long>(cut));
        unsigned char* img = static_cast<unsigned char*>(malloc(4));
        EXPECT_EQ(
            ReadTiff(nullptr, &img, nullptr, nullptr, nullptr, nullptr, -1, part.data(), static_cast<int>(part.size())),
            0)
            << cut;
        EXPECT_EQ(img, nullptr);
    }
    std::vector<unsigned char> bad_ifd = f;
    bad_ifd[4] = bad_ifd[5] = bad_ifd[6] = 0xFF;  // first directory far outside the data
    EXPECT_EQ(Decode(bad_ifd).ok, 0);
    EXPECT_EQ(ReadTiff("/nonexistent/x.tif", nullptr, nullptr, nullptr, nullptr, nullptr, -1, nullptr, 0), 0);
}

TEST(WriteTiff, NoiseBeyondThePreallocatedMemoryFails) {
    // noise does not fit the preallocated memory: the encoder fails instead of writing past it
    std::vector<unsigned char> noise(256 * 256 * 3);
    unsigned s = 1;
    for (unsigned char& b : noise) {
        s = s * 1103515245u + 12345u;
        b = static_cast<unsigned char>(s >> 23);
    }
    unsigned char* buf = nullptr;
    int len = 0;
    // (JPEG at quality 100 makes noise larger than the raw pixels and half again)
    EXPECT_EQ(WriteTiff(nullptr, noise.data(), 256, 256, 0, 72, -1, -100, &buf, &len), 0);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0);
    const int n = WriteTiff(nullptr, noise.data(), 256, 256, 0, 72, -1, 1, &buf, &len);
    EXPECT_GT(n, 0);  // LZW stays within it
    EXPECT_LE(n, len);
    free(buf);
}

TEST(TiffFiles, FileModeDispatchAndOutsideReader) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(9, 0, finger.data());
    const std::string path = fmt_test::TempPath("finger.tiff");
    const int size = SaveImgFile(path.c_str(), finger.data(), 320, 240, 1, 500, -1, 1);
    ASSERT_GT(size, 0);
    EXPECT_EQ(static_cast<size_t>(size), fmt_test::ReadFile(path).size());
    Owned img;
    int w = 0, h = 0, layout = -1, dpi = -1;
    ASSERT_EQ(LoadImgFile(path.c_str(), img.addr(), &w, &h, &layout, &dpi, -1), 3);
    EXPECT_EQ(dpi, 500);
    EXPECT_EQ(Bytes(img.p, finger.size()), finger);

    Owned buf;
    int len = 0;
    const int n = SaveImgBuff(finger.data(), 320, 240, 1, 96, 0, 0, buf.addr(), &len, 3);
    ASSERT_GT(n, 0);
    Owned back;
    ASSERT_EQ(LoadImgBuff(back.addr(), &w, &h, &layout, &dpi, 0, buf.p, n), 3);
    EXPECT_EQ(layout, 0);
    EXPECT_EQ(back[3 * 100 + 1], finger[100]);

    if (!fmt_test::HaveTool("tiffinfo")) GTEST_SKIP() << "libtiff-tools not installed";
    int status = -1;
    const std::string out = fmt_test::Run("tiffinfo -D " + path + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Image Width: 320 Image Length: 240"), std::string::npos) << out;
    EXPECT_EQ(out.find("rror"), std::string::npos) << out;
}

}  // namespace

// Sample depth and count are 16-bit fields each: their product must not overflow (sizes-only read).
TEST(ReadTiff, HugeSampleDepthTimesCountIsNoOverflow) {
    std::vector<unsigned char> t = {'I', 'I', 42, 0, 8, 0, 0, 0, 7, 0};
    auto tag = [&t](unsigned id, unsigned type, unsigned value) {
        const unsigned char e[12] = {static_cast<unsigned char>(id),
                                     static_cast<unsigned char>(id >> 8),
                                     static_cast<unsigned char>(type),
                                     0,
                                     1,
                                     0,
                                     0,
                                     0,
                                     static_cast<unsigned char>(value),
                                     static_cast<unsigned char>(value >> 8),
                                     0,
                                     0};
        t.insert(t.end(), e, e + 12);
    };
    tag(0x100, 3, 1);       // width
    tag(0x101, 3, 1);       // height
    tag(0x102, 3, 0xFFF8);  // bits per sample
    tag(0x106, 3, 1);       // photometric
    tag(0x111, 4, 100);     // strip offset
    tag(0x115, 3, 0xC701);  // samples per pixel
    tag(0x117, 4, 1);       // strip byte count
    t.insert(t.end(), 4 + 16, 0);
    int w = 0, h = 0, layout = -1;
    const int r = ReadTiff(nullptr, nullptr, &w, &h, &layout, nullptr, -1, t.data(), static_cast<int>(t.size()));
    if (r != 0) {
        EXPECT_EQ(layout, 0);  // many bits a pixel: colour
    }
}

namespace {

// A 155-byte LZW TIFF, one strip, min-is-black: nine tags, then 40 zero bytes coded as LZW, then padding.
std::vector<unsigned char> TinyLzwTiff(uint32_t w, uint32_t h, unsigned bps, unsigned spp) {
    std::vector<unsigned char> t = {'I', 'I', 42, 0, 8, 0, 0, 0, 9, 0};
    auto tag = [&t](unsigned id, unsigned type, uint32_t value) {
        const unsigned char e[12] = {static_cast<unsigned char>(id),
                                     static_cast<unsigned char>(id >> 8),
                                     static_cast<unsigned char>(type),
                                     0,
                                     1,
                                     0,
                                     0,
                                     0,
                                     static_cast<unsigned char>(value),
                                     static_cast<unsigned char>(value >> 8),
                                     static_cast<unsigned char>(value >> 16),
                                     static_cast<unsigned char>(value >> 24)};
        t.insert(t.end(), e, e + 12);
    };
    const unsigned char strip[] = {0x80, 0x00, 0x20, 0x50, 0x38, 0x24, 0x16, 0x0d, 0x07, 0x84, 0x41, 0x20, 0x20};
    tag(256, 4, w);
    tag(257, 4, h);
    tag(258, 3, bps);
    tag(259, 3, COMPRESSION_LZW);
    tag(262, 3, PHOTOMETRIC_MINISBLACK);
    tag(273, 4, 122);  // the strip follows the directory
    tag(277, 3, spp);
    tag(278, 4, h);
    tag(279, 4, sizeof strip);
    t.insert(t.end(), 4, 0);
    t.insert(t.end(), strip, strip + sizeof strip);
    t.resize(155, 0);
    return t;
}

}  // namespace

// Sample layouts beyond the RGBA reader and buffers that so few bytes cannot fill are refused from the
// tags alone, by the size-only call as well, before libtiff sizes and clears the strip.
TEST(ReadTiff, ClaimsBeyondTheReaderOrTheDataAreRefusedFromTheTags) {
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int ok;
    } cases[] = {
        {"40 pixels as coded", TinyLzwTiff(20, 2, 8, 1), 1},
        {"4000 samples a pixel (a 700 MiB strip)", TinyLzwTiff(256, 700, 8, 4000), 0},
        {"32-bit samples", TinyLzwTiff(20, 2, 32, 1), 0},
        {"67 M pixels from 155 bytes", TinyLzwTiff(8192, 8192, 8, 1), 0},
        {"a 128 MiB strip from 155 bytes", TinyLzwTiff(2048, 4096, 16, 8), 0},
        {"eight samples of 8 bits", ForeignTiff(2, 72, 8, 8), 1},
        {"nine samples", ForeignTiff(2, 72, 9, 8), 0},
    };
    for (const Case& c : cases) {
        int w = 0, h = 0;
        EXPECT_EQ(
            ReadTiff(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, c.file.data(), static_cast<int>(c.file.size())),
            c.ok)
            << c.what;
        const Decoded d = Decode(c.file);
        EXPECT_EQ(d.ok, c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(d.px.size(), static_cast<size_t>(d.w) * d.h) << c.what;
        }
    }
}

// The writer's most compressible picture at the budget (2^24 pixels, compressed some 600 times)
// reads back; one row more is beyond the budget, in the size-only call too.
TEST(ReadTiff, FlatImageAtTheBudgetReadsBack) {
    const int w = 4096, h = 4096;
    const std::vector<unsigned char> flat(static_cast<size_t>(w) * (h + 1), 0x5A);
    const std::vector<unsigned char> f = Encode(flat, w, h, 1, 72, -1, 1);
    ASSERT_FALSE(f.empty());
    EXPECT_LT(f.size(), flat.size() / 500);
    const Decoded d = Decode(f);
    ASSERT_EQ(d.ok, 1);
    EXPECT_EQ(d.px, std::vector<unsigned char>(flat.begin(), flat.begin() + static_cast<long>(w) * h));
    const std::vector<unsigned char> over = Encode(flat, w, h + 1, 1, 72, -1, 1);
    ASSERT_FALSE(over.empty());
    EXPECT_EQ(
        ReadTiff(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, -1, over.data(), static_cast<int>(over.size())),
        0);
    EXPECT_EQ(Decode(over).ok, 0);
}

namespace {

void Le16(std::vector<unsigned char>* t, unsigned v) {
    t->push_back(static_cast<unsigned char>(v));
    t->push_back(static_cast<unsigned char>(v >> 8));
}

void Le32(std::vector<unsigned char>* t, uint32_t v) {
    for (int s = 0; s < 32; s += 8) t->push_back(static_cast<unsigned char>(v >> s));
}

// A little-endian file up to the entry count of its first directory, which follows at offset 8.
std::vector<unsigned char> DirectoryStart(int entries) {
    std::vector<unsigned char> t = {'I', 'I', 42, 0, 8, 0, 0, 0};
    Le16(&t, static_cast<unsigned>(entries));
    return t;
}

// One directory entry whose value, or the offset of its values, fits in four bytes.
void Entry(std::vector<unsigned char>* t, unsigned id, unsigned type, uint32_t count, uint32_t value) {
    Le16(t, id);
    Le16(t, type);
    Le32(t, count);
    Le32(t, value);
}

// A Deflate TIFF, min-is-black, whose strips all point at one compressed strip of zero samples:
// a small file for a large image, as legal as any. The file is padded to pad_to bytes.
std::vector<unsigned char> SharedStripTiff(uint32_t w, uint32_t h, unsigned bps, unsigned spp, uint32_t rows,
                                           size_t pad_to = 0) {
    const uint32_t strips = (h + rows - 1) / rows;
    const size_t row_bytes = (static_cast<size_t>(w) * bps * spp + 7) / 8;
    std::vector<unsigned char> raw(row_bytes * rows, 0);
    uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> strip(zlen);
    compress2(strip.data(), &zlen, raw.data(), static_cast<uLong>(raw.size()), 9);
    strip.resize(zlen);
    const int tags = spp > 1 ? 11 : 10;
    const uint32_t bps_at = 8 + 2 + 12 * tags + 4, offsets_at = bps_at + 2 * spp, counts_at = offsets_at + 4 * strips,
                   data_at = counts_at + 4 * strips;
    std::vector<unsigned char> t = DirectoryStart(tags);
    auto tag = [&t](unsigned id, unsigned type, uint32_t count, uint32_t value) { Entry(&t, id, type, count, value); };
    tag(256, 4, 1, w);
    tag(257, 4, 1, h);
    tag(258, 3, spp, spp == 1 ? bps : bps_at);  // one short fits in the entry
    tag(259, 3, 1, COMPRESSION_ADOBE_DEFLATE);
    tag(262, 3, 1, PHOTOMETRIC_MINISBLACK);
    tag(273, 4, strips, strips == 1 ? data_at : offsets_at);
    tag(277, 3, 1, spp);
    tag(278, 4, 1, rows);
    tag(279, 4, strips, strips == 1 ? static_cast<uint32_t>(strip.size()) : counts_at);
    tag(284, 3, 1, PLANARCONFIG_CONTIG);
    if (spp > 1) tag(338, 3, 1, EXTRASAMPLE_UNSPECIFIED);  // the samples beyond grey are extra ones
    Le32(&t, 0);
    for (unsigned i = 0; i < spp; ++i) Le16(&t, bps);
    for (uint32_t i = 0; i < strips; ++i) Le32(&t, data_at);
    for (uint32_t i = 0; i < strips; ++i) Le32(&t, static_cast<uint32_t>(strip.size()));
    t.insert(t.end(), strip.begin(), strip.end());
    if (t.size() < pad_to) t.resize(pad_to, 0);
    return t;
}

}  // namespace

// Hostile but legal files: valid directories and real Deflate data. Beyond the budget, or a strip
// beyond 4 bytes a pixel of it, every mode refuses from the tags; within it they decode.
TEST(TiffBudget, HostileFilesAreRefusedOrStayWithinTheBudget) {
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int ok;
    } cases[] = {
        {"1-bit, 32767 x 8000 one-row strips sharing one (64 KB, was 1.8 GiB)", SharedStripTiff(32767, 8000, 1, 1, 1),
         0},
        {"1-bit, 32767 x 32767, padded to 1 MB (was 3.6 GiB)", SharedStripTiff(32767, 32767, 1, 1, 1, 1 << 20), 0},
        {"one row beyond the budget, 4097 x 4096", SharedStripTiff(4097, 4096, 1, 1, 64), 0},
        {"16-bit, 4 samples, 4096 x 4096 in one strip of 128 MiB", SharedStripTiff(4096, 4096, 16, 4, 4096), 0},
        {"16-bit, 8 samples at the budget, one-row strips sharing one (33 KB)", SharedStripTiff(4096, 4096, 16, 8, 1),
         1},
    };
    for (const Case& c : cases) {
        const int n = static_cast<int>(c.file.size());
        int w = 0, h = 0;
        EXPECT_EQ(ReadTiff(nullptr, nullptr, &w, &h, nullptr, nullptr, -1, c.file.data(), n), c.ok) << c.what;
        for (int request : {-1, 0}) {
            if (c.ok && request == 0) continue;  // one decode at the budget is enough
            const Decoded d = Decode(c.file, request);
            EXPECT_EQ(d.ok, c.ok) << c.what << " " << request;
            if (c.ok && d.ok) {
                EXPECT_EQ(d.layout, 2) << c.what;
                EXPECT_EQ(d.px[0], 0) << c.what;
            }
        }
    }
}

namespace {

// A file written by libtiff itself from packed rows of samples (rows of (w x spp x bps + 7) / 8 bytes),
// in strips of `rows` rows; a palette image takes the three maps of 2^bps entries.
std::vector<unsigned char> LibtiffFile(const std::string& name, uint32_t w, uint32_t h, int spp, int bps,
                                       int photometric, int compression, uint32_t rows,
                                       const std::vector<unsigned char>& samples,
                                       const std::vector<uint16_t>* map = nullptr) {
    const std::string path = fmt_test::TempPath(name + ".tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr) << name;
    if (tif == nullptr) return {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
    if (map != nullptr) {
        const size_t n = size_t{1} << bps;
        TIFFSetField(tif, TIFFTAG_COLORMAP, map->data(), map->data() + n, map->data() + 2 * n);
    }
    if (compression == COMPRESSION_PIXARLOG) TIFFSetField(tif, TIFFTAG_PIXARLOGQUALITY, 1);  // fast to write
    const size_t row = (static_cast<size_t>(w) * spp * bps + 7) / 8;
    bool ok = true;
    for (uint32_t y = 0, s = 0; y < h && ok; y += rows, ++s) {
        const size_t n = row * std::min(rows, h - y);
        ok = TIFFWriteEncodedStrip(tif, s, const_cast<unsigned char*>(samples.data() + y * row),
                                   static_cast<tmsize_t>(n)) >= 0;
    }
    TIFFClose(tif);
    EXPECT_TRUE(ok) << name;
    return ok ? fmt_test::ReadFile(path) : std::vector<unsigned char>();
}

// Size-only call and full decode of one file: both accept or both refuse, with the same layout.
Decoded DecodeInEveryMode(const std::vector<unsigned char>& file, const std::string& what) {
    int w = 0, h = 0, layout = -1;
    const int info =
        ReadTiff(nullptr, nullptr, &w, &h, &layout, nullptr, -1, file.data(), static_cast<int>(file.size()));
    const Decoded d = Decode(file);
    EXPECT_EQ(info, d.ok) << what;
    if (info && d.ok) {
        EXPECT_EQ(w, d.w) << what;
        EXPECT_EQ(h, d.h) << what;
        EXPECT_EQ(layout, d.layout) << what;
    }
    return d;
}

}  // namespace

namespace {

// The writer's file rewritten by tiffcp with the given options.
std::vector<unsigned char> Tiffcp(const std::vector<unsigned char>& ours, const std::string& name,
                                  const std::string& options) {
    const std::string in = fmt_test::TempPath(name + "_in.tif"), out = fmt_test::TempPath(name + ".tif");
    fmt_test::WriteFile(in, ours);
    int status = -1;
    fmt_test::Run("tiffcp " + options + " " + in + " " + out + " 2>/dev/null", &status);
    EXPECT_EQ(status, 0) << options;
    return fmt_test::ReadFile(out);
}

}  // namespace

// Legitimate files from libtiff's own tools and our writer decode to their pixels, in every
// compression and layout tiffcp writes (JBIG is refused), and the size-only call agrees.
TEST(TiffBudget, LegitimateFilesDecodeToTheirPixels) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(12, 0, finger.data());
    std::vector<unsigned char> rgb(finger.size() * 3), grey16(finger.size() * 2), bits(40 * 240),
        bilevel(finger.size());
    for (size_t i = 0; i < finger.size(); ++i) {
        rgb[3 * i] = finger[i];
        rgb[3 * i + 1] = static_cast<unsigned char>(255 - finger[i]);
        rgb[3 * i + 2] = static_cast<unsigned char>(finger[i] / 2);
        grey16[2 * i] = grey16[2 * i + 1] = finger[i];
        // 1 bits are black for min-is-white
        const bool dark = finger[i] < 128;
        if (dark) bits[i / 8] = static_cast<unsigned char>(bits[i / 8] | 0x80 >> (i % 8));
        bilevel[i] = dark ? 0 : 255;
    }
    const std::vector<unsigned char> grey_tif = Encode(finger, 320, 240, 1, 300, -1, 1);
    const std::vector<unsigned char> rgb_tif = Encode(rgb, 320, 240, 0, 300, -1, 0);
    const std::vector<unsigned char> rgb_237(rgb.begin(), rgb.begin() + 320 * 237 * 3);
    const std::vector<unsigned char> grey16_tif =
        LibtiffFile("grey16", 320, 240, 1, 16, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 240, grey16);
    const std::vector<unsigned char> bits_tif =
        LibtiffFile("bits", 320, 240, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 240, bits);
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        const std::vector<unsigned char>* px;
        bool lossy;
    };
    std::vector<Case> cases = {
        {"our writer, grey LZW", grey_tif, &finger, false},
        {"our writer, colour Deflate", rgb_tif, &rgb, false},
        {"our writer, colour JPEG", Encode(rgb, 320, 240, 0, 300, -1, -90), &rgb, true},
        {"libtiff, 16-bit grey", grey16_tif, &finger, false},
        {"our writer, 237 rows (a last band of 13)", Encode(rgb, 320, 237, 0, 300, -1, 1), &rgb_237, false}};
    if (fmt_test::HaveTool("tiffcp")) {
        struct Tool {
            const char* what;
            const std::vector<unsigned char>* from;
            const char* options;
            const std::vector<unsigned char>* px;
            int codec;
            bool lossy;
        } tools[] = {
            {"tiffcp none", &grey_tif, "-c none", &finger, COMPRESSION_NONE, false},
            {"tiffcp packbits", &grey_tif, "-c packbits", &finger, COMPRESSION_PACKBITS, false},
            {"tiffcp zip, one-row strips", &grey_tif, "-c zip -r 1", &finger, COMPRESSION_ADOBE_DEFLATE, false},
            {"tiffcp tiled 64 x 64", &grey_tif, "-t -w 64 -l 64", &finger, COMPRESSION_LZW, false},
            {"tiffcp colour, separate planes", &rgb_tif, "-p separate -c lzw", &rgb, COMPRESSION_LZW, false},
            {"tiffcp colour, tiled", &rgb_tif, "-t -c zip", &rgb, COMPRESSION_ADOBE_DEFLATE, false},
            {"tiffcp colour lzw, predictor", &rgb_tif, "-c lzw:2", &rgb, COMPRESSION_LZW, false},
            {"tiffcp colour lzma", &rgb_tif, "-c lzma", &rgb, COMPRESSION_LZMA, false},
            {"tiffcp 16-bit grey zstd", &grey16_tif, "-c zstd", &finger, COMPRESSION_ZSTD, false},
            {"tiffcp colour lerc", &rgb_tif, "-c lerc", &rgb, COMPRESSION_LERC, false},
            {"tiffcp colour webp", &rgb_tif, "-c webp", &rgb, COMPRESSION_WEBP, true},
            {"tiffcp colour jpeg (YCbCr)", &rgb_tif, "-c jpeg -r 16", &rgb, COMPRESSION_JPEG, true},
            {"tiffcp colour jpeg, tiled RGB", &rgb_tif, "-c jpeg:r -t", &rgb, COMPRESSION_JPEG, true},
            {"tiffcp bilevel g3", &bits_tif, "-c g3", &bilevel, COMPRESSION_CCITTFAX3, false},
            {"tiffcp bilevel g3 2d", &bits_tif, "-c g3:2d:fill", &bilevel, COMPRESSION_CCITTFAX3, false},
            {"tiffcp bilevel g4", &bits_tif, "-c g4", &bilevel, COMPRESSION_CCITTFAX4, false},
            {"tiffcp bilevel jbig (refused)", &bits_tif, "-c jbig", nullptr, COMPRESSION_JBIG, false},
            {"tiffcp 16-bit grey sgilog", &grey16_tif, "-c sgilog", nullptr, COMPRESSION_SGILOG, false},
        };
        for (const Tool& t : tools) {
            if (!TIFFIsCODECConfigured(static_cast<uint16_t>(t.codec))) continue;
            std::string name = t.options;
            for (char& ch : name)
                if (ch == ' ' || ch == ':') ch = '_';
            cases.push_back({t.what, Tiffcp(*t.from, name, t.options), t.px, t.lossy});
        }
    }
    for (const Case& c : cases) {
        ASSERT_FALSE(c.file.empty()) << c.what;
        const Decoded d = DecodeInEveryMode(c.file, c.what);
        const bool jbig = std::string(c.what).find("jbig") != std::string::npos;
        ASSERT_EQ(d.ok, jbig ? 0 : 1) << c.what;
        if (!d.ok) continue;
        EXPECT_EQ(d.w, 320) << c.what;
        if (c.px == nullptr) {
            EXPECT_EQ(d.layout, 2) << c.what;  // SGILog's luminance, tone-mapped
        } else if (c.lossy) {
            EXPECT_GT(fmt_test::Psnr(d.px, *c.px), 30.0) << c.what;
        } else {
            EXPECT_TRUE(d.px == *c.px) << c.what;
        }
    }
}

// The size-only call reports the layout that the decode gives, wherever the tags tell it.
TEST(ReadTiff, InfoLayoutIsTheDecodes) {
    const std::vector<unsigned char> grey = Pattern(16, 8, 1), rgb = Pattern(16, 8, 3);
    std::vector<unsigned char> grey16(grey.size() * 2), bits(2 * 8, 0x5A);
    for (size_t i = 0; i < grey.size(); ++i) grey16[2 * i] = grey16[2 * i + 1] = grey[i];  // either byte order
    std::vector<uint16_t> grey_map(3 * 256), colour_map(3 * 256);
    for (int i = 0; i < 256; ++i) {
        grey_map[i] = grey_map[256 + i] = grey_map[512 + i] = static_cast<uint16_t>(i * 257);
        colour_map[i] = static_cast<uint16_t>(i * 257);
        colour_map[256 + i] = static_cast<uint16_t>((255 - i) * 257);
        colour_map[512 + i] = 0;
    }
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int layout;
    } cases[] = {
        {"8-bit grey", LibtiffFile("l_grey8", 16, 8, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE, 8, grey), 2},
        {"16-bit grey", LibtiffFile("l_grey16", 16, 8, 1, 16, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW, 8, grey16), 2},
        {"1-bit min-is-white", LibtiffFile("l_bits", 16, 8, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, 8, bits),
         2},
        {"grey palette", LibtiffFile("l_pgrey", 16, 8, 1, 8, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 8, grey, &grey_map),
         2},
        {"colour palette",
         LibtiffFile("l_pcolour", 16, 8, 1, 8, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 8, grey, &colour_map), 0},
        {"RGB", LibtiffFile("l_rgb", 16, 8, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_DEFLATE, 8, rgb), 0},
    };
    for (const Case& c : cases) {
        const Decoded d = DecodeInEveryMode(c.file, c.what);
        ASSERT_EQ(d.ok, 1) << c.what;
        EXPECT_EQ(d.layout, c.layout) << c.what;
    }
}

namespace {

// A JPEG TIFF of 8-bit R, G, B (or YCbCr subsampled 2 x 2) in tiles of tw x th, or in strips of th
// rows for tw 0, whose tiles or strips all hold one JPEG stream.
std::vector<unsigned char> JpegTiles(uint32_t w, uint32_t h, uint32_t tw, uint32_t th, bool ycbcr,
                                     const jpeg_files::File& jpeg) {
    const bool tiled = tw != 0;
    const uint32_t tiles = tiled ? (w + tw - 1) / tw * ((h + th - 1) / th) : (h + th - 1) / th;
    const int tags = (ycbcr ? 12 : 11) - (tiled ? 0 : 1);
    const uint32_t bps_at = 8 + 2 + 12 * tags + 4, offsets_at = bps_at + 6, counts_at = offsets_at + 4 * tiles,
                   data_at = counts_at + 4 * tiles;
    std::vector<unsigned char> t = DirectoryStart(tags);
    auto tag = [&t](unsigned id, unsigned type, uint32_t count, uint32_t value) { Entry(&t, id, type, count, value); };
    tag(256, 4, 1, w);
    tag(257, 4, 1, h);
    tag(258, 3, 3, bps_at);
    tag(259, 3, 1, COMPRESSION_JPEG);
    tag(262, 3, 1, ycbcr ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_RGB);
    const uint32_t offsets = tiles == 1 ? data_at : offsets_at;
    const uint32_t counts = tiles == 1 ? static_cast<uint32_t>(jpeg.size()) : counts_at;
    if (!tiled) tag(273, 4, tiles, offsets);
    tag(277, 3, 1, 3);
    if (!tiled) {
        tag(278, 4, 1, th);
        tag(279, 4, tiles, counts);
    }
    tag(284, 3, 1, PLANARCONFIG_CONTIG);
    if (tiled) {
        tag(322, 4, 1, tw);
        tag(323, 4, 1, th);
        tag(324, 4, tiles, offsets);
        tag(325, 4, tiles, counts);
    }
    if (ycbcr) tag(530, 3, 2, 2 | 2 << 16);
    Le32(&t, 0);
    for (int i = 0; i < 3; ++i) Le16(&t, 8);
    for (uint32_t i = 0; i < tiles; ++i) Le32(&t, data_at);
    for (uint32_t i = 0; i < tiles; ++i) Le32(&t, static_cast<uint32_t>(jpeg.size()));
    t.insert(t.end(), jpeg.begin(), jpeg.end());
    return t;
}

// Sequential arithmetic-coded JPEG whose components come in one scan each, without data.
jpeg_files::File ScanPerComponent(unsigned w, unsigned h) {
    jpeg_files::Builder b;
    b.Dqt();
    b.Frame(0xC9, w, h, jpeg_files::kColour);
    for (unsigned char id = 1; id <= 3; ++id) b.Scan({id}, 0, 63, 0, 0, 0);
    return b.Finish();
}

}  // namespace

// JPEG tiles: tiles that overhang the image by nearly their size decode up to four times its pixels,
// and a JPEG in more than one scan keeps every coefficient of its tile; both count from the header.
TEST(TiffBudget, JpegTilesAreBoundedByTheirAreaAndCoefficients) {
    using jpeg_files::Arithmetic;
    const std::vector<jpeg_files::Component> ycc = {{1, 2, 2}, {2, 1, 1}, {3, 1, 1}};
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        int ok;
    } cases[] = {
        {"4081^2 in four progressive 4080^2 tiles (was 212 MiB and 5 s)",
         JpegTiles(4081, 4081, 4080, 4080, false, Arithmetic(4080, 4080, jpeg_files::kColour, true, 9)), 0},
        {"the same in 4:2:0 YCbCr (was 165 MiB)",
         JpegTiles(4081, 4081, 4080, 4080, true, Arithmetic(4080, 4080, ycc, true, 9)), 0},
        {"4096^2 in one progressive tile: 96 MiB of coefficients beside tile and raster",
         JpegTiles(4096, 4096, 4096, 4096, false, Arithmetic(4096, 4096, jpeg_files::kColour, true, 9)), 0},
        {"4096^2 in one tile of one scan per component",
         JpegTiles(4096, 4096, 4096, 4096, false, ScanPerComponent(4096, 4096)), 0},
        {"2048^2 in one progressive tile",
         JpegTiles(2048, 2048, 2048, 2048, false, Arithmetic(2048, 2048, jpeg_files::kColour, true, 9)), 1},
        {"2000^2 in four progressive 1024^2 tiles (1.05 times the pixels)",
         JpegTiles(2000, 2000, 1024, 1024, false, Arithmetic(1024, 1024, jpeg_files::kColour, true, 9)), 1},
        {"4096^2 in one progressive strip, read in bands beside its coefficients",
         JpegTiles(4096, 4096, 0, 4096, false, Arithmetic(4096, 4096, jpeg_files::kColour, true, 9)), 1},
        {"4096^2 in one sequential tile of one scan",
         JpegTiles(4096, 4096, 4096, 4096, false, Arithmetic(4096, 4096, jpeg_files::kColour, false, 0)), 1},
    };
    for (const Case& c : cases) {
        const Decoded d = DecodeInEveryMode(c.file, c.what);
        EXPECT_EQ(d.ok, c.ok) << c.what;
    }
}

// PixarLog as libtiff writes it (one strip): its 16-bit work buffer of the whole strip is written a
// band at a time, so RGB at the budget decodes, in every mode.
TEST(TiffBudget, PixarLogInOneStripDecodesAtTheBudget) {
    if (!TIFFIsCODECConfigured(COMPRESSION_PIXARLOG)) GTEST_SKIP() << "libtiff without PixarLog";
    std::vector<unsigned char> rgb(size_t{4096} * 4096 * 3);  // smooth colour, quick to compress
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<unsigned char>(i % 12288 * 7 + i / 12288 * (i % 3 + 1));
    const std::vector<unsigned char> f =
        LibtiffFile("pixarlog_4096", 4096, 4096, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_PIXARLOG, 4096, rgb);
    ASSERT_FALSE(f.empty());
    const Decoded d = DecodeInEveryMode(f, "PixarLog RGB 4096^2");
    ASSERT_EQ(d.ok, 1);
    EXPECT_TRUE(d.px == rgb);
}

// Our writer's JPEG at the budget is one strip of one scan: it decodes, in every mode.
TEST(TiffBudget, OurJpegAtTheBudgetDecodes) {
    const std::vector<unsigned char> rgb = Pattern(4096, 4096, 3);
    const std::vector<unsigned char> f = Encode(rgb, 4096, 4096, 0, 72, 0, -90);
    ASSERT_FALSE(f.empty());
    const Decoded d = DecodeInEveryMode(f, "our JPEG RGB 4096^2");
    ASSERT_EQ(d.ok, 1);
    EXPECT_GT(fmt_test::Psnr(d.px, rgb), 30.0);
}

// jbig-kit allocates the picture its own header claims and aborts the process when it cannot (a
// 1 KB file did): JBIG is refused from the tags, in every mode.
TEST(TiffBudget, JbigIsRefusedFromTheTags) {
    if (!TIFFIsCODECConfigured(COMPRESSION_JBIG)) GTEST_SKIP() << "libtiff without JBIG";
    const std::vector<unsigned char> bits(8 * 64, 0x0F);
    std::vector<unsigned char> f =
        LibtiffFile("jbig", 64, 64, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_JBIG, 64, bits);
    ASSERT_GT(f.size(), 28u);
    EXPECT_EQ(DecodeInEveryMode(f, "JBIG").ok, 0);
    // width and height of its header 2^24 - 1 (the same bytes in either bit order); the strip follows the header
    for (int i = 12; i < 20; ++i) f[i] = i % 4 == 0 ? 0x00 : 0xFF;
    EXPECT_EQ(DecodeInEveryMode(f, "JBIG claiming 2^24 - 1 squared").ok, 0);
}
