// The exported interface of the recognition library, through the shared library itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "command_output.h"
#include "finger_gen.h"
#include "qvfv_alg_api.h"

namespace {

using Bytes = std::vector<unsigned char>;

class Veinalg : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0); }
};

void PutU32(Bytes& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<unsigned char>(v >> (8 * k));
}

// Standard CRC-32, written out independently of the library.
uint32_t Crc32(const unsigned char* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void Seal(unsigned char* item, size_t size) {
    std::memcpy(item, "v1.1", 4);
    const uint32_t crc = Crc32(item + 8, size - 8);
    for (int k = 0; k < 4; ++k) item[4 + k] = static_cast<unsigned char>(crc >> (8 * k));
}

// Records of one repeated byte with the tag and valid CRCs. A fill whose code groups' squared
// nibbles stay within what the encoder can give (each fill below 8 here) is matched, not refused.
Bytes SealedTemplate(unsigned char fill) {
    Bytes t(FV_TMPL_SIZE, fill);
    Seal(t.data(), t.size());
    return t;
}

Bytes SealedFeature(unsigned char fill) {
    Bytes f(FV_FEATURE_SIZE, fill);
    for (int k = 0; k < 3; ++k) Seal(f.data() + k * FV_FEATURE_ITEM_SIZE, FV_FEATURE_ITEM_SIZE);
    return f;
}

Bytes FingerBmp(int finger, int capture) {
    Bytes grey = fingergen::finger_image(finger, capture);
    return fingergen::grey_to_bmp(grey.data(), 320, 240);
}

// A 640 x 480 top-down image of which every 2 x 2 block repeats one pixel of the 320 x 240 image.
Bytes Doubled(const Bytes& grey) {
    Bytes big(640 * 480);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) big[y * 640 + x] = grey[(y / 2) * 320 + x / 2];
    return big;
}

// The halving rule for a top-down input: output row r, column j is the mean of input rows
// 2r + 1, 2r + 2 at columns 2j, 2j + 1; column 0 and the last row are white.
Bytes HalvedTopDown(const Bytes& big) {
    Bytes out(76800);
    for (int r = 0; r < 240; ++r)
        for (int j = 0; j < 320; ++j) {
            if (j == 0 || r == 239) {
                out[r * 320 + j] = 255;
                continue;
            }
            const int s = big[(2 * r + 1) * 640 + 2 * j] + big[(2 * r + 1) * 640 + 2 * j + 1] +
                          big[(2 * r + 2) * 640 + 2 * j] + big[(2 * r + 2) * 640 + 2 * j + 1];
            out[r * 320 + j] = static_cast<unsigned char>(s / 4);
        }
    return out;
}

}  // namespace

TEST(VeinalgLibrary, ExportsExactlyTheSevenFunctions) {
    const std::string syms = qvtest::command_output(std::string("nm -D --defined-only --format=posix ") + VEINALG_PATH);
    ASSERT_FALSE(syms.empty());
    std::set<std::string> names;
    size_t pos = 0;
    while (pos < syms.size()) {
        size_t eol = syms.find('\n', pos);
        if (eol == std::string::npos) eol = syms.size();
        const std::string line = syms.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty()) names.insert(line.substr(0, line.find(' ')));
    }
    const std::set<std::string> expected = {
        "veinalg_init_handle",   "veinalg_release_handle", "veinalg_get_version_info",
        "veinalg_image_quality", "veinalg_make_feature",   "veinalg_make_tmpl",
        "veinalg_match"};
    EXPECT_EQ(names, expected) << syms;
}

#ifndef QV_SANITIZED_BUILD
TEST(VeinalgLibrary, NeedsOnlyLibcAndLibm) {
    const std::string dyn = qvtest::command_output(std::string("readelf -d ") + VEINALG_PATH);
    std::set<std::string> needed;
    size_t pos = 0;
    while ((pos = dyn.find("Shared library: [", pos)) != std::string::npos) {
        pos += 17;
        needed.insert(dyn.substr(pos, dyn.find(']', pos) - pos));
    }
    for (const std::string& lib : needed)
        EXPECT_TRUE(lib.rfind("libc.so", 0) == 0 || lib.rfind("libm.so", 0) == 0 || lib.rfind("ld-linux", 0) == 0)
            << lib;
    EXPECT_TRUE(needed.count("libc.so.6")) << dyn;
}
#endif

