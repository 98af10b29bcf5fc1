// The deterministic finger generator of finger_gen.h: integer arithmetic only.
#include "finger_gen.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fingergen {

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

// Where image pixel (x, y) lies on the finger, in 1/256 pixel: the capture's shift, rotation (cos
// and sin in 1/32768) and scale undone. t runs from -40960 to 40960 along the finger across the image.
struct FingerPoint {
    int64_t xf, yf, t;
};

template <class CaptureSpec>
inline FingerPoint finger_point(const CaptureSpec& s, int64_t cs, int64_t sn, int x, int y) {
    const int64_t X = (x - 160) * 256 - s.shift_x_q8;
    const int64_t Y = (y - 120) * 256 - s.shift_y_q8;
    const int64_t rx = (X * cs + Y * sn) >> 15;
    const int64_t ry = (-X * sn + Y * cs) >> 15;
    const int64_t xf = rx * 65536 / s.scale_q16 + 160 * 256;
    const int64_t yf = ry * 65536 / s.scale_q16 + 120 * 256;
    return {xf, yf, xf - 160 * 256};
}

// A vein's centre line at finger column xf, across the finger in 1/256 of the half height; along is
// xf's distance from the vein's first column.
template <class VeinSpec>
inline int64_t vein_centre(const VeinSpec& vn, int64_t xf, int64_t along) {
    return vn.u0 + vn.u_slope * along / (320 * 256) +
           vn.wave_amp * isin((xf / 256 + vn.wave_phase) * 65536 / vn.wave_period) / 32768;
}

// (1 - (d/w)^2)^2 for |d| < w, in 1/256.
inline int64_t bump(int64_t d, int64_t w) {
    if (w <= 0) return 0;
    if (d < 0) d = -d;
    if (d >= w) return 0;
    const int64_t t = 256 - d * d * 256 / (w * w);
    return t * t >> 8;
}

// Pixel (x, y) lies inside the finger: it extends column x's rows of the silhouette.
inline void note_inside(Truth* truth, int x, int y) {
    if (truth->top[x] < 0) truth->top[x] = y;
    truth->bottom[x] = y;
}

}  // namespace detail

// The finger of finger_id as captured in capture_id.
Spec finger_spec(int finger_id, int capture_id, Style style) {
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
void render(const Spec& s, unsigned char* out, Truth* truth) {
    using detail::bump;
    const int64_t cs = detail::icos(s.angle_q16), sn = detail::isin(s.angle_q16);
    const int64_t half_span = 160 * 256;
    detail::Rng noise{s.noise_seed};
    if (truth != nullptr)
        for (int x = 0; x < kWidth; ++x) truth->top[x] = truth->bottom[x] = -1;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const auto [xf, yf, t] = detail::finger_point(s, cs, sn, x, y);

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
            alpha = std::clamp<int64_t>(alpha, 0, 256);
            if (truth != nullptr && outside <= 0) detail::note_inside(truth, x, y);

            int64_t u = v * 256 / hh;
            u = std::clamp<int64_t>(u, -256, 256);
            int64_t inside = s.edge_level * 256 + s.centre_gain * (65536 - u * u) / 256 + s.joint_light * joint;
            int64_t deepest = 0;
            for (int k = 0; k < s.vein_count; ++k) {
                const Vein& vn = s.veins[k];
                const int64_t xb = vn.x_begin * 256, xe = vn.x_end * 256;
                if (xf < xb || xf > xe) continue;
                const int64_t along = xf - xb;
                const int64_t uc = detail::vein_centre(vn, xf, along);
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
            p = std::clamp<int64_t>(p, 0, 255);
            out[y * kWidth + x] = static_cast<unsigned char>(p);
        }
    }
}
namespace detail {

// (1 - d2/w2)^2 for d2 < w2, in 1/256 (d2 and w2 squared distances).
inline int64_t bump2(int64_t d2, int64_t w2) {
    if (w2 <= 0 || d2 >= w2) return 0;
    const int64_t t = 256 - d2 * 256 / w2;
    return t * t >> 8;
}

inline int64_t isqrt(int64_t v) {
    if (v <= 0) return 0;
    int64_t r = 0, bit = int64_t{1} << 62;
    while (bit > v) bit >>= 2;
    while (bit != 0) {
        if (v >= r + bit) {
            v -= r + bit;
            r = (r >> 1) + bit;
        } else {
            r >>= 1;
        }
        bit >>= 2;
    }
    return r;
}

// Division rounding half away from zero.
inline int64_t div_round(int64_t a, int64_t b) { return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b); }

