// Helpers shared by the camera tests: frames, reference decoding and request records.
#pragma once

#include <linux/videodev2.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "finger_gen.h"
#include "jpeg_grey.h"
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
    std::vector<unsigned char> out;
    if (!jpeg_grey(jpeg, out, w, h)) out.clear();
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
