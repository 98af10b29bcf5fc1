// JPEG codec: quality and density fields, colour choices, EXIF orientation, failures, outside reader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "finger_gen.h"
#include "formats_util.h"
#include "img_buffer.h"
#include "img_codec.h"
#include "img_dispatch.h"
#include "img_jpeg.h"
#include "jpeg_files.h"

using fmt_test::Bytes;
using fmt_test::Owned;
using fmt_test::Pattern;

namespace {

std::vector<unsigned char> Encode(const std::vector<unsigned char>& px, int w, int h, int layout, int dpi, int output,
                                  int quality) {
    Owned out;
    int len = -1;
    const int n = WriteJpeg(nullptr, px.data(), w, h, layout, dpi, output, quality, out.addr(), &len);
    EXPECT_EQ(n, len);
    return n > 0 ? Bytes(out.p, static_cast<size_t>(n)) : std::vector<unsigned char>();
}

using fmt_test::Decoded;

Decoded Decode(const std::vector<unsigned char>& file, int request = -1) {
    return fmt_test::DecodeWith(ReadJpeg, file, request);
}

// Offset of the first marker m (the byte after FF) in the header part of a JPEG, or 0.
size_t FindMarker(const std::vector<unsigned char>& f, unsigned char m) {
    size_t i = 2;
    while (i + 4 <= f.size() && f[i] == 0xFF) {
        if (f[i + 1] == m) return i;
        if (f[i + 1] == 0xDA) return 0;
        i += 2 + ((f[i + 2] << 8) | f[i + 3]);
    }
    return 0;
}

// An APP1 "Exif" segment whose first directory holds the orientation tag (and one tag before it).
std::vector<unsigned char> ExifSegment(int orientation, bool big_endian) {
    std::vector<unsigned char> t;
    auto u16 = [&](unsigned v) {
        if (big_endian) {
            t.push_back(static_cast<unsigned char>(v >> 8));
            t.push_back(static_cast<unsigned char>(v));
        } else {
            t.push_back(static_cast<unsigned char>(v));
            t.push_back(static_cast<unsigned char>(v >> 8));
        }
    };
    auto u32 = [&](unsigned v) {
        if (big_endian) {
            u16(v >> 16);
            u16(v & 0xFFFF);
        } else {
            u16(v & 0xFFFF);
            u16(v >> 16);
        }
    };
    t.push_back(big_endian ? 'M' : 'I');
    t.push_back(big_endian ? 'M' : 'I');
    u16(42);
    u32(8);
    u16(2);  // two entries: ImageDescription-like filler, then Orientation
    u16(0x10F);
    u16(2);
    u32(4);
    u32(0);
    u16(0x112);
    u16(3);
    u32(1);
    u16(static_cast<unsigned>(orientation));
    u16(0);
    u32(0);  // no next directory
    static const unsigned char kHead[10] = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    std::vector<unsigned char> seg(kHead, kHead + 10);
    for (unsigned char b : t) seg.push_back(b);
    const size_t len = seg.size() - 2;
    seg[2] = static_cast<unsigned char>(len >> 8);
    seg[3] = static_cast<unsigned char>(len);
    return seg;
}

// The JPEG with a segment inserted after its APP0 (or right after SOI when app0 is false).
std::vector<unsigned char> WithSegment(std::vector<unsigned char> f, const std::vector<unsigned char>& seg,
                                       bool after_app0 = true) {
    size_t at = 2;
    if (after_app0) {
        EXPECT_EQ(f[3], 0xE0);
        at = 4 + ((f[4] << 8) | f[5]);
    } else if (f[3] == 0xE0) {
        f.erase(f.begin() + 2, f.begin() + 4 + ((f[4] << 8) | f[5]));
    }
    f.insert(f.begin() + static_cast<long>(at), seg.begin(), seg.end());
    return f;
}

TEST(WriteJpeg, QualityDensityAndComponents) {
    const std::vector<unsigned char> rgb = Pattern(16, 8, 3);
    EXPECT_EQ(Encode(rgb, 16, 8, 0, 72, -1, 0), Encode(rgb, 16, 8, 0, 72, -1, 85));
    EXPECT_EQ(Encode(rgb, 16, 8, 0, 72, -1, 150), Encode(rgb, 16, 8, 0, 72, -1, 100));
    EXPECT_NE(Encode(rgb, 16, 8, 0, 72, -1, 50), Encode(rgb, 16, 8, 0, 72, -1, 85));

    const std::vector<unsigned char> f = Encode(rgb, 16, 8, 0, 300, -1, 90);
    ASSERT_GT(f.size(), 20u);
    EXPECT_EQ(Bytes(f.data(), 4), (std::vector<unsigned char>{0xFF, 0xD8, 0xFF, 0xE0}));
    EXPECT_EQ(std::string(f.begin() + 6, f.begin() + 11), std::string("JFIF\0", 5));
    EXPECT_EQ(f[13], 1);  // dots per inch
    EXPECT_EQ((f[14] << 8) | f[15], 300);
    EXPECT_EQ((f[16] << 8) | f[17], 300);
    EXPECT_EQ((Encode(rgb, 16, 8, 0, 65536 + 96, -1, 90)[14] << 8) | Encode(rgb, 16, 8, 0, 65536 + 96, -1, 90)[15],
              96);  // the density is the resolution's low 16 bits

    // components of the frame: grey in with output 0 gives colour, -1 keeps grey
    const std::vector<unsigned char> grey = Pattern(16, 8, 1);
    struct Case {
        const std::vector<unsigned char>* px;
        int layout, output, comps;
    } cases[] = {{&grey, 1, 0, 3}, {&grey, 2, -1, 1}, {&grey, 1, 2, 1}, {&rgb, 0, -1, 3},
                 {&rgb, 0, 0, 3},  {&rgb, 0, 1, 1},   {&rgb, 0, 2, 1}};
    for (const Case& c : cases) {
        const std::vector<unsigned char> j = Encode(*c.px, 16, 8, c.layout, 96, c.output, 90);
        const size_t sof = FindMarker(j, 0xC0);
        ASSERT_NE(sof, 0u);
        EXPECT_EQ(j[sof + 9], c.comps) << c.layout << " " << c.output;
        const Decoded d = Decode(j);
        EXPECT_EQ(d.layout, c.comps == 1 ? 2 : 0);
        EXPECT_EQ(d.dpi, 96);
    }
}

TEST(ReadJpeg, RoundTripsWithinBounds) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(3, 0, finger.data());
    const Decoded g = Decode(Encode(finger, 320, 240, 1, 500, -1, 90));
    ASSERT_EQ(g.ok, 1);
    EXPECT_EQ(g.w, 320);
    EXPECT_EQ(g.h, 240);
    EXPECT_EQ(g.layout, 2);
    EXPECT_GT(fmt_test::Psnr(g.px, finger), 39.0);  // measured once: 42.1 dB

