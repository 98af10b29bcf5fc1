// Pixel conversions to and from YUYV, Bayer demosaicing and the YUYV-to-JPEG encoder.
#include "pixel_convert.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "qv_owners.h"

namespace {

using byte = unsigned char;

inline byte clamp_u8(int v) { return static_cast<byte>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Rows are addressed in ptrdiff_t so that large frames never overflow int offsets.
inline byte* row_at(byte* base, int pitch, int row) { return base + static_cast<std::ptrdiff_t>(pitch) * row; }

// Packed 4-byte pairs: the byte offsets of Y0, U, Y1, V inside a source pair.
void packed_pair_to_yuyv(byte* dst, int dst_pitch, byte* src, int src_pitch, int width, int height, int y0, int u,
                         int y1, int v) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int pairs = width / 2;
    for (int r = 0; r < height; ++r) {
        const byte* s = row_at(src, src_pitch, r);
        byte* d = row_at(dst, dst_pitch, r);
        for (int p = 0; p < pairs; ++p, s += 4, d += 4) {
            d[0] = s[y0];
            d[1] = s[u];
            d[2] = s[y1];
            d[3] = s[v];
        }
    }
}

// RGB to YUYV in double precision, sums evaluated left to right.
inline byte rgb_result(double v) {
    if (v > 255.0) return 255;
    if (v < 0.0) return 0;
    return static_cast<byte>(static_cast<int>(v));
}

inline double luma_of(double r, double g, double b) { return 0.587 * g + 0.299 * r + 0.114 * b + 128; }
inline double u_of(double r, double g, double b) { return -0.147 * r - 0.289 * g + 0.436 * b + 128; }
inline double v_of(double r, double g, double b) { return 0.615 * r - 0.515 * g - 0.100 * b + 128; }

void rgb_order_to_yuyv(byte* dst, int dst_pitch, byte* src, int src_pitch, int width, int height, int ri, int gi,
                       int bi) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int pairs = width / 2;
    for (int row = 0; row < height; ++row) {
        const byte* s = row_at(src, src_pitch, row);
        byte* d = row_at(dst, dst_pitch, row);
        for (int p = 0; p < pairs; ++p, s += 6, d += 4) {
            const double r0 = s[ri] - 128.0, g0 = s[gi] - 128.0, b0 = s[bi] - 128.0;
            const double r1 = s[3 + ri] - 128.0, g1 = s[3 + gi] - 128.0, b1 = s[3 + bi] - 128.0;
            d[0] = rgb_result(luma_of(r0, g0, b0));
            d[1] = rgb_result((u_of(r1, g1, b1) + u_of(r0, g0, b0)) * 0.5);
            d[2] = rgb_result(luma_of(r1, g1, b1));
            d[3] = rgb_result((v_of(r1, g1, b1) + v_of(r0, g0, b0)) * 0.5);
        }
    }
}

// Planar and semi-planar sources. Chroma sample p of chroma row cr is at
// chroma[cr * crow + p * cstep]; rows of a 4:2:0 source share a chroma row per row pair.
struct ChromaPlanes {
    const byte* u;
    const byte* v;
    std::ptrdiff_t crow;  // bytes between chroma rows
    int cstep;            // bytes between samples in a row
    int rows;             // chroma rows present
    bool half_height;     // one chroma row serves a row pair
};

void planar_to_yuyv(byte* dst, int dst_pitch, const byte* yplane, int width, int height, const ChromaPlanes& c) {
    const int pairs = width / 2;
    for (int row = 0; row < height; ++row) {
        const byte* y = yplane + static_cast<std::ptrdiff_t>(width) * row;
        byte* d = row_at(dst, dst_pitch, row);
        int cr = c.half_height ? row / 2 : row;
        if (cr >= c.rows) cr = c.rows - 1;
        if (cr < 0) {  // no chroma row at all (a single row of 4:2:0)
            for (int p = 0; p < pairs; ++p, d += 4) {
                d[0] = y[2 * p];
                d[1] = 128;
                d[2] = y[2 * p + 1];
                d[3] = 128;
            }
            continue;
        }
        const byte* u = c.u + c.crow * cr;
        const byte* v = c.v + c.crow * cr;
        for (int p = 0; p < pairs; ++p, d += 4) {
            d[0] = y[2 * p];
            d[1] = u[p * c.cstep];
            d[2] = y[2 * p + 1];
            d[3] = v[p * c.cstep];
        }
    }
}

