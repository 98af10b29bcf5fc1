// The capture class against the simulated scanner: request sequences, failure codes, conversions.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

#include "cam_test_util.h"
#include "capture_formats.h"
#include "pixel_convert.h"
#include "sim_clock.h"
#include "v4l2camera.h"

using namespace camtest;

namespace {

constexpr const char* kNode = "/dev/video-cam-test";
constexpr int W = 320, H = 240;

using Names = std::vector<std::string>;

// A forced log line of this class as it reaches standard output: source name, line, message.
std::string log_line(int line, const std::string& message) {
    return " v4l2camera " + std::to_string(line) + " " + message + "\n";
}

class Camera : public ::testing::Test {
protected:
    void TearDown() override {
        cam.reset();
        EXPECT_EQ(sim.open_descriptors(), 0) << "descriptor leaked";
        EXPECT_EQ(sim::live_mappings(), 0) << "mapping leaked";
    }
    // Open and Init at 320 x 240, the device object's request.
    void open_init(bool start = true) {
        ASSERT_EQ(cam->Open(kNode), 0);
        ASSERT_EQ(cam->Init(W, H, 30, true), 0);
        if (start) {
            ASSERT_EQ(cam->StartStreaming(), 0);
        }
        sim.clear_records();
    }
    sim::Scanner sim{kNode};
    std::unique_ptr<V4L2Camera> cam{new V4L2Camera};
};

TEST_F(Camera, OpenInitGrabCloseSendExactlyTheRequestSequence) {
    ASSERT_EQ(cam->Open(kNode), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_QUERYCAP"}));
    ASSERT_EQ(sim.open_flags().size(), 1u);
    EXPECT_EQ(sim.open_flags()[0] & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC), O_RDWR | O_NONBLOCK | O_CLOEXEC);

    sim.clear_records();
    ASSERT_EQ(cam->Init(W, H, 30, true), 0);
    EXPECT_EQ(sim.call_names(),
              (Names{"VIDIOC_S_FMT", "VIDIOC_G_FMT", "VIDIOC_S_PARM", "VIDIOC_G_PARM", "VIDIOC_G_JPEGCOMP",
                     "VIDIOC_S_JPEGCOMP", "VIDIOC_G_JPEGCOMP", "VIDIOC_REQBUFS", "VIDIOC_QUERYBUF", "VIDIOC_QBUF"}));
    auto calls = sim.calls();
    auto fmt = arg_of<v4l2_format>(calls[0]);
    EXPECT_EQ(fmt.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(fmt.fmt.pix.width, 320u);
    EXPECT_EQ(fmt.fmt.pix.height, 240u);
    EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(fmt.fmt.pix.field, static_cast<uint32_t>(V4L2_FIELD_ANY));
    auto parm = arg_of<v4l2_streamparm>(calls[2]);
    EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 1u);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 30u);
    EXPECT_EQ(arg_of<v4l2_jpegcompression>(calls[5]).quality, 100);
    auto rb = arg_of<v4l2_requestbuffers>(calls[7]);
    EXPECT_EQ(rb.count, 1u);
    EXPECT_EQ(rb.memory, static_cast<uint32_t>(V4L2_MEMORY_MMAP));
    EXPECT_EQ(arg_of<v4l2_buffer>(calls[8]).index, 0u);
    EXPECT_EQ(sim::live_mappings(), 1);
    EXPECT_EQ(cam->getFps(), 30);