    std::vector<unsigned char> rgb(finger.size() * 3);
    for (size_t i = 0; i < finger.size(); ++i) {
        rgb[3 * i] = finger[i];
        rgb[3 * i + 1] = static_cast<unsigned char>(finger[i] * 3 / 4);
        rgb[3 * i + 2] = static_cast<unsigned char>(255 - finger[i]);
    }
    const Decoded c = Decode(Encode(rgb, 320, 240, 0, 72, -1, 95));
    ASSERT_EQ(c.layout, 0);
    EXPECT_GT(fmt_test::Psnr(c.px, rgb), 36.0);  // measured once: 39.3 dB

    // requests pick the stored layout
    const std::vector<unsigned char> j = Encode(rgb, 320, 240, 0, 72, 0, 95);
    const Decoded green = Decode(j, 1), luma = Decode(j, 2), colour = Decode(j, 0);
    ASSERT_EQ(green.layout, 1);
    ASSERT_EQ(luma.layout, 2);
    for (size_t i = 0; i < green.px.size(); ++i) {
        EXPECT_EQ(green.px[i], colour.px[3 * i + 1]);
        EXPECT_EQ(luma.px[i], LumaRgb(&colour.px[3 * i]));
    }
    const Decoded grey_as_rgb = Decode(Encode(finger, 320, 240, 2, 96, -1, 80), 0);
    ASSERT_EQ(grey_as_rgb.layout, 0);
    EXPECT_EQ(grey_as_rgb.px[0], grey_as_rgb.px[2]);
}