TEST_F(Veinalg, VersionRecord) {
    EXPECT_EQ(veinalg_get_version_info(nullptr), -1);
    FV_VERSION_INFO v{};
    ASSERT_EQ(veinalg_get_version_info(&v), 0);
    EXPECT_STREQ(v.vendor, "quvera");
    EXPECT_STREQ(v.lib_version, "1.1.0");
    EXPECT_STREQ(v.release_date, "2022-02-22 14:39:12");
    EXPECT_EQ(v.bio_type, 8);
    EXPECT_STREQ(v.tmpl_version, "VEIN_TMPL_1.1");
    EXPECT_EQ(v.max_tmpl_size, 30000);
    EXPECT_STREQ(v.feature_version, "VEIN_FEATURE_1.1");
    EXPECT_EQ(v.max_feature_size, 30000);
    EXPECT_STREQ(v.extra_version_info, "none");
}

TEST_F(Veinalg, InitAgainAndReleaseChangeNothing) {
    Bytes t = SealedTemplate(3), f = SealedFeature(5);
    const double before = veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr);
    EXPECT_EQ(veinalg_init_handle(reinterpret_cast<void*>(1), 99), 0);
    EXPECT_EQ(veinalg_release_handle(nullptr), 0);
    EXPECT_EQ(veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr), before);
}

TEST_F(Veinalg, QualityRejectsBadArguments) {
    Bytes img(640 * 480, 100);
    EXPECT_EQ(veinalg_image_quality(nullptr, 320, 240), -3);
    const int sizes[][2] = {{320, 480}, {640, 240}, {0, 0}, {-320, -240}, {240, 320}, {321, 240}};
    for (const auto& s : sizes) EXPECT_EQ(veinalg_image_quality(img.data(), s[0], s[1]), -3) << s[0] << "x" << s[1];
}

TEST_F(Veinalg, QualityThresholds) {
    struct Case {
        const char* name;
        Bytes img;
        int expected;
    };
    std::vector<Case> cases;
    cases.push_back({"uniform 15: region mean 15", Bytes(76800, 15), 0});
    cases.push_back({"uniform 16", Bytes(76800, 16), 1});
    cases.push_back({"uniform 190", Bytes(76800, 190), 1});
    cases.push_back({"uniform 191", Bytes(76800, 191), 0});
    cases.push_back({"all dark", Bytes(76800, 5), 0});
    // Values 10 and 210 alternating over the first k pixels, 110 elsewhere: mean 110, variance k*10000/76800.
    auto spread = [](int k) {
        Bytes b(76800, 110);
        for (int i = 0; i < k; ++i) b[i] = (i % 2) ? 210 : 10;
        return b;
    };
    cases.push_back({"variance exactly 9000", spread(69120), 1});
    cases.push_back({"variance 9001", spread(69128), 0});
    // Region mean 125 but the pixels above 5 average 250.
    Bytes dark_light(76800);
    for (int i = 0; i < 76800; ++i) dark_light[i] = (i % 2) ? 250 : 0;
    cases.push_back({"bright pixels mean 250", dark_light, 0});
    // Region of interest dark (mean 12), the rest bright.
    Bytes roi_dark(76800, 150);
    for (int y = 70; y < 190; ++y)
        for (int x = 10; x < 306; ++x) roi_dark[y * 320 + x] = 12;
    cases.push_back({"region dark", roi_dark, 0});
    for (const Case& c : cases) EXPECT_EQ(veinalg_image_quality(c.img.data(), 320, 240), c.expected) << c.name;

    // 640 x 480 inputs follow the same rule on the halved image.
    for (const Case& c : cases) {
        Bytes big = Doubled(c.img);
        EXPECT_EQ(veinalg_image_quality(big.data(), 640, 480),
                  veinalg_image_quality(HalvedTopDown(big).data(), 320, 240))
            << c.name;
    }
}

TEST_F(Veinalg, GeneratedFingersAreGoodQuality) {
    for (int finger = 0; finger < 30; ++finger)
        for (int capture = 0; capture < 3; ++capture) {
            Bytes g = fingergen::finger_image(finger, capture);
            EXPECT_EQ(veinalg_image_quality(g.data(), 320, 240), 1) << finger << "/" << capture;
            Bytes big = Doubled(g);
            EXPECT_EQ(veinalg_image_quality(big.data(), 640, 480), 1) << finger << "/" << capture;
        }
}