// One 8 x 8 block through a baseline JPEG's luminance path: level shift, orthonormal DCT, quantisation
// with the standard table at the given quality, dequantisation, inverse DCT.
inline void jpeg_block(unsigned char* px, int stride, const int* quant) {
    static const int64_t C[8][8] = {
        {5793, 5793, 5793, 5793, 5793, 5793, 5793, 5793},     {8035, 6811, 4551, 1598, -1598, -4551, -6811, -8035},
        {7568, 3135, -3135, -7568, -7568, -3135, 3135, 7568}, {6811, -1598, -8035, -4551, 4551, 8035, 1598, -6811},
        {5793, -5793, -5793, 5793, 5793, -5793, -5793, 5793}, {4551, -8035, 1598, 6811, -6811, -1598, 8035, -4551},
        {3135, -7568, 7568, -3135, -3135, 7568, -7568, 3135}, {1598, -4551, 6811, -8035, 8035, -6811, 4551, -1598},
    };  // 16384 * c(u) * cos((2x + 1) u pi / 16)
    int64_t f[8][8], t[8][8];
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) f[y][x] = static_cast<int64_t>(px[y * stride + x]) - 128;
    for (int u = 0; u < 8; ++u)
        for (int x = 0; x < 8; ++x) {
            int64_t a = 0;
            for (int y = 0; y < 8; ++y) a += C[u][y] * f[y][x];
            t[u][x] = a;  // 2^14
        }
    int64_t q[8][8];
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            int64_t a = 0;
            for (int x = 0; x < 8; ++x) a += t[u][x] * C[v][x];  // 2^28
            q[u][v] = div_round(a, int64_t{quant[u * 8 + v]} << 28) * quant[u * 8 + v];
        }
    for (int u = 0; u < 8; ++u)
        for (int x = 0; x < 8; ++x) {
            int64_t a = 0;
            for (int v = 0; v < 8; ++v) a += q[u][v] * C[v][x];
            t[u][x] = a;  // 2^14
        }
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            int64_t a = 0;
            for (int u = 0; u < 8; ++u) a += C[u][y] * t[u][x];  // 2^28
            int64_t p = div_round(a, int64_t{1} << 28) + 128;
            px[y * stride + x] = static_cast<unsigned char>(p < 0 ? 0 : p > 255 ? 255 : p);
        }
}

void jpeg_round_trip(unsigned char* img, int quality) {
    static const int kLuma[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                  14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                  18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                  49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
    if (quality < 1) quality = 1;
    if (quality > 100) quality = 100;
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    int quant[64];
    for (int k = 0; k < 64; ++k) {
        int v = (kLuma[k] * scale + 50) / 100;
        quant[k] = v < 1 ? 1 : v > 255 ? 255 : v;
    }
    for (int by = 0; by < kHeight; by += 8)
        for (int bx = 0; bx < kWidth; bx += 8) jpeg_block(img + by * kWidth + bx, kWidth, quant);
}

}  // namespace detail

