// Deterministic synthetic finger-vein images for tests and benchmarks (there is no scanner here).
//
// A finger id fixes the finger: silhouette (axis, height, taper, joints), brightness profile and
// its faint dark veins. A capture id fixes one capture of it: a pose shift of a few pixels, a
// slight rotation and scale, a brightness gain and offset, and the noise. Everything is integer
// arithmetic on a seeded generator of its own, so the bytes are the same on every machine, compiler
// and optimisation level.
//
//   unsigned char img[fingergen::kPixels];
//   fingergen::Truth truth;
//   fingergen::finger_image(7, 0, img, &truth);          // finger 7, capture 0
//   std::vector<unsigned char> bmp = fingergen::grey_to_bmp(img, 320, 240);
//   fingergen::finger_image(7, 0, img, nullptr, fingergen::Style::kVaried);  // the accuracy set
//
// Negative fixtures: take finger_spec(), change it and render() it, e.g. noise = 0 with
// finger_begin = 130, finger_end = 189 for a finger too small, or with axis_row = 25 for edges
// outside the search windows; uniform images are a memset.
// Header only: include it and link nothing. All buffers belong to the caller.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace fingergen {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kPixels = kWidth * kHeight;  // 76,800, rows top-down, stride 320

// The rendered silhouette: per image column the first and last row inside the finger (-1 when none).
struct Truth {
    int top[kWidth];
    int bottom[kWidth];
};

struct Vein {
    int x_begin, x_end;  // finger columns covered
    int u0;              // position across the finger at x_begin, 1/256 of the half height (-256..256)
    int u_slope;         // change of u over 320 columns, same unit
    int wave_amp;        // waviness, same unit
    int wave_period;     // columns
    int wave_phase;      // columns
    int half_width_q8;   // half width, 1/256 pixel
    int depth;           // darkening in grey levels at the vein centre
};

// Everything that decides one image. Lengths are pixels unless marked _q8 (1/256 pixel).
struct Spec {
    // finger
    int finger_begin;  // first and last finger column (a finger tip or a short finger); the
    int finger_end;    // generated fingers cross the whole image
    int axis_row;      // finger axis row at column 160
    int bend;          // axis offset at the image ends (pixels, parabolic)
    int half_height;   // half height at column 160
    int taper;         // half height change from column 160 to 320
    int joint_x[2];    // joint columns
    int joint_bulge;   // extra half height at the joints
    int joint_light;   // extra brightness at the joints
    int edge_level;    // brightness just inside the silhouette
    int centre_gain;   // extra brightness on the axis
    int background;    // brightness outside the finger
    int vein_count;
    Vein veins[12];
    bool veins_add_up;  // crossing veins darken twice (classic); otherwise the darkest one counts
    // capture
    int shift_x_q8, shift_y_q8;
    int angle_q16;  // rotation, 1/65536 turn (positive turns clockwise on screen)
    int scale_q16;  // 65536 = 1
    int gain_q8;    // 256 = 1
    int offset;
    int light_slope;  // brightness change from column 0 to 319
    int noise;        // noise amplitude (levels)
    uint64_t noise_seed;
};

namespace detail {

struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int range(int lo, int hi) {  // inclusive
        return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
    }
};

// sin of a / 65536 turn, scaled by 32768 (polynomial, integers only).
inline int64_t isin(int64_t a) {
    a &= 0xFFFF;
    int64_t sign = 1;
    if (a >= 0x8000) {
        a -= 0x8000;
        sign = -1;
    }
    if (a > 0x4000) a = 0x8000 - a;
    const int64_t t = a * 4;  // quarter turn -> 0..65536
    const int64_t t2 = t * t >> 16;
    const int64_t c1 = 102944, c3 = 42334, c5 = 5223;  // pi/2, 0.64596, 0.07969 in 1/65536
    int64_t p = c3 - (t2 * c5 >> 16);
    p = c1 - (t2 * p >> 16);
    int64_t v = (t * p >> 16) >> 1;  // 1/32768
    if (v > 32767) v = 32767;
    return sign * v;
}
inline int64_t icos(int64_t a) { return isin(a + 0x4000); }

// (1 - (d/w)^2)^2 for |d| < w, in 1/256.
inline int64_t bump(int64_t d, int64_t w) {
    if (w <= 0) return 0;
    if (d < 0) d = -d;
    if (d >= w) return 0;
    const int64_t t = 256 - d * d * 256 / (w * w);
    return t * t >> 8;
}

}  // namespace detail

// Two populations of fingers. kClassic is the first set, kept byte-stable because digests and tables
// were frozen on it. kVaried draws more branching and oblique veins, fainter joints and wider pose
// changes, so that different fingers differ more and captures of one finger less alike: the set to
// measure recognition accuracy on. A single vein darkens by at most 16 levels (times the gain); in
// kVaried crossings stay as faint, in kClassic they add up.
enum class Style { kClassic, kVaried };