TEST(ReadJpeg, ExifOrientationTurnsThePicture) {
    const int w = 4, h = 2;
    std::vector<unsigned char> grey(w * h);
    for (int i = 0; i < w * h; ++i) grey[i] = static_cast<unsigned char>(i * 30);
    const std::vector<unsigned char> plain = Encode(grey, w, h, 1, 72, -1, 100);
    const Decoded base = Decode(plain);
    ASSERT_EQ(base.ok, 1);
    auto at = [&](int r, int c) { return base.px[r * w + c]; };
    for (int o = 1; o <= 8; ++o) {
        for (bool big : {false, true}) {
            const std::vector<unsigned char> f = WithSegment(plain, ExifSegment(o, big), big);
            EXPECT_EQ(GetJpegExifOrientation(nullptr, f.data(), static_cast<int>(f.size())), o);
            int iw = 0, ih = 0, il = -1;
            ASSERT_EQ(ReadJpeg(nullptr, nullptr, &iw, &ih, &il, nullptr, -1, f.data(), static_cast<int>(f.size())), 1);
            const Decoded d = Decode(f);
            ASSERT_EQ(d.ok, 1) << o;
            const bool swap = o >= 5;
            EXPECT_EQ(d.w, swap ? h : w) << o;
            EXPECT_EQ(d.h, swap ? w : h) << o;
            EXPECT_EQ(iw, d.w);
            EXPECT_EQ(ih, d.h);
            for (int r = 0; r < d.h; ++r)
                for (int c = 0; c < d.w; ++c) {
                    int v;
                    switch (o) {
                    case 2: v = at(r, w - 1 - c); break;
                    case 3: v = at(h - 1 - r, w - 1 - c); break;
                    case 4: v = at(h - 1 - r, c); break;
                    case 5: v = at(c, r); break;
                    case 6: v = at(h - 1 - c, r); break;
                    case 7: v = at(h - 1 - c, w - 1 - r); break;
                    case 8: v = at(c, w - 1 - r); break;
                    default: v = at(r, c); break;
                    }
                    EXPECT_EQ(d.px[r * d.w + c], v) << "orientation " << o << " at " << r << "," << c;
                }
        }
    }
    // the file reader sees the same orientation
    const std::string path = fmt_test::TempPath("exif6.jpg");
    fmt_test::WriteFile(path, WithSegment(plain, ExifSegment(6, false)));
    Owned img;
    int fw = 0, fh = 0, fl = -1, fd = -1;
    ASSERT_EQ(ReadJpeg(path.c_str(), img.addr(), &fw, &fh, &fl, &fd, -1, nullptr, 0), 1);
    EXPECT_EQ(fw, 2);
    EXPECT_EQ(fh, 4);
    FILE* file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    fseek(file, 100, SEEK_SET);
    EXPECT_EQ(GetJpegExifOrientation(file, nullptr, 0), 6);
    fclose(file);
}

