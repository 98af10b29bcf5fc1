// Name/value lists, their text form, the NIST comment and comment segments.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "nist_fet.h"
#include "nist_io.h"
#include "nist_test_util.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;  // "\x01" marks an entry without a value

const std::string kNoValue = "\x01";

Entries entries_of(const FET* f) {
    Entries e;
    for (int i = 0; i < f->used; i++) e.emplace_back(f->names[i], f->values[i] ? f->values[i] : kNoValue);
    return e;
}

std::string render(const FET* f) {
    char* s = nullptr;
    EXPECT_EQ(fet2string(&s, f), 0);
    std::string r = s ? s : "";
    free(s);
    return r;
}

}  // namespace

TEST(NistFet, ParsesTextForms) {
    struct Case {
        const char* text;
        Entries expect;
    } cases[] = {
        {"NIST_COM 2\nPPI 500", {{"NIST_COM", "2"}, {"PPI", "500"}}},
        {"NIST_COM\t2\n\n\nPPI  \t500\n\n", {{"NIST_COM", "2"}, {"PPI", "500"}}},
        {"A 1\nPIX_DEPTH", {{"A", "1"}, {"PIX_DEPTH", kNoValue}}},
        {"A 1\nB x y\r\nA 3", {{"A", "3"}, {"B", "x y\r"}}},
        {"", {}},
    };
    for (const auto& c : cases) {
        FET* f = nullptr;
        ASSERT_EQ(string2fet(&f, c.text), 0) << c.text;
        EXPECT_EQ(entries_of(f), c.expect) << c.text;
        freefet(f);
    }
    FET* f = nullptr;
    ASSERT_EQ(string2fet(&f, "NIST_COM 2\nPPI 500"), 0);
    EXPECT_EQ(render(f), "NIST_COM 2\nPPI 500");
    freefet(f);
    ASSERT_EQ(string2fet(&f, "A 1\nPIX_DEPTH"), 0);
    EXPECT_EQ(render(f), "A 1\nPIX_DEPTH ");
    freefet(f);
}

TEST(NistFet, ParseFailuresLeaveNoList) {
    const std::string long_name(512, 'n');
    const std::string long_value = "N " + std::string(512, 'v');
    const std::string max_value = "N " + std::string(511, 'v');
    struct Case {
        std::string text;
        int rc;
    } cases[] = {{" PPI 500", -2},          {"\tPPI 500", -2}, {long_name, kFetTooLong},
                 {long_value, kFetTooLong}, {max_value, 0},    {std::string(511, 'n'), 0}};
    for (const auto& c : cases) {
        FET* f = reinterpret_cast<FET*>(0x1);
        int rc = string2fet(&f, c.text.c_str());
        EXPECT_EQ(rc, c.rc) << c.text.size();
        if (rc == 0)
            freefet(f);
        else {
            EXPECT_EQ(f, reinterpret_cast<FET*>(0x1));
        }
    }
}