// The finger of finger_id as captured in capture_id.
inline Spec finger_spec(int finger_id, int capture_id, Style style = Style::kClassic) {
    const bool varied = style == Style::kVaried;
    Spec s{};
    detail::Rng f{0x5EED0000ull + static_cast<uint64_t>(static_cast<uint32_t>(finger_id)) * 0x100000001B3ull};
    f.next();
    s.finger_begin = -10000;
    s.finger_end = 10000;
    s.axis_row = 120 + f.range(-6, 6);
    s.bend = f.range(-4, 4);
    s.half_height = f.range(48, 56);
    s.taper = f.range(-5, 5);
    s.joint_x[0] = varied ? f.range(40, 130) : f.range(70, 110);
    s.joint_x[1] = varied ? f.range(180, 290) : f.range(200, 250);
    s.joint_bulge = varied ? f.range(0, 2) : f.range(1, 3);
    s.joint_light = varied ? f.range(2, 8) : f.range(6, 16);
    s.edge_level = f.range(72, 95);
    s.centre_gain = f.range(55, 80);
    s.background = f.range(10, 24);
    const int main_veins = varied ? f.range(3, 5) : f.range(4, 6);
    const int branches = varied ? f.range(4, 7) : f.range(2, 4);
    s.vein_count = main_veins + branches;
    s.veins_add_up = !varied;
    for (int k = 0; k < s.vein_count; ++k) {
        Vein& v = s.veins[k];
        if (k < main_veins) {
            v.x_begin = f.range(-40, 100);
            v.x_end = v.x_begin + f.range(180, 380);
            v.u0 = f.range(-170, 170);
            v.u_slope = varied ? f.range(-300, 300) : f.range(-150, 150);
        } else {
            v.x_begin = f.range(20, 260);
            v.x_end = v.x_begin + f.range(50, 110);
            v.u0 = f.range(-180, 180);
            const int sign = f.range(0, 1) ? 1 : -1;  // drawn first: one statement per draw keeps the order
            v.u_slope = sign * (varied ? f.range(400, 1400) : f.range(300, 500));
        }
        v.wave_amp = varied ? f.range(10, 45) : f.range(8, 30);
        v.wave_period = f.range(60, 200);
        v.wave_phase = f.range(0, 199);
        v.half_width_q8 = f.range(4 * 256, 7 * 256);
        v.depth = f.range(8, 16);
    }
    detail::Rng c{0xCA97000000ull ^ (static_cast<uint64_t>(static_cast<uint32_t>(finger_id)) << 20) ^
                  static_cast<uint64_t>(static_cast<uint32_t>(capture_id)) * 0x9E3779B1ull};
    c.next();
    s.shift_x_q8 = varied ? c.range(-9 * 256, 9 * 256) : c.range(-6 * 256, 6 * 256);
    s.shift_y_q8 = varied ? c.range(-5 * 256, 5 * 256) : c.range(-4 * 256, 4 * 256);
    s.angle_q16 = varied ? c.range(-300, 300) : c.range(-200, 200);        // +-1.6 or +-1.1 degrees
    s.scale_q16 = varied ? c.range(62915, 68157) : c.range(63570, 67500);  // 0.96..1.04 or 0.97..1.03
    s.gain_q8 = c.range(236, 276);                                         // 0.92 .. 1.08
    s.offset = c.range(-6, 6);
    s.light_slope = c.range(-10, 10);
    s.noise = c.range(2, 4);
    s.noise_seed = c.next();
    return s;
}