TEST_F(Veinalg, MakeFeatureArgumentChecks) {
    Bytes bmp = FingerBmp(2, 0);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    _image null_data{nullptr, 77878};
    Bytes out(50000, 0xAB);
    struct Case {
        const char* name;
        const _image* images;
        int count;
        void* out;
        int out_size;
        int expected;
    } cases[] = {
        {"count 0", &img, 0, out.data(), 50000, -3},
        {"count -1", &img, -1, out.data(), 50000, -3},
        {"null out", &img, 1, nullptr, 50000, -3},
        {"out size 0", &img, 1, out.data(), 0, -3},
        {"out size too small", &img, 1, out.data(), FV_FEATURE_SIZE - 1, -3},
        {"out size negative", &img, 1, out.data(), -1, -3},
        {"null array", nullptr, 1, out.data(), 50000, -3},
        {"null data", &null_data, 1, out.data(), 50000, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(veinalg_make_feature(nullptr, c.images, c.count, c.out, c.out_size, nullptr), c.expected) << c.name;
    for (unsigned char b : out) ASSERT_EQ(b, 0xAB);
}

TEST_F(Veinalg, MakeTmplArgumentChecks) {
    Bytes bmp = FingerBmp(2, 0);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    Bytes out(FV_TMPL_SIZE, 0xAB);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, nullptr, 1, out.data(), nullptr), 0);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 0, out.data(), nullptr), 0);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 1, nullptr, nullptr), 0);
    _image none[3] = {{nullptr, 0}, {nullptr, 0}, {nullptr, 0}};
    EXPECT_EQ(veinalg_make_tmpl(nullptr, none, 3, out.data(), nullptr), 0);
    for (unsigned char b : out) ASSERT_EQ(b, 0xAB);
}

// BMP acceptance: each case is a header change of a valid 320 x 240 file.
TEST_F(Veinalg, BmpAcceptance) {
    struct Case {
        const char* name;
        size_t at;
        uint32_t value;  // written as 32 bits, or 16 bits for the magic
        int bytes;
        bool accepted;
    } cases[] = {
        {"valid", 0, 0x4D42, 2, true},
        {"magic", 0, 0x4D43, 2, false},
        {"data offset", 10, 1077, 4, false},
        {"info header size", 14, 124, 4, false},
        {"width 321", 18, 321, 4, false},
        {"height 241", 22, 241, 4, false},
        {"top-down height", 22, static_cast<uint32_t>(-240), 4, false},
        {"width 640 at height 240", 18, 640, 4, false},
        {"bit count 24 is not examined", 28, 24, 2, true},
        {"compression is not examined", 30, 1, 4, true},
    };
    for (const Case& c : cases) {
        Bytes bmp = FingerBmp(3, 1);
        if (c.bytes == 2) {
            bmp[c.at] = static_cast<unsigned char>(c.value);
            bmp[c.at + 1] = static_cast<unsigned char>(c.value >> 8);
        } else {
            PutU32(bmp, c.at, c.value);
        }
        _image img{bmp.data(), static_cast<int>(bmp.size())};
        Bytes out(50000, 0);
        const int f = veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr);
        Bytes tmpl(FV_TMPL_SIZE, 0);
        const int t = veinalg_make_tmpl(nullptr, &img, 1, tmpl.data(), nullptr);
        if (c.accepted) {
            EXPECT_NE(f, -1) << c.name;
            EXPECT_NE(t, -1) << c.name;
        } else {
            EXPECT_EQ(f, -1) << c.name;
            EXPECT_EQ(t, -1) << c.name;
        }
    }
}

