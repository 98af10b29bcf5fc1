// The table of accepted camera pixel formats.
#include "capture_formats.h"

#include <linux/videodev2.h>

#include <cstdint>
#include <cstring>

#include "jpeg_decoder.h"
#include "pixel_convert.h"

namespace {

constexpr size_t kMinMjpegBytes = 176;  // smaller buffers hold no frame worth decoding

using PackedFn = void (*)(unsigned char*, int, unsigned char*, int, int, int);
using PlanarFn = void (*)(unsigned char*, int, unsigned char*, int, int);

void copy_yuyv(const FrameToConvert& f) {
    const size_t pitch = 2 * static_cast<size_t>(f.width);
    for (int y = 0; y < f.height; ++y) memcpy(f.dst + y * pitch, f.src + y * f.bpl, pitch);
}

template <PackedFn F>
void packed(const FrameToConvert& f) {
    F(f.dst, 2 * f.width, f.src, static_cast<int>(f.bpl), f.width, f.height);
}

template <PlanarFn F>
void planar(const FrameToConvert& f) {
    F(f.dst, 2 * f.width, f.src, f.width, f.height);
}

// The decoder's result is not used: a frame it refuses leaves what it wrote.
void decode_jpeg(const FrameToConvert& f) {
    if (f.bytes_used >= kMinMjpegBytes) jpeg_decode_bounded(f.dst, 2 * f.width, f.src, f.bytes_used, f.width, f.height);
}

template <int Pattern>
void demosaic(const FrameToConvert& f) {
    bayer_to_rgb24(f.src, f.bayer, f.width, f.height, Pattern);
    rgb_to_yuyv(f.dst, 2 * f.width, f.bayer, 3 * f.width, f.width, f.height);
}

constexpr CaptureFormat kFormats[] = {
    {V4L2_PIX_FMT_YUYV, SourceSize::Rows2, true, copy_yuyv},
    {V4L2_PIX_FMT_Y16, SourceSize::Rows2, true, packed<y16_to_yuyv>},
    {V4L2_PIX_FMT_YYUV, SourceSize::Rows2, true, packed<yyuv_to_yuyv>},
    {V4L2_PIX_FMT_UYVY, SourceSize::Rows2, true, packed<uyvy_to_yuyv>},
    {V4L2_PIX_FMT_YVYU, SourceSize::Rows2, true, packed<yvyu_to_yuyv>},
    {V4L2_PIX_FMT_GREY, SourceSize::Rows1, true, packed<grey_to_yuyv>},
    {V4L2_PIX_FMT_RGB24, SourceSize::Rows3, true, packed<rgb_to_yuyv>},
    {V4L2_PIX_FMT_BGR24, SourceSize::Rows3, true, packed<bgr_to_yuyv>},
    {V4L2_PIX_FMT_YUV420, SourceSize::Planes12, true, planar<yuv420_to_yuyv>},
    {V4L2_PIX_FMT_YVU420, SourceSize::Planes12, true, planar<yvu420_to_yuyv>},
    {V4L2_PIX_FMT_NV12, SourceSize::Planes12, true, planar<nv12_to_yuyv>},
    {V4L2_PIX_FMT_NV21, SourceSize::Planes12, true, planar<nv21_to_yuyv>},
    {V4L2_PIX_FMT_NV16, SourceSize::Planes16, true, planar<nv16_to_yuyv>},
    {V4L2_PIX_FMT_NV61, SourceSize::Planes16, true, planar<nv61_to_yuyv>},
    {V4L2_PIX_FMT_Y41P, SourceSize::Planes12, true, planar<y41p_to_yuyv>},
    {V4L2_PIX_FMT_SPCA501, SourceSize::Planes12, true, planar<s501_to_yuyv>},
    {V4L2_PIX_FMT_SPCA505, SourceSize::Planes12, true, planar<s505_to_yuyv>},
    {V4L2_PIX_FMT_SPCA508, SourceSize::Planes12, true, planar<s508_to_yuyv>},
    {V4L2_PIX_FMT_MJPEG, SourceSize::Compressed, true, decode_jpeg},
    {V4L2_PIX_FMT_JPEG, SourceSize::Compressed, true, decode_jpeg},
    {V4L2_PIX_FMT_SGBRG8, SourceSize::Bayer8, false, demosaic<0>},
    {V4L2_PIX_FMT_SGRBG8, SourceSize::Bayer8, false, demosaic<1>},
    {V4L2_PIX_FMT_SBGGR8, SourceSize::Bayer8, false, demosaic<2>},
    {V4L2_PIX_FMT_SRGGB8, SourceSize::Bayer8, false, demosaic<3>},
};

}  // namespace

const CaptureFormat* find_capture_format(uint32_t fourcc) {
    for (const CaptureFormat& f : kFormats)
        if (f.fourcc == fourcc) return &f;
    return nullptr;
}

size_t source_bytes(const CaptureFormat& format, size_t w, size_t h, size_t bpl) {
    auto rows = [&](size_t row) { return h ? bpl * (h - 1) + row : 0; };
    switch (format.size) {
    case SourceSize::Rows2: return rows(2 * w);
    case SourceSize::Rows1: return rows(w);
    case SourceSize::Rows3: return rows(3 * w);
    case SourceSize::Planes16: return 2 * w * h;
    case SourceSize::Planes12: return w * h * 3 / 2;
    case SourceSize::Bayer8: return w * h;
    case SourceSize::Compressed: return 0;
    }
    return SIZE_MAX;  // no size rule: no frame fits
}

CaptureFormatRows capture_formats() { return {kFormats, sizeof kFormats / sizeof kFormats[0]}; }
