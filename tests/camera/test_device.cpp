// Device functions and the device object: udev enumeration (umockdev), opening, capture,
// registers, flash records, unplugging and replugging, against the simulated scanner.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/uvcvideo.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "cam_test_util.h"
#include "fvdev.h"
#include "qv_utils.h"
#include "qv_uvc_dev.h"
#include "supported_ids.h"
#include "udev_fixture.h"

using namespace camtest;

namespace {

using Names = std::vector<std::string>;
constexpr int W = 320, H = 240;

std::vector<std::string> paths(const std::vector<dev_id_t>& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d.path);
    return out;
}

// Start addresses of the flash start commands among the recorded queries.
std::vector<int> flash_starts(const sim::Scanner& s) {
    std::vector<int> out;
    for (const auto& q : s.xu_queries())
        if (q.selector == 3 && q.query == 0x01 && q.sent.size() == 11 && q.sent[2] == 0x88)
            out.push_back(q.sent[0] | (q.sent[1] << 8));
    return out;
}

class Device : public ::testing::Test {
protected:
    void SetUp() override {
        QV_REQUIRE_UDEV_BED();
        bed.reset(new sim::UdevBed);
        fvd.closedevice();
        fvd.init_para();
    }
    void TearDown() override {
        fvd.closedevice();
        fvd.init_para();
        for (auto& s : scanners) EXPECT_EQ(s->open_descriptors(), 0) << s->path() << " descriptor leaked";
        EXPECT_EQ(sim::live_mappings(), 0);
        scanners.clear();
        bed.reset();
    }
    // A scanner known to udev at /dev/<node>, answering with generated finger frames.
    sim::Scanner& scanner(const char* vid, const char* pid, const char* node, const char* product = "Quvera QVR610") {
        syspaths.push_back(bed->add_camera(vid, pid, product, node));
        scanners.emplace_back(new sim::Scanner(std::string("/dev/") + node));
        scanners.back()->set_idle_frame(finger_frame());
        return *scanners.back();
    }
    std::unique_ptr<sim::UdevBed> bed;
    std::vector<std::unique_ptr<sim::Scanner>> scanners;
    std::vector<std::string> syspaths;
};

// ---- the udev fixture ----

// umockdev sets UMOCKDEV_DIR after starting the testbed's worker thread, which reads the
// environment: a variable added then could move the array under that read (a test child crashed
// in getenv on that thread once). The second bed comes after the first one removed the variable.
TEST(UdevBed, AddsNoVariableWhileItsWorkerThreadRuns) {
    QV_REQUIRE_UDEV_BED();
    for (int i = 0; i < 2; i++) sim::UdevBed bed;
    EXPECT_EQ(sim::UdevBed::variables_added_while_made(), 0);
}

// ---- enumeration ----

