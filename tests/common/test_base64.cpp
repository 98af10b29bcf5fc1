// The utilities' Base64 coder and its exported tables.
#include <gtest/gtest.h>

#include <cstring>

#include "qv_base64.h"

namespace {

TEST(Base64, Tables) {
    EXPECT_STREQ(sdk_version, "string_version: 1.0.2.0");
    EXPECT_EQ(std::string(B64EnTblX, 65), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=");
    for (int i = 0; i < 64; i++) EXPECT_EQ(B64DeTblX[static_cast<unsigned char>(B64EnTblX[i])], i);
    EXPECT_EQ(B64DeTblX[static_cast<unsigned char>('=')], 0);
    EXPECT_EQ(B64DeTblX[0], 0);
}

TEST(Base64, Lengths) {
    int en[][2] = {{0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {-5, 0}, {1610612733, 2147483644}, {1610612734, 0}};
    for (auto& c : en) EXPECT_EQ(GetEnLen(c[0]), c[1]) << c[0];
    struct Case {
        const char* text;
        int n;
    } de[] = {{"", 0},     {"=", 0},        {"==", 0},       {"QQ==", 1}, {"QUI=", 2},
              {"QUJD", 3}, {"QUJDRA==", 4}, {"QUJDREU=", 5}, {"QUJ", 0},  {"Q=Q=QUJD", 6}};
    for (const Case& c : de) EXPECT_EQ(GetDeLen(c.text), c.n) << c.text;
}

TEST(Base64, EncodesExactlyTheTextLength) {
    unsigned char src[] = {0x41, 0x42, 0x43, 0x44, 0xFF, 0x00};
    struct Case {
        int n;
        const char* want;
    } cases[] = {{1, "QQ=="}, {2, "QUI="}, {3, "QUJD"}, {4, "QUJDRA=="}, {6, "QUJDRP8A"}};
    for (const Case& c : cases) {
        char out[16];
        memset(out, '#', sizeof out);
        int len = static_cast<int>(strlen(c.want));
        EXPECT_EQ(EnBase64(src, c.n, out), len);
        EXPECT_EQ(std::string(out, static_cast<size_t>(len)), c.want);
        EXPECT_EQ(out[len], '#') << "nothing written past the text";
        std::string text = "old";
        EXPECT_EQ(EnBase64Ex(src, c.n, text), len);
        EXPECT_EQ(text, c.want);
    }
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(EnBase64(src, 0, out), 0);
    EXPECT_EQ(out[0], '#');
}

TEST(Base64, DecodesWithinTheDecodedLength) {
    unsigned char out[8];
    memset(out, 0xEE, sizeof out);
    int n = -1;
    char qq[] = "QQ==";
    EXPECT_EQ(DeBase64(qq, out, n), 1);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0xEE) << "at most the decoded length is written";
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(DeBase64Ex("QUJDRP8A", out, n), 6);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 7),
              (std::vector<unsigned char>{0x41, 0x42, 0x43, 0x44, 0xFF, 0x00, 0xEE}));
    // No validation: a character outside the alphabet, or a high byte, decodes as 0.
    char odd[] = "Q*\xC3\xA9";
    EXPECT_EQ(DeBase64(odd, out, n), 3);
    EXPECT_EQ(out[0], 0x40);
    EXPECT_EQ(out[1], 0x00);
    char empty[] = "";
    out[0] = 0x55;
    EXPECT_EQ(DeBase64(empty, out, n), 0);
    EXPECT_EQ(out[0], 0x55);
    EXPECT_EQ(DeBase64(nullptr, out, n), 0);
    // A short last group still decodes, within the length.
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(DeBase64Ex("QUJDRA", out, n), 3);
    EXPECT_EQ(out[3], 0xEE);
}

TEST(Base64, RoundTrip) {
    std::vector<unsigned char> data(1000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i * 37 + 11);
    for (int n : {1, 2, 3, 998, 999, 1000}) {
        std::string text;
        EnBase64Ex(data.data(), n, text);
        std::vector<unsigned char> back(static_cast<size_t>(n));
        int len = 0;
        DeBase64Ex(text, back.data(), len);
        ASSERT_EQ(len, n);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin())) << n;
    }
}

}  // namespace
