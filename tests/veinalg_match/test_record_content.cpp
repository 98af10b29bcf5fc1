// The matcher refuses records whose content the encoders cannot make, and never one they made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "feature.h"
#include "finger_gen.h"
#include "match.h"
#include "qvfv_alg_api.h"
#include "veinalg_internal.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kItem2 = 2 * FV_FEATURE_ITEM_SIZE;
constexpr int kItem2Ms = kItem2 + kItemMs + 16 * 170;  // code bits of grid point 170 in item 2

void ring_ones(unsigned char* bits, int at) { bits[at] = bits[at + 1] = 0xFF; }

class RecordContent : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0); }
};

Bytes bmp_of(int finger, int capture, fingergen::Style style = fingergen::Style::kClassic) {
    return fingergen::grey_to_bmp(fingergen::finger_image(finger, capture, nullptr, style).data(), 320, 240);
}

// Empty when the picture gives no feature.
Bytes feature_of(const Bytes& bmp) {
    _image img{const_cast<unsigned char*>(bmp.data()), static_cast<int>(bmp.size())};
    Bytes out(50000, 0);
    if (veinalg_make_feature(nullptr, &img, 1, out.data(), static_cast<int>(out.size()), nullptr) != FV_FEATURE_SIZE)
        return {};
    out.resize(FV_FEATURE_SIZE);
    return out;
}

// Empty when no template results.
Bytes tmpl_of(const std::vector<const Bytes*>& bmps) {
    std::vector<_image> imgs;
    for (const Bytes* b : bmps) imgs.push_back({const_cast<unsigned char*>(b->data()), static_cast<int>(b->size())});
    Bytes out(FV_TMPL_SIZE, 0);
    if (veinalg_make_tmpl(nullptr, imgs.data(), static_cast<int>(imgs.size()), out.data(), nullptr) != FV_TMPL_SIZE)
        return {};
    return out;
}

void put32(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

// Recomputes the CRC of a template or of every feature item, as a forger would.
void seal(Bytes& r) {
    if (r.size() == FV_TMPL_SIZE) {
        put32(&r[4], GenerateCRC32(&r[8], FV_TMPL_SIZE - 8));
        return;
    }
    for (int k = 0; k < FV_FEATURE_ITEMS; ++k) {
        unsigned char* item = &r[k * FV_FEATURE_ITEM_SIZE];
        put32(item + 4, GenerateCRC32(item + 8, FV_FEATURE_ITEM_SIZE - 8));
    }
}

double match(const Bytes& a, const Bytes& b) {
    return veinalg_match(nullptr, a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), nullptr);
}

bool feature_valid(const Bytes& f) {
    for (int k = 0; k < FV_FEATURE_ITEMS; ++k)
        if (!FeatureItemContentValid(f.data() + k * FV_FEATURE_ITEM_SIZE)) return false;
    return true;
}

// Every record the encoders make from the generated fingers that the tests and the accuracy
// program use passes: features of every capture, templates of one, two and three captures. Four
// fingers of a style a test, so that they run side by side; under AddressSanitizer, where a finger
// costs ten times as much, the first of the four (every style and every kind of record still).
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFingersATest = 1;
#else
constexpr int kFingersATest = 4;
#endif

struct Fingers {
    fingergen::Style style;
    int first;
    const char* name;
};

// The fingers' name, which ctest puts into the test's name.
void PrintTo(const Fingers& f, std::ostream* os) { *os << f.name; }

class GeneratedRecords : public RecordContent, public ::testing::WithParamInterface<Fingers> {};

TEST_P(GeneratedRecords, AllPass) {
    const Fingers& pop = GetParam();
    int features = 0, templates = 0;
    for (int finger = pop.first; finger < pop.first + kFingersATest; ++finger) {
        Bytes bmps[6];
        for (int c = 0; c < 6; ++c) {
            bmps[c] = bmp_of(finger, c, pop.style);
            Bytes f = feature_of(bmps[c]);
            if (f.empty()) continue;
            ++features;
            EXPECT_TRUE(feature_valid(f)) << finger << " capture " << c;
        }
        for (const std::vector<const Bytes*>& set : {std::vector<const Bytes*>{&bmps[0]},
                                                     {&bmps[0], &bmps[1]},
                                                     {&bmps[0], &bmps[1], &bmps[2]},
                                                     {&bmps[3], &bmps[4], &bmps[5]}}) {
            Bytes t = tmpl_of(set);
            if (t.empty()) continue;
            ++templates;
            EXPECT_TRUE(TmplContentValid(t.data())) << finger << " images " << set.size();
        }
    }
    // Enough records to mean something (today every finger gives all 6 and 4).
    EXPECT_GT(features, 5 * kFingersATest);
    EXPECT_GT(templates, 3 * kFingersATest);
}

