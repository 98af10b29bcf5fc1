// Time, text and hex utilities.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "qv_utils.h"

namespace {

TEST(Split, KeepsEveryPiece) {
    struct Case {
        const char* text;
        std::vector<std::string> want;
    } cases[] = {
        {"", {""}},        {"a", {"a"}},      {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}}, {",a", {"", "a"}}, {"3a5c:0610,3a5c:0611", {"3a5c:0610", "3a5c:0611"}},
    };
    for (const Case& c : cases) EXPECT_EQ(str_split(c.text, ","), c.want) << c.text;
    EXPECT_EQ(str_split("l1\nl2\n", "\n"), (std::vector<std::string>{"l1", "l2", ""}));
}

TEST(Format, PrintfRulesAndLongTexts) {
    EXPECT_EQ(str_format("%04x:%04x", 0xabc, 0x12), "0abc:0012");
    EXPECT_EQ(str_format("[%s] %d", "x", -3), "[x] -3");
    std::string big(5000, 'q');
    EXPECT_EQ(str_format("%s!", big.c_str()), big + "!");
    // Beyond the 1 MiB work buffer the text is cut, never overrun.
    std::string huge(1048576 + 100, 'z');
    EXPECT_EQ(str_format("%s", huge.c_str()).size(), 1048575u);
}

TEST(Text, CaseTrimReplaceFind) {
    EXPECT_EQ(str_to_lower("AbC-9"), "abc-9");
    EXPECT_EQ(str_to_upper("AbC-9"), "ABC-9");
    EXPECT_EQ(str_trim("  a b \t "), "a b \t");
    EXPECT_EQ(str_trim("    "), "");
    std::string s = "aaaa";
    EXPECT_EQ(str_replace(s, "aa", "a"), "aa");
    EXPECT_EQ(s, "aa");
    std::string grow = "xax";
    EXPECT_EQ(str_replace(grow, "a", "aa"), "xaax");  // inserted text is not searched again
    std::string same = "abc";
    EXPECT_EQ(str_replace(same, "", "z"), "abc");
    EXPECT_EQ(str_find("xxabcxx", "ABC"), 2);
    EXPECT_EQ(str_find("xx", "y"), -1);
    EXPECT_EQ(str_find("xx", ""), 0);
    EXPECT_EQ(mu_int2str(-42), "-42");
}

TEST(Hex, BytesToTextAndBack) {
    unsigned char b[] = {0x01, 0xAB, 0xFF};
    EXPECT_EQ(BytesToHexStr(b, 3, ':'), "01:AB:FF");
    EXPECT_EQ(BytesToHexStr(b, 3, 0), "01ABFF");
    EXPECT_EQ(BytesToHexStr(nullptr, 3, 0), "");
    EXPECT_EQ(BytesToHexStr(b, 0, 0), "");

    unsigned char out[8];
    memset(out, 0xEE, sizeof out);
    int count = -1;
    EXPECT_EQ(HexStrToByteAry(" 01-ab-FF ", out, &count, '-'), 3);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0xAB);
    EXPECT_EQ(out[2], 0xFF);
    EXPECT_EQ(out[3], 0xEE);
    EXPECT_EQ(HexStrToByteAry("0AB", out, &count, 0), 1);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xAB) << "only count bytes are written";
}

TEST(Hex, BigEndianIntegers) {
    unsigned char two[] = {0xFF, 0xFE};
    int v = -1;
    int_buf_trans(v, two, 2, false);
    EXPECT_EQ(v, 65534);
    unsigned char four[] = {0x80, 0x01, 0x02, 0x03};
    int_buf_trans(v, four, 4, false);
    EXPECT_EQ(static_cast<unsigned>(v), 0x80010203u);
    int_buf_trans(v, four, 3, false);
    EXPECT_EQ(v, 0);
    unsigned char out[4] = {9, 9, 9, 9};
    int w = 0x11223344;
    EXPECT_EQ(int_buf_trans(w, out, 4, true), 0);
    EXPECT_EQ(out[0], 0x11);
    EXPECT_EQ(out[3], 0x44);
    int_buf_trans(w, out, 2, true);
    EXPECT_EQ(out[0], 0x33);
    EXPECT_EQ(out[1], 0x44);
}