    sim.clear_records();
    ASSERT_EQ(cam->StartStreaming(), 0);
    ASSERT_EQ(cam->StartStreaming(), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMON"}));

    sim.push_frame(finger_frame());
    sim.clear_records();
    Bytes yuyv(2 * W * H);
    ASSERT_EQ(cam->GrabRawFrame(yuyv.data(), static_cast<int>(yuyv.size())), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_DQBUF", "VIDIOC_QBUF"}));

    sim.clear_records();
    ASSERT_EQ(cam->StopStreaming(), 0);
    ASSERT_EQ(cam->StopStreaming(), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMOFF"}));
    cam->Uninit();
    EXPECT_EQ(sim::live_mappings(), 0);
    cam->Close();
    EXPECT_EQ(sim.open_descriptors(), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMOFF"}));
}

TEST_F(Camera, GreyCaptureIsTheLumaOfTheFrame) {
    open_init();
    std::vector<unsigned char> original;
    Bytes frame = finger_frame(5, 1, &original);
    sim.push_frame(frame);
    int rw = 0, rh = 0;
    auto ref = reference_luma(frame, rw, rh);
    ASSERT_EQ(rw, W);
    ASSERT_EQ(rh, H);

    Bytes out(W * H + 16, 0xEE);
    ASSERT_EQ(cam->Capture(out.data(), true), 0);
    int worst = 0;
    long total = 0;
    for (int i = 0; i < W * H; ++i) {
        int d = std::abs(static_cast<int>(out[i]) - ref[i]);
        worst = std::max(worst, d);
        total += d;
    }
    EXPECT_LE(worst, 4);
    EXPECT_LT(static_cast<double>(total) / (W * H), 1.0);
    for (int i = W * H; i < W * H + 16; ++i) EXPECT_EQ(out[i], 0xEE) << "written past the image";
}

TEST_F(Camera, ColourCaptureIsRgb24OfTheFrame) {
    open_init();
    std::vector<unsigned char> original;
    sim.push_frame(finger_frame(2, 0, &original));
    Bytes out(3 * W * H + 8, 0xEE);
    ASSERT_EQ(cam->Capture(out.data(), false), 0);
    // Neutral chroma: every pixel is grey, close to the generated image.
    long total = 0;
    for (int i = 0; i < W * H; ++i) {
        ASSERT_LE(std::abs(out[3 * i] - out[3 * i + 1]), 2) << i;
        ASSERT_LE(std::abs(out[3 * i + 2] - out[3 * i + 1]), 2) << i;
        total += std::abs(static_cast<int>(out[3 * i + 1]) - original[i]);
    }
    EXPECT_LT(static_cast<double>(total) / (W * H), 3.0);
    for (int i = 3 * W * H; i < 3 * W * H + 8; ++i) EXPECT_EQ(out[i], 0xEE);
}

TEST_F(Camera, OpenFailureCodes) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam->Open("/nonexistent/video7"), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(log_line(57, "open device /nonexistent/video7 failed, No such file or directory")),
              std::string::npos)
        << log;

    struct {
        int err;
        uint32_t caps;
        int result;
        const char* logged;  // at line 64
    } cases[] = {
        {ENOTTY, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, -101,
         "ioctl VIDIOC_QUERYCAP err -1, Inappropriate ioctl for device"},
        {ENODEV, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, -115, "ioctl VIDIOC_QUERYCAP err -15, No such device"},
        {0, V4L2_CAP_STREAMING, -2, nullptr},
        {0, V4L2_CAP_VIDEO_CAPTURE, -3, nullptr},
        {0, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE, -3, nullptr},
    };
    for (const auto& c : cases) {
        sim.set_caps(c.caps);
        if (c.err) sim.fail(VIDIOC_QUERYCAP, c.err);
        testing::internal::CaptureStdout();
        EXPECT_EQ(cam->Open(kNode), c.result);
        log = testing::internal::GetCapturedStdout();
        if (c.logged) {
            EXPECT_NE(log.find(log_line(64, c.logged)), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, "");
        }
        // The node stays open for the caller to close.
        EXPECT_EQ(sim.open_descriptors(), 1);
        cam->Close();
        EXPECT_EQ(sim.open_descriptors(), 0);
        sim.fail(VIDIOC_QUERYCAP, 0, 0);
    }
}

TEST_F(Camera, InitFailureCodesAndTheirLogLines) {
    struct {
        unsigned long req;
        int err;
        int result;
        int line;
        const char* logged;
    } cases[] = {
        {VIDIOC_S_FMT, ENOTTY, -1, 130, "ioctl VIDIOC_S_FMT ret = -1, Inappropriate ioctl for device"},
        {VIDIOC_S_FMT, ENODEV, -15, 130, "ioctl VIDIOC_S_FMT ret = -15, No such device"},
        {VIDIOC_G_FMT, ENOENT, -1, 139, "ioctl VIDIOC_G_FMT err -1, No such file or directory"},
        {VIDIOC_REQBUFS, ENODEV, -15, 202, "ioctl VIDIOC_REQBUFS err -15, No such device"},
        {VIDIOC_QUERYBUF, ENOTTY, -1, 216, "ioctl VIDIOC_QUERYBUF err -1, Inappropriate ioctl for device"},
        {VIDIOC_QBUF, ENODEV, -1, 233, "ioctl VIDIOC_QBUF err err -15, No such device"},
        // Optional controls: their failures are accepted.
        {VIDIOC_S_PARM, ENOTTY, 0, 0, nullptr},
        {VIDIOC_G_PARM, ENOTTY, 0, 0, nullptr},
        {VIDIOC_G_JPEGCOMP, ENOTTY, 0, 0, nullptr},
        {VIDIOC_S_JPEGCOMP, ENOTTY, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::request_name(c.req));
        ASSERT_EQ(cam->Open(kNode), 0);
        sim.fail(c.req, c.err);
        testing::internal::CaptureStdout();
        EXPECT_EQ(cam->Init(W, H, 30, true), c.result);
        std::string log = testing::internal::GetCapturedStdout();
        if (c.logged) {
            EXPECT_NE(log.find(log_line(c.line, c.logged)), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, "");
        }
        sim.fail(c.req, 0, 0);
        cam->Uninit();
        cam->Close();
        EXPECT_EQ(sim.open_descriptors(), 0);
        EXPECT_EQ(sim::live_mappings(), 0);
    }
}

TEST_F(Camera, InitRefusesUnknownFormatsAndFailedMappings) {
    ASSERT_EQ(cam->Open(kNode), 0);
    sim.set_format(V4L2_PIX_FMT_H264);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam->Init(W, H, 30, true), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(log_line(284, "m_videoIn->format 875967048")), std::string::npos) << log;
    // H264 asks for no JPEG quality.
    EXPECT_EQ(find_call(sim.calls(), VIDIOC_S_JPEGCOMP), nullptr);
    cam->Close();

    sim.set_format(0);
    sim.set_buffer_size(0);
    ASSERT_EQ(cam->Open(kNode), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam->Init(W, H, 30, true), -1);
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(log_line(226, "ioctl mmap err 0")), std::string::npos) << log;
}