void yuv420_planes_to_yuyv(byte* dst, int dst_pitch, byte* src, int width, int height, bool u_first) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const std::ptrdiff_t ysize = static_cast<std::ptrdiff_t>(width) * height;
    const std::ptrdiff_t csize = static_cast<std::ptrdiff_t>(width / 2) * (height / 2);
    const byte* first = src + ysize;
    const byte* second = first + csize;
    ChromaPlanes c{u_first ? first : second, u_first ? second : first, width / 2, 1, height / 2, true};
    planar_to_yuyv(dst, dst_pitch, src, width, height, c);
}

void nv_to_yuyv(byte* dst, int dst_pitch, byte* src, int width, int height, bool u_first, bool half_height) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const byte* cbase = src + static_cast<std::ptrdiff_t>(width) * height;
    ChromaPlanes c{cbase + (u_first ? 0 : 1),
                   cbase + (u_first ? 1 : 0),
                   2 * (width / 2),
                   2,
                   half_height ? height / 2 : height,
                   half_height};
    planar_to_yuyv(dst, dst_pitch, src, width, height, c);
}

// S50x: per row pair the four parts of width, width/2, width, width/2 bytes in the
// order given by the offsets (in units of the parts' own positions).
void s50x_to_yuyv(byte* dst, int dst_pitch, byte* src, int width, int height, std::ptrdiff_t y1_off,
                  std::ptrdiff_t y2_off, std::ptrdiff_t u_off, std::ptrdiff_t v_off) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int pairs = width / 2;
    const std::ptrdiff_t pair_bytes = 2 * static_cast<std::ptrdiff_t>(width) + 2 * pairs;
    for (int rp = 0; rp < height / 2; ++rp) {
        const byte* base = src + pair_bytes * rp;
        const byte* y1 = base + y1_off;
        const byte* y2 = base + y2_off;
        const byte* u = base + u_off;
        const byte* v = base + v_off;
        byte* d1 = row_at(dst, dst_pitch, 2 * rp);
        byte* d2 = row_at(dst, dst_pitch, 2 * rp + 1);
        for (int p = 0; p < pairs; ++p, d1 += 4, d2 += 4) {
            const byte uu = static_cast<byte>(u[p] ^ 0x80), vv = static_cast<byte>(v[p] ^ 0x80);
            d1[0] = static_cast<byte>(y1[2 * p] ^ 0x80);
            d1[1] = uu;
            d1[2] = static_cast<byte>(y1[2 * p + 1] ^ 0x80);
            d1[3] = vv;
            d2[0] = static_cast<byte>(y2[2 * p] ^ 0x80);
            d2[1] = uu;
            d2[2] = static_cast<byte>(y2[2 * p + 1] ^ 0x80);
            d2[3] = vv;
        }
    }
}

// YUYV to RGB with 8-bit fixed-point coefficients.
struct Rgb {
    byte r, g, b;
};

inline void yuyv_pair_to_rgb(const byte* s, Rgb& p0, Rgb& p1) {
    const int u = s[1] - 128, v = s[3] - 128;
    const int dr = (358 * v) >> 8;
    const int dg = (-88 * u - 182 * v) >> 8;
    const int db = (453 * u) >> 8;
    p0 = {clamp_u8(s[0] + dr), clamp_u8(s[0] + dg), clamp_u8(s[0] + db)};
    p1 = {clamp_u8(s[2] + dr), clamp_u8(s[2] + dg), clamp_u8(s[2] + db)};
}