// Renders the finger s describes into out (kPixels bytes); truth, when given, receives the silhouette.
inline void render(const Spec& s, unsigned char* out, Truth* truth = nullptr) {
    using detail::bump;
    const int64_t cs = detail::icos(s.angle_q16), sn = detail::isin(s.angle_q16);
    const int64_t half_span = 160 * 256;
    detail::Rng noise{s.noise_seed};
    if (truth != nullptr)
        for (int x = 0; x < kWidth; ++x) truth->top[x] = truth->bottom[x] = -1;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            // Image position -> finger position (1/256 pixel).
            const int64_t X = (x - 160) * 256 - s.shift_x_q8;
            const int64_t Y = (y - 120) * 256 - s.shift_y_q8;
            const int64_t rx = (X * cs + Y * sn) >> 15;
            const int64_t ry = (-X * sn + Y * cs) >> 15;
            const int64_t xf = rx * 65536 / s.scale_q16 + 160 * 256;
            const int64_t yf = ry * 65536 / s.scale_q16 + 120 * 256;
            const int64_t t = xf - half_span;  // -40960 .. 40960 across the image

            const int64_t axis = s.axis_row * 256 + s.bend * 256 * t / half_span * t / half_span;
            int64_t hh = s.half_height * 256 + s.taper * 256 * t / half_span;
            int64_t joint = 0;
            for (int j = 0; j < 2; ++j) joint += bump(xf - s.joint_x[j] * 256, 24 * 256);
            hh += s.joint_bulge * joint;
            if (hh < 256) hh = 256;

            const int64_t v = yf - axis;
            int64_t outside = (v < 0 ? -v : v) - hh;  // negative inside
            const int64_t beyond_end = s.finger_begin * 256 - xf > xf - s.finger_end * 256 ? s.finger_begin * 256 - xf
                                                                                           : xf - s.finger_end * 256;
            if (beyond_end > outside) outside = beyond_end;
            int64_t alpha = 128 - outside / 2;  // ramp over two pixels
            if (alpha < 0) alpha = 0;
            if (alpha > 256) alpha = 256;
            if (truth != nullptr && outside <= 0) {
                if (truth->top[x] < 0) truth->top[x] = y;
                truth->bottom[x] = y;
            }

            int64_t u = v * 256 / hh;
            if (u > 256) u = 256;
            if (u < -256) u = -256;
            int64_t inside = s.edge_level * 256 + s.centre_gain * (65536 - u * u) / 256 + s.joint_light * joint;
            int64_t deepest = 0;
            for (int k = 0; k < s.vein_count; ++k) {
                const Vein& vn = s.veins[k];
                const int64_t xb = vn.x_begin * 256, xe = vn.x_end * 256;
                if (xf < xb || xf > xe) continue;
                const int64_t along = xf - xb;
                const int64_t uc =
                    vn.u0 + vn.u_slope * along / (320 * 256) +
                    vn.wave_amp * detail::isin((xf / 256 + vn.wave_phase) * 65536 / vn.wave_period) / 32768;
                const int64_t d = (u - uc) * hh / 256;
                int64_t dark = vn.depth * bump(d, vn.half_width_q8);  // levels * 256
                const int64_t fade_len = 12 * 256;
                const int64_t to_end = along < xe - xf ? along : xe - xf;
                if (to_end < fade_len) dark = dark * to_end / fade_len;
                dark = dark * (65536 - u * u / 2) / 65536;
                if (s.veins_add_up)
                    inside -= dark;
                else if (dark > deepest)
                    deepest = dark;
            }
            inside -= deepest;
            const int64_t back = s.background * 256;
            int64_t p = (alpha * inside + (256 - alpha) * back) / 256;  // levels * 256
            p += s.light_slope * 256 * x / 319;
            p = p * s.gain_q8 / 256 + s.offset * 256;
            int64_t n = 0;
            for (int k = 0; k < 4; ++k) n += noise.range(-s.noise * 256, s.noise * 256);
            p += n / 2;
            p = (p + 128) >> 8;
            if (p < 0) p = 0;
            if (p > 255) p = 255;
            out[y * kWidth + x] = static_cast<unsigned char>(p);
        }
    }
}

// Finger finger_id in capture capture_id, written into out (kPixels bytes).
inline void finger_image(int finger_id, int capture_id, unsigned char* out, Truth* truth = nullptr,
                         Style style = Style::kClassic) {
    render(finger_spec(finger_id, capture_id, style), out, truth);
}

inline std::vector<unsigned char> finger_image(int finger_id, int capture_id, Truth* truth = nullptr,
                                               Style style = Style::kClassic) {
    std::vector<unsigned char> img(kPixels);
    finger_image(finger_id, capture_id, img.data(), truth, style);
    return img;
}

// An 8-bit grey BMP file (grey palette, rows bottom-up, data at offset 1,078) of a top-down image.
inline std::vector<unsigned char> grey_to_bmp(const unsigned char* grey, int width, int height) {
    const int stride = (width + 3) / 4 * 4;
    const uint32_t data_size = static_cast<uint32_t>(stride) * static_cast<uint32_t>(height);
    std::vector<unsigned char> f(1078 + data_size, 0);
    auto put16 = [&](int at, uint32_t v) {
        f[at] = static_cast<unsigned char>(v);
        f[at + 1] = static_cast<unsigned char>(v >> 8);
    };
    auto put32 = [&](int at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, static_cast<uint32_t>(f.size()));
    put32(10, 1078);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    put16(26, 1);
    put16(28, 8);
    put32(34, data_size);
    put32(38, 2835);
    put32(42, 2835);
    put32(46, 256);
    for (int i = 0; i < 256; ++i) {
        f[54 + 4 * i] = f[55 + 4 * i] = f[56 + 4 * i] = static_cast<unsigned char>(i);
    }
    for (int r = 0; r < height; ++r)
        std::memcpy(&f[1078 + static_cast<size_t>(height - 1 - r) * stride], grey + static_cast<size_t>(r) * width,
                    width);
    return f;
}

}  // namespace fingergen