TEST(Image, VerticalFlip) {
    unsigned char img[] = {0, 0, 1, 1, 2, 2};  // 2 x 3 grey
    unsigned char out[6] = {};
    imgdata_vertflip(img, 2, 3, 1, out);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 6), (std::vector<unsigned char>{2, 2, 1, 1, 0, 0}));
    imgdata_vertflip(img, 2, 3, 1, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(img, img + 6), (std::vector<unsigned char>{2, 2, 1, 1, 0, 0}));
    unsigned char rgb[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2 x 2 colour
    imgdata_vertflip(rgb, 2, 2, 0, nullptr);
    EXPECT_EQ(rgb[0], 7);
    EXPECT_EQ(rgb[6], 1);
}

TEST(Time, DateTimeDifference) {
    EXPECT_DOUBLE_EQ(dtimediff("h", "2024-01-31 12:00:00", "2024-02-01 12:00:00"), 24);
    EXPECT_DOUBLE_EQ(dtimediff("Hours", "2024-02-01 12:00:00", "2024-01-31 12:00:00"), -24);
    EXPECT_DOUBLE_EQ(dtimediff("d", "2024-01-31 12:00:00", "2024-02-01 12:00:00"), 1);
    EXPECT_DOUBLE_EQ(dtimediff("m", "2024-01-31 12:00:00", "2024-01-31 12:01:30"), 1.5);
    EXPECT_DOUBLE_EQ(dtimediff("S", "2024-01-31 12:00:00", "2024-01-31 12:01:30"), 90);
    EXPECT_DOUBLE_EQ(dtimediff("x", "2024-01-31 12:00:00", "2024-02-01 12:00:00"), 0);
    EXPECT_DOUBLE_EQ(dtimediff("", "2024-01-31 12:00:00", "2024-02-01 12:00:00"), 0);
}

TEST(Time, SystemTimeKinds) {
    struct Case {
        int kind;
        const char* re;
    } cases[] = {
        {0, R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"},
        {1, R"(\d{14})"},
        {2, R"(\d{4}-\d\d-\d\d)"},
        {3, R"(\d\d:\d\d:\d\d)"},
        {4, R"(\d{8})"},
        {5, R"(\d{6})"},
        {6, R"(\d{4})"},
        {7, R"(\d\d)"},
        {8, R"((0[1-9]|1[0-2]))"},
        {9, R"((0[1-9]|[12]\d|3[01]))"},
        {10, R"([1-7])"},
    };
    for (const Case& c : cases) EXPECT_TRUE(std::regex_match(get_system_time(c.kind), std::regex(c.re))) << c.kind;
    EXPECT_EQ(get_system_time(11), "");
    EXPECT_EQ(get_system_time(-1), "");
    EXPECT_EQ(get_system_time(7), get_system_time(6).substr(2, 2));
}

TEST(Time, TimeoutCountsWholeSeconds) {
    int64_t stamp = 0;
    EXPECT_EQ(is_timeout(stamp, 5), 5);
    EXPECT_NE(stamp, 0);
    int64_t now = get_millisecond();
    stamp = now - 2500;
    EXPECT_EQ(is_timeout(stamp, 5), 3);
    stamp = now - 5000;
    EXPECT_LE(is_timeout(stamp, 5), 0);
    int64_t zero = 0;
    is_timeout(zero, 0);
    EXPECT_LE(is_timeout(zero, 0), 0) << "a time-out of 0 has expired at once";
}

TEST(Time, ElapsedAndSleep) {
    int64_t stamp = get_millisecond();
    EXPECT_EQ(qv_sleep(30), 0);
    EXPECT_GE(get_ms_diff(stamp), 30.0);
    EXPECT_GE(get_millisecond(), stamp);
    EXPECT_EQ(qv_sleep(0), 0);
    EXPECT_EQ(qv_sleep(-100), 0);
    char* p = static_cast<char*>(malloc(8));
    free_malloc(&p);
    EXPECT_EQ(p, nullptr);
    free_malloc(&p);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
