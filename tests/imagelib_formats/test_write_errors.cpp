// Writers report a failure, a refused argument or a file that cannot be written completely, and
// leave nothing behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "finger_gen.h"
#include "formats_util.h"
#include "img_codec.h"
#include "img_dispatch.h"

namespace {

// The writers with one signature: path, pixels, geometry, layout, output choice, memory out.
using WriteFn = int (*)(const char*, const unsigned char*, int, int, int, int, unsigned char**, int*);
struct Writer {
    const char* ext;
    WriteFn write;
    int bad_layout;      // the first layout it does not write
    bool checks_output;  // refuses an unknown output choice
};
const Writer kWriters[] = {
    {"bmp",
     [](const char* f, const unsigned char* p, int w, int h, int l, int o, unsigned char** b, int* n) {
         return WriteBmp(f, p, w, h, l, 0, o, b, n);
     },
     6, true},
    {"jpg",
     [](const char* f, const unsigned char* p, int w, int h, int l, int o, unsigned char** b, int* n) {
         return WriteJpeg(f, p, w, h, l, 72, o, 80, b, n);
     },
     5, false},
    {"png",
     [](const char* f, const unsigned char* p, int w, int h, int l, int o, unsigned char** b, int* n) {
         return WritePng(f, p, w, h, l, 72, o, b, n);
     },
     7, true},
    {"tif",
     [](const char* f, const unsigned char* p, int w, int h, int l, int o, unsigned char** b, int* n) {
         return WriteTiff(f, p, w, h, l, 72, o, 1, b, n);
     },
     4, false},
};

TEST(WriteErrors, FailuresFreeTheBuffer) {
    const std::vector<unsigned char> px = fmt_test::Pattern(4, 4, 3);
    for (const Writer& wr : kWriters) {
        struct Case {
            const unsigned char* p;
            int w, h, layout, output;
        } cases[] = {{nullptr, 4, 4, 0, -1},
                     {px.data(), 0, 4, 0, -1},
                     {px.data(), 4, 32768, 0, -1},
                     {px.data(), 4, 4, -1, -1},
                     {px.data(), 4, 4, wr.bad_layout, -1},
                     {px.data(), 4, 4, 0, 3}};
        for (const Case& c : cases) {
            if (c.output == 3 && !wr.checks_output) continue;
            // A buffer already there: a failure frees it and hands out none.
            unsigned char* buf = static_cast<unsigned char*>(std::malloc(8));
            int len = 8;
            EXPECT_EQ(wr.write(nullptr, c.p, c.w, c.h, c.layout, c.output, &buf, &len), 0)
                << wr.ext << " " << c.w << "x" << c.h << " layout " << c.layout << " output " << c.output;
            EXPECT_EQ(buf, nullptr) << wr.ext;
            EXPECT_EQ(len, 0) << wr.ext;
        }
        EXPECT_EQ(wr.write(nullptr, px.data(), 4, 4, 0, -1, nullptr, nullptr), 0) << wr.ext << ": nowhere to write";
        const std::string missing = std::string("/nonexistent/dir/x.") + wr.ext;
        EXPECT_EQ(wr.write(missing.c_str(), px.data(), 4, 4, 0, -1, nullptr, nullptr), 0) << missing;
    }
}

TEST(WriteErrors, FullDeviceIsAFailureForEveryWriter) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    std::vector<unsigned char> finger(fingergen::kPixels);
    fingergen::finger_image(10, 0, finger.data());
    const unsigned char* px = finger.data();
    const char* full = "/dev/full";
    EXPECT_EQ(WriteJpeg(full, px, 320, 240, 1, 96, -1, 90, nullptr, nullptr), 0);
    EXPECT_EQ(WritePng(full, px, 320, 240, 1, 96, -1, nullptr, nullptr), 0);
    for (int quality : {1, 0, -80}) EXPECT_EQ(WriteTiff(full, px, 320, 240, 1, 96, -1, quality, nullptr, nullptr), 0);
    for (int code : {6, 7}) EXPECT_EQ(WriteJp2(full, px, 320, 240, 1, 96, -1, 0, nullptr, nullptr, code), 0);
    // the same calls on a real file succeed
    const std::string ok = fmt_test::TempPath("write_ok.bin");
    EXPECT_EQ(WriteJpeg(ok.c_str(), px, 320, 240, 1, 96, -1, 90, nullptr, nullptr), 1);
    EXPECT_EQ(WritePng(ok.c_str(), px, 320, 240, 1, 96, -1, nullptr, nullptr), 1);
    EXPECT_EQ(WriteTiff(ok.c_str(), px, 320, 240, 1, 96, -1, 1, nullptr, nullptr), 1);
    EXPECT_EQ(WriteJp2(ok.c_str(), px, 320, 240, 1, 96, -1, 0, nullptr, nullptr, 6), 1);
}

}  // namespace