TEST_F(Camera, StreamingFailuresKeepTheFlagAsItWas) {
    open_init(false);
    sim.fail(VIDIOC_STREAMON, ENOTTY, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam->StartStreaming(), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(log_line(333, "ioctl VIDIOC_STREAMON err err -1, Inappropriate ioctl for device")),
              std::string::npos)
        << log;
    EXPECT_FALSE(sim.streaming());
    // The flag stayed clear: the next start asks again.
    EXPECT_EQ(cam->StartStreaming(), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMON", "VIDIOC_STREAMON"}));

    // A failed stop is returned, logs nothing and keeps the flag: the next stop asks again.
    sim.clear_records();
    sim.fail(VIDIOC_STREAMOFF, ENODEV, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam->StopStreaming(), -15);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(cam->StopStreaming(), 0);
    EXPECT_EQ(cam->StopStreaming(), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMOFF", "VIDIOC_STREAMOFF"}));
}

TEST_F(Camera, ConvertsEveryPackedFormatByItsRule) {
    // One 4 x 2 frame of each layout; rows of the source are bpl bytes apart.
    struct Case {
        uint32_t fmt;
        int bpl;
        Bytes src;
        Bytes yuyv;  // expected first row pair of output row 0
    };
    const Case cases[] = {
        {V4L2_PIX_FMT_YUYV, 12, {10, 80, 20, 90, 30, 81, 40, 91, 0, 0, 0, 0}, {10, 80, 20, 90, 30, 81, 40, 91}},
        {V4L2_PIX_FMT_UYVY, 8, {80, 10, 90, 20, 81, 30, 91, 40}, {10, 80, 20, 90, 30, 81, 40, 91}},
        {V4L2_PIX_FMT_YVYU, 8, {10, 90, 20, 80, 30, 91, 40, 81}, {10, 80, 20, 90, 30, 81, 40, 91}},
        {V4L2_PIX_FMT_YYUV, 8, {10, 20, 80, 90, 30, 40, 81, 91}, {10, 80, 20, 90, 30, 81, 40, 91}},
        {V4L2_PIX_FMT_GREY, 8, {10, 20, 30, 40, 0, 0, 0, 0}, {10, 128, 20, 128, 30, 128, 40, 128}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fmt);
        sim.set_format(c.fmt, 4, 2, c.bpl);
        ASSERT_EQ(cam->Open(kNode), 0);
        ASSERT_EQ(cam->Init(4, 2, 30, true), 0);
        ASSERT_EQ(cam->StartStreaming(), 0);
        Bytes frame(static_cast<size_t>(c.bpl) * 2, 0);
        std::copy(c.src.begin(), c.src.end(), frame.begin());
        sim.push_frame(frame);
        Bytes out(16, 0xEE);
        ASSERT_EQ(cam->GrabRawFrame(out.data(), 16), 0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), c.yuyv);
        cam->Close();
    }
}

TEST_F(Camera, BayerFramesAreDemosaicedThroughTheWorkBuffer) {
    for (uint32_t f : {V4L2_PIX_FMT_SGBRG8, V4L2_PIX_FMT_SGRBG8, V4L2_PIX_FMT_SBGGR8, V4L2_PIX_FMT_SRGGB8}) {
        sim.set_format(f);
        ASSERT_EQ(cam->Open(kNode), 0);
        ASSERT_EQ(cam->Init(16, 8, 30, true), 0);
        ASSERT_EQ(cam->StartStreaming(), 0);
        sim.push_frame(Bytes(16 * 8, 77));  // uniform: every channel 77
        Bytes grey(16 * 8, 0);
        ASSERT_EQ(cam->Capture(grey.data(), true), 0);
        for (int i = 0; i < 16 * 8; ++i) ASSERT_NEAR(grey[i], 77, 1) << f << " pixel " << i;
        cam->Close();
    }
}

TEST_F(Camera, FramesTheConversionCannotReadAreRefused) {
    // A YUYV frame of 320 x 240 needs 153,600 bytes; the mapping holds fewer.
    sim.set_format(V4L2_PIX_FMT_YUYV);
    sim.set_buffer_size(1000);
    ASSERT_EQ(cam->Open(kNode), 0);
    ASSERT_EQ(cam->Init(W, H, 30, true), 0);
    ASSERT_EQ(cam->StartStreaming(), 0);
    sim.push_frame(Bytes(1000, 50));
    sim.clear_records();
    Bytes out(2 * W * H, 0xEE);
    EXPECT_EQ(cam->GrabRawFrame(out.data(), static_cast<int>(out.size())), -1);
    EXPECT_EQ(out, Bytes(2 * W * H, 0xEE));
    // The buffer still goes back to the driver.
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_DQBUF", "VIDIOC_QBUF"}));
}

TEST_F(Camera, ShortMjpegBuffersAreSkippedAndSmallCapacitiesLeaveOutUntouched) {
    open_init();
    sim.push_frame(Bytes(175, 0xFF));
    Bytes out(2 * W * H, 0xEE);
    EXPECT_EQ(cam->GrabRawFrame(out.data(), static_cast<int>(out.size())), 0);
    EXPECT_EQ(out, Bytes(2 * W * H, 0xEE));

    sim.push_frame(finger_frame());
    EXPECT_EQ(cam->GrabRawFrame(out.data(), 2 * W * H - 1), 0);
    EXPECT_EQ(out, Bytes(2 * W * H, 0xEE));

    sim.push_frame(Bytes(100, 0xFF));
    Bytes grey(W * H, 0xEE);
    EXPECT_EQ(cam->Capture(grey.data(), true), 0);
    EXPECT_EQ(grey, Bytes(W * H, 0));  // the zeroed work frame's luma
}

TEST_F(Camera, AnotherNegotiatedSizeFailsInsteadOfReturningAnEmptyImage) {
    struct {
        int w, h;
    } sizes[] = {{160, 120}, {640, 480}, {320, 200}};
    for (const auto& s : sizes) {
        sim.set_format(V4L2_PIX_FMT_MJPEG, s.w, s.h);
        ASSERT_EQ(cam->Open(kNode), 0);
        ASSERT_EQ(cam->Init(W, H, 30, true), 0);
        ASSERT_EQ(cam->StartStreaming(), 0);
        int gw = 0, gh = 0;
        cam->getSize(gw, gh);
        EXPECT_EQ(gw, W);
        EXPECT_EQ(gh, H);
        sim.set_idle_frame(finger_frame());
        Bytes grey(W * H, 0xEE);
        EXPECT_EQ(cam->Capture(grey.data(), true), -1) << s.w << "x" << s.h;
        EXPECT_EQ(cam->Capture(grey.data(), false), -1);
        EXPECT_EQ(grey, Bytes(W * H, 0xEE));
        cam->Close();
        sim.clear_frames();
    }
}

TEST_F(Camera, NoFramesEndsTheGrabAndTheCapture) {
    sim::Clock clock;
    open_init();
    Bytes out(2 * W * H);
    int64_t t0 = clock.now_ms();
    EXPECT_EQ(cam->GrabRawFrame(out.data(), static_cast<int>(out.size())), -1);
    EXPECT_EQ(clock.now_ms() - t0, 1000);  // the request wrapper's limit for a frame

    t0 = clock.now_ms();
    Bytes grey(W * H);
    EXPECT_EQ(cam->Capture(grey.data(), true), -1);
    // The grey capture's own 2-second retry, counted from the first failed grab: grabs of a second
    // each, 10 ms apart, until the one that ends two whole seconds after it.
    EXPECT_EQ(clock.now_ms() - t0, 3 * 1000 + 2 * 10);
}

TEST_F(Camera, UnplugDuringCaptureGivesMinusFifteenAtOnce) {
    open_init();
    Bytes grey(W * H);
    // Stamped before the unplugging thread starts, so the wait measured covers its whole sleep.
    int64_t t0 = now_ms();
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sim.unplug();
    });
    EXPECT_EQ(cam->Capture(grey.data(), true), -15);
    const int64_t spent = now_ms() - t0;
    t.join();
    EXPECT_GE(spent, 150);
    // The first failed dequeue ended it: no 2-second retry.
    int dq_after = 0;
    for (const auto& c : sim.calls())
        if (c.request == VIDIOC_DQBUF && c.err == ENODEV) ++dq_after;
    EXPECT_EQ(dq_after, 1);
}