// Writes width / 2 pairs; bpp bytes per pixel, R G B at ri, gi, bi.
template <int Bpp, int Ri, int Gi, int Bi>
void yuyv_line_to_rgb(const byte* src, byte* dst, int width) {
    if (!src || !dst) return;
    const int pairs = width / 2;
    for (int p = 0; p < pairs; ++p, src += 4, dst += 2 * Bpp) {
        Rgb a, b;
        yuyv_pair_to_rgb(src, a, b);
        dst[Ri] = a.r;
        dst[Gi] = a.g;
        dst[Bi] = a.b;
        dst[Bpp + Ri] = b.r;
        dst[Bpp + Gi] = b.g;
        dst[Bpp + Bi] = b.b;
    }
}

inline void put565(byte* d, const Rgb& p) {
    const unsigned w = ((p.r >> 3u) << 11) | ((p.g >> 2u) << 5) | (p.b >> 3u);
    d[0] = static_cast<byte>(w & 0xFF);
    d[1] = static_cast<byte>(w >> 8);
}

using LineFn = void (*)(unsigned char*, unsigned char*, int);

void yuyv_frame(LineFn line, byte* src, int src_pitch, byte* dst, int dst_pitch, int width, int height) {
    if (!src || !dst || width <= 0) return;
    for (int r = 0; r < height; ++r) line(row_at(src, src_pitch, r), row_at(dst, dst_pitch, r), width);
}

// YUYV to planar. Luma for every row; chroma per row pair (averaged) or per row.
enum class PlanarKind { VU420Semi, VU420, UV420, VU422 };

void yuyv_to_planar(byte* dst, int dst_pitch, int dst_rows, byte* src, int src_pitch, int width, int height,
                    PlanarKind kind) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int pairs = width / 2;
    for (int r = 0; r < height; ++r) {
        const byte* s = row_at(src, src_pitch, r);
        byte* y = row_at(dst, dst_pitch, r);
        for (int p = 0; p < pairs; ++p) {
            y[2 * p] = s[4 * p];
            y[2 * p + 1] = s[4 * p + 2];
        }
    }
    byte* chroma = row_at(dst, dst_pitch, dst_rows);
    const std::ptrdiff_t cp = ((dst_pitch >> 1) + 15) & ~15;
    if (kind == PlanarKind::VU422) {
        byte* vplane = chroma;
        byte* uplane = chroma + static_cast<std::ptrdiff_t>(dst_rows) * cp;
        for (int r = 0; r < height; ++r) {
            const byte* s = row_at(src, src_pitch, r);
            byte* vr = vplane + cp * r;
            byte* ur = uplane + cp * r;
            for (int p = 0; p < pairs; ++p) {
                ur[p] = s[4 * p + 1];
                vr[p] = s[4 * p + 3];
            }
        }
        return;
    }
    byte* first = chroma;
    byte* second = chroma + static_cast<std::ptrdiff_t>(dst_rows) * cp / 2;
    for (int rp = 0; rp < height / 2; ++rp) {
        const byte* s1 = row_at(src, src_pitch, 2 * rp);
        const byte* s2 = row_at(src, src_pitch, 2 * rp + 1);
        if (kind == PlanarKind::VU420Semi) {
            byte* c = row_at(chroma, dst_pitch, rp);
            for (int p = 0; p < pairs; ++p) {
                c[2 * p] = static_cast<byte>((s1[4 * p + 3] + s2[4 * p + 3]) >> 1);
                c[2 * p + 1] = static_cast<byte>((s1[4 * p + 1] + s2[4 * p + 1]) >> 1);
            }
            continue;
        }
        byte* vr = (kind == PlanarKind::VU420 ? first : second) + cp * rp;
        byte* ur = (kind == PlanarKind::VU420 ? second : first) + cp * rp;
        for (int p = 0; p < pairs; ++p) {
            ur[p] = static_cast<byte>((s1[4 * p + 1] + s2[4 * p + 1]) >> 1);
            vr[p] = static_cast<byte>((s1[4 * p + 3] + s2[4 * p + 3]) >> 1);
        }
    }
}

