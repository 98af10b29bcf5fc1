// Test images and libjpeg as the independent reference for the camera codec tests.
#pragma once

#include <cstdint>
#include <vector>

namespace codec_test {

using Bytes = std::vector<unsigned char>;

enum class Sampling { S420, S422, S444, Grey };

// Deterministic RGB24 pictures: a smooth gradient with soft waves, or the same with
// strong per-pixel noise (hard for the entropy coder and the transform).
Bytes smooth_rgb(int width, int height);
Bytes noisy_rgb(int width, int height, uint32_t seed = 1);

// libjpeg baseline encoding of RGB24 (grey: the green channel) with the standard
// Huffman tables; restart_interval in MCUs (0 none).
// optimize: Huffman tables of the picture's own instead of the standard ones;
// progressive: a progressive frame (SOF2).
Bytes encode_jpeg(const Bytes& rgb, int width, int height, Sampling sampling, int quality = 90,
                  int restart_interval = 0, bool optimize = false, bool progressive = false);

// The frame without its DHT segments, as MJPEG cameras send it.
Bytes strip_dht(const Bytes& jpeg);

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