const Fingers kFingers[] = {
    {fingergen::Style::kClassic, 0, "classic_0"},     {fingergen::Style::kClassic, 4, "classic_4"},
    {fingergen::Style::kClassic, 8, "classic_8"},     {fingergen::Style::kClassic, 100, "classic_100"},
    {fingergen::Style::kVaried, 0, "varied_0"},       {fingergen::Style::kVaried, 4, "varied_4"},
    {fingergen::Style::kVaried, 8, "varied_8"},       {fingergen::Style::kVaried, 100, "varied_100"},
    {fingergen::Style::kRealistic, 0, "realistic_0"}, {fingergen::Style::kRealistic, 4, "realistic_4"},
    {fingergen::Style::kRealistic, 8, "realistic_8"}, {fingergen::Style::kRealistic, 1000, "realistic_1000"},
};
INSTANTIATE_TEST_SUITE_P(RecordContent, GeneratedRecords, ::testing::ValuesIn(kFingers));

// Code groups at the limits of the encoder's arithmetic: every non-zero energy is at least 640, so
// every non-zero component at least 20; the length is rounded down. The case (39, 30, 33, 27) gives
// the largest sum of squared nibbles that any response vector can give (471).
TEST_F(RecordContent, CodeGroupsAtTheEncodersLimitsPass) {
    std::vector<std::vector<int>> vectors = {{39 * 32, 30 * 32, 33 * 32, 27 * 32}, {640}, {640, 640}, {640, 640, 640}};
    for (int k = 1; k <= 16; ++k)
        for (int v = 20; v < 2000; v += (v < 200 ? 1 : 37)) vectors.push_back(std::vector<int>(k, v * 32 + 31));
    std::mt19937 rng(15);
    for (int n = 0; n < 3000; ++n) {
        std::vector<int> r(16);
        const int top = 640 + static_cast<int>(rng() % 40000);
        for (int& e : r) e = rng() % 3 == 0 ? 0 : 640 + static_cast<int>(rng() % static_cast<unsigned>(top));
        vectors.push_back(r);
    }
    int worst = 0;
    // One response vector for every case (each is 37,000 values): only the sixteen inputs, the odd
    // orientations of scales 0 and 1 at grid point 0, change from case to case.
    std::vector<int> responses(kResponses, 0);
    for (const std::vector<int>& v : vectors) {
        for (size_t k = 0; k < 16; ++k) responses[(k / 8) * 16 + 2 * (k % 8) + 1] = k < v.size() ? v[k] : 0;
        Bytes item(FV_FEATURE_ITEM_SIZE, 0);
        std::memcpy(item.data(), "v1.1", 4);
        unsigned char reduced[144 * 8];
        EncodeGaborFeature(&item[kItemCodes], reduced, responses.data());
        int e = 0;
        for (int t = 0; t < 8; ++t)
            e += (item[kItemCodes + t] >> 4) * (item[kItemCodes + t] >> 4) +
                 (item[kItemCodes + t] & 15) * (item[kItemCodes + t] & 15);
        worst = std::max(worst, e);
        EXPECT_TRUE(FeatureItemContentValid(item.data())) << v[0] << " x " << v.size() << ": " << e;
    }
    EXPECT_EQ(worst, 471);
}

