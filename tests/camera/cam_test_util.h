// Helpers shared by the camera tests: frames, reference decoding and request records.
#pragma once

#include <linux/videodev2.h>
#include <stdio.h>
#include <string.h>

#include <jpeglib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "finger_gen.h"
#include "sim_scanner.h"

namespace camtest {

using Bytes = std::vector<uint8_t>;

inline int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A generated finger image as the scanner sends it.
inline Bytes finger_frame(int finger = 3, int capture = 0, std::vector<unsigned char>* grey = nullptr) {
    std::vector<unsigned char> img = fingergen::finger_image(finger, capture);
    if (grey) *grey = img;
    return sim::mjpeg_from_grey(img.data(), fingergen::kWidth, fingergen::kHeight, 92, true);
}

// libjpeg's own luma of a frame, the reference the decoder is held to.
inline std::vector<unsigned char> reference_luma(const Bytes& jpeg, int& w, int& h) {
    jpeg_decompress_struct d;
    jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), jpeg.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&d);
    w = d.output_width;
    h = d.output_height;
    std::vector<unsigned char> out(static_cast<size_t>(w) * h);
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = out.data() + static_cast<size_t>(d.output_scanline) * w;
        jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

template <typename T>
inline T arg_of(const sim::Call& c) {
    T t;
    memset(&t, 0, sizeof t);
    memcpy(&t, c.arg.data(), c.arg.size() < sizeof t ? c.arg.size() : sizeof t);
    return t;
}

inline const sim::Call* find_call(const std::vector<sim::Call>& calls, unsigned long req) {
    for (const auto& c : calls)
        if (c.request == req) return &c;
    return nullptr;
}

}  // namespace camtest