// Bayer: colour 0 red, 1 green, 2 blue of the site (x, y) for the four orders.
constexpr int kBayerOrders[4][4] = {
    {1, 2, 0, 1},  // GBRG: G B / R G
    {1, 0, 2, 1},  // GRBG: G R / B G
    {2, 1, 1, 0},  // BGGR: B G / G R
    {0, 1, 1, 2},  // RGGB: R G / G B
};

inline int mean_of(const int* v, int n, int own) {
    switch (n) {
    case 1: return v[0];
    case 2: return (v[0] + v[1] + 1) >> 1;
    case 3: return (v[0] + v[1] + v[2] + 1) / 3;
    case 4: return (v[0] + v[1] + v[2] + v[3] + 2) >> 2;
    default: return own;
    }
}

}  // namespace

void yyuv_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    packed_pair_to_yuyv(dst, dst_pitch, src, src_pitch, width, height, 0, 2, 1, 3);
}

void uyvy_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    packed_pair_to_yuyv(dst, dst_pitch, src, src_pitch, width, height, 1, 0, 3, 2);
}

void yvyu_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    packed_pair_to_yuyv(dst, dst_pitch, src, src_pitch, width, height, 0, 3, 2, 1);
}

void grey_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int pairs = width / 2;
    for (int r = 0; r < height; ++r) {
        const byte* s = row_at(src, src_pitch, r);
        byte* d = row_at(dst, dst_pitch, r);
        for (int p = 0; p < pairs; ++p, s += 2, d += 4) {
            d[0] = s[0];
            d[1] = 128;
            d[2] = s[1];
            d[3] = 128;
        }
    }
}

void y16_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const int pairs = width / 2;
    for (int r = 0; r < height; ++r) {
        const byte* s = row_at(src, src_pitch, r);
        byte* d = row_at(dst, dst_pitch, r);
        for (int p = 0; p < pairs; ++p, s += 4, d += 4) {
            d[0] = s[1];  // little-endian samples: the high byte carries the luma
            d[1] = 128;
            d[2] = s[3];
            d[3] = 128;
        }
    }
}

void rgb_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    rgb_order_to_yuyv(dst, dst_pitch, src, src_pitch, width, height, 0, 1, 2);
}

void bgr_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int src_pitch, int width, int height) {
    rgb_order_to_yuyv(dst, dst_pitch, src, src_pitch, width, height, 2, 1, 0);
}

void yuv420_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    yuv420_planes_to_yuyv(dst, dst_pitch, src, width, height, true);
}

void yvu420_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    yuv420_planes_to_yuyv(dst, dst_pitch, src, width, height, false);
}

void nv12_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    nv_to_yuyv(dst, dst_pitch, src, width, height, true, true);
}

void nv21_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    nv_to_yuyv(dst, dst_pitch, src, width, height, false, true);
}

void nv16_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    nv_to_yuyv(dst, dst_pitch, src, width, height, true, false);
}

void nv61_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    nv_to_yuyv(dst, dst_pitch, src, width, height, false, false);
}

void y41p_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    if (!dst || !src || width <= 0 || height <= 0) return;
    const std::ptrdiff_t row_bytes = static_cast<std::ptrdiff_t>(width) * 3 / 2;
    const int groups = width / 8;
    for (int r = 0; r < height; ++r) {
        const byte* s = src + row_bytes * r;
        byte* d = row_at(dst, dst_pitch, r);
        for (int g = 0; g < groups; ++g, s += 12, d += 16) {
            // U0 Y0 V0 Y1 U4 Y2 V4 Y3 Y4 Y5 Y6 Y7
            const byte u0 = s[0], v0 = s[2], u4 = s[4], v4 = s[6];
            const byte y[8] = {s[1], s[3], s[5], s[7], s[8], s[9], s[10], s[11]};
            for (int p = 0; p < 4; ++p) {
                d[4 * p] = y[2 * p];
                d[4 * p + 1] = p < 2 ? u0 : u4;
                d[4 * p + 2] = y[2 * p + 1];
                d[4 * p + 3] = p < 2 ? v0 : v4;
            }
        }
    }
}