TEST_F(Camera, ReopenAndDestructionReleaseEverything) {
    open_init();
    sim.clear_records();
    ASSERT_EQ(cam->Open(kNode), 0);
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMOFF", "VIDIOC_QUERYCAP"}));
    EXPECT_EQ(sim.closes(), 1);
    EXPECT_EQ(sim.open_descriptors(), 1);
    EXPECT_EQ(sim::live_mappings(), 0);

    ASSERT_EQ(cam->Init(W, H, 30, true), 0);
    ASSERT_EQ(cam->StartStreaming(), 0);
    sim.clear_records();
    cam.reset();
    EXPECT_EQ(sim.call_names(), (Names{"VIDIOC_STREAMOFF"}));
    EXPECT_EQ(sim.closes(), 1);
}

TEST_F(Camera, DescriptorZeroIsClosedLikeAnyOther) {
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    int r = cam->Open(kNode);
    int fd = cam->m_fd;
    int live_open = sim.open_descriptors();
    cam->Close();
    int live_closed = sim.open_descriptors();
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(live_open, 1);
    EXPECT_EQ(live_closed, 0);
}

// ---- The table of accepted pixel formats ----

std::string fourcc_name(uint32_t f) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((f >> (8 * i)) & 0xFF);
    return s;
}

// n bytes that end where an inaccessible page begins: reading past them faults in every build.
class GuardedBytes {
public:
    explicit GuardedBytes(size_t n) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t body = (n + page - 1) / page * page;
        size_ = body + page;
        void* m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = m == MAP_FAILED ? nullptr : static_cast<unsigned char*>(m);
        if (!base_) return;
        mprotect(base_ + body, page, PROT_NONE);
        data_ = base_ + body - n;
    }
    ~GuardedBytes() {
        if (base_) munmap(base_, size_);
    }
    unsigned char* data() const { return data_; }