TEST_F(Veinalg, BmpShorterThanItsPixelsIsRejected) {
    Bytes bmp = FingerBmp(4, 0);
    const int lengths[] = {0, 53, 1078, 1078 + 76800 - 1};
    for (int len : lengths) {
        Bytes copy(bmp.begin(), bmp.begin() + len);
        copy.resize(len == 0 ? 1 : len);
        _image img{copy.data(), len};
        Bytes out(50000, 0);
        EXPECT_EQ(veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr), -1) << len;
        EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 1, out.data(), nullptr), -1) << len;
    }
    // The exact length of a 640 x 480 file is enough.
    Bytes grey = fingergen::finger_image(4, 0);
    Bytes big = fingergen::grey_to_bmp(Doubled(grey).data(), 640, 480);
    ASSERT_EQ(big.size(), 1078u + 640 * 480);
    _image img{big.data(), static_cast<int>(big.size())};
    Bytes out(50000, 0);
    EXPECT_NE(veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr), -1);
    img.length -= 1;
    EXPECT_EQ(veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr), -1);
}

TEST_F(Veinalg, MakeTmplRejectsAnyBadImageAndSkipsNullEntries) {
    Bytes good = FingerBmp(5, 0);
    Bytes bad = good;
    bad[0] = 'X';
    _image list[3] = {{good.data(), 77878}, {bad.data(), 77878}, {good.data(), 77878}};
    Bytes out(FV_TMPL_SIZE, 0);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, list, 3, out.data(), nullptr), -1);
    // A bad image past the third read one is never looked at.
    _image four[4] = {{good.data(), 77878}, {nullptr, 0}, {good.data(), 77878}, {good.data(), 77878}};
    _image five[5] = {four[0], four[1], four[2], four[3], {bad.data(), 77878}};
    EXPECT_NE(veinalg_make_tmpl(nullptr, five, 5, out.data(), nullptr), -1);
}

TEST_F(Veinalg, MatchClassifiesByLength) {
    Bytes t = SealedTemplate(7), f = SealedFeature(6);
    Bytes t2 = SealedTemplate(1), f2 = SealedFeature(2);
    const double tf = veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr);
    const double ft = veinalg_match(nullptr, f.data(), FV_FEATURE_SIZE, t.data(), FV_TMPL_SIZE, nullptr);
    EXPECT_GE(tf, 0.0);
    EXPECT_LE(tf, 1.0);
    EXPECT_EQ(tf, ft);
    struct Case {
        const char* name;
        const void* a;
        int a_len;
        const void* b;
        int b_len;
    } none[] = {
        {"two templates", t.data(), FV_TMPL_SIZE, t2.data(), FV_TMPL_SIZE},
        {"two features", f.data(), FV_FEATURE_SIZE, f2.data(), FV_FEATURE_SIZE},
        {"template and short feature", t.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE - 1},
        {"long template", t.data(), FV_TMPL_SIZE + 1, f.data(), FV_FEATURE_SIZE},
        {"null template", nullptr, FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE},
        {"null feature", t.data(), FV_TMPL_SIZE, nullptr, FV_FEATURE_SIZE},
        {"nothing", nullptr, 0, nullptr, 0},
    };
    for (const Case& c : none) EXPECT_EQ(veinalg_match(nullptr, c.a, c.a_len, c.b, c.b_len, nullptr), 0.0) << c.name;
}

TEST_F(Veinalg, MatchDetectsDamagedRecords) {
    const Bytes t = SealedTemplate(7), f = SealedFeature(6);
    const size_t feature_bytes[] = {8,
                                    2000,
                                    FV_FEATURE_ITEM_SIZE + 100,
                                    2 * FV_FEATURE_ITEM_SIZE + 8,
                                    FV_FEATURE_SIZE - 1,
                                    4,
                                    2 * FV_FEATURE_ITEM_SIZE + 5};
    for (size_t at : feature_bytes) {
        Bytes bad = f;
        bad[at] ^= 0x10;
        EXPECT_EQ(veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, bad.data(), FV_FEATURE_SIZE, nullptr), -1.0) << at;
        EXPECT_EQ(veinalg_match(nullptr, bad.data(), FV_FEATURE_SIZE, t.data(), FV_TMPL_SIZE, nullptr), -1.0) << at;
    }
    const size_t tmpl_bytes[] = {8, 1500, 2970, 2971, 5};
    for (size_t at : tmpl_bytes) {
        Bytes bad = t;
        bad[at] ^= 0x01;
        EXPECT_EQ(veinalg_match(nullptr, bad.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr), -1.0) << at;
    }
    // A record without its tag was not made by the library: refused like a damaged one.
    Bytes tag = t;
    tag[0] = 'x';
    EXPECT_EQ(veinalg_match(nullptr, tag.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr), -1.0);
}

