// Test images and libjpeg as the independent reference for the camera codec tests.
#pragma once

#include <cstdint>
#include <vector>

#include "jpeg_encode.h"

namespace codec_test {

using Bytes = std::vector<unsigned char>;

using Sampling = jpeg_test::Sampling;

// Deterministic RGB24 pictures: a smooth gradient with soft waves, or the same with
// strong per-pixel noise (hard for the entropy coder and the transform).
Bytes smooth_rgb(int width, int height);
Bytes noisy_rgb(int width, int height, uint32_t seed = 1);

// libjpeg encoding of RGB24 (grey: the green channel) by jpeg_test::encode_jpeg.
Bytes encode_jpeg(const Bytes& rgb, int width, int height, Sampling sampling, int quality = 90,
                  int restart_interval = 0, bool optimize = false, bool progressive = false);

// The frame without its DHT segments, as MJPEG cameras send it.
using jpeg_test::strip_dht;

// Offset of the first marker FF <code> found by walking the segments (SOI first), -1 if none.
long find_marker(const Bytes& jpeg, unsigned char code);

// libjpeg's decoding to full-size YCbCr planes with box upsampling, so that the chroma of
// every pixel is the sample that covers it. Grey frames give Cb = Cr = 128.
struct Ycc {
    int width = 0, height = 0;
    Bytes y, cb, cr;
};
bool decode_reference(const Bytes& jpeg, Ycc& out);

// Agreement of a YUYV frame (pitch 2 * width) with reference planes.
struct Diff {
    int max = 0;
    double mean = 0;
};
Diff compare_yuyv(const Bytes& yuyv, const Ycc& ref);

}  // namespace codec_test
