// Frozen digests of features, templates and scores of generated fingers. Stored templates and
// features depend on these bytes: a change here is a change of the record format in all but name.
#include <gtest/gtest.h>

#include <vector>

#include "finger_gen.h"
#include "match.h"
#include "veinalg_internal.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Golden {
    int finger;
    uint32_t feature;  // CRC-32 of the feature of capture 3
    uint32_t tmpl1;    // template of capture 0 alone
    uint32_t tmpl3;    // template of captures 0, 1 and 2
    int genuine;       // score of tmpl3 against the feature
    int impostor;      // score of tmpl3 against the next finger's capture 3
};

const Golden kGolden[] = {
    {0, 0x13079c38u, 0x8357fa0bu, 0x1cef5666u, 762, 563}, {1, 0x7e356e66u, 0xdb38c8ccu, 0xeeb5763fu, 720, 557},
    {2, 0x8db2d07au, 0xdbb84ffbu, 0x3f582b15u, 752, 593}, {3, 0xe1ac4bddu, 0x90185cb1u, 0xae655708u, 765, 564},
    {4, 0x77d1ec62u, 0xd29d8e2cu, 0x48733453u, 765, 557}, {5, 0x6edbe6c8u, 0x69842da7u, 0x2f5121d2u, 730, 539},
};

Bytes feature_of(const Bytes& bmp) {
    _image img{const_cast<unsigned char*>(bmp.data()), static_cast<int>(bmp.size())};
    Bytes out(FV_FEATURE_SIZE, 0);
    EXPECT_EQ(veinalg_make_feature(nullptr, &img, 1, out.data(), FV_FEATURE_SIZE, nullptr), FV_FEATURE_SIZE);
    return out;
}

TEST(Golden, MeanEnergyTable) {
    // The table decides every code bit: its bytes are frozen with the digests above, and its fixed
    // entries and range hold whatever body it was measured on.
    const auto* bytes = reinterpret_cast<const unsigned char*>(MeanGaborFeatureTable);
    EXPECT_EQ(GenerateCRC32(bytes, sizeof MeanGaborFeatureTable), 0x546b174du);
    auto at = [](int i, int j, int s, int o) { return MeanGaborFeatureTable[((i * 22 + j) * 7 + s) * 16 + o]; };
    const int column[15] = {5259,  17492, 27361, 28490, 27631, 29741, 31571, 33164,
                            32885, 28882, 26172, 25507, 26259, 20471, 8018};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(at(i, 11, 0, 0), column[i]) << i;
    const int vertical[16] = {67537,  65480,  63881,  65020, 68656, 80776, 106532, 130117,
                              143048, 134950, 105939, 75097, 61556, 54169, 57682,  63011};
    for (int o = 0; o < 16; ++o) EXPECT_EQ(at(7, 11, 6, o), vertical[o]) << o;
    EXPECT_EQ(at(0, 2, 0, 0), 2164);
    EXPECT_EQ(at(11, 19, 5, 8), 169963);
    int lowest = 0, highest = 0;
    for (int k = 0; k < kGaborResponses; ++k) {
        EXPECT_GE(MeanGaborFeatureTable[k], 2164) << k;
        EXPECT_LE(MeanGaborFeatureTable[k], 169963) << k;
        lowest += MeanGaborFeatureTable[k] == 2164;
        highest += MeanGaborFeatureTable[k] == 169963;
    }
    EXPECT_EQ(lowest, 1);
    EXPECT_EQ(highest, 1);
}

TEST(Golden, FeaturesTemplatesAndScores) {
    ASSERT_EQ(veinalg_init_handle(nullptr, 0), 0);
    for (const Golden& g : kGolden) {
        Bytes bmp[4];
        _image images[4];
        for (int c = 0; c < 4; ++c) {
            bmp[c] = fingergen::grey_to_bmp(fingergen::finger_image(g.finger, c).data(), 320, 240);
            images[c] = {bmp[c].data(), static_cast<int>(bmp[c].size())};
        }
        Bytes feature = feature_of(bmp[3]);
        Bytes other = feature_of(fingergen::grey_to_bmp(fingergen::finger_image(g.finger + 1, 3).data(), 320, 240));
        Bytes t1(FV_TMPL_SIZE, 0), t3(FV_TMPL_SIZE, 0);
        ASSERT_EQ(veinalg_make_tmpl(nullptr, images, 1, t1.data(), nullptr), FV_TMPL_SIZE);
        ASSERT_EQ(veinalg_make_tmpl(nullptr, images, 3, t3.data(), nullptr), FV_TMPL_SIZE);
        EXPECT_EQ(GenerateCRC32(feature.data(), FV_FEATURE_SIZE), g.feature) << g.finger;
        EXPECT_EQ(GenerateCRC32(t1.data(), FV_TMPL_SIZE), g.tmpl1) << g.finger;
        EXPECT_EQ(GenerateCRC32(t3.data(), FV_TMPL_SIZE), g.tmpl3) << g.finger;
        int genuine = -1, impostor = -1;
        MatchFeatureX(t3.data(), feature.data(), &genuine);
        MatchFeatureX(t3.data(), other.data(), &impostor);
        EXPECT_EQ(genuine, g.genuine) << g.finger;
        EXPECT_EQ(impostor, g.impostor) << g.finger;
    }
}

}  // namespace
