#include "codec_helpers.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "jpeg_encode.h"

namespace codec_test {

namespace {

unsigned char clamp8(double v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); }

struct JumpErr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
void jump_exit(j_common_ptr c) { std::longjmp(reinterpret_cast<JumpErr*>(c->err)->jump, 1); }
void quiet(j_common_ptr) {}

}  // namespace

Bytes smooth_rgb(int width, int height) {
    Bytes rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = clamp8(40 + 150.0 * x / width + 30 * std::sin(y * 0.05));
            p[1] = clamp8(60 + 120.0 * y / height + 25 * std::cos(x * 0.04));
            p[2] = clamp8(200 - 100.0 * (x + y) / (width + height) + 20 * std::sin((x - y) * 0.03));
        }
    return rgb;
}

Bytes noisy_rgb(int width, int height, uint32_t seed) {
    Bytes rgb = smooth_rgb(width, height);
    uint32_t s = seed;
    for (auto& v : rgb) {
        s = s * 1664525u + 1013904223u;
        v = clamp8(v + static_cast<int>((s >> 24) % 121) - 60);
    }
    return rgb;
}

Bytes encode_jpeg(const Bytes& rgb, int width, int height, Sampling sampling, int quality, int restart_interval,
                  bool optimize, bool progressive) {
    jpeg_test::JpegSettings s;
    s.sampling = sampling;
    s.quality = quality;
    s.restart_interval = restart_interval;
    s.optimize = optimize;
    s.progressive = progressive;
    return jpeg_test::encode_jpeg(rgb.data(), 3, width, height, s);
}

long find_marker(const Bytes& j, unsigned char code) {
    size_t i = 2;
    while (i + 4 <= j.size() && j[i] == 0xFF) {
        if (j[i + 1] == code) return static_cast<long>(i);
        if (j[i + 1] == 0xDA) return -1;
        i += 2 + ((j[i + 2] << 8) | j[i + 3]);
    }
    return -1;
}

bool decode_reference(const Bytes& jpeg, Ycc& out) {
    jpeg_decompress_struct d;
    JumpErr err;
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = jump_exit;
    err.pub.output_message = quiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), jpeg.size());
    jpeg_read_header(&d, TRUE);
    const bool grey = d.num_components == 1;
    d.out_color_space = grey ? JCS_GRAYSCALE : JCS_YCbCr;
    d.do_fancy_upsampling = FALSE;
    d.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&d);
    out.width = d.output_width;
    out.height = d.output_height;
    const size_t n = static_cast<size_t>(out.width) * out.height;
    out.y.assign(n, 0);
    out.cb.assign(n, 128);
    out.cr.assign(n, 128);
    Bytes row(static_cast<size_t>(out.width) * d.output_components);
    while (d.output_scanline < d.output_height) {
        const size_t y = d.output_scanline;
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&d, &r, 1);
        for (int x = 0; x < out.width; ++x) {
            const size_t k = y * out.width + x;
            if (grey) {
                out.y[k] = row[x];
            } else {
                out.y[k] = row[3 * x];
                out.cb[k] = row[3 * x + 1];
                out.cr[k] = row[3 * x + 2];
            }
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

Diff compare_yuyv(const Bytes& yuyv, const Ycc& ref) {
    Diff d;
    double sum = 0;
    size_t count = 0;
    auto add = [&](int a, int b) {
        const int e = std::abs(a - b);
        if (e > d.max) d.max = e;
        sum += e;
        ++count;
    };
    for (int y = 0; y < ref.height; ++y)
        for (int p = 0; p < ref.width / 2; ++p) {
            const unsigned char* q = &yuyv[(static_cast<size_t>(y) * ref.width + 2 * p) * 2];
            const size_t k = static_cast<size_t>(y) * ref.width + 2 * p;
            add(q[0], ref.y[k]);
            add(q[1], ref.cb[k]);
            add(q[2], ref.y[k + 1]);
            add(q[3], ref.cr[k]);
        }
    d.mean = count ? sum / count : 0;
    return d;
}

}  // namespace codec_test
