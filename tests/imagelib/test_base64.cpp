// The image library's Base64 coder, checked against RFC 4648 vectors and by round trips.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "img_base64.h"

namespace {

const unsigned char* U(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

std::string Encode(const std::string& in, int lineLength = 0, int separator = 0) {
    std::vector<char> out(
        static_cast<size_t>(Base64EncodeEx(nullptr, U(in.data()), static_cast<int>(in.size()), lineLength, separator)) +
            1,
        '#');
    int n = Base64EncodeEx(out.data(), U(in.data()), static_cast<int>(in.size()), lineLength, separator);
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    return std::string(out.data(), static_cast<size_t>(n));
}

}  // namespace

TEST(Base64, Rfc4648Vectors) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"}, {"a", "YQ=="},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Encode(c.in), c.out);
        unsigned char dec[16] = {0};
        int n = Base64Decode(dec, c.out, 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(dec), static_cast<size_t>(n)), c.in);
    }
}

TEST(Base64, LengthModes) {
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Base64Encode(out, U("abc"), 0), 4);  // NUL-terminated input
    EXPECT_STREQ(out, "YWJj");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Base64EncodeEx(out, U("abc"), -3, 0, 0), 4);
    EXPECT_EQ(std::string(out, 4), "YWJj");
    EXPECT_EQ(out[4], '#');  // no NUL for a negative length
    EXPECT_EQ(Base64Encode(nullptr, U("abc"), 3), 5);
    EXPECT_EQ(Base64Encode(out, nullptr, 3), 5);
}

TEST(Base64, RecordSizesOfTheDriver) {
    for (int len : {2972, 25764}) {
        std::vector<unsigned char> rec(static_cast<size_t>(len));
        for (int i = 0; i < len; ++i) rec[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 131 + 7);
        std::vector<char> text(static_cast<size_t>(Base64Encode(nullptr, rec.data(), len)));
        int n = Base64Encode(text.data(), rec.data(), len);
        EXPECT_EQ(n, len == 2972 ? 3964 : 34352);
        EXPECT_EQ(text[static_cast<size_t>(n)], '\0');
        std::vector<unsigned char> back(static_cast<size_t>(Base64Decode(nullptr, text.data(), n)));
        ASSERT_GE(back.size(), rec.size());
        EXPECT_EQ(Base64Decode(back.data(), text.data(), 0), len);
        back.resize(rec.size());
        EXPECT_EQ(back, rec);
    }
}

TEST(Base64, LineBreaksAndSeparators) {
    const std::string six = "abcdef";
    EXPECT_EQ(Base64EncodeEx(nullptr, U(six.data()), 6, 4, 10), 11);
    EXPECT_EQ(Encode(six, 4, 10), "YWJj\nZGVm");
    EXPECT_EQ(Encode(six, 4, 0x0A0D), "YWJj\r\nZGVm");
    EXPECT_EQ(Encode(six, 3, 0x2D2B2A), "YWJ*+-jZG*+-Vm");
    EXPECT_EQ(Encode(six, 8, 10), "YWJjZGVm");  // a whole multiple: no trailing separator
    EXPECT_EQ(Encode("abcdefg", 5, -1), std::string("YWJjZ\xff\xff\xff\xffGVmZw\xff\xff\xff\xff==", 20));
    EXPECT_EQ(Encode(six, 1, 0), std::string("Y\0W\0J\0j\0Z\0G\0V\0m", 15));

    char text[32] = "ABCDEFGHIJ";
    EXPECT_EQ(Base64InsertBreaks(nullptr, 10, 4, 10), 13);
    EXPECT_EQ(Base64InsertBreaks(text, 0, 4, 10), 12);
    EXPECT_EQ(std::string(text, 12), "ABCD\nEFGH\nIJ");
    EXPECT_EQ(Base64InsertBreaks(nullptr, 0, 4, 10), 0);
    EXPECT_EQ(Base64InsertBreaks(text, 5, 0, 10), 5);
    EXPECT_EQ(Base64InsertBreaks(text, 4, 4, 10), 4);
}

TEST(Base64, StrictStopsLenientSkips) {
    struct Case {
        const char* text;
        int strict, lenient;
    } cases[] = {
        {"YWJj\nYWJj", 3, 6}, {"YWJj YWJj", 3, 6}, {"YQ==", 1, 1},  {"YQ", 1, 1},    {"Y", 0, 0},
        {"", 0, 0},           {"YWJj=YWJj", 3, 6}, {"*YWJj", 0, 3}, {"YW Jj", 1, 3},
    };
    for (const Case& c : cases) {
        unsigned char out[16];
        EXPECT_EQ(Base64DecodeEx(out, c.text, 0, 0), c.strict) << c.text;
        EXPECT_EQ(Base64DecodeEx(out, c.text, 0, 1), c.lenient) << c.text;
    }
    unsigned char out[8];
    EXPECT_EQ(Base64Decode(out, "YWJj", -1), -3);
    EXPECT_EQ(Base64DecodeEx(nullptr, nullptr, 8, 0), 6);
    EXPECT_EQ(Base64DecodeEx(nullptr, nullptr, INT_MAX, 0),
              static_cast<int>((static_cast<long long>(INT_MAX) + 3) / 4 * 3));
    // An explicit length stops before the NUL; the NUL ends the text anyway.
    EXPECT_EQ(Base64Decode(out, "YWJjYWJj", 4), 3);
    EXPECT_EQ(Base64Decode(out, "YWJj\0YWJj", 9), 3);
    EXPECT_EQ(Base64DecodeEx(out, "YWJj\0YWJj", 9, 1), 3);
}

TEST(Base64, DecodedSizeNeverExceedsTheQueryBound) {
    // Every text of every length decodes to at most (length + 3) / 4 * 3 bytes.
    const char alphabet[] = "AZaz09+/=\n ";
    unsigned char out[64];
    for (int len = 0; len < 12; ++len)
        for (int seed = 0; seed < 50; ++seed) {
            char text[16];
            for (int i = 0; i < len; ++i) text[i] = alphabet[(seed * 7 + i * 13 + seed * i) % 11];
            text[len] = '\0';
            for (int lenient = 0; lenient < 2; ++lenient) {
                int n = Base64DecodeEx(out, text, len, lenient);
                ASSERT_LE(n, Base64DecodeEx(nullptr, nullptr, len, lenient));
            }
        }
}

TEST(Base64, SizeArithmeticNearIntMaxFailsCleanly) {
    // A count whose text would not fit an int gives 0 rather than a wrapped size.
    EXPECT_EQ(Base64EncodeEx(nullptr, U("x"), INT_MAX, 0, 0), 0);
    EXPECT_EQ(Base64EncodeEx(nullptr, U("x"), INT_MIN + 1, 0, 0), 0);
    EXPECT_EQ(Base64InsertBreaks(nullptr, INT_MAX - 10, 1, 10), 0);
}
