// Allocation failures inside the device layer never leave it as exceptions: this executable
// replaces the global operator new so that one chosen allocation size fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "cam_test_util.h"
#include "fvdev.h"
#include "qv_uvc_dev.h"
#include "udev_fixture.h"
#include "v4l2camera.h"

namespace {
std::atomic<size_t> g_fail_size{0};  // 0: nothing fails
std::atomic<int> g_failed{0};

// Makes every operator new of exactly `size` bytes fail while it lives.
struct FailAllocations {
    explicit FailAllocations(size_t size) {
        g_failed = 0;
        g_fail_size = size;
    }
    ~FailAllocations() { g_fail_size = 0; }
};

// Out of line, so that the compiler does not pair inlined deletes with malloc's free.
__attribute__((noinline)) void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(size_t n) {
    if (n != 0 && n == g_fail_size.load()) {
        ++g_failed;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// Every other plain form goes through the two above, so that all of them pair up.
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n) { return ::operator new(n); }
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

using namespace camtest;

namespace {

constexpr int W = 320, H = 240;

TEST(AllocationFailure, CaptureWithoutMemoryForItsWorkFrameFails) {
    sim::Scanner sim("/dev/video-alloc-test");
    V4L2Camera cam;
    ASSERT_EQ(cam.Open(sim.path().c_str()), 0);
    ASSERT_EQ(cam.Init(W, H, 30, true), 0);
    ASSERT_EQ(cam.StartStreaming(), 0);
    sim.set_idle_frame(finger_frame());
    for (bool grey : {true, false}) {
        SCOPED_TRACE(grey ? "grey" : "colour");
        Bytes out(3 * W * H, 0xEE);
        sim.clear_records();
        int r = 0;
        {
            FailAllocations fail((grey ? 2u : 3u) * W * H);
            EXPECT_NO_THROW(r = cam.Capture(out.data(), grey));
            EXPECT_EQ(g_failed.load(), 1);
        }
        EXPECT_EQ(r, -12);
        EXPECT_TRUE(sim.call_names().empty()) << "no frame is taken without a work frame";
        EXPECT_EQ(out, Bytes(3 * W * H, 0xEE));
        // Memory again: the next capture works.
        EXPECT_EQ(cam.Capture(out.data(), grey), 0);
    }
    cam.Close();
    EXPECT_EQ(sim.open_descriptors(), 0);
}

TEST(AllocationFailure, EnumerationWithoutMemoryForTheListFindsNothing) {
    QV_REQUIRE_UDEV_BED();
    sim::UdevBed bed;
    sim::Scanner& s = bed.add_scanner("abcd", "1234", "video0");
    s.set_idle_frame(finger_frame());
    fvd.closedevice();
    fvd.init_para();
    fvd_setsupdevids("abcd:1234");
    char sn[1024];
    int r = 0;
    {
        FailAllocations fail(sizeof(dev_id_t));  // the list's first entry
        EXPECT_NO_THROW(r = fvd_readdevsn(sn));
        EXPECT_EQ(r, -15);
        EXPECT_NO_THROW(r = fvd_opendevice());
        EXPECT_EQ(r, -15);
        EXPECT_NO_THROW(r = fvd_enumdevice());
        EXPECT_EQ(r, 0);
        std::vector<dev_id_t> list;
        EXPECT_NO_THROW(r = QvEnumDevice(list));
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(list.empty());
        EXPECT_GE(g_failed.load(), 4);
    }
    EXPECT_EQ(fvd.m_devCount, 0);
    EXPECT_EQ(fvd_opendevice(), 0);
    fvd.closedevice();
    fvd.init_para();
    EXPECT_EQ(s.open_descriptors(), 0);
}

}  // namespace