void s501_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    const std::ptrdiff_t w = width, h = width / 2;
    s50x_to_yuyv(dst, dst_pitch, src, width, height, 0, w + h, w, 2 * w + h);  // Y1 U Y2 V
}

void s505_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    const std::ptrdiff_t w = width, h = width / 2;
    s50x_to_yuyv(dst, dst_pitch, src, width, height, 0, w, 2 * w, 2 * w + h);  // Y1 Y2 U V
}

void s508_to_yuyv(unsigned char* dst, int dst_pitch, unsigned char* src, int width, int height) {
    const std::ptrdiff_t w = width, h = width / 2;
    s50x_to_yuyv(dst, dst_pitch, src, width, height, 0, w + 2 * h, w, w + h);  // Y1 U V Y2
}

void bayer_to_rgb24(unsigned char* src, unsigned char* dst, int width, int height, int pattern) {
    if (!src || !dst || width <= 0 || height <= 0) return;
    const int* order = kBayerOrders[(pattern >= 1 && pattern <= 3) ? pattern : 0];
    const std::ptrdiff_t w = width;
    for (int y = 0; y < height; ++y) {
        const byte* row = src + w * y;
        const byte* up = y > 0 ? row - w : nullptr;
        const byte* down = y + 1 < height ? row + w : nullptr;
        byte* d = dst + 3 * w * y;
        for (int x = 0; x < width; ++x, d += 3) {
            const int own = row[x];
            const int site = order[(y & 1) * 2 + (x & 1)];
            int ortho_lr[2], ortho_ud[2], diag[4];
            int nlr = 0, nud = 0, nd = 0;
            if (x > 0) ortho_lr[nlr++] = row[x - 1];
            if (x + 1 < width) ortho_lr[nlr++] = row[x + 1];
            if (up) ortho_ud[nud++] = up[x];
            if (down) ortho_ud[nud++] = down[x];
            int rgb[3];
            rgb[site] = own;
            if (site == 1) {
                // Green site: the row's other colour from left/right, the third from up/down.
                const int row_colour = order[(y & 1) * 2 + ((x + 1) & 1)];
                rgb[row_colour] = mean_of(ortho_lr, nlr, own);
                rgb[2 - row_colour] = mean_of(ortho_ud, nud, own);
            } else {
                int ortho[4];
                int no = 0;
                for (int i = 0; i < nud; ++i) ortho[no++] = ortho_ud[i];
                for (int i = 0; i < nlr; ++i) ortho[no++] = ortho_lr[i];
                if (up && x > 0) diag[nd++] = up[x - 1];
                if (up && x + 1 < width) diag[nd++] = up[x + 1];
                if (down && x > 0) diag[nd++] = down[x - 1];
                if (down && x + 1 < width) diag[nd++] = down[x + 1];
                rgb[1] = mean_of(ortho, no, own);
                rgb[2 - site] = mean_of(diag, nd, own);
            }
            d[0] = static_cast<byte>(rgb[0]);
            d[1] = static_cast<byte>(rgb[1]);
            d[2] = static_cast<byte>(rgb[2]);
        }
    }
}

void yuyv_to_rgb24_line(unsigned char* src, unsigned char* dst, int width) {
    yuyv_line_to_rgb<3, 0, 1, 2>(src, dst, width);
}

void yuyv_to_bgr24_line(unsigned char* src, unsigned char* dst, int width) {
    yuyv_line_to_rgb<3, 2, 1, 0>(src, dst, width);
}

void yuyv_to_rgb32_line(unsigned char* src, unsigned char* dst, int width) {
    yuyv_line_to_rgb<4, 0, 1, 2>(src, dst, width);
}

void yuyv_to_bgr32_line(unsigned char* src, unsigned char* dst, int width) {
    yuyv_line_to_rgb<4, 0, 1, 2>(src, dst, width);
}

void yuyv_to_rgb565_line(unsigned char* src, unsigned char* dst, int width) {
    if (!src || !dst) return;
    const int pairs = width / 2;
    for (int p = 0; p < pairs; ++p, src += 4, dst += 4) {
        Rgb a, b;
        yuyv_pair_to_rgb(src, a, b);
        put565(dst, a);
        put565(dst + 2, b);
    }
}

