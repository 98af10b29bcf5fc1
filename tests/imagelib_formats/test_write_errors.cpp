// Writers report a file that cannot be written completely as a failure.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "finger_gen.h"
#include "formats_util.h"
#include "img_codec.h"
#include "img_dispatch.h"

namespace {

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