// One change of a genuine record per rule, the CRC recomputed: each is refused (-1.0) in both
// argument orders; changes that keep every rule are not. Item 2 of the feature carries the weights
// of a band of rows 20 to 100 in every column (grid rows from 25), so that each weight change
// breaks exactly one rule.
TEST_F(RecordContent, EachBrokenRuleIsRefused) {
    Bytes b0 = bmp_of(3, 0), b1 = bmp_of(3, 1), b2 = bmp_of(3, 2);
    const Bytes tmpl = tmpl_of({&b0, &b1, &b2});
    Bytes feature = feature_of(bmp_of(3, 4));
    ASSERT_FALSE(tmpl.empty());
    ASSERT_FALSE(feature.empty());
    unsigned char border[140];
    for (int p = 0; p < 70; ++p) border[2 * p] = 20, border[2 * p + 1] = 100;
    EncodeFeature_wtX(&feature[kItem2 + kItemW15], border, 15, 25, 6, 5, 6);
    EncodeFeature_wtX(&feature[kItem2 + kItemW27], border, 27, 25, 6, 5, 6);
    ASSERT_EQ(feature[kItem2 + kItemW15 + 10], 139);           // grid row 0: 17 of 31 rows
    ASSERT_EQ(feature[kItem2 + kItemW15 + 22 + 10], 180);      // grid row 1: 22 rows
    ASSERT_EQ(feature[kItem2 + kItemW27 + 10], 134);           // 29 of 55 rows
    ASSERT_EQ(feature[kItem2 + kItemW27 + 22 + 10], 157);      // 34 rows
    ASSERT_EQ(feature[kItem2 + kItemW27 + 7 * 22 + 10], 255);  // inside the band
    ASSERT_EQ(feature[kItem2 + kItemW15 + 7 * 22], 180);       // 22 of 31 columns
    ASSERT_EQ(feature[kItem2 + kItemW27 + 7 * 22 + 21], 162);  // 35 of 55 columns
    seal(feature);
    ASSERT_GE(match(tmpl, feature), 0.7);

    struct Case {
        const char* what;
        bool on_template;
        bool refused;
        void (*change)(unsigned char* record);
    } cases[] = {
        {"template tag", true, true, [](unsigned char* r) { r[3] = '2'; }},
        {"feature tag", false, true, [](unsigned char* r) { r[kItem2] = 'V'; }},
        {"template codes, squares add up to 513", true, true,
         [](unsigned char* r) {
             const unsigned char c[8] = {0xFF, 0x33, 0x33, 0x33, 0x30, 0, 0, 0};
             std::memcpy(r + kTmplCodes + 8 * 77, c, 8);
         }},
        {"template codes, squares add up to 512", true, false,
         [](unsigned char* r) {
             const unsigned char c[8] = {0xFF, 0x33, 0x33, 0x33, 0x20, 0x20, 0, 0};
             std::memcpy(r + kTmplCodes + 8 * 77, c, 8);
         }},
        // A feature's codes reach 471 at most; only a template's merges are given up to 512.
        {"feature codes, squares add up to 472", false, true,
         [](unsigned char* r) {
             const unsigned char c[8] = {0xFF, 0x33, 0x20, 0, 0, 0, 0, 0};
             std::memcpy(r + kItem2 + kItemCodes + 8 * 170, c, 8);
         }},
        {"feature codes, squares add up to 471", false, false,
         [](unsigned char* r) {
             const unsigned char c[8] = {0xFF, 0x42, 0x10, 0, 0, 0, 0, 0};
             std::memcpy(r + kItem2 + kItemCodes + 8 * 170, c, 8);
         }},
        {"feature codes all 15", false, true,
         [](unsigned char* r) { std::memset(r + kItem2 + kItemCodes + 8 * 170, 0xFF, 8); }},
        // The rings of scales 2 to 6 are bytes 2-3, 0-1, 6-7, 4-5 and 10-11 of a point's words.
        {"template scale-2 ring all ones", true, true, [](unsigned char* r) { ring_ones(r + kTmplMs + 16 * 50, 2); }},
        {"template scale-3 ring all ones", true, true, [](unsigned char* r) { ring_ones(r + kTmplMs + 16 * 50, 0); }},
        {"feature scale-4 ring all ones", false, true, [](unsigned char* r) { ring_ones(r + kItem2Ms, 6); }},
        {"feature scale-5 ring all ones", false, true, [](unsigned char* r) { ring_ones(r + kItem2Ms, 4); }},
        {"feature scale-6 ring all ones", false, true, [](unsigned char* r) { ring_ones(r + kItem2Ms, 10); }},
        {"scale-pair bits all ones", false, false,
         [](unsigned char* r) {
             unsigned char* w = r + kItem2Ms;
             w[8] = w[9] = 0xFF;
             std::memset(w + 12, 0xFF, 4);
         }},
        {"radius-15 weight beyond the picture's edge", false, true,
         [](unsigned char* r) { r[kItem2 + kItemW15 + 7 * 22] = 181; }},
        {"radius-27 weight beyond the picture's edge", false, true,
         [](unsigned char* r) { r[kItem2 + kItemW27 + 7 * 22 + 21] = 163; }},
        {"radius-15 step between grid rows", false, true, [](unsigned char* r) { r[kItem2 + kItemW15 + 10] = 129; }},
        {"radius-27 step between grid rows", false, true, [](unsigned char* r) { r[kItem2 + kItemW27 + 10] = 124; }},
        {"radius-27 step between grid columns", false, true,
         [](unsigned char* r) {
             for (int i = 0; i < 15; ++i) r[kItem2 + kItemW27 + i * 22 + 10] -= 29;
         }},
        {"radius-27 window full around a partial radius-15 window", false, true,
         [](unsigned char* r) { r[kItem2 + kItemW15 + 7 * 22 + 10] = 254; }},
        {"every weight as high as its columns allow", false, true,
         [](unsigned char* r) {
             // Only grid rows 0 and 14 break a rule: their radius-27 windows cannot both be full.
             for (int j = 0; j < 22; ++j) {
                 auto columns = [j](int radius) {
                     return std::min(139, 6 + 6 * j + radius) - std::max(0, 6 + 6 * j - radius) + 1;
                 };
                 for (int i = 0; i < 15; ++i) {
                     r[kItem2 + kItemW15 + i * 22 + j] = static_cast<unsigned char>(columns(15) * 255 / 31);
                     r[kItem2 + kItemW27 + i * 22 + j] = static_cast<unsigned char>(columns(27) * 255 / 55);
                 }
             }
         }},
        {"template weights, any bytes", true, false,
         [](unsigned char* r) {
             for (int k = 0; k < 144; ++k) r[kTmplW15 + k] = static_cast<unsigned char>(k * 97);
         }},
        {"template spare bytes", true, false, [](unsigned char* r) { r[2970] = r[2971] = 0xFF; }},
    };
    for (const Case& c : cases) {
        Bytes t = tmpl, f = feature;
        c.change(c.on_template ? t.data() : f.data());
        seal(t);
        seal(f);
        if (c.refused) {
            EXPECT_EQ(match(t, f), -1.0) << c.what;
            EXPECT_EQ(match(f, t), -1.0) << c.what;
        } else {
            EXPECT_GE(match(t, f), 0.0) << c.what;
            EXPECT_EQ(match(t, f), match(f, t)) << c.what;
        }
    }
}

