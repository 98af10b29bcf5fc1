// Controller access and the request wrapper, against the simulated scanner.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "sim_clock.h"
#include "sim_scanner.h"
#include "sonix_ctrl.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char* kNode = "/dev/video-sonix-test";

class Sonix : public ::testing::Test {
protected:
    void SetUp() override {
        fd = open(kNode, O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        cam.clear_records();
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
    }
    sim::Scanner cam{kNode};
    int fd = -1;
};

Bytes flash_block(int address, uint8_t cmd) {
    Bytes b(11, 0);
    b[0] = address & 0xFF;
    b[1] = (address >> 8) & 0xFF;
    b[2] = cmd;
    return b;
}

// ---- request wrapper ----

struct RetryCase {
    const char* name;
    int err;
    int times;  // failures before success (-1: for ever)
    int result;
    int calls;
    int64_t ms;  // the time spent, on the simulated clock
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class SonixRetry : public Sonix, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(SonixRetry, FollowsTheErrnoRules) {
    const RetryCase& c = GetParam();
    // Only the wrapper's 10 ms waits move the clock: the time and the number of tries are exact.
    sim::Clock clock;
    cam.fail(VIDIOC_QUERYCAP, c.err, c.times);
    v4l2_capability cap{};
    const int64_t t0 = clock.now_ms();
    EXPECT_EQ(sonix_ioctl(fd, VIDIOC_QUERYCAP, &cap), c.result);
    EXPECT_EQ(clock.now_ms() - t0, c.ms);
    EXPECT_EQ(static_cast<int>(cam.calls().size()), c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Errnos, SonixRetry,
    ::testing::Values(RetryCase{"EagainThenFrame", EAGAIN, 5, 0, 6, 50},
                      // The try at the limit is the last.
                      RetryCase{"EagainBounded", EAGAIN, -1, -1, SONIX_EAGAIN_LIMIT_MS / 10 + 1, SONIX_EAGAIN_LIMIT_MS},
                      RetryCase{"EnottyAtOnce", ENOTTY, -1, -1, 1, 0}, RetryCase{"EnoentAtOnce", ENOENT, -1, -1, 1, 0},
                      RetryCase{"EnodevGone", ENODEV, -1, -15, 1, 0},
                      RetryCase{"EshutdownGone", ESHUTDOWN, -1, -15, 1, 0}, RetryCase{"EioRecovers", EIO, 3, 0, 4, 30},
                      RetryCase{"EinvalThreeSeconds", EINVAL, -1, -1, 301, 3000}),
    [](const ::testing::TestParamInfo<RetryCase>& i) { return std::string(i.param.name); });

TEST_F(Sonix, SucceedsAtOnceAndPassesTheArgument) {
    v4l2_capability cap{};
    EXPECT_EQ(sonix_ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps, static_cast<uint32_t>(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
    EXPECT_EQ(cam.calls().size(), 1u);
}

TEST_F(Sonix, UnpluggedNodeIsGoneAtOnce) {
    cam.unplug();
    v4l2_capability cap{};
    EXPECT_EQ(sonix_ioctl(fd, VIDIOC_QUERYCAP, &cap), -15);
    EXPECT_EQ(cam.calls().size(), 1u);
}

// ---- registers ----

TEST_F(Sonix, RegisterWriteBlocks) {
    struct {
        int reg, value;
        Bytes block;
    } cases[] = {
        {0x099E, 1, {0x9E, 0x09, 0x01, 0x00}},
        {0x099E, 0x1FF, {0x9E, 0x09, 0xFF, 0x00}},
        {0x1005, 0, {0x05, 0x10, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        cam.clear_records();
        EXPECT_EQ(sonix_write_reg(fd, c.reg, c.value), 0);
        auto q = cam.xu_queries();
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(q[0].unit, 3);
        EXPECT_EQ(q[0].selector, 1);
        EXPECT_EQ(q[0].query, 0x01);
        EXPECT_EQ(q[0].sent, c.block) << std::hex << c.reg << " " << c.value;
        EXPECT_EQ(cam.reg(c.reg), c.value & 0xFF);
    }
}

TEST_F(Sonix, EncryptWritesRegister099E) {
    EXPECT_EQ(sonix_encrypt(fd, 1), 0);
    auto q = cam.xu_queries();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].sent, (Bytes{0x9E, 0x09, 0x01, 0x00}));
    EXPECT_EQ(cam.reg(0x099E), 1);
}

TEST_F(Sonix, RegisterReadSendsTwoQueriesAndReturnsByteTwo) {
    cam.set_register(0x1005, 0xA5);
    unsigned int v = 12345;
    EXPECT_EQ(sonix_read_reg(fd, 0x1005, &v), 0);
    EXPECT_EQ(v, 0xA5u);
    auto q = cam.xu_queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].query, 0x01);
    EXPECT_EQ(q[0].selector, 1);
    EXPECT_EQ(q[0].sent, (Bytes{0x05, 0x10, 0x81, 0x00}));
    EXPECT_EQ(q[1].query, 0x81);
    EXPECT_EQ(q[1].selector, 1);
    EXPECT_EQ(q[1].sent, (Bytes{0x05, 0x10, 0x00, 0x00}));
}

TEST_F(Sonix, RegisterFailuresGiveMinusOneAndKeepTheValue) {
    struct {
        int err, after;
    } cases[] = {{ENOENT, 0}, {ENOTTY, 1}, {ENODEV, 0}, {ENODEV, 1}};
    for (const auto& c : cases) {
        cam.fail(UVCIOC_CTRL_QUERY, c.err, -1, c.after);
        unsigned int v = 77;
        EXPECT_EQ(sonix_read_reg(fd, 0x1005, &v), -1) << c.err << " after " << c.after;
        EXPECT_EQ(v, 77u);
        EXPECT_EQ(sonix_write_reg(fd, 0x099E, 1), -1);
        cam.fail(UVCIOC_CTRL_QUERY, 0, 0);
    }
}

// ---- flash ----

struct FlashCase {
    int address, length;
    int sent_start;  // address of the start command
    int full_queries;
    int short_len;  // bytes of the last short query, 0 for none
};

TEST_F(Sonix, FlashReadQueriesByLength) {
    Bytes image(0x1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    cam.set_flash(image, 0xF000);
    const FlashCase cases[] = {
        {2, 3, 0xF002, 0, 3},  {2, 20, 0xF002, 2, 4},     {2, 16, 0xF002, 2, 0},     {2, 0, 0xF002, 0, 0},
        {0, 8, 0xF000, 1, 0},  {0x0FFF, 1, 0xFFFF, 0, 1}, {0xF000, 9, 0xF000, 1, 1}, {0xF123, 7, 0xF123, 0, 7},
        {-1, 2, 0xEFFF, 0, 2}, {2, -5, 0xF002, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "address " << c.address << " length " << c.length);
        cam.clear_records();
        Bytes buf(64, 0xEE);
        EXPECT_EQ(sonix_read_flash(fd, c.address, buf.data(), c.length), 0);
        auto q = cam.xu_queries();
        ASSERT_EQ(q.size(), 1u + c.full_queries + (c.short_len ? 1 : 0));
        EXPECT_EQ(q[0].selector, 3);
        EXPECT_EQ(q[0].query, 0x01);
        EXPECT_EQ(q[0].sent, flash_block(c.sent_start, 0x88));
        for (size_t i = 1; i < q.size(); ++i) {
            EXPECT_EQ(q[i].selector, 3);
            EXPECT_EQ(q[i].query, 0x81);
            EXPECT_EQ(q[i].sent.size(), 11u);
            for (int b = 2; b < 11; ++b) EXPECT_EQ(q[i].sent[b], 0);
        }
        const int n = c.length > 0 ? c.length : 0;
        for (int i = 0; i < n; ++i) {
            long idx = static_cast<long>(c.sent_start) + i - 0xF000;
            uint8_t want = (idx >= 0 && idx < 0x1000) ? image[idx] : 0xFF;
            EXPECT_EQ(buf[i], want) << "byte " << i;
        }
        for (int i = n; i < 64; ++i) EXPECT_EQ(buf[i], 0xEE) << "written past the length at " << i;
    }
}

TEST_F(Sonix, FlashThreeBytesFromAddressTwoTakeReplyBytesThreeToFive) {
    cam.set_flash({0x10, 0x11, 0x04, 0x00, 0x08, 0x99}, 0xF000);
    unsigned char buf[3] = {};
    ASSERT_EQ(sonix_read_flash(fd, 2, buf, 3), 0);
    auto q = cam.xu_queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1].reply.size(), 11u);
    EXPECT_EQ(buf[0], q[1].reply[3]);
    EXPECT_EQ(buf[1], q[1].reply[4]);
    EXPECT_EQ(buf[2], q[1].reply[5]);
    EXPECT_EQ(buf[0], 0x04);
    EXPECT_EQ(buf[1], 0x00);
    EXPECT_EQ(buf[2], 0x08);
}

TEST_F(Sonix, FlashFailuresStopAndKeepWhatWasRead) {
    Bytes image(64);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i + 1);
    cam.set_flash(image, 0xF000);
    // start, first block pass; the second block fails.
    cam.fail(UVCIOC_CTRL_QUERY, ENOTTY, -1, 2);
    Bytes buf(20, 0);
    EXPECT_EQ(sonix_read_flash(fd, 0, buf.data(), 20), -1);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(buf[i], i + 1);
    for (int i = 8; i < 20; ++i) EXPECT_EQ(buf[i], 0);
    EXPECT_EQ(cam.xu_queries().size(), 3u);