TEST_F(Device, EnumerationListsAnsweringUsbNodesWithTheirAttributes) {
    sim::Scanner& a = scanner("abcd", "1234", "video0", "Quvera QVR610");
    sim::Scanner& upper = scanner("ABCD", "12EF", "video1", nullptr);  // upper case, no product
    sim::Scanner& foreign = scanner("046d", "0825", "video2", "Webcam");
    foreign.set_extension_unit(false);
    scanner("zz12", "1234", "video3");   // not hexadecimal
    scanner(nullptr, "1234", "video4");  // no idVendor
    bed->add_orphan_node("video5");      // no USB device above it
    scanners.emplace_back(new sim::Scanner("/dev/video5"));
    sim::Scanner& orphan = *scanners.back();

    std::vector<dev_id_t> list(3);
    ASSERT_EQ(QvEnumDevice(list), 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(paths(list), (std::vector<std::string>{"/dev/video0", "/dev/video1"}));
    EXPECT_EQ(list[0].vid, 0xabcd);
    EXPECT_EQ(list[0].pid, 0x1234);
    EXPECT_STREQ(list[0].name, "Quvera QVR610");
    EXPECT_EQ(list[1].vid, 0xabcd);
    EXPECT_EQ(list[1].pid, 0x12ef);
    EXPECT_STREQ(list[1].name, "");
    EXPECT_EQ(a.opens(), 1);
    EXPECT_EQ(upper.opens(), 1);
    // The foreign camera is probed (no supported list) and refuses; nodes without ids are not.
    EXPECT_EQ(foreign.opens(), 1);
    EXPECT_EQ(orphan.opens(), 0);
    EXPECT_TRUE(orphan.xu_queries().empty());
    for (int i = 3; i < 5; ++i) EXPECT_EQ(scanners[i]->opens(), 0) << i;
}

TEST_F(Device, SupportedListFiltersByLowerCaseKeyAndSparesOtherCameras) {
    scanner("ABCD", "1234", "video0");
    sim::Scanner& other = scanner("abcd", "9999", "video1");
    sim::Scanner& foreign = scanner("046d", "0825", "video2");
    foreign.set_extension_unit(false);

    struct {
        const char* ids;
        int count;
    } cases[] = {{"abcd:1234", 1}, {"ABCD:1234", 0}, {"1111:2222,abcd:1234,abcd:9999", 2}, {"abcd:12345", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ids);
        fvd_setsupdevids(c.ids);
        EXPECT_EQ(fvd_enumdevice(), c.count);
        EXPECT_EQ(fvd.m_devCount, c.count);
        EXPECT_EQ(static_cast<int>(fvd.m_devices.size()), c.count);
    }
    // Neither the unlisted scanner nor the foreign camera ever got our command when unlisted.
    EXPECT_EQ(foreign.opens(), 0);
    EXPECT_EQ(other.opens(), 1);  // only in the case that lists it

    fvd_setsupdevids("ABCD:1234");
    EXPECT_EQ(fvd_enumdevice(), 0);
    EXPECT_EQ(fvd_opendevice(), -15);
}

// One parse of the list serves the device records (record, vid, pid), lsusb (pair) and the
// enumeration (text); the line about upper case names the records that can never match.
TEST(SupportedIds, EntriesOfTheList) {
    struct {
        const char* text;
        Names want;  // "text|vendor|product|vid:pid" for a record, "text|vendor|product|-" otherwise; P pair, U upper
    } cases[] = {
        {"", {}},
        {" \t", {}},
        {",", {"|||-", "|||-"}},
        {"abcd:1234", {"abcd:1234|abcd|1234|abcd:1234 P"}},
        {" abcd:1234 ,\tABCD:00ff\n,", {"abcd:1234|abcd|1234|abcd:1234 P", "ABCD:00ff|ABCD|00ff|abcd:00ff U", "|||-"}},
        {"abcd", {"abcd|abcd|abcd|abcd:abcd"}},
        {"abc:1,Abc:1", {"abc:1|abc|1|0abc:0001", "Abc:1|Abc|1|0abc:0001 U"}},
        {"abcd:12345", {"abcd:12345|abcd|12345|-"}},
        {"abcd:12zz", {"abcd:12zz|abcd|12zz|-"}},
        {"a:b:c", {"a:b:c|a|b:c|-"}},
        {"0x12:1", {"0x12:1|0x12|1|-"}},
        {"3a5c:0610;touch /tmp/x", {"3a5c:0610;touch /tmp/x|3a5c|0610;touch /tmp/x|-"}},
        {"ab cd:1234", {"ab cd:1234|ab cd|1234|-"}},
    };
    for (const auto& c : cases) {
        Names got;
        for (const SupportedId& id : parse_supported_ids(c.text)) {
            std::string s = id.text + "|" + id.vendor + "|" + id.product + "|";
            s += id.record ? str_format("%04x:%04x", id.vid, id.pid) : "-";
            if (id.pair) s += " P";
            if (id.upper) s += " U";
            got.push_back(s);
        }
        EXPECT_EQ(got, c.want) << c.text;
    }
    EXPECT_EQ(join_supported_ids(parse_supported_ids(" abcd:1234 ,\tABCD:00ff\n, ")), "abcd:1234,ABCD:00ff,");
}

// A device is listed when its lower-case key occurs in the list's text, exactly as a search in
// the whole text would find it.
TEST(SupportedIds, DeviceKeyOccursInAnEntry) {
    struct {
        const char* text;
        int vid, pid;
        bool listed;
    } cases[] = {
        {"abcd:1234", 0xabcd, 0x1234, true},   {"ABCD:1234", 0xabcd, 0x1234, false},
        {"abcd:1235", 0xabcd, 0x1234, false},  {"1111:2222, abcd:1234 ", 0xabcd, 0x1234, true},
        {"abcd:12345", 0xabcd, 0x1234, true},  {"xabcd:1234", 0xabcd, 0x1234, true},
        {"abcd:123", 0xabcd, 0x0123, false},   {"0abc:0001", 0xabc, 1, true},
        {"abcd,:1234", 0xabcd, 0x1234, false}, {"", 0xabcd, 0x1234, false},
    };
    for (const auto& c : cases) {
        std::string whole = str_format("%04x:%04x", c.vid, c.pid);
        EXPECT_EQ(lists_device(parse_supported_ids(c.text), c.vid, c.pid), c.listed) << c.text;
        EXPECT_EQ(std::string(c.text).find(whole) != std::string::npos, c.listed) << c.text << " (whole text)";
    }
}

TEST_F(Device, FindDestDevCountsMatchingEntriesOnly) {
    std::vector<dev_id_t> list(4);
    const int ids[4][2] = {{1, 2}, {1, 3}, {1, 2}, {1, 2}};
    for (int i = 0; i < 4; ++i) {
        list[i].vid = ids[i][0];
        list[i].pid = ids[i][1];
        snprintf(list[i].path, sizeof list[i].path, "/dev/video%d", i);
    }
    struct {
        int vid, pid, nth, result;
        const char* path;
    } cases[] = {{1, 2, 0, 0, "/dev/video0"}, {1, 2, 1, 0, "/dev/video2"}, {1, 2, 2, 0, "/dev/video3"},
                 {1, 2, 3, -1, ""},           {1, 3, 0, 0, "/dev/video1"}, {2, 2, 0, -1, ""},
                 {1, 2, -1, -1, ""}};
    for (const auto& c : cases) {
        dev_id_t out{};
        EXPECT_EQ(FindDestDev(list, c.vid, c.pid, c.nth, out), c.result);
        EXPECT_STREQ(out.path, c.path);
    }
}

// ---- the device object ----

TEST_F(Device, OpenStartsTheCameraAndWritesTheRegisterOnce) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    fvd_setsupdevids("abcd:1234");
    s.clear_records();
    ASSERT_EQ(fvd_opendevice(), 0);
    Names want = {"UVCIOC_CTRL_QUERY",  // the probe
                  "VIDIOC_QUERYCAP",   "VIDIOC_S_FMT",      "VIDIOC_G_FMT",      "VIDIOC_S_PARM",  "VIDIOC_G_PARM",
                  "VIDIOC_G_JPEGCOMP", "VIDIOC_S_JPEGCOMP", "VIDIOC_G_JPEGCOMP", "VIDIOC_REQBUFS", "VIDIOC_QUERYBUF",
                  "VIDIOC_QBUF",       "VIDIOC_STREAMON",   "UVCIOC_CTRL_QUERY"};  // register 0x099E
    EXPECT_EQ(s.call_names(), want);
    EXPECT_EQ(s.reg(0x099E), 1);
    auto q = s.xu_queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1].sent, (Bytes{0x9E, 0x09, 0x01, 0x00}));
    EXPECT_EQ(s.opens(), 2);  // probe, then the camera
    EXPECT_TRUE(s.streaming());

    int vid = 0, pid = 0;
    EXPECT_EQ(QvGetCurVidPid(fvd.m_camera, &vid, &pid), 0);
    EXPECT_EQ(vid, 0xabcd);
    EXPECT_EQ(pid, 0x1234);

    s.clear_records();
    EXPECT_EQ(fvd_opendevice(), 0);
    EXPECT_TRUE(s.call_names().empty());

    EXPECT_EQ(fvd_closedevice(), 0);
    EXPECT_EQ(s.call_names(), (Names{"VIDIOC_STREAMOFF"}));
    EXPECT_EQ(s.open_descriptors(), 0);
    EXPECT_EQ(fvd_closedevice(), 0);

    // The list stays: the next open does not enumerate (no probe).
    s.clear_records();
    ASSERT_EQ(fvd_opendevice(), 0);
    EXPECT_EQ(s.call_names().front(), "VIDIOC_QUERYCAP");
}