// The realistic finger of finger_id as captured in capture_id.
RealSpec realistic_spec(int finger_id, int capture_id) {
    RealSpec s{};
    detail::Rng f{0x4EA1000000ull + static_cast<uint64_t>(static_cast<uint32_t>(finger_id)) * 0x100000001B3ull};
    f.next();
    s.axis_row = 120 + f.range(-8, 8);
    s.bend = f.range(-6, 6);
    s.half_height = f.range(44, 58);
    s.taper = f.range(-7, 7);
    s.upper_extra = f.range(-3, 3);
    s.lower_extra = f.range(-3, 3);
    s.joint_x[0] = f.range(40, 130);
    s.joint_x[1] = f.range(180, 290);
    s.joint_bulge = f.range(0, 3);
    s.joint_light_q10 = f.range(20, 120);
    s.peak = f.range(120, 180);
    s.edge_q10 = f.range(150, 350);
    s.rounding = f.range(0, 256);
    s.along_q10 = f.range(0, 80);
    s.along_period = f.range(250, 600);
    s.along_phase = f.range(0, 599);
    s.background = f.range(4, 20);
    const int main_veins = f.range(3, 6);
    const int branches = f.range(3, 7);
    s.vein_count = main_veins + branches;
    for (int k = 0; k < s.vein_count; ++k) {
        RealVein& v = s.veins[k];
        if (k < main_veins) {
            v.x_begin = f.range(-60, 80);
            v.x_end = v.x_begin + f.range(200, 400);
            v.u0 = f.range(-180, 180);
            v.u_slope = f.range(-390, 390);
        } else {
            v.x_begin = f.range(0, 280);
            v.x_end = v.x_begin + f.range(50, 150);
            v.u0 = f.range(-200, 200);
            const int sign = f.range(0, 1) ? 1 : -1;
            v.u_slope = sign * f.range(450, 1500);
        }
        v.wave_amp = f.range(6, 40);
        v.wave_period = f.range(70, 240);
        v.wave_phase = f.range(0, 239);
        v.half_width_q8 = f.range(5 * 256, 11 * 256);
        v.depth_q10 = f.range(35, 100);
    }
    s.mottle_count = f.range(24, 40);
    for (int k = 0; k < s.mottle_count; ++k) {
        Mottle& m = s.mottles[k];
        m.x = f.range(-20, 340);
        m.v = f.range(-s.half_height, s.half_height);
        m.radius = f.range(4, 14);
        const int sign = f.range(0, 1) ? 1 : -1;
        m.amp_q10 = sign * f.range(60, 240);
    }
    detail::Rng c{0x7E4C000000ull ^ (static_cast<uint64_t>(static_cast<uint32_t>(finger_id)) << 20) ^
                  static_cast<uint64_t>(static_cast<uint32_t>(capture_id)) * 0x9E3779B1ull};
    c.next();
    s.shift_x_q8 = c.range(-12 * 256, 12 * 256);
    s.shift_y_q8 = c.range(-7 * 256, 7 * 256);
    s.angle_q16 = c.range(-450, 450);     // +-2.5 degrees
    s.scale_q16 = c.range(62259, 68813);  // 0.95 .. 1.05
    s.gain_q8 = c.range(218, 294);        // 0.85 .. 1.15
    s.offset = c.range(-8, 8);
    s.light_slope_x = c.range(-14, 14);
    s.light_slope_y = c.range(-8, 8);
    s.blur_passes = c.range(2, 4);
    s.read_noise_q8 = c.range(256, 512);
    s.shot_noise = c.range(60, 120);
    s.jpeg_quality = c.range(70, 92);
    s.noise_seed = c.next();
    return s;
}