TEST(GetJpegExifOrientation, MissingOrMalformedGivesZero) {
    const std::vector<unsigned char> plain = Encode(Pattern(8, 8, 1), 8, 8, 1, 72, -1, 80);
    std::vector<unsigned char> app2 = ExifSegment(6, false);
    app2[1] = 0xE2;
    std::vector<unsigned char> notexif = ExifSegment(6, false);
    notexif[5] = 'X';
    std::vector<unsigned char> far_ifd = ExifSegment(6, false);
    far_ifd[14] = 0xF0;  // first directory offset beyond the segment
    std::vector<unsigned char> nine = ExifSegment(9, false);
    std::vector<unsigned char> badorder = ExifSegment(6, false);
    badorder[10] = 'X';
    const std::vector<unsigned char> seg = ExifSegment(6, false);
    struct Case {
        std::vector<unsigned char> data;
        const char* what;
    } cases[] = {
        {plain, "no APP1"},
        {WithSegment(plain, app2), "APP0 then APP2"},
        {WithSegment(plain, notexif), "APP1 without Exif"},
        {WithSegment(plain, far_ifd), "directory offset too far"},
        {WithSegment(plain, nine), "value 9"},
        {WithSegment(plain, badorder), "no byte order"},
        {Bytes(WithSegment(plain, seg).data(), 40), "segment cut short"},
        {{0xFF, 0xD9, 0xFF, 0xE1}, "no SOI"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetJpegExifOrientation(nullptr, c.data.data(), static_cast<int>(c.data.size())), 0) << c.what;
    EXPECT_EQ(GetJpegExifOrientation(nullptr, nullptr, 100), 0);
}

TEST(ReadJpeg, TruncatedAndCorruptInputsFail) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(5, 1, finger.data());
    const std::vector<unsigned char> f = Encode(finger, 320, 240, 1, 96, -1, 90);
    for (size_t cut : {f.size() / 2, f.size() - 10, size_t(200), size_t(7), size_t(2)}) {
        std::vector<unsigned char> part(f.begin(), f.begin() + static_cast<long>(cut));
        unsigned char* img = static_cast<unsigned char*>(malloc(16));
        int w = 0, h = 0;
        EXPECT_EQ(ReadJpeg(nullptr, &img, &w, &h, nullptr, nullptr, -1, part.data(), static_cast<int>(part.size())), 0)
            << cut;
        EXPECT_EQ(img, nullptr);
    }
    std::vector<unsigned char> garbage = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x02, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Decode(garbage).ok, 0);
    EXPECT_EQ(ReadJpeg("/nonexistent/x.jpg", nullptr, nullptr, nullptr, nullptr, nullptr, -1, nullptr, 0), 0);
}

TEST(JpegFiles, FileModeDispatchAndOutsideDecoder) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(8, 2, finger.data());
    const std::string path = fmt_test::TempPath("finger.jpeg");
    const int size = SaveImgFile(path.c_str(), finger.data(), 320, 240, 1, 500, -1, 90);
    ASSERT_GT(size, 0);
    const std::vector<unsigned char> file = fmt_test::ReadFile(path);
    EXPECT_EQ(static_cast<size_t>(size), file.size());
    EXPECT_EQ(file, Encode(finger, 320, 240, 1, 500, -1, 90));  // file and memory write the same bytes
    Owned img;
    int w = 0, h = 0, layout = -1, dpi = -1;
    ASSERT_EQ(LoadImgFile(path.c_str(), img.addr(), &w, &h, &layout, &dpi, -1), 2);
    EXPECT_EQ(dpi, 500);
    const Decoded mem = Decode(file);
    EXPECT_EQ(Bytes(img.p, mem.px.size()), mem.px);

    Owned buf;
    int len = 0;
    const int n = SaveImgBuff(finger.data(), 320, 240, 1, 96, -1, 75, buf.addr(), &len, 2);
    ASSERT_GT(n, 0);
    EXPECT_EQ(LoadImgBuff(nullptr, &w, &h, &layout, &dpi, -1, buf.p, n), 2);
    EXPECT_GT(SaveImgFile(fmt_test::TempPath("finger.JPG").c_str(), finger.data(), 320, 240, 1, 96, -1, 75), 0);

    if (!fmt_test::HaveTool("djpeg")) GTEST_SKIP() << "libjpeg-turbo-progs not installed";
    int status = -1;
    const std::string pgm = fmt_test::Run("djpeg -pnm " + path, &status);
    ASSERT_EQ(status, 0);
    const std::string head = "P5\n320 240\n255\n";
    ASSERT_EQ(pgm.substr(0, head.size()), head);
    const std::vector<unsigned char> theirs(pgm.begin() + static_cast<long>(head.size()), pgm.end());
    EXPECT_EQ(theirs, mem.px);
}

// Offset of the n-th SOS marker (n from 0) of a JPEG, or 0. Entropy-coded data never holds FF DA.
size_t FindScan(const std::vector<unsigned char>& f, int n) {
    for (size_t i = 2; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xDA && n-- == 0) return i;
    return 0;
}

