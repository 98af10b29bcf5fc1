// The device object as the SDK reaches it: the exported fvd_* functions of the shared
// libveinsdk, with the simulated scanner in the executable below it.
#include <gtest/gtest.h>

#include <memory>

#include "cam_test_util.h"
#include "fvdev.h"
#include "udev_fixture.h"

using namespace camtest;

namespace {

constexpr int W = 320, H = 240;

TEST(SharedLibrary, OpenCaptureSerialAndUnplugThroughTheExportedFunctions) {
    QV_REQUIRE_UDEV_BED();
    sim::UdevBed bed;
    sim::Scanner& cam = bed.add_scanner("3a5c", "0610", "video0");
    std::vector<unsigned char> original;
    cam.set_idle_frame(finger_frame(9, 0, &original));
    Bytes flash(0x1000, 0xFF);
    const Bytes rec = {4, 0, 4, 'S', 'N', '0', '1', 0};
    std::copy(rec.begin(), rec.end(), flash.begin() + 2);
    cam.set_flash(flash, 0xF000);

    fvd_setsupdevids("3a5c:0610,3a5c:0611");
    ASSERT_EQ(fvd_opendevice(), 0);
    EXPECT_EQ(cam.reg(0x099E), 1);
    std::vector<char> img(W * H);
    cam.set_register(0x1005, 1);
    EXPECT_EQ(fvd_captureimg(img.data()), 1);
    long diff = 0;
    for (int i = 0; i < W * H; ++i) diff += std::abs(static_cast<unsigned char>(img[i]) - original[i]);
    EXPECT_LT(static_cast<double>(diff) / (W * H), 3.0);
    cam.set_register(0x1005, 0);
    EXPECT_EQ(fvd_ispress(), 0);
    EXPECT_EQ(fvd_captureimg(img.data()), 0);

    char sn[1024] = {};
    EXPECT_EQ(fvd_readdevsn(sn), 4);
    EXPECT_STREQ(sn, "SN01");

    bed.unplug_scanner(cam);
    EXPECT_EQ(fvd_captureimg(img.data()), -15);
    EXPECT_EQ(fvd_closedevice(), 0);
    EXPECT_EQ(cam.open_descriptors(), 0);
    EXPECT_EQ(sim::live_mappings(), 0);

    // Plugged in again at another node: the stale entry fails once, then it is found.
    sim::Scanner& again = bed.add_scanner("3a5c", "0610", "video1");
    again.set_idle_frame(finger_frame(9, 1));
    EXPECT_EQ(fvd_opendevice(), -1);
    ASSERT_EQ(fvd_opendevice(), 0);
    EXPECT_EQ(fvd_captureimg(img.data()), 0);
    EXPECT_EQ(fvd_closedevice(), 0);
    EXPECT_EQ(again.open_descriptors(), 0);
}

}  // namespace