// Records a forger makes with the CRCs recomputed, against a genuine template and feature of one
// finger, in both argument orders: none matches. All-0xFF and random bytes are refused outright;
// all-zero content passes the check (the encoders give such points outside a finger) and scores 0.
TEST_F(RecordContent, ForgedRecordsNeverMatch) {
    Bytes b0 = bmp_of(5, 0), b1 = bmp_of(5, 1), b2 = bmp_of(5, 2);
    const Bytes tmpl = tmpl_of({&b0, &b1, &b2});
    const Bytes feature = feature_of(bmp_of(5, 4));
    ASSERT_GE(match(tmpl, feature), 0.7);
    auto forge = [](size_t size, int fill, bool tag) {
        Bytes r(size, static_cast<unsigned char>(fill));
        for (size_t at = 0; tag && at < size; at += FV_FEATURE_ITEM_SIZE) std::memcpy(&r[at], "v1.1", 4);
        seal(r);
        return r;
    };
    struct Forged {
        const char* what;
        Bytes t, f;
        double similarity;
    } fixed[] = {
        {"all 0xFF", forge(FV_TMPL_SIZE, 0xFF, false), forge(FV_FEATURE_SIZE, 0xFF, false), -1.0},
        {"all 0xFF after the tag", forge(FV_TMPL_SIZE, 0xFF, true), forge(FV_FEATURE_SIZE, 0xFF, true), -1.0},
        {"all 0x00", forge(FV_TMPL_SIZE, 0, false), forge(FV_FEATURE_SIZE, 0, false), -1.0},
        {"all 0x00 after the tag", forge(FV_TMPL_SIZE, 0, true), forge(FV_FEATURE_SIZE, 0, true), 0.0},
    };
    for (const Forged& c : fixed) {
        EXPECT_EQ(match(c.t, feature), c.similarity) << c.what;
        EXPECT_EQ(match(feature, c.t), c.similarity) << c.what;
        EXPECT_EQ(match(tmpl, c.f), c.similarity) << c.what;
        EXPECT_EQ(match(c.f, tmpl), c.similarity) << c.what;
    }
    std::mt19937 rng(1515);
    for (int n = 0; n < 300; ++n) {
        Bytes t(FV_TMPL_SIZE), f(FV_FEATURE_SIZE);
        for (auto& b : t) b = static_cast<unsigned char>(rng());
        for (auto& b : f) b = static_cast<unsigned char>(rng());
        if (n % 2) {  // with the tags a forger would copy
            std::memcpy(&t[0], "v1.1", 4);
            for (int k = 0; k < FV_FEATURE_ITEMS; ++k) std::memcpy(&f[k * FV_FEATURE_ITEM_SIZE], "v1.1", 4);
        }
        seal(t);
        seal(f);
        EXPECT_EQ(match(t, feature), -1.0) << n;
        EXPECT_EQ(match(feature, t), -1.0) << n;
        EXPECT_EQ(match(tmpl, f), -1.0) << n;
        EXPECT_EQ(match(f, tmpl), -1.0) << n;
    }
}

