// The JPEG-2000 rate option texts and the compression ratios made from them.
#include <gtest/gtest.h>

#include <string>

#include "img_jp2.h"

namespace {

TEST(Jp2Rate, OptionTextsAndRatios) {
    struct Case {
        int quality;
        const char* text;
        float ratio;  // for a raw size of 10000 bytes
    } cases[] = {
        {0, "", 0},
        {50, "rate=0.500", 2},
        {100, "rate=1.000", 0},
        {1, "rate=0.010", 100},
        {10, "rate=0.100", 10},
        {200, "rate=200B", 50},
        {101, "rate=101B", 10000.0f / 101},
        {20000, "rate=20000B", 0},  // more bytes than raw: lossless
        {-25, "rate=0.00250", 400},
        {-1, "rate=0.00010", 10000},
        {-10000, "rate=1.00000", 0},
        {-20000, "rate=2.00000", 0},
    };
    for (const Case& c : cases) {
        char text[32];
        imgcodec::Jp2RateOption(c.quality, text, sizeof(text));
        EXPECT_EQ(std::string(text), c.text) << c.quality;
        EXPECT_NEAR(imgcodec::Jp2RatioFromOption(text, 10000.0), c.ratio, c.ratio * 1e-4 + 1e-6) << c.quality;
    }
}

}  // namespace
