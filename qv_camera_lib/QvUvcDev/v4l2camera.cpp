// Video4Linux2 capture class.
#include "v4l2camera.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <string>

#include "capture_formats.h"
#include "pixel_convert.h"
#include "qv_log.h"
#include "qv_utils.h"
#include "sonix_ctrl.h"

struct vdIn {
    v4l2_capability cap;
    v4l2_format fmt;
    v4l2_buffer buf;
    v4l2_requestbuffers rb;
    v4l2_streamparm parm;
    v4l2_jpegcompression jpegcomp;
    void* mem;
    size_t memlen;
    bool isstreaming;
    unsigned char* bayer;
    size_t bayerlen;
    unsigned char* work;  // Capture's YUYV frame, kept from poll to poll until Uninit
    size_t worklen;
    int width;
    int height;
    size_t framesize;
    const CaptureFormat* format;  // the accepted pixel format, null until Init accepts one
};

namespace {

constexpr const char* kSrc = "v4l2camera";
constexpr int kLineOpen = 57;
constexpr int kLineQuerycap = 64;
constexpr int kLineSfmt = 130;
constexpr int kLineGfmt = 139;
constexpr int kLineReqbufs = 202;
constexpr int kLineQuerybuf = 216;
constexpr int kLineMmap = 226;
constexpr int kLineQbuf = 233;
constexpr int kLineFormat = 284;
constexpr int kLineStreamon = 333;

constexpr unsigned kJpegQuality = 100;
constexpr int kGreyRetryS = 2;
constexpr int kRetryStepMs = 10;
constexpr int kNoMemory = -12;

void log_fail(int line, const std::string& what, int n) {
    write_error_log(kSrc, line, what + std::to_string(n) + ", " + strerror(errno), 1);
}

}  // namespace

V4L2Camera::V4L2Camera()
    : vid(0), pid(0), m_videoIn(static_cast<vdIn*>(calloc(1, sizeof(vdIn)))), m_fd(-1), m_grey(false) {}

V4L2Camera::~V4L2Camera() {
    Close();
    free(m_videoIn);
}

int V4L2Camera::Open(const char* path) {
    Close();
    if (!m_videoIn) return -1;
    memset(m_videoIn, 0, sizeof(vdIn));
    m_fd = path ? open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC) : -1;
    if (m_fd < 0) {
        if (!path) errno = EINVAL;
        write_error_log(kSrc, kLineOpen,
                        str_format("open device %s failed, %s", path ? path : "(null)", strerror(errno)), 1);
        return -1;
    }
    int r = sonix_ioctl(m_fd, VIDIOC_QUERYCAP, &m_videoIn->cap);
    if (r != 0) {
        log_fail(kLineQuerycap, "ioctl VIDIOC_QUERYCAP err ", r);
        return r - 100;
    }
    // The node's own capabilities; the device-wide field also covers its metadata node.
    const uint32_t caps =
        (m_videoIn->cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? m_videoIn->cap.device_caps : m_videoIn->cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE)) return -2;
    if (!(caps & V4L2_CAP_STREAMING)) return -3;
    return 0;
}