void yuyv_to_rgb24(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width, int height) {
    yuyv_frame(yuyv_to_rgb24_line, src, src_pitch, dst, dst_pitch, width, height);
}

void yuyv_to_bgr24(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width, int height) {
    yuyv_frame(yuyv_to_bgr24_line, src, src_pitch, dst, dst_pitch, width, height);
}

void yuyv_to_rgb32(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width, int height) {
    yuyv_frame(yuyv_to_rgb32_line, src, src_pitch, dst, dst_pitch, width, height);
}

void yuyv_to_bgr32(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width, int height) {
    yuyv_frame(yuyv_to_bgr32_line, src, src_pitch, dst, dst_pitch, width, height);
}

void yuyv_to_rgb565(unsigned char* src, int src_pitch, unsigned char* dst, int dst_pitch, int width, int height) {
    yuyv_frame(yuyv_to_rgb565_line, src, src_pitch, dst, dst_pitch, width, height);
}

void yuyv_to_yvu420sp(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch, int width,
                      int height) {
    yuyv_to_planar(dst, dst_pitch, dst_rows, src, src_pitch, width, height, PlanarKind::VU420Semi);
}

void yuyv_to_yvu420p(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch, int width,
                     int height) {
    yuyv_to_planar(dst, dst_pitch, dst_rows, src, src_pitch, width, height, PlanarKind::VU420);
}

void yuyv_to_yuv420p(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch, int width,
                     int height) {
    yuyv_to_planar(dst, dst_pitch, dst_rows, src, src_pitch, width, height, PlanarKind::UV420);
}

void yuyv_to_yvu422p(unsigned char* dst, int dst_pitch, int dst_rows, unsigned char* src, int src_pitch, int width,
                     int height) {
    yuyv_to_planar(dst, dst_pitch, dst_rows, src, src_pitch, width, height, PlanarKind::VU422);
}

// ---- YUYV to JPEG through libjpeg's raw-data interface ----

namespace {

struct JpegJumpError {
    jpeg_error_mgr pub;  // libjpeg's standard manager; only the exit is replaced
    std::jmp_buf jump;
};

void yuyv_jpeg_error_exit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegJumpError*>(cinfo->err)->jump, 1); }

// Memory destination: a full buffer restarts at its beginning and records that it did.
// libjpeg reports a full buffer as soon as its last byte is written, so one restart
// followed by no further byte is an exact fit, not an overflow.
struct yuyv_jpeg_destination {
    jpeg_destination_mgr pub;
    JOCTET* buffer;
    size_t size;
    size_t written;
    int restarts;
    boolean overflow;
};

void yuyv_jpeg_init_destination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<yuyv_jpeg_destination*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = d->size;
    d->written = 0;
}

boolean yuyv_jpeg_empty_output_buffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<yuyv_jpeg_destination*>(cinfo->dest);
    ++d->restarts;
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = d->size;
    return TRUE;
}

void yuyv_jpeg_term_destination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<yuyv_jpeg_destination*>(cinfo->dest);
    if (d->restarts == 1 && d->pub.free_in_buffer == d->size) {
        d->written = d->size;
        return;
    }
    d->overflow = d->restarts > 0;
    d->written = d->size - d->pub.free_in_buffer;
}

constexpr int kJpegMinSide = 16;  // one 4:2:0 MCU; libjpeg cannot encode less

}  // namespace