private:
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

TEST(FormatTable, HasOneRowForEachOfTheTwentyFourFormats) {
    const std::set<uint32_t> accepted = {
        V4L2_PIX_FMT_YUYV,    V4L2_PIX_FMT_Y16,     V4L2_PIX_FMT_YYUV,    V4L2_PIX_FMT_UYVY,   V4L2_PIX_FMT_YVYU,
        V4L2_PIX_FMT_GREY,    V4L2_PIX_FMT_RGB24,   V4L2_PIX_FMT_BGR24,   V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YVU420,
        V4L2_PIX_FMT_NV12,    V4L2_PIX_FMT_NV21,    V4L2_PIX_FMT_NV16,    V4L2_PIX_FMT_NV61,   V4L2_PIX_FMT_Y41P,
        V4L2_PIX_FMT_SPCA501, V4L2_PIX_FMT_SPCA505, V4L2_PIX_FMT_SPCA508, V4L2_PIX_FMT_MJPEG,  V4L2_PIX_FMT_JPEG,
        V4L2_PIX_FMT_SGBRG8,  V4L2_PIX_FMT_SGRBG8,  V4L2_PIX_FMT_SBGGR8,  V4L2_PIX_FMT_SRGGB8};
    const std::set<uint32_t> bayer = {V4L2_PIX_FMT_SGBRG8, V4L2_PIX_FMT_SGRBG8, V4L2_PIX_FMT_SBGGR8,
                                      V4L2_PIX_FMT_SRGGB8};
    const CaptureFormatRows table = capture_formats();
    std::set<uint32_t> rows;
    for (size_t i = 0; i < table.count; ++i) {
        const CaptureFormat& f = table.rows[i];
        SCOPED_TRACE(fourcc_name(f.fourcc));
        EXPECT_TRUE(rows.insert(f.fourcc).second) << "two rows";
        EXPECT_NE(f.convert, nullptr);
        EXPECT_EQ(find_capture_format(f.fourcc), &f);
        EXPECT_EQ(f.direct, bayer.count(f.fourcc) == 0);
        EXPECT_EQ(f.size == SourceSize::Compressed, f.fourcc == V4L2_PIX_FMT_MJPEG || f.fourcc == V4L2_PIX_FMT_JPEG);
    }
    EXPECT_EQ(rows, accepted);
    for (uint32_t refused : {uint32_t(V4L2_PIX_FMT_H264), uint32_t(V4L2_PIX_FMT_RGB565), uint32_t(0)})
        EXPECT_EQ(find_capture_format(refused), nullptr) << fourcc_name(refused);
}