// Offsets of the restart markers of a JPEG's scans.
std::vector<size_t> RestartMarkers(const std::vector<unsigned char>& f) {
    std::vector<size_t> at;
    for (size_t i = FindScan(f, 0); i != 0 && i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] >= 0xD0 && f[i + 1] <= 0xD7) at.push_back(i);
    return at;
}

std::vector<unsigned char> Inserted(std::vector<unsigned char> f, size_t at, const std::vector<unsigned char>& bytes) {
    f.insert(f.begin() + static_cast<long>(at), bytes.begin(), bytes.end());
    return f;
}

// What one file gives in the three modes: sizes only, the natural layout and R,G,B.
struct Modes {
    int sizes = -1, w = 0, h = 0;
    Decoded natural, rgb;
};

Modes ReadAllModes(const std::vector<unsigned char>& f) {
    Modes m;
    m.sizes = ReadJpeg(nullptr, nullptr, &m.w, &m.h, nullptr, nullptr, -1, f.data(), static_cast<int>(f.size()));
    m.natural = Decode(f, -1);
    m.rgb = Decode(f, 0);
    return m;
}

// Hostile but legal files (valid headers, real entropy-coded data at the fewest bits the coding allows)
// that made libjpeg allocate gigabytes or run for seconds. A claim beyond the decode budget (2^24 pixels)
// or beyond what the Huffman data can hold (two bits a block of every component in a sequential scan,
// one in the first progressive scans) is refused from the header, by the size-only call too; a file
// within both decodes at no more than the budget's cost (to flat grey: every coefficient is 0); a file
// of more than 100 scans fails when its 101st scan starts (the size-only call cannot see the scans).
TEST(ReadJpeg, HostileFilesAreRefusedOrDecodeWithinTheBudget) {
    using namespace jpeg_files;
    const unsigned kSide = 4096;  // 2^24 pixels: the budget
    Builder bogus;                // an AC refinement whose bit position no earlier scan left
    bogus.Dqt();
    bogus.Frame(0xC2, 64, 64, kGrey);
    bogus.OneCodeTable(0, 0x00);
    bogus.OneCodeTable(1, 0xE0);
    bogus.Scan({1}, 0, 0, 0, 0, 8);
    bogus.Scan({1}, 1, 63, 0, 0, 2);
    bogus.Scan({1}, 1, 63, 2, 1, 2);
    std::vector<unsigned char> bad_code = Sequential(64, 64, kGrey);
    bad_code[FindScan(bad_code, 0) + 10] = 0x80;  // a 1 bit: no code of these tables starts with it
    const std::vector<Component> two = {{1, 1, 1}, {2, 1, 1}};
    enum Result { kRefused, kDecodes, kFailsInTheScans, kDecodesAny };
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        Result result;
    } cases[] = {
        {"baseline 32767 x 32767 in 614 bytes", Claimed(0xC0, 32767, 32767, 614 - 140), kRefused},
        {"baseline 4097 x 4096 in 1 MB", Sequential(kSide + 1, kSide, kGrey, 0, 1 << 20), kRefused},
        {"baseline 65535 x 256 in 1 MB: sides above 32767", Sequential(65535, 256, kGrey, 0, 1 << 20), kRefused},
        {"baseline 4096 x 4096 grey in 1 MB", Sequential(kSide, kSide, kGrey, 0, 1 << 20), kDecodes},
        {"baseline 4096 x 4096 a byte short of two bits a block",
         Sequential(kSide, kSide, kGrey, SequentialScanBytes(kSide, kSide, 1) - 141), kRefused},
        {"baseline 1024 x 1024 CMYK in two bits a block", Sequential(1024, 1024, kCmyk), kDecodes},
        {"progressive 32767 x 32767 in 480 bytes", Claimed(0xC2, 32767, 32767, 480 - 140), kRefused},
        {"progressive 4096 x 4096 colour, one component coded: every component counts",
         Progressive(kSide, kSide, kColour, 1, 1, false), kRefused},
        {"progressive 1024 x 1024 colour in one bit a block", Progressive(1024, 1024, kColour, 3, 1, false), kDecodes},
        {"progressive 2048 x 2048, 1 MB of repeated AC scans", Progressive(2048, 2048, kGrey, 1, 58000, false),
         kFailsInTheScans},
        {"progressive 512 x 512, 100 scans of refinements", Progressive(512, 512, kGrey, 1, 99, true), kDecodes},
        {"progressive 512 x 512, 101 scans of refinements", Progressive(512, 512, kGrey, 1, 100, true),
         kFailsInTheScans},
        {"arithmetic 2048 x 2048 colour in 106 bytes", Arithmetic(2048, 2048, kColour, false, 0), kDecodesAny},
        {"arithmetic progressive 1024 x 1024, 300 KB of AC scans", Arithmetic(1024, 1024, kGrey, true, 30000),
         kFailsInTheScans},
        {"arithmetic 4097 x 4096", Arithmetic(kSide + 1, kSide, kGrey, false, 0), kRefused},
        {"two components", Sequential(64, 64, two), kRefused},
        {"inconsistent progression", bogus.Finish(), kFailsInTheScans},
        {"bad Huffman code", bad_code, kFailsInTheScans},
    };
    for (const Case& c : cases) {
        const Modes m = ReadAllModes(c.file);
        EXPECT_EQ(m.sizes, c.result == kRefused ? 0 : 1) << c.what;
        EXPECT_EQ(m.natural.ok, c.result == kDecodes || c.result == kDecodesAny ? 1 : 0) << c.what;
        EXPECT_EQ(m.rgb.ok, m.natural.ok) << c.what;
        if (m.natural.ok != 1) continue;
        EXPECT_EQ(m.natural.w, m.w) << c.what;
        EXPECT_EQ(m.rgb.px.size(), size_t(m.w) * m.h * 3) << c.what;
        if (c.result == kDecodesAny) continue;   // arithmetic decoding of no data is no flat picture
        const unsigned char grey = m.rgb.px[0];  // 128, or 64 for CMYK (128 x 128 / 255)
        EXPECT_EQ(m.natural.px, std::vector<unsigned char>(m.natural.px.size(), grey)) << c.what;
        EXPECT_EQ(m.rgb.px, std::vector<unsigned char>(m.rgb.px.size(), grey)) << c.what;
    }
    // file mode measures the file for the floor
    const std::string path = fmt_test::TempPath("claimed.jpg");
    fmt_test::WriteFile(path, cases[4].file);
    int w = 0, h = 0, layout = 0, dpi = 0;
    EXPECT_EQ(LoadImgFile(path.c_str(), nullptr, &w, &h, &layout, &dpi, -1), 0);
    fmt_test::WriteFile(path, Sequential(kSide, kSide, kGrey));
    EXPECT_EQ(LoadImgFile(path.c_str(), nullptr, &w, &h, &layout, &dpi, -1), 2);
}