    // A failing start command reads nothing.
    cam.fail(UVCIOC_CTRL_QUERY, ENODEV, -1);
    cam.clear_records();
    Bytes untouched(8, 0x5A);
    EXPECT_EQ(sonix_read_flash(fd, 0, untouched.data(), 8), -1);
    EXPECT_EQ(untouched, Bytes(8, 0x5A));
    EXPECT_EQ(cam.xu_queries().size(), 1u);
}

TEST_F(Sonix, DataReadsCheckTheirCount) {
    cam.set_flash(Bytes(16, 0x42), 0xF000);
    ASSERT_EQ(sonix_start_reading(fd, 0xF000), 0);
    unsigned char out[9] = {};
    for (int n : {0, -1, 9, 100}) {
        cam.clear_records();
        EXPECT_EQ(read_data_byte(fd, out, n), -1) << n;
        EXPECT_TRUE(cam.xu_queries().empty());
    }
    EXPECT_EQ(read_data_byte(fd, out, 8), 0);
    EXPECT_EQ(out[7], 0x42);
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(read_data_byte(fd, nullptr, 3), -1);
    EXPECT_EQ(read_data_8byte(fd, 0xF000, nullptr), -1);
}

TEST_F(Sonix, EightByteReadSendsItsAddress) {
    unsigned char out[8];
    ASSERT_EQ(read_data_8byte(fd, 0xF234, out), 0);
    auto q = cam.xu_queries();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].query, 0x81);
    EXPECT_EQ(q[0].sent, flash_block(0xF234, 0));
}