TEST(NistFet, ListOperations) {
    FET* f = nullptr;
    ASSERT_EQ(allocfet_ret(&f, 100), 0);
    char name[16];
    for (int i = 0; i < 100; i++) {
        snprintf(name, sizeof name, "K%d", i);
        ASSERT_EQ(updatefet_ret(name, "v", f), 0);
    }
    EXPECT_EQ(f->capacity, 100);
    ASSERT_EQ(updatefet_ret("EXTRA", nullptr, f), 0);
    EXPECT_EQ(f->capacity, 110);
    EXPECT_EQ(f->values[100], nullptr);
    for (int i = 101; i < 110; i++) EXPECT_EQ(f->names[i], nullptr);
    char* v = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(lookupfet(&v, "ABSENT", f), 0);
    EXPECT_EQ(v, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(extractfet_ret(&v, "ABSENT", f), -2);
    EXPECT_EQ(lookupfet(&v, "EXTRA", f), 1);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(extractfet_ret(&v, "K7", f), 0);
    EXPECT_STREQ(v, "v");
    free(v);
    EXPECT_EQ(deletefet_ret("ABSENT", f), -2);
    freefet(f);

    ASSERT_EQ(string2fet(&f, "A 1\nB 2\nC 3"), 0);
    ASSERT_EQ(deletefet_ret("A", f), 0);
    EXPECT_EQ(f->used, 2);
    EXPECT_EQ(entries_of(f), (Entries{{"B", "2"}, {"C", "3"}}));
    EXPECT_EQ(f->names[2], nullptr);
    freefet(f);
    freefet(nullptr);

    // Growth steps: 6 -> 16, 200 -> 220; an empty list renders as the empty text.
    ASSERT_EQ(allocfet_ret(&f, 6), 0);
    EXPECT_EQ(render(f), "");
    for (int i = 0; i < 7; i++) {
        snprintf(name, sizeof name, "K%d", i);
        ASSERT_EQ(updatefet_ret(name, nullptr, f), 0);
    }
    EXPECT_EQ(f->capacity, 16);
    ASSERT_EQ(reallocfet_ret(&f, 200), 0);
    for (int i = 7; i < 201; i++) {
        snprintf(name, sizeof name, "K%d", i);
        ASSERT_EQ(updatefet_ret(name, "x", f), 0);
    }
    EXPECT_EQ(f->capacity, 220);
    freefet(f);
}

TEST(NistFet, ListOfNoSlotsGrowsUnderItsOwner) {
    // A list made with no slots grows in place: the caller's pointer stays the list.
    FET* f = nullptr;
    ASSERT_EQ(allocfet_ret(&f, 0), 0);
    EXPECT_EQ(f->capacity, 0);
    ASSERT_EQ(updatefet_ret("PPI", "500", f), 0);
    EXPECT_EQ(f->capacity, 10);
    EXPECT_EQ(entries_of(f), (Entries{{"PPI", "500"}}));
    FET* same = f;
    ASSERT_EQ(reallocfet_ret(&f, 20), 0);
    EXPECT_EQ(f, same);
    EXPECT_EQ(f->capacity, 20);
    freefet(f);
    f = nullptr;
    ASSERT_EQ(reallocfet_ret(&f, 5), 0);  // no list at all: a new one
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->capacity, 5);
    EXPECT_EQ(f->used, 0);
    freefet(f);
}

TEST(NistComment, WsqAttributes) {
    FET* f = nullptr;
    ASSERT_EQ(combine_wsq_nistcom(&f, 256, 360, 8, 500, 1, 0.75f), 0);
    const std::string text = render(f);
    EXPECT_EQ(text,
              "NIST_COM 9\nPIX_WIDTH 256\nPIX_HEIGHT 360\nPIX_DEPTH 8\nPPI 500\nLOSSY 1\nCOLORSPACE GRAY\n"
              "COMPRESSION WSQ\nWSQ_BITRATE 0.750000");
    EXPECT_EQ(text.size(), 120u);
    freefet(f);

    // A caller's list keeps its entries in place, takes the new values and counts itself again.
    ASSERT_EQ(string2fet(&f, "NIST_COM 4\nPPI 1000\nMY_A a\nMY_B b"), 0);
    ASSERT_EQ(combine_wsq_nistcom(&f, 320, 240, 8, 500, 1, 2.25f), 0);
    EXPECT_EQ(entries_of(f), (Entries{{"NIST_COM", "11"},
                                      {"PPI", "500"},
                                      {"MY_A", "a"},
                                      {"MY_B", "b"},
                                      {"PIX_WIDTH", "320"},
                                      {"PIX_HEIGHT", "240"},
                                      {"PIX_DEPTH", "8"},
                                      {"LOSSY", "1"},
                                      {"COLORSPACE", "GRAY"},
                                      {"COMPRESSION", "WSQ"},
                                      {"WSQ_BITRATE", "2.250000"}}));
    freefet(f);
}

