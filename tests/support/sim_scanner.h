// Simulated finger-vein scanner at the system-call boundary, for tests only.
//
// Linking sim_scanner.cpp into a test executable defines open (and open64,
// __open_2, __open64_2, openat, openat64), close and ioctl there. Definitions
// in the executable come before the C library's, so libveinsdk (shared or
// static) reaches the fake without any change to its code. Paths registered
// with a sim::Scanner are answered here with a memfd as the descriptor, so
// mmap, munmap and poll work on it natively; every other path and descriptor
// goes to the next definition (umockdev's preload, then libc), without taking the simulator's
// lock, so that a sanitizer may open files while it reports.
//
// Every open of a simulated node, and every other open that libveinsdk itself makes, must ask for
// O_CLOEXEC: one without it aborts the test with a line naming the path.
//
// The node behaves like a UVC camera on the Linux uvcvideo driver with the
// controller's extension unit (unit 3): selector 1 reaches the registers,
// selector 3 the flash. Everything is scriptable and every request is
// recorded. All methods are thread-safe, so a test may unplug the scanner
// from another thread while the library waits for a frame.
//
// Typical use:
//   sim::Scanner cam("/dev/video0");          // a scanner answering at that path
//   cam.set_idle_frame(sim::mjpeg_from_grey(img, 320, 240));
//   cam.set_register(0x1005, 1);              // finger present
//   ... drive the library ...
//   EXPECT_EQ(cam.open_descriptors(), 0);     // nothing leaked
//   EXPECT_EQ(sim::live_mappings(), 0);
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One request as the fake saw it.
struct Call {
    int fd;
    unsigned long request;
    int err;                   // errno given back, 0 for success
    std::vector<uint8_t> arg;  // the argument record as passed in (_IOC_SIZE bytes)
};

// One extension-unit query (UVCIOC_CTRL_QUERY) as the fake saw it.
struct XuQuery {
    int unit;
    int selector;
    int query;                   // 0x01 SET_CUR, 0x81 GET_CUR
    std::vector<uint8_t> sent;   // the data block as passed in
    std::vector<uint8_t> reply;  // the data block as given back (GET_CUR), else empty
    int err;
};

// Name of a request handled by the fake ("VIDIOC_DQBUF", "UVCIOC_CTRL_QUERY", ...),
// or the number in hexadecimal.
std::string request_name(unsigned long request);

class Scanner {
public:
    // Registers a simulated node at path (a scanner unless set otherwise). One
    // Scanner per path; the destructor unregisters it (descriptors still open
    // keep failing with ENODEV).
    explicit Scanner(const std::string& path = "/dev/video0");
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    const std::string& path() const { return path_; }

    // Capability bits given by VIDIOC_QUERYCAP (default video capture + streaming).
    void set_caps(uint32_t caps);
    // What the driver settles on after VIDIOC_S_FMT. A size of 0 keeps the
    // requested one; a pixel format of 0 keeps the requested one (default MJPG
    // at the requested size); bytesperline 0 reports 0 as many MJPEG drivers do.
    void set_format(uint32_t pixfmt, int width = 0, int height = 0, int bytesperline = 0);
    // Whether the controller's extension unit answers (false: a foreign camera,
    // every UVCIOC_CTRL_QUERY fails with ENOENT). Default true.
    void set_extension_unit(bool present);
    // Length of the one mapped buffer (default 2 * 640 * 480).
    void set_buffer_size(uint32_t bytes);

    // Frames handed out by VIDIOC_DQBUF: queued frames first, in order, then
    // the idle frame on every dequeue. With neither, DQBUF answers EAGAIN as a
    // non-blocking node without a frame does. Frames longer than the buffer
    // are cut to it; bytesused is the frame's length.
    void push_frame(std::vector<uint8_t> frame);
    void set_idle_frame(std::vector<uint8_t> frame);
    void clear_frames();

    // After `after` more calls of `request` that pass, the next `times` calls
    // fail with err (times < 0: every call). A later rule for the same request
    // replaces it; times 0 removes it.
    void fail(unsigned long request, int err, int times = -1, int after = 0);
    // The device goes away: open of the path fails with ENOENT and every request
    // on a descriptor opened before fails with ENODEV. replug() makes the path
    // open again; descriptors of the earlier attachment stay dead.
    void unplug();
    void replug();

    // Controller registers (16-bit address, 8-bit value, default 0).
    void set_register(int reg, uint8_t value);
    uint8_t reg(int reg) const;
    // Flash bytes as the controller addresses them: image[i] is the byte at
    // address base + i; addresses outside read 0xFF.
    void set_flash(std::vector<uint8_t> image, int base = 0xF000);

    // Records.
    std::vector<Call> calls() const;
    std::vector<std::string> call_names() const;  // request_name of every call, in order
    std::vector<XuQuery> xu_queries() const;
    std::vector<int> open_flags() const;  // flags of every successful open, in order
    int opens() const;                    // successful opens of the path
    int failed_opens() const;
    int closes() const;
    int open_descriptors() const;  // descriptors opened and not yet closed
    bool streaming() const;
    void clear_records();

private:
    std::string path_;
};

// Mappings of simulated buffers currently in the process (read from /proc/self/maps).
int live_mappings();

// MJPEG frame as a UVC camera sends it: baseline JPEG, 4:2:2, neutral chroma,
// from 8-bit grey pixels (rows of width bytes). Made with libjpeg. With
// strip_dht the Huffman table segments are removed (the standard tables are
// used, as many cameras do).
std::vector<uint8_t> mjpeg_from_grey(const uint8_t* grey, int width, int height, int quality = 90,
                                     bool strip_dht = false);

}  // namespace sim