TEST_F(Device, IndexOutsideTheListGivesMinusThree) {
    scanner("abcd", "1234", "video0");
    scanner("abcd", "1234", "video1");
    fvd_setsupdevids("abcd:1234");
    for (int idx : {5, 2, -1}) {
        fvd_setdevidx(idx);
        EXPECT_EQ(fvd_opendevice(), -3) << idx;
    }
    fvd_setdevidx(1);
    ASSERT_EQ(fvd_opendevice(), 0);
    EXPECT_TRUE(scanners[1]->streaming());
    EXPECT_FALSE(scanners[0]->streaming());
}

TEST_F(Device, OpenFailuresAreMinusOneAndLeaveNothingOpen) {
    struct {
        unsigned long req;
        int err;
        uint32_t caps;
        const char* printed;
    } cases[] = {
        {VIDIOC_QUERYCAP, ENOTTY, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING,
         "QvOpenDevice -> camera open err -101\n"},
        {0, 0, V4L2_CAP_VIDEO_CAPTURE, "QvOpenDevice -> camera open err -3\n"},
        {VIDIOC_S_FMT, ENODEV, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, "QvOpenDevice -> camera init err -15\n"},
        {VIDIOC_QBUF, ENOTTY, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, "QvOpenDevice -> camera init err -1\n"},
        {VIDIOC_STREAMON, ENOTTY, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING,
         "QvOpenDevice -> camera StartStreaming err -1\n"},
    };
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    fvd_setsupdevids("abcd:1234");
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::request_name(c.req));
        s.set_caps(c.caps);
        if (c.req) s.fail(c.req, c.err);
        testing::internal::CaptureStdout();
        EXPECT_EQ(fvd_opendevice(), -1);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.printed), std::string::npos) << out;
        EXPECT_EQ(fvd.m_camera, nullptr);
        EXPECT_EQ(s.open_descriptors(), 0);
        EXPECT_EQ(sim::live_mappings(), 0);
        if (c.req) s.fail(c.req, 0, 0);
    }
    s.set_caps(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING);
    EXPECT_EQ(fvd_opendevice(), 0);
}