// ---- printed texts ----

TEST_F(Sonix, FailuresPrintTheirTextsExactly) {
    struct {
        const char* name;
        int err;
        int after;  // queries that pass before the failing one
        std::function<int(int)> call;
        const char* out;       // standard output
        const char* err_text;  // standard error (perror)
    } cases[] = {
        {"write", ENOTTY, 0, [](int f) { return sonix_write_reg(f, 0x099E, 1); }, "sonix_write_reg error.\n",
         "UVCIOC_CTRL_QUERY asic: Inappropriate ioctl for device\n"},
        {"read, first query", ENOENT, 0,
         [](int f) {
             unsigned int v = 0;
             return sonix_read_reg(f, 0x1005, &v);
         },
         "", "UVCIOC_CTRL_QUERY asic: No such file or directory\n"},
        {"read, second query gone", ENODEV, 1,
         [](int f) {
             unsigned int v = 0;
             return sonix_read_reg(f, 0x1005, &v);
         },
         "", "UVCIOC_CTRL_QUERY asic: No such device\n"},
        {"encrypt", ENOTTY, 0, [](int f) { return sonix_encrypt(f, 1); }, "",
         "UVCIOC_CTRL_QUERY asic: Inappropriate ioctl for device\n"},
        {"8-byte data query", ENOTTY, 0,
         [](int f) {
             unsigned char b[8];
             return read_data_8byte(f, 0xF000, b);
         },
         "read_data_8byte error. nret = -1.\n", "UVCIOC_CTRL_QUERY: Inappropriate ioctl for device\n"},
        {"8-byte data query, device gone", ENODEV, 0,
         [](int f) {
             unsigned char b[8];
             return read_data_8byte(f, 0xF000, b);
         },
         "read_data_8byte error. nret = -15.\n", "UVCIOC_CTRL_QUERY: No such device\n"},
        {"short data query", ENOTTY, 0,
         [](int f) {
             unsigned char b[8];
             return read_data_byte(f, b, 3);
         },
         "", "UVCIOC_CTRL_QUERY: Inappropriate ioctl for device\n"},
        {"start command", ENOTTY, 0, [](int f) { return sonix_start_reading(f, 0xF000); }, "", ""},
        {"flash read, start fails", ENOTTY, 0,
         [](int f) {
             unsigned char b[20];
             return sonix_read_flash(f, 2, b, 20);
         },
         "", ""},
        {"flash read, second block fails", ENOTTY, 2,
         [](int f) {
             unsigned char b[20];
             return sonix_read_flash(f, 2, b, 20);
         },
         "read_data_8byte error. nret = -1.\n", "UVCIOC_CTRL_QUERY: Inappropriate ioctl for device\n"},
        {"flash read, short tail fails", ENOTTY, 3,
         [](int f) {
             unsigned char b[20];
             return sonix_read_flash(f, 2, b, 20);
         },
         "", "UVCIOC_CTRL_QUERY: Inappropriate ioctl for device\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cam.fail(UVCIOC_CTRL_QUERY, c.err, -1, c.after);
        fflush(stdout);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int r = c.call(fd);
        const std::string err_text = testing::internal::GetCapturedStderr();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, -1);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err_text, c.err_text);
        cam.fail(UVCIOC_CTRL_QUERY, 0, 0);
    }
}