TEST(FormatTable, BytesAFrameNeedsByLayout) {
    // 320 x 240 with rows 704 bytes apart where the layout has rows.
    const struct {
        uint32_t fourcc;
        size_t bytes;
    } cases[] = {
        {V4L2_PIX_FMT_YUYV, 704 * 239 + 640},   {V4L2_PIX_FMT_GREY, 704 * 239 + 320},
        {V4L2_PIX_FMT_BGR24, 704 * 239 + 960},  {V4L2_PIX_FMT_NV61, 2 * 320 * 240},
        {V4L2_PIX_FMT_NV12, 320 * 240 * 3 / 2}, {V4L2_PIX_FMT_SPCA508, 320 * 240 * 3 / 2},
        {V4L2_PIX_FMT_SRGGB8, 320 * 240},       {V4L2_PIX_FMT_MJPEG, 0},
    };
    for (const auto& c : cases) {
        const CaptureFormat* f = find_capture_format(c.fourcc);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(source_bytes(*f, 320, 240, 704), c.bytes) << fourcc_name(c.fourcc);
    }
}

TEST(FormatTable, NoConversionReadsPastTheBytesItsRowNames) {
    // Even and odd sizes; rows as Init leaves them (at least twice the width) and with padding.
    const struct {
        int w, h, pad;
    } sizes[] = {{4, 2, 0}, {16, 8, 0}, {16, 8, 6}, {18, 6, 0}, {9, 5, 0}, {17, 3, 4}, {320, 240, 0}};
    const CaptureFormatRows table = capture_formats();
    for (size_t i = 0; i < table.count; ++i) {
        const CaptureFormat& f = table.rows[i];
        if (f.size == SourceSize::Compressed) continue;
        for (const auto& s : sizes) {
            SCOPED_TRACE(fourcc_name(f.fourcc) + " " + std::to_string(s.w) + "x" + std::to_string(s.h));
            const size_t row = f.size == SourceSize::Rows3 ? 3 * s.w : 2 * s.w;
            const size_t bpl = row + s.pad;
            const size_t need = source_bytes(f, s.w, s.h, bpl);
            GuardedBytes src(need);
            ASSERT_NE(src.data(), nullptr);
            std::fill(src.data(), src.data() + need, 0x5A);
            Bytes dst(2 * static_cast<size_t>(s.w) * s.h, 0xEE), bayer(3 * static_cast<size_t>(s.w) * s.h);
            f.convert({dst.data(), src.data(), need, bpl, s.w, s.h, f.direct ? nullptr : bayer.data()});
        }
    }
}