int V4L2Camera::Init(int width, int height, int fps, bool grey) {
    if (!m_videoIn || m_fd < 0 || width <= 0 || height <= 0) return -1;
    vdIn& v = *m_videoIn;
    // A second Init must not leave the first one's mapping behind.
    StopStreaming();
    Uninit();
    v.format = nullptr;
    m_grey = grey;

    memset(&v.fmt, 0, sizeof v.fmt);
    v.fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v.fmt.fmt.pix.width = width;
    v.fmt.fmt.pix.height = height;
    v.fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    v.fmt.fmt.pix.field = V4L2_FIELD_ANY;
    int r = sonix_ioctl(m_fd, VIDIOC_S_FMT, &v.fmt);
    if (r != 0) {
        log_fail(kLineSfmt, "ioctl VIDIOC_S_FMT ret = ", r);
        return r;
    }
    memset(&v.fmt, 0, sizeof v.fmt);
    v.fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r = sonix_ioctl(m_fd, VIDIOC_G_FMT, &v.fmt);
    if (r != 0) {
        log_fail(kLineGfmt, "ioctl VIDIOC_G_FMT err ", r);
        return r;
    }
    v4l2_pix_format& p = v.fmt.fmt.pix;
    if (p.bytesperline < 2 * p.width) p.bytesperline = 2 * p.width;
    if (p.sizeimage < p.bytesperline * p.height) p.sizeimage = p.bytesperline * p.height;

    v.width = width;
    v.height = height;
    v.framesize = 2 * static_cast<size_t>(width) * height;

    memset(&v.parm, 0, sizeof v.parm);
    v.parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v.parm.parm.capture.timeperframe.numerator = 1;
    v.parm.parm.capture.timeperframe.denominator = fps;
    sonix_ioctl(m_fd, VIDIOC_S_PARM, &v.parm);
    sonix_ioctl(m_fd, VIDIOC_G_PARM, &v.parm);

    const CaptureFormat* format = find_capture_format(p.pixelformat);
    if (format && format->size == SourceSize::Compressed) {
        // Cameras without these controls are accepted.
        sonix_ioctl(m_fd, VIDIOC_G_JPEGCOMP, &v.jpegcomp);
        v.jpegcomp.quality = kJpegQuality;
        sonix_ioctl(m_fd, VIDIOC_S_JPEGCOMP, &v.jpegcomp);
        sonix_ioctl(m_fd, VIDIOC_G_JPEGCOMP, &v.jpegcomp);
    }

    memset(&v.rb, 0, sizeof v.rb);
    v.rb.count = 1;
    v.rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v.rb.memory = V4L2_MEMORY_MMAP;
    r = sonix_ioctl(m_fd, VIDIOC_REQBUFS, &v.rb);
    if (r != 0) {
        log_fail(kLineReqbufs, "ioctl VIDIOC_REQBUFS err ", r);
        return r;
    }

    memset(&v.buf, 0, sizeof v.buf);
    v.buf.index = 0;
    v.buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v.buf.memory = V4L2_MEMORY_MMAP;
    r = sonix_ioctl(m_fd, VIDIOC_QUERYBUF, &v.buf);
    if (r != 0) {
        log_fail(kLineQuerybuf, "ioctl VIDIOC_QUERYBUF err ", r);
        return r;
    }

    void* mem = v.buf.length ? mmap(nullptr, v.buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, v.buf.m.offset)
                             : MAP_FAILED;
    if (mem == MAP_FAILED) {
        write_error_log(kSrc, kLineMmap, std::string("ioctl mmap err ") + "0", 1);
        return -1;
    }
    v.mem = mem;
    v.memlen = v.buf.length;

    r = sonix_ioctl(m_fd, VIDIOC_QBUF, &v.buf);
    if (r != 0) {
        log_fail(kLineQbuf, "ioctl VIDIOC_QBUF err err ", r);
        return -1;
    }

    if (!format) {
        write_error_log(kSrc, kLineFormat, "m_videoIn->format " + std::to_string(p.pixelformat), 1);
        return -1;
    }
    if (!format->direct) {
        free(v.bayer);
        v.bayerlen = 3 * static_cast<size_t>(p.width) * p.height;
        v.bayer = static_cast<unsigned char*>(calloc(v.bayerlen ? v.bayerlen : 1, 1));
        if (!v.bayer) {
            v.bayerlen = 0;
            return kNoMemory;
        }
    }
    v.format = format;
    return 0;
}

int V4L2Camera::StartStreaming() {
    if (!m_videoIn || m_fd < 0) return -1;
    if (m_videoIn->isstreaming) return 0;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int r = sonix_ioctl(m_fd, VIDIOC_STREAMON, &type);
    if (r != 0) {
        log_fail(kLineStreamon, "ioctl VIDIOC_STREAMON err err ", r);
        return r;
    }
    m_videoIn->isstreaming = true;
    return 0;
}

int V4L2Camera::StopStreaming() {
    if (!m_videoIn || !m_videoIn->isstreaming) return 0;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int r = sonix_ioctl(m_fd, VIDIOC_STREAMOFF, &type);
    if (r != 0) return r;
    m_videoIn->isstreaming = false;
    return 0;
}