// Encoder output with one harmless edit decodes to the clean file's pixels in every mode (djpeg and
// the previous reader decode them too), while the warnings that mean made-up pixels still fail.
TEST(ReadJpeg, HarmlessEditsDecodeAndCorruptScansFail) {
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(4, 1, finger.data());
    const std::vector<unsigned char> f = Encode(finger, 320, 240, 1, 96, -1, 90);
    std::vector<unsigned char> restarts = f, progressive = f;
    const bool tools = fmt_test::HaveTool("jpegtran");
    if (tools) {
        const std::string in = fmt_test::TempPath("edits.jpg"), out = fmt_test::TempPath("edits_out.jpg");
        fmt_test::WriteFile(in, f);
        int status = -1;
        fmt_test::Run("jpegtran -restart 1 " + in + " > " + out, &status);
        ASSERT_EQ(status, 0);
        restarts = fmt_test::ReadFile(out);
        fmt_test::Run("jpegtran -progressive " + in + " > " + out, &status);
        ASSERT_EQ(status, 0);
        progressive = fmt_test::ReadFile(out);
    }
    const Modes clean = ReadAllModes(f);
    ASSERT_EQ(clean.natural.ok, 1);
    ASSERT_EQ(ReadAllModes(restarts).natural.px, clean.natural.px);

    const size_t scan = FindScan(f, 0), eoi = f.size() - 2;
    std::vector<unsigned char> se0 = f;  // a baseline scan whose Se says 0: sequential decoders ignore it
    const size_t se = scan + 6 + 2 * f[scan + 4];
    ASSERT_EQ(f[se], 63);
    se0[se] = 0;
    const std::vector<size_t> rst = RestartMarkers(restarts);
    ASSERT_TRUE(!tools || rst.size() > 4);
    std::vector<unsigned char> no_restart = restarts, wrong_restart = restarts;
    if (tools) {
        no_restart.erase(no_restart.begin() + static_cast<long>(rst[3]),
                         no_restart.begin() + static_cast<long>(rst[3] + 2));
        wrong_restart[rst[3] + 1] = static_cast<unsigned char>(0xD0 + (wrong_restart[rst[3] + 1] - 0xD0 + 4) % 8);
    }
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        bool decodes;
        bool needs_tools;
    } cases[] = {
        {"two stray bytes between APP0 and DQT", Inserted(f, FindMarker(f, 0xDB), {0x12, 0x34}), true, false},
        {"stray bytes before SOS", Inserted(f, scan, {0, 1, 2}), true, false},
        {"fill bytes FF before DQT", Inserted(f, FindMarker(f, 0xDB), {0xFF, 0xFF, 0xFF}), true, false},
        {"baseline SOS with Se = 0", se0, true, false},
        {"padding before EOI", Inserted(f, eoi, std::vector<unsigned char>(100, 0)), true, false},
        {"a megabyte of padding before EOI", Inserted(f, eoi, std::vector<unsigned char>(1 << 20, 0x55)), true, false},
        {"stray bytes between two progressive scans", Inserted(progressive, FindScan(progressive, 2), {0x12, 0x34}),
         true, true},
        {"padding before EOI of a progressive file",
         Inserted(progressive, progressive.size() - 2, std::vector<unsigned char>(64, 0)), true, true},
        {"scan cut and closed with EOI",
         Inserted(Bytes(f.data(), scan + (eoi - scan) / 3), scan + (eoi - scan) / 3, {0xFF, 0xD9}), false, false},
        {"file cut inside the scan", Bytes(f.data(), scan + (eoi - scan) / 2), false, false},
        {"restart marker where the file has none", Inserted(f, (scan + eoi) / 2, {0xFF, 0xD3}), false, false},
        {"restart marker left out", no_restart, false, true},
        {"restart marker out of order", wrong_restart, false, true},
    };
    for (const Case& c : cases) {
        if (c.needs_tools && !tools) continue;
        const Modes m = ReadAllModes(c.file);
        EXPECT_EQ(m.natural.ok, c.decodes ? 1 : 0) << c.what;
        EXPECT_EQ(m.rgb.ok, m.natural.ok) << c.what;
        if (!c.decodes) continue;
        EXPECT_EQ(m.sizes, 1) << c.what;
        EXPECT_EQ(m.w, 320) << c.what;
        EXPECT_EQ(m.natural.px, clean.natural.px) << c.what;
        EXPECT_EQ(m.rgb.px, clean.rgb.px) << c.what;
    }
}