// ---- probe ----

TEST(SonixProbe, AnswersOnlyForTheScanner) {
    sim::Scanner scanner("/dev/video-probe-a");
    sim::Scanner foreign("/dev/video-probe-b");
    foreign.set_extension_unit(false);

    EXPECT_EQ(sonix_dev_valid("/dev/video-probe-a"), 0);
    auto q = scanner.xu_queries();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].sent, flash_block(0x0000, 0x88));  // address 0 itself, no 0xF000 rule
    ASSERT_EQ(scanner.open_flags().size(), 1u);
    EXPECT_EQ(scanner.open_flags()[0] & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(scanner.open_descriptors(), 0);

    EXPECT_EQ(sonix_dev_valid("/dev/video-probe-b"), -1);
    EXPECT_EQ(foreign.opens(), 1);
    EXPECT_EQ(foreign.open_descriptors(), 0);

    scanner.unplug();
    EXPECT_EQ(sonix_dev_valid("/dev/video-probe-a"), -1);
    EXPECT_EQ(scanner.failed_opens(), 1);

    EXPECT_EQ(sonix_dev_valid("/nonexistent/video9"), -1);
    EXPECT_EQ(sonix_dev_valid(nullptr), -1);
}

TEST(SonixProbe, ClosesDescriptorZero) {
    // With standard input closed the node gets descriptor 0, which must not leak.
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    sim::Scanner scanner("/dev/video-probe-zero");
    int r = sonix_dev_valid("/dev/video-probe-zero");
    int live = scanner.open_descriptors();
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(live, 0);
}

}  // namespace