void render(const RealSpec& s, unsigned char* out, Truth* truth) {
    using detail::bump;
    using detail::bump2;
    const int64_t cs = detail::icos(s.angle_q16), sn = detail::isin(s.angle_q16);
    const int64_t half_span = 160 * 256;
    std::vector<int64_t> lum(kPixels);  // light in 1/256 level
    if (truth != nullptr)
        for (int x = 0; x < kWidth; ++x) truth->top[x] = truth->bottom[x] = -1;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const auto [xf, yf, t] = detail::finger_point(s, cs, sn, x, y);

            const int64_t axis = s.axis_row * 256 + s.bend * 256 * t / half_span * t / half_span;
            int64_t joint = 0;
            for (int j = 0; j < 2; ++j) joint += bump(xf - s.joint_x[j] * 256, 26 * 256);
            const int64_t v = yf - axis;
            int64_t hh = s.half_height * 256 + s.taper * 256 * t / half_span + s.joint_bulge * joint +
                         (v < 0 ? s.upper_extra : s.lower_extra) * 256;
            if (hh < 256) hh = 256;
            const int64_t outside = (v < 0 ? -v : v) - hh;  // negative inside
            int64_t alpha = 128 - outside * 128 / 384;      // skin edge over three pixels
            alpha = std::clamp<int64_t>(alpha, 0, 256);
            if (truth != nullptr && outside <= 0) detail::note_inside(truth, x, y);

            int64_t u = v * 256 / hh;
            u = std::clamp<int64_t>(u, -256, 256);
            const int64_t u4 = (u * u >> 8) * (u * u >> 8);  // u^4, 1/65536
            const int64_t p1 = 65536 - u4;                   // 1 - u^4
            const int64_t p2 = 65536 - (u4 * u4 >> 16);      // 1 - u^8
            const int64_t shape = (p1 * (256 - s.rounding) + p2 * s.rounding) >> 8;
            int64_t light = s.edge_q10 * 64 + (1024 - s.edge_q10) * shape / 1024;  // 1/65536
            light = light * (1024 + s.joint_light_q10 * joint / 256) / 1024;
            light = light *
                    (1024 * 32768 + s.along_q10 * detail::isin((xf / 256 + s.along_phase) * 65536 / s.along_period)) /
                    (1024 * 32768);
            int64_t mottle = 1024 * 256;
            for (int k = 0; k < s.mottle_count; ++k) {
                const Mottle& m = s.mottles[k];
                const int64_t dx = xf / 16 - m.x * 16, dy = v / 16 - m.v * 16;  // 1/16 pixel
                mottle += m.amp_q10 * bump2(dx * dx + dy * dy, int64_t{m.radius} * m.radius * 256);
            }
            light = light * mottle / (1024 * 256);
            int64_t pass = 65536;  // light left after the veins
            for (int k = 0; k < s.vein_count; ++k) {
                const RealVein& vn = s.veins[k];
                const int64_t xb = vn.x_begin * 256, xe = vn.x_end * 256;
                if (xf < xb || xf > xe) continue;
                const int64_t along = xf - xb;
                const int64_t uc = detail::vein_centre(vn, xf, along);
                const int64_t d = (u - uc) * hh / 256;
                int64_t dark = vn.depth_q10 * bump(d, vn.half_width_q8);  // 1/262144
                const int64_t fade_len = 20 * 256;
                const int64_t to_end = along < xe - xf ? along : xe - xf;
                if (to_end < fade_len) dark = dark * to_end / fade_len;
                dark = dark * (65536 - u * u * 3 / 4) / 65536;  // deeper in the tissue towards the edges
                pass = pass * (262144 - dark) / 262144;
            }
            light = light * pass >> 16;
            const int64_t inside = s.peak * light / 256;  // 1/256 level
            const int64_t back = s.background * 256;
            int64_t p = (alpha * inside + (256 - alpha) * back) / 256;
            p += s.light_slope_x * 256 * x / 319 + s.light_slope_y * 256 * y / 239;
            p = p * s.gain_q8 / 256 + s.offset * 256;
            lum[y * kWidth + x] = p;
        }
    }
    // Optics: [1 2 1] / 4 passes across and down.
    std::vector<int64_t> tmp(kPixels);
    for (int pass = 0; pass < s.blur_passes; ++pass) {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int64_t* r = &lum[y * kWidth];
                tmp[y * kWidth + x] = (r[x > 0 ? x - 1 : 0] + 2 * r[x] + r[x < kWidth - 1 ? x + 1 : x] + 2) >> 2;
            }
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const int64_t a = tmp[(y > 0 ? y - 1 : 0) * kWidth + x], b = tmp[y * kWidth + x],
                              c = tmp[(y < kHeight - 1 ? y + 1 : y) * kWidth + x];
                lum[y * kWidth + x] = (a + 2 * b + c + 2) >> 2;
            }
    }
    // Sensor: noise with a floor plus a part that grows with the signal.
    detail::Rng noise{s.noise_seed};
    for (int k = 0; k < kPixels; ++k) {
        const int64_t level = lum[k] > 0 ? lum[k] : 0;
        const int64_t sigma = detail::isqrt(int64_t{s.read_noise_q8} * s.read_noise_q8 + level * 256 / s.shot_noise);
        int64_t n = 0;
        for (int j = 0; j < 4; ++j) n += noise.range(-32768, 32767);
        int64_t p = lum[k] + n * sigma / 37837;  // the sum of four has a deviation of 37,837
        p = (p + 128) >> 8;
        out[k] = static_cast<unsigned char>(p < 0 ? 0 : p > 255 ? 255 : p);
    }
    if (s.jpeg_quality <= 100) detail::jpeg_round_trip(out, s.jpeg_quality);
}

// Finger finger_id in capture capture_id, written into out (kPixels bytes).
void finger_image(int finger_id, int capture_id, unsigned char* out, Truth* truth, Style style) {
    if (style == Style::kRealistic)
        render(realistic_spec(finger_id, capture_id), out, truth);
    else
        render(finger_spec(finger_id, capture_id, style), out, truth);
}

std::vector<unsigned char> finger_image(int finger_id, int capture_id, Truth* truth, Style style) {
    std::vector<unsigned char> img(kPixels);
    finger_image(finger_id, capture_id, img.data(), truth, style);
    return img;
}

// An 8-bit grey BMP file (grey palette, rows bottom-up, data at offset 1,078) of a top-down image.
std::vector<unsigned char> grey_to_bmp(const unsigned char* grey, int width, int height) {
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