// An arithmetic-coded picture needs no bits for its blank blocks: a blank card 4096 x 2048 with one
// finger in a corner, a few KB, decodes (the Huffman floor is no rule for it), as djpeg decodes it.
TEST(ReadJpeg, ArithmeticCodingHasNoFloor) {
    if (!fmt_test::HaveTool("cjpeg") || !fmt_test::HaveTool("djpeg"))
        GTEST_SKIP() << "libjpeg-turbo-progs not installed";
    const int w = 4096, h = 2048;
    std::vector<unsigned char> card(static_cast<size_t>(w) * h, 235);
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(2, 0, finger.data());
    for (int y = 0; y < fingergen::kHeight; ++y)
        memcpy(&card[static_cast<size_t>(y) * w], &finger[static_cast<size_t>(y) * fingergen::kWidth],
               fingergen::kWidth);
    const std::string head = "P5\n4096 2048\n255\n";
    std::vector<unsigned char> pgm(head.begin(), head.end());
    pgm.insert(pgm.end(), card.begin(), card.end());
    const std::string in = fmt_test::TempPath("card.pgm"), out = fmt_test::TempPath("card.jpg");
    fmt_test::WriteFile(in, pgm);
    int status = -1;
    fmt_test::Run("cjpeg -arithmetic " + in + " > " + out, &status);
    ASSERT_EQ(status, 0);
    const std::vector<unsigned char> file = fmt_test::ReadFile(out);
    ASSERT_LT(file.size() * 8, size_t(w / 8) * (h / 8));  // less than one bit a block
    const Decoded d = Decode(file);
    ASSERT_EQ(d.ok, 1);
    const std::string theirs = fmt_test::Run("djpeg -pnm " + out, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(std::string(d.px.begin(), d.px.end()), theirs.substr(head.size()));
}

// Valid files of every common kind decode to exactly what the outside decoder gives.
TEST(ReadJpeg, EveryCodingOfTheOutsideEncoderDecodes) {
    if (!fmt_test::HaveTool("cjpeg") || !fmt_test::HaveTool("djpeg") || !fmt_test::HaveTool("jpegtran"))
        GTEST_SKIP() << "libjpeg-turbo-progs not installed";
    const int w = 173, h = 91;
    auto pnm = [&](int comps) {
        const std::vector<unsigned char> px = Pattern(w, h, comps, 3);
        const std::string head = std::string(comps == 1 ? "P5" : "P6") + "\n173 91\n255\n";
        std::vector<unsigned char> v(head.begin(), head.end());
        v.insert(v.end(), px.begin(), px.end());
        return v;
    };
    const std::string grey = fmt_test::TempPath("kinds.pgm"), colour = fmt_test::TempPath("kinds.ppm");
    fmt_test::WriteFile(grey, pnm(1));
    fmt_test::WriteFile(colour, pnm(3));
    const std::string flat = fmt_test::TempPath("flat.pgm");
    std::vector<unsigned char> flat_px = {'P', '5', ' ', '2', '1', '0', '4', ' ', '2',
                                          '1', '0', '4', ' ', '2', '5', '5', '\n'};
    flat_px.resize(flat_px.size() + 2104 * 2104, 77);  // more blocks than pass whatever the size
    fmt_test::WriteFile(flat, flat_px);
    const std::string out = fmt_test::TempPath("kinds.jpg"), mine = fmt_test::TempPath("mine.jpg");
    fmt_test::WriteFile(mine, Encode(Pattern(w, h, 3, 4), w, h, 0, 72, -1, 80));
    const std::string cases[] = {
        "cjpeg -grayscale " + grey,
        "cjpeg " + colour,
        "cjpeg -sample 1x1 " + colour,
        "cjpeg -sample 2x1 " + colour,
        "cjpeg -optimize -restart 1 " + colour,
        "cjpeg -progressive " + colour,
        "cjpeg -progressive -grayscale " + grey,
        "cjpeg -arithmetic " + colour,
        "cjpeg -arithmetic -progressive " + grey,
        "cjpeg -optimize " + flat,  // two bits a block, the fewest Huffman coding allows
        "cjpeg -progressive " + flat,
        "jpegtran -progressive " + mine,
        "jpegtran -optimize -restart 2 " + mine,
    };
    for (const std::string& cmd : cases) {
        int status = -1;
        fmt_test::Run(cmd + " > " + out, &status);
        ASSERT_EQ(status, 0) << cmd;
        const Decoded d = Decode(fmt_test::ReadFile(out));
        ASSERT_EQ(d.ok, 1) << cmd;
        const std::string theirs = fmt_test::Run("djpeg -pnm " + out, &status);
        ASSERT_EQ(status, 0) << cmd;
        const std::string head = std::string(d.layout == 0 ? "P6" : "P5") + "\n" + std::to_string(d.w) + " " +
                                 std::to_string(d.h) + "\n255\n";
        ASSERT_EQ(theirs.substr(0, head.size()), head) << cmd;
        EXPECT_EQ(std::string(d.px.begin(), d.px.end()), theirs.substr(head.size())) << cmd;
    }
}

}  // namespace