TEST_F(Device, CaptureReportsTheFingerBitAndFillsTheImage) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    fvd_setsupdevids("abcd:1234");
    std::vector<char> buf(W * H + 8, 0x55);
    EXPECT_EQ(fvd_captureimg(buf.data()), -1);  // no camera
    EXPECT_EQ(fvd_ispress(), -1);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0x55), W * H + 8);

    std::vector<unsigned char> original;
    s.set_idle_frame(finger_frame(4, 2, &original));
    ASSERT_EQ(fvd_opendevice(), 0);
    struct {
        uint8_t reg;
        int fail;
        int result;
    } cases[] = {{0x01, 0, 1}, {0x00, 0, 0}, {0xFF, 0, 1}, {0xFE, 0, 0}, {0x01, ENOTTY, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "register " << int(c.reg) << " fail " << c.fail);
        s.set_register(0x1005, c.reg);
        if (c.fail) s.fail(UVCIOC_CTRL_QUERY, c.fail);
        std::fill(buf.begin(), buf.end(), 0x55);
        s.clear_records();
        EXPECT_EQ(fvd_captureimg(buf.data()), c.result);
        EXPECT_EQ(fvd.m_lastPress, c.result);
        // The bit is read before the frame is taken.
        auto names = s.call_names();
        ASSERT_GE(names.size(), 3u);
        EXPECT_EQ(names[0], "UVCIOC_CTRL_QUERY");
        EXPECT_EQ(names[names.size() - 2], "VIDIOC_DQBUF");
        long diff = 0;
        for (int i = 0; i < W * H; ++i) diff += std::abs(static_cast<unsigned char>(buf[i]) - original[i]);
        EXPECT_LT(static_cast<double>(diff) / (W * H), 3.0);
        EXPECT_EQ(std::count(buf.begin() + W * H, buf.end(), 0x55), 8);
        s.fail(UVCIOC_CTRL_QUERY, 0, 0);
    }
}

TEST_F(Device, UnplugMidCaptureAndReplugUnderAnotherNode) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    fvd_setsupdevids("abcd:1234");
    ASSERT_EQ(fvd_opendevice(), 0);
    s.clear_frames();  // waiting for a frame when the scanner goes
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.unplug();
    });
    std::vector<char> buf(W * H);
    EXPECT_EQ(fvd_captureimg(buf.data()), -15);
    t.join();
    EXPECT_EQ(fvd_closedevice(), 0);
    EXPECT_EQ(s.open_descriptors(), 0);

    // Plugged in again, udev names it video1. The stale entry fails once and is dropped.
    bed->remove(syspaths[0]);
    sim::Scanner& again = scanner("abcd", "1234", "video1");
    EXPECT_EQ(fvd_opendevice(), -1);
    EXPECT_EQ(fvd.m_devCount, 0);
    ASSERT_EQ(fvd_opendevice(), 0);
    EXPECT_TRUE(again.streaming());
    EXPECT_EQ(fvd_captureimg(buf.data()), 0);
}