int yuyv_to_jpeg(unsigned char* yuyv, unsigned char* out, int out_size, int width, int height, int src_pitch,
                 int quality) {
    if (!yuyv || !out || out_size <= 0) return 0;
    const int w = (width / 16) * 16;
    const int h = (height / 16) * 16;
    if (w < kJpegMinSide || h < kJpegMinSide) return 0;
    if (src_pitch < 2 * w) return 0;

    const int cw = w / 2;
    // Declared before setjmp: a long jump back here unwinds no owner, and they go at the return.
    const qv::HeapArray<byte> ybuf = qv::heap_alloc<byte>(static_cast<size_t>(16) * w);
    const qv::HeapArray<byte> cbbuf = qv::heap_alloc<byte>(static_cast<size_t>(8) * cw);
    const qv::HeapArray<byte> crbuf = qv::heap_alloc<byte>(static_cast<size_t>(8) * cw);
    if (!ybuf || !cbbuf || !crbuf) return 0;
    JSAMPROW yrows[16], cbrows[8], crrows[8];
    for (int i = 0; i < 16; ++i) yrows[i] = ybuf.get() + static_cast<std::ptrdiff_t>(w) * i;
    for (int i = 0; i < 8; ++i) {
        cbrows[i] = cbbuf.get() + static_cast<std::ptrdiff_t>(cw) * i;
        crrows[i] = crbuf.get() + static_cast<std::ptrdiff_t>(cw) * i;
    }
    JSAMPARRAY planes[3] = {yrows, cbrows, crrows};

    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    JpegJumpError jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = yuyv_jpeg_error_exit;
    volatile int result = 0;
    if (setjmp(jerr.jump) == 0) {
        jpeg_create_compress(&cinfo);
        cinfo.image_width = static_cast<JDIMENSION>(w);
        cinfo.image_height = static_cast<JDIMENSION>(h);
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&cinfo);
        jpeg_set_colorspace(&cinfo, JCS_YCbCr);
        cinfo.raw_data_in = TRUE;
#if JPEG_LIB_VERSION >= 70
        cinfo.do_fancy_downsampling = FALSE;
#endif
        cinfo.comp_info[0].h_samp_factor = 2;
        cinfo.comp_info[0].v_samp_factor = 2;
        cinfo.comp_info[1].h_samp_factor = 1;
        cinfo.comp_info[1].v_samp_factor = 1;
        cinfo.comp_info[2].h_samp_factor = 1;
        cinfo.comp_info[2].v_samp_factor = 1;
        jpeg_set_quality(&cinfo, quality, TRUE);
        cinfo.dct_method = JDCT_IFAST;

        auto* dest = static_cast<yuyv_jpeg_destination*>((*cinfo.mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_PERMANENT, sizeof(yuyv_jpeg_destination)));
        dest->pub.init_destination = yuyv_jpeg_init_destination;
        dest->pub.empty_output_buffer = yuyv_jpeg_empty_output_buffer;
        dest->pub.term_destination = yuyv_jpeg_term_destination;
        dest->buffer = out;
        dest->size = static_cast<size_t>(out_size);
        dest->written = 0;
        dest->restarts = 0;
        dest->overflow = FALSE;
        cinfo.dest = &dest->pub;

        jpeg_start_compress(&cinfo, TRUE);
        for (int strip = 0; strip < h / 16; ++strip) {
            for (int j = 0; j < 8; ++j) {
                const byte* s1 = row_at(yuyv, src_pitch, strip * 16 + 2 * j);
                const byte* s2 = row_at(yuyv, src_pitch, strip * 16 + 2 * j + 1);
                byte* y1 = yrows[2 * j];
                byte* y2 = yrows[2 * j + 1];
                byte* cb = cbrows[j];
                byte* cr = crrows[j];
                for (int p = 0; p < cw; ++p) {
                    y1[2 * p] = s1[4 * p];
                    y1[2 * p + 1] = s1[4 * p + 2];
                    y2[2 * p] = s2[4 * p];
                    y2[2 * p + 1] = s2[4 * p + 2];
                    cb[p] = static_cast<byte>((s1[4 * p + 1] + s2[4 * p + 1]) >> 1);
                    cr[p] = static_cast<byte>((s1[4 * p + 3] + s2[4 * p + 3]) >> 1);
                }
            }
            jpeg_write_raw_data(&cinfo, planes, 16);
        }
        jpeg_finish_compress(&cinfo);
        if (!dest->overflow) result = static_cast<int>(dest->written);
    }
    jpeg_destroy_compress(&cinfo);
    return result;
}