TEST(NistComment, LossyFlagRules) {
    struct Case {
        const char* initial;  // list text, or null for a new list
        int flag;
        const char* expect;
    } cases[] = {{"NIST_COM 1\nLOSSY 1", 0, "1"}, {"NIST_COM 1\nLOSSY 1", 2, "2"},   {"NIST_COM 1\nLOSSY 0", 0, "0"},
                 {"NIST_COM 1\nLOSSY 0", 1, "1"}, {"NIST_COM 1\nLOSSY", 0, nullptr}, {nullptr, 0, "0"}};
    for (const auto& c : cases) {
        FET* f = nullptr;
        if (c.initial) {
            ASSERT_EQ(string2fet(&f, c.initial), 0);
        }
        ASSERT_EQ(combine_nistcom(&f, 1, 2, 8, 300, c.flag), 0);
        char* v = reinterpret_cast<char*>(0x1);
        ASSERT_EQ(lookupfet(&v, "LOSSY", f), 1);
        if (c.expect) {
            EXPECT_STREQ(v, c.expect);
        } else {
            EXPECT_EQ(v, nullptr);
        }
        free(v);
        char* n = nullptr;
        ASSERT_EQ(extractfet_ret(&n, "NIST_COM", f), 0);
        EXPECT_EQ(atoi(n), f->used);
        free(n);
        freefet(f);
    }
}

TEST(NistComment, BitRateIgnoresTheProcessLocale) {
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"};
    const char* set = nullptr;
    for (const char* n : names)
        if ((set = setlocale(LC_NUMERIC, n))) break;
    if (!set) {
        // Build a locale with a decimal comma of our own when none is installed.
        const std::string dir = testing::TempDir() + "nist_locale";
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
        if (system(("mkdir -p " + dir).c_str()) == 0 && system(cmd.c_str()) == 0) {
            setenv("LOCPATH", dir.c_str(), 1);
            set = setlocale(LC_NUMERIC, "de_DE.UTF-8");
        }
    }
    if (!set) GTEST_SKIP() << "no locale with a decimal comma";
    char probe[16];
    snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5");
    FET* f = nullptr;
    ASSERT_EQ(combine_wsq_nistcom(&f, 1, 1, 8, 500, 1, 0.75f), 0);
    setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    char* v = nullptr;
    ASSERT_EQ(extractfet_ret(&v, "WSQ_BITRATE", f), 0);
    EXPECT_STREQ(v, "0.750000");
    free(v);
    freefet(f);
}

TEST(NistComment, Segments) {
    unsigned char buf[16];
    int used = 0;
    ASSERT_EQ(putc_comment(0xFFA8, reinterpret_cast<const unsigned char*>("abc"), 3, buf, 16, &used), 0);
    EXPECT_EQ(Bytes(buf, buf + used), (Bytes{0xFF, 0xA8, 0x00, 0x05, 'a', 'b', 'c'}));
    std::vector<unsigned char> big(70000, 'x');
    used = 0;
    EXPECT_EQ(putc_comment(0xFFA8, big.data(), 65534, big.data(), 70000, &used), kCommentTooLong);
    EXPECT_EQ(used, 0);

    struct Case {
        Bytes seg;
        int mem_rc, file_rc;
        const char* text;
    } cases[] = {
        {{0x00, 0x05, 'a', 'b', 'c'}, 0, 0, "abc"},
        {{0x00, 0x02}, 0, 0, ""},
        {{0x00, 0x0A, '1', '2', '3', '4', '5'}, NIST_ERR_GETC_BYTES, -3, nullptr},
        {{0x00, 0x01}, kCommentBadLength, kCommentBadLength, nullptr},
        {{0x00}, NIST_ERR_GETC_BYTES, NIST_ERR_READ_USHORT, nullptr},
    };
    for (const auto& c : cases) {
        unsigned char* text = nullptr;
        const unsigned char* cur = c.seg.data();
        EXPECT_EQ(getc_comment(&text, &cur, c.seg.data() + c.seg.size()), c.mem_rc);
        if (c.text) {
            EXPECT_STREQ(reinterpret_cast<char*>(text), c.text);
        } else {
            EXPECT_EQ(text, nullptr);
        }
        free(text);
        text = nullptr;
        FILE* fp = stream_of(c.seg);
        EXPECT_EQ(read_comment(&text, fp), c.file_rc);
        if (c.text) {
            EXPECT_STREQ(reinterpret_cast<char*>(text), c.text);
        }
        free(text);
        fclose(fp);
    }
}