TEST_F(Device, NoScannerFirstThenPluggedIn) {
    fvd_setsupdevids("abcd:1234");
    EXPECT_EQ(fvd_opendevice(), -15);
    EXPECT_EQ(fvd.m_devCount, 0);
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    EXPECT_EQ(fvd_opendevice(), 0);
    EXPECT_TRUE(s.streaming());
}

TEST_F(Device, WithoutASupportedListEveryAnsweringNodeCounts) {
    scanner("abcd", "1234", "video0");
    scanner("1111", "2222", "video1");
    EXPECT_EQ(fvd_enumdevice(), 2);
    EXPECT_EQ(fvd_opendevice(), 0);
}

// ---- serial number records ----

Bytes chain(std::initializer_list<std::pair<int, Bytes>> records, int base_offset = 2) {
    Bytes flash(0x1100, 0xFF);
    size_t at = base_offset;
    for (const auto& r : records) {
        flash[at] = static_cast<uint8_t>(r.first);
        flash[at + 1] = static_cast<uint8_t>(r.second.size() >> 8);
        flash[at + 2] = static_cast<uint8_t>(r.second.size());
        std::copy(r.second.begin(), r.second.end(), flash.begin() + at + 3);
        at += 3 + r.second.size();
    }
    flash[at] = 0;
    return flash;
}

TEST_F(Device, SerialNumberWalksTheRecordChain) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    fvd_setsupdevids("abcd:1234");
    const Bytes sn = {'Q', 'V', '6', '1', '0', '-', '0', '7'};
    s.set_flash(chain({{1, Bytes(5, 0xAA)}, {4, sn}}), 0xF000);
    s.clear_records();
    char out[1024] = {};
    EXPECT_EQ(fvd_readdevsn(out), 8);
    EXPECT_EQ(Bytes(out, out + 8), sn);
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(flash_starts(s), (std::vector<int>{0x0000 /* probe */, 0xF002, 0xF00A, 0xF00D}));
    // It opened the camera for the read and closed it again.
    EXPECT_EQ(fvd.m_camera, nullptr);
    EXPECT_EQ(s.open_descriptors(), 0);

    // With the camera open it stays open.
    ASSERT_EQ(fvd_opendevice(), 0);
    EXPECT_EQ(fvd_readdevsn(out), 8);
    EXPECT_NE(fvd.m_camera, nullptr);
}

TEST_F(Device, SerialNumberFailures) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    fvd_setsupdevids("abcd:1234");
    ASSERT_EQ(fvd_opendevice(), 0);
    char out[1100];
    struct {
        const char* name;
        Bytes flash;
        int fail_after;  // queries of this read that pass before the data query fails (-1: none)
        int result;
        std::vector<int> starts;  // flash start commands sent
    } cases[] = {
        {"end of chain", chain({{1, Bytes(4, 1)}, {2, Bytes(2, 2)}}), -1, -1, {0xF002, 0xF009, 0xF00E}},
        {"next record above 0xFFF", chain({{1, Bytes(0xFFB, 1)}}), -1, -1, {0xF002}},
        {"last record at 0xFFF", chain({{1, Bytes(0xFFA, 1)}}), -1, -1, {0xF002, 0xFFFF}},
        {"too long for the buffer", chain({{4, Bytes(1025, 7)}}), -1, -1, {0xF002}},
        {"data read fails", chain({{4, Bytes(8, 7)}}), 2, -1, {0xF002, 0xF005}},
        {"head read fails", chain({{4, Bytes(8, 7)}}), 0, -1, {0xF002}},
        {"exactly 1024", chain({{4, Bytes(1024, 9)}}), -1, 1024, {0xF002, 0xF005, 0xF205}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        s.set_flash(c.flash, 0xF000);
        if (c.fail_after >= 0) s.fail(UVCIOC_CTRL_QUERY, ENOTTY, -1, c.fail_after);
        memset(out, 0x33, sizeof out);
        s.clear_records();
        EXPECT_EQ(fvd_readdevsn(out), c.result);
        EXPECT_EQ(flash_starts(s), c.starts);
        if (c.result < 0) {
            EXPECT_EQ(std::count(out, out + sizeof out, 0x33), static_cast<long>(sizeof out));
        } else {
            EXPECT_EQ(std::count(out, out + c.result, 9), c.result);
            EXPECT_EQ(out[c.result], 0x33);
        }
        s.fail(UVCIOC_CTRL_QUERY, 0, 0);
    }
}

