// Helpers of the image-format tests: owned malloc'd buffers, pattern images, files and tools.
#pragma once

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "command_output.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fmt_test {

// Owns a malloc'd block handed out by the library.
struct Owned {
    unsigned char* p = nullptr;
    Owned() = default;
    explicit Owned(unsigned char* q) : p(q) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { free(p); }
    unsigned char** addr() { return &p; }
    unsigned char& operator[](size_t i) { return p[i]; }
};

inline std::vector<unsigned char> Bytes(const unsigned char* p, size_t n) {
    return p == nullptr ? std::vector<unsigned char>() : std::vector<unsigned char>(p, p + n);
}

// Deterministic pattern: grey (1 byte a pixel) or R,G,B (3 bytes), smooth with some detail.
inline std::vector<unsigned char> Pattern(int w, int h, int bytes_per_pixel, int seed = 1) {
    std::vector<unsigned char> v(static_cast<size_t>(w) * h * bytes_per_pixel);
    unsigned s = 2463534242u + seed;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < bytes_per_pixel; ++k) {
                s ^= s << 13;
                s ^= s >> 17;
                s ^= s << 5;
                const int smooth = (x * 255 / (w > 1 ? w - 1 : 1) + y * 97 / (h > 1 ? h - 1 : 1) + k * 60) % 256;
                v[(static_cast<size_t>(y) * w + x) * bytes_per_pixel + k] =
                    static_cast<unsigned char>((smooth + (s & 7)) & 255);
            }
    return v;
}

// Bytes of one stored pixel of a layout.
inline int PixelSize(int layout) {
    static const int kSize[7] = {3, 1, 1, 1, 4, 4, 2};
    return layout >= 0 && layout < 7 ? kSize[layout] : 4;
}

// What a decoder handed out: its result, geometry and a copy of the pixels (a failure must free them).
struct Decoded {
    int ok = -1, w = -1, h = -1, layout = -1, dpi = -1;
    std::vector<unsigned char> px;
};

using Reader = int (*)(const char* path, unsigned char** img, int* width, int* height, int* layout, int* dpi,
                       int request, const unsigned char* data, int length);

inline Decoded DecodeWith(Reader read, const std::vector<unsigned char>& file, int request) {
    Decoded d;
    Owned img;
    d.ok =
        read(nullptr, img.addr(), &d.w, &d.h, &d.layout, &d.dpi, request, file.data(), static_cast<int>(file.size()));
    if (d.ok)
        d.px = Bytes(img.p, static_cast<size_t>(d.w) * d.h * PixelSize(d.layout));
    else
        EXPECT_EQ(img.p, nullptr);
    return d;
}

// A file of the running case: ctest runs the cases side by side, each in a process of its own, and
// two of them may use the same name, so the case's own name comes first.
inline std::string TempPath(const std::string& name) {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string owner = t == nullptr ? std::string("none") : std::string(t->test_suite_name()) + "." + t->name();
    for (char& c : owner)
        if (c == '/') c = '_';
    return std::string(QV_TEST_TMPDIR) + "/" + owner + "_" + name;
}

inline std::vector<unsigned char> ReadFile(const std::string& path) {
    std::vector<unsigned char> v;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return v;
    unsigned char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) v.insert(v.end(), b, b + n);
    fclose(f);
    return v;
}

inline void WriteFile(const std::string& path, const std::vector<unsigned char>& v) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    if (!v.empty()) fwrite(v.data(), 1, v.size(), f);
    fclose(f);
}

// True when the program is on PATH.
inline bool HaveTool(const std::string& name) {
    return system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a command and returns its standard output; *status gets the exit status.
inline std::string Run(const std::string& cmd, int* status = nullptr) { return qvtest::command_output(cmd, status); }

// Peak signal-to-noise ratio of two equal-sized byte arrays, in dB (1000 when identical).
inline double Psnr(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - b[i];
        se += d * d;
    }
    if (se == 0) return 1000;
    const double mse = se / a.size();
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace fmt_test