int V4L2Camera::GrabRawFrame(void* out, int capacity) {
    if (!m_videoIn || !m_videoIn->mem) return -1;
    vdIn& v = *m_videoIn;
    memset(&v.buf, 0, sizeof v.buf);
    v.buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v.buf.memory = V4L2_MEMORY_MMAP;
    int r = sonix_ioctl(m_fd, VIDIOC_DQBUF, &v.buf);
    if (r != 0) return r;

    // A format without a row of the table is refused, as is a frame its row says the mapping
    // or the work buffer cannot hold.
    const CaptureFormat* format = v.format;
    bool refused = format == nullptr;
    if (format && out && capacity >= 0 && v.framesize <= static_cast<size_t>(capacity)) {
        const size_t w = static_cast<size_t>(v.width), h = static_cast<size_t>(v.height);
        const size_t bpl = v.fmt.fmt.pix.bytesperline;
        if (!format->direct && 3 * w * h > v.bayerlen) refused = true;
        if (source_bytes(*format, w, h, bpl) > v.memlen) refused = true;
        if (!refused) {
            const size_t used = v.buf.bytesused < v.memlen ? v.buf.bytesused : v.memlen;
            format->convert({static_cast<unsigned char*>(out), static_cast<unsigned char*>(v.mem), used, bpl, v.width,
                             v.height, v.bayer});
        }
    }

    r = sonix_ioctl(m_fd, VIDIOC_QBUF, &v.buf);
    if (r != 0) return r;
    return refused ? -1 : 0;
}

int V4L2Camera::Capture(unsigned char* out, bool grey) {
    if (!m_videoIn || !out) return -1;
    vdIn& v = *m_videoIn;
    const int W = static_cast<int>(v.fmt.fmt.pix.width), H = static_cast<int>(v.fmt.fmt.pix.height);
    // Only a frame of exactly the requested size fills the caller's buffer.
    if (W != v.width || H != v.height || W <= 0 || H <= 0) return -1;
    const size_t pixels = static_cast<size_t>(W) * H;
    const size_t size = (grey ? 2 : 3) * pixels;
    // The work frame is the only allocation, made once for all the polls of an operation rather
    // than for each; no exception may leave this exported method.
    if (v.worklen < size) {
        delete[] v.work;
        v.worklen = 0;
        v.work = new (std::nothrow) unsigned char[size];
        if (!v.work) return kNoMemory;
        v.worklen = size;
    }
    unsigned char* work = v.work;
    memset(work, 0, size);
    if (grey) {
        int64_t stamp = 0;
        int r;
        for (;;) {
            r = GrabRawFrame(work, static_cast<int>(size));
            if (r == 0 || r == -15) break;
            if (is_timeout(stamp, kGreyRetryS) <= 0) break;
            qv_sleep(kRetryStepMs);
        }
        if (r != 0) return r;
        for (size_t i = 0; i < pixels; ++i) out[i] = work[2 * i];
        return 0;
    }
    int r = GrabRawFrame(work, static_cast<int>(size));
    if (r == 0) yuyv_to_rgb24(work, 2 * W, out, 3 * W, W, H);
    return r;
}

void V4L2Camera::Uninit() {
    if (!m_videoIn) return;
    if (m_videoIn->mem) {
        munmap(m_videoIn->mem, m_videoIn->memlen);
        m_videoIn->mem = nullptr;
        m_videoIn->memlen = 0;
    }
    free(m_videoIn->bayer);
    m_videoIn->bayer = nullptr;
    m_videoIn->bayerlen = 0;
    delete[] m_videoIn->work;
    m_videoIn->work = nullptr;
    m_videoIn->worklen = 0;
}

void V4L2Camera::Close() {
    // Streaming is stopped and the buffer unmapped before the node goes, so nothing leaks.
    StopStreaming();
    if (m_videoIn) m_videoIn->isstreaming = false;
    Uninit();
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

void V4L2Camera::getSize(int& width, int& height) const {
    width = m_videoIn ? m_videoIn->width : 0;
    height = m_videoIn ? m_videoIn->height : 0;
}

int V4L2Camera::getFps() const {
    return m_videoIn ? static_cast<int>(m_videoIn->parm.parm.capture.timeperframe.denominator) : 0;
}