// ---- device functions by id ----

TEST_F(Device, FlashReadsOfMoreThan511BytesGoInChunks) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    Bytes image(0x1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    s.set_flash(image, 0xF000);
    QvHandle h = nullptr;
    ASSERT_EQ(QvOpenFlash(0xabcd, 0x1234, 0, &h), 0);
    s.clear_records();
    Bytes buf(1100, 0);
    int64_t t0 = now_ms();
    ASSERT_EQ(QvReadFlash(h, 0x10, 1100, buf.data()), 0);
    EXPECT_GE(now_ms() - t0, 200);
    EXPECT_EQ(flash_starts(s), (std::vector<int>{0xF010, 0xF210, 0xF410}));
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), Bytes(image.begin() + 0x10, image.begin() + 0x10 + 1100));
    // 64 + 64 + 9 + 1 data queries (76 = 9 * 8 + 4).
    EXPECT_EQ(s.xu_queries().size(), 3u + 64 + 64 + 10);

    EXPECT_EQ(QvReadFlash(h, 0, 0, buf.data()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QvReadFlash(nullptr, 0, 4, buf.data()), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "QvReadFlash param error.\n");

    // A failing chunk is printed with its result and ends the read: start and first block
    // of the second chunk pass, its next block fails.
    s.fail(UVCIOC_CTRL_QUERY, ENOTTY, -1, 1 + 64 + 2);
    s.clear_records();
    testing::internal::CaptureStdout();
    EXPECT_EQ(QvReadFlash(h, 0x10, 1100, buf.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "read_data_8byte error. nret = -1.\nsonix_read_flash error. nret = -1.\n");
    EXPECT_EQ(flash_starts(s), (std::vector<int>{0xF010, 0xF210}));
    s.fail(UVCIOC_CTRL_QUERY, 0, 0);
    EXPECT_EQ(QvCloseFlash(h), 0);
    EXPECT_EQ(QvCloseFlash(nullptr), -2);
}

TEST_F(Device, OpenByIdWithCallbackAndHandleFunctions) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    sim::Scanner& second = scanner("abcd", "1234", "video1");
    struct Seen {
        int calls = 0;
        QvHandle handle = nullptr;
    } seen;
    auto cb = [](QvHandle h, void* ctx) {
        auto* p = static_cast<Seen*>(ctx);
        p->calls++;
        p->handle = h;
        return 0;
    };
    QvHandle h = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(QvOpenDeviceEx(0xabcd, 0x1234, W, H, 2, true, cb, &seen, &h), -1);
    EXPECT_EQ(QvOpenDeviceEx(0x1111, 0x1234, W, H, 0, true, cb, &seen, &h), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("QvOpenDevice -> FindDestDev failed.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("QvOpenDevice -> QvEnumDevice. count = 0.\n"), std::string::npos) << out;
    EXPECT_EQ(seen.calls, 0);
    EXPECT_EQ(h, nullptr);

    ASSERT_EQ(QvOpenDeviceEx(0xabcd, 0x1234, W, H, 1, true, cb, &seen, &h), 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.handle, h);
    EXPECT_TRUE(second.streaming());
    EXPECT_FALSE(s.streaming());
    // Already set: nothing happens, no callback.
    EXPECT_EQ(QvOpenDeviceEx(0xabcd, 0x1234, W, H, 0, true, cb, &seen, &h), 0);
    EXPECT_EQ(seen.calls, 1);

    second.set_register(0x1005, 0x81);
    unsigned int v = 0;
    EXPECT_EQ(QvGetRegister(h, 0x1005, &v), 0);
    EXPECT_EQ(v, 0x81u);
    EXPECT_EQ(QvSetRegister(h, 0x0123, 0x45), 0);
    EXPECT_EQ(second.reg(0x0123), 0x45);
    EXPECT_EQ(QvGetRegister(nullptr, 0x1005, &v), -2);
    EXPECT_EQ(QvGetRegister(h, 0x1005, nullptr), -2);
    EXPECT_EQ(QvSetRegister(nullptr, 0x1005, 1), -2);
    Bytes grey(W * H);
    EXPECT_EQ(QvCaptureImage(h, grey.data()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QvCaptureImage(h, nullptr), -2);
    EXPECT_EQ(QvCaptureImage(nullptr, grey.data()), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "QvCaptureImage param invalid\nQvCaptureImage param invalid\n");
    int vid = 0, pid = 0;
    EXPECT_EQ(QvGetCurVidPid(h, &vid, &pid), 0);
    EXPECT_EQ(vid, 0xabcd);
    EXPECT_EQ(pid, 0x1234);
    EXPECT_EQ(QvGetCurVidPid(nullptr, &vid, &pid), -1);
    EXPECT_EQ(QvCloseDevice(h), 0);
    EXPECT_EQ(QvCloseDevice(nullptr), -2);
}

TEST_F(Device, FlashHandleAndValidityCheck) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    QvHandle h = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(QvOpenFlash(0xabcd, 0x1234, 1, &h), -2);
    EXPECT_EQ(QvOpenFlash(0x2222, 0x1234, 0, &h), -2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("QvOpenFlash -> FindDestDev failed. \n"), std::string::npos) << out;
    EXPECT_NE(out.find("QvOpenFlash -> QvEnumDevice. count = 0.\n"), std::string::npos) << out;
    EXPECT_EQ(h, nullptr);

    s.clear_records();
    EXPECT_EQ(QvCheckDevValid(0xabcd, 0x1234, 0), 0);
    // Probe, then the handle's open (no format, no streaming), then 2 bytes from 0xF000.
    EXPECT_EQ(s.call_names(),
              (Names{"UVCIOC_CTRL_QUERY", "VIDIOC_QUERYCAP", "UVCIOC_CTRL_QUERY", "UVCIOC_CTRL_QUERY"}));
    EXPECT_EQ(flash_starts(s), (std::vector<int>{0x0000, 0xF000}));
    EXPECT_EQ(s.open_descriptors(), 0);

    s.fail(UVCIOC_CTRL_QUERY, ENOTTY, -1, 1);  // the probe answers, the flash read does not
    EXPECT_EQ(QvCheckDevValid(0xabcd, 0x1234, 0), -1);
    EXPECT_EQ(QvCheckDevValid(0xabcd, 0x1234, 3), -2);
    EXPECT_EQ(s.open_descriptors(), 0);

    // A listed node that cannot be opened for capture: the handle is not kept.
    s.fail(UVCIOC_CTRL_QUERY, 0, 0);
    s.set_caps(V4L2_CAP_STREAMING);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QvOpenFlash(0xabcd, 0x1234, 0, &h), -1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("QvOpenFlash -> camera open err -2\n"), std::string::npos) << out;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(s.open_descriptors(), 0);

    for (auto f : {QvGetProperty(nullptr, 1, nullptr), QvSetProperty(nullptr, 1, 2),
                   QvWriteFlash(nullptr, 0, 4, nullptr), QvEraseFlash(nullptr, 0, 4)})
        EXPECT_EQ(f, 0);
}

TEST_F(Device, OpenByPathKeepsAnExistingHandle) {
    sim::Scanner& s = scanner("abcd", "1234", "video0");
    QvHandle h = nullptr;
    ASSERT_EQ(FvOpenDevice("/dev/video0", W, H, &h), 0);
    ASSERT_NE(h, nullptr);
    QvHandle same = h;
    s.clear_records();
    EXPECT_EQ(FvOpenDevice("/dev/video0", W, H, &h), 0);
    EXPECT_EQ(h, same);
    EXPECT_TRUE(s.call_names().empty());
    EXPECT_EQ(h->m_grey, true);
    int vid = -1, pid = -1;
    EXPECT_EQ(QvGetCurVidPid(h, &vid, &pid), 0);
    EXPECT_EQ(vid, 0);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(QvCloseDevice(h), 0);

    QvHandle bad = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FvOpenDevice("/dev/nothing-here", W, H, &bad), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("QvOpenDevice -> camera open err -1\n"), std::string::npos) << out;
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(FvOpenDevice("/dev/video0", W, H, nullptr), -1);
}

}  // namespace