// Forgeries made to pass the check (codes normalised as the encoder does from random responses,
// random code bits with every orientation ring broken, the weights of a genuine record) score like
// another finger against genuine records of several fingers.
TEST_F(RecordContent, ForgeriesThatPassScoreLikeOtherFingers) {
    std::mt19937 rng(99);
    auto random_codes = [&](unsigned char* codes, int points) {
        std::vector<int> responses(kResponses, 0);
        for (int g = 0; g < points; ++g)
            for (int k = 0; k < 16; ++k)
                responses[g * 112 + (k / 8) * 16 + 2 * (k % 8) + 1] = rng() % 4 ? static_cast<int>(rng() % 60000) : 0;
        std::vector<unsigned char> all(330 * 8), reduced(144 * 8);
        EncodeGaborFeature(all.data(), reduced.data(), responses.data());
        std::memcpy(codes, all.data(), static_cast<size_t>(points) * 8);
    };
    auto random_bits = [&](unsigned char* ms, int points) {
        for (int b = 0; b < points * 16; ++b) ms[b] = static_cast<unsigned char>(rng());
        for (int g = 0; g < points; ++g)
            for (int at : {0, 2, 4, 6, 10}) ms[16 * g + at] &= 0xFE;  // one 0 bit in each ring
    };
    std::vector<Bytes> tmpls, features;
    for (int finger : {20, 21, 22, 23}) {
        Bytes b0 = bmp_of(finger, 0), b1 = bmp_of(finger, 1), b2 = bmp_of(finger, 2);
        tmpls.push_back(tmpl_of({&b0, &b1, &b2}));
        features.push_back(feature_of(bmp_of(finger, 3)));
        ASSERT_FALSE(tmpls.back().empty());
        ASSERT_FALSE(features.back().empty());
    }
    for (int n = 0; n < 40; ++n) {
        Bytes t = tmpls[n % 4], f = features[n % 4];
        random_codes(&t[kTmplCodes], FV_RAW_POINTS);
        random_bits(&t[kTmplMs], FV_MS_POINTS);
        for (int k = 0; k < FV_FEATURE_ITEMS; ++k) {
            random_codes(&f[k * FV_FEATURE_ITEM_SIZE + kItemCodes], FV_GRID_POINTS);
            random_bits(&f[k * FV_FEATURE_ITEM_SIZE + kItemMs], FV_GRID_POINTS);
        }
        seal(t);
        seal(f);
        ASSERT_TRUE(TmplContentValid(t.data()));
        ASSERT_TRUE(feature_valid(f));
        for (int v = 0; v < 4; ++v) {
            const double s[4] = {match(t, features[v]), match(features[v], t), match(tmpls[v], f), match(f, tmpls[v])};
            for (double x : s) {
                EXPECT_GE(x, 0.0) << n << " against " << v;
                EXPECT_LT(static_cast<int>(x * 100), 70) << n << " against " << v;
            }
        }
    }
}

}  // namespace