TEST_F(Veinalg, MatchReadsRecordsAtAnyAddress) {
    const Bytes t = SealedTemplate(7), f = SealedFeature(6);
    Bytes tb(FV_TMPL_SIZE + 1), fb(FV_FEATURE_SIZE + 3);
    std::memcpy(tb.data() + 1, t.data(), FV_TMPL_SIZE);
    std::memcpy(fb.data() + 3, f.data(), FV_FEATURE_SIZE);
    EXPECT_EQ(veinalg_match(nullptr, tb.data() + 1, FV_TMPL_SIZE, fb.data() + 3, FV_FEATURE_SIZE, nullptr),
              veinalg_match(nullptr, t.data(), FV_TMPL_SIZE, f.data(), FV_FEATURE_SIZE, nullptr));
}

TEST_F(Veinalg, FeatureRecordsAreSealed) {
    Bytes bmp = FingerBmp(8, 1);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    Bytes out(50000, 0xAB);
    ASSERT_EQ(veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr), FV_FEATURE_SIZE);
    for (int k = 0; k < 3; ++k) {
        const unsigned char* item = out.data() + k * FV_FEATURE_ITEM_SIZE;
        EXPECT_EQ(0, std::memcmp(item, "v1.1", 4)) << k;
        const uint32_t stored = item[4] | item[5] << 8 | item[6] << 16 | uint32_t(item[7]) << 24;
        EXPECT_EQ(stored, Crc32(item + 8, FV_FEATURE_ITEM_SIZE - 8)) << k;
    }
    for (size_t i = FV_FEATURE_SIZE; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << i;

    // Only the first image counts; the others are not even looked at.
    Bytes junk(100, 0);
    _image five[5] = {img, {junk.data(), 100}, {nullptr, 0}, {junk.data(), 100}, {junk.data(), 100}};
    Bytes again(FV_FEATURE_SIZE, 0);
    ASSERT_EQ(veinalg_make_feature(nullptr, five, 5, again.data(), FV_FEATURE_SIZE, nullptr), FV_FEATURE_SIZE);
    EXPECT_EQ(0, std::memcmp(again.data(), out.data(), FV_FEATURE_SIZE));
}

TEST_F(Veinalg, ImageWithoutFingerGivesNoFeatureAndLeavesTheBuffer) {
    const Bytes grey(76800, 120);
    Bytes bmp = fingergen::grey_to_bmp(grey.data(), 320, 240);
    _image img{bmp.data(), static_cast<int>(bmp.size())};
    Bytes out(50000, 0x5C);
    EXPECT_EQ(veinalg_make_feature(nullptr, &img, 1, out.data(), 50000, nullptr), 0);
    for (unsigned char b : out) ASSERT_EQ(b, 0x5C);
    Bytes tmpl(FV_TMPL_SIZE, 0x5C);
    EXPECT_EQ(veinalg_make_tmpl(nullptr, &img, 1, tmpl.data(), nullptr), 0);
    for (unsigned char b : tmpl) ASSERT_EQ(b, 0x5C);
}

TEST_F(Veinalg, TemplateIsSealedWithZeroTail) {
    Bytes a = FingerBmp(9, 0), b = FingerBmp(9, 1);
    _image list[3] = {{nullptr, 0}, {a.data(), 77878}, {b.data(), 77878}};
    Bytes out(FV_TMPL_SIZE, 0xAB);
    ASSERT_EQ(veinalg_make_tmpl(nullptr, list, 3, out.data(), nullptr), FV_TMPL_SIZE);
    EXPECT_EQ(0, std::memcmp(out.data(), "v1.1", 4));
    EXPECT_EQ(out[2970], 0);
    EXPECT_EQ(out[2971], 0);
    const uint32_t stored = out[4] | out[5] << 8 | out[6] << 16 | uint32_t(out[7]) << 24;
    EXPECT_EQ(stored, Crc32(out.data() + 8, FV_TMPL_SIZE - 8));
    // The null entry is skipped: the same as the two images alone.
    _image two[2] = {list[1], list[2]};
    Bytes direct(FV_TMPL_SIZE, 0);
    ASSERT_EQ(veinalg_make_tmpl(nullptr, two, 2, direct.data(), nullptr), FV_TMPL_SIZE);
    EXPECT_EQ(direct, out);
}