TEST(FormatTable, CompressedFramesAreReadOnlyAsFarAsTheCameraFilledThem) {
    const Bytes frame = finger_frame();
    for (uint32_t fourcc : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_JPEG}) {
        const CaptureFormat* f = find_capture_format(fourcc);
        ASSERT_NE(f, nullptr);
        for (size_t used : {frame.size(), frame.size() / 2, size_t(176)}) {
            GuardedBytes src(used);
            ASSERT_NE(src.data(), nullptr);
            std::copy(frame.begin(), frame.begin() + used, src.data());
            Bytes dst(2 * W * H, 0);
            f->convert({dst.data(), src.data(), used, 2 * W, W, H, nullptr});
        }
    }
}

TEST_F(Camera, EveryRowIsAcceptedAndItsFrameMustFitTheMapping) {
    const int w = 16, h = 8;
    const CaptureFormatRows table = capture_formats();
    for (size_t i = 0; i < table.count; ++i) {
        const CaptureFormat& f = table.rows[i];
        SCOPED_TRACE(fourcc_name(f.fourcc));
        // Init raises the rows to twice the width.
        const size_t need = source_bytes(f, w, h, 2 * w);
        std::vector<size_t> mappings = {need, need - 1};
        if (f.size == SourceSize::Compressed) mappings = {4096};
        for (size_t mapping : mappings) {
            sim.set_format(f.fourcc, w, h);
            sim.set_buffer_size(static_cast<uint32_t>(mapping));
            ASSERT_EQ(cam->Open(kNode), 0);
            ASSERT_EQ(cam->Init(w, h, 30, true), 0);
            ASSERT_EQ(cam->StartStreaming(), 0);
            sim.push_frame(Bytes(mapping, 100));
            Bytes out(2 * w * h, 0xEE);
            EXPECT_EQ(cam->GrabRawFrame(out.data(), static_cast<int>(out.size())), mapping >= need ? 0 : -1)
                << mapping << " bytes mapped";
            if (mapping < need) {
                EXPECT_EQ(out, Bytes(2 * w * h, 0xEE));
            }
            cam->Close();
        }
    }
}

TEST_F(Camera, AGrabAfterARefusedFormatConvertsNothing) {
    sim.set_format(V4L2_PIX_FMT_H264);
    ASSERT_EQ(cam->Open(kNode), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam->Init(W, H, 30, true), -1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(cam->StartStreaming(), 0);
    sim.push_frame(Bytes(2 * W * H, 100));
    Bytes out(2 * W * H, 0xEE);
    EXPECT_EQ(cam->GrabRawFrame(out.data(), static_cast<int>(out.size())), -1);
    EXPECT_EQ(out, Bytes(2 * W * H, 0xEE));
}

TEST(CameraNoNode, CallsOnAClosedObjectFailCleanly) {
    V4L2Camera cam;
    Bytes out(16);
    EXPECT_EQ(cam.Init(W, H, 30, true), -1);
    EXPECT_EQ(cam.StartStreaming(), -1);
    EXPECT_EQ(cam.StopStreaming(), 0);
    EXPECT_EQ(cam.GrabRawFrame(out.data(), 16), -1);
    EXPECT_EQ(cam.Capture(out.data(), true), -1);
    cam.Uninit();
    cam.Close();
    EXPECT_EQ(cam.m_fd, -1);
}

}  // namespace
