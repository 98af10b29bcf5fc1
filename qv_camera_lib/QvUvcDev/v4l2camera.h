// Capture from one Video4Linux2 node: open and check it, negotiate MJPEG, map one streaming
// buffer, grab frames and convert every accepted pixel format to YUYV, then to grey or RGB24.
// Every request goes through sonix_ioctl. The caller owns the object and the output buffers.
#pragma once

#include "qv_export.h"

struct vdIn;  // the node's Video4Linux records and the mapped buffer, owned by the object

class QV_EXPORT V4L2Camera {
public:
    V4L2Camera();
    ~V4L2Camera();
    V4L2Camera(const V4L2Camera&) = delete;
    V4L2Camera& operator=(const V4L2Camera&) = delete;

    // 0; -1 cannot open; n - 100 when VIDIOC_QUERYCAP fails with n; -2 no video capture;
    // -3 no streaming. An object already open is closed first.
    int Open(const char* path);
    // 0; the failing request's result; -1 mmap, VIDIOC_QBUF or pixel-format failure;
    // -12 no memory for the Bayer work buffer.
    int Init(int width, int height, int fps, bool grey);
    int StartStreaming();
    int StopStreaming();
    // One frame into out as YUYV of the requested size (2 * width * height bytes) when it
    // fits capacity. 0, or the failing request's result (-1, -15); -1 for a frame whose
    // conversion would read past the mapped buffer.
    int GrabRawFrame(void* out, int capacity);
    // Grey: width * height luma bytes. Colour: width * height * 3 RGB24 bytes.
    // -1 when the camera negotiated another size than requested; -15 device gone;
    // -12 no memory for the work frame.
    int Capture(unsigned char* out, bool grey);
    void Uninit();
    void Close();
    void getSize(int& width, int& height) const;  // the requested size
    int getFps() const;                           // frame-rate denominator reported by the driver

    int vid;
    int pid;
    vdIn* m_videoIn;
    int m_fd;
    bool m_grey;
};
